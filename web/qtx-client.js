// Quorvex Crypto Provider: JavaScript client for web pages.
//
// An ES module without dependencies. Pages that cannot use modules load
// qtx-client.classic.js instead (made from this file by build-classic.mjs),
// which defines window.QtxClient with the same names.
//
// The server listens on 127.0.0.1 over HTTPS. A page POSTs a command; a module
// function answers 202 at once and the page polls GET_RESULT with the same
// command id until it gets 200 (the function's result) or an error status.
//
// Usage:
//   const qtx = new QtxClient({ port: 48460 });
//   await qtx.connect();                       // find the user's server
//   await qtx.openSession({ vars: { lang: 'en' } });
//   const reply = await qtx.callJson('Hasher', 'Sha256', { data: 'abc' });
//   await qtx.closeSession();

// ---- errors ---------------------------------------------------------------

/** Base class of every error this client throws. */
class QtxError extends Error {
    constructor(message, details = {}) {
        super(message);
        this.name = new.target.name;
        this.status = details.status ?? 0;      // HTTP status, 0 when there was no reply
        this.reason = details.reason ?? '';     // reason phrase of the status line
        this.body = details.body ?? '';         // reply body as text
        this.command = details.command ?? '';   // command that failed ("Hasher/Sha256", "GET_RESULT")
        this.port = details.port ?? 0;
        this.hint = details.hint ?? '';
    }
}

/** 400: a parameter that the module's command file requires is missing. */
class BadRequestError extends QtxError {}
/** 403: this client's account may not run the module command or fetch its result. */
class ForbiddenError extends QtxError {}
/** 404: unknown module or function, or the module could not be loaded. */
class NotFoundError extends QtxError {}
/** 418: the session does not exist (closed, expired, or never opened). */
class NoSessionError extends QtxError {}
/** 419: no result (unknown command id, or the result was already delivered). */
class NoResultError extends QtxError {}
/** 500: the server failed while handling the command. */
class InternalServerError extends QtxError {}
/** 500 from a module: the function threw; its result was "500|<text>". */
class ModuleFailedError extends InternalServerError {}
/** 503: a GUI function is already running; try again later. */
class ServiceUnavailableError extends QtxError {}
/** A status this protocol does not define (e.g. 501 from an unfinished server). */
class UnexpectedStatusError extends QtxError {}
/** 413: the body is over the server's cap (for documents: maxDocumentSize, 50 MiB by default). */
class PayloadTooLargeError extends QtxError {}
/** The result did not arrive before the polling deadline. */
class ResultTimeoutError extends QtxError {}
/**
 * The server answered other commands but the browser withheld a JSONP reply:
 * JSONP replies carry no CORS headers, so an ordinary cross-origin page cannot
 * read them. Use the default CORS transport in web pages.
 */
class JsonpBlockedError extends QtxError {}

/**
 * No HTTPS connection could be made. A page cannot see why: fetch() reports a
 * refused connection and a rejected certificate with the same TypeError. The
 * two subclasses are a best guess (see classifyUnreachable); both carry a hint
 * and, in trustCheckUrl, an address the user can open to see the real reason.
 */
class ServerUnreachableError extends QtxError {
    constructor(message, details = {}) {
        super(message, details);
        this.ports = details.ports ?? [];
        this.trustCheckUrl = details.trustCheckUrl ?? '';
    }
}
/** Nothing seems to listen: the server is not running for this user. */
class ServerNotRunningError extends ServerUnreachableError {}
/** A port took part in a TLS handshake and still failed: the browser does not trust the server's certificate. */
class CertificateNotTrustedError extends ServerUnreachableError {}
/**
 * The browser blocks this page from the user's machine: its local network
 * access permission (Chromium, for pages from the internet) is denied.
 */
class LocalNetworkAccessDeniedError extends ServerUnreachableError {}

/**
 * Whether the browser reports the local network access permission of this page
 * as denied. Chromium has named it 'local-network-access', and later
 * 'loopback-network' / 'local-network'; a browser without it says false.
 */
async function localNetworkAccessDenied() {
    const perms = globalThis.navigator && navigator.permissions;
    if (!perms || typeof perms.query !== 'function')
        return false;
    for (const name of ['loopback-network', 'local-network-access', 'local-network']) {
        try {
            if ((await perms.query({ name })).state === 'denied')
                return true;
        } catch (_) { /* this browser does not know the name */ }
    }
    return false;
}

const ERROR_BY_STATUS = {
    400: BadRequestError,
    403: ForbiddenError,
    404: NotFoundError,
    413: PayloadTooLargeError,
    418: NoSessionError,
    419: NoResultError,
    500: InternalServerError,
    503: ServiceUnavailableError,
};

/** The typed error for a reply status that is not 200 or 202. */
function errorForReply(reply, command, port) {
    const Type = ERROR_BY_STATUS[reply.status] ?? UnexpectedStatusError;
    const text = reply.body || reply.reason || `status ${reply.status}`;
    return new Type(`${command}: ${reply.status} ${reply.reason}: ${text}`.trim(), {
        status: reply.status, reason: reply.reason, body: reply.body, command, port,
    });
}

// A failed probe that took clearly longer than the typical failure went at
// least as far as a TLS handshake: something listens there.
const SLOW_FAILURE_MIN_MS = 5;
const SLOW_FAILURE_FACTOR = 4;

/**
 * Picks the port that looks like a server behind a rejected certificate, or 0.
 * fail: [{ port, ms }] of failed probes. A refused loopback connection fails
 * within a millisecond or two; a server whose certificate the browser rejects
 * fails only after the handshake, several times slower. This is a guess from
 * timing (a page cannot see the reason of a failed fetch): connect() probes
 * such a port a second time and believes it only when it is slow again.
 */
