// Type declarations of @quorvex/qtx-client/validator: the server-side check of
// log-in tokens (Node only; see docs/authentication.md).
/// <reference types="node" />
import type { X509Certificate } from 'node:crypto';

export type TokenAlgorithm = 'RS256' | 'PS256' | 'ES256' | 'ES384' | 'ES512';

/** The token a page gets from authenticate() and posts to its site. */
export interface AuthToken {
    format: string;
    /** base64 DER. */
    unverifiedCertificate: string;
    algorithm: TokenAlgorithm;
    /** base64; ECDSA as r||s. */
    signature: string;
    appVersion: string;
}

/** PEM text (one or many certificates), DER bytes, X509Certificate objects, or arrays of them. */
export type CertificateInput = string | Uint8Array | X509Certificate | ReadonlyArray<CertificateInput>;

/**
 * Where issued nonces wait for their log-in. take() removes the nonce and returns its
 * expiry, atomically (two takes of one nonce must not both find it).
 */
export interface NonceStore {
    put(nonce: string, expiresAt: number, now: number): void | Promise<void>;
    take(nonce: string): number | null | undefined | Promise<number | null | undefined>;
}

/** Nonces in this process's memory, at most maxEntries (default 100000) live ones. */
export class MemoryNonceStore implements NonceStore {
    constructor(options?: { maxEntries?: number });
    maxEntries: number;
    readonly size: number;
    put(nonce: string, expiresAt: number, now?: number): void;
    take(nonce: string): number | undefined;
}

export interface OcspOptions {
    /** The responder to ask instead of the one the certificate names. */
    url?: string;
    /** A responder certificate the site trusts to sign answers (when its CA did not delegate it). */
    responderCertificate?: CertificateInput;
    /** Default 5000. */
    timeoutMs?: number;
    /** Whether a log-in fails when no answer comes (OCSP_UNAVAILABLE); default true. */
    required?: boolean;
    /** Clock difference allowed against the responder; default 5 minutes. */
    skewMs?: number;
    /** Age an answer without nextUpdate may have; default 15 minutes. */
    maxAgeMs?: number;
}

export interface ValidatorOptions {
    /** The site's origin as the browser names it: https://host[:port] (http only for localhost). */
    origin: string;
    trustAnchors: CertificateInput;
    intermediateCertificates?: CertificateInput;
    nonceStore?: NonceStore;
    /** Default 5 minutes. */
    nonceTtlMs?: number;
    /** 32 to 96; default 32. */
    nonceBytes?: number;
    /** Default 2048. */
    minRsaBits?: number;
    /** Default false (no revocation check); true uses the certificate's responder. */
    ocsp?: boolean | OcspOptions;
    /** Milliseconds since the epoch; default Date.now. */
    clock?: () => number;
}

export interface SubjectAttribute {
    oid: string;
    /** commonName, serialNumber, givenName, ...; the OID for attributes without a name here. */
    name: string;
    value: string;
}

/** The first value of each subject attribute. */
export interface Subject {
    commonName?: string;
    surname?: string;
    givenName?: string;
    serialNumber?: string;
    country?: string;
    locality?: string;
    stateOrProvince?: string;
    organization?: string;
    organizationalUnit?: string;
    organizationIdentifier?: string;
    title?: string;
    emailAddress?: string;
    userId?: string;
    [oid: string]: string | undefined;
}

export type OcspOutcome =
    | { status: 'good'; url: string; producedAt: Date; thisUpdate: Date; nextUpdate: Date | null }
    | { status: 'unavailable'; url: string | null; error: OcspUnavailableError };

export interface ValidationResult {
    subject: Subject;
    subjectAttributes: SubjectAttribute[];
    issuer: string;
    /** The certificate's serial number, hexadecimal. */
    serialNumber: string;
    notBefore: Date;
    notAfter: Date;
    algorithm: TokenAlgorithm;
    format: string;
    appVersion: string;
    certificate: X509Certificate;
    /** The certificate, the intermediates, the trust anchor. */
    chain: X509Certificate[];
    /** null when OCSP is off. */
    ocsp: OcspOutcome | null;
}

