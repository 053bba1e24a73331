// Asks an OCSP responder (RFC 6960) whether a certificate is revoked: builds the
// request, posts it over HTTP(S) with a deadline and a size cap, and accepts an
// answer only when it is signed by the issuing CA, by a responder the CA
// delegated (id-kp-OCSPSigning), or by the responder certificate the site set,
// names the certificate asked about, is fresh, and echoes the nonce if it
// carries one.
import { createHash, randomBytes, verify } from 'node:crypto';
import http from 'node:http';
import https from 'node:https';
import * as der from './der.js';
import { OID, parseCertificate } from './certificate.js';
import {
    CertificateRevokedError, CertificateStatusUnknownError, OcspResponseError, OcspUnavailableError,
} from './errors.js';

const { TAG, encode, encodeOid } = der;
const SHA1 = '1.3.14.3.2.26';
const NONCE = '1.3.6.1.5.5.7.48.1.2';
const BASIC = '1.3.6.1.5.5.7.48.1.1';
const MAX_RESPONSE_BYTES = 64 * 1024;
const RESPONDER_STATUS = ['successful', 'malformedRequest', 'internalError', 'tryLater', '4', 'sigRequired', 'unauthorized'];
const REVOCATION_REASONS = ['unspecified', 'keyCompromise', 'cACompromise', 'affiliationChanged', 'superseded',
    'cessationOfOperation', 'certificateHold', '7', 'removeFromCRL', 'privilegeWithdrawn', 'aACompromise'];

// Response signature algorithms: [hash for crypto.verify, key type]. SHA-1 signatures are not accepted.
const SIGNATURE_ALGORITHMS = {
    '1.2.840.113549.1.1.11': ['sha256', 'rsa'],
    '1.2.840.113549.1.1.12': ['sha384', 'rsa'],
    '1.2.840.113549.1.1.13': ['sha512', 'rsa'],
    '1.2.840.10045.4.3.2': ['sha256', 'ec'],
    '1.2.840.10045.4.3.3': ['sha384', 'ec'],
    '1.2.840.10045.4.3.4': ['sha512', 'ec'],
    '1.3.101.112': [null, 'ed25519'],
};

const sha1 = (data) => createHash('sha1').update(data).digest();

/** The CertID of cert issued by issuer (SHA-1, as responders universally accept it). */
function certId(cert, issuer) {
    return encode(TAG.SEQUENCE,
        encode(TAG.SEQUENCE, encodeOid(SHA1), Buffer.from([TAG.NULL, 0])),
        encode(TAG.OCTET_STRING, sha1(issuer.subjectName)),
        encode(TAG.OCTET_STRING, sha1(issuer.publicKeyBits)),
        encode(TAG.INTEGER, cert.serial));
}

/** The DER OCSP request for one certificate, and the nonce extension value it carries. */
export function buildRequest(cert, issuer) {
    const nonceValue = encode(TAG.OCTET_STRING, randomBytes(32));
    const extensions = encode(0xa2, encode(TAG.SEQUENCE,
        encode(TAG.SEQUENCE, encodeOid(NONCE), encode(TAG.OCTET_STRING, nonceValue))));
    const request = encode(TAG.SEQUENCE, encode(TAG.SEQUENCE,
        encode(TAG.SEQUENCE, encode(TAG.SEQUENCE, certId(cert, issuer))), extensions));
    return { request, nonceValue };
}