function classifyUnreachable(fail) {
    if (fail.length < 3)
        return 0;
    const sorted = fail.map((f) => f.ms).sort((a, b) => a - b);
    const typical = sorted[Math.floor((sorted.length - 1) / 2)];
    const slowest = fail.reduce((a, b) => (b.ms > a.ms ? b : a));
    return isSlowFailure(slowest.ms, typical) ? slowest.port : 0;
}

function isSlowFailure(ms, typical) {
    return ms >= SLOW_FAILURE_MIN_MS && ms >= Math.max(typical, 1) * SLOW_FAILURE_FACTOR;
}

function typicalFailureMs(fail) {
    const sorted = fail.map((f) => f.ms).sort((a, b) => a - b);
    return sorted[Math.floor((sorted.length - 1) / 2)] || 0;
}

// ---- helpers --------------------------------------------------------------

const SERVER_COMMANDS = new Set([
    'ALIVE', 'GET_RESULT', 'OPEN_SESSION', 'CLOSE_SESSION', 'SET_SESSION_VAR', 'SERVER_VERSION',
    'ARCH_TYPE', 'TEST', 'GET_USER_SERVER_PORT', 'GET_USERNAME_FOR_PID',
]);

/** A braced lower-case UUID, the command id form the server keeps as sent. */
function newCommandId() {
    const c = globalThis.crypto;
    let hex;
    if (c && typeof c.randomUUID === 'function') {
        hex = c.randomUUID();
    } else {
        // randomUUID needs a secure context; getRandomValues does not.
        const b = new Uint8Array(16);
        if (c && typeof c.getRandomValues === 'function')
            c.getRandomValues(b);
        else
            for (let i = 0; i < 16; ++i) b[i] = Math.floor(Math.random() * 256);
        b[6] = (b[6] & 0x0f) | 0x40;
        b[8] = (b[8] & 0x3f) | 0x80;
        const h = Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('');
        hex = `${h.slice(0, 8)}-${h.slice(8, 12)}-${h.slice(12, 16)}-${h.slice(16, 20)}-${h.slice(20)}`;
    }
    return `{${hex.toLowerCase()}}`;
}

/** The "sessionVars" parameter: a JSON array of {key, value}. Accepts an object or such an array. */
function sessionVarsParam(vars) {
    if (Array.isArray(vars))
        return JSON.stringify(vars.map((v) => ({ key: String(v.key), value: v.value })));
    return JSON.stringify(Object.entries(vars).map(([key, value]) => ({ key, value })));
}

