// Headless Debian Chromium through playwright-core. The browser trusts the
// provisioned authority only through the NSS database in the test's own HOME
// (HOME/.pki/nssdb) that "qtx-provision --trust" fills with certutil; no
// certificate-error switch is used.
import { execFileSync } from 'node:child_process';
import { chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { buildDir, chromiumPath } from './env.mjs';
import { asAccount, giveToAccount, testAccount } from './account.mjs';

export const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'];

/**
 * A HOME whose browsers trust the authority of the given server install, made
 * the way a user does it: "qtx-provision --trust" creates HOME/.pki/nssdb with
 * certutil and adds the authority. The system-store step goes to a scratch
 * folder so that the machine's own store is never touched.
 */
export function makeHome(install) {
    const home = mkdtempSync(join(tmpdir(), 'qtx-browser-home-'));
    const report = provisionTrust(install, home, ['--trust']);
    if (!/added the authority to .*\.pki\/nssdb/.test(report))
        throw new Error(`qtx-provision --trust did not fill ${home}/.pki/nssdb:\n${report}`);
    mkdirSync(join(home, 'profile'));
    chmodSync(home, 0o755);
    giveToAccount(home);
    return home;
}

/** Runs qtx-provision on install with extra arguments for the browsers of home; its report. */
export function provisionTrust(install, home, args, extraEnv = {}) {
    const scratch = join(home, '.system-store');
    mkdirSync(scratch, { recursive: true });
    return execFileSync(join(buildDir, 'bin', 'qtx-provision'), ['--dir', install.dir, ...args], {
        encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'],
        env: { ...install.env(), HOME: home, QTX_SYSTEM_CA_DIR: scratch, QTX_UPDATE_CA_COMMAND: '/bin/true', ...extraEnv },
    });
}

/** Certificates of an NSS database: { nickname: trust flags }. */
export function nssCertificates(dir) {
    const out = execFileSync('certutil', ['-L', '-d', `sql:${dir}`], { encoding: 'utf8' });
    const certs = {};
    for (const line of out.split('\n').slice(4)) {
        const m = /^(.*?)\s{2,}(\S*,\S*,\S*)\s*$/.exec(line);
        if (m) certs[m[1]] = m[2];
    }
    return certs;
}

/** Chromium as the test account (a small wrapper in the home) when run as root. */
function executableFor(home) {
    if (!testAccount()) return chromiumPath;
    const [file, args] = asAccount(chromiumPath, []);
    const wrapper = join(home, 'chromium-as-account');
    writeFileSync(wrapper, `#!/bin/sh\nexec ${file} ${args.join(' ')} "$@"\n`);
    chmodSync(wrapper, 0o755);
    return wrapper;
}

export async function launch(home) {
    const profile = join(home, 'profile');
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: executableFor(home),
        headless: true,
        args: CHROMIUM_FLAGS,
        env: { ...process.env, HOME: home },
        viewport: { width: 1000, height: 900 },
    });
    return context;
}

export function removeHome(home) {
    rmSync(home, { recursive: true, force: true });
}
