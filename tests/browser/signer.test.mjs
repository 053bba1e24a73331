// The Signer module from a page in headless Chromium: the demo page signs a file on a SoftHSM2
// token (hash in the page, consent answered through the module's test hook, verification in the
// page, .p7s checked by OpenSSL), and the client's typed errors for cancel and a wrong PIN.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { appendFileSync, existsSync, mkdirSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { artifactsDir, giveToAccount, inPage, setUp, tearDown, blankPage } from './lib/harness.mjs';

const softhsm = '/usr/lib/softhsm/libsofthsm2.so';
const missing = [softhsm, '/usr/bin/softhsm2-util', '/usr/bin/pkcs11-tool'].filter((p) => !existsSync(p));
let f;
let hook;
let signerDir;

// Two keys (RSA-2048, P-256) with self-signed certificates on a fresh token in the install folder.
async function prepare(server) {
    signerDir = join(server.dir, 'signer');
    hook = join(signerDir, 'hook');
    mkdirSync(join(signerDir, 'tokens'), { recursive: true });
    mkdirSync(hook, { mode: 0o700 });
    const conf = join(signerDir, 'softhsm2.conf');
    writeFileSync(conf, `directories.tokendir = ${join(signerDir, 'tokens')}\nobjectstore.backend = file\nlog.level = ERROR\n`);
    const env = { ...process.env, SOFTHSM2_CONF: conf };
    const run = (cmd, args) => execFileSync(cmd, args, { env, stdio: 'pipe' });
    run('softhsm2-util', ['--init-token', '--free', '--label', 'Browser Token', '--so-pin', '12345678', '--pin', '1234']);
    for (const [name, id, opts] of [['RSA', '01', ['-newkey', 'rsa:2048']], ['P-256', '02', ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256']]]) {
        const base = join(signerDir, name);
        run('openssl', ['req', '-x509', '-nodes', ...opts, '-keyout', `${base}.key`, '-out', `${base}.pem`, '-subj', `/CN=Browser ${name}`, '-days', '5']);
        run('openssl', ['pkcs8', '-topk8', '-nocrypt', '-in', `${base}.key`, '-out', `${base}.p8`]);
        run('openssl', ['x509', '-in', `${base}.pem`, '-outform', 'DER', '-out', `${base}.der`]);
        run('softhsm2-util', ['--import', `${base}.p8`, '--token', 'Browser Token', '--label', name, '--id', id, '--pin', '1234']);
        run('pkcs11-tool', ['--module', softhsm, '--token-label', 'Browser Token', '--login', '--pin', '1234',
            '--write-object', `${base}.der`, '--type', 'cert', '--id', id]);
    }
    appendFileSync(join(server.dir, 'QuorvexCryptoProvider.ini'), `[signing]\npkcs11Module=${softhsm}\n`);
    giveToAccount(server.dir);
    const env0 = server.env.bind(server);
    server.env = () => ({ ...env0(), SOFTHSM2_CONF: conf, QTX_SIGNER_TEST_DIR: hook });
}

async function waitDialog() {
    const shown = join(hook, 'dialog.txt');
    for (let i = 0; i < 400 && !existsSync(shown); ++i) await new Promise((r) => setTimeout(r, 50));
    return existsSync(shown) ? readFileSync(shown, 'utf8') : '';
}
// Written aside and renamed, so the dialog never reads a half-written answer.
const answer = (text) => { writeFileSync(join(hook, 'answer.new'), text); renameSync(join(hook, 'answer.new'), join(hook, 'answer')); };

before(async () => { if (!missing.length) f = await setUp({ prepare }); });
after(async () => { await tearDown(f); });

test('the demo page signs a file: digest in the page, consent, verification in the page, .p7s that OpenSSL accepts',
    { skip: missing.length ? `missing ${missing.join(', ')} (apt-get install softhsm2 opensc)` : false }, async () => {
        const text = 'Contract signed from headless Chromium\n';
        const page = await f.context.newPage();
        await page.goto(`${f.sites.first}/demo/?port=${f.base}`);
        await page.click('#listCerts');
        await page.waitForFunction(() => document.getElementById('cert').options.length > 0 || document.getElementById('summary').className === 'error',
            null, { timeout: 30000 });
        const labels = await page.locator('#cert option').allTextContents();
        assert.deepEqual(labels.map((l) => l.split(' (')[0]).sort(), ['Browser P-256', 'Browser RSA']);
        await page.selectOption('#cert', { index: labels.findIndex((l) => l.startsWith('Browser RSA')) });
        await page.selectOption('#sigAlg', 'RSA-PSS');
        await page.selectOption('#digestAlg', 'SHA-384');
        await page.setInputFiles('#file', { name: 'contract.txt', mimeType: 'text/plain', buffer: Buffer.from(text) });
        await page.click('#signFile');
        const shown = await waitDialog();
        assert.match(shown, new RegExp(`The page ${f.sites.first.replace(/[.]/g, '\\.')} asks for your signature`));
        assert.match(shown, /contract\.txt/);
        assert.match(shown, /Browser RSA/);
        answer('pin:1234');
        await page.waitForFunction(() => ['ok', 'error'].includes(document.getElementById('summary').className), null, { timeout: 60000 });
        const summary = await page.locator('#summary').textContent();
        await page.screenshot({ path: join(artifactsDir, 'demo-signed.png'), fullPage: true });
        assert.equal(await page.locator('#summary').getAttribute('data-verified'), 'true', summary);
        assert.equal(await page.locator('#p7s').getAttribute('download'), 'contract.txt.p7s');
        // The offered file, fetched from its blob URL in the page.
        const p7s = Buffer.from(await page.evaluate(async () => {
            const bytes = new Uint8Array(await (await fetch(document.getElementById('p7s').href)).arrayBuffer());
            return [...bytes];
        }));
        writeFileSync(join(signerDir, 'contract.txt'), text);
        writeFileSync(join(signerDir, 'contract.txt.p7s'), p7s);
        execFileSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER', '-in', join(signerDir, 'contract.txt.p7s'),
            '-content', join(signerDir, 'contract.txt'), '-noverify', '-out', '/dev/null'], { stdio: 'pipe' });
        await page.close();
    });

