// The WebAssembly decoder against the native library: every reference vector, the round-trip
// files of each coding method and the sample decode to the same bytes, statuses and good rows;
// the JavaScript module's own behaviour (errors, progress, typed arrays, PNG output).
//   node --test web/test/
'use strict';
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');
const { test, before } = require('node:test');

const Pqz2 = require('../pqz2.js');
const PqzPng = require('../png.js');
const { root, nativeDecode, roundTripDir } = require('./native.js');

let pqz;
before(async () => {
    pqz = await Pqz2.load();
});

function filesUnder(dir) {
    return fs.readdirSync(dir, { withFileTypes: true }).flatMap((e) => {
        const p = path.join(dir, e.name);
        return e.isDirectory() ? filesUnder(p) : e.name.endsWith('.pqz') ? [p] : [];
    });
}

// Decodes file with the WebAssembly build as pqz2_dump does with the native library.
function wasmDecode(file, formats, salvage) {
    const f = pqz.open(fs.readFileSync(file), { salvage });
    if (!f.ok) {
        const status = f.status;
        f.close();
        return { images: [], end: status };
    }
    const listing = f.list();
    const images = [];
    // pqz2_dump decodes the whole blocks of the walk, and with salvage also a block cut short by
    // the end of the file; the listing names such a block in either case (checked below).
    for (const b of listing.blocks.filter((b) => b.kind === 'image' && (salvage || !b.damage))) {
        for (const format of formats) {
            const r = f.decode(b.index, format);
            const data = r.data ? new Uint8Array(r.data.buffer) : new Uint8Array(0);
            images.push({ block: b.index, format, status: r.status, goodRows: r.goodRows, data });
        }
    }
    f.close();
    return { images, end: listing.status };
}

function assertSameDecode(file, formats, salvage = false) {
    const native = nativeDecode(file, formats, { salvage });
    const wasm = wasmDecode(file, formats, salvage);
    const name = path.relative(root, file) + (salvage ? ' (salvage)' : '');
    assert.strictEqual(wasm.end, native.end, `${name}: status ending the walk`);
    assert.strictEqual(wasm.images.length, native.images.length, `${name}: decodes`);
    native.images.forEach((n, i) => {
        const w = wasm.images[i];
        const what = `${name}: block ${n.block} format ${n.format}`;
        assert.deepStrictEqual([w.block, w.status, w.goodRows], [n.block, n.status, n.goodRows], what);
        if (n.status === Pqz2.STATUS.OK || n.status === Pqz2.STATUS.PARTIAL)
            assert.ok(Buffer.compare(Buffer.from(w.data), n.data) === 0, `${what}: pixels differ`);
    });
    return native.images.length;
}

test('every reference vector decodes as natively, in the stored and RGBA layouts', () => {
    const vectors = filesUnder(path.join(root, 'tests', 'data', 'vectors'));
    assert.strictEqual(vectors.length, 70);
    let decodes = 0;
    for (const file of vectors) decodes += assertSameDecode(file, [0, 4]);
    for (const file of vectors.filter((f) => f.includes(`${path.sep}damaged${path.sep}`)))
        decodes += assertSameDecode(file, [0, 4], true);
    assert.ok(decodes > 300);
});

test('round-trip photos of every coding method and the sample decode as natively', () => {
    const files = filesUnder(roundTripDir());
    assert.deepStrictEqual(files.map((f) => path.basename(f)).sort(),
        ['bitstream.pqz', 'context.pqz', 'method1.pqz', 'method2.pqz', 'raw.pqz']);
    for (const file of files) assert.strictEqual(assertSameDecode(file, [0]), 2);
    assert.strictEqual(assertSameDecode(path.join(root, 'samples', 'TestFile.pqz'), [0, 4]), 28);
});