/** Removes "name(" and ")" around a JSONP reply, or returns null when it is not one. */
function unwrapJsonp(text, name) {
    const head = `${name}(`;
    if (!text.startsWith(head) || !text.endsWith(')'))
        return null;
    return text.slice(head.length, -1);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const now = () => (globalThis.performance && typeof performance.now === 'function' ? performance.now() : Date.now());

/** Back-off delays for polling: initial, growing by factor, capped at max. */
function* backoffDelays({ initialMs = 25, factor = 2, maxMs = 1000 } = {}) {
    let d = initialMs;
    for (;;) {
        yield d;
        d = Math.min(maxMs, Math.ceil(d * factor));
    }
}

let jsonpCounter = 0;

// ---- client ---------------------------------------------------------------

const DEFAULTS = {
    host: '127.0.0.1',
    port: 48460,            // configured port of the installation ([listener] port)
    scanCount: 10,          // user instances listen from port+1 upwards
    askDispatcher: true,    // first ask the configured port for the user's port
    serverPort: 0,          // a known port: skip discovery
    jsonp: false,           // send "callback" and unwrap callback(body) replies
    requestTimeoutMs: 10000,
    // Discovery probes run side by side, each ended after this: a port that
    // accepts and then stays silent (another account squatting it) costs a
    // page this long once, not once per port.
    probeTimeoutMs: 750,
    poll: { initialMs: 25, factor: 2, maxMs: 1000, timeoutMs: 120000 },
    fetch: null,            // defaults to globalThis.fetch
    onEvent: null,          // (event) => void: one call per request, for status displays
};

class QtxClient {
    constructor(options = {}) {
        this.options = { ...DEFAULTS, ...options, poll: { ...DEFAULTS.poll, ...(options.poll || {}) } };
        this.port = this.options.serverPort || 0;
        this.sessionId = '';
        this._keepAliveTimer = null;
        this._fetch = this.options.fetch || globalThis.fetch.bind(globalThis);
    }

    get baseUrl() {
        return `https://${this.options.host}:${this.port}`;
    }

    _emit(event) {
        if (typeof this.options.onEvent === 'function') {
            try { this.options.onEvent(event); } catch (_) { /* a display must not break a call */ }
        }
    }

    /**
     * One POST. Returns { status, reason, body, sessionId, cmdId } or throws
     * ServerUnreachableError (no reply at all) / JsonpBlockedError.
     */
    async request(path, params = {}, { sessionId = this.sessionId, cmdId = '', port = this.port,
        timeoutMs = this.options.requestTimeoutMs, jsonp = this.options.jsonp, upload = null } = {}) {
        if (upload)
            jsonp = false; // a multipart body (FormData) carries the parameters itself
        const body = new URLSearchParams();
        for (const [k, v] of Object.entries(params))
            if (v !== undefined && v !== null) body.append(k, String(v));
        const callback = jsonp ? `qtxcb${Date.now().toString(36)}_${++jsonpCounter}` : '';
        if (callback)
            body.append('callback', callback);
        const headers = upload ? {} : { 'Content-Type': 'application/x-www-form-urlencoded' };
        if (sessionId) headers['X-QTX-sessionId'] = sessionId;
        if (cmdId) headers['X-QTX-cmdId'] = cmdId;

        const controller = typeof AbortController === 'function' ? new AbortController() : null;
        const timer = controller ? setTimeout(() => controller.abort(), timeoutMs) : null;
        const url = `https://${this.options.host}:${port}/${path}`;
        const started = now();
        let response;
        let text;
        try {
            // Credentials stay home: the session travels in X-QTX-sessionId, not in cookies.
            response = await this._fetch(url, {
                method: 'POST', headers, body: upload || body.toString(), mode: 'cors', credentials: 'omit',
                cache: 'no-store', signal: controller ? controller.signal : undefined,
            });
            text = await response.text();
        } catch (err) {
            const ms = Math.round((now() - started) * 10) / 10;
            this._emit({ path, port, ok: false, error: String(err && err.message || err), ms });
            if (jsonp && port && await this._answersCors(port))
                throw new JsonpBlockedError(
                    `${path}: the browser withheld the JSONP reply (JSONP replies carry no CORS headers)`,
                    { command: path, port, hint: 'Use the CORS transport (jsonp: false) in web pages.' });
            const e = new ServerUnreachableError(`${path}: no reply from ${url}: ${err && err.message || err}`,
                { command: path, port, ports: [port] });
            e.elapsedMs = ms;
            e.timedOut = Boolean(controller && controller.signal.aborted);
            e.cause = err;
            throw e;
        } finally {
            if (timer) clearTimeout(timer);
        }
        let replyBody = text;
        if (callback) {
            const inner = unwrapJsonp(text, callback);
            if (inner === null)
                throw new UnexpectedStatusError(`${path}: reply is not JSONP for ${callback}`,
                    { status: response.status, reason: response.statusText, body: text, command: path, port });
            replyBody = inner;
        }
        const reply = {
            status: response.status,
            reason: response.statusText,
            body: replyBody,
            sessionId: response.headers.get('X-QTX-sessionId') ?? '',
            cmdId: response.headers.get('X-QTX-cmdId') ?? '',
            port,
        };
        this._emit({ path, port, ok: true, status: reply.status, reason: reply.reason,
            body: reply.body, cmdId: reply.cmdId, sessionId: reply.sessionId, ms: Math.round(now() - started) });
        return reply;
    }

    async _answersCors(port) {
        try {
            const r = await this.request('SERVER_VERSION', {}, { port, jsonp: false, sessionId: '',
                timeoutMs: this.options.probeTimeoutMs });
            return r.status === 200;
        } catch (_) {
            return false;
        }
    }

    /** Sends a server command and returns the body of a 200 reply; other statuses throw. */
    async command(name, params = {}, opts = {}) {
        if (!this.port)
            await this.connect();
        const reply = await this.request(name, params, opts);
        if (reply.status !== 200)
            throw errorForReply(reply, name, this.port);
        return reply;
    }

    // ---- discovery --------------------------------------------------------

    /**
     * Finds the port of the user's server and keeps it in this.port.
     * 1. serverPort given: use it.
     * 2. At once and side by side: askDispatcher (POST GET_USER_SERVER_PORT to
     *    the configured port; a 200 reply names the user's port) and a
     *    SERVER_VERSION probe of each user port, port+1 .. port+scanCount.
     * 3. The dispatcher's port when the browser reaches a server there
     *    (verified with SERVER_VERSION); else the lowest probed port that
     *    answered; else the configured port itself.
     * Only a server whose certificate this browser trusts answers a probe: a
     * port held by another account fails its handshake and counts as "not
     * here", one that accepts and stays silent is given up after
     * probeTimeoutMs. Throws ServerNotRunningError, CertificateNotTrustedError,
     * or LocalNetworkAccessDeniedError when the browser withholds the permission.
     */
    async connect() {
        const o = this.options;
        if (o.serverPort) {
            this.port = o.serverPort;
            return this.port;
        }
        const failures = [];
        const candidates = [];
        for (let i = 1; i <= o.scanCount; ++i)
            if (o.port + i < 65536) candidates.push(o.port + i);
        const probes = new Map(candidates.map((p) => [p, this._probe(p, failures)]));
        const probe = (p) => probes.get(p) ?? this._probe(p, failures);
        if (o.askDispatcher) {
            const named = await this._askDispatcher(o.port, failures);
            if (named && await probe(named)) {
                this.port = named;
                return named;
            }
        }
        for (const p of candidates) {
            if (await probes.get(p)) {
                this.port = p;
                return p;
            }
        }
        candidates.push(o.port);
        if (await this._probe(o.port, failures)) {
            this.port = o.port;
            return o.port;
        }
        let slowPort = classifyUnreachable(failures.filter((f) => !f.timedOut));
        if (slowPort) {
            // The first requests of a page can be slow for other reasons: ask again.
            const again = [];
            if (await this._probe(slowPort, again)) {
                this.port = slowPort;
                return slowPort;
            }
            if (!again.length || !isSlowFailure(again[0].ms, typicalFailureMs(failures)))
                slowPort = 0;
        }
        if (await localNetworkAccessDenied()) {
            throw new LocalNetworkAccessDeniedError(
                'The browser does not let this page reach the Quorvex Crypto Provider on this machine',
                { ports: candidates, hint: 'Allow "local network access" (site settings of this page) and reload the page.' });
        }
        throw this._unreachable(candidates, slowPort);
    }

    /** The port the dispatcher names for this user, or 0. */
    async _askDispatcher(port, failures) {
        const started = now();
        try {
            const r = await this.request('GET_USER_SERVER_PORT', {}, { port, sessionId: '', jsonp: false,
                timeoutMs: this.options.probeTimeoutMs });
            const p = Number.parseInt(r.body, 10);
            return r.status === 200 && p > 0 && p < 65536 ? p : 0;
        } catch (e) {
            if (!(e instanceof ServerUnreachableError)) throw e;
            failures.push({ port, ms: e.elapsedMs ?? now() - started, timedOut: Boolean(e.timedOut) });
            return 0;
        }
    }

    async _probe(port, failures) {
        const started = now();
        try {
            const r = await this.request('SERVER_VERSION', {}, { port, sessionId: '', jsonp: false,
                timeoutMs: this.options.probeTimeoutMs });
            return r.status === 200;
        } catch (e) {
            if (!(e instanceof ServerUnreachableError)) throw e;
            // Keep the slowest failure per port (the dispatcher port may fail twice).
            const ms = e.elapsedMs ?? now() - started;
            const prev = failures.find((f) => f.port === port);
            if (prev) {
                prev.ms = Math.max(prev.ms, ms);
                prev.timedOut = prev.timedOut || Boolean(e.timedOut);
            } else {
                failures.push({ port, ms, timedOut: Boolean(e.timedOut) });
            }
            return false;
        }
    }

    _unreachable(ports, slowPort) {
        const host = this.options.host;
        const range = `${ports[0]}-${ports[ports.length - 2] ?? ports[0]} and ${ports[ports.length - 1]}`;
        if (slowPort) {
            return new CertificateNotTrustedError(
                `The server on port ${slowPort} seems to run, but this browser does not trust its certificate`,
                { port: slowPort, ports, trustCheckUrl: `https://${host}:${slowPort}/SERVER_VERSION`,
                    hint: 'Run "qtx-provision --trust" as this user, restart the browser, and reload the page.' });
        }
        return new ServerNotRunningError(
            `No Quorvex Crypto Provider answers on ${host} ports ${range}`,
            { ports, trustCheckUrl: `https://${host}:${ports[0]}/SERVER_VERSION`,
                hint: 'Start the server (systemctl --user start quorvex-crypto-provider). If it runs, '
                    + 'open trustCheckUrl: a certificate warning there means the browser does not trust it yet '
                    + '(run "qtx-provision --trust").' });
    }

    // ---- server commands --------------------------------------------------

    /** The server's version text. */
    async serverVersion() {
        return (await this.command('SERVER_VERSION', {}, { sessionId: '' })).body;
    }

    /**
     * Opens a session and keeps its id. module: load that module at once
     * (404 NotFoundError when it cannot be loaded). vars: session variables,
     * an object or an array of {key, value}; modules receive them with every call.
     */
    async openSession({ module = '', vars = null } = {}) {
        const params = {};
        if (vars) params.sessionVars = sessionVarsParam(vars);
        let path = 'OPEN_SESSION';
        if (module) {
            path = encodeURIComponent(module);
            params.cmd = 'OPEN_SESSION';
        }
        // A session id in the header would be answered as it stands: open a new one.
        const reply = await this.command(path, params, { sessionId: '' });
        this.sessionId = reply.body || reply.sessionId;
        return this.sessionId;
    }

    /** Restarts the session's idle timer; NoSessionError (418) when the session is gone. */
    async keepAlive() {
        await this.command('ALIVE');
    }

    /** Calls keepAlive every intervalMs until stopKeepAlive; onError gets failures. */
    startKeepAlive(intervalMs = 60000, onError = null) {
        this.stopKeepAlive();
        this._keepAliveTimer = setInterval(() => {
            this.keepAlive().catch((e) => { if (onError) onError(e); });
        }, intervalMs);
    }

    stopKeepAlive() {
        if (this._keepAliveTimer) clearInterval(this._keepAliveTimer);
        this._keepAliveTimer = null;
    }

    async setSessionVar(key, value) {
        if (!this.sessionId)
            throw new NoSessionError('SET_SESSION_VAR: no session', { status: 418, command: 'SET_SESSION_VAR' });
        await this.command('SET_SESSION_VAR', { key, value });
    }

    /** Closes the session; NoSessionError when the server no longer knows it. */
    async closeSession() {
        this.stopKeepAlive();
        const id = this.sessionId;
        if (!id) return;
        try {
            await this.command('CLOSE_SESSION', {}, { sessionId: id });
        } finally {
            this.sessionId = '';
        }
    }

    // ---- module commands --------------------------------------------------

    /**
     * Starts module function fn with params; returns { cmdId, status }.
     * Without an open session the server opens one; its id is kept.
     */
    async start(module, fn, params = {}, { upload = null } = {}) {
        if (SERVER_COMMANDS.has(module))
            throw new TypeError(`${module} is a server command, not a module`);
        if (!this.port)
            await this.connect();
        const cmdId = newCommandId();
        const command = `${module}/${fn}`;
        const reply = await this.request(`${encodeURIComponent(module)}/${encodeURIComponent(fn)}`, params, { cmdId, upload });
        if (!this.sessionId && reply.sessionId)
            this.sessionId = reply.sessionId;
        if (reply.status !== 202 && reply.status !== 200)
            throw errorForReply(reply, command, this.port);
        return { cmdId: reply.cmdId || cmdId, status: reply.status, body: reply.body, command, module };
    }

    /**
     * One GET_RESULT: { status: 200|202, body }; 419 and other statuses throw.
     * With the module's name the poll goes to /<module> with cmd=GET_RESULT:
     * a client on the system account may only address its own modules, so it
     * can fetch results only that way; for other clients both forms are equal.
     */
    async getResult(cmdId, module = '') {
        const path = module ? encodeURIComponent(module) : 'GET_RESULT';
        const params = module ? { cmd: 'GET_RESULT', cmdId } : { cmdId };
        const reply = await this.request(path, params, { cmdId });
        if (reply.status !== 200 && reply.status !== 202)
            throw errorForReply(reply, 'GET_RESULT', this.port);
        return reply;
    }

    /**
     * Polls GET_RESULT with a bounded back-off until 200 or an error status.
     * ResultTimeoutError after poll.timeoutMs. A result "500|text" is the module's
     * failure and throws ModuleFailedError.
     */
    async waitResult(cmdId, { command = 'GET_RESULT', module = '', poll = {} } = {}) {
        const p = { ...this.options.poll, ...poll };
        const deadline = Date.now() + p.timeoutMs;
        for (const delay of backoffDelays(p)) {
            const reply = await this.getResult(cmdId, module);
            if (reply.status === 200) {
                if (reply.body.startsWith('500|'))
                    throw new ModuleFailedError(`${command}: the module failed: ${reply.body.slice(4)}`,
                        { status: 500, reason: 'Module failed', body: reply.body, command, port: this.port });
                return reply.body;
            }
            const left = deadline - Date.now();
            if (left <= 0)
                throw new ResultTimeoutError(`${command}: no result after ${p.timeoutMs} ms`,
                    { command, port: this.port });
            await sleep(Math.min(delay, left));
        }
        return '';
    }

    /** Starts fn and waits for its result text. */
    async call(module, fn, params = {}, { poll = {}, upload = null } = {}) {
        const job = await this.start(module, fn, params, { upload });
        if (job.status === 200)
            return job.body;
        return this.waitResult(job.cmdId, { command: job.command, module, poll });
    }

    /** call() and JSON.parse of the result. */
    async callJson(module, fn, params = {}, opts = {}) {
        const text = await this.call(module, fn, params, opts);
        return text ? JSON.parse(text) : null;
    }

    // ---- signing with the Signer module -----------------------------------
    //
    // A page sees a certificate only after the user picked it in the native
    // picker that names the page's origin (selectCertificate), or when the user
    // let this origin see it from now on (then listCertificates answers it
    // without a dialog). Ids are per site: another origin gets another id for
    // the same certificate. The origin is the browser's Origin header; nothing
    // the page sends can change it.

    /**
     * The certificates this origin may see without asking (the user ticked "let
     * this site see this certificate from now on" in the picker) that are
     * present now and fit the purpose: { certificates: [{ id, subject,
     * subjectCommonName, issuer, serialNumber, notBefore, notAfter, key: { type,
     * bits, curve }, keyUsage, extendedKeyUsage, purposes, certificate }] }
     * (certificate: base64 DER). Never a dialog; an empty list without a grant.
     *   purpose: 'sign' (document signing, the default) or 'login'
     */
    async listCertificates({ purpose = 'sign', poll = {} } = {}) {
        return this.signerCall('ListCertificates', { purpose }, { poll });
    }

    /**
     * Asks the user to pick a certificate for the purpose in a native dialog
     * that names this page's origin. Resolves to the certificate as
     * listCertificates describes it, plus remembered: true when the user let
     * this site see it from now on. SigningCancelledError when the user
     * cancelled (detail 'timeout' when the dialog timed out), NoTokenError
     * (with modules: the PKCS#11 modules tried) when the user gave up waiting
     * for a card. The dialog may stay open for minutes: the poll deadline
     * defaults to 10 minutes.
     */
    async selectCertificate({ purpose = 'sign', poll = {} } = {}) {
        return this.signerCall('SelectCertificate', { purpose }, { poll: { timeoutMs: 600000, ...poll } });
    }

    /**
     * Signs a digest the page computed with the certificate certId (the id
     * selectCertificate or listCertificates gave this origin). The user
     * confirms in a dialog on the desktop and types the PIN there; the page
     * never handles the PIN.
     *   digest: ArrayBuffer / typed array / base64 text
     *   digestAlgorithm: 'SHA-256' | 'SHA-384' | 'SHA-512'
     *   signatureAlgorithm: 'RSA-PKCS1' | 'RSA-PSS' | 'ECDSA'
     *   format: 'raw' (the signature; ECDSA as r||s, as WebCrypto wants it) or
     *           'cms' (a detached CMS / CAdES-B signature, for a .p7s file)
     *   documentName: shown in the dialog (one line, escaped)
     *   level: with format 'cms' only: 'B-B' (the default), 'B-T' (with a
     *          timestamp), 'B-LT' (and the chain and revocation data)
     * Resolves to { certificate, signature, signatureDer?, cms?, signedAttributes? }
     * as Uint8Arrays (and level when one was asked). CertificateNotUsableError for a certificate that is not
     * for document signing. The poll deadline defaults to 10 minutes.
     */
    async sign({ certId, digest, digestAlgorithm = 'SHA-256', signatureAlgorithm, format = 'raw', documentName = '', level, poll = {} } = {}) {
        const r = await this.signerCall('Sign', {
            certId, digest: toBase64(digest), digestAlgorithm, signatureAlgorithm, format, documentName, level,
        }, { poll: { timeoutMs: 600000, ...poll } });
        const out = {};
        for (const key of ['certificate', 'signature', 'signatureDer', 'cms', 'signedAttributes'])
            if (r[key]) out[key] = fromBase64(r[key]);
        if (r.level) out.level = r.level;
        return out;
    }

    /**
     * Signs a PDF (PAdES) with the certificate certId. The server prepares the
     * document itself and the desktop dialog shows its name, page count and a
     * preview of the page with the signature's box; the user confirms with the PIN.
     *   pdf: Blob / File / ArrayBuffer / typed array (at most maxBytes, 50 MiB by default)
     *   documentName: shown in the dialog (one line, escaped)
     *   level: 'B-B' (default), 'B-T', 'B-LT'
     *   page: 1-based, or 'last'; visible: true for a box at rect
     *   rect: [x, y, width, height] in points from the page's top-left corner
     *   text: an optional line in the box; fieldName: the signature field's name
     * Resolves to { pdf: Uint8Array, certificate: Uint8Array, level, fieldName }.
     * PayloadTooLargeError before any request for a document over maxBytes;
     * SigningError subclasses with the engine's code (PDF_MALFORMED,
     * PDF_ENCRYPTED, TSA_UNREACHABLE, ...) otherwise.
     */
    async signPdf({ certId, pdf, documentName = '', level = 'B-B', page = 1, visible = false, rect, text = '',
        fieldName = '', maxBytes = 50 * 1024 * 1024, poll = {} } = {}) {
        const blob = pdf instanceof Blob ? pdf : new Blob([toBytes(pdf)], { type: 'application/pdf' });
        if (blob.size > maxBytes)
            throw new PayloadTooLargeError(`Signer/SignPdf: the document has ${blob.size} bytes; at most ${maxBytes} are sent`,
                { status: 413, command: 'Signer/SignPdf' });
        const form = new FormData();
        const fields = { certId, documentName, level, page, visible, rect: rect ? rect.join(',') : undefined, text, fieldName };
        for (const [k, v] of Object.entries(fields))
            if (v !== undefined && v !== null && v !== '') form.append(k, String(v));
        form.append('document', blob, 'document.pdf');
        const r = await this.signerCall('SignPdf', {}, { poll: { timeoutMs: 600000, ...poll }, upload: form });
        return { pdf: fromBase64(r.pdf), certificate: fromBase64(r.certificate), level: r.level, fieldName: r.fieldName };
    }

    /**
     * Logs the user in to this page's site with a card. nonce: the challenge the
     * site's server issued for this log-in (44 to 128 base64 characters). The user
     * picks an authentication certificate and types the PIN in a dialog on the
     * desktop that names this page's origin; the token signs hash(origin) ||
     * hash(nonce), with the origin the browser reports (a page cannot choose it).
     * Resolves to the token { format, unverifiedCertificate, algorithm, signature,
     * appVersion } (JSON-ready) for the site's server to check. Failures throw
     * SigningError subclasses; a malformed nonce throws BadNonceError before any request.
     */
    async authenticate(nonce, { poll = {} } = {}) {
        if (typeof nonce !== 'string' || !NONCE_PATTERN.test(nonce))
            throw new BadNonceError('Signer/Authenticate: the nonce must be 44 to 128 base64 characters',
                { command: 'Signer/Authenticate', code: 'BAD_NONCE' });
        return this.signerCall('Authenticate', { nonce }, { poll: { timeoutMs: 600000, ...poll } });
    }

    /**
     * Signs many digests under one consent: one desktop dialog lists every
     * document (name and digest) beside this page's origin, the user types the
     * PIN once, and the token logs in once for the whole batch. Each signature
     * reaches onProgress as it completes (polled every progressIntervalMs);
     * a document the Signer refuses (a digest of the wrong length) gets its
     * error and the others are still signed; Cancel in the progress window
     * stops the rest.
     *   documents: [{ name, digest }] (digest: bytes or base64; at most the
     *              server's [signing] batchMaxDocuments, 100 by default), or
     *              PDFs: [File | Blob | { name, pdf: Blob | bytes }] (each
     *              signed as by signPdf(), at most maxFiles of them and
     *              maxBytes together; a batch is all digests or all PDFs)
     *   digestAlgorithm, signatureAlgorithm, format: as for sign() (one for all)
     *   level: 'B-B' (default), 'B-T' or 'B-LT' (format 'cms' and PDFs)
     *   PDFs: page, visible, rect, text, fieldName as for signPdf(), for each
     *   onProgress(items, { done, total }): items as in the result
     * Resolves to { certificate, total, items (by index: { index, name,
     * signature?, signatureDer?, cms?, pdf?, error?, message? }), signed, failed,
     * notSigned (indices), cancelled, stoppedBy? }. Typed errors as sign();
     * BatchTooLargeError (maxDocuments, maxBytes) before any dialog;
     * PayloadTooLargeError before any request for PDFs over maxBytes together.
     */
    async signBatch({ certId, documents, digestAlgorithm = 'SHA-256', signatureAlgorithm, format, level = 'B-B',
        page, visible, rect, text, fieldName, maxBytes = 50 * 1024 * 1024, maxFiles = 32,
        onProgress = null, progressIntervalMs = 500, poll = {} } = {}) {
        const bad = (why) => new BadSigningRequestError(`Signer/SignBatch: ${why}`,
            { command: 'Signer/SignBatch', code: 'BAD_REQUEST' });
        if (!Array.isArray(documents) || documents.length === 0)
            throw bad('documents must be a non-empty array');
        const isPdf = (d) => d instanceof Blob || (d !== null && typeof d === 'object' && 'pdf' in d);
        const pdfs = documents.filter(isPdf).length;
        if (pdfs && pdfs !== documents.length)
            throw bad('a batch is all digests or all PDFs');
        const batchId = newCommandId().replace(/[^A-Za-z0-9_-]/g, '').slice(0, 64);
        const form = new FormData();
        const fields = { certId, batchId, digestAlgorithm, signatureAlgorithm, format: format ?? (pdfs ? 'pdf' : 'raw'), level };
        if (pdfs)
            Object.assign(fields, { page, visible, rect: rect ? rect.join(',') : undefined, text, fieldName });
        for (const [k, v] of Object.entries(fields))
            if (v !== undefined && v !== null && v !== '') form.append(k, String(v));
        if (pdfs) {
            if (pdfs > maxFiles)
                throw new BatchTooLargeError(`Signer/SignBatch: ${pdfs} PDFs; a batch sends at most ${maxFiles}`,
                    { command: 'Signer/SignBatch', code: 'BATCH_TOO_LARGE', maxDocuments: maxFiles, maxBytes });
            const blobs = documents.map((d) => (d instanceof Blob ? d
                : d.pdf instanceof Blob ? d.pdf : new Blob([toBytes(d.pdf)], { type: 'application/pdf' })));
            const total = blobs.reduce((sum, b) => sum + b.size, 0);
            if (total > maxBytes)
                throw new PayloadTooLargeError(`Signer/SignBatch: the PDFs have ${total} bytes; at most ${maxBytes} are sent`,
                    { status: 413, command: 'Signer/SignBatch' });
            documents.forEach((d, i) => form.append(`document.${i}`, blobs[i],
                String(d.name ?? '') || `document-${i + 1}.pdf`));
        } else {
            form.append('documents', JSON.stringify(documents.map((d) => ({ name: String(d.name ?? ''), digest: toBase64(d.digest) }))));
        }
        const items = [];
        const take = (list) => list.map((item) => {
            const out = { ...item };
            for (const key of ['signature', 'signatureDer', 'cms', 'pdf'])
                if (item[key]) out[key] = fromBase64(item[key]);
            items[item.index] = out;
            return out;
        });
        let finished = false;
        let job;
        try {
            job = await this.start('Signer', 'SignBatch', {}, { upload: form });
        } catch (e) {
            throw signingErrorOf('SignBatch', e);
        }
        // Polls while the batch runs; a poll still under way when the result
        // comes is awaited, since each item reaches the page once only.
        const poller = (async () => {
            while (!finished) {
                await sleep(progressIntervalMs);
                if (finished) break;
                let r;
                try {
                    r = await this.callJson('Signer', 'BatchProgress', { batchId });
                } catch (_) {
                    continue; // BATCH_NOT_FOUND once the batch has ended; the result has the rest
                }
                const fresh = take(r.items || []);
                if (fresh.length && typeof onProgress === 'function') {
                    try { onProgress(fresh, { done: r.done, total: r.total }); } catch (_) { /* a display must not break the batch */ }
                }
            }
        })();
        let result;
        try {
            result = JSON.parse(await this.waitResult(job.cmdId, { command: job.command, module: 'Signer',
                poll: { timeoutMs: 600000, ...poll } }));
        } catch (e) {
            throw signingErrorOf('SignBatch', e);
        } finally {
            finished = true;
            await poller;
        }
        const rest = take(result.items || []);
        if (rest.length && typeof onProgress === 'function') {
            try { onProgress(rest, { done: result.total, total: result.total }); } catch (_) { /* as above */ }
        }
        const out = { ...result, items, certificate: fromBase64(result.certificate) };
        return out;
    }

    /** callJson on the Signer module with its failures as typed errors. */
    async signerCall(fn, params, opts) {
        try {
            return await this.callJson('Signer', fn, params, opts);
        } catch (e) {
            throw signingErrorOf(fn, e);
        }
    }
}

// ---- signing: errors and helpers -------------------------------------------

/** The Signer module refused or failed; code names why (see docs/signing.md). */
class SigningError extends ModuleFailedError {
    constructor(message, details = {}) {
        super(message, details);
        this.code = details.code ?? '';
        this.triesLeft = details.triesLeft ?? '';   // 'low' | 'final' | '' (PinIncorrectError)
        // SigningCancelledError: 'timeout' when the dialog timed out;
        // CertificateNotUsableError: 'login-only', 'expired', 'not-yet-valid', ...
        this.detail = details.detail ?? '';
        this.modules = details.modules ?? [];       // NoTokenError: the PKCS#11 modules tried
    }
}
/** The user cancelled the dialog (or it timed out, or the server closed it). */
class SigningCancelledError extends SigningError {}
/** The PIN was wrong; triesLeft tells when the token reports few or one try left. */
class PinIncorrectError extends SigningError {}
/** The token's PIN is locked. */
class PinLockedError extends SigningError {}
/** The server has no display to ask the user on (console mode, no desktop session). */
class NoDisplayError extends SigningError {}
/** No token is present. */
class NoTokenError extends SigningError {}
/** The token was removed during the operation. */
class TokenRemovedError extends SigningError {}
/** No present token has the certificate id (ids are per site: another origin's id names nothing). */
class CertificateNotFoundError extends SigningError {}
/** The certificate is not for this job (a log-in certificate never signs a page's digest). */
class CertificateNotUsableError extends SigningError {}
/** The request carried no usable Origin header (the Signer answers web pages only). */
class NoOriginError extends SigningError {}
/** The account's Signer store (grants, receipts) cannot be read or written; qtx-sites says why. */
class SignerStoreError extends SigningError {}
/** The algorithm is unknown or does not fit the key or token. */
class UnsupportedAlgorithmError extends SigningError {}
/** The digest's length does not fit the digest algorithm, or another parameter is malformed. */
class BadSigningRequestError extends SigningError {}

/** signBatch(): more documents or bytes than the Signer takes in one batch (maxDocuments, maxBytes). */
class BatchTooLargeError extends SigningError {
    constructor(message, details = {}) {
        super(message, details);
        this.maxDocuments = details.maxDocuments ?? 0;
        this.maxBytes = details.maxBytes ?? 0;
    }
}

/** A module failure as the Signer's typed error (other errors unchanged). */
function signingErrorOf(fn, e) {
    if (!(e instanceof ModuleFailedError) || e instanceof SigningError)
        return e;
    let info = null;
    try { info = JSON.parse(e.body.slice(4)); } catch (_) { /* not the module's JSON */ }
    if (!info || !info.error)
        return e;
    const Type = SIGNING_ERROR_BY_CODE[info.error] ?? SigningError;
    return new Type(`Signer/${fn}: ${info.message || info.error}`, {
        status: e.status, reason: e.reason, body: e.body, command: e.command, port: e.port,
        code: info.error, triesLeft: info.triesLeft, detail: info.reason, modules: info.modules,
        maxDocuments: info.maxDocuments, maxBytes: info.maxBytes,
    });
}

/** authenticate(): the nonce is not 44 to 128 characters of base64 text. */
class BadNonceError extends BadSigningRequestError {}

/** A log-in nonce: base64 (or base64url) text of 44 to 128 characters. */
const NONCE_PATTERN = /^[A-Za-z0-9+/_=-]{44,128}$/;

const SIGNING_ERROR_BY_CODE = {
    CANCELLED: SigningCancelledError,
    PIN_INCORRECT: PinIncorrectError,
    PIN_LOCKED: PinLockedError,
    NO_DISPLAY: NoDisplayError,
    NO_TOKEN: NoTokenError,
    TOKEN_REMOVED: TokenRemovedError,
    CERTIFICATE_NOT_FOUND: CertificateNotFoundError,
    CERTIFICATE_NOT_USABLE: CertificateNotUsableError,
    NO_ORIGIN: NoOriginError,
    STORE_ERROR: SignerStoreError,
    UNSUPPORTED_ALGORITHM: UnsupportedAlgorithmError,
    BAD_DIGEST_LENGTH: BadSigningRequestError,
    BAD_REQUEST: BadSigningRequestError,
    BAD_NONCE: BadNonceError,
    BATCH_TOO_LARGE: BatchTooLargeError,
};

function toBytes(data) {
    if (typeof data === 'string')
        return fromBase64(data);
    if (data instanceof ArrayBuffer)
        return new Uint8Array(data);
    if (ArrayBuffer.isView(data))
        return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    throw new TypeError('expected an ArrayBuffer, a typed array or base64 text');
}

function toBase64(data) {
    if (typeof data === 'string')
        return data;
    const bytes = toBytes(data);
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000)
        text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    return btoa(text);
}

