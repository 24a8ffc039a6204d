/*
 * The PQZ viewer page: opens a file from the picker or a drop, lists its blocks as a strip of
 * thumbnails and extra-block cards, shows the selected image with its details, and saves it as
 * PNG. All decoding happens in worker.js.
 */
'use strict';

const $ = (id) => document.getElementById(id);
const CACHE_LIMIT = 512 * 1024 * 1024; // bytes of decoded pixels kept for quick switching

const state = {
    name: '',
    buffer: null, // the file's bytes, kept to open it again with salvage
    salvage: false,
    listing: null,
    selected: -1,
    cache: new Map(), // block -> decode answer, oldest first
    cacheBytes: 0,
    generation: 0, // bumped on every open: answers for an older file are dropped
};

/* ---------------------------------------------------------------------------------------- */
/* Worker requests                                                                           */

const worker = new Worker('worker.js');
const pending = new Map();
let nextId = 1;

worker.onmessage = (event) => {
    const m = event.data;
    if (m.type === 'progress') {
        showProgress(m.done, m.total);
        return;
    }
    const resolve = pending.get(m.id);
    pending.delete(m.id);
    if (resolve) resolve(m);
};
worker.onerror = (event) => showMessage(`The decoder could not start: ${event.message}`, true);

function request(message, transfer = []) {
    const id = nextId++;
    return new Promise((resolve) => {
        pending.set(id, resolve);
        worker.postMessage(Object.assign({ id }, message), transfer);
    });
}

function busy(delta) {
    document.body.dataset.busy = String(Number(document.body.dataset.busy) + delta);
}

/* ---------------------------------------------------------------------------------------- */
/* Messages and progress                                                                     */

// Shows text; error marks it as a failure, and offerSalvage adds a button that opens the file
// again reading what survives.
function showMessage(text, error = false, offerSalvage = false) {
    const box = $('message');
    box.hidden = false;
    box.className = error ? 'error' : '';
    box.textContent = text;
    if (offerSalvage && !state.salvage && state.buffer) {
        const b = document.createElement('button');
        b.id = 'salvage-retry';
        b.type = 'button';
        b.textContent = 'Open again and read what survives';
        b.onclick = () => openBytes(state.name, state.buffer, true);
        box.append(b);
    }
}

function showProgress(done, total) {
    const box = $('progress-box');
    box.hidden = !(total > 0 && done < total);
    $('progress').value = total > 0 ? done / total : 0;
    $('progress-text').textContent = total > 0 ? `${Math.floor((100 * done) / total)} %` : '';
}

/* ---------------------------------------------------------------------------------------- */
/* Opening                                                                                   */

async function openBytes(name, buffer, salvage) {
    const generation = ++state.generation;
    Object.assign(state, { name, buffer, salvage, listing: null, selected: -1 });
    $('salvage').checked = salvage;
    state.cache.clear();
    state.cacheBytes = 0;
    $('strip').replaceChildren();
    $('info').replaceChildren();
    clearCanvas();
    showMessage(`Opening ${name}…`);
    const copy = buffer.slice(0);
    busy(1);
    const r = await request({ type: 'open', bytes: copy, salvage }, [copy]);
    busy(-1);
    if (generation !== state.generation) return;
    if (!r.ok) {
        showMessage(`${name} cannot be read: ${r.message || r.statusText}`, true, true);
        return;
    }
    state.listing = r.listing;
    const blocks = r.listing.blocks;
    const images = blocks.filter((b) => b.kind === 'image');
    buildStrip(blocks);
    if (!r.listing.complete) {
        const whole = images.filter((b) => !b.damage).length;
        const shown = whole ? ` The ${whole} image(s) before the damage are shown.` : '';
        showMessage(`${name} is damaged: ${r.listing.message}.${shown}`, true, true);
    } else {
        const skipped = blocks.reduce((n, b) => n + b.skipped_size, 0);
        const extras = blocks.length - images.length;
        let text = `${name}: ${images.length} image(s), ${extras} extra block(s), ${buffer.byteLength} bytes.`;
        const cut = blocks.filter((b) => b.damage).length;
        if (skipped) text += ` ${skipped} damaged bytes were passed over.`;
        if (cut) text += ` ${cut} block(s) cut short by the end of the file.`;
        showMessage(text, skipped > 0 || cut > 0);
    }
    if (images.length) await select(images[0].index);
    await makeThumbnails(generation, images);
}

