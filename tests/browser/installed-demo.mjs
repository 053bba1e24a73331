// The demo page in a real browser against servers that are already running (the installed package's
// instances), as the given local account with its own HOME, whose NSS databases must already trust the
// account's authority (the instance's start does that). Exit code 0 when all steps of the demo succeed on
// the expected port within the limits, and the other account's instance is refused.
//   node installed-demo.mjs --account NAME --home DIR --port CONFIGURED --site URL
//        [--browser chromium|firefox] [--profile DIR] [--expect-port N] [--refuse-port N]
//        [--max-find-ms N] [--screenshot FILE]
// --site: where the demo page is served (the documented python3 -m http.server over the package's
// web folder); --profile: an existing Firefox profile of the account; --refuse-port: a port of another
// account's instance, which this browser must not reach (its certificate is not trusted here).
import { execFileSync } from 'node:child_process';
import { chownSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';
import puppeteer from 'puppeteer-core';

const { values: o } = parseArgs({ options: { account: { type: 'string' }, home: { type: 'string' }, port: { type: 'string' },
    site: { type: 'string' }, browser: { type: 'string', default: 'chromium' }, profile: { type: 'string' },
    'expect-port': { type: 'string' }, 'refuse-port': { type: 'string' }, 'max-find-ms': { type: 'string' },
    screenshot: { type: 'string' } } });
const uid = Number(execFileSync('id', ['-u', o.account], { encoding: 'utf8' }));
const gid = Number(execFileSync('id', ['-g', o.account], { encoding: 'utf8' }));
const work = mkdtempSync(join(o.home, '.qtx-demo-'));
chownSync(work, uid, gid);
const asAccount = (program) => {
    const wrapper = join(work, o.browser);
    writeFileSync(wrapper, `#!/bin/sh\nexec setpriv --reuid=${uid} --regid=${gid} --init-groups -- ${program} "$@"\n`, { mode: 0o755 });
    return wrapper;
};
const env = { ...process.env, HOME: o.home, MOZ_CRASHREPORTER_DISABLE: '1' };
const label = `${o.browser} of ${o.account}`;

let browser;
let context;
let ok = false;
try {
    let page;
    if (o.browser === 'firefox') {
        browser = await puppeteer.launch({ browser: 'firefox', executablePath: asAccount('/usr/bin/firefox-esr'), headless: true,
            userDataDir: o.profile, env, defaultViewport: { width: 1000, height: 900 },
            extraPrefsFirefox: { 'browser.shell.checkDefaultBrowser': false, 'datareporting.policy.dataSubmissionEnabled': false } });
        page = await browser.newPage();
    } else {
        const profile = join(work, 'profile');
        execFileSync('install', ['-d', '-o', String(uid), '-g', String(gid), profile]);
        context = await chromium.launchPersistentContext(profile, { executablePath: asAccount('/usr/bin/chromium'), headless: true,
            env, viewport: { width: 1000, height: 900 },
            args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
                '--disable-component-update', '--disable-sync'] });
        page = await context.newPage();
    }
    await page.goto(`${o.site}/demo/?port=${o.port}&auto=1&text=installed`);
    const finished = () => ['done', 'error'].includes(document.getElementById('summary').dataset.state);
    // puppeteer takes (function, options), playwright (function, argument, options).
    await (browser ? page.waitForFunction(finished, { timeout: 90000 }) : page.waitForFunction(finished, null, { timeout: 90000 }));
    if (o.screenshot) await page.screenshot({ path: o.screenshot, fullPage: true });
    const state = await page.$eval('#summary', (e) => ({ state: e.dataset.state, text: e.textContent,
        cells: document.querySelectorAll('td.ok').length, find: document.querySelector('#steps tr td:nth-child(3)')?.textContent ?? '' }));
    const findMs = Number((/\((\d+) ms\)/.exec(state.find) || [])[1] ?? NaN);
    console.log(`    ${label}: ${state.text} (${state.cells} steps OK; found the server in ${findMs} ms)`
        + `${o.screenshot ? `, screenshot ${o.screenshot}` : ''}`);
    // Six steps: the example modules' three are not in the package (marked "not installed").
    ok = state.state === 'done' && state.cells === 6
        && (!o['expect-port'] || state.text.includes(`on port ${o['expect-port']}.`))
        && (!o['max-find-ms'] || findMs < Number(o['max-find-ms']));
    if (o['refuse-port']) {
        // The same page, straight at the other account's instance: its certificate is not trusted here.
        const reached = await page.evaluate(async (port) => {
            try {
                await fetch(`https://127.0.0.1:${port}/SERVER_VERSION`, { method: 'POST', mode: 'cors', cache: 'no-store' });
                return 'reached';
            } catch (e) { return `refused (${e.name})`; }
        }, o['refuse-port']);
        console.log(`    ${label}: the other account's instance on port ${o['refuse-port']}: ${reached}`);
        ok = ok && reached !== 'reached';
    }
} catch (e) {
    console.log(`    ${label}: ${e.message}`);
} finally {
    await context?.close().catch(() => {});
    await browser?.close().catch(() => {});
    rmSync(work, { recursive: true, force: true });
}
process.exit(ok ? 0 : 1);
