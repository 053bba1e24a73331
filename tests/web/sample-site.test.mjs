// The sample site's log-in flow over HTTP on a free loopback port, with tokens
// made here: nonce, log-in, who is logged in, and what the site refuses.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { startSite } from '../../web/sample-site/server.mjs';
import { Pki, freePort, makeToken } from './pki.mjs';

let site;
let pki;
let user;

before(async () => {
    pki = new Pki();
    const root = pki.ca('Sample Root');
    user = pki.user('site-user', root, { subject: '/C=EE/GN=JAAN/SN=TAMM/CN=TAMM\\,JAAN\\,38001085718/serialNumber=PNOEE-38001085718' });
    site = await startSite({ port: await freePort(), trustAnchors: root.pem, log: () => {} });
});

after(() => site && site.close());

/** One request as a same-origin page makes it; returns { status, body, cookie, location }. */
function call(path, { cookie = '', body, origin = site.origin, method = 'POST', host, type = 'application/json' } = {}) {
    const url = new URL(path, site.origin);
    const headers = { Origin: origin, Cookie: cookie, Host: host || url.host };
    const data = body === undefined ? '' : typeof body === 'string' ? body : JSON.stringify(body);
    if (data) Object.assign(headers, { 'Content-Type': type, 'Content-Length': Buffer.byteLength(data) });
    return new Promise((resolve, reject) => {
        const req = http.request(url, { method, headers }, (res) => {
            const chunks = [];
            res.on('data', (c) => chunks.push(c));
            res.on('end', () => {
                let parsed = null;
                try { parsed = JSON.parse(Buffer.concat(chunks).toString()); } catch (_) { /* a page */ }
                const set = res.headers['set-cookie'];
                resolve({ status: res.statusCode, body: parsed, cookie: set ? set[0].split(';')[0] : cookie,
                    location: res.headers.location, text: Buffer.concat(chunks).toString(), headers: res.headers });
            });
        });
        req.on('error', reject);
        req.end(data);
    });
}

async function nonceSession() {
    const r = await call('/api/nonce');
    assert.equal(r.status, 200);
    return r;
}

test('log-in: nonce, token, the user shown, the session renewed', async () => {
    const { body: { nonce }, cookie } = await nonceSession();
    const token = makeToken(user, { origin: site.origin, nonce, algorithm: 'ES256' });
    const login = await call('/api/login', { cookie, body: { token } });
    assert.equal(login.status, 200, JSON.stringify(login.body));
    assert.deepEqual([login.body.user.commonName, login.body.user.serialNumber, login.body.user.givenName, login.body.user.surname],
        ['TAMM,JAAN,38001085718', 'PNOEE-38001085718', 'JAAN', 'TAMM']);
    assert.notEqual(login.cookie, cookie, 'a new session id after log-in');
    assert.deepEqual((await call('/api/me', { method: 'GET', cookie: login.cookie })).body, login.body);
    assert.deepEqual((await call('/api/me', { method: 'GET', cookie })).body, { user: null }, 'the visitor session is gone');

    // The page is served with the agent's port and a policy that lets it reach the agent only.
    const page = await call('/', { method: 'GET' });
    assert.match(page.text, /<meta name="qtx-port" content="48460">/);
    assert.match(page.headers['content-security-policy'], /connect-src 'self' https:\/\/127\.0\.0\.1:\*/);
});

test('refused: replay, another origin, another session, cross-site calls, another host name', async () => {
    const rows = [
        ['the same token twice', async () => {
            const { body: { nonce }, cookie } = await nonceSession();
            const token = makeToken(user, { origin: site.origin, nonce, algorithm: 'ES256' });
            assert.equal((await call('/api/login', { cookie, body: { token } })).status, 200);
            return call('/api/login', { cookie, body: { token } });
        }, [401, 'NONCE_NOT_FOUND']],
        ['a token made for another origin', async () => {
            const { body: { nonce }, cookie } = await nonceSession();
            return call('/api/login', { cookie, body: { token: makeToken(user, { origin: 'https://evil.example', nonce, algorithm: 'ES256' }) } });
        }, [401, 'TOKEN_SIGNATURE_INVALID']],
        ['a failed try uses the nonce up', async () => {
            const { body: { nonce }, cookie } = await nonceSession();
            const token = makeToken(user, { origin: site.origin, nonce, algorithm: 'ES256' });
            await call('/api/login', { cookie, body: { token: { ...token, algorithm: 'ES384' } } });
            return call('/api/login', { cookie, body: { token } });
        }, [401, 'NONCE_NOT_FOUND']],
        ['a nonce of another visitor\'s session', async () => {
            const { body: { nonce } } = await nonceSession();
            const { cookie } = await nonceSession();
            return call('/api/login', { cookie, body: { token: makeToken(user, { origin: site.origin, nonce, algorithm: 'ES256' }) } });
        }, [401, 'TOKEN_SIGNATURE_INVALID']],
        ['no session', async () => call('/api/login', { body: { token: {} } }), [401, 'NONCE_NOT_FOUND']],
        ['a nonce asked by another site\'s page', async () => call('/api/nonce', { origin: 'https://evil.example' }), [403, 'FORBIDDEN']],
        ['a form post', async () => {
            const { cookie } = await nonceSession();
            return call('/api/login', { cookie, body: 'token=x', type: 'application/x-www-form-urlencoded' });
        }, [415, 'UNSUPPORTED_MEDIA_TYPE']],
        ['another host name', async () => call('/api/nonce', { host: site.origin.replace('http://localhost', '127.0.0.1') }), [421, 'MISDIRECTED']],
    ];
    for (const [name, run, expected] of rows) {
        const r = await run();
        assert.deepEqual([r.status, r.body && r.body.error], expected, name);
    }
    const redirect = await call('/', { method: 'GET', host: site.origin.replace('http://localhost', '127.0.0.1') });
    assert.deepEqual([redirect.status, redirect.location], [307, `${site.origin}/`]);
});
