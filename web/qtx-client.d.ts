// Type declarations of qtx-client.js (the ES module; qtx-client.classic.js
// defines the same names on window.QtxClient).

export interface QtxErrorDetails {
    status?: number;
    reason?: string;
    body?: string;
    command?: string;
    port?: number;
    hint?: string;
}

/** Base class of every error this client throws. */
export class QtxError extends Error {
    constructor(message: string, details?: QtxErrorDetails);
    /** HTTP status, 0 when there was no reply. */
    status: number;
    reason: string;
    body: string;
    command: string;
    port: number;
    hint: string;
}
export class BadRequestError extends QtxError {}
export class ForbiddenError extends QtxError {}
export class NotFoundError extends QtxError {}
export class NoSessionError extends QtxError {}
export class NoResultError extends QtxError {}
export class InternalServerError extends QtxError {}
/** The module function failed: its result was "500|<text>". */
export class ModuleFailedError extends InternalServerError {}
/** 503: a GUI function (a dialog) is already running; try again later. */
export class ServiceUnavailableError extends QtxError {}
export class UnexpectedStatusError extends QtxError {}
/** 413, or signPdf()'s own check: the document is over the cap. */
export class PayloadTooLargeError extends QtxError {}
export class ResultTimeoutError extends QtxError {}
export class JsonpBlockedError extends QtxError {}
export class ServerUnreachableError extends QtxError {
    ports: number[];
    /** An address the user can open to see why the browser cannot connect. */
    trustCheckUrl: string;
}
export class ServerNotRunningError extends ServerUnreachableError {}
export class CertificateNotTrustedError extends ServerUnreachableError {}
/** The browser withholds local network access from this page (Chromium). */
export class LocalNetworkAccessDeniedError extends ServerUnreachableError {}

/** The Signer module refused or failed; code names why. */
export class SigningError extends ModuleFailedError {
    code: SigningErrorCode | string;
    /** With PinIncorrectError: 'low' or 'final' when the token reports it, else ''. */
    triesLeft: '' | 'low' | 'final';
    /**
     * SigningCancelledError: 'timeout' when the dialog timed out, else '';
     * CertificateNotUsableError: 'login-only' | 'expired' | 'not-yet-valid' | 'unsupported-key' | 'other-use'.
     */
    detail: string;
    /** NoTokenError: the PKCS#11 modules tried and what each answered. */
    modules: Pkcs11ModuleReport[];
}
export type SigningErrorCode =
    | 'CANCELLED' | 'PIN_INCORRECT' | 'PIN_LOCKED' | 'NO_DISPLAY' | 'NO_TOKEN' | 'TOKEN_REMOVED'
    | 'CERTIFICATE_NOT_FOUND' | 'CERTIFICATE_NOT_USABLE' | 'NO_ORIGIN' | 'STORE_ERROR'
    | 'UNSUPPORTED_ALGORITHM' | 'BAD_DIGEST_LENGTH' | 'BAD_REQUEST' | 'TOKEN_ERROR' | 'CMS_ERROR' | 'BAD_NONCE'
    | 'PDF_TOO_LARGE' | 'PDF_MALFORMED' | 'PDF_ENCRYPTED' | 'PDF_TOO_COMPLEX' | 'PDF_SIGNATURE_INVALID'
    | 'PDF_CHANGES_NOT_ALLOWED' | 'PDF_FIELD_EXISTS' | 'PDF_SIGNATURE_TOO_LARGE' | 'PDF_ENGINE_ERROR'
    | 'TSA_NOT_CONFIGURED' | 'TSA_UNREACHABLE' | 'TSA_REFUSED' | 'REVOCATION_UNAVAILABLE' | 'SIGNING_CONFIG_ERROR';
