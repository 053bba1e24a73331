// A SoftHSM2 token for the browser tests of the Signer module: two keys (RSA-2048, P-256) with
// self-signed certificates, made inside a server install before it starts, and the module's
// dialogs' hook (a dialog writes what it shows into the hook folder and reads the answer there).
import { execFileSync } from 'node:child_process';
import { appendFileSync, existsSync, mkdirSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { giveToAccount } from './harness.mjs';

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
    appendFileSync(join(server.dir, 'QuorvexCryptoProvider.ini'), `[signing]\npkcs11Module=${softhsm}\n`);
    giveToAccount(server.dir);
    const env0 = server.env.bind(server);
    server.env = () => ({ ...env0(), SOFTHSM2_CONF: conf, QTX_SIGNER_TEST_DIR: hook });
    return { dir, hook };
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
