// Decode speed of the WebAssembly build in Node against the native library, per coding method,
// on the round-trip files (a 512 x 384 grey and a 512 x 384 colour photo per method):
//   node web/test/speed.js [REPEATS]      (default 5; best repetition of each image)
// MB/s are 10^6 bytes of pixels in the stored layout per second of processor time.
'use strict';
const fs = require('fs');
const path = require('path');
const Pqz2 = require('../pqz2.js');
const { nativeDecode, roundTripDir } = require('./native.js');

async function main() {
    const repeats = Number(process.argv[2] || 5);
    const dir = roundTripDir();
    const pqz = await Pqz2.load();
    console.log('method      wasm MB/s  native MB/s  wasm/native');
    for (const method of ['raw', 'context', 'method1', 'method2', 'bitstream']) {
        const file = path.join(dir, `${method}.pqz`);
        const native = nativeDecode(file, [0], { timeRepeats: repeats }).images;
        const f = pqz.open(fs.readFileSync(file));
        let bytes = 0, wasmSeconds = 0, nativeSeconds = 0;
        for (const n of native) {
            let best = Infinity;
            for (let i = 0; i <= repeats; i++) { // the first run also compiles the hot code
                const start = process.cpuUsage();
                const r = f.decode(n.block, 'native');
                const used = process.cpuUsage(start);
                const seconds = (used.user + used.system) / 1e6;
                if (!r.ok) throw new Error(`${method}: ${r.message}`);
                if (i) best = Math.min(best, seconds);
            }
            bytes += n.data.length;
            wasmSeconds += best;
            nativeSeconds += n.seconds;
        }
        f.close();
        const wasm = bytes / wasmSeconds / 1e6, nat = bytes / nativeSeconds / 1e6;
        console.log(`${method.padEnd(10)} ${wasm.toFixed(2).padStart(10)} ${nat.toFixed(2).padStart(12)} ${(wasm / nat).toFixed(2).padStart(12)}`);
    }
}

main().catch((e) => {
    console.error(e);
    process.exit(1);
});