async function openFile(f) {
    if (f) openBytes(f.name, await f.arrayBuffer(), $('salvage').checked);
}

/* ---------------------------------------------------------------------------------------- */
/* Decoding and the cache                                                                    */

async function decodeBlock(block, withProgress) {
    const cached = state.cache.get(block);
    if (cached) {
        state.cache.delete(block); // most recently used last
        state.cache.set(block, cached);
        return cached;
    }
    const generation = state.generation;
    busy(1);
    const r = await request({ type: 'decode', block, progress: withProgress });
    busy(-1);
    if (withProgress) showProgress(0, 0);
    if (generation !== state.generation) return null;
    const size = r.rgba ? r.rgba.byteLength : 0;
    if (r.ok && size <= CACHE_LIMIT) {
        state.cache.set(block, r);
        state.cacheBytes += size;
        for (const [key, old] of state.cache) {
            if (state.cacheBytes <= CACHE_LIMIT) break;
            state.cache.delete(key);
            state.cacheBytes -= old.rgba ? old.rgba.byteLength : 0;
        }
    }
    return r;
}

function imageData(r) {
    return new ImageData(new Uint8ClampedArray(r.rgba), r.width, r.height);
}

async function makeThumbnails(generation, images) {
    for (const image of images) {
        if (generation !== state.generation) return;
        const r = await decodeBlock(image.index, false);
        if (!r || generation !== state.generation) return;
        const slot = document.querySelector(`.thumb[data-block="${image.index}"]`);
        if (!slot) continue;
        slot.classList.toggle('bad', !r.ok || r.damaged);
        if (!r.ok || !r.rgba || !r.width || !r.height) continue;
        const full = document.createElement('canvas');
        full.width = r.width;
        full.height = r.height;
        full.getContext('2d').putImageData(imageData(r), 0, 0);
        const scale = Math.min(96 / r.width, 72 / r.height, 4);
        const thumb = document.createElement('canvas');
        thumb.width = Math.max(1, Math.round(r.width * scale));
        thumb.height = Math.max(1, Math.round(r.height * scale));
        const ctx = thumb.getContext('2d');
        ctx.imageSmoothingEnabled = scale < 1;
        ctx.drawImage(full, 0, 0, thumb.width, thumb.height);
        slot.querySelector('.placeholder, canvas').replaceWith(thumb);
    }
    document.body.dataset.thumbnails = 'done';
}

/* ---------------------------------------------------------------------------------------- */
/* The strip                                                                                 */

function buildStrip(blocks) {
    document.body.dataset.thumbnails = 'pending';
    const strip = $('strip');
    for (const b of blocks) {
        const item = document.createElement(b.kind === 'image' ? 'button' : 'div');
        if (b.kind === 'image') {
            item.type = 'button';
            item.className = 'thumb';
            item.dataset.block = b.index;
            item.title = `Image ${b.image_index} (block ${b.index})`;
            const placeholder = document.createElement('div');
            placeholder.className = 'placeholder';
            item.append(placeholder, `${b.image_index}: ${b.width} × ${b.height}, ${b.bits_per_pixel} bit`);
            item.onclick = () => select(b.index);
            if (b.damage) item.classList.add('bad');
        } else {
            item.className = 'extra';
            item.append(`extra block ${b.index}`, document.createElement('br'),
                `type ${b.extra_type}, ${b.extra_size} bytes`);
        }
        if (b.skipped_size) item.title = `${b.skipped_size} damaged bytes passed over before this block`;
        strip.append(item);
    }
}

