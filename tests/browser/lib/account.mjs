// Who runs the browser and the server. A page's browser and the user's server
// belong to one ordinary desktop account; the server grants a root client only
// its four system modules. So when the tests run as root, the server and
// Chromium run as a local test account (created once, like the integration tests do).
import { execFileSync } from 'node:child_process';

export const ACCOUNT = process.env.QTX_BROWSER_ACCOUNT || 'qtxbrowser';
let cached;

/** null when not root (everything runs as the current user), else { name, uid, gid }. */
export function testAccount() {
    if (cached !== undefined) return cached;
    if (process.getuid() !== 0) {
        cached = null;
        return cached;
    }
    try {
        execFileSync('id', ['-u', ACCOUNT], { stdio: 'ignore' });
    } catch (_) {
        execFileSync('useradd', ['-M', '-s', '/usr/sbin/nologin', ACCOUNT], { stdio: 'ignore' });
    }
    const uid = Number(execFileSync('id', ['-u', ACCOUNT], { encoding: 'utf8' }).trim());
    const gid = Number(execFileSync('id', ['-g', ACCOUNT], { encoding: 'utf8' }).trim());
    cached = { name: ACCOUNT, uid, gid };
    return cached;
}

/** [command, args] that run file with args as the test account (unchanged when not root). */
export function asAccount(file, args) {
    const a = testAccount();
    if (!a) return [file, args];
    return ['setpriv', [`--reuid=${a.uid}`, `--regid=${a.gid}`, '--init-groups', '--', file, ...args]];
}

/** Hands a folder to the test account. */
export function giveToAccount(path) {
    const a = testAccount();
    if (a) execFileSync('chown', ['-R', `${a.uid}:${a.gid}`, path]);
}
