// A small strict DER reader and writer for the parts of certificates and OCSP
// messages that node:crypto does not expose: key usage bits, basic constraints'
// path length, name attributes, the OCSP address and the OCSP messages.
// Input comes from the network: every length is checked against its parent,
// indefinite lengths and high tag numbers (never used in these structures) are
// refused, and nothing recurses deeper than the structures need.

export class DerError extends Error {}

export const TAG = {
    BOOLEAN: 0x01, INTEGER: 0x02, BIT_STRING: 0x03, OCTET_STRING: 0x04, NULL: 0x05, OID: 0x06,
    ENUMERATED: 0x0a, UTF8_STRING: 0x0c, PRINTABLE_STRING: 0x13, T61_STRING: 0x14, IA5_STRING: 0x16,
    UTC_TIME: 0x17, GENERALIZED_TIME: 0x18, UNIVERSAL_STRING: 0x1c, BMP_STRING: 0x1e,
    SEQUENCE: 0x30, SET: 0x31,
};

/** The element at offset, inside [offset, limit): { tag, start, content, end }. */
export function read(buf, offset = 0, limit = buf.length) {
    if (offset + 2 > limit)
        throw new DerError('truncated element');
    const tag = buf[offset];
    if ((tag & 0x1f) === 0x1f)
        throw new DerError('high tag number');
    let length = buf[offset + 1];
    let content = offset + 2;
    if (length & 0x80) {
        const count = length & 0x7f;
        if (count === 0)
            throw new DerError('indefinite length');
        if (count > 3)
            throw new DerError('element too long');
        if (content + count > limit)
            throw new DerError('truncated length');
        length = 0;
        for (let i = 0; i < count; ++i)
            length = length * 256 + buf[content + i];
        content += count;
    }
    const end = content + length;
    if (end > limit)
        throw new DerError('element exceeds its container');
    return { tag, start: offset, content, end };
}

/** The elements inside a constructed element. */
export function children(buf, el) {
    const out = [];
    for (let at = el.content; at < el.end;) {
        const child = read(buf, at, el.end);
        out.push(child);
        at = child.end;
    }
    return out;
}

/** read() that also checks the tag. */
export function expect(buf, el, tag, what) {
    if (!el || el.tag !== tag)
        throw new DerError(`${what}: unexpected element`);
    return el;
}

export const bytes = (buf, el) => buf.subarray(el.content, el.end);
export const whole = (buf, el) => buf.subarray(el.start, el.end);

export function oid(buf, el) {
    const b = bytes(buf, expect(buf, el, TAG.OID, 'object identifier'));
    if (b.length === 0 || b.length > 64 || (b[b.length - 1] & 0x80))
        throw new DerError('bad object identifier');
    const parts = [];
    let value = 0;
    for (const x of b) {
        value = value * 128 + (x & 0x7f);
        if (value > Number.MAX_SAFE_INTEGER / 128)
            throw new DerError('object identifier arc too large');
        if (!(x & 0x80)) {
            if (parts.length === 0) {
                const first = value < 80 ? Math.floor(value / 40) : 2;
                parts.push(first, value - first * 40);
            } else {
                parts.push(value);
            }
            value = 0;
        }
    }
    return parts.join('.');
}

/** The bits of a BIT STRING, most significant first: bit i of the named list. */
export function bitString(buf, el) {
    const b = bytes(buf, expect(buf, el, TAG.BIT_STRING, 'bit string'));
    if (b.length === 0 || b[0] > 7 || (b.length === 1 && b[0] !== 0))
        throw new DerError('bad bit string');
    const bits = [];
    for (let i = 1; i < b.length; ++i)
        for (let j = 7; j >= 0; --j)
            bits.push(Boolean(b[i] & (1 << j)));
    return bits.slice(0, bits.length - b[0]);
}

/** A small non-negative INTEGER as a number (path lengths, versions, enumerations). */
export function smallInteger(buf, el, tag = TAG.INTEGER) {
    const b = bytes(buf, expect(buf, el, tag, 'integer'));
    if (b.length === 0 || b.length > 4 || (b[0] & 0x80))
        throw new DerError('integer out of range');
    return b.reduce((v, x) => v * 256 + x, 0);
}

export function boolean(buf, el) {
    const b = bytes(buf, expect(buf, el, TAG.BOOLEAN, 'boolean'));
    if (b.length !== 1)
        throw new DerError('bad boolean');
    return b[0] !== 0;
}

/** UTCTime or GeneralizedTime, as a Date; only the forms RFC 5280 allows (UTC, "Z"). */
export function time(buf, el) {
    const text = bytes(buf, el).toString('latin1');
    let m;
    if (el.tag === TAG.UTC_TIME && (m = /^(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})Z$/.exec(text))) {
        const yy = Number(m[1]);
        m[1] = String(yy < 50 ? 2000 + yy : 1900 + yy);
    } else if (el.tag === TAG.GENERALIZED_TIME && (m = /^(\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(?:\.\d{1,9})?Z$/.exec(text))) {
        // fractions of seconds are dropped: OCSP times are compared with minutes of slack
    } else {
        throw new DerError('bad time');
    }
    const [year, month, day, hour, minute, second] = m.slice(1, 7).map(Number);
    const ms = Date.UTC(year, month - 1, day, hour, minute, second);
    const d = new Date(ms);
    if (Number.isNaN(ms) || d.getUTCMonth() !== month - 1 || d.getUTCDate() !== day || hour > 23 || minute > 59 || second > 59)
        throw new DerError('bad time');
    return d;
}

/** The text of a directory string (and the other string types names use). */
export function string(buf, el) {
    const b = bytes(buf, el);
    switch (el.tag) {
    case TAG.UTF8_STRING:
        return b.toString('utf8');
    case TAG.PRINTABLE_STRING:
    case TAG.IA5_STRING:
    case TAG.T61_STRING:
        return b.toString('latin1');
    case TAG.BMP_STRING: {
        if (b.length % 2)
            throw new DerError('bad BMPString');
        const swapped = Buffer.from(b);
        swapped.swap16();
        return swapped.toString('utf16le');
    }
    case TAG.UNIVERSAL_STRING: {
        if (b.length % 4)
            throw new DerError('bad UniversalString');
        let s = '';
        for (let i = 0; i < b.length; i += 4)
            s += String.fromCodePoint(b.readUInt32BE(i));
        return s;
    }
    default:
        throw new DerError('not a string');
    }
}

// ---- writing (OCSP requests) ------------------------------------------------

export function encode(tag, ...parts) {
    const content = Buffer.concat(parts);
    const n = content.length;
    let header;
    if (n < 0x80)
        header = Buffer.from([tag, n]);
    else if (n < 0x100)
        header = Buffer.from([tag, 0x81, n]);
    else if (n < 0x10000)
        header = Buffer.from([tag, 0x82, n >> 8, n & 0xff]);
    else
        throw new DerError('element too long to write');
    return Buffer.concat([header, content]);
}

export function encodeOid(dotted) {
    const arcs = dotted.split('.').map(Number);
    const out = [];
    const push = (v) => {
        const groups = [v & 0x7f];
        for (v = Math.floor(v / 128); v > 0; v = Math.floor(v / 128))
            groups.unshift((v & 0x7f) | 0x80);
        out.push(...groups);
    };
    push(arcs[0] * 40 + arcs[1]);
    for (const a of arcs.slice(2))
        push(a);
    return encode(TAG.OID, Buffer.from(out));
}
