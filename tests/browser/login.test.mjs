// The sample site's log-in in headless Chromium against the real server: the page gets a nonce
// from the site, the agent's picker (log-in certificates only) and consent dialog name the site's
// origin and are answered through the module's test hook, and the site's validator lets the user
// in. QTX_LOGIN_SCREENSHOTS=<folder> keeps the logged-in page there (docs/images/); Firefox:
// firefox.test.mjs.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { artifactsDir, setUp, tearDown } from './lib/harness.mjs';
import { answerLogIn, makeToken, missing, skipWithout, startSampleSite } from './lib/token.mjs';

let f;
let token;
let site;

before(async () => {
    if (missing.length)
        return;
    f = await setUp({ prepare: (server) => { token = makeToken(server); } });
    site = await startSampleSite(token, f.base);
});
after(async () => {
    await site?.close();
    await tearDown(f);
});

test('the sample site: log in with the card, the dialogs name the site, the site shows who logged in',
    { skip: skipWithout }, async () => {
        const page = await f.context.newPage();
        await page.goto(`${site.origin}/`);
        await page.click('#login');
        await answerLogIn(token, site.origin);
        await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('status').dataset.state), null,
            { timeout: 60000 });
        const status = await page.locator('#status').textContent();
        assert.equal(await page.locator('#status').getAttribute('data-state'), 'done', status);
        assert.equal(await page.locator('#name').textContent(), 'TAMM,MARI,38001085718');
        assert.match(await page.locator('#user').textContent(), /PNOEE-38001085718[\s\S]*ES384/);
        await page.screenshot({ path: join(process.env.QTX_LOGIN_SCREENSHOTS || artifactsDir, 'login-chromium.png'), fullPage: true });
        await page.close();
    });
