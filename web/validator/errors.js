// Every way a log-in token can fail has its own class and a stable code, so a
// site can log the code, count it, and show the user a fitting message.

/** Base class of the validator's errors; code names the failure. */
export class AuthTokenError extends Error {
    constructor(message, details = {}) {
        super(message);
        this.name = new.target.name;
        this.code = new.target.code;
        if (details.cause !== undefined)
            this.cause = details.cause;
    }
}

const failure = (code) => class extends AuthTokenError {
    static code = code;
};

/** Not JSON, not an object, a field missing or of the wrong type, bad base64, too large. */
export class TokenMalformedError extends failure('TOKEN_MALFORMED') {}
/** "format" is not a version of the format this validator reads. */
export class TokenFormatError extends failure('TOKEN_FORMAT') {}
/** "algorithm" is unknown, or does not fit the certificate's key (type, curve, size). */
export class TokenAlgorithmError extends failure('TOKEN_ALGORITHM') {}
/**
 * The signature does not verify over hash(origin) || hash(nonce): signed for another
 * origin or another nonce, altered, or made with another key.
 */
export class TokenSignatureError extends failure('TOKEN_SIGNATURE_INVALID') {}
/** The certificate in the token cannot be read. */
export class CertificateMalformedError extends failure('CERTIFICATE_MALFORMED') {}
export class CertificateNotYetValidError extends failure('CERTIFICATE_NOT_YET_VALID') {}
export class CertificateExpiredError extends failure('CERTIFICATE_EXPIRED') {}
/**
 * Not an authentication certificate: a CA certificate, no digitalSignature key usage,
 * or extended key usages without client authentication (a signing certificate).
 */
export class CertificatePurposeError extends failure('CERTIFICATE_PURPOSE') {}
/** No valid chain from the certificate to one of the site's trust anchors. */
export class UntrustedCertificateError extends failure('CERTIFICATE_UNTRUSTED') {}
/** The OCSP responder says the certificate is revoked. */
export class CertificateRevokedError extends failure('CERTIFICATE_REVOKED') {
    constructor(message, details = {}) {
        super(message, details);
        this.revokedAt = details.revokedAt ?? null;
        this.revocationReason = details.revocationReason ?? null;
    }
}
/** The OCSP responder does not know the certificate. */
export class CertificateStatusUnknownError extends failure('CERTIFICATE_STATUS_UNKNOWN') {}
/** No OCSP answer: no responder address, network failure, time-out, HTTP error, "try later". */
export class OcspUnavailableError extends failure('OCSP_UNAVAILABLE') {}
/** An OCSP answer that cannot be trusted: malformed, badly signed, stale, for another certificate. */
export class OcspResponseError extends failure('OCSP_RESPONSE_INVALID') {}
/** The nonce was not issued by the store, was used already, or is gone. */
export class NonceNotFoundError extends failure('NONCE_NOT_FOUND') {}
export class NonceExpiredError extends failure('NONCE_EXPIRED') {}
/** The in-memory store holds as many live nonces as it may. */
export class NonceStoreFullError extends failure('NONCE_STORE_FULL') {}
