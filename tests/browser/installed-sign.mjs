// A new user's signature on the demo page of the installed package, in headless Chromium as that
// account: list the token's certificates, pick the first, sign a file. The consent dialog opens on
// the X display of DISPLAY (the installed module has no test hook), where xdotool types the PIN as a
// person would. Writes the .p7s the page offers; exit code 0 when the page verified the signature.
//   DISPLAY=:N node installed-sign.mjs --account NAME --home DIR --site URL --port CONFIGURED
//        --file DOCUMENT --pin PIN --out P7S
import { execFileSync } from 'node:child_process';
import { chownSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { basename, join } from 'node:path';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

const { values: o } = parseArgs({ options: { account: { type: 'string' }, home: { type: 'string' }, site: { type: 'string' },
    port: { type: 'string' }, file: { type: 'string' }, pin: { type: 'string' }, out: { type: 'string' } } });
const uid = Number(execFileSync('id', ['-u', o.account], { encoding: 'utf8' }));
const gid = Number(execFileSync('id', ['-g', o.account], { encoding: 'utf8' }));
const work = mkdtempSync(join(o.home, '.qtx-sign-'));
chownSync(work, uid, gid);
const wrapper = join(work, 'chromium');
writeFileSync(wrapper, `#!/bin/sh\nexec setpriv --reuid=${uid} --regid=${gid} --init-groups -- /usr/bin/chromium "$@"\n`, { mode: 0o755 });
const profile = join(work, 'profile');
execFileSync('install', ['-d', '-o', String(uid), '-g', String(gid), profile]);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The person at the desktop: finds the dialog window and types the PIN and Enter.
async function answerDialog() {
    for (let i = 0; i < 150; ++i) {
        let id = '';
        try {
            id = execFileSync('xdotool', ['search', '--onlyvisible', '--name', '^Signature request$'], { encoding: 'utf8' }).trim().split('\n')[0];
        } catch (_) { /* not shown yet */ }
        if (id) {
            for (let t = 0; t < 20; ++t) {
                try {
                    execFileSync('xdotool', ['windowfocus', '--sync', id, 'key', '--delay', '50', ...o.pin.split(''), 'Return']);
                    return true;
                } catch (_) { await sleep(200); }  // a window just mapped may not take the focus yet
            }
        }
        await sleep(200);
    }
    return false;
}

let context;
let ok = false;
try {
    context = await chromium.launchPersistentContext(profile, { executablePath: wrapper, headless: true,
        env: { ...process.env, HOME: o.home }, args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
    const page = await context.newPage();
    await page.goto(`${o.site}/demo/?port=${o.port}`);
    await page.click('#listCerts');
    await page.waitForFunction(() => document.getElementById('cert').options.length > 0
        || document.getElementById('summary').className === 'error', null, { timeout: 60000 });
    const labels = await page.locator('#cert option').allTextContents();
    console.log(`    certificates on the token: ${labels.join(', ') || 'none'}`);
    await page.selectOption('#cert', { index: 0 });
    await page.setInputFiles('#file', { name: basename(o.file), mimeType: 'text/plain', buffer: readFileSync(o.file) });
    await page.click('#signFile');
    const answered = await answerDialog();
    console.log(`    consent dialog ${answered ? 'answered with the PIN' : 'not found on the display'}`);
    await page.waitForFunction(() => ['ok', 'error'].includes(document.getElementById('summary').className), null, { timeout: 60000 });
    const summary = await page.locator('#summary').textContent();
    console.log(`    demo: ${summary}`);
    if ((await page.locator('#summary').getAttribute('data-verified')) === 'true') {
        const p7s = Buffer.from(await page.evaluate(async () => {
            const bytes = new Uint8Array(await (await fetch(document.getElementById('p7s').href)).arrayBuffer());
            return [...bytes];
        }));
        writeFileSync(o.out, p7s);
        ok = p7s.length > 0;
    }
} catch (e) {
    console.log(`    demo: ${e.message}`);
} finally {
    await context?.close().catch(() => {});
    rmSync(work, { recursive: true, force: true });
}
process.exit(ok ? 0 : 1);
