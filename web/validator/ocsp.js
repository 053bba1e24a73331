// Asks an OCSP responder (RFC 6960) whether a certificate is revoked: builds the
// request, posts it over HTTP(S) with a deadline and a size cap, and accepts an
// answer only when it is signed by the issuing CA, by a responder the CA
// delegated (id-kp-OCSPSigning), or by the responder certificate the site set,
// names the certificate asked about, is fresh, and echoes the nonce if it
// carries one.
import { createHash, randomBytes, verify } from 'node:crypto';
import http from 'node:http';
import https from 'node:https';
import * as asn1js from 'asn1js';
import * as pkijs from 'pkijs';
import { OID, bytesOf, derOf, parseCertificate, readDer } from './certificate.js';
import {
    CertificateRevokedError, CertificateStatusUnknownError, OcspResponseError, OcspUnavailableError,
} from './errors.js';

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
    return new pkijs.CertID({
        hashAlgorithm: new pkijs.AlgorithmIdentifier({ algorithmId: SHA1, algorithmParams: new asn1js.Null() }),
        issuerNameHash: new asn1js.OctetString({ valueHex: sha1(issuer.subjectName) }),
        issuerKeyHash: new asn1js.OctetString({ valueHex: sha1(issuer.publicKeyBits) }),
        serialNumber: new asn1js.Integer({ valueHex: cert.serial }),
    });
}

/** The DER OCSP request for one certificate, and the nonce extension value it carries. */
export function buildRequest(cert, issuer) {
    const nonceValue = Buffer.from(new asn1js.OctetString({ valueHex: randomBytes(32) }).toBER(false));
    const request = new pkijs.OCSPRequest();
    request.tbsRequest.requestList = [new pkijs.Request({ reqCert: certId(cert, issuer) })];
    request.tbsRequest.requestExtensions = [new pkijs.Extension({
        extnID: NONCE, extnValue: nonceValue,
    })];
    return { request: Buffer.from(request.toSchema(true).toBER(false)), nonceValue };
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

function sameCertId(id, cert, issuer) {
    const hash = { [SHA1]: 'sha1', '2.16.840.1.101.3.4.2.1': 'sha256', '2.16.840.1.101.3.4.2.2': 'sha384',
        '2.16.840.1.101.3.4.2.3': 'sha512' }[id.hashAlgorithm.algorithmId];
    if (!hash)
        return false;
    const h = (data) => createHash(hash).update(data).digest();
    return bytesOf(id.serialNumber.valueBlock.valueHexView).equals(cert.serial)
        && bytesOf(id.issuerNameHash.valueBlock.valueHexView).equals(h(issuer.subjectName))
        && bytesOf(id.issuerKeyHash.valueBlock.valueHexView).equals(h(issuer.publicKeyBits));
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
    let response;
    let status;
    try {
        response = new pkijs.OCSPResponse({ schema: readDer(buf, 'response') });
        status = response.responseStatus.valueBlock.valueDec;
    } catch (e) {
        throw bad(`malformed answer (${e.message})`);
    }
    if (status !== 0)
        throw new OcspUnavailableError(`OCSP: the responder answered ${RESPONDER_STATUS[status] || status}`);
    try {
        if (!response.responseBytes || response.responseBytes.responseType !== BASIC)
            throw new Error('not a basic response');
        const basicDer = readDer(response.responseBytes.response.valueBlock.valueHexView, 'basic response');
        const basic = new pkijs.BasicOCSPResponse({ schema: basicDer });
        // The certificates as they came ([0] EXPLICIT SEQUENCE OF Certificate), not re-encoded.
        const certsField = basicDer.valueBlock.value[3];
        const certsDer = certsField ? certsField.valueBlock.value[0].valueBlock.value.map(derOf) : [];
        const data = basic.tbsResponseData;
        const producedAt = data.producedAt;

        // Who may sign: the issuer, a responder it delegated (in the answer), the site's responder.
        const candidates = responder ? [issuer, responder] : [issuer];
        for (const certDer of certsDer) {
            const c = parseCertificate(certDer);
            if ((c.extKeyUsage || []).includes(OID.ocspSigning) && c.x509.checkIssued(issuer.x509)
                && c.x509.verify(issuer.publicKey) && validAt(c, now))
                candidates.push(c);
        }
        const byKey = data.responderID instanceof asn1js.OctetString;
        const responderId = byKey ? bytesOf(data.responderID.valueBlock.valueHexView) : derOf(data.responderID);
        const matches = (c) => responderId.equals(byKey ? sha1(c.publicKeyBits) : c.subjectName);
        const signer = candidates.find(matches);
        if (!signer)
            throw bad('signed by a responder that is neither the issuer nor delegated by it');
        if (!validAt(signer, now))
            throw bad('the responder certificate is not valid now');
        const algOid = basic.signatureAlgorithm.algorithmId;
        const alg = SIGNATURE_ALGORITHMS[algOid];
        const key = signer.publicKey;
        if (!alg || key.asymmetricKeyType !== alg[1])
            throw bad(`unsupported signature algorithm ${algOid}`);
        const sigBlock = basic.signature.valueBlock;
        if (sigBlock.unusedBits !== 0 || !verify(alg[0], bytesOf(data.tbsView), key, bytesOf(sigBlock.valueHexView)))
            throw bad('the signature does not verify');

        for (const ext of data.responseExtensions || [])
            if (ext.extnID === NONCE && !bytesOf(ext.extnValue.valueBlock.valueHexView).equals(nonceValue))
                throw bad('the nonce does not match the request');

        const single = data.responses.find((r) => sameCertId(r.certID, cert, issuer));
        if (!single)
            throw bad('no answer for this certificate');
        const { thisUpdate } = single;
        const nextUpdate = single.nextUpdate || null;
        if (thisUpdate.getTime() > now + skewMs || producedAt.getTime() > now + skewMs)
            throw bad('the answer is from the future');
        if (nextUpdate ? nextUpdate.getTime() < now - skewMs : thisUpdate.getTime() < now - maxAgeMs)
            throw bad('the answer is stale');

        const certStatus = single.certStatus;
        const tag = certStatus.idBlock.tagClass === 3 ? certStatus.idBlock.tagNumber : -1;
        if (tag === 0)
            return { producedAt, thisUpdate, nextUpdate };
        if (tag === 1) {
            const [time, reasonEl] = certStatus.valueBlock.value;
            const revokedAt = time.toDate();
            const code = reasonEl ? reasonEl.valueBlock.value[0].valueBlock.valueDec : null;
            const reason = code === null ? null : REVOCATION_REASONS[code] ?? 'unknown';
            throw new CertificateRevokedError(`the certificate was revoked at ${revokedAt.toISOString()}${reason ? ` (${reason})` : ''}`,
                { revokedAt, revocationReason: reason });
        }
        if (tag === 2)
            throw new CertificateStatusUnknownError('the OCSP responder does not know the certificate');
        throw new Error('bad certificate status');
    } catch (e) {
        if (e instanceof CertificateRevokedError || e instanceof CertificateStatusUnknownError
            || e instanceof OcspResponseError)
            throw e;
        throw bad(`malformed answer (${e.message})`);
    }
}