test('sign() in a page: ECDSA verified with WebCrypto, cancel and a wrong PIN as typed errors',
    { skip: missing.length ? 'no SoftHSM2' : false }, async () => {
        const page = await blankPage(f);
        const signIn = (signatureAlgorithm) => inPage(page, async (m, { port, signatureAlgorithm }) => {
            const qtx = new m.QtxClient({ port });
            const { certificates } = await qtx.listCertificates();
            const cert = certificates.find((c) => c.key.type === 'EC');
            const data = new TextEncoder().encode('ECDSA from the page');
            const digest = await crypto.subtle.digest('SHA-256', data);
            const r = await qtx.sign({ certId: cert.id, digest, signatureAlgorithm, documentName: 'ecdsa.txt' });
            return m.verifySignature({ certificate: r.certificate, data, signature: r.signature, signatureAlgorithm: 'ECDSA' });
        }, { port: f.base, signatureAlgorithm });

        let pending = signIn('ECDSA');
        assert.match(await waitDialog(), /ecdsa\.txt/);
        answer('pin:1234');
        let r = await pending;
        assert.equal(r.error, undefined, r.message);
        assert.equal(r.value, true);

        pending = signIn('ECDSA');
        await waitDialog();
        answer('cancel');
        r = await pending;
        assert.equal(r.error, 'SigningCancelledError');
        assert.ok(r.classes.includes('ModuleFailedError') && r.classes.includes('SigningError'));

        pending = signIn('ECDSA');
        await waitDialog();
        answer('pin:9999');
        r = await pending;
        assert.equal(r.error, 'PinIncorrectError');

        r = await signIn('RSA-PSS');   // refused before any dialog
        assert.equal(r.error, 'UnsupportedAlgorithmError');
        await page.close();
    });
