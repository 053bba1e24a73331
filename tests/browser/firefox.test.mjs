// The demo page in Debian's Firefox ESR, headless, driven over WebDriver BiDi (puppeteer-core). Firefox
// trusts the server's authority only through its profile's NSS database, which "qtx-provision --trust"
// fills in; no certificate error is waived. Run as root, server and Firefox run as the local test account.
// The demo's "sign a file" and the sample site's log-in run here too, against a SoftHSM2 token.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { join } from 'node:path';
import { artifactsDir, nssCertificates, setUp, tearDown } from './lib/harness.mjs';
import { answer, answerLogIn, makeToken, missing, pickAnswer, skipWithout, startSampleSite, verifyCms, waitDialog }
    from './lib/token.mjs';

let f;
before(async () => {
    let token;
    f = await setUp({ firefox: true, prepare: (server) => { if (!missing.length) token = makeToken(server); } });
    f.token = token;
});
after(async () => {
    await f?.sampleSite?.close();
    await tearDown(f);
});

test('qtx-provision --trust puts the authority into the Firefox profile, trusted for servers', () => {
    assert.match(f.trustReport, /added the authority to .*qtx\.default \(Firefox\)/);
    assert.equal(nssCertificates(f.profile)['Quorvex Crypto Provider Local CA'], 'C,,');
});

test('Firefox runs the demo page from OPEN_SESSION to GET_RESULT and shows the hash; screenshot kept', async () => {
    const text = 'Hello from Firefox ESR';
    const page = await f.browser.newPage();
    await page.goto(`${f.sites.first}/demo/?port=${f.base}&auto=1&text=${encodeURIComponent(text)}`);
    await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('summary').dataset.state), { timeout: 60000 });
    const summary = await page.$eval('#summary', (e) => ({ state: e.dataset.state, sha256: e.dataset.sha256, text: e.textContent }));
    await page.screenshot({ path: join(artifactsDir, 'firefox-demo.png'), fullPage: true });
    assert.equal(summary.state, 'done', summary.text);
    assert.equal(summary.sha256, createHash('sha256').update(text, 'utf8').digest('hex'));
    assert.equal(await page.$$eval('td.ok', (cells) => cells.length), 9);
    await page.close();
});

test('Firefox signs a file in the demo page: the picker, digest in the page, consent, verification, .p7s that OpenSSL accepts; screenshot kept',
    { skip: skipWithout }, async () => {
        const text = 'Contract signed from Firefox ESR\n';
        const page = await f.browser.newPage();
        await page.goto(`${f.sites.first}/demo/?port=${f.base}`);
        await page.click('#chooseCert');
        answer(f.token, pickAnswer(await waitDialog(f.token, 'picker', 'item1='), 'Browser P-256'));
        await page.waitForFunction(() => document.getElementById('cert').options.length > 0
            || document.getElementById('summary').className === 'error', { timeout: 30000 });
        const labels = await page.$$eval('#cert option', (options) => options.map((o) => o.textContent));
        assert.ok(labels[0].startsWith('Browser P-256'), labels.join(', '));
        // The file as the user would pick it, through the input's own change event.
        await page.evaluate((content) => {
            const input = document.getElementById('file');
            const files = new DataTransfer();
            files.items.add(new File([content], 'contract.txt', { type: 'text/plain' }));
            input.files = files.files;
            input.dispatchEvent(new Event('change', { bubbles: true }));
        }, text);
        await page.click('#signFile');
        const shown = await waitDialog(f.token, 'consent');
        assert.match(shown, /contract\.txt/);
        assert.match(shown, /Browser P-256/);
        answer(f.token, 'pin:1234');
        await page.waitForFunction(() => ['ok', 'error'].includes(document.getElementById('summary').className), { timeout: 60000 });
        const summary = await page.$eval('#summary', (e) => e.textContent);
        await page.screenshot({ path: join(artifactsDir, 'firefox-demo-signed.png'), fullPage: true });
        assert.equal(await page.$eval('#summary', (e) => e.getAttribute('data-verified')), 'true', summary);
        const p7s = Buffer.from(await page.evaluate(async () => {
            const bytes = new Uint8Array(await (await fetch(document.getElementById('p7s').href)).arrayBuffer());
            return [...bytes];
        }));
        verifyCms(f.token, 'contract.txt', text, p7s);
        await page.close();
    });

test('Firefox logs in to the sample site with the card: the dialogs name the site, the site shows who logged in',
    { skip: skipWithout }, async () => {
        f.sampleSite = await startSampleSite(f.token, f.base);
        const page = await f.browser.newPage();
        await page.goto(`${f.sampleSite.origin}/`);
        await page.click('#login');
        await answerLogIn(f.token, f.sampleSite.origin);
        await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('status').dataset.state), { timeout: 60000 });
        const status = await page.$eval('#status', (e) => ({ state: e.dataset.state, text: e.textContent }));
        assert.equal(status.state, 'done', status.text);
        assert.equal(await page.$eval('#name', (e) => e.textContent), 'TAMM,MARI,38001085718');
        assert.match(await page.$eval('#user', (e) => e.textContent), /PNOEE-38001085718[\s\S]*ES384/);
        await page.screenshot({ path: join(process.env.QTX_LOGIN_SCREENSHOTS || artifactsDir, 'login-firefox.png'), fullPage: true });
        await page.close();
    });
