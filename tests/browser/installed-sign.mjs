// A new user's signature on the demo page of the installed package, in headless Chromium as that
// account: choose the token's certificate in the Signer's picker, sign a file. The picker and the
// consent dialog open on the X display of DISPLAY (the installed module has no test hook), where
// xdotool picks and types the PIN as a person would. Writes the .p7s the page offers; exit code 0 when the page verified the signature.
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

// The person at the desktop: finds the dialog window by the end of its title (the server puts the
// page's origin ahead of it), reads it for a moment (its button stays disabled for a second after it
// appears), types the keys and presses Enter until the window is gone.
const windowOf = (title) => {
    try {
        return execFileSync('xdotool', ['search', '--onlyvisible', '--name', `${title}$`], { encoding: 'utf8' }).trim().split('\n')[0];
    } catch (_) { return ''; }  // not shown
};
async function answerDialog(title, keys) {
    for (let i = 0; i < 150; ++i) {
        const id = windowOf(title);
        if (id) {
            await sleep(1500);
            for (let t = 0; t < 20 && windowOf(title); ++t) {
                try {
                    execFileSync('xdotool', ['windowfocus', '--sync', id, 'key', '--delay', '50', ...(t === 0 ? keys : []), 'Return']);
                } catch (_) { /* a window just mapped may not take the focus yet */ }
                await sleep(500);
            }
            return !windowOf(title);
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
    // The token's one certificate is selected in the picker already: Enter picks it.
    await page.click('#chooseCert');
    const picked = await answerDialog('Choose a certificate for signing', []);
    console.log(`    certificate picker ${picked ? 'answered' : 'not found on the display'}`);
    await page.waitForFunction(() => document.getElementById('cert').options.length > 0
        || document.getElementById('summary').className === 'error', null, { timeout: 60000 });
    const labels = await page.locator('#cert option').allTextContents();
    console.log(`    certificate picked: ${labels.join(', ') || 'none'}`);
    await page.setInputFiles('#file', { name: basename(o.file), mimeType: 'text/plain', buffer: readFileSync(o.file) });
    await page.click('#signFile');
    const answered = await answerDialog('Signature request', o.pin.split(''));
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