/* ---------------------------------------------------------------------------------------- */
/* The selected image                                                                        */

async function select(block) {
    state.selected = block;
    for (const t of document.querySelectorAll('.thumb'))
        t.classList.toggle('selected', Number(t.dataset.block) === block);
    const image = state.listing.blocks.find((b) => b.index === block);
    showInfo(image);
    $('save-note').textContent = '';
    const r = await decodeBlock(block, true);
    if (!r || state.selected !== block) return;
    draw(image, r);
}

function clearCanvas() {
    const canvas = $('canvas');
    canvas.width = canvas.height = 0;
    delete canvas.dataset.block;
    $('toolbar').hidden = true;
    $('empty').hidden = false;
}

function draw(image, r) {
    clearCanvas();
    $('empty').hidden = true;
    const canvas = $('canvas');
    if (!r.ok) {
        showMessage(`Image ${image.image_index} cannot be decoded: ${r.message}`, true, true);
        $('empty').hidden = false;
        return;
    }
    if (r.damaged)
        showMessage(`Image ${image.image_index} is damaged: rows ${r.goodRows} to ${r.height - 1} ` +
            'could not be decoded and are left black.', true);
    if (r.width && r.height) {
        canvas.width = r.width;
        canvas.height = r.height;
        canvas.getContext('2d').putImageData(imageData(r), 0, 0);
        $('toolbar').hidden = false;
    } else {
        $('empty').hidden = false;
        $('empty').textContent = `Image ${image.image_index} has no pixels (${r.width} × ${r.height}).`;
    }
    canvas.dataset.block = String(image.index);
    applyZoom();
}

function applyZoom() {
    const canvas = $('canvas');
    if (!canvas.width) return;
    let scale = $('zoom').value;
    if (scale === 'fit') {
        const box = $('canvas-box');
        scale = Math.min((box.clientWidth - 2) / canvas.width, (box.clientHeight - 2) / canvas.height);
    }
    canvas.style.width = `${canvas.width * Number(scale)}px`;
    canvas.style.height = `${canvas.height * Number(scale)}px`;
}

function stepZoom(direction) {
    const select = $('zoom');
    const next = select.selectedIndex + direction;
    if (next >= 1 && next < select.options.length) select.selectedIndex = next;
    else if (select.value === 'fit') select.value = '1';
    applyZoom();
}

async function savePng() {
    const block = state.selected;
    const image = state.listing.blocks.find((b) => b.index === block);
    $('save-note').textContent = 'Preparing the PNG…';
    busy(1);
    const r = await request({ type: 'png', block });
    busy(-1);
    if (!r.ok) {
        $('save-note').textContent = `No PNG: ${r.message}`;
        return;
    }
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([r.png], { type: 'image/png' }));
    link.download = `${state.name.replace(/\.pqz$/i, '')}-${image.image_index}.png`;
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    $('save-note').textContent = r.loss ? `The PNG drops ${r.loss}.` : 'Saved without loss.';
}

/* ---------------------------------------------------------------------------------------- */
/* Details                                                                                   */

function table(rows, className) {
    const t = document.createElement('table');
    if (className) t.className = className;
    for (const [label, value] of rows) {
        const tr = t.insertRow();
        const th = document.createElement('th');
        th.textContent = label;
        tr.append(th);
        const td = tr.insertCell();
        if (value instanceof Node) td.append(value);
        else td.textContent = String(value);
    }
    return t;
}

function heading(text) {
    const h = document.createElement('h2');
    h.textContent = text;
    return h;
}

// Printable text as it is, anything else as hex bytes.
function bytesText(bytes, total) {
    const printable = bytes.every((c) => (c >= 32 && c < 127) || c === 9 || c === 10 || c === 13);
    const shown = printable
        ? new TextDecoder().decode(bytes)
        : Array.from(bytes, (c) => c.toString(16).padStart(2, '0')).join(' ');
    const code = document.createElement('code');
    code.textContent = shown + (total > bytes.length ? ` … (${total} bytes)` : '');
    return code;
}

