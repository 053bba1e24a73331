// The real server installed as a user installs it, two test sites, and headless Chromium trusting the server's
// authority only through the NSS database "qtx-provision --trust" fills in the test's HOME. Run as root, server
// and Chromium run as a local test account: the server grants a root client only its system modules.
import { spawn, execFileSync } from 'node:child_process';
import { chmodSync, copyFileSync, cpSync, existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import http from 'node:http';
import https from 'node:https';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, extname, join, normalize, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import puppeteer from 'puppeteer-core';

const testsDir = resolve(dirname(fileURLToPath(import.meta.url)), '..');
const webDir = resolve(testsDir, '..', '..', 'web');
export const buildDir = resolve(process.env.QTX_BUILD_DIR || join(testsDir, '..', '..', 'build'));
export const artifactsDir = resolve(process.env.QTX_ARTIFACTS_DIR || join(buildDir, 'tests', 'browser', 'artifacts'));
const chromiumPath = process.env.QTX_CHROMIUM || '/usr/bin/chromium';
const firefoxPath = process.env.QTX_FIREFOX || '/usr/bin/firefox-esr';
export const tmp = (prefix) => mkdtempSync(join(tmpdir(), prefix));

/** [uid, gid] of the test account when root (created once), else null. */
let ids;
function account() {
    if (process.getuid() !== 0) return null;
    const name = process.env.QTX_BROWSER_ACCOUNT || 'qtxbrowser';
    try { execFileSync('id', ['-u', name], { stdio: 'ignore' }); } catch (_) {
        execFileSync('useradd', ['-M', '-s', '/usr/sbin/nologin', name], { stdio: 'ignore' });
    }
    return (ids ||= ['-u', '-g'].map((o) => execFileSync('id', [o, name], { encoding: 'utf8' }).trim()));
}
export const asAccount = (file) => (account() ? ['setpriv', [`--reuid=${ids[0]}`, `--regid=${ids[1]}`, '--init-groups', '--', file]] : [file, []]);
export function giveToAccount(path) {
    chmodSync(path, 0o755);
    if (account()) execFileSync('chown', ['-R', ids.join(':'), path]);
}

const canBind = (port) => new Promise((res) => {
    const s = net.createServer().once('error', () => res(false)).listen(port, '127.0.0.1', () => s.close(() => res(true)));
});
/** A first port from which count consecutive loopback ports are free right now. */
export async function freePortRange(count) {
    for (;;) {
        const base = 20000 + Math.floor(Math.random() * 30000);
        let ok = true;
        for (let i = 0; i < count && ok; ++i) ok = await canBind(base + i);
        if (ok) return base;
    }
}

/** A folder with a copy of the executable, its INI, the build's ver.ini and signed modules, certificates from qtx-provision. */
export class ServerInstall {
    constructor(basePort) {
        this.basePort = basePort;
        this.dir = tmp('qtx-browser-');
        this.executable = join(this.dir, 'QuorvexCryptoProvider-e2e');  // not the developer's own instance
        copyFileSync(join(buildDir, 'bin', 'QuorvexCryptoProvider'), this.executable);
        chmodSync(this.executable, 0o755);
        for (const d of ['config', 'seed', 'modules']) mkdirSync(join(this.dir, d));
        writeFileSync(join(this.dir, 'QuorvexCryptoProvider.ini'), [
            '[listener]', `port=${basePort}`, 'windowsServerMode=false', 'minThreads=1', 'maxThreads=20',
            'cleanupInterval=1000', 'readTimeout=10000', 'maxRequestSize=16000', 'maxMultiPartSize=1000000',
            '[sessions]', 'expirationTime=3600000', 'cookieName=sessionid', '[logging2]', 'logLevel=0',
            '[dllLoader]', 'dirPath=modules', '[sslCertificate]', 'certFile=certs/QTX-cert-server.pem',
            'keyFile=certs/QTX-key-server.pem', '[timeout]', 'interval=600000', ''].join('\n'));
        if (existsSync(join(buildDir, 'ver.ini'))) copyFileSync(join(buildDir, 'ver.ini'), join(this.dir, 'ver.ini'));
        // The Signer's PDF helpers (preparing, preview), beside the executable as in the package.
        for (const helper of ['qtx-pdf-helper', 'qtx-pdf-preview']) {
            if (!existsSync(join(buildDir, 'bin', helper))) continue;
            copyFileSync(join(buildDir, 'bin', helper), join(this.dir, helper));
            chmodSync(join(this.dir, helper), 0o755);
        }
        // Each module: its library, its command file, a folder of its own libraries when it has one.
        const built = join(buildDir, 'modules');
        const names = readdirSync(built).filter((n) => n.endsWith('.so')).map((n) => n.slice(0, -3));
        for (const n of readdirSync(built))
            if (names.includes(n.replace(/\.(so|xml)$/, ''))) cpSync(join(built, n), join(this.dir, 'modules', n), { recursive: true });
        // The key store under config/ (handed to the account below with the rest); a public copy of the authority for Node.
        execFileSync(join(buildDir, 'bin', 'qtx-provision'), ['--export-authority', join(this.dir, 'certs', 'QTX-ca.pem')], { env: this.env() });
        this.ca = readFileSync(join(this.dir, 'certs', 'QTX-ca.pem'));
        giveToAccount(this.dir);
    }

    env() {
        return { ...process.env, XDG_CONFIG_HOME: join(this.dir, 'config'),
            QT_QPA_PLATFORM: 'offscreen' };
    }

    /** Starts it as the autostart unit does and waits until it accepts TLS (from the configured port + 1 upwards). */
    async start(timeoutMs = 20000) {
        const [file, args] = asAccount(this.executable);
        this.process = spawn(file, args, { cwd: this.dir, env: this.env(), stdio: 'ignore' });
        this.exited = new Promise((res) => this.process.once('exit', (code, signal) => res({ code, signal })));
        for (const deadline = Date.now() + timeoutMs; Date.now() < deadline;) {
            const early = await Promise.race([this.exited, new Promise((r) => setTimeout(() => r(null), 150))]);
            if (early) throw new Error(`server exited early: ${JSON.stringify(early)}`);
            // Short probes: a port another test holds silently must not eat the deadline.
            for (let p = this.basePort; p <= this.basePort + 10; ++p)
                if (await this.post(p, 'SERVER_VERSION', { timeoutMs: 500 }).then(() => true, () => false)) return (this.port = p);
        }
        throw new Error(`server did not listen within ${timeoutMs} ms`);
    }

    /** One POST from Node, trusting the provisioned authority. */
    post(port, path, { headers = {}, body = '', timeoutMs = 3000 } = {}) {
        return new Promise((resolve, reject) => {
            const req = https.request({ host: '127.0.0.1', port, path: `/${path}`, method: 'POST', ca: this.ca, timeout: timeoutMs,
                headers: { 'Content-Type': 'application/x-www-form-urlencoded', 'Content-Length': Buffer.byteLength(body), ...headers } }, (res) => {
                let data = '';
                res.setEncoding('utf8').on('data', (c) => { data += c; });
                res.on('end', () => resolve({ status: res.statusCode, reason: res.statusMessage, headers: res.headers, body: data }));
            });
            req.on('timeout', () => req.destroy(new Error('timeout'))).on('error', reject);
            req.end(body);
        });
    }

    /** A fetch() for the client in Node, where no CORS applies. */
    fetch() {
        return async (url, init) => {
            const r = await this.post(new URL(url).port, new URL(url).pathname.slice(1), init);
            return { status: r.status, statusText: r.reason, headers: { get: (n) => r.headers[n.toLowerCase()] ?? null }, text: async () => r.body };
        };
    }

    /** Ends this server the way a user does (SIGINT); SIGKILL when it hangs. */
    async stop() {
        if (this.process?.exitCode !== null || this.process.signalCode !== null) return;
        this.process.kill('SIGINT');
        if (!await Promise.race([this.exited, new Promise((r) => setTimeout(() => r(null), 8000))])) this.process.kill('SIGKILL');
        await this.exited;
    }
}

/** qtx-provision on install with args for the browsers of home; the system-store step goes to a scratch folder. */
export function provisionTrust(install, home, args) {
    const scratch = join(home, '.system-store');
    mkdirSync(scratch, { recursive: true });
    // The store belongs to the server's account by now: root trusts the public copy of its authority.
    return execFileSync(join(buildDir, 'bin', 'qtx-provision'), ['--authority', join(install.dir, 'certs', 'QTX-ca.pem'), ...args], {
        encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'],
        env: { ...install.env(), HOME: home, QTX_SYSTEM_CA_DIR: scratch, QTX_UPDATE_CA_COMMAND: '/bin/true' },
    });
}

/** Certificates of an NSS database: { nickname: trust flags }. */
export function nssCertificates(dir) {
    const certs = {};
    for (const line of execFileSync('certutil', ['-L', '-d', `sql:${dir}`], { encoding: 'utf8' }).split('\n').slice(4)) {
        const m = /^(.*?)\s{2,}(\S*,\S*,\S*)\s*$/.exec(line);
        if (m) certs[m[1]] = m[2];
    }
    return certs;
}

/** Static test sites: "/" is web/ (client and demo), "/test/" tests/browser/pages/; same files on two origins. */
export async function startSites(p1, p2) {
    const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8' };
    const handle = async (req, res) => {
        let rel = decodeURIComponent(new URL(req.url, 'http://x').pathname);
        const root = rel.startsWith('/test/') ? join(testsDir, 'pages') : webDir;
        if (root !== webDir) rel = rel.slice('/test'.length);
        const file = normalize(join(root, rel.endsWith('/') ? `${rel}index.html` : rel));
        try {
            if (!file.startsWith(root)) throw new Error('outside');
            const data = await readFile(file);
            res.writeHead(200, { 'Content-Type': TYPES[extname(file)] || 'application/octet-stream', 'Cache-Control': 'no-store' }).end(data);
        } catch (_) { res.writeHead(404).end(); }
    };
    const listen = (port, host) => new Promise((res, rej) => { const s = http.createServer(handle).once('error', rej).listen(port, host, () => res(s)); });
    const servers = [await listen(p1, '127.0.0.1'), await listen(p2, '127.0.0.1')];
    await listen(p1, '::1').then((s) => servers.push(s), () => {});  // Chromium may resolve localhost to ::1 first
    return { first: `http://localhost:${p1}`, second: `http://127.0.0.1:${p2}`,
        close: () => Promise.all(servers.map((s) => new Promise((r) => { s.closeAllConnections?.(); s.close(r); }))) };
}

/**
 * One server, the two sites and one browser whose HOME trusts the server's authority: Chromium
 * (f.context, playwright) or, with firefox, Firefox ESR (f.browser, puppeteer over WebDriver BiDi)
 * with a profile whose certificate database exists, as after a first start (f.profile).
 * prepare(install), when given, runs after the install is made and before the server starts.
 */
export async function setUp({ prepare, firefox = false } = {}) {
    const browserPath = firefox ? firefoxPath : chromiumPath;
    for (const f of [join(buildDir, 'bin', 'QuorvexCryptoProvider'), join(buildDir, 'bin', 'qtx-provision'), browserPath])
        if (!existsSync(f)) throw new Error(`missing: ${f} (build first; scripts/browser-test.sh installs the browsers)`);
    const f = { base: await freePortRange(12), home: tmp('qtx-browser-home-') };
    f.server = new ServerInstall(f.base);
    if (prepare) await prepare(f.server);
    await f.server.start();
    const sitePorts = await freePortRange(2);
    f.sites = await startSites(sitePorts, sitePorts + 1);
    if (firefox) {
        f.profile = join(f.home, '.mozilla', 'firefox', 'qtx.default');
        mkdirSync(f.profile, { recursive: true });
        execFileSync('certutil', ['-N', '-d', `sql:${f.profile}`, '--empty-password']);
    }
    f.trustReport = provisionTrust(f.server, f.home, ['--trust']);
    if (!/added the authority to .*\.pki\/nssdb/.test(f.trustReport)) throw new Error(`no trust in ${f.home}/.pki/nssdb:\n${f.trustReport}`);
    const [file, args] = asAccount(browserPath);
    const wrapper = join(f.home, firefox ? 'firefox' : 'chromium');
    writeFileSync(wrapper, `#!/bin/sh\nexec ${file} ${args.join(' ')} "$@"\n`, { mode: 0o755 });
    if (!firefox) mkdirSync(join(f.home, 'profile'));
    giveToAccount(f.home);
    if (firefox) {
        f.browser = await puppeteer.launch({ browser: 'firefox', executablePath: wrapper, headless: true, userDataDir: f.profile,
            env: { ...process.env, HOME: f.home, MOZ_CRASHREPORTER_DISABLE: '1' }, defaultViewport: { width: 1000, height: 900 },
            extraPrefsFirefox: { 'browser.shell.checkDefaultBrowser': false, 'datareporting.policy.dataSubmissionEnabled': false } });
    } else {
        f.context = await chromium.launchPersistentContext(join(f.home, 'profile'), { executablePath: wrapper, headless: true,
            env: { ...process.env, HOME: f.home }, viewport: { width: 1000, height: 900 },
            args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
    }
    mkdirSync(artifactsDir, { recursive: true });
    return f;
}

export async function tearDown(f) {
    await f?.context?.close().catch(() => {});
    await f?.browser?.close().catch(() => {});
    await f?.sites?.close();
    await f?.server?.stop();
    for (const dir of [f?.home, f?.server?.dir]) if (dir) rmSync(dir, { recursive: true, force: true });
}

/**
 * Sockets that accept connections on the ports and never answer, as another
 * account squatting them would; close() ends them.
 */
export async function startSquatters(ports) {
    const held = [];
    const servers = await Promise.all(ports.map((port) => new Promise((res, rej) => {
        const s = net.createServer((socket) => { held.push(socket); socket.on('error', () => {}); })
            .once('error', rej).listen(port, '127.0.0.1', () => res(s));
    })));
    return { close: () => Promise.all(servers.map((s) => { held.forEach((c) => c.destroy()); return new Promise((r) => s.close(r)); })) };
}

/** A page of the given site showing the blank test page. */
export async function blankPage(f, site = f.sites.first) {
    const page = await f.context.newPage();
    await page.goto(`${site}/test/blank.html`);
    return page;
}

/** What Chromium's network layer saw for the server, preflights and withheld replies included. */
export async function recordNetwork(f, page) {
    const byId = new Map();
    const entry = (id) => byId.get(id) || byId.set(id, { method: '', url: '', status: 0, headers: {}, corsError: '' }).get(id);
    const lower = (h) => Object.fromEntries(Object.entries(h).map(([k, v]) => [k.toLowerCase(), v]));
    const cdp = await f.context.newCDPSession(page);
    cdp.on('Network.requestWillBeSent', (e) => Object.assign(entry(e.requestId), { method: e.request.method, url: e.request.url }));
    cdp.on('Network.responseReceived', (e) => Object.assign(entry(e.requestId), { status: e.response.status, headers: lower(e.response.headers) }));
    cdp.on('Network.responseReceivedExtraInfo', (e) => {  // also sent for replies CORS withholds from the page
        const x = entry(e.requestId);
        Object.assign(x, { status: x.status || e.statusCode, headers: { ...lower(e.headers), ...x.headers } });
    });
    cdp.on('Network.loadingFailed', (e) => { if (e.corsErrorStatus) entry(e.requestId).corsError = e.corsErrorStatus.corsError; });
    await cdp.send('Network.enable');
    return { get all() { return [...byId.values()].filter((x) => x.url.startsWith('https://127.0.0.1:')); } };
}

/** Runs body(m, arg) in the page, m being the client module; errors come back as { error, status, hint, classes, ... }. */
export function inPage(page, body, arg = {}) {
    return page.evaluate(async ({ source, arg }) => {
        const m = await import('/qtx-client.js');
        try {
            return { value: await new Function('m', 'arg', `return (${source})(m, arg);`)(m, arg) };
        } catch (e) {
            const classes = Object.keys(m).filter((k) => typeof m[k] === 'function' && /Error$/.test(k) && e instanceof m[k]);
            return { error: e.name, status: e.status, message: e.message, hint: e.hint || '', trustCheckUrl: e.trustCheckUrl || '', classes,
                body: e.body };
        }
    }, { source: body.toString(), arg });
}