function fromBase64(text) {
    const raw = atob(text);
    const bytes = new Uint8Array(raw.length);
    for (let i = 0; i < raw.length; ++i)
        bytes[i] = raw.charCodeAt(i);
    return bytes;
}

// One DER element at offset: { tag, start (of contents), end }.
function derElement(bytes, offset) {
    const tag = bytes[offset];
    let length = bytes[offset + 1];
    let start = offset + 2;
    if (length & 0x80) {
        const count = length & 0x7f;
        if (count < 1 || count > 4)
            throw new TypeError('unsupported DER length');
        length = 0;
        for (let i = 0; i < count; ++i)
            length = length * 256 + bytes[start + i];
        start += count;
    }
    if (start + length > bytes.length)
        throw new TypeError('truncated DER');
    return { tag, start, end: start + length };
}

/** The SubjectPublicKeyInfo (DER) of an X.509 certificate (DER or base64). */
function spkiFromCertificate(certificate) {
    const der = toBytes(certificate);
    const cert = derElement(der, 0);
    const tbs = derElement(der, cert.start);
    let at = tbs.start;
    if (der[at] === 0xa0)                      // [0] version
        at = derElement(der, at).end;
    for (let i = 0; i < 5; ++i)                // serial, signature, issuer, validity, subject
        at = derElement(der, at).end;
    const spki = derElement(der, at);
    return der.slice(at, spki.end);
}

