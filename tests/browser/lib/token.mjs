// A SoftHSM2 token for the browser tests of the Signer module: two signing keys (RSA-2048, P-256)
// with self-signed certificates and a log-in key (P-384) issued by a test CA, made inside a server
// install before it starts, and the module's dialogs' hook (a dialog writes what it shows into the hook folder and reads the answer there).
import { execFileSync } from 'node:child_process';
import http from 'node:http';
import { appendFileSync, existsSync, mkdirSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { freePortRange, giveToAccount } from './harness.mjs';
import { createSite } from '../../../web/sample-site/server.mjs';

export const softhsm = '/usr/lib/softhsm/libsofthsm2.so';
export const missing = [softhsm, '/usr/bin/softhsm2-util', '/usr/bin/pkcs11-tool'].filter((p) => !existsSync(p));
export const skipWithout = missing.length ? `missing ${missing.join(', ')} (apt-get install softhsm2 opensc)` : false;

/** Makes the token in server.dir/signer and points the server at it; returns { dir, hook }. */
export function makeToken(server) {
    const dir = join(server.dir, 'signer');
    const hook = join(dir, 'hook');
    mkdirSync(join(dir, 'tokens'), { recursive: true });
    mkdirSync(hook, { mode: 0o700 });
    const conf = join(dir, 'softhsm2.conf');
    writeFileSync(conf, `directories.tokendir = ${join(dir, 'tokens')}\nobjectstore.backend = file\nlog.level = ERROR\n`);
    const env = { ...process.env, SOFTHSM2_CONF: conf };
    const run = (cmd, args) => execFileSync(cmd, args, { env, stdio: 'pipe' });
    run('softhsm2-util', ['--init-token', '--free', '--label', 'Browser Token', '--so-pin', '12345678', '--pin', '1234']);
    for (const [name, id, opts] of [['RSA', '01', ['-newkey', 'rsa:2048']], ['P-256', '02', ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256']]]) {
        const base = join(dir, name);
        run('openssl', ['req', '-x509', '-nodes', ...opts, '-keyout', `${base}.key`, '-out', `${base}.pem`, '-subj', `/CN=Browser ${name}`, '-days', '5']);
        run('openssl', ['pkcs8', '-topk8', '-nocrypt', '-in', `${base}.key`, '-out', `${base}.p8`]);
        run('openssl', ['x509', '-in', `${base}.pem`, '-outform', 'DER', '-out', `${base}.der`]);
        run('softhsm2-util', ['--import', `${base}.p8`, '--token', 'Browser Token', '--label', name, '--id', id, '--pin', '1234']);
        run('pkcs11-tool', ['--module', softhsm, '--token-label', 'Browser Token', '--login', '--pin', '1234',
            '--write-object', `${base}.der`, '--type', 'cert', '--id', id]);
    }
    // A log-in key (P-384) whose certificate a test CA issued, for the sample site's validator.
    const ca = join(dir, 'login-ca');
    const login = join(dir, 'Login');
    writeFileSync(`${login}.ext`, 'keyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\nbasicConstraints=CA:FALSE\n');
    mkdirSync(ca);
    run('openssl', ['req', '-x509', '-nodes', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-keyout', join(ca, 'ca.key'),
        '-out', join(ca, 'ca.pem'), '-subj', '/CN=Browser eID CA', '-days', '5']);
    run('openssl', ['req', '-new', '-nodes', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-384', '-keyout', `${login}.key`,
        '-out', `${login}.csr`, '-subj', '/C=EE/CN=TAMM\\,MARI\\,38001085718/SN=TAMM/GN=MARI/serialNumber=PNOEE-38001085718']);
    run('openssl', ['x509', '-req', '-in', `${login}.csr`, '-CA', join(ca, 'ca.pem'), '-CAkey', join(ca, 'ca.key'), '-CAcreateserial',
        '-days', '5', '-extfile', `${login}.ext`, '-outform', 'DER', '-out', `${login}.der`]);
    run('openssl', ['pkcs8', '-topk8', '-nocrypt', '-in', `${login}.key`, '-out', `${login}.p8`]);
    run('softhsm2-util', ['--import', `${login}.p8`, '--token', 'Browser Token', '--label', 'Login', '--id', '03', '--pin', '1234']);
    run('pkcs11-tool', ['--module', softhsm, '--token-label', 'Browser Token', '--login', '--pin', '1234',
        '--write-object', `${login}.der`, '--type', 'cert', '--id', '03']);
    appendFileSync(join(server.dir, 'QuorvexCryptoProvider.ini'), `[signing]\npkcs11Module=${softhsm}\n`);
    giveToAccount(server.dir);
    const env0 = server.env.bind(server);
    server.env = () => ({ ...env0(), SOFTHSM2_CONF: conf, QTX_SIGNER_TEST_DIR: hook });
    return { dir, hook, loginCa: join(ca, 'ca.pem') };
}

/**
 * What the Signer's dialog of the kind ('picker', 'consent') shows once it is
 * open and shows the needle ('' after 20 s).
 */
export async function waitDialog(token, kind = 'consent', needle = '') {
    const shown = join(token.hook, 'dialog.txt');
    for (let i = 0; i < 400; ++i) {
        const text = existsSync(shown) ? readFileSync(shown, 'utf8') : '';
        if (text.startsWith(`dialog=${kind}\n`) && text.includes(needle))
            return text;
        await new Promise((r) => setTimeout(r, 50));
    }
    return '';
}

/** The picker's answer for the certificate whose line starts with the name ('cancel' when it has none). */
export function pickAnswer(shown, name) {
    const items = shown.split('\n').filter((l) => /^item[0-9]+=/.test(l)).map((l) => l.slice(l.indexOf('=') + 1));
    const index = items.findIndex((l) => l.startsWith(`${name} | `));
    return index < 0 ? 'cancel' : `pick:${index}`;
}

/** Answers the dialog ("pick:0", "pin:1234", "cancel"); written aside and renamed, so it is never read half-written. */
export function answer(token, text) {
    writeFileSync(join(token.hook, 'answer.new'), text);
    renameSync(join(token.hook, 'answer.new'), join(token.hook, 'answer'));
}

/** Checks a detached .p7s over the document with OpenSSL; throws when it does not verify. */
export function verifyCms(token, name, text, p7s) {
    writeFileSync(join(token.dir, name), text);
    writeFileSync(join(token.dir, `${name}.p7s`), p7s);
    execFileSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER', '-in', join(token.dir, `${name}.p7s`),
        '-content', join(token.dir, name), '-noverify', '-out', '/dev/null'], { stdio: 'pipe' });
}

/**
 * The sample site (web/sample-site/) on http://localhost:<free port>, trusting the token's log-in
 * CA and pointing its page at the agent's port; on 127.0.0.1 and ::1 (a browser may resolve
 * localhost to either). Resolves to { origin, close }.
 */
export async function startSampleSite(token, agentPort) {
    const port = await freePortRange(1);
    const site = createSite({ origin: `http://localhost:${port}`, trustAnchors: readFileSync(token.loginCa), agentPort, log: () => {} });
    const servers = [];
    for (const host of ['127.0.0.1', '::1'])
        await new Promise((resolve) => {
            const s = http.createServer(site.handler).once('error', resolve).listen(port, host, () => { servers.push(s); resolve(); });
        });
    return { origin: site.origin,
        close: () => Promise.all(servers.map((s) => new Promise((r) => { s.closeAllConnections?.(); s.close(r); }))) };
}

/** The log-in's two dialogs, checked to name the origin and answered: the log-in certificate, then the PIN. */
export async function answerLogIn(token, origin) {
    const named = new RegExp(`\\n${origin.replace(/[.]/g, '\\.')}\\n`);
    const picker = await waitDialog(token, 'picker', 'item0=');
    if (!named.test(picker) || !/Choose a certificate to log in\n/.test(picker))
        throw new Error(`the picker does not name ${origin} for a log-in:\n${picker}`);
    // Only the log-in certificate: the two signing ones are left out.
    const items = picker.split('\n').filter((l) => /^item[0-9]+=/.test(l));
    if (items.length !== 1)
        throw new Error(`the log-in picker offers ${items.length} certificates:\n${picker}`);
    answer(token, pickAnswer(picker, 'TAMM,MARI,38001085718'));
    const consent = await waitDialog(token, 'consent', 'Log in to:');
    if (!named.test(consent))
        throw new Error(`the consent dialog does not name ${origin}:\n${consent}`);
    answer(token, 'pin:1234');
}
