/*
 * A small PNG writer for decoded images: grey (8 or 16 bits), palette, RGB and RGBA, without
 * loss. Compression uses the platform's CompressionStream (browsers, workers, Node 18+).
 *
 *     const bytes = await PqzPng.encode({ width, height, kind: 'rgba', data });
 *
 * kind: 'grey' (data: one byte per pixel), 'grey16' (Uint16Array, one value per pixel),
 * 'index' (one byte per pixel, palette: [[r, g, b], ...]), 'rgb' (3 bytes), 'rgba' (4 bytes).
 * Grey values of fewer bits (sourceBits) are stretched over the PNG's range.
 */
(function (root, factory) {
    if (typeof module === 'object' && module.exports) module.exports = factory();
    else root.PqzPng = factory();
})(typeof self !== 'undefined' ? self : this, function () {
    'use strict';

    const KINDS = {
        grey: { colourType: 0, depth: 8, bytes: 1 },
        grey16: { colourType: 0, depth: 16, bytes: 2 },
        index: { colourType: 3, depth: 8, bytes: 1 },
        rgb: { colourType: 2, depth: 8, bytes: 3 },
        rgba: { colourType: 6, depth: 8, bytes: 4 },
    };

    const CRC_TABLE = (() => {
        const t = new Uint32Array(256);
        for (let n = 0; n < 256; n++) {
            let c = n;
            for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
            t[n] = c >>> 0;
        }
        return t;
    })();

    function crc32(bytes, crc = 0xffffffff) {
        for (let i = 0; i < bytes.length; i++) crc = CRC_TABLE[(crc ^ bytes[i]) & 255] ^ (crc >>> 8);
        return crc;
    }

    function chunk(type, data) {
        const out = new Uint8Array(12 + data.length);
        const view = new DataView(out.buffer);
        view.setUint32(0, data.length);
        for (let i = 0; i < 4; i++) out[4 + i] = type.charCodeAt(i);
        out.set(data, 8);
        view.setUint32(8 + data.length, (crc32(out.subarray(4, 8 + data.length)) ^ 0xffffffff) >>> 0);
        return out;
    }

    // Rows with the "up" filter (each byte minus the one above): cheap and good for photos.
    function filteredRows(width, height, kind, data) {
        const rowBytes = width * kind.bytes;
        const raw = new Uint8Array(height * (rowBytes + 1));
        let bytes = data;
        if (kind.depth === 16) {
            bytes = new Uint8Array(width * height * 2);
            for (let i = 0; i < width * height; i++) {
                bytes[2 * i] = data[i] >> 8; // PNG stores 16-bit samples big-endian
                bytes[2 * i + 1] = data[i] & 255;
            }
        }
        for (let y = 0; y < height; y++) {
            const out = y * (rowBytes + 1);
            const row = y * rowBytes;
            raw[out] = y ? 2 : 0;
            for (let x = 0; x < rowBytes; x++)
                raw[out + 1 + x] = y ? bytes[row + x] - bytes[row - rowBytes + x] : bytes[row + x];
        }
        return raw;
    }

    async function deflate(bytes) {
        const stream = new Blob([bytes]).stream().pipeThrough(new CompressionStream('deflate'));
        return new Uint8Array(await new Response(stream).arrayBuffer());
    }

    // Stretches values of sourceBits bits over the PNG's depth (v * max / sourceMax), which
    // keeps every value distinct and makes the full range white.
    function stretch(data, sourceBits, depth) {
        if (!sourceBits || sourceBits >= depth) return data;
        const out = depth === 16 ? new Uint16Array(data.length) : new Uint8Array(data.length);
        const max = 2 ** depth - 1, sourceMax = 2 ** sourceBits - 1;
        for (let i = 0; i < data.length; i++) out[i] = Math.round((data[i] * max) / sourceMax);
        return out;
    }

    // sourceBits: for grey kinds, the bits of the values in data when fewer than the PNG's.
    async function encode({ width, height, kind, data, palette, sourceBits }) {
        const k = KINDS[kind];
        if (!k) throw new RangeError(`unknown PNG kind ${kind}`);
        if (!(width > 0 && height > 0)) throw new RangeError('a PNG needs at least one pixel');
        if (data.length < width * height * (k.depth === 16 ? 1 : k.bytes))
            throw new RangeError('fewer pixels than the size says');
        if (k.colourType === 0) data = stretch(data, sourceBits, k.depth);
        const header = new Uint8Array(13);
        const view = new DataView(header.buffer);
        view.setUint32(0, width);
        view.setUint32(4, height);
        header[8] = k.depth;
        header[9] = k.colourType;
        const parts = [new Uint8Array([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', header)];
        if (kind === 'index') {
            const plte = new Uint8Array(3 * Math.max(1, palette.length));
            palette.forEach((c, i) => plte.set(c, 3 * i));
            parts.push(chunk('PLTE', plte));
        }
        parts.push(chunk('IDAT', await deflate(filteredRows(width, height, k, data))));
        parts.push(chunk('IEND', new Uint8Array(0)));
        const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
        let at = 0;
        for (const p of parts) {
            out.set(p, at);
            at += p.length;
        }
        return out;
    }

    // How to save an image described by a block listing of Pqz2 as PNG: the decode format, the
    // PNG kind, and what the PNG drops (null: nothing).
    function layoutFor(image) {
        const f = image.formats || {};
        const bits = image.bits_per_pixel;
        if (image.colour === 'palette' && f.index8 === null)
            return { format: 'index8', kind: 'index', loss: null };
        if ((image.colour === 'grey' || image.colour === 'values') && bits <= 8 && f.value === null)
            return { format: 'value', kind: 'grey', loss: null, sourceBits: bits };
        if ((image.colour === 'grey' || image.colour === 'values') && bits <= 16 && f.value === null)
            return { format: 'value', kind: 'grey16', loss: null, sourceBits: bits };
        if (bits >= 25 || image.colour === 'values')
            return { format: 'rgba8', kind: 'rgba', loss: f.rgba8 === undefined ? null : f.rgba8 };
        return { format: 'rgb8', kind: 'rgb', loss: f.rgb8 === undefined ? null : f.rgb8 };
    }

    return { encode, layoutFor, crc32 };
});