test('a listing describes blocks, auxiliary headers and extra data', () => {
    const f = pqz.open(fs.readFileSync(path.join(root, 'samples', 'TestFile.pqz')));
    const { blocks, complete } = f.list();
    assert.ok(complete);
    const images = blocks.filter((b) => b.kind === 'image');
    assert.strictEqual(images.length, 14);
    const codings = new Set(images.map((b) => b.coding));
    for (const c of ['raw', 'bit stream', 'context model', 'method 1', 'method 2']) assert.ok(codings.has(c), c);
    const first = images[0];
    assert.deepStrictEqual([first.width, first.height, first.bits_per_pixel, first.colour], [256, 192, 8, 'grey']);
    assert.strictEqual(new TextDecoder().decode(first.preview), 'raw 8-bit grey');
    const extra = blocks.find((b) => b.kind === 'extra');
    assert.strictEqual(new TextDecoder().decode(extra.preview), 'PQZ2 sample file');
    const palette = images.find((b) => b.colour === 'palette' && !b.palette_inherited);
    assert.strictEqual(palette.palette.length, palette.palette_entries);
    const planes = images.find((b) => b.coding === 'bit stream' && b.planes.length === 3);
    assert.ok(planes.planes.some((p) => p.has_reference));
    f.close();
});

test('damage, bad input and misuse give statuses and messages, never exceptions from the decoder', () => {
    const notPqz = pqz.open(new Uint8Array([1, 2, 3, 4, 5, 6, 7, 8, 9]));
    assert.strictEqual(notPqz.status, Pqz2.STATUS.ERR_NOT_PQZ);
    assert.ok(notPqz.message.length > 0);
    notPqz.close();

    const empty = pqz.open(new Uint8Array(0));
    assert.ok(empty.ok);
    assert.deepStrictEqual([empty.list().blocks.length, empty.list().complete], [0, true]);
    empty.close();

    const cut = pqz.open(fs.readFileSync(path.join(root, 'tests/data/vectors/damaged/trunc-raw-payload.pqz')));
    const listing = cut.list();
    assert.ok(!listing.complete);
    assert.strictEqual(listing.status, Pqz2.STATUS.ERR_DAMAGED);
    assert.ok(listing.message.length > 0);

    const last = listing.blocks[listing.blocks.length - 1];
    assert.deepStrictEqual([last.kind, last.index, last.width > 0], ['image', 2, true], 'the cut image is described');
    assert.ok(last.damage > 0);
    const cutImage = cut.decode(last.index, 'rgba8');
    assert.strictEqual(cutImage.status, Pqz2.STATUS.ERR_DAMAGED);
    assert.strictEqual(cutImage.data, null);

    // With salvage the walk ends cleanly and the cut image comes back in part.
    const salvaged = pqz.open(fs.readFileSync(path.join(root, 'tests/data/vectors/damaged/trunc-raw-payload.pqz')),
        { salvage: true });
    const salvagedListing = salvaged.list();
    assert.ok(salvagedListing.complete);
    assert.strictEqual(salvagedListing.blocks.length, listing.blocks.length);
    const partial = salvaged.decode(last.index, 'rgba8');
    assert.strictEqual(partial.status, Pqz2.STATUS.PARTIAL);
    assert.ok(partial.damaged && partial.goodRows > 0 && partial.goodRows < partial.height);
    assert.strictEqual(partial.data.length, partial.width * partial.height * 4);
    salvaged.close();

    const missing = cut.decode(999, 'rgba8');
    assert.ok(!missing.ok && missing.data === null && missing.message.length > 0);
    assert.throws(() => cut.decode(0, 'jpeg'), RangeError);
    cut.close();
    cut.close();
    assert.throws(() => cut.decode(0), Pqz2.PqzError);
});

