// A fetch() for the client outside a browser that trusts one authority (the
// global fetch of Node cannot be given a CA per call). Node applies no CORS,
// like a browser extension with host permission or an embedded WebView.
import https from 'node:https';

export function fetchTrusting(ca) {
    return (url, init = {}) => new Promise((resolve, reject) => {
        const u = new URL(url);
        const body = init.body ?? '';
        const req = https.request({ host: u.hostname, port: u.port, path: u.pathname + u.search, method: init.method || 'GET',
            ca, headers: { ...init.headers, 'Content-Length': Buffer.byteLength(body) } }, (res) => {
            let data = '';
            res.setEncoding('utf8');
            res.on('data', (c) => { data += c; });
            res.on('end', () => resolve({
                status: res.statusCode,
                statusText: res.statusMessage,
                headers: { get: (name) => res.headers[name.toLowerCase()] ?? null },
                text: async () => data,
            }));
        });
        req.on('error', (e) => reject(new TypeError(`fetch failed: ${e.message}`)));
        init.signal?.addEventListener('abort', () => req.destroy(new Error('aborted')));
        req.end(body);
    });
}
