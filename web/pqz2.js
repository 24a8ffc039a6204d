/*
 * PQZ files in JavaScript: a small module around the WebAssembly build of the decoder.
 *
 *     const pqz = await Pqz2.load();                 // Node: require('./pqz2.js').load()
 *     const file = pqz.open(bytes);                  // Uint8Array of the whole file
 *     if (!file.ok) console.log(file.message);
 *     const { blocks } = file.list();                // every block with its details
 *     const image = file.decode(blocks[0].index, 'rgba8', (done, total) => ...);
 *     // image.data: Uint8ClampedArray of width * height * 4 bytes, ready for ImageData
 *     file.close();
 *
 * Works in Node (CommonJS) and in browsers and workers (a global `Pqz2` after loading the
 * script next to lib/pqz2_wasm.js).
 */
(function (root, factory) {
    if (typeof module === 'object' && module.exports) module.exports = factory();
    else root.Pqz2 = factory();
})(typeof self !== 'undefined' ? self : this, function () {
    'use strict';

    const FORMATS = { native: 0, value: 1, grey8: 2, rgb8: 3, rgba8: 4, index8: 5 };
    const STATUS = {
        OK: 0, END: 1, PARTIAL: 2, ERR_ARGUMENT: 10, ERR_BUFFER_TOO_SMALL: 11, ERR_ORDER: 12,
        ERR_IO: 20, ERR_NOT_PQZ: 21, ERR_DAMAGED: 22, ERR_MISSING_MARKER: 23,
        ERR_UNSUPPORTED: 24, ERR_FORMAT: 25, ERR_LIMIT: 30, ERR_NO_MEMORY: 31, ERR_CANCELLED: 32,
    };

    function formatNumber(format) {
        const n = typeof format === 'number' ? format : FORMATS[format];
        if (n === undefined || n < 0 || n > 5) throw new RangeError(`unknown pixel format ${format}`);
        return n;
    }

    class PqzError extends Error {
        constructor(status, message) {
            super(message);
            this.status = status;
        }
    }

    // One open file. The bytes are copied into the module's memory.
    class PqzFile {
        constructor(pqz, bytes, salvage) {
            const m = pqz.module;
            this._pqz = pqz;
            this.salvage = !!salvage;
            const data = m._malloc(Math.max(bytes.length, 1)) >>> 0;
            if (!data) throw new PqzError(STATUS.ERR_NO_MEMORY, 'out of memory for the file');
            m.HEAPU8.set(bytes, data);
            this._s = m._pqzw_open(data, bytes.length, salvage ? 1 : 0) >>> 0;
            if (!this._s) throw new PqzError(STATUS.ERR_NO_MEMORY, 'out of memory');
            this._take();
            this.size = bytes.length;
            this._listing = null;
        }

        get ok() {
            return this.status === STATUS.OK;
        }

        _live() {
            if (!this._s) throw new PqzError(STATUS.ERR_ORDER, 'the file is closed');
            return this._pqz.module;
        }

        // Status and message of the most recent call.
        _take() {
            const m = this._pqz.module;
            this.status = m._pqzw_status(this._s);
            this.message = m.UTF8ToString(m._pqzw_message(this._s) >>> 0);
            return this.status;
        }

        // Every block of the file: { blocks, status, message, complete }. complete is false
        // when the walk stopped at damage (status and message say where and why).
        list() {
            if (this._listing) return this._listing;
            const m = this._live();
            const text = m._pqzw_list(this._s) >>> 0;
            this._take();
            if (!text) throw new PqzError(this.status, 'out of memory while listing the blocks');
            const listing = JSON.parse(m.UTF8ToString(text));
            listing.complete = listing.status === STATUS.END;
            listing.statusText = this._pqz.statusText(listing.status);
            for (const b of listing.blocks) {
                if (b.preview !== undefined) b.preview = hexBytes(b.preview);
                if (b.palette !== undefined) {
                    const p = hexBytes(b.palette);
                    b.palette = [];
                    for (let i = 0; i + 2 < p.length; i += 3) b.palette.push([p[i], p[i + 1], p[i + 2]]);
                }
            }
            this._listing = listing;
            return listing;
        }

        // Decodes the image of block number `block` into format (a name of FORMATS or its
        // number). onProgress(done, total) is called during the decode; returning true stops
        // it. Returns { status, ok, message, width, height, stride, data, damaged, goodRows }:
        // data is a copy (Uint8ClampedArray for rgba8, Uint16Array / Uint32Array for value
        // pixels above 8 bits, Uint8Array otherwise), null when the decode failed.
        decode(block, format = 'rgba8', onProgress = null) {
            const m = this._live();
            const f = formatNumber(format);
            m.onDecodeProgress = onProgress ? (done, total) => (onProgress(done, total) === true ? 1 : 0) : null;
            let status;
            try {
                status = m._pqzw_decode(this._s, block, f);
            } finally {
                m.onDecodeProgress = null;
            }
            this._take();
            const result = {
                status,
                ok: status === STATUS.OK || status === STATUS.PARTIAL,
                message: this.message,
                width: m._pqzw_width(this._s),
                height: m._pqzw_height(this._s),
                bitsPerPixel: m._pqzw_bits_per_pixel(this._s),
                stride: m._pqzw_stride(this._s),
                format: f,
                damaged: !!m._pqzw_damaged(this._s),
                goodRows: m._pqzw_good_rows(this._s),
                data: null,
            };
            const pixels = m._pqzw_pixels(this._s) >>> 0;
            if (pixels) {
                const size = m._pqzw_pixels_size(this._s) >>> 0;
                const copy = m.HEAPU8.slice(pixels, pixels + size);
                result.data = typedPixels(copy.buffer, f, result.bitsPerPixel);
            }
            m._pqzw_release(this._s);
            return result;
        }

        close() {
            if (!this._s) return;
            this._pqz.module._pqzw_close(this._s);
            this._s = 0;
        }
    }

    function typedPixels(buffer, format, bits) {
        if (format === FORMATS.rgba8) return new Uint8ClampedArray(buffer);
        if (format === FORMATS.value && bits > 16) return new Uint32Array(buffer);
        if (format === FORMATS.value && bits > 8) return new Uint16Array(buffer);
        return new Uint8Array(buffer);
    }

    function hexBytes(hex) {
        const bytes = new Uint8Array(hex.length / 2);
        for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(hex.substr(2 * i, 2), 16);
        return bytes;
    }

    class Pqz2 {
        constructor(module) {
            this.module = module;
        }

        // Opens a file held in memory; check file.ok / file.message. salvage reads what
        // survives in a damaged file.
        open(bytes, { salvage = false } = {}) {
            return new PqzFile(this, bytes, salvage);
        }

        statusText(status) {
            return this.module.UTF8ToString(this.module._pqzw_status_text(status) >>> 0);
        }
    }

    // Loads the WebAssembly module. createModule defaults to lib/pqz2_wasm.js next to this
    // file in Node and to the global createPqz2Module in a page or worker; moduleOptions go to
    // it (e.g. locateFile to find pqz2_wasm.wasm).
    async function load(createModule, moduleOptions = {}) {
        if (!createModule) {
            if (typeof self !== 'undefined' && self.createPqz2Module) {
                createModule = self.createPqz2Module;
            } else if (typeof require === 'function') {
                const path = require('path');
                createModule = require(path.join(__dirname, 'lib', 'pqz2_wasm.js'));
                // Handing over the bytes keeps the loader from fetching a file path in Node.
                if (!moduleOptions.wasmBinary)
                    moduleOptions = Object.assign({}, moduleOptions, {
                        wasmBinary: require('fs').readFileSync(path.join(__dirname, 'lib', 'pqz2_wasm.wasm')),
                    });
            } else {
                throw new Error('lib/pqz2_wasm.js is not loaded');
            }
        }
        return new Pqz2(await createModule(moduleOptions));
    }

    return { load, FORMATS, STATUS, PqzError };
});
