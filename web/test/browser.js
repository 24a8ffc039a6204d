// The viewer page in a real browser: headless Chromium (the system's, driven by playwright-core)
// loads web/ from a local server, opens the sample through the file picker, and every image's
// canvas pixels must equal the native library's RGBA decode; zoom, saving as PNG, a damaged file
// with its salvage offer, a file that is no PQZ file and the progress of a large image are
// checked too.
//   node web/test/browser.js [--screenshot FILE.png]
// CHROMIUM sets the browser (default /usr/bin/chromium).
'use strict';
const assert = require('assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');
const { serve } = require('./serve.js');
const { root, nativeDecode, roundTripDir } = require('./native.js');

const sample = path.join(root, 'samples', 'TestFile.pqz');
const damaged = path.join(root, 'tests/data/vectors/damaged/trunc-raw-payload.pqz');
const notPqz = path.join(root, 'tests/data/vectors/damaged/bad-first-tag.pqz');

async function idle(page) {
    await page.waitForFunction(() => document.body.dataset.busy === '0', null, { timeout: 120000 });
}

// The canvas pixels as bytes (moved out of the page as base64).
async function canvasPixels(page) {
    const b64 = await page.evaluate(() => {
        const c = document.getElementById('canvas');
        const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let s = '';
        for (let i = 0; i < data.length; i += 0x8000) s += String.fromCharCode.apply(null, data.subarray(i, i + 0x8000));
        return btoa(s);
    });
    return Buffer.from(b64, 'base64');
}

// Compares the canvas with the native RGBA decode. Pixels that are not opaque go through the
// canvas's premultiplied store, which rounds their colour; they must keep their alpha and lie
// within that rounding (255 / alpha).
function comparePixels(canvas, native, what) {
    assert.strictEqual(canvas.length, native.length, `${what}: size`);
    let exact = 0;
    for (let i = 0; i < native.length; i += 4) {
        const a = native[i + 3];
        assert.strictEqual(canvas[i + 3], a, `${what}: alpha of pixel ${i / 4}`);
        if (a === 255) {
            for (let c = 0; c < 3; c++)
                if (canvas[i + c] !== native[i + c])
                    assert.fail(`${what}: pixel ${i / 4} is ${canvas.subarray(i, i + 4).join(',')}, natively ${native.subarray(i, i + 4).join(',')}`);
            exact++;
        } else if (a > 0) {
            for (let c = 0; c < 3; c++)
                assert.ok(Math.abs(canvas[i + c] - native[i + c]) <= Math.ceil(255 / a), `${what}: pixel ${i / 4}`);
        }
    }
    return exact;
}

async function checkSample(page) {
    await page.setInputFiles('#file-input', sample);
    await page.waitForFunction(() => document.body.dataset.thumbnails === 'done', null, { timeout: 300000 });
    await idle(page);
    const native = nativeDecode(sample, [4]).images;
    const thumbs = await page.$$eval('.thumb', (t) => t.map((e) => Number(e.dataset.block)));
    assert.deepStrictEqual(thumbs, native.map((n) => n.block), 'one thumbnail per image');
    assert.strictEqual(await page.$$eval('.extra', (e) => e.length), 4, 'extra blocks in the strip');
    let opaque = 0;
    for (const n of native) {
        await page.click(`.thumb[data-block="${n.block}"]`);
        await page.waitForSelector(`#canvas[data-block="${n.block}"]`);
        opaque += comparePixels(await canvasPixels(page), n.data, `block ${n.block}`);
        const rows = await page.$$eval('#info th', (th) => th.map((e) => e.textContent));
        for (const label of ['Size', 'Depth', 'Coding', 'Tolerance', 'Payload']) assert.ok(rows.includes(label), label);
    }
    console.log(`browser: ${native.length} images of the sample drawn as decoded natively (${opaque} opaque pixels exact)`);
}

