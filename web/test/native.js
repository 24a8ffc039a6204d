// The native decode the WebAssembly build is compared with: runs pqz2_dump (web/native) and
// splits its output into records.
'use strict';
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..', '..');

// Folder of the native build (PQZ2_BUILD_DIR, default build/ of the source tree).
function buildDir() {
    return path.resolve(process.env.PQZ2_BUILD_DIR || path.join(root, 'build'));
}

function dumpTool() {
    return process.env.PQZ2_DUMP || path.join(buildDir(), 'web', 'native', 'pqz2_dump');
}

// Decodes every image of file in each of formats: { images: [{ block, format, status,
// goodRows, data }], end } with end the status that ended the walk.
function nativeDecode(file, formats, { salvage = false, timeRepeats = 0 } = {}) {
    const args = [];
    if (salvage) args.push('--salvage');
    if (timeRepeats) args.push('--time', String(timeRepeats));
    args.push(file, ...formats.map(String));
    const out = execFileSync(dumpTool(), args, { maxBuffer: 1 << 30 });
    const images = [];
    let at = 0;
    for (;;) {
        const eol = out.indexOf(10, at);
        if (eol < 0) throw new Error(`pqz2_dump output ends early for ${file}`);
        const fields = out.toString('latin1', at, eol).split(' ');
        at = eol + 1;
        if (fields[0] === 'E') return { images, end: Number(fields[1]) };
        if (fields[0] === 'T') {
            images[images.length - 1].seconds = Number(fields[1]);
            continue;
        }
        const [block, format, status, goodRows, size] = fields.slice(1).map(Number);
        images.push({ block, format, status, goodRows, data: out.subarray(at, at + size) });
        at += size;
    }
}

// Folder of the round-trip files (one per coding method), made by make_web_files when missing.
function roundTripDir() {
    const dir = process.env.PQZ2_WEB_FILES || path.join(buildDir(), 'web-files');
    if (!fs.existsSync(path.join(dir, 'method2.pqz'))) {
        fs.mkdirSync(dir, { recursive: true });
        execFileSync(path.join(buildDir(), 'web', 'native', 'make_web_files'), [dir]);
    }
    return dir;
}

module.exports = { root, buildDir, nativeDecode, roundTripDir };
