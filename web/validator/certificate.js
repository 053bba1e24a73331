// What the validator needs to know of an X.509 certificate. node:crypto parses
// it first (a certificate OpenSSL refuses is refused); the DER walk below adds
// what X509Certificate does not expose.
import { X509Certificate } from 'node:crypto';
import * as der from './der.js';

const { TAG } = der;

export const OID = {
    keyUsage: '2.5.29.15',
    extKeyUsage: '2.5.29.37',
    basicConstraints: '2.5.29.19',
    subjectAltName: '2.5.29.17',
    certificatePolicies: '2.5.29.32',
    authorityInfoAccess: '1.3.6.1.5.5.7.1.1',
    ocspAccess: '1.3.6.1.5.5.7.48.1',
    clientAuth: '1.3.6.1.5.5.7.3.2',
    ocspSigning: '1.3.6.1.5.5.7.3.9',
};

// Extensions whose meaning the checks here honour (or that only describe); any
// other extension marked critical makes a certificate unusable (RFC 5280).
const UNDERSTOOD = new Set([OID.keyUsage, OID.extKeyUsage, OID.basicConstraints, OID.subjectAltName,
    OID.certificatePolicies, OID.authorityInfoAccess]);

const KEY_USAGE_BITS = ['digitalSignature', 'nonRepudiation', 'keyEncipherment', 'dataEncipherment',
    'keyAgreement', 'keyCertSign', 'cRLSign', 'encipherOnly', 'decipherOnly'];

const ATTRIBUTE_NAMES = {
    '2.5.4.3': 'commonName',
    '2.5.4.4': 'surname',
    '2.5.4.5': 'serialNumber',
    '2.5.4.6': 'country',
    '2.5.4.7': 'locality',
    '2.5.4.8': 'stateOrProvince',
    '2.5.4.10': 'organization',
    '2.5.4.11': 'organizationalUnit',
    '2.5.4.12': 'title',
    '2.5.4.42': 'givenName',
    '2.5.4.97': 'organizationIdentifier',
    '1.2.840.113549.1.9.1': 'emailAddress',
    '0.9.2342.19200300.100.1.1': 'userId',
};

/** The attributes of a Name, in order: [{ oid, name, value }]. */
export function nameAttributes(buf, nameEl) {
    const out = [];
    for (const rdn of der.children(buf, der.expect(buf, nameEl, TAG.SEQUENCE, 'name'))) {
        for (const atv of der.children(buf, der.expect(buf, rdn, TAG.SET, 'relative name'))) {
            const [type, value] = der.children(buf, der.expect(buf, atv, TAG.SEQUENCE, 'attribute'));
            const id = der.oid(buf, type);
            let text;
            try {
                text = der.string(buf, value);
            } catch (_) {
                text = `#${der.whole(buf, value).toString('hex')}`;   // a value of another type, kept visible
            }
            out.push({ oid: id, name: ATTRIBUTE_NAMES[id] || id, value: text });
        }
    }
    return out;
}

/**
 * Parses a DER certificate. Returns { x509, publicKey, der, serial, issuerName, subjectName,
 * subject: [{ oid, name, value }], notBefore, notAfter, publicKeyBits, criticalUnknown,
 * keyUsage: Set | null, extKeyUsage: string[] | null, basicConstraints: { ca, pathLen } | null,
 * ocspUrls: string[] }. Throws on anything malformed.
 */
