// The demo page in headless Chromium against a server that is already running (the installed package's
// user instance), as the given local account with its own HOME, whose NSS database must already trust
// the server's authority ("qtx-provision --trust"). Exit code 0 when all steps of the demo succeed on
// the expected port.
//   node installed-demo.mjs --account NAME --home DIR --port CONFIGURED [--expect-port N] [--screenshot FILE]
import { execFileSync } from 'node:child_process';
import { chownSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';
import { freePortRange, startSites } from './lib/harness.mjs';

const { values: o } = parseArgs({ options: { account: { type: 'string' }, home: { type: 'string' }, port: { type: 'string' },
    'expect-port': { type: 'string' }, screenshot: { type: 'string' } } });
const uid = Number(execFileSync('id', ['-u', o.account], { encoding: 'utf8' }));
const gid = Number(execFileSync('id', ['-g', o.account], { encoding: 'utf8' }));
const work = mkdtempSync(join(o.home, '.qtx-demo-'));
chownSync(work, uid, gid);
const wrapper = join(work, 'chromium');
writeFileSync(wrapper, `#!/bin/sh\nexec setpriv --reuid=${uid} --regid=${gid} --init-groups -- /usr/bin/chromium "$@"\n`, { mode: 0o755 });
const profile = join(work, 'profile');
execFileSync('install', ['-d', '-o', String(uid), '-g', String(gid), profile]);

const sitePort = await freePortRange(2);
const sites = await startSites(sitePort, sitePort + 1);
let context;
let ok = false;
try {
    context = await chromium.launchPersistentContext(profile, { executablePath: wrapper, headless: true,
        env: { ...process.env, HOME: o.home }, viewport: { width: 1000, height: 900 },
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
            '--disable-component-update', '--disable-sync'] });
    const page = await context.newPage();
    await page.goto(`${sites.first}/demo/?port=${o.port}&auto=1&text=installed`);
    await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('summary').dataset.state), null,
        { timeout: 90000 });
    if (o.screenshot) await page.screenshot({ path: o.screenshot, fullPage: true });
    const summary = await page.locator('#summary').textContent();
    const cells = await page.locator('td.ok').count();
    console.log(`    demo: ${summary} (${cells} steps OK)${o.screenshot ? `, screenshot ${o.screenshot}` : ''}`);
    ok = (await page.locator('#summary').getAttribute('data-state')) === 'done' && cells === 9
        && (!o['expect-port'] || summary.includes(`on port ${o['expect-port']}.`));
} catch (e) {
    console.log(`    demo: ${e.message}`);
} finally {
    await context?.close().catch(() => {});
    await sites.close();
    rmSync(work, { recursive: true, force: true });
}
process.exit(ok ? 0 : 1);
