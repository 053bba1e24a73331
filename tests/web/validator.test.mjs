// The log-in token validator (web/validator/) against tokens made here from
// certificates made by openssl: what it accepts, every refusal with its code,
// nonces, and OCSP against openssl's responder.
import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createPrivateKey, randomBytes } from 'node:crypto';
import { readFileSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import { join } from 'node:path';
import {
    AuthTokenValidator, AuthTokenError, MemoryNonceStore, certificatesFromFolder,
} from '../../web/validator/index.js';
import { parseCertificate } from '../../web/validator/certificate.js';
import { checkResponse } from '../../web/validator/ocsp.js';
import { Pki, freePort, makeToken, opensslVerifies, tmp } from './pki.mjs';

const ORIGIN = 'https://login.example.com';
const MINUTE = 60 * 1000;
const DAY = 24 * 60 * MINUTE;
let pki;
let root;
let intermediate;
let shortCa;
let subCa;
const users = {};

before(() => {
    pki = new Pki();
    root = pki.ca('Test Root', { key: 'P-384' });
    intermediate = pki.ca('Test Issuing CA', { issuer: root, pathLen: 0 });
    const other = pki.ca('Other Root');
    Object.assign(users, {
        rsa: pki.user('rsa', intermediate, { key: 'rsa:2048', subject: '/C=EE/GN=MARI/SN=TAMM/CN=TAMM\\,MARI\\,38001085718/serialNumber=PNOEE-38001085718' }),
        p256: pki.user('p256', intermediate, { eku: '' }),
        p384: pki.user('p384', intermediate, { key: 'P-384' }),
        p521: pki.user('p521', root, { key: 'P-521', eku: 'clientAuth,emailProtection' }),
        signing: pki.user('signing', intermediate, { keyUsage: 'nonRepudiation', eku: '' }),
        signingBoth: pki.user('signingBoth', intermediate, { keyUsage: 'digitalSignature,nonRepudiation', eku: '' }),
        emailOnly: pki.user('emailOnly', intermediate, { eku: 'emailProtection' }),
        foreign: pki.user('foreign', other),
        rsa1024: pki.user('rsa1024', intermediate, { key: 'rsa:1024' }),
        criticalUnknown: pki.user('criticalUnknown', intermediate, { extra: ['1.2.3.4=critical,DER:05:00'] }),
        ca: intermediate,
    });
    // An authentication certificate used as a CA: what it issues has no chain.
    users.underLeaf = pki.user('underLeaf', users.p256);
    shortCa = pki.ca('Short-lived CA', { issuer: root, days: 10 });
    users.underShortCa = pki.user('underShortCa', shortCa);
    subCa = pki.ca('Sub CA', { issuer: intermediate });           // below a pathlen:0 CA
    users.underSubCa = pki.user('underSubCa', subCa);
});

/** A validator whose clock is the real one shifted by clock.shift. */
function validatorWith(options = {}) {
    const clock = { shift: 0 };
    const v = new AuthTokenValidator({ origin: ORIGIN, trustAnchors: root.pem, intermediateCertificates: [intermediate.der, users.p256.der],
        clock: () => Date.now() + clock.shift, ...options });
    return { v, clock };
}

const defaultAlgorithm = (user) => (createPrivateKey(user.keyPem).asymmetricKeyType === 'rsa' ? 'RS256' : 'ES256');

/**
 * Issues a nonce, makes a token and validates it. row: user, algorithm, origin
 * (signed), signedNonce ('other': a second issued nonce), mutate(token), validateNonce
 * (what is passed instead of the issued nonce), shiftIssue / shiftValidate (clock),
 * twice (validate the same token and nonce a second time), validator options.
 */
async function attempt(row) {
    const { v, clock } = validatorWith(row.validator);
    clock.shift = row.shiftIssue ?? 0;
    const { nonce } = await v.issueNonce();
    const signedNonce = row.signedNonce === 'other' ? (await v.issueNonce()).nonce : nonce;
    const user = row.user ?? users.p256;
    let token = makeToken(user, { origin: row.origin ?? ORIGIN, nonce: signedNonce, algorithm: row.algorithm ?? defaultAlgorithm(user) });
    if (row.mutate)
        token = row.mutate(token);
    clock.shift += row.shiftValidate ?? 0;
    const validateNonce = 'validateNonce' in row ? row.validateNonce : nonce;
    if (row.twice)
        await v.validate(token, validateNonce);
    return { result: await v.validate(token, validateNonce), token, nonce };
}

test('accepted: every algorithm with its key, the signature also verified by openssl', async () => {
    const rows = [
        ['RS256', users.rsa], ['PS256', users.rsa], ['ES256', users.p256], ['ES384', users.p384], ['ES512', users.p521],
    ];
    for (const [algorithm, user] of rows) {
        const { result, token, nonce } = await attempt({ algorithm, user });
        assert.equal(result.algorithm, algorithm);
        assert.deepEqual(result.chain.slice(1).map((c) => c.subject),
            user === users.p521 ? ['CN=Test Root'] : ['CN=Test Issuing CA', 'CN=Test Root']);
        assert.ok(opensslVerifies(pki, user, token, ORIGIN, nonce), `${algorithm}: openssl verifies`);
        assert.ok(!opensslVerifies(pki, user, token, 'https://evil.example', nonce), `${algorithm}: not for another origin`);
    }
    const { result } = await attempt({ user: users.rsa, mutate: (t) => JSON.stringify({ ...t, format: 'web-eid:1.1', extra: 1 }) });
    assert.deepEqual({ ...result.subject, appVersion: result.appVersion, ocsp: result.ocsp }, {
        country: 'EE', givenName: 'MARI', surname: 'TAMM', commonName: 'TAMM,MARI,38001085718',
        serialNumber: 'PNOEE-38001085718', appVersion: 'https://quorvex.invalid/crypto-provider/releases/test', ocsp: null,
    });
});

test('refused, each with its code', async () => {
    const swap = (field, value) => (t) => ({ ...t, [field]: value });
    const flip = (t) => {
        const s = Buffer.from(t.signature, 'base64');
        s[5] ^= 1;
        return { ...t, signature: s.toString('base64') };
    };
    const unhashed = (t) => {     // the right key over origin || nonce itself, not over their hashes
        const { signature } = makeToken(users.p256, { origin: '', nonce: '', algorithm: 'ES256' });
        return { ...t, signature };
    };
    const derSignature = (t) => {
        const raw = Buffer.from(t.signature, 'base64');
        const int = (b) => Buffer.concat([Buffer.from([2, b.length + (b[0] & 0x80 ? 1 : 0)]), b[0] & 0x80 ? Buffer.from([0]) : Buffer.alloc(0), b]);
        const body = Buffer.concat([int(raw.subarray(0, 32)), int(raw.subarray(32))]);
        return { ...t, signature: Buffer.concat([Buffer.from([0x30, body.length]), body]).toString('base64') };
    };
    const rows = [
        ['another origin (scheme, host and port all count)', { origin: `${ORIGIN}:8443` }, 'TOKEN_SIGNATURE_INVALID'],
        ['signed for another nonce', { signedNonce: 'other' }, 'TOKEN_SIGNATURE_INVALID'],
        ['tampered signature', { mutate: flip }, 'TOKEN_SIGNATURE_INVALID'],
        ['origin || nonce signed without hashing them', { mutate: unhashed }, 'TOKEN_SIGNATURE_INVALID'],
        ['ES256 signature in DER', { mutate: derSignature }, 'TOKEN_SIGNATURE_INVALID'],
        ['nonce used twice', { twice: true }, 'NONCE_NOT_FOUND'],
        ['nonce never issued', { validateNonce: randomBytes(32).toString('base64') }, 'NONCE_NOT_FOUND'],
        ['no nonce in the session', { validateNonce: undefined }, 'NONCE_NOT_FOUND'],
        ['nonce expired', { shiftValidate: 5 * MINUTE + 1000 }, 'NONCE_EXPIRED'],
        ['certificate of another CA', { user: users.foreign }, 'CERTIFICATE_UNTRUSTED'],
        ['intermediate not supplied', { validator: { intermediateCertificates: [] } }, 'CERTIFICATE_UNTRUSTED'],
        ['issued by an end-entity certificate', { user: users.underLeaf }, 'CERTIFICATE_UNTRUSTED'],
        ['a CA below a CA with path length 0', { user: users.underSubCa,
            validator: { intermediateCertificates: [intermediate.der, subCa.der] } }, 'CERTIFICATE_UNTRUSTED'],
        ['unknown critical extension', { user: users.criticalUnknown }, 'CERTIFICATE_UNTRUSTED'],
        ['intermediate expired', { user: users.underShortCa, validator: { intermediateCertificates: [shortCa.der] }, shiftIssue: 15 * DAY }, 'CERTIFICATE_UNTRUSTED'],
        ['signing certificate (nonRepudiation only)', { user: users.signing }, 'CERTIFICATE_PURPOSE'],
        ['signing certificate (digitalSignature and nonRepudiation)', { user: users.signingBoth }, 'CERTIFICATE_PURPOSE'],
        ['e-mail protection only', { user: users.emailOnly }, 'CERTIFICATE_PURPOSE'],
        ['a CA certificate', { user: users.ca }, 'CERTIFICATE_PURPOSE'],
        ['certificate expired', { shiftIssue: 31 * DAY }, 'CERTIFICATE_EXPIRED'],
        ['certificate not yet valid', { shiftIssue: -DAY }, 'CERTIFICATE_NOT_YET_VALID'],
        ['format of another major version', { mutate: swap('format', 'web-eid:2.0') }, 'TOKEN_FORMAT'],
        ['algorithm "none"', { mutate: swap('algorithm', 'none') }, 'TOKEN_ALGORITHM'],
        ['ES384 with a P-256 key', { algorithm: 'ES384' }, 'TOKEN_ALGORITHM'],
        ['RS256 with an EC key', { algorithm: 'RS256' }, 'TOKEN_ALGORITHM'],
        ['ES256 with an RSA key', { user: users.rsa, algorithm: 'ES256' }, 'TOKEN_ALGORITHM'],
        ['RSA-1024', { user: users.rsa1024 }, 'TOKEN_ALGORITHM'],
        ['not JSON', { mutate: () => '{"format": ' }, 'TOKEN_MALFORMED'],
        ['a JSON array', { mutate: () => '[]' }, 'TOKEN_MALFORMED'],
        ['signature missing', { mutate: ({ signature, ...t }) => t }, 'TOKEN_MALFORMED'],
        ['signature with characters outside base64', { mutate: (t) => ({ ...t, signature: `*${t.signature.slice(1)}` }) }, 'TOKEN_MALFORMED'],
        ['certificate in base64url', { mutate: (t) => ({ ...t, unverifiedCertificate: Buffer.from(t.unverifiedCertificate, 'base64').toString('base64url') }) }, 'TOKEN_MALFORMED'],
        ['a megabyte of token', { mutate: (t) => JSON.stringify({ ...t, appVersion: 'x'.repeat(1 << 20) }) }, 'TOKEN_MALFORMED'],
        ['certificate bytes that are no certificate', { mutate: swap('unverifiedCertificate', randomBytes(300).toString('base64')) }, 'CERTIFICATE_MALFORMED'],
    ];
    for (const [name, row, code] of rows) {
        await assert.rejects(attempt(row), (e) => {
            assert.ok(e instanceof AuthTokenError, `${name}: ${e.stack}`);
            assert.equal(e.code, code, `${name}: ${e.message}`);
            return true;
        }, name);
    }
});

test('nonces: 32 random bytes in base64 with an expiry, a full store refuses, a site store of its own', async () => {
    const { v } = validatorWith({ nonceStore: new MemoryNonceStore({ maxEntries: 3 }), nonceTtlMs: 2000 });
    const issued = [];
    for (let i = 0; i < 3; ++i)
        issued.push(await v.issueNonce());
    assert.ok(issued.every(({ nonce, expiresAt }) => Buffer.from(nonce, 'base64').length === 32 && nonce.length === 44
        && Math.abs(expiresAt - Date.now() - 2000) < 1000));
    assert.equal(new Set(issued.map((n) => n.nonce)).size, 3);
    await assert.rejects(v.issueNonce(), { code: 'NONCE_STORE_FULL' });

    // Expired entries make room; a consumed one does too.
    const { v: later, clock } = validatorWith({ nonceStore: new MemoryNonceStore({ maxEntries: 2 }), nonceTtlMs: 2000 });
    await later.issueNonce();
    await later.issueNonce();
    clock.shift = 3000;
    await later.issueNonce();
    await later.issueNonce();

    // An asynchronous store with take() semantics of its own (as a database would be).
    const rows = new Map();
    const store = {
        put: async (nonce, expiresAt) => { rows.set(nonce, expiresAt); },
        take: async (nonce) => { const e = rows.get(nonce); rows.delete(nonce); return e; },
    };
    const { v: site } = validatorWith({ nonceStore: store });
    const { nonce } = await site.issueNonce();
    assert.ok(rows.has(nonce));
    const token = makeToken(users.p256, { origin: ORIGIN, nonce, algorithm: 'ES256' });
    assert.equal((await site.validate(token, nonce)).subject.commonName, 'p256');
    assert.equal(rows.size, 0);
    await assert.rejects(site.validate(token, nonce), { code: 'NONCE_NOT_FOUND' });
});

test('configuration mistakes are TypeErrors at construction', () => {
    for (const [options, message] of [
        [{ origin: 'https://login.example.com/' }, /without path/],
        [{ origin: 'https://login.example.com/login' }, /without path/],
        [{ origin: 'http://login.example.com' }, /https required/],
        [{ origin: 'login.example.com' }, /not a URL/],
        [{ trustAnchors: [] }, /at least one/],
        [{ trustAnchors: 'no certificate here' }, /trustAnchors/],
        [{ nonceBytes: 16 }, /nonceBytes/],
    ])
        assert.throws(() => validatorWith(options), (e) => e instanceof TypeError && message.test(e.message), JSON.stringify(options));
    // Loopback may be plain http (a secure context); the origin is kept serialised.
    assert.equal(validatorWith({ origin: 'http://localhost:8090' }).v.origin, 'http://localhost:8090');
    assert.equal(validatorWith({ origin: 'https://LOGIN.example.com:443' }).v.origin, ORIGIN);
    // A folder of anchors: PEM and DER files, other files ignored.
    const folder = tmp('qtx-anchors-');
    writeFileSync(join(folder, 'root.pem'), root.pem);
    writeFileSync(join(folder, 'issuing.der'), intermediate.der);
    writeFileSync(join(folder, 'README'), 'not a certificate');
    assert.deepEqual(certificatesFromFolder(folder).map((c) => c.subject), ['CN=Test Issuing CA', 'CN=Test Root']);
});

// ---- OCSP ---------------------------------------------------------------------

/**
 * An OCSP responder on loopback that lets `openssl ocsp` answer each request from its
 * index (setIndex). The path picks the behaviour: /ca (signed by the issuing CA),
 * /delegated (a responder certificate with OCSPSigning), /undelegated (a CA-issued
 * certificate without it), /foreign (another CA's key), /replay (the first answer
 * again), /hang, /http500, /garbage.
 */
async function startResponder(signers) {
    const port = await freePort();
    const dir = tmp('qtx-ocsp-');
    const file = (name) => join(dir, name);
    let first = null;
    const server = http.createServer((req, res) => {
        const chunks = [];
        req.on('data', (c) => chunks.push(c));
        req.on('end', () => {
            const mode = req.url.slice(1);
            if (mode === 'hang') return;
            if (mode === 'http500') { res.writeHead(500); res.end(); return; }
            if (mode === 'garbage') { res.end(randomBytes(200)); return; }
            if (mode === 'replay' && first) { res.end(first); return; }
            const signer = signers[mode] || signers.ca;
            writeFileSync(file('req.der'), Buffer.concat(chunks));
            execFileSync('openssl', ['ocsp', '-index', file('index.txt'), '-CA', intermediate.certPath,
                '-rsigner', signer.certPath, '-rkey', signer.keyPath, '-reqin', file('req.der'),
                '-respout', file('resp.der'), '-nmin', '5'], { stdio: 'ignore' });
            first ||= readFileSync(file('resp.der'));
            res.writeHead(200, { 'Content-Type': 'application/ocsp-response' });
            res.end(readFileSync(file('resp.der')));
        });
    });
    await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
    return {
        url: `http://127.0.0.1:${server.address().port}`,
        setIndex: (text) => writeFileSync(file('index.txt'), text),
        close: () => { server.closeAllConnections(); server.close(); },
    };
}

test('OCSP: good, revoked, unknown, responder trust, nonce, and an absent responder as the site chooses', async () => {
    const signers = {
        ca: intermediate,
        delegated: pki.user('ocsp-delegated', intermediate, { eku: 'OCSPSigning' }),
        undelegated: pki.user('ocsp-undelegated', intermediate),
        foreign: pki.ca('Foreign OCSP'),
    };
    const live = await startResponder(signers);
    const closed = await startResponder(signers);
    closed.close();
    try {
        const aia = [`authorityInfoAccess=OCSP;URI:${live.url}/ca`];
        const good = pki.user('ocsp-good', intermediate, { extra: aia });
        const revoked = pki.user('ocsp-revoked', intermediate, { extra: aia });
        const unknown = pki.user('ocsp-unknown', intermediate, { extra: aia });
        const line = (status, user, revokedAt = '') => `${status}\t351231235959Z\t${revokedAt}\t${user.serialHex}\tunknown\t/CN=${user.name}\n`;
        live.setIndex(line('V', good) + line('R', revoked, '240101000000Z,keyCompromise'));
        const at = (path, more = {}) => ({ url: `${live.url}/${path}`, ...more });
        const rows = [
            ['good, the address from the certificate', good, true, 'good'],
            ['good, a delegated responder', good, at('delegated'), 'good'],
            ['good, a responder certificate the site set', good, at('undelegated', { responderCertificate: signers.undelegated.pem }), 'good'],
            ['revoked', revoked, at('ca'), 'CERTIFICATE_REVOKED'],
            ['unknown to the responder', unknown, at('ca'), 'CERTIFICATE_STATUS_UNKNOWN'],
            ['a responder the CA did not delegate', good, at('undelegated'), 'OCSP_RESPONSE_INVALID'],
            ['signed by another CA', good, at('foreign'), 'OCSP_RESPONSE_INVALID'],
            ['an earlier answer replayed (another nonce)', good, at('replay'), 'OCSP_RESPONSE_INVALID'],
            ['not an OCSP answer', good, at('garbage'), 'OCSP_RESPONSE_INVALID'],
            ['HTTP 500', good, at('http500'), 'OCSP_UNAVAILABLE'],
            ['no answer in time', good, at('hang', { timeoutMs: 300 }), 'OCSP_UNAVAILABLE'],
            ['responder not running', good, { url: `${closed.url}/ca` }, 'OCSP_UNAVAILABLE'],
            ['no responder named anywhere', users.p256, true, 'OCSP_UNAVAILABLE'],
            ['responder not running, not required', good, { url: `${closed.url}/ca`, required: false }, 'unavailable'],
        ];
        for (const [name, user, ocsp, expected] of rows) {
            const started = Date.now();
            const outcome = await attempt({ user, validator: { ocsp } }).then(({ result }) => result.ocsp.status, (e) => e.code);
            assert.equal(outcome, expected, name);
            assert.ok(Date.now() - started < 3000, `${name}: took ${Date.now() - started} ms`);
        }
    } finally {
        live.close();
    }
});

test('hostile bytes: mutated certificates only ever give typed errors, mutated OCSP answers never a crash', async () => {
    let seed = 20260101;
    const random = (n) => {
        seed = (seed * 1103515245 + 12345) % 2 ** 31;
        return seed % n;
    };
    const mutate = (buf) => {
        const m = Buffer.from(buf);
        for (let k = 1 + random(3); k > 0; --k)
            m[random(m.length)] ^= 1 + random(255);
        return random(10) ? m : m.subarray(0, random(m.length));
    };
    const { v } = validatorWith();
    for (let i = 0; i < 400; ++i) {
        const { nonce } = await v.issueNonce();
        const token = makeToken(users.p256, { origin: ORIGIN, nonce, algorithm: 'ES256' });
        token.unverifiedCertificate = mutate(users.p256.der).toString('base64');
        await assert.rejects(v.validate(token, nonce), (e) => e instanceof AuthTokenError, `mutation ${i}`);
    }

    // A good answer of openssl's responder, then mutations of it: good or a typed error.
    const dir = tmp('qtx-ocsp-answer-');
    writeFileSync(join(dir, 'index.txt'), `V\t351231235959Z\t\t${users.p256.serialHex}\tunknown\t/CN=p256\n`);
    pki.openssl(['ocsp', '-issuer', intermediate.certPath, '-cert', users.p256.certPath, '-no_nonce', '-reqout', join(dir, 'req.der')]);
    pki.openssl(['ocsp', '-index', join(dir, 'index.txt'), '-CA', intermediate.certPath, '-rsigner', intermediate.certPath,
        '-rkey', intermediate.keyPath, '-reqin', join(dir, 'req.der'), '-respout', join(dir, 'resp.der'), '-nmin', '5']);
    const answer = readFileSync(join(dir, 'resp.der'));
    const check = (bytes) => checkResponse(bytes, { cert: parseCertificate(users.p256.der), issuer: parseCertificate(intermediate.der),
        nonceValue: Buffer.alloc(0), responder: null, now: Date.now(), skewMs: 5 * MINUTE, maxAgeMs: 15 * MINUTE });
    assert.ok(check(answer).thisUpdate instanceof Date);
    for (let i = 0; i < 400; ++i) {
        try {
            check(mutate(answer));
        } catch (e) {
            assert.ok(e instanceof AuthTokenError, `OCSP mutation ${i}: ${e.stack}`);
        }
    }
});
