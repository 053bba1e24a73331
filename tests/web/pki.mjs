// Test certificates made with the openssl command, and log-in tokens made the
// way the agent makes them (node:crypto over hashes computed here, not by the
// validator), plus an independent check of a token's signature by openssl.
import { execFileSync } from 'node:child_process';
import { constants, createHash, sign } from 'node:crypto';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const HASH = { RS256: 'sha256', PS256: 'sha256', ES256: 'sha256', ES384: 'sha384', ES512: 'sha512' };
export const APP_VERSION = 'https://quorvex.invalid/crypto-provider/releases/test';
export const tmp = (prefix) => mkdtempSync(join(tmpdir(), prefix));

/** A free loopback port outside the range the agents of the machine's other tests use (48460-48480). */
export async function freePort() {
    for (;;) {
        const port = await new Promise((resolve, reject) => {
            const s = net.createServer().once('error', reject).listen(0, '127.0.0.1', () => {
                const { port: p } = s.address();
                s.close(() => resolve(p));
            });
        });
        if (port < 48460 || port > 48480)
            return port;
    }
}

const digest = (hash, text) => createHash(hash).update(Buffer.from(text, 'utf8')).digest();

export class Pki {
    constructor() {
        this.dir = tmp('qtx-pki-');
    }

    openssl(args) {
        return execFileSync('openssl', args, { cwd: this.dir, stdio: ['ignore', 'pipe', 'pipe'] });
    }

    /**
     * A certificate and its key. key: 'rsa:2048' or a curve name ('P-256'); issuer: a
     * result of this function (none: self-signed); ext: extension lines of openssl's
     * x509 configuration. Returns { name, keyPem, certPath, keyPath, der, serialHex }.
     */
    issue(name, { issuer = null, key = 'P-256', subject = `/CN=${name}`, ext = [], days = 30 } = {}) {
        const keyPath = join(this.dir, `${name}.key`);
        const certPath = join(this.dir, `${name}.pem`);
        const extPath = join(this.dir, `${name}.ext`);
        writeFileSync(extPath, `${ext.join('\n')}\n`);
        const keyArgs = key.startsWith('rsa:') ? ['-newkey', key] : ['-newkey', 'ec', '-pkeyopt', `ec_paramgen_curve:${key}`];
        this.openssl(['req', '-new', ...keyArgs, '-nodes', '-keyout', keyPath, '-subj', subject, '-out', `${name}.csr`]);
        const signer = issuer ? ['-CA', issuer.certPath, '-CAkey', issuer.keyPath] : ['-signkey', keyPath];
        this.openssl(['x509', '-req', '-in', `${name}.csr`, ...signer, '-days', String(days), '-extfile', extPath, '-out', certPath]);
        const serialHex = this.openssl(['x509', '-in', certPath, '-noout', '-serial']).toString().trim().split('=')[1];
        const der = this.openssl(['x509', '-in', certPath, '-outform', 'DER']);
        return { name, keyPath, certPath, keyPem: readFileSync(keyPath), der, serialHex, pem: readFileSync(certPath, 'utf8') };
    }

    ca(name, { issuer = null, key = 'P-256', pathLen = null, days = 3650 } = {}) {
        return this.issue(name, { issuer, key, days, ext: [
            `basicConstraints=critical,CA:TRUE${pathLen === null ? '' : `,pathlen:${pathLen}`}`,
            'keyUsage=critical,keyCertSign,cRLSign', 'subjectKeyIdentifier=hash',
            ...(issuer ? ['authorityKeyIdentifier=keyid'] : []),
        ] });
    }

    /** An authentication certificate: digitalSignature, clientAuth unless eku says otherwise. */
    user(name, issuer, { key = 'P-256', keyUsage = 'digitalSignature', eku = 'clientAuth', subject, extra = [], days } = {}) {
        return this.issue(name, { issuer, key, days, subject: subject || `/C=EE/CN=${name}/serialNumber=PNOEE-${name.length}0001`,
            ext: ['basicConstraints=critical,CA:FALSE', `keyUsage=critical,${keyUsage}`, ...(eku ? [`extendedKeyUsage=${eku}`] : []),
                'authorityKeyIdentifier=keyid', ...extra] });
    }
}

/** A token as the agent makes it; overrides replace fields. */
export function makeToken(user, { origin, nonce, algorithm, ...overrides }) {
    const hash = HASH[algorithm] || 'sha256';
    const data = Buffer.concat([digest(hash, origin), digest(hash, nonce)]);
    const options = { key: user.keyPem, dsaEncoding: 'ieee-p1363' };
    if (algorithm === 'PS256')
        Object.assign(options, { padding: constants.RSA_PKCS1_PSS_PADDING, saltLength: 32 });
    return {
        format: 'web-eid:1.0', unverifiedCertificate: user.der.toString('base64'), algorithm,
        signature: sign(hash, data, options).toString('base64'), appVersion: APP_VERSION, ...overrides,
    };
}

/** An r||s ECDSA signature in DER, as openssl reads it. */
function ecdsaDer(raw) {
    const integer = (b) => {
        let i = 0;
        while (i < b.length - 1 && b[i] === 0) ++i;
        b = b.subarray(i);
        if (b[0] & 0x80) b = Buffer.concat([Buffer.from([0]), b]);
        return Buffer.concat([Buffer.from([2, b.length]), b]);
    };
    const body = Buffer.concat([integer(raw.subarray(0, raw.length / 2)), integer(raw.subarray(raw.length / 2))]);
    return Buffer.concat([Buffer.from(body.length < 128 ? [0x30, body.length] : [0x30, 0x81, body.length]), body]);
}

/**
 * Whether openssl verifies the token's signature over hash(origin) || hash(nonce), the
 * two hashes made by `openssl dgst` from files holding the texts.
 */
export function opensslVerifies(pki, user, token, origin, nonce) {
    const dir = tmp('qtx-token-');
    const hash = HASH[token.algorithm];
    const file = (name, data) => { writeFileSync(join(dir, name), data); return join(dir, name); };
    const dgst = (name, text) => pki.openssl(['dgst', `-${hash}`, '-binary', file(name, text)]);
    file('signed.bin', Buffer.concat([dgst('origin.txt', origin), dgst('nonce.txt', nonce)]));
    file('public.pem', pki.openssl(['x509', '-in', user.certPath, '-noout', '-pubkey']));
    const signature = Buffer.from(token.signature, 'base64');
    file('signature.bin', token.algorithm.startsWith('ES') ? ecdsaDer(signature) : signature);
    const pss = token.algorithm === 'PS256' ? ['-sigopt', 'rsa_padding_mode:pss', '-sigopt', 'rsa_pss_saltlen:32'] : [];
    try {
        return pki.openssl(['dgst', `-${hash}`, '-verify', join(dir, 'public.pem'), ...pss,
            '-signature', join(dir, 'signature.bin'), join(dir, 'signed.bin')]).toString().includes('Verified OK');
    } catch (_) {
        return false;
    }
}