const P256_OID = [0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07];
const P384_OID = [0x06, 0x05, 0x2b, 0x81, 0x04, 0x00, 0x22];
function contains(bytes, pattern) {
    outer: for (let i = 0; i + pattern.length <= bytes.length; ++i) {
        for (let j = 0; j < pattern.length; ++j)
            if (bytes[i + j] !== pattern[j]) continue outer;
        return true;
    }
    return false;
}

/**
 * Checks a signature with WebCrypto against the certificate's public key.
 * data: the signed bytes (the document for format 'raw', signedAttributes for
 * 'cms'); signature as sign() returned it. Resolves to true or false.
 */
async function verifySignature({ certificate, data, signature, signatureAlgorithm, digestAlgorithm = 'SHA-256' }) {
    const spki = spkiFromCertificate(certificate);
    const hash = { name: digestAlgorithm };
    let importAlg;
    let verifyAlg;
    if (signatureAlgorithm === 'ECDSA') {
        const namedCurve = contains(spki, P256_OID) ? 'P-256' : contains(spki, P384_OID) ? 'P-384' : '';
        if (!namedCurve)
            throw new TypeError('unsupported curve');
        importAlg = { name: 'ECDSA', namedCurve };
        verifyAlg = { name: 'ECDSA', hash };
    } else if (signatureAlgorithm === 'RSA-PSS') {
        importAlg = { name: 'RSA-PSS', hash };
        verifyAlg = { name: 'RSA-PSS', saltLength: { 'SHA-256': 32, 'SHA-384': 48, 'SHA-512': 64 }[digestAlgorithm] };
    } else if (signatureAlgorithm === 'RSA-PKCS1') {
        importAlg = { name: 'RSASSA-PKCS1-v1_5', hash };
        verifyAlg = { name: 'RSASSA-PKCS1-v1_5' };
    } else {
        throw new TypeError(`unknown signature algorithm ${signatureAlgorithm}`);
    }
    const key = await crypto.subtle.importKey('spki', spki, importAlg, false, ['verify']);
    return crypto.subtle.verify(verifyAlg, key, toBytes(signature), toBytes(data));
}

// ---- exports (build-classic.mjs turns this block into window.QtxClient) ----
export {
    QtxClient, QtxError, BadRequestError, ForbiddenError, NotFoundError, NoSessionError, NoResultError,
    InternalServerError, ModuleFailedError, ServiceUnavailableError, UnexpectedStatusError, PayloadTooLargeError, ResultTimeoutError,
    JsonpBlockedError, ServerUnreachableError, ServerNotRunningError, CertificateNotTrustedError,
    LocalNetworkAccessDeniedError,
    classifyUnreachable, backoffDelays, newCommandId, sessionVarsParam, unwrapJsonp,
    SigningError, SigningCancelledError, PinIncorrectError, PinLockedError, NoDisplayError, NoTokenError,
    TokenRemovedError, CertificateNotFoundError, CertificateNotUsableError, NoOriginError, SignerStoreError,
    UnsupportedAlgorithmError, BadSigningRequestError, BadNonceError, BatchTooLargeError,
    spkiFromCertificate, verifySignature, toBase64, fromBase64,
};
export default QtxClient;
