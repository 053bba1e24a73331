// Server-side check of the log-in tokens the Quorvex Crypto Provider makes
// (the Web eID authentication token, format "web-eid:1.0"). For Node only: it
// uses node:crypto and node:http and never runs in a page.
//
//   const validator = new AuthTokenValidator({ origin: 'https://example.com',
//                                              trustAnchors: certificatesFromFolder('/etc/site/eid-ca') });
//   const { nonce } = await validator.issueNonce();    // keep it with the user's session, send it to the page
//   const who = await validator.validate(tokenFromPage, nonceOfThisSession);
//   // who.subject.commonName, who.subject.serialNumber, who.certificate, ...
//
// The token proves that the holder of the certificate's key signed
// hash(origin) || hash(nonce): the agent takes the origin from the browser, so a
// token made for one site is useless to another, and a nonce counts once.
import { X509Certificate, constants, createHash, randomBytes, verify } from 'node:crypto';
import { readdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { OID, parseCertificate, subjectFields } from './certificate.js';
import { buildRequest, checkResponse, post } from './ocsp.js';
import {
    AuthTokenError, CertificateExpiredError, CertificateMalformedError, CertificateNotYetValidError,
    CertificatePurposeError, CertificateRevokedError, CertificateStatusUnknownError, NonceExpiredError,
    NonceNotFoundError, NonceStoreFullError, OcspResponseError, OcspUnavailableError, TokenAlgorithmError,
    TokenFormatError, TokenMalformedError, TokenSignatureError, UntrustedCertificateError,
} from './errors.js';

// What each algorithm name means: the hash that makes the signed data and that the
// signature applies again, and the key it needs.
const ALGORITHMS = {
    RS256: { hash: 'sha256', key: 'rsa', padding: constants.RSA_PKCS1_PADDING },
    PS256: { hash: 'sha256', key: 'rsa', padding: constants.RSA_PKCS1_PSS_PADDING, saltLength: 32 },
    ES256: { hash: 'sha256', key: 'ec', curve: 'prime256v1', half: 32 },
    ES384: { hash: 'sha384', key: 'ec', curve: 'secp384r1', half: 48 },
    ES512: { hash: 'sha512', key: 'ec', curve: 'secp521r1', half: 66 },
};

const FORMAT = /^web-eid:1(\.\d{1,3})?$/;   // 1.x only adds fields; another major version is refused
const MAX_TOKEN_CHARS = 32 * 1024;
const MAX_CHAIN = 8;
const MAX_SIGNATURE_CHECKS = 64;

/** What a nonce may look like: base64 (or base64url) text of 44 to 128 characters. */
export const NONCE_PATTERN = /^[A-Za-z0-9+/_=-]{44,128}$/;

// ---- nonces -------------------------------------------------------------------

/**
 * Nonces in this process's memory. A site with several processes or machines
 * passes a store of its own with the same two methods (they may return promises):
 *   put(nonce, expiresAt, now)  keep the nonce until expiresAt (ms since the epoch)
 *   take(nonce)                 remove it and return its expiresAt, or undefined/null
 * take() must be atomic: two takes of one nonce must not both find it.
 */
export class MemoryNonceStore {
    constructor({ maxEntries = 100000 } = {}) {
        this.maxEntries = maxEntries;
        this._entries = new Map();      // in order of issue; expiries are in nearly the same order
    }

    put(nonce, expiresAt, now = Date.now()) {
        this._sweep(now, 8);
        if (this._entries.size >= this.maxEntries) {
            this._sweep(now, Infinity);
            if (this._entries.size >= this.maxEntries)
                throw new NonceStoreFullError(`${this.maxEntries} nonces are waiting; try again later`);
        }
        this._entries.set(nonce, expiresAt);
    }

    take(nonce) {
        const expiresAt = this._entries.get(nonce);
        this._entries.delete(nonce);
        return expiresAt;
    }

    get size() {
        return this._entries.size;
    }

    // Drops expired entries from the oldest on: a few per put keeps the map at the
    // live nonces without a timer; a full pass only when the store is full.
    _sweep(now, budget) {
        for (const [nonce, expiresAt] of this._entries) {
            if (budget !== Infinity && (budget-- <= 0 || expiresAt > now))
                break;
            if (expiresAt <= now)
                this._entries.delete(nonce);
        }
    }
}

// ---- certificates -------------------------------------------------------------

const PEM = /-----BEGIN CERTIFICATE-----([A-Za-z0-9+/=\s]+)-----END CERTIFICATE-----/g;

/** X509Certificates from PEM text (one or many), DER bytes, X509Certificate objects, or arrays of them. */
export function toCertificates(input) {
    if (input === undefined || input === null)
        return [];
    if (Array.isArray(input))
        return input.flatMap(toCertificates);
    if (input instanceof X509Certificate)
        return [input];
    const text = typeof input === 'string' ? input : Buffer.from(input).toString('latin1');
    const pems = [...text.matchAll(PEM)];
    if (pems.length)
        return pems.map((m) => new X509Certificate(Buffer.from(m[1].replace(/\s+/g, ''), 'base64')));
    if (typeof input === 'string')
        throw new TypeError('no PEM certificate in the text');
    return [new X509Certificate(Buffer.from(input))];
}

/** The certificates of the .pem, .crt, .cer and .der files in a folder (a site's trust anchors). */
export function certificatesFromFolder(folder) {
    return readdirSync(folder).filter((n) => /\.(pem|crt|cer|der)$/i.test(n)).sort()
        .flatMap((n) => toCertificates(readFileSync(join(folder, n))));
}

function loadAll(input, what) {
    try {
        return toCertificates(input).map((c) => parseCertificate(Buffer.from(c.raw)));
    } catch (e) {
        throw new TypeError(`${what}: ${e.message}`);
    }
}

const validAt = (c, now) => c.notBefore.getTime() <= now && now <= c.notAfter.getTime();

// ---- the token ----------------------------------------------------------------

function base64Field(token, name, maxChars) {
    const text = token[name];
    if (typeof text !== 'string' || text.length === 0 || text.length > maxChars)
        throw new TokenMalformedError(`"${name}" must be base64 text of at most ${maxChars} characters`);
    const bytes = Buffer.from(text, 'base64');
    // Node skips characters outside the alphabet: only canonical base64 decodes to the same text.
    if (text.length % 4 !== 0 || bytes.toString('base64') !== text)
        throw new TokenMalformedError(`"${name}" is not canonical base64`);
    return bytes;
}

function stringField(token, name, maxChars) {
    const text = token[name];
    if (typeof text !== 'string' || text.length === 0 || text.length > maxChars)
        throw new TokenMalformedError(`"${name}" must be text of 1 to ${maxChars} characters`);
    return text;
}

/** The token's fields, checked for shape: { format, algorithm, certificate (DER), signature, appVersion }. */
function parseToken(token) {
    let t = token;
    if (typeof t === 'string' || Buffer.isBuffer(t)) {
        if (t.length > MAX_TOKEN_CHARS)
            throw new TokenMalformedError(`the token is longer than ${MAX_TOKEN_CHARS} characters`);
        try {
            t = JSON.parse(t.toString());
        } catch (e) {
            throw new TokenMalformedError(`the token is not JSON: ${e.message}`);
        }
    }
    if (!t || typeof t !== 'object' || Array.isArray(t))
        throw new TokenMalformedError('the token is not a JSON object');
    const out = {
        format: stringField(t, 'format', 64),
        algorithm: stringField(t, 'algorithm', 16),
        appVersion: stringField(t, 'appVersion', 512),
        certificate: base64Field(t, 'unverifiedCertificate', 16384),
        signature: base64Field(t, 'signature', 2048),
    };
    if (!FORMAT.test(out.format))
        throw new TokenFormatError(`unsupported token format "${out.format}"`);
    if (!Object.hasOwn(ALGORITHMS, out.algorithm))
        throw new TokenAlgorithmError(`unsupported algorithm "${out.algorithm}"`);
    return out;
}

/** hash(origin) || hash(nonce), both as UTF-8 text, with the algorithm's hash. */
export function signedData(algorithm, origin, nonce) {
    const { hash } = ALGORITHMS[algorithm];
    return Buffer.concat([createHash(hash).update(origin, 'utf8').digest(), createHash(hash).update(nonce, 'utf8').digest()]);
}

/** The serialised origin of text that must be one: scheme://host[:port], https (http only on loopback). */
export function serialiseOrigin(text) {
    let url;
    try {
        url = new URL(text);
    } catch (_) {
        throw new TypeError(`origin: not a URL: ${text}`);
    }
    if (url.username || url.password || url.search || url.hash || url.pathname !== '/' || /\/\s*$/.test(text))
        throw new TypeError(`origin: scheme://host[:port] only, without path, query or user: ${text}`);
    const loopback = ['localhost', '127.0.0.1', '[::1]'].includes(url.hostname);
    if (url.protocol !== 'https:' && !(url.protocol === 'http:' && loopback))
        throw new TypeError(`origin: https required (http only for localhost): ${text}`);
    return url.origin;
}

// ---- the validator ----------------------------------------------------------------

export class AuthTokenValidator {
    /**
     * options:
     *   origin                 the site's origin as the browser names it, e.g. https://example.com
     *   trustAnchors           CA certificates that issue the users' certificates (see toCertificates)
     *   intermediateCertificates  CA certificates between them and the users' certificates
     *   nonceStore             default: a MemoryNonceStore
     *   nonceTtlMs             how long an issued nonce stays usable (default 5 minutes)
     *   nonceBytes             random bytes per nonce (32 to 96, default 32)
     *   minRsaBits             smallest RSA key accepted (default 2048)
     *   ocsp                   false (default), true, or { url, responderCertificate, timeoutMs,
     *                          required, skewMs, maxAgeMs } (see docs/authentication.md)
     *   clock                  () => milliseconds since the epoch (default Date.now)
     */
    constructor(options = {}) {
        this.origin = serialiseOrigin(options.origin);
        this._anchors = loadAll(options.trustAnchors, 'trustAnchors');
        if (this._anchors.length === 0)
            throw new TypeError('trustAnchors: at least one CA certificate is needed');
        this._intermediates = loadAll(options.intermediateCertificates, 'intermediateCertificates');
        this._clock = options.clock || Date.now;
        this._store = options.nonceStore || new MemoryNonceStore();
        this._nonceTtlMs = options.nonceTtlMs ?? 5 * 60 * 1000;
        this._nonceBytes = options.nonceBytes ?? 32;
        if (!(this._nonceBytes >= 32 && this._nonceBytes <= 96))
            throw new TypeError('nonceBytes: 32 to 96');
        this._minRsaBits = options.minRsaBits ?? 2048;
        const o = options.ocsp === true ? {} : options.ocsp;
        this._ocsp = o ? {
            url: o.url || '',
            responder: o.responderCertificate ? loadAll(o.responderCertificate, 'ocsp.responderCertificate')[0] : null,
            timeoutMs: o.timeoutMs ?? 5000,
            required: o.required ?? true,
            skewMs: o.skewMs ?? 5 * 60 * 1000,
            maxAgeMs: o.maxAgeMs ?? 15 * 60 * 1000,
        } : null;
    }

    /** A new nonce for one log-in: { nonce, expiresAt }. Keep it server-side with the user's session. */
    async issueNonce() {
        const now = this._clock();
        const nonce = randomBytes(this._nonceBytes).toString('base64');
        const expiresAt = now + this._nonceTtlMs;
        await this._store.put(nonce, expiresAt, now);
        return { nonce, expiresAt: new Date(expiresAt) };
    }

    /**
     * Checks a token (JSON text or the parsed object) against the nonce this site
     * issued for the session. The nonce is used up by the call, whatever the outcome.
     * Resolves to who logged in; rejects with an AuthTokenError subclass.
     */
    async validate(token, nonce) {
        if (typeof nonce !== 'string' || !NONCE_PATTERN.test(nonce))
            throw new NonceNotFoundError('no nonce was issued for this log-in');
        const expiresAt = await this._store.take(nonce);
        const now = this._clock();
        if (expiresAt === undefined || expiresAt === null)
            throw new NonceNotFoundError('the nonce is unknown or was used already');
        if (expiresAt <= now)
            throw new NonceExpiredError('the nonce expired');

        const t = parseToken(token);
        let cert;
        try {
            cert = parseCertificate(t.certificate);
        } catch (e) {
            throw new CertificateMalformedError(`the certificate cannot be read: ${e.message}`, { cause: e });
        }
        this._checkSignature(t, cert, nonce);
        if (now < cert.notBefore.getTime())
            throw new CertificateNotYetValidError(`the certificate is valid from ${cert.notBefore.toISOString()}`);
        if (now > cert.notAfter.getTime())
            throw new CertificateExpiredError(`the certificate expired at ${cert.notAfter.toISOString()}`);
        checkPurpose(cert);
        const chain = this._chain(cert, now);
        const ocsp = await this._checkOcsp(cert, chain[1], now);
        return {
            subject: subjectFields(cert.subject),
            subjectAttributes: cert.subject,
            issuer: cert.x509.issuer,
            serialNumber: cert.x509.serialNumber,
            notBefore: cert.notBefore,
            notAfter: cert.notAfter,
            algorithm: t.algorithm,
            format: t.format,
            appVersion: t.appVersion,
            certificate: cert.x509,
            chain: chain.map((c) => c.x509),
            ocsp,
        };
    }

    _checkSignature(t, cert, nonce) {
        const alg = ALGORITHMS[t.algorithm];
        const key = cert.publicKey;
        const details = key.asymmetricKeyDetails || {};
        if (key.asymmetricKeyType !== alg.key)
            throw new TokenAlgorithmError(`${t.algorithm} needs an ${alg.key.toUpperCase()} key; the certificate has ${key.asymmetricKeyType}`);
        if (alg.curve && details.namedCurve !== alg.curve)
            throw new TokenAlgorithmError(`${t.algorithm} needs curve ${alg.curve}; the certificate's key is on ${details.namedCurve}`);
        if (alg.key === 'rsa' && details.modulusLength < this._minRsaBits)
            throw new TokenAlgorithmError(`RSA keys of ${details.modulusLength} bits are too small (at least ${this._minRsaBits})`);
        const expected = alg.half ? 2 * alg.half : Math.ceil(details.modulusLength / 8);
        if (t.signature.length !== expected)
            throw new TokenSignatureError(`a ${t.algorithm} signature of this key has ${expected} bytes, not ${t.signature.length}`);
        let ok = false;
        try {
            ok = verify(alg.hash, signedData(t.algorithm, this.origin, nonce),
                { key, padding: alg.padding, saltLength: alg.saltLength, dsaEncoding: 'ieee-p1363' }, t.signature);
        } catch (_) {
            ok = false;
        }
        if (!ok)
            throw new TokenSignatureError(`the signature does not verify for ${this.origin} and this nonce`);
    }

    // A path from cert to a trust anchor through the site's intermediates, each link
    // checked: issuer name and key identifiers, signature, validity now, CA and path
    // length constraints, no critical extension left unhandled. Leaf first, anchor last.
    _chain(cert, now) {
        if (cert.criticalUnknown.length)
            throw new UntrustedCertificateError(`the certificate has an unhandled critical extension ${cert.criticalUnknown[0]}`);
        let checks = 0;
        let reason = 'no chain to a trust anchor';
        const issues = (issuer, child) => {
            if (++checks > MAX_SIGNATURE_CHECKS)
                return false;
            try {
                return child.x509.checkIssued(issuer.x509) && child.x509.verify(issuer.publicKey);
            } catch (_) {
                return false;
            }
        };
        const walk = (path) => {
            const child = path[path.length - 1];
            for (const anchor of this._anchors) {
                if (!issues(anchor, child))
                    continue;
                if (validAt(anchor, now))
                    return [...path, anchor];
                reason = `the trust anchor ${anchor.x509.subject.replace(/\n/g, ', ')} is not valid now`;
            }
            if (path.length >= MAX_CHAIN)
                return null;
            for (const ca of this._intermediates) {
                if (path.includes(ca) || !issues(ca, child))
                    continue;
                const below = path.length - 1;     // intermediates between this one and the leaf
                const name = ca.x509.subject.replace(/\n/g, ', ');
                if (!validAt(ca, now))
                    reason = `the intermediate CA ${name} is not valid now`;
                else if (!ca.basicConstraints || !ca.basicConstraints.ca)
                    reason = `${name} is not a CA`;
                else if (ca.basicConstraints.pathLen !== null && below > ca.basicConstraints.pathLen)
                    reason = `${name} allows ${ca.basicConstraints.pathLen} CAs below it`;
                else if (ca.criticalUnknown.length)
                    reason = `${name} has an unhandled critical extension ${ca.criticalUnknown[0]}`;
                else {
                    const found = walk([...path, ca]);
                    if (found)
                        return found;
                }
            }
            return null;
        };
        const chain = walk([cert]);
        if (!chain)
            throw new UntrustedCertificateError(checks > MAX_SIGNATURE_CHECKS ? 'too many candidate issuers' : reason);
        return chain;
    }

    async _checkOcsp(cert, issuer, now) {
        const o = this._ocsp;
        if (!o)
            return null;
        const url = o.url || cert.ocspUrls.find((u) => /^https?:\/\//i.test(u)) || null;
        try {
            if (!url)
                throw new OcspUnavailableError('OCSP: the certificate names no responder and none is configured');
            const { request, nonceValue } = buildRequest(cert, issuer);
            const answer = await post(url, request, o.timeoutMs);
            const times = checkResponse(answer, { cert, issuer, nonceValue, responder: o.responder,
                now: this._clock(), skewMs: o.skewMs, maxAgeMs: o.maxAgeMs });
            return { status: 'good', url, ...times };
        } catch (e) {
            if (e instanceof OcspUnavailableError && !o.required)
                return { status: 'unavailable', url, error: e };
            throw e;
        }
    }
}

/**
 * Whether the certificate is meant for authentication: an end-entity certificate
 * with the digitalSignature key usage, and client authentication among its extended
 * key usages when it names any. Signing certificates (nonRepudiation alone, or
 * extended key usages such as document signing or e-mail protection only) are refused.
 */
function checkPurpose(cert) {
    if (cert.basicConstraints && cert.basicConstraints.ca)
        throw new CertificatePurposeError('a CA certificate cannot log in');
    if (!cert.keyUsage)
        throw new CertificatePurposeError('the certificate has no key usage extension');
    if (!cert.keyUsage.has('digitalSignature')) {
        const signing = cert.keyUsage.has('nonRepudiation') ? ' (a signing certificate: nonRepudiation only)' : '';
        throw new CertificatePurposeError(`the key usage lacks digitalSignature${signing}`);
    }
    // The agent never logs in with a key whose certificate is for signatures
    // that commit the holder: one key is never used for both.
    if (cert.keyUsage.has('nonRepudiation'))
        throw new CertificatePurposeError('a signing certificate (nonRepudiation) cannot log in');
    if (cert.extKeyUsage && !cert.extKeyUsage.includes(OID.clientAuth))
        throw new CertificatePurposeError(`the extended key usage (${cert.extKeyUsage.join(', ')}) does not include client authentication`);
}

export {
    AuthTokenError, TokenMalformedError, TokenFormatError, TokenAlgorithmError, TokenSignatureError,
    CertificateMalformedError, CertificateNotYetValidError, CertificateExpiredError, CertificatePurposeError,
    UntrustedCertificateError, CertificateRevokedError, CertificateStatusUnknownError, OcspUnavailableError,
    OcspResponseError, NonceNotFoundError, NonceExpiredError, NonceStoreFullError,
};