export interface Pkcs11ModuleReport {
    /** File name of the library (never a path). */
    module: string;
    source: 'p11-kit' | 'configured';
    loaded: boolean;
    /** C_Initialize's result, e.g. 'CKR_OK'; '' when not called. */
    initialize: string;
    slots: number;
    /** Slots with an initialised token. */
    tokens: number;
    /** The failing call and its CK_RV name, or why the module was not loaded. */
    problem?: string;
}
export class SigningCancelledError extends SigningError {}
export class PinIncorrectError extends SigningError {}
export class PinLockedError extends SigningError {}
export class NoDisplayError extends SigningError {}
export class NoTokenError extends SigningError {}
export class TokenRemovedError extends SigningError {}
export class CertificateNotFoundError extends SigningError {}
export class CertificateNotUsableError extends SigningError {}
export class NoOriginError extends SigningError {}
export class SignerStoreError extends SigningError {}
export class UnsupportedAlgorithmError extends SigningError {}
export class BadSigningRequestError extends SigningError {}
/** authenticate(): the nonce is not 44 to 128 characters of base64 text. */
export class BadNonceError extends BadSigningRequestError {}
/** signBatch(): more documents or bytes than one batch takes; refused before any dialog. */
export class BatchTooLargeError extends SigningError {
    maxDocuments: number;
    maxBytes: number;
}

export interface PollOptions {
    initialMs?: number;
    factor?: number;
    maxMs?: number;
    timeoutMs?: number;
}

export interface ClientEvent {
    [key: string]: unknown;
}

export interface QtxClientOptions {
    host?: string;
    /** The installation's configured port ([listener] port); default 48460. */
    port?: number;
    /** User ports probed side by side, port+1 .. port+scanCount; default 10. */
    scanCount?: number;
    /** Ask the dispatcher on the configured port for the user's port, at the same time; default true. */
    askDispatcher?: boolean;
    /** A known port: skip discovery. */
    serverPort?: number;
    jsonp?: boolean;
    requestTimeoutMs?: number;
    /** Each discovery probe (and the dispatcher's answer) is given up after this; default 750. */
    probeTimeoutMs?: number;
    poll?: PollOptions;
    fetch?: typeof fetch | null;
    onEvent?: ((event: ClientEvent) => void) | null;
}

export interface RawReply {
    status: number;
    reason: string;
    body: string;
    sessionId: string;
    cmdId: string;
}

export interface StartedCommand {
    cmdId: string;
    status: number;
    body: string;
    command: string;
    module: string;
}

export type Bytes = ArrayBuffer | ArrayBufferView;

export type CertificatePurpose = 'sign' | 'login';

export interface CertificateDescription {
    /** This origin's id of the certificate, for sign(); another origin gets another one. */
    id: string;
    subject: string;
    subjectCommonName: string;
    issuer: string;
    serialNumber: string;
    /** ISO 8601, UTC. */
    notBefore: string;
    notAfter: string;
    key: { type: 'RSA' | 'EC' | string; bits: number; curve?: string };
    keyUsage: string[];
    /** Names ('clientAuth', 'emailProtection') or dotted OIDs; empty when the certificate has none. */
    extendedKeyUsage: string[];
    /** What the certificate is for. */
    purposes: CertificatePurpose[];
    /** base64 DER. */
    certificate: string;
}

export interface SelectedCertificate extends CertificateDescription {
    /** The user let this site see the certificate from now on (listCertificates answers it). */
    remembered: boolean;
}

export type DigestAlgorithm = 'SHA-256' | 'SHA-384' | 'SHA-512';
export type SignatureAlgorithm = 'RSA-PKCS1' | 'RSA-PSS' | 'ECDSA';

export interface SignOptions {
    certId: string;
    /** The digest the page computed; base64 text is taken as it is. */
    digest: Bytes | string;
    digestAlgorithm?: DigestAlgorithm;
    signatureAlgorithm: SignatureAlgorithm;
    format?: 'raw' | 'cms';
    /** Shown to the user in the consent dialog, as one escaped line. */
    documentName?: string;
    /** With format 'cms' only. */
    level?: SignatureLevel;
    poll?: PollOptions;
}

export type SignatureLevel = 'B-B' | 'B-T' | 'B-LT';