export function parseCertificate(buf) {
    const x509 = new X509Certificate(buf);
    const publicKey = x509.publicKey;               // decoded on first use: a bad key fails here
    const cert = der.read(buf);
    if (cert.end !== buf.length)
        throw new der.DerError('data after the certificate');
    const [tbs] = der.children(buf, der.expect(buf, cert, TAG.SEQUENCE, 'certificate'));
    const fields = der.children(buf, der.expect(buf, tbs, TAG.SEQUENCE, 'tbsCertificate'));
    let i = fields[0] && fields[0].tag === 0xa0 ? 1 : 0;
    const serial = der.expect(buf, fields[i++], TAG.INTEGER, 'serial number');
    i++;                                                    // signature algorithm
    const issuer = der.expect(buf, fields[i++], TAG.SEQUENCE, 'issuer');
    const validity = der.children(buf, der.expect(buf, fields[i++], TAG.SEQUENCE, 'validity'));
    const subject = der.expect(buf, fields[i++], TAG.SEQUENCE, 'subject');
    const spki = der.children(buf, der.expect(buf, fields[i++], TAG.SEQUENCE, 'public key'));
    if (validity.length !== 2 || spki.length !== 2)
        throw new der.DerError('bad certificate');
    const keyBits = der.expect(buf, spki[1], TAG.BIT_STRING, 'public key');

    const out = {
        x509,
        publicKey,
        der: buf,
        serial: der.bytes(buf, serial),
        issuerName: der.whole(buf, issuer),
        subjectName: der.whole(buf, subject),
        subject: nameAttributes(buf, subject),
        notBefore: der.time(buf, validity[0]),
        notAfter: der.time(buf, validity[1]),
        publicKeyBits: buf.subarray(keyBits.content + 1, keyBits.end),
        criticalUnknown: [],
        keyUsage: null,
        extKeyUsage: null,
        basicConstraints: null,
        ocspUrls: [],
    };
    const extensions = fields.slice(i).find((f) => f.tag === 0xa3);
    if (!extensions)
        return out;
    const [list] = der.children(buf, extensions);
    const seen = new Set();
    for (const ext of der.children(buf, der.expect(buf, list, TAG.SEQUENCE, 'extensions'))) {
        const parts = der.children(buf, der.expect(buf, ext, TAG.SEQUENCE, 'extension'));
        const id = der.oid(buf, parts[0]);
        if (seen.has(id))
            throw new der.DerError(`extension ${id} twice`);
        seen.add(id);
        const critical = parts.length === 3 && der.boolean(buf, parts[1]);
        const value = der.expect(buf, parts[parts.length - 1], TAG.OCTET_STRING, 'extension value');
        const inner = der.read(buf, value.content, value.end);
        if (critical && !UNDERSTOOD.has(id))
            out.criticalUnknown.push(id);
        if (id === OID.keyUsage) {
            const bits = der.bitString(buf, inner);
            out.keyUsage = new Set(KEY_USAGE_BITS.filter((_, n) => bits[n]));
        } else if (id === OID.extKeyUsage) {
            out.extKeyUsage = der.children(buf, der.expect(buf, inner, TAG.SEQUENCE, 'extended key usage'))
                .map((el) => der.oid(buf, el));
        } else if (id === OID.basicConstraints) {
            const bc = der.children(buf, der.expect(buf, inner, TAG.SEQUENCE, 'basic constraints'));
            let at = 0;
            const ca = bc[at] && bc[at].tag === TAG.BOOLEAN ? der.boolean(buf, bc[at++]) : false;
            const pathLen = bc[at] ? der.smallInteger(buf, bc[at]) : null;
            out.basicConstraints = { ca, pathLen };
        } else if (id === OID.authorityInfoAccess) {
            for (const ad of der.children(buf, der.expect(buf, inner, TAG.SEQUENCE, 'information access'))) {
                const [method, location] = der.children(buf, der.expect(buf, ad, TAG.SEQUENCE, 'access description'));
                if (der.oid(buf, method) === OID.ocspAccess && location && location.tag === 0x86)
                    out.ocspUrls.push(der.bytes(buf, location).toString('latin1'));
            }
        }
    }
    return out;
}

/** First value of each attribute by name: { commonName, serialNumber, givenName, ... }. */
export function subjectFields(attributes) {
    const out = {};
    for (const a of attributes)
        if (!(a.name in out))
            out[a.name] = a.value;
    return out;
}
