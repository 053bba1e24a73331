// A tiny static file server for the test pages: "/" is web/ (the client and the
// demo, as a site would host them), "/test/" is tests/browser/pages/.
import http from 'node:http';
import { readFile } from 'node:fs/promises';
import { join, normalize, extname } from 'node:path';
import { pagesDir, webDir } from './env.mjs';

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8', '.json': 'application/json' };

async function handle(req, res) {
    const url = new URL(req.url, 'http://x');
    let root = webDir;
    let rel = decodeURIComponent(url.pathname);
    if (rel.startsWith('/test/')) {
        root = pagesDir;
        rel = rel.slice('/test'.length);
    }
    if (rel.endsWith('/')) rel += 'index.html';
    const file = normalize(join(root, rel));
    if (!file.startsWith(root)) {
        res.writeHead(403).end();
        return;
    }
    try {
        const data = await readFile(file);
        res.writeHead(200, { 'Content-Type': TYPES[extname(file)] || 'application/octet-stream', 'Cache-Control': 'no-store' });
        res.end(data);
    } catch (_) {
        res.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
    }
}

function listen(port, host) {
    return new Promise((resolve, reject) => {
        const server = http.createServer((req, res) => { handle(req, res); });
        server.once('error', reject);
        server.listen(port, host, () => resolve(server));
    });
}

/** Serves the same files on two origins: http://localhost:<p1> and http://127.0.0.1:<p2>. */
export async function startSites(p1, p2) {
    const servers = [await listen(p1, '127.0.0.1'), await listen(p2, '127.0.0.1')];
    // Chromium may resolve localhost to ::1 first.
    await listen(p1, '::1').then((s) => servers.push(s), () => {});
    return {
        first: `http://localhost:${p1}`,
        second: `http://127.0.0.1:${p2}`,
        close: () => Promise.all(servers.map((s) => new Promise((r) => { s.closeAllConnections?.(); s.close(() => r()); }))),
    };
}