export interface SignPdfOptions {
    certId: string;
    pdf: Blob | Bytes;
    documentName?: string;
    level?: SignatureLevel;
    /** 1-based, or 'last'. */
    page?: number | 'last';
    visible?: boolean;
    /** x, y, width, height in points from the page's top-left corner. */
    rect?: [number, number, number, number];
    text?: string;
    fieldName?: string;
    /** Larger documents are refused before any request (default 50 MiB). */
    maxBytes?: number;
    poll?: PollOptions;
}

export interface SignPdfResult {
    /** The signed document: the original bytes and an incremental update. */
    pdf: Uint8Array;
    certificate: Uint8Array;
    level: SignatureLevel;
    fieldName: string;
}

export interface SignResult {
    certificate: Uint8Array;
    /** raw: the signature (ECDSA r||s); cms: the signature of signedAttributes. */
    signature: Uint8Array;
    /** ECDSA, raw format: the DER form. */
    signatureDer?: Uint8Array;
    /** cms: the detached CMS SignedData (.p7s). */
    cms?: Uint8Array;
    /** cms: the DER signed attributes the signature covers. */
    signedAttributes?: Uint8Array;
    /** When a level was asked. */
    level?: SignatureLevel;
}

export interface BatchDocument {
    /** Shown to the user in the consent dialog's list, as one escaped line. */
    name: string;
    /** The digest the page computed; base64 text is taken as it is. */
    digest: Bytes | string;
}

export interface BatchItem {
    index: number;
    name: string;
    /** raw format: the signature (ECDSA r||s). */
    signature?: Uint8Array;
    /** ECDSA, raw format: the DER form. */
    signatureDer?: Uint8Array;
    /** cms: the detached CMS SignedData (.p7s) at the level asked. */
    cms?: Uint8Array;
    /** PDFs: the signed document (PAdES at the level asked). */
    pdf?: Uint8Array;
    /** Set when this document was not signed (e.g. BAD_DIGEST_LENGTH). */
    error?: string;
    message?: string;
}

/** A PDF of a batch: a File (its name is shown) or a named Blob or bytes. */
export type BatchPdf = Blob | File | { name?: string; pdf: Blob | Bytes };

export interface SignBatchOptions {
    certId: string;
    /** All digests, or all PDFs (each signed as by signPdf()). */
    documents: BatchDocument[] | BatchPdf[];
    digestAlgorithm?: DigestAlgorithm;
    signatureAlgorithm: SignatureAlgorithm;
    /** Default: 'pdf' for PDFs, else 'raw'. */
    format?: 'raw' | 'cms' | 'pdf';
    level?: 'B-B' | 'B-T' | 'B-LT';
    /** PDFs: as for signPdf(), the same for every document. */
    page?: number | 'last';
    visible?: boolean;
    rect?: [number, number, number, number];
    text?: string;
    fieldName?: string;
    /** PDFs: PayloadTooLargeError before any request above this total; default 50 MiB. */
    maxBytes?: number;
    /** PDFs: BatchTooLargeError above this many; default 32 (the server's maxUploadedFiles). */
    maxFiles?: number;
    /** Each item once, as it completes. */
    onProgress?: (items: BatchItem[], progress: { done: number; total: number }) => void;
    progressIntervalMs?: number;
    poll?: PollOptions;
}

export interface SignBatchResult {
    certificate: Uint8Array;
    total: number;
    /** Every item delivered, by index (holes for documents never reached). */
    items: BatchItem[];
    signed: number[];
    failed: number[];
    /** Not reached: the user cancelled, or stoppedBy says why. */
    notSigned: number[];
    cancelled: boolean;
    stoppedBy?: { error: string; message: string };
}

/** The log-in token authenticate() resolves to (the Web eID authentication token, format "web-eid:1.0"). */
export interface AuthToken {
    format: string;
    /** base64 DER of the authentication certificate; the site's server checks it. */
    unverifiedCertificate: string;
    algorithm: 'RS256' | 'PS256' | 'ES256' | 'ES384' | 'ES512';
    /** base64 signature over hash(origin) || hash(nonce); ECDSA as r||s. */
    signature: string;
    /** A URL naming the agent and its version. */
    appVersion: string;
}