export class AuthTokenValidator {
    constructor(options: ValidatorOptions);
    /** The serialised origin tokens must be signed for. */
    readonly origin: string;
    /** A nonce for one log-in; keep it server-side with the visitor's session. */
    issueNonce(): Promise<{ nonce: string; expiresAt: Date }>;
    /** Checks a token (JSON text or object) against the nonce issued for this session; uses the nonce up. */
    validate(token: string | AuthToken | object, nonce: string | null | undefined): Promise<ValidationResult>;
}

export type AuthTokenErrorCode =
    | 'TOKEN_MALFORMED' | 'TOKEN_FORMAT' | 'TOKEN_ALGORITHM' | 'TOKEN_SIGNATURE_INVALID'
    | 'CERTIFICATE_MALFORMED' | 'CERTIFICATE_NOT_YET_VALID' | 'CERTIFICATE_EXPIRED' | 'CERTIFICATE_PURPOSE'
    | 'CERTIFICATE_UNTRUSTED' | 'CERTIFICATE_REVOKED' | 'CERTIFICATE_STATUS_UNKNOWN'
    | 'OCSP_UNAVAILABLE' | 'OCSP_RESPONSE_INVALID' | 'NONCE_NOT_FOUND' | 'NONCE_EXPIRED' | 'NONCE_STORE_FULL';

/** Base class of the validator's errors. */
export class AuthTokenError extends Error {
    readonly code: AuthTokenErrorCode;
}
export class TokenMalformedError extends AuthTokenError { readonly code: 'TOKEN_MALFORMED'; }
export class TokenFormatError extends AuthTokenError { readonly code: 'TOKEN_FORMAT'; }
export class TokenAlgorithmError extends AuthTokenError { readonly code: 'TOKEN_ALGORITHM'; }
/** Signed for another origin or nonce, altered, or by another key. */
export class TokenSignatureError extends AuthTokenError { readonly code: 'TOKEN_SIGNATURE_INVALID'; }
export class CertificateMalformedError extends AuthTokenError { readonly code: 'CERTIFICATE_MALFORMED'; }
export class CertificateNotYetValidError extends AuthTokenError { readonly code: 'CERTIFICATE_NOT_YET_VALID'; }
export class CertificateExpiredError extends AuthTokenError { readonly code: 'CERTIFICATE_EXPIRED'; }
/** Not an authentication certificate (a signing certificate, a CA certificate). */
export class CertificatePurposeError extends AuthTokenError { readonly code: 'CERTIFICATE_PURPOSE'; }
export class UntrustedCertificateError extends AuthTokenError { readonly code: 'CERTIFICATE_UNTRUSTED'; }
export class CertificateRevokedError extends AuthTokenError {
    readonly code: 'CERTIFICATE_REVOKED';
    revokedAt: Date | null;
    revocationReason: string | null;
}
export class CertificateStatusUnknownError extends AuthTokenError { readonly code: 'CERTIFICATE_STATUS_UNKNOWN'; }
export class OcspUnavailableError extends AuthTokenError { readonly code: 'OCSP_UNAVAILABLE'; }
export class OcspResponseError extends AuthTokenError { readonly code: 'OCSP_RESPONSE_INVALID'; }
export class NonceNotFoundError extends AuthTokenError { readonly code: 'NONCE_NOT_FOUND'; }
export class NonceExpiredError extends AuthTokenError { readonly code: 'NONCE_EXPIRED'; }
export class NonceStoreFullError extends AuthTokenError { readonly code: 'NONCE_STORE_FULL'; }

/** What a nonce may look like: 44 to 128 characters of base64 or base64url text. */
export const NONCE_PATTERN: RegExp;
/** hash(origin) || hash(nonce) with the algorithm's hash: the data the token's signature covers. */
export function signedData(algorithm: TokenAlgorithm, origin: string, nonce: string): Buffer;
/** The serialised form of an origin (throws TypeError for anything else). */
export function serialiseOrigin(text: string): string;
export function toCertificates(input: CertificateInput): X509Certificate[];
/** The certificates of the .pem, .crt, .cer and .der files in a folder. */
export function certificatesFromFolder(folder: string): X509Certificate[];
