// Runs the site's validator (web/validator) on a log-in token that the agent
// made, for the cases tst_signer checks: the token's own origin and nonce, and
// each way a site must refuse it. Input: a JSON file {token, origin, nonce, ca,
// otherCa, signingKey, signingCert}; output: one JSON object, case -> the
// validator's answer ("ok:<commonName>" or the error code).
import { readFileSync } from 'node:fs';
import { createHash, sign } from 'node:crypto';
import { AuthTokenValidator } from '../../web/validator/index.js';

const input = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const { token, origin, nonce } = input;

// A store holding the one nonce, expiring at expiresAt.
const storeWith = (expiresAt) => {
    const nonces = new Map([[nonce, expiresAt]]);
    return {
        put: (n, e) => nonces.set(n, e),
        take: (n) => { const e = nonces.get(n); nonces.delete(n); return e; },
    };
};
const validator = (options = {}) => new AuthTokenValidator({
    origin, trustAnchors: readFileSync(input.ca), nonceStore: storeWith(Date.now() + 60000), ...options,
});
const outcome = async (promise) => {
    try {
        const who = await promise;
        return `ok:${who.subject.commonName}`;
    } catch (e) {
        return e.code || String(e);
    }
};

// The signing key signs what a log-in signs, outside the agent (which would refuse).
const hash = (text) => createHash('sha256').update(text, 'utf8').digest();
const forged = {
    ...token,
    algorithm: 'RS256',
    unverifiedCertificate: readFileSync(input.signingCert).toString('base64'),
    signature: sign('sha256', Buffer.concat([hash(origin), hash(nonce)]), readFileSync(input.signingKey)).toString('base64'),
};
const tampered = Buffer.from(token.signature, 'base64');
tampered[tampered.length >> 1] ^= 1;

const once = validator();
const result = {
    accepted: await outcome(once.validate(token, nonce)),
    reused: await outcome(once.validate(token, nonce)),
    otherOrigin: await outcome(validator({ origin: 'https://news.example' }).validate(token, nonce)),
    expired: await outcome(validator({ nonceStore: storeWith(Date.now() - 1) }).validate(token, nonce)),
    otherCa: await outcome(validator({ trustAnchors: readFileSync(input.otherCa) }).validate(token, nonce)),
    tampered: await outcome(validator().validate({ ...token, signature: tampered.toString('base64') }, nonce)),
    signingCertificate: await outcome(validator().validate(forged, nonce)),
};
process.stdout.write(JSON.stringify(result));
