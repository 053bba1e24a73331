#!/usr/bin/env node
// SPDX-License-Identifier: MIT (web/LICENSE)
// A small site that logs users in with their card through the Quorvex Crypto
// Provider, and shows who logged in. Node's own http/https modules only.
//
//   node web/sample-site/server.mjs --trust <folder of CA certificates> [--port 8090]
//        [--origin http://localhost:8090] [--intermediates <folder>] [--ocsp [url]] [--ocsp-soft]
//        [--tls-cert cert.pem --tls-key key.pem] [--agent-port 48460]
//
// The flow (docs/authentication.md): the page asks POST /api/nonce, which keeps a
// fresh nonce in the visitor's server-side session; the page calls authenticate(nonce)
// of qtx-client.js; the user picks a certificate and types the PIN in the agent's
// dialog; the page posts the token to /api/login, which checks it against this
// site's origin and the session's nonce and starts a new session for the user.
import { randomBytes } from 'node:crypto';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import { dirname, join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { AuthTokenValidator, AuthTokenError, MemoryNonceStore, NonceStoreFullError, certificatesFromFolder } from '../validator/index.js';

const here = dirname(fileURLToPath(import.meta.url));
const MAX_BODY = 64 * 1024;
const VISITOR_MS = 10 * 60 * 1000;
const USER_MS = 30 * 60 * 1000;
const MAX_SESSIONS = 10000;

const STATIC = {
    '/': ['index.html', 'text/html; charset=utf-8'],
    '/login.js': ['login.js', 'text/javascript; charset=utf-8'],
    '/qtx-client.js': ['../qtx-client.js', 'text/javascript; charset=utf-8'],
};

/** Server-side sessions behind an HttpOnly cookie; nothing the page could alter. */
class Sessions {
    constructor(secure) {
        this.secure = secure;
        this.map = new Map();
    }

    get(req) {
        const m = /(?:^|;\s*)sid=([A-Za-z0-9_-]{43})(?:;|$)/.exec(req.headers.cookie || '');
        const s = m && this.map.get(m[1]);
        if (!s || s.expires < Date.now())
            return null;
        s.expires = Date.now() + s.lifetime;
        return s;
    }

    /**
     * A new session (a new id: the id of a visitor never becomes the id of a user),
     * or null when MAX_SESSIONS live ones exist: a flood of visitors is refused
     * rather than pushing logged-in users out.
     */
    create(res, data = {}) {
        if (this.map.size >= MAX_SESSIONS)
            for (const [id, s] of this.map)
                if (s.expires < Date.now()) this.map.delete(id);
        if (this.map.size >= MAX_SESSIONS)
            return null;
        const id = randomBytes(32).toString('base64url');
        const lifetime = data.user ? USER_MS : VISITOR_MS;
        const s = { id, lifetime, expires: Date.now() + lifetime, ...data };
        this.map.set(id, s);
        res.setHeader('Set-Cookie', `sid=${id}; Path=/; HttpOnly; SameSite=Strict${this.secure ? '; Secure' : ''}`);
        return s;
    }

    drop(s) {
        if (s) this.map.delete(s.id);
    }
}

function send(res, status, body, type = 'application/json; charset=utf-8') {
    const data = typeof body === 'string' || Buffer.isBuffer(body) ? body : JSON.stringify(body);
    res.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-store', 'X-Content-Type-Options': 'nosniff' });
    res.end(data);
}

function readBody(req) {
    return new Promise((resolve, reject) => {
        const chunks = [];
        let size = 0;
        req.on('data', (c) => {
            size += c.length;
            if (size > MAX_BODY) {
                reject(new Error('body too large'));
                req.destroy();
            } else {
                chunks.push(c);
            }
        });
        req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
        req.on('error', reject);
    });
}

/** What the page shows of the user: the certificate's subject and the check's details. */
function userOf(r) {
    return {
        commonName: r.subject.commonName ?? '',
        givenName: r.subject.givenName ?? '',
        surname: r.subject.surname ?? '',
        serialNumber: r.subject.serialNumber ?? '',
        country: r.subject.country ?? '',
        organization: r.subject.organization ?? '',
        issuer: r.issuer.replace(/\n/g, ', '),
        certificateSerial: r.serialNumber,
        validUntil: r.notAfter.toISOString(),
        algorithm: r.algorithm,
        appVersion: r.appVersion,
        revocation: r.ocsp ? r.ocsp.status : 'not checked',
    };
}

/**
 * The site's request handler. options: origin, trustAnchors, intermediateCertificates,
 * ocsp, agentPort, secure (cookies only over HTTPS), log (a function for failures).
 */
export function createSite(options) {
    const nonceStore = new MemoryNonceStore();
    const validator = new AuthTokenValidator({ ...options, nonceStore });
    const origin = validator.origin;
    const host = new URL(origin).host;
    const sessions = new Sessions(Boolean(options.secure));
    const agentPort = Number(options.agentPort) || 48460;
    const log = options.log || ((line) => console.log(line));
    const files = {};
    for (const [path, [file, type]] of Object.entries(STATIC)) {
        let body = readFileSync(join(here, file));
        if (file === 'index.html')
            body = Buffer.from(body.toString('utf8').replace('{{AGENT_PORT}}', String(agentPort)));
        files[path] = [body, type];
    }
    const csp = "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
        + "connect-src 'self' https://127.0.0.1:* https://localhost:*; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

    async function api(req, res, path) {
        // A state-changing call from another site's page (or a page on another host name) is refused.
        if (req.headers.origin !== origin)
            return send(res, 403, { error: 'FORBIDDEN', message: `requests must come from ${origin}` });
        if (path === '/api/nonce') {
            const session = sessions.get(req) || sessions.create(res);
            if (!session)
                return send(res, 503, { error: 'BUSY', message: 'too many visitors; try again later' });
            if (session.nonce)
                nonceStore.take(session.nonce);     // one live nonce per session
            try {
                const { nonce, expiresAt } = await validator.issueNonce();
                session.nonce = nonce;
                return send(res, 200, { nonce, expiresAt: expiresAt.toISOString() });
            } catch (e) {
                if (!(e instanceof NonceStoreFullError))
                    throw e;
                return send(res, 503, { error: e.code, message: e.message });
            }
        }
        if (path === '/api/login') {
            const session = sessions.get(req);
            const nonce = session ? session.nonce : undefined;
            if (session) delete session.nonce;              // one nonce, one try
            let token;
            try {
                if (!/^application\/json\b/.test(req.headers['content-type'] || ''))
                    return send(res, 415, { error: 'UNSUPPORTED_MEDIA_TYPE', message: 'send JSON' });
                token = JSON.parse(await readBody(req)).token;
            } catch (e) {
                return send(res, 400, { error: 'BAD_REQUEST', message: e.message });
            }
            try {
                const result = await validator.validate(token, nonce);
                sessions.drop(session);
                const user = userOf(result);
                if (!sessions.create(res, { user }))
                    return send(res, 503, { error: 'BUSY', message: 'too many sessions; try again later' });
                log(`log-in: ${user.commonName} (${user.serialNumber}), ${user.algorithm}`);
                return send(res, 200, { user });
            } catch (e) {
                if (!(e instanceof AuthTokenError))
                    throw e;
                log(`log-in refused: ${e.code}: ${e.message}`);
                return send(res, 401, { error: e.code, message: e.message });
            }
        }
        if (path === '/api/logout') {
            sessions.drop(sessions.get(req));
            res.setHeader('Set-Cookie', 'sid=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict');
            return send(res, 200, {});
        }
        return send(res, 404, { error: 'NOT_FOUND' });
    }

    async function handle(req, res) {
        const path = new URL(req.url, origin).pathname;
        // Only the configured host name: the token is bound to one origin, and a
        // page under another name (127.0.0.1 for localhost) would make tokens this site refuses.
        if (req.headers.host !== host) {
            if (req.method === 'GET') {
                res.writeHead(307, { Location: origin + path });
                return res.end();
            }
            return send(res, 421, { error: 'MISDIRECTED', message: `use ${origin}` });
        }
        if (req.method === 'GET' && path === '/api/me') {
            const s = sessions.get(req);
            return send(res, 200, { user: (s && s.user) || null });
        }
        if (req.method === 'GET' && path === '/favicon.ico') {
            res.writeHead(204);
            return res.end();
        }
        if (req.method === 'GET' && files[path]) {
            res.setHeader('Content-Security-Policy', csp);
            return send(res, 200, files[path][0], files[path][1]);
        }
        if (req.method === 'POST' && path.startsWith('/api/'))
            return api(req, res, path);
        return send(res, 404, { error: 'NOT_FOUND' });
    }

    return {
        origin,
        validator,
        handler: (req, res) => handle(req, res).catch((e) => {
            log(`error: ${e.stack || e}`);
            if (!res.headersSent) send(res, 500, { error: 'INTERNAL', message: 'internal error' });
            else res.destroy();
        }),
    };
}

/**
 * Starts the site on host:port (port 0: any free one). Without an origin it is
 * http(s)://localhost:<the port>. Resolves to { server, origin, validator, close }.
 */
export async function startSite(options = {}) {
    const secure = Boolean(options.tlsCert);
    const server = secure
        ? https.createServer({ cert: readFileSync(options.tlsCert), key: readFileSync(options.tlsKey) })
        : http.createServer();
    server.headersTimeout = 10000;
    server.requestTimeout = 30000;
    await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(options.port ?? 8090, options.host || '127.0.0.1', resolve);
    });
    const origin = options.origin || `${secure ? 'https' : 'http'}://localhost:${server.address().port}`;
    let site;
    try {
        site = createSite({ ...options, origin, secure });
    } catch (e) {
        server.close();
        throw e;
    }
    server.on('request', site.handler);
    return { server, origin: site.origin, validator: site.validator,
        close: () => new Promise((resolve) => { server.closeAllConnections?.(); server.close(resolve); }) };
}

