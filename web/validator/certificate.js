// What the validator needs to know of an X.509 certificate. node:crypto parses
// it first (a certificate OpenSSL refuses is refused); PKI.js reads what
// X509Certificate does not expose (key usage bits, path length, name
// attributes, the OCSP address).
import { X509Certificate } from 'node:crypto';
import * as asn1js from 'asn1js';
import * as pkijs from 'pkijs';

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

/** One DER element read by asn1js, which must span the whole input. */
export function readDer(bytes, what) {
    const parsed = asn1js.fromBER(bytes);
    if (parsed.offset === -1 || parsed.offset !== bytes.byteLength)
        throw new Error(`${what}: ${parsed.offset === -1 ? parsed.result.error || 'malformed' : 'data after the element'}`);
    return parsed.result;
}

export const bytesOf = (view) => Buffer.from(view.buffer, view.byteOffset, view.byteLength);
// The DER of a parsed element as it was read.
export const derOf = (el) => Buffer.from(el.valueBeforeDecode || el.toBER(false));

/** The attributes of a Name (pkijs RelativeDistinguishedNames), in order: [{ oid, name, value }]. */
export function nameAttributes(name) {
    return name.typesAndValues.map(({ type, value }) => ({
        oid: type,
        name: ATTRIBUTE_NAMES[type] || type,
        // A value of another type than a string is kept visible as hex.
        value: value instanceof asn1js.BaseStringBlock ? value.valueBlock.value : `#${derOf(value).toString('hex')}`,
    }));
}

const extensionValue = (ext, type, what) => {
    if (!(ext.parsedValue instanceof type))
        throw new Error(`${what}: malformed`);
    return ext.parsedValue;
};

/**
 * Parses a DER certificate. Returns { x509, publicKey, der, serial, issuerName, subjectName,
 * subject: [{ oid, name, value }], notBefore, notAfter, publicKeyBits, criticalUnknown,
 * keyUsage: Set | null, extKeyUsage: string[] | null, basicConstraints: { ca, pathLen } | null,
 * ocspUrls: string[] }. Throws on anything malformed.
 */
export function parseCertificate(buf) {
    const x509 = new X509Certificate(buf);
    const publicKey = x509.publicKey;               // decoded on first use: a bad key fails here
    const cert = new pkijs.Certificate({ schema: readDer(buf, 'certificate') });
    const out = {
        x509,
        publicKey,
        der: buf,
        serial: bytesOf(cert.serialNumber.valueBlock.valueHexView),
        issuerName: derOf(cert.issuer),
        subjectName: derOf(cert.subject),
        subject: nameAttributes(cert.subject),
        notBefore: cert.notBefore.value,
        notAfter: cert.notAfter.value,
        publicKeyBits: bytesOf(cert.subjectPublicKeyInfo.subjectPublicKey.valueBlock.valueHexView),
        criticalUnknown: [],
        keyUsage: null,
        extKeyUsage: null,
        basicConstraints: null,
        ocspUrls: [],
    };
    const seen = new Set();
    for (const ext of cert.extensions || []) {
        const id = ext.extnID;
        if (seen.has(id))
            throw new Error(`extension ${id} twice`);
        seen.add(id);
        if (ext.critical && !UNDERSTOOD.has(id))
            out.criticalUnknown.push(id);
        if (id === OID.keyUsage) {
            const block = extensionValue(ext, asn1js.BitString, 'key usage').valueBlock;
            const bytes = block.valueHexView;
            const count = bytes.length * 8 - block.unusedBits;
            out.keyUsage = new Set(KEY_USAGE_BITS.filter((_, n) => n < count && (bytes[n >> 3] & (0x80 >> (n & 7)))));
        } else if (id === OID.extKeyUsage) {
            out.extKeyUsage = [...extensionValue(ext, pkijs.ExtKeyUsage, 'extended key usage').keyPurposes];
        } else if (id === OID.basicConstraints) {
            const bc = extensionValue(ext, pkijs.BasicConstraints, 'basic constraints');
            // A number, or an Integer object when too large for one.
            const pathLen = bc.pathLenConstraint ?? null;
            if (pathLen !== null && !(Number.isSafeInteger(pathLen) && pathLen >= 0))
                throw new Error('basic constraints: bad path length');
            out.basicConstraints = { ca: bc.cA === true, pathLen };
        } else if (id === OID.authorityInfoAccess) {
            for (const ad of extensionValue(ext, pkijs.InfoAccess, 'information access').accessDescriptions)
                if (ad.accessMethod === OID.ocspAccess && ad.accessLocation.type === 6)
                    out.ocspUrls.push(String(ad.accessLocation.value));
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