/** POSTs the request; resolves to the response body. Every failure is OcspUnavailableError. */
export function post(url, body, timeoutMs) {
    return new Promise((resolve, reject) => {
        let target;
        try {
            target = new URL(url);
        } catch (_) {
            reject(new OcspUnavailableError(`OCSP: bad responder address ${url}`));
            return;
        }
        const transport = target.protocol === 'http:' ? http : target.protocol === 'https:' ? https : null;
        if (!transport) {
            reject(new OcspUnavailableError(`OCSP: responder address is not http(s): ${url}`));
            return;
        }
        const fail = (message, cause) => {
            clearTimeout(timer);
            req.destroy();
            reject(new OcspUnavailableError(`OCSP ${url}: ${message}`, { cause }));
        };
        const req = transport.request(target, {
            method: 'POST',
            headers: { 'Content-Type': 'application/ocsp-request', Accept: 'application/ocsp-response',
                'Content-Length': body.length },
        }, (res) => {
            if (res.statusCode !== 200) {
                fail(`HTTP ${res.statusCode}`);
                return;
            }
            const chunks = [];
            let size = 0;
            res.on('data', (chunk) => {
                size += chunk.length;
                if (size > MAX_RESPONSE_BYTES)
                    fail(`answer larger than ${MAX_RESPONSE_BYTES} bytes`);
                else
                    chunks.push(chunk);
            });
            res.on('end', () => {
                clearTimeout(timer);
                resolve(Buffer.concat(chunks));
            });
            res.on('error', (e) => fail(e.message, e));
        });
        const timer = setTimeout(() => fail(`no answer within ${timeoutMs} ms`), timeoutMs);
        req.on('error', (e) => fail(e.message, e));
        req.end(body);
    });
}

function bad(message) {
    return new OcspResponseError(`OCSP: ${message}`);
}

function sameCertId(buf, el, cert, issuer) {
    const [alg, nameHash, keyHash, serial] = der.children(buf, der.expect(buf, el, TAG.SEQUENCE, 'certID'));
    const [algOid] = der.children(buf, der.expect(buf, alg, TAG.SEQUENCE, 'hash algorithm'));
    const hash = { [SHA1]: 'sha1', '2.16.840.1.101.3.4.2.1': 'sha256', '2.16.840.1.101.3.4.2.2': 'sha384',
        '2.16.840.1.101.3.4.2.3': 'sha512' }[der.oid(buf, algOid)];
    if (!hash)
        return false;
    const h = (data) => createHash(hash).update(data).digest();
    return der.bytes(buf, der.expect(buf, serial, TAG.INTEGER, 'serial')).equals(cert.serial)
        && der.bytes(buf, der.expect(buf, nameHash, TAG.OCTET_STRING, 'name hash')).equals(h(issuer.subjectName))
        && der.bytes(buf, der.expect(buf, keyHash, TAG.OCTET_STRING, 'key hash')).equals(h(issuer.publicKeyBits));
}

function validAt(c, now) {
    return c.notBefore.getTime() <= now && now <= c.notAfter.getTime();
}

/**
 * Checks the DER answer for cert (issued by issuer). Resolves to
 * { producedAt, thisUpdate, nextUpdate } when the certificate is good; throws
 * CertificateRevokedError, CertificateStatusUnknownError, OcspUnavailableError
 * (the responder declined) or OcspResponseError.
 */