export class QtxClient {
    constructor(options?: QtxClientOptions);
    options: Required<QtxClientOptions>;
    port: number;
    sessionId: string;

    request(path: string, params?: Record<string, unknown> | FormData, opts?: {
        sessionId?: string; cmdId?: string; port?: number; timeoutMs?: number; jsonp?: boolean;
    }): Promise<RawReply>;
    command(name: string, params?: Record<string, unknown>, opts?: object): Promise<RawReply>;
    /**
     * Finds the user's server; resolves to its port. Asks the dispatcher and
     * probes the user ports at once; only a server whose certificate the
     * browser trusts counts, a silent port costs one probe time-out.
     */
    connect(): Promise<number>;
    serverVersion(): Promise<string>;
    openSession(opts?: { module?: string; vars?: Record<string, unknown> | Array<{ key: string; value: unknown }> | null }): Promise<string>;
    keepAlive(): Promise<void>;
    startKeepAlive(intervalMs?: number, onError?: ((e: unknown) => void) | null): void;
    stopKeepAlive(): void;
    setSessionVar(key: string, value: unknown): Promise<void>;
    closeSession(): Promise<void>;
    start(module: string, fn: string, params?: Record<string, unknown> | FormData): Promise<StartedCommand>;
    getResult(cmdId: string, module?: string): Promise<RawReply>;
    waitResult(cmdId: string, opts?: { command?: string; module?: string; poll?: PollOptions }): Promise<string>;
    call(module: string, fn: string, params?: Record<string, unknown>, opts?: { poll?: PollOptions }): Promise<string>;
    callJson<T = any>(module: string, fn: string, params?: Record<string, unknown>, opts?: { poll?: PollOptions }): Promise<T>;

    /** The certificates this origin may see without asking, present now, for the purpose. No dialog. */
    listCertificates(opts?: { purpose?: CertificatePurpose; poll?: PollOptions }): Promise<{ certificates: CertificateDescription[] }>;
    /** The user picks a certificate in a native dialog naming this origin. */
    selectCertificate(opts?: { purpose?: CertificatePurpose; poll?: PollOptions }): Promise<SelectedCertificate>;
    /** Signs a digest after the user's consent (and PIN) in a desktop dialog. */
    sign(options: SignOptions): Promise<SignResult>;
    /** Signs a PDF after the user saw its pages and preview and typed the PIN in a desktop dialog. */
    signPdf(options: SignPdfOptions): Promise<SignPdfResult>;
    /** Signs many digests under one consent, one PIN and one token log-in. */
    signBatch(options: SignBatchOptions): Promise<SignBatchResult>;
    /** Signs the site's nonce with the page's origin after the user picked a certificate and typed the PIN. */
    authenticate(nonce: string, opts?: { poll?: PollOptions }): Promise<AuthToken>;
    signerCall<T = any>(fn: string, params: Record<string, unknown>, opts?: { poll?: PollOptions }): Promise<T>;
}

export function classifyUnreachable(fail: Array<{ port: number; ms: number }>): number;
export function backoffDelays(opts?: PollOptions): Generator<number, never, unknown>;
export function newCommandId(): string;
export function sessionVarsParam(vars: Record<string, unknown> | Array<{ key: string; value: unknown }>): string;
export function unwrapJsonp(text: string, name: string): string | null;
/** The SubjectPublicKeyInfo (DER) of an X.509 certificate (DER bytes or base64). */
export function spkiFromCertificate(certificate: Bytes | string): Uint8Array;
/** Checks a signature with WebCrypto against the certificate's public key. */
export function verifySignature(args: {
    certificate: Bytes | string;
    data: Bytes | string;
    signature: Bytes | string;
    signatureAlgorithm: SignatureAlgorithm;
    digestAlgorithm?: DigestAlgorithm;
}): Promise<boolean>;
export function toBase64(data: Bytes | string): string;
export function fromBase64(text: string): Uint8Array;

export default QtxClient;