async function checkZoomAndPng(page) {
    await page.click('.thumb[data-block="17"]');
    await page.waitForSelector('#canvas[data-block="17"]');
    await page.selectOption('#zoom', '2');
    const width = await page.$eval('#canvas', (c) => [c.width, parseFloat(c.style.width)]);
    assert.strictEqual(width[1], 2 * width[0], 'zoom 200 %');
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#save-png')]);
    const png = fs.readFileSync(await download.path());
    assert.deepStrictEqual([...png.subarray(0, 8)], [137, 80, 78, 71, 13, 10, 26, 10], 'a PNG file');
    assert.ok(download.suggestedFilename().endsWith('.png'));
    await page.selectOption('#zoom', 'fit');
}

// A file dropped on the page opens like a picked one.
async function checkDrop(page) {
    const file = path.join(root, 'tests/data/vectors/container/raw-8bit.pqz');
    const bytes = [...fs.readFileSync(file)];
    const dataTransfer = await page.evaluateHandle((b) => {
        const dt = new DataTransfer();
        dt.items.add(new File([new Uint8Array(b)], 'dropped.pqz'));
        return dt;
    }, bytes);
    await page.dispatchEvent('body', 'drop', { dataTransfer });
    await page.waitForFunction(() => /^dropped\.pqz: 6 image/.test(document.getElementById('message').textContent));
    await idle(page);
}

async function checkDamage(page) {
    await page.setInputFiles('#file-input', damaged);
    await page.waitForSelector('#message.error #salvage-retry');
    const text = await page.textContent('#message');
    assert.match(text, /damaged/, 'damaged file message');
    await page.click('#salvage-retry');
    await idle(page);
    await page.waitForFunction(() => document.getElementById('salvage').checked);
    // With salvage the cut image is listed and drawn in part.
    await page.waitForFunction(() => /cut short/.test(document.getElementById('message').textContent));

    // Without salvage: with it, the blocks behind the broken first tag would be read.
    await page.uncheck('#salvage');
    await page.setInputFiles('#file-input', notPqz);
    await page.waitForFunction(() => /cannot be read/.test(document.getElementById('message').textContent));
    assert.strictEqual(await page.$$eval('.thumb', (t) => t.length), 0);
    console.log(`browser: damaged file: "${text.replace(/Open again.*/, '')}"`);
}

// A large method-2 image: the progress bar shows while the worker decodes, and the page answers
// meanwhile.
async function checkProgress(page) {
    await page.setInputFiles('#file-input', path.join(roundTripDir(), 'method2.pqz'));
    await page.waitForSelector('#progress-box:not([hidden])', { timeout: 120000 });
    assert.notStrictEqual(await page.evaluate(() => document.body.dataset.busy), '0', 'the page answers during a decode');
    await page.waitForSelector('#canvas[data-block="0"]', { timeout: 300000 });
    await idle(page);
}

async function main() {
    const shot = process.argv.indexOf('--screenshot');
    const { server, url } = await serve(path.join(__dirname, '..'));
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'pqz2-chromium-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
        headless: true,
        acceptDownloads: true,
        viewport: { width: 1280, height: 800 },
        args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
            '--disable-component-update', '--disable-sync', '--no-first-run'],
    });
    const errors = [];
    try {
        const page = context.pages()[0] || (await context.newPage());
        page.on('pageerror', (e) => errors.push(String(e)));
        page.on('console', (m) => m.type() === 'error' && errors.push(m.text()));
        await page.goto(url + 'index.html');
        if (shot > 0) {
            await page.setInputFiles('#file-input', sample);
            await page.waitForFunction(() => document.body.dataset.thumbnails === 'done', null, { timeout: 300000 });
            await page.click('.thumb[data-block="17"]');
            await page.waitForSelector('#canvas[data-block="17"]');
            await page.selectOption('#zoom', 'fit');
            await idle(page);
            await page.screenshot({ path: path.resolve(process.argv[shot + 1]) });
            console.log(`screenshot: ${process.argv[shot + 1]}`);
        } else {
            await checkProgress(page);
            await checkSample(page);
            await checkZoomAndPng(page);
            await checkDrop(page);
            await checkDamage(page);
        }
        assert.deepStrictEqual(errors, [], 'errors in the page');
    } finally {
        await context.close();
        server.close();
        fs.rmSync(profile, { recursive: true, force: true });
    }
    console.log('browser test passed');
}

main().catch((e) => {
    console.error(e);
    process.exit(1);
});
