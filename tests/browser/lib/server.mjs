// The real server, installed the way a user installs it: a folder with a copy of
// the executable, its INI file beside it, certificates from qtx-provision, the
// signed example modules in modules/, and XDG_CONFIG_HOME inside the folder so
// that the log file is this test's own.
import { spawn, execFileSync } from 'node:child_process';
import { cpSync, copyFileSync, existsSync, mkdtempSync, mkdirSync, readFileSync, readdirSync, rmSync, writeFileSync, chmodSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import https from 'node:https';
import { buildDir } from './env.mjs';
import { asAccount, giveToAccount } from './account.mjs';

// Another server of this account (the developer's own) may run on this machine;
// the server allows one instance per account and executable name.
const EXECUTABLE = 'QuorvexCryptoProvider-e2e';
let installCount = 0;

export class ServerInstall {
    constructor(basePort, { modules = true } = {}) {
        this.executable = `${EXECUTABLE}${installCount++ ? installCount : ''}`;
        this.basePort = basePort;
        this.dir = mkdtempSync(join(tmpdir(), 'qtx-browser-'));
        this.configHome = join(this.dir, 'config');
        this.seedFile = join(this.dir, 'seed', 'Seed');
        this.process = null;
        this.output = '';
        mkdirSync(this.configHome, { recursive: true });
        mkdirSync(join(this.dir, 'seed'), { recursive: true });
        copyFileSync(join(buildDir, 'bin', 'QuorvexCryptoProvider'), join(this.dir, this.executable));
        chmodSync(join(this.dir, this.executable), 0o755);
        writeFileSync(join(this.dir, 'QuorvexCryptoProvider.ini'), [
            '[listener]', `port=${basePort}`, 'windowsServerMode=false', 'minThreads=1', 'maxThreads=20',
            'cleanupInterval=1000', 'readTimeout=10000', 'maxRequestSize=16000', 'maxMultiPartSize=1000000',
            '[sessions]', 'expirationTime=3600000', 'cookieName=sessionid',
            '[logging2]', 'logLevel=0',
            '[dllLoader]', 'dirPath=modules',
            '[sslCertificate]', 'certFile=certs/QTX-cert-server.pem', 'keyFile=certs/QTX-key-server.pem',
            '[timeout]', 'interval=600000', '',
        ].join('\n'));
        // The signed version file of the build, as the installer ships it.
        if (existsSync(join(buildDir, 'ver.ini')))
            copyFileSync(join(buildDir, 'ver.ini'), join(this.dir, 'ver.ini'));
        const built = join(buildDir, 'modules');
        mkdirSync(join(this.dir, 'modules'), { recursive: true });
        // Each module is its library, its command file, and a folder of its own
        // libraries when it has one.
        if (modules && existsSync(built)) {
            const names = readdirSync(built).filter((f) => f.endsWith('.so')).map((f) => f.slice(0, -3));
            for (const f of readdirSync(built)) {
                const stem = f.replace(/\.(so|xml)$/, '');
                if (names.includes(stem))
                    cpSync(join(built, f), join(this.dir, 'modules', f), { recursive: true });
            }
        }
        this.provisionOutput = execFileSync(join(buildDir, 'bin', 'qtx-provision'), ['--dir', this.dir],
            { env: this.env(), encoding: 'utf8' });
        this.caFile = join(this.dir, 'certs', 'QTX-ca.pem');
        this.ca = readFileSync(this.caFile);
        chmodSync(this.dir, 0o755);
        giveToAccount(this.dir);
    }

    env() {
        return { ...process.env, XDG_CONFIG_HOME: this.configHome, QTX_MACHINE_SEED_FILE: this.seedFile,
            QT_QPA_PLATFORM: 'offscreen' };
    }

    get moduleNames() {
        return readdirSync(join(this.dir, 'modules')).filter((f) => f.endsWith('.so')).map((f) => f.slice(0, -3));
    }

    get logFile() {
        return join(this.configHome, 'Quorvex', 'QuorvexCryptoProvider', 'logs', 'QuorvexCryptoProvider.log');
    }

    log() {
        return existsSync(this.logFile) ? readFileSync(this.logFile, 'utf8') : '';
    }

    /**
     * Starts the server as the autostart unit does, as the test account when run
     * as root, and waits until it accepts TLS (a user's instance listens from the
     * configured port + 1 upwards). Without "-console" the server runs GUI
     * modules (offscreen here); it detaches from the terminal but does not fork,
     * so the child stays this process.
     */
    async start(timeoutMs = 20000) {
        const [file, args] = asAccount(join(this.dir, this.executable), []);
        this.process = spawn(file, args, { cwd: this.dir, env: this.env(),
            stdio: ['ignore', 'pipe', 'pipe'] });
        this.process.stdout.on('data', (d) => { this.output += d; });
        this.process.stderr.on('data', (d) => { this.output += d; });
        const exited = new Promise((res) => this.process.once('exit', (code, signal) => res({ code, signal })));
        this.exited = exited;
        const deadline = Date.now() + timeoutMs;
        while (Date.now() < deadline) {
            const early = await Promise.race([exited, new Promise((r) => setTimeout(() => r(null), 150))]);
            if (early)
                throw new Error(`server exited early (${JSON.stringify(early)}): ${this.output}\n${this.log().slice(-3000)}`);
            for (let p = this.basePort; p <= this.basePort + 10; ++p) {
                if (await this.post(p, 'SERVER_VERSION').then(() => true, () => false)) {
                    this.port = p;
                    return p;
                }
            }
        }
        throw new Error(`server did not listen within ${timeoutMs} ms\n${this.log().slice(-3000)}`);
    }

    /** One POST from outside the browser, trusting the provisioned authority. */
    post(port, path, { headers = {}, body = '' } = {}) {
        return new Promise((resolve, reject) => {
            const req = https.request({ host: '127.0.0.1', port, path: `/${path}`, method: 'POST', ca: this.ca,
                headers: { 'Content-Type': 'application/x-www-form-urlencoded', 'Content-Length': Buffer.byteLength(body), ...headers },
                timeout: 3000 }, (res) => {
                let data = '';
                res.setEncoding('utf8');
                res.on('data', (c) => { data += c; });
                res.on('end', () => resolve({ status: res.statusCode, reason: res.statusMessage, headers: res.headers, body: data }));
            });
            req.on('timeout', () => req.destroy(new Error('timeout')));
            req.on('error', reject);
            req.end(body);
        });
    }

    /** Ends the server the way a user does (SIGINT); SIGKILL when it hangs. Only this process. */
    async stop() {
        if (this.process && this.process.exitCode === null && this.process.signalCode === null) {
            this.process.kill('SIGINT');
            const done = await Promise.race([this.exited, new Promise((r) => setTimeout(() => r(null), 8000))]);
            if (!done) {
                this.process.kill('SIGKILL');
                await this.exited;
            }
        }
    }

    remove() {
        rmSync(this.dir, { recursive: true, force: true });
    }
}