function planesTable(image) {
    const t = document.createElement('table');
    t.className = 'planes';
    const head = t.insertRow();
    for (const h of ['plane', 'order', 'coding', 'method', 'reference']) {
        const th = document.createElement('th');
        th.textContent = h;
        head.append(th);
    }
    image.planes.forEach((p, i) => {
        const tr = t.insertRow();
        const ref = p.has_reference ? `+${p.offset}, weights ${p.coef.join(' ')}` : '–';
        for (const v of [i, p.order, p.coding, `${p.method}${p.model_flag ? ' (model flag)' : ''}`, ref])
            tr.insertCell().textContent = String(v);
    });
    return t;
}

function showInfo(b) {
    const info = $('info');
    info.replaceChildren();
    info.append(heading(`Image ${b.image_index}`));
    if (b.info_message !== undefined) {
        info.append(table([['Details', b.info_message]]));
        return;
    }
    const rows = [
        ['Size', `${b.width} × ${b.height} pixels`],
        ['Depth', `${b.bits_per_pixel} bits per pixel (${b.colour})`],
        ['Coding', b.compressed ? b.coding + (b.separate_planes ? ', planes coded separately' : '') : 'raw'],
        ['Tolerance', b.tolerance ? `±${b.tolerance}` : '0 (lossless)'],
        ['Payload', `${b.payload_size} bytes at offset ${b.payload_offset}`],
        ['Block', `number ${b.index}, ${b.size} bytes at offset ${b.offset}`],
    ];
    if (b.palette_entries)
        rows.push(['Palette', `${b.palette_entries} colours${b.palette_inherited ? ', from an earlier image' : ''}`]);
    if (b.damage) rows.push(['Damage', 'the block runs past the end of the file']);
    if (b.skipped_size) rows.push(['Passed over', `${b.skipped_size} damaged bytes before this block`]);
    info.append(table(rows));
    if (b.planes.length) {
        info.append(heading('Planes'));
        info.append(planesTable(b));
    }
    if (b.has_aux) {
        info.append(heading('Auxiliary header'));
        info.append(table([['Type', b.aux_type], ['Size', `${b.aux_size} bytes`], ['Data', bytesText(b.preview, b.aux_size)]]));
    }
    const extras = state.listing.blocks.filter((e) => e.kind === 'extra');
    if (extras.length) {
        info.append(heading('Extra blocks of the file'));
        info.append(table(extras.map((e) => [`block ${e.index}, type ${e.extra_type}`, bytesText(e.preview, e.extra_size)])));
    }
}

/* ---------------------------------------------------------------------------------------- */
/* Wiring                                                                                    */

$('file-input').onchange = (event) => openFile(event.target.files[0]);
$('zoom').onchange = applyZoom;
$('zoom-in').onclick = () => stepZoom(1);
$('zoom-out').onclick = () => stepZoom(-1);
$('save-png').onclick = savePng;
window.addEventListener('resize', applyZoom);

let dragDepth = 0;
document.addEventListener('dragenter', (e) => {
    e.preventDefault();
    dragDepth++;
    $('drop-hint').hidden = false;
});
document.addEventListener('dragleave', () => {
    if (--dragDepth <= 0) $('drop-hint').hidden = true;
});
document.addEventListener('dragover', (e) => e.preventDefault());
document.addEventListener('drop', (e) => {
    e.preventDefault();
    dragDepth = 0;
    $('drop-hint').hidden = true;
    openFile(e.dataTransfer.files[0]);
});

// The sample file is offered when the build put it next to the page.
fetch('lib/TestFile.pqz', { method: 'HEAD' }).then((r) => {
    if (!r.ok) return;
    const b = $('open-sample');
    b.hidden = false;
    b.onclick = async () => {
        const data = await (await fetch('lib/TestFile.pqz')).arrayBuffer();
        openBytes('TestFile.pqz', data, $('salvage').checked);
    };
}, () => {});
