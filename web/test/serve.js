// Serves web/ on 127.0.0.1 for the browser test and for trying the page:
//   node web/test/serve.js [PORT]      (default 8000)
'use strict';
const fs = require('fs');
const http = require('http');
const path = require('path');

const TYPES = {
    '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
    '.css': 'text/css; charset=utf-8', '.wasm': 'application/wasm', '.png': 'image/png',
    '.pqz': 'application/octet-stream',
};

// Starts a server for dir; resolves to { server, url } once it listens.
function serve(dir, port = 0) {
    const base = path.resolve(dir);
    const server = http.createServer((req, res) => {
        const name = decodeURIComponent(new URL(req.url, 'http://localhost').pathname);
        const file = path.join(base, name.endsWith('/') ? name + 'index.html' : name);
        if (!file.startsWith(base + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
            res.writeHead(404).end('not found');
            return;
        }
        res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
        if (req.method === 'HEAD') res.end();
        else fs.createReadStream(file).pipe(res);
    });
    return new Promise((resolve) => {
        server.listen(port, '127.0.0.1', () => resolve({ server, url: `http://127.0.0.1:${server.address().port}/` }));
    });
}

if (require.main === module) {
    serve(path.join(__dirname, '..'), Number(process.argv[2] || 8000)).then(({ url }) => console.log(`serving web/ at ${url}`));
}

module.exports = { serve };
