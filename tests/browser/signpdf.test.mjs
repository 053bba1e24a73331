// A PDF signed from the demo page in headless Chromium: the certificate picked in the native
// picker, the PDF uploaded whole, the consent dialog showing its pages and the preview with the
// box, and the offered download accepted by pdfsig (valid, the whole document signed). The
// signed page is rendered with pdftoppm into the artifacts (docs/images/demo-signed-pdf.png).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { artifactsDir, setUp, tearDown } from './lib/harness.mjs';
import { answer as answerWith, makeToken, missing, pickAnswer, skipWithout, waitDialog as waitFor } from './lib/token.mjs';

let f;
let token;
const waitDialog = (kind, needle) => waitFor(token, kind, needle);
const answer = (text) => answerWith(token, text);
const fixture = new URL('../signer/data/two-pages.pdf', import.meta.url);

before(async () => { if (!missing.length) f = await setUp({ prepare: (server) => { token = makeToken(server); } }); });
after(async () => { await tearDown(f); });

test('the demo page signs a PDF with a visible signature; pdfsig accepts the download',
    { skip: skipWithout }, async () => {
        const page = await f.context.newPage();
        await page.goto(`${f.sites.first}/demo/?port=${f.base}`);
        await page.click('#chooseCert');
        const picker = await waitDialog('picker', 'item1=');
        answer(pickAnswer(picker, 'Browser P-256'));
        await page.waitForFunction(() => document.getElementById('cert').options.length > 0, null, { timeout: 30000 });
        await page.setInputFiles('#pdfFile', { name: 'contract.pdf', mimeType: 'application/pdf', buffer: readFileSync(fixture) });
        await page.click('#signPdf');
        const shown = await waitDialog('consent', 'preview=');
        assert.match(shown, /\ncontract\.pdf\n/);
        assert.match(shown, /2 pages; the signature goes on page 2\./);
        assert.match(shown, /preview=\d+x480 box=[1-9]/);
        answer('pin:1234');
        await page.waitForFunction(() => ['ok', 'error'].includes(document.getElementById('summary').className), null, { timeout: 60000 });
        assert.equal(await page.locator('#summary').getAttribute('class'), 'ok', await page.locator('#summary').textContent());
        assert.equal(await page.locator('#pdfOut').getAttribute('download'), 'contract-signed.pdf');
        await page.screenshot({ path: join(artifactsDir, 'demo-signed-pdf-page.png'), fullPage: true });
        const signed = Buffer.from(await page.evaluate(async () => {
            const bytes = new Uint8Array(await (await fetch(document.getElementById('pdfOut').href)).arrayBuffer());
            return [...bytes];
        }));
        const file = join(artifactsDir, 'contract-signed.pdf');
        writeFileSync(file, signed);
        const report = execFileSync('pdfsig', ['-nocert', '-no-ocsp', file], { encoding: 'utf8' });
        assert.match(report, /Signature Validation: Signature is Valid\./, report);
        assert.match(report, /Total document signed/, report);
        execFileSync('pdftoppm', ['-png', '-r', '60', '-f', '2', '-l', '2', '-singlefile', file, join(artifactsDir, 'demo-signed-pdf')]);
        await page.close();
    });