test('progress is reported and can stop a decode', () => {
    const f = pqz.open(fs.readFileSync(path.join(root, 'samples', 'TestFile.pqz')));
    const m2 = f.list().blocks.filter((b) => b.coding === 'method 2')[0];
    const calls = [];
    const r = f.decode(m2.index, 'native', (done, total) => {
        calls.push([done, total]);
    });
    assert.ok(r.ok && calls.length > 0);
    const [done, total] = calls[calls.length - 1];
    assert.ok(done === total && total > 0);
    const stopped = f.decode(m2.index, 'native', () => true);
    assert.strictEqual(stopped.status, Pqz2.STATUS.ERR_CANCELLED);
    assert.ok(f.decode(m2.index, 'native').ok, 'the file stays usable');
    f.close();
});

test('value pixels come as typed arrays of the pixel width', () => {
    const f = pqz.open(fs.readFileSync(path.join(root, 'tests/data/vectors/bitstream/rgba-16bit.pqz')));
    const image = f.list().blocks.find((b) => b.kind === 'image' && b.bits_per_pixel === 16);
    const r = f.decode(image.index, 'value');
    assert.ok(r.data instanceof Uint16Array);
    assert.strictEqual(r.data.length, r.width * r.height);
    assert.ok(f.decode(image.index, 'rgba8').data instanceof Uint8ClampedArray);
    f.close();
});

// Pixels of a PNG written by PqzPng: inflate and undo the row filters (none and up).
function readPng(bytes) {
    const b = Buffer.from(bytes);
    let at = 8;
    let header;
    const idat = [];
    while (at < b.length) {
        const size = b.readUInt32BE(at);
        const type = b.toString('latin1', at + 4, at + 8);
        const data = b.subarray(at + 8, at + 8 + size);
        const crc = PqzPng.crc32(b.subarray(at + 4, at + 8 + size)) ^ 0xffffffff;
        assert.strictEqual(b.readUInt32BE(at + 8 + size), crc >>> 0, `${type} checksum`);
        if (type === 'IHDR') header = { width: data.readUInt32BE(0), height: data.readUInt32BE(4), depth: data[8], type: data[9] };
        if (type === 'IDAT') idat.push(data);
        at += 12 + size;
    }
    const raw = zlib.inflateSync(Buffer.concat(idat));
    const channels = { 0: 1, 2: 3, 3: 1, 6: 4 }[header.type];
    const rowBytes = (header.width * channels * header.depth) / 8;
    const out = Buffer.alloc(rowBytes * header.height);
    for (let y = 0; y < header.height; y++) {
        const filter = raw[y * (rowBytes + 1)];
        for (let x = 0; x < rowBytes; x++) {
            const v = raw[y * (rowBytes + 1) + 1 + x];
            out[y * rowBytes + x] = filter === 2 && y ? v + out[(y - 1) * rowBytes + x] : v;
        }
    }
    return { header, pixels: out };
}

test('PNG output keeps every pixel of grey, palette, colour and alpha images', async () => {
    const f = pqz.open(fs.readFileSync(path.join(root, 'samples', 'TestFile.pqz')));
    const kinds = new Set();
    for (const image of f.list().blocks.filter((b) => b.kind === 'image')) {
        const layout = PqzPng.layoutFor(image);
        const r = f.decode(image.index, layout.format);
        const png = await PqzPng.encode({
            width: r.width, height: r.height, kind: layout.kind, data: r.data,
            palette: image.palette, sourceBits: layout.sourceBits,
        });
        const { header, pixels } = readPng(png);
        assert.deepStrictEqual([header.width, header.height], [r.width, r.height]);
        const max = 2 ** image.bits_per_pixel - 1;
        const expected = layout.kind === 'grey' && image.bits_per_pixel < 8
            ? Uint8Array.from(r.data, (v) => Math.round((v * 255) / max))
            : r.data;
        assert.ok(Buffer.compare(pixels, Buffer.from(expected.buffer, 0, expected.length)) === 0,
            `image ${image.image_index} as ${layout.kind}`);
        kinds.add(layout.kind);
    }
    assert.deepStrictEqual([...kinds].sort(), ['grey', 'index', 'rgb', 'rgba']);
    f.close();
});