export function checkResponse(buf, { cert, issuer, nonceValue, responder, now, skewMs, maxAgeMs }) {
    let outer;
    let status;
    try {
        outer = der.children(buf, der.expect(buf, der.read(buf), TAG.SEQUENCE, 'response'));
        if (der.read(buf).end !== buf.length)
            throw new der.DerError('data after the response');
        status = der.smallInteger(buf, outer[0], TAG.ENUMERATED);
    } catch (e) {
        throw bad(`malformed answer (${e.message})`);
    }
    if (status !== 0)
        throw new OcspUnavailableError(`OCSP: the responder answered ${RESPONDER_STATUS[status] || status}`);
    try {
        const [type, octets] = der.children(buf, der.children(buf, der.expect(buf, outer[1], 0xa0, 'responseBytes'))[0]);
        if (der.oid(buf, type) !== BASIC)
            throw new der.DerError('not a basic response');
        const basic = der.read(buf, octets.content, octets.end);
        const [tbs, sigAlg, signature, certs] = der.children(buf, der.expect(buf, basic, TAG.SEQUENCE, 'basic response'));
        const fields = der.children(buf, der.expect(buf, tbs, TAG.SEQUENCE, 'response data'));
        let i = fields[0].tag === 0xa0 ? 1 : 0;
        const responderId = fields[i++];
        const producedAt = der.time(buf, fields[i++]);
        const responses = der.children(buf, der.expect(buf, fields[i++], TAG.SEQUENCE, 'responses'));
        const extensions = fields[i] && fields[i].tag === 0xa1 ? fields[i] : null;

        // Who may sign: the issuer, a responder it delegated (in the answer), the site's responder.
        const candidates = responder ? [issuer, responder] : [issuer];
        if (certs)
            for (const el of der.children(buf, der.children(buf, der.expect(buf, certs, 0xa0, 'certs'))[0])) {
                const c = parseCertificate(Buffer.from(der.whole(buf, el)));
                if ((c.extKeyUsage || []).includes(OID.ocspSigning) && c.x509.checkIssued(issuer.x509)
                    && c.x509.verify(issuer.publicKey) && validAt(c, now))
                    candidates.push(c);
            }
        const matches = (c) => (responderId.tag === 0xa1
            ? der.whole(buf, der.read(buf, responderId.content, responderId.end)).equals(c.subjectName)
            : der.bytes(buf, der.read(buf, responderId.content, responderId.end)).equals(sha1(c.publicKeyBits)));
        const signer = candidates.find(matches);
        if (!signer)
            throw bad('signed by a responder that is neither the issuer nor delegated by it');
        if (!validAt(signer, now))
            throw bad('the responder certificate is not valid now');
        const [algOid] = der.children(buf, der.expect(buf, sigAlg, TAG.SEQUENCE, 'signature algorithm'));
        const alg = SIGNATURE_ALGORITHMS[der.oid(buf, algOid)];
        const key = signer.publicKey;
        if (!alg || key.asymmetricKeyType !== alg[1])
            throw bad(`unsupported signature algorithm ${der.oid(buf, algOid)}`);
        const sigBits = der.bytes(buf, der.expect(buf, signature, TAG.BIT_STRING, 'signature'));
        if (sigBits[0] !== 0 || !verify(alg[0], der.whole(buf, tbs), key, sigBits.subarray(1)))
            throw bad('the signature does not verify');

        if (extensions) {
            for (const ext of der.children(buf, der.children(buf, extensions)[0])) {
                const parts = der.children(buf, ext);
                if (der.oid(buf, parts[0]) === NONCE && !der.bytes(buf, parts[parts.length - 1]).equals(nonceValue))
                    throw bad('the nonce does not match the request');
            }
        }

        const single = responses.map((r) => der.children(buf, r)).find((r) => sameCertId(buf, r[0], cert, issuer));
        if (!single)
            throw bad('no answer for this certificate');
        const thisUpdate = der.time(buf, single[2]);
        const nextEl = single.slice(3).find((el) => el.tag === 0xa0);
        const nextUpdate = nextEl ? der.time(buf, der.read(buf, nextEl.content, nextEl.end)) : null;
        if (thisUpdate.getTime() > now + skewMs || producedAt.getTime() > now + skewMs)
            throw bad('the answer is from the future');
        if (nextUpdate ? nextUpdate.getTime() < now - skewMs : thisUpdate.getTime() < now - maxAgeMs)
            throw bad('the answer is stale');

        const certStatus = single[1];
        if (certStatus.tag === 0x80)
            return { producedAt, thisUpdate, nextUpdate };
        if (certStatus.tag === 0xa1) {
            const info = der.children(buf, certStatus);
            const revokedAt = der.time(buf, info[0]);
            const reasonEl = info[1] ? der.read(buf, info[1].content, info[1].end) : null;
            const reason = reasonEl ? REVOCATION_REASONS[der.smallInteger(buf, reasonEl, TAG.ENUMERATED)] ?? 'unknown' : null;
            throw new CertificateRevokedError(`the certificate was revoked at ${revokedAt.toISOString()}${reason ? ` (${reason})` : ''}`,
                { revokedAt, revocationReason: reason });
        }
        if (certStatus.tag === 0x82)
            throw new CertificateStatusUnknownError('the OCSP responder does not know the certificate');
        throw new der.DerError('bad certificate status');
    } catch (e) {
        if (e instanceof CertificateRevokedError || e instanceof CertificateStatusUnknownError
            || e instanceof OcspResponseError)
            throw e;
        throw bad(`malformed answer (${e.message})`);
    }
}