function parseArgs(argv) {
    const o = {};
    for (let i = 0; i < argv.length; ++i) {
        const a = argv[i];
        const value = () => {
            if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
            return argv[++i];
        };
        if (a === '--trust') o.trustAnchors = certificatesFromFolder(value());
        else if (a === '--intermediates') o.intermediateCertificates = certificatesFromFolder(value());
        else if (a === '--port') o.port = Number(value());
        else if (a === '--host') o.host = value();
        else if (a === '--origin') o.origin = value();
        else if (a === '--agent-port') o.agentPort = Number(value());
        else if (a === '--tls-cert') o.tlsCert = value();
        else if (a === '--tls-key') o.tlsKey = value();
        else if (a === '--ocsp') o.ocsp = { ...(o.ocsp || {}), ...(argv[i + 1] && !argv[i + 1].startsWith('--') ? { url: value() } : {}) };
        else if (a === '--ocsp-soft') o.ocsp = { ...(o.ocsp || {}), required: false };
        else throw new Error(`unknown option ${a}`);
    }
    if (!o.trustAnchors)
        throw new Error('--trust <folder of CA certificates> is required');
    return o;
}

if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) {
    try {
        const options = parseArgs(process.argv.slice(2));
        const site = await startSite(options);
        console.log(`Sample site on ${site.origin}/ (the agent's configured port: ${options.agentPort || 48460})`);
    } catch (e) {
        console.error(`sample site: ${e.message}`);
        process.exit(1);
    }
}
