/*
 * The page's decoding worker: holds the open file and answers requests from the page, so that
 * decoding never blocks the page. Every request carries an id that its answer repeats.
 *
 *   { type: 'open', id, bytes: ArrayBuffer, salvage }  -> { ok, status, message, listing }
 *   { type: 'decode', id, block, progress }            -> { ok, status, message, width, height,
 *                                                          damaged, goodRows, rgba: ArrayBuffer }
 *   { type: 'png', id, block }                         -> { ok, message, png: ArrayBuffer, loss }
 * and, during a decode with progress set, { type: 'progress', id, done, total }.
 */
'use strict';
importScripts('lib/pqz2_wasm.js', 'pqz2.js', 'png.js');

const ready = Pqz2.load(self.createPqz2Module, {
    locateFile: (name) => new URL('lib/' + name, self.location.href).href,
});
let file = null;
let listing = null;

function answer(message, transfer = []) {
    self.postMessage(message, transfer);
}

function imageOf(block) {
    return listing && listing.blocks.find((b) => b.index === block && b.kind === 'image');
}

// Progress at most every 50 ms, and the last call always.
function progressSender(id) {
    let last = 0;
    return (done, total) => {
        const now = Date.now();
        if (done === total || now - last > 50) {
            last = now;
            answer({ type: 'progress', id, done, total });
        }
        return false;
    };
}

function open(pqz, msg) {
    if (file) file.close();
    listing = null;
    file = pqz.open(new Uint8Array(msg.bytes), { salvage: msg.salvage });
    const reply = { type: 'opened', id: msg.id, ok: file.ok, status: file.status, message: file.message };
    reply.statusText = pqz.statusText(file.status);
    if (file.ok) listing = reply.listing = file.list();
    answer(reply);
}

function decode(msg) {
    const r = file.decode(msg.block, 'rgba8', msg.progress ? progressSender(msg.id) : null);
    const rgba = r.data ? r.data.buffer : null;
    answer(
        {
            type: 'decoded', id: msg.id, block: msg.block, ok: r.ok, status: r.status,
            message: r.message, width: r.width, height: r.height, damaged: r.damaged,
            goodRows: r.goodRows, rgba,
        },
        rgba ? [rgba] : [],
    );
}

async function png(msg) {
    const image = imageOf(msg.block);
    const layout = PqzPng.layoutFor(image);
    const r = file.decode(msg.block, layout.format);
    if (!r.ok || !r.data) {
        answer({ type: 'png', id: msg.id, ok: false, message: r.message });
        return;
    }
    const bytes = await PqzPng.encode({
        width: r.width, height: r.height, kind: layout.kind, data: r.data,
        palette: image.palette, sourceBits: layout.sourceBits,
    });
    answer({ type: 'png', id: msg.id, ok: true, png: bytes.buffer, loss: layout.loss, partial: r.damaged },
        [bytes.buffer]);
}

self.onmessage = async (event) => {
    const msg = event.data;
    try {
        const pqz = await ready;
        if (msg.type === 'open') open(pqz, msg);
        else if (!file) throw new Error('no file is open');
        else if (msg.type === 'decode') decode(msg);
        else if (msg.type === 'png') await png(msg);
    } catch (e) {
        answer({ type: 'failed', id: msg.id, ok: false, message: String((e && e.message) || e) });
    }
};
