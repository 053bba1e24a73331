// Paths and tools shared by the browser tests.
import { existsSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import net from 'node:net';

export const testsDir = resolve(dirname(fileURLToPath(import.meta.url)), '..');
export const repoDir = resolve(testsDir, '..', '..');
export const webDir = join(repoDir, 'web');
export const pagesDir = join(testsDir, 'pages');
// The build under test: QTX_BUILD_DIR (scripts/browser-test.sh sets it) or build/.
export const buildDir = resolve(process.env.QTX_BUILD_DIR || join(repoDir, 'build'));
export const artifactsDir = resolve(process.env.QTX_ARTIFACTS_DIR || join(buildDir, 'tests', 'browser', 'artifacts'));
export const chromiumPath = process.env.QTX_CHROMIUM || '/usr/bin/chromium';

export function missingPrerequisites() {
    const missing = [];
    for (const f of [join(buildDir, 'bin', 'QuorvexCryptoProvider'), join(buildDir, 'bin', 'qtx-provision'), chromiumPath])
        if (!existsSync(f)) missing.push(f);
    return missing;
}

function canBind(port) {
    return new Promise((res) => {
        const s = net.createServer();
        s.once('error', () => res(false));
        s.listen(port, '127.0.0.1', () => s.close(() => res(true)));
    });
}

/** A first port from which count consecutive loopback ports are free right now. */
export async function freePortRange(count) {
    for (let attempt = 0; attempt < 200; ++attempt) {
        const base = 20000 + Math.floor(Math.random() * 30000);
        let ok = true;
        for (let i = 0; i < count && ok; ++i) ok = await canBind(base + i);
        if (ok) return base;
    }
    throw new Error(`no ${count} free consecutive ports found`);
}
