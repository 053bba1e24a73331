// The Signer module from a page in headless Chromium: the demo page lets the user pick a
// certificate in the native picker (answered through the module's test hook), hashes a file,
// signs it after consent, verifies it in the page, and OpenSSL accepts the .p7s; a page sees no
// certificate before the pick, another origin gets another id, and the client's typed errors.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { artifactsDir, inPage, setUp, tearDown, blankPage } from './lib/harness.mjs';
import { answer as answerWith, makeToken, missing, pickAnswer, skipWithout, verifyCms, waitDialog as waitFor } from './lib/token.mjs';

let f;
let token;
const here = dirname(fileURLToPath(import.meta.url));
const waitDialog = (kind, needle) => waitFor(token, kind, needle);
const answer = (text) => answerWith(token, text);

before(async () => { if (!missing.length) f = await setUp({ prepare: (server) => { token = makeToken(server); } }); });
after(async () => { await tearDown(f); });

test('the demo page: the picker names the page, then the file is signed after consent and verified; .p7s that OpenSSL accepts',
    { skip: skipWithout }, async () => {
        const text = 'Contract signed from headless Chromium\n';
        const page = await f.context.newPage();
        await page.goto(`${f.sites.first}/demo/?port=${f.base}`);
        // Nothing is listed before the user picked (and no dialog opens for it).
        await page.click('#listCerts');
        await page.waitForFunction(() => document.getElementById('summary').className === 'error', null, { timeout: 30000 });
        assert.equal(await page.locator('#cert option').count(), 0);
        await page.click('#chooseCert');
        const picker = await waitDialog('picker', 'item1=');
        assert.match(picker, new RegExp(`\\n${f.sites.first.replace(/[.]/g, '\\.')}\\n`));
        answer(pickAnswer(picker, 'Browser RSA'));
        await page.waitForFunction(() => document.getElementById('cert').options.length > 0
            || document.getElementById('summary').className === 'error', null, { timeout: 30000 });
        assert.deepEqual((await page.locator('#cert option').allTextContents()).map((l) => l.split(' (')[0]), ['Browser RSA']);
        await page.selectOption('#sigAlg', 'RSA-PSS');
        await page.selectOption('#digestAlg', 'SHA-384');
        await page.setInputFiles('#file', { name: 'contract.txt', mimeType: 'text/plain', buffer: Buffer.from(text) });
        await page.click('#signFile');
        const shown = await waitDialog('consent');
        assert.match(shown, /\ncontract\.txt\n/);
        assert.match(shown, /Browser RSA/);
        answer('pin:1234');
        await page.waitForFunction(() => ['ok', 'error'].includes(document.getElementById('summary').className), null, { timeout: 60000 });
        const summary = await page.locator('#summary').textContent();
        await page.screenshot({ path: join(artifactsDir, 'demo-signed.png'), fullPage: true });
        assert.equal(await page.locator('#summary').getAttribute('data-verified'), 'true', summary);
        assert.equal(await page.locator('#p7s').getAttribute('download'), 'contract.txt.p7s');
        // The offered file, fetched from its blob URL in the page.
        const p7s = Buffer.from(await page.evaluate(async () => {
            const bytes = new Uint8Array(await (await fetch(document.getElementById('p7s').href)).arrayBuffer());
            return [...bytes];
        }));
        verifyCms(token, 'contract.txt', text, p7s);
        await page.close();
    });

test('the demo page signs three files in one batch (one dialog, one PIN, three .p7s that OpenSSL accepts), then two PDFs that pdfsig accepts',
    { skip: skipWithout }, async () => {
        const page = await f.context.newPage();
        await page.goto(`${f.sites.first}/demo/?port=${f.base}`);
        await page.click('#chooseCert');
        answer(pickAnswer(await waitDialog('picker', 'item1='), 'Browser RSA'));
        await page.waitForFunction(() => document.getElementById('cert').options.length > 0, null, { timeout: 30000 });
        const files = ['a.txt', 'b.txt', 'c.txt'].map((name) => ({ name, mimeType: 'text/plain', buffer: Buffer.from(`Batch ${name}\n`) }));
        await page.setInputFiles('#batchFiles', files);
        await page.click('#signBatch');
        const shown = await waitDialog('consent', 'item2=');
        for (const file of files) assert.match(shown, new RegExp(`item[0-2]=${file.name.replace('.', '\\.')} \\|`));
        answer('pin:1234');
        await page.waitForFunction(() => ['ok', 'error'].includes(document.getElementById('summary').className), null, { timeout: 60000 });
        assert.equal(await page.locator('#summary').getAttribute('class'), 'ok', await page.locator('#summary').textContent());
        await page.screenshot({ path: join(artifactsDir, 'demo-batch.png'), fullPage: true });
        const offered = await page.evaluate(async () => Promise.all([...document.querySelectorAll('a.batch-p7s')].map(async (a) => ({
            name: a.download, bytes: [...new Uint8Array(await (await fetch(a.href)).arrayBuffer())] }))));
        assert.deepEqual(offered.map((o) => o.name).sort(), ['a.txt.p7s', 'b.txt.p7s', 'c.txt.p7s']);
        for (const o of offered) {
            const file = files.find((x) => `${x.name}.p7s` === o.name);
            verifyCms(token, file.name, file.buffer.toString(), Buffer.from(o.bytes));
        }
        // PDFs go whole: the dialog shows each one's first page, and pdfsig accepts what comes back.
        const pdfs = ['two-pages.pdf', 'xref-stream.pdf'].map((name) => ({ name, mimeType: 'application/pdf',
            buffer: readFileSync(join(here, '..', 'signer', 'data', name)) }));
        await page.setInputFiles('#batchFiles', pdfs);
        await page.click('#signBatch');
        assert.match(await waitDialog('consent', 'item1='), /item1=xref-stream\.pdf \| PDF, .* \| \[preview\]/);
        answer('pin:1234');
        await page.waitForFunction(() => ['ok', 'error'].includes(document.getElementById('summary').className), null, { timeout: 60000 });
        assert.equal(await page.locator('#summary').getAttribute('class'), 'ok', await page.locator('#summary').textContent());
        const signed = await page.evaluate(async () => Promise.all([...document.querySelectorAll('a.batch-pdf')].map(async (a) => ({
            name: a.download, bytes: [...new Uint8Array(await (await fetch(a.href)).arrayBuffer())] }))));
        assert.deepEqual(signed.map((o) => o.name).sort(), ['two-pages-signed.pdf', 'xref-stream-signed.pdf']);
        for (const o of signed) {
            const file = join(artifactsDir, o.name);
            writeFileSync(file, Buffer.from(o.bytes));
            const report = execFileSync('pdfsig', ['-nocert', '-no-ocsp', file], { encoding: 'utf8' });
            assert.ok(report.includes('Signature is Valid.') && report.includes('Total document signed'), report);
        }
        await page.close();
    });

test('in a page: select then sign (ECDSA verified with WebCrypto), ids per origin, cancel and a wrong PIN as typed errors',
    { skip: skipWithout }, async () => {
        const pages = [await blankPage(f), await blankPage(f, f.sites.second)];
        const select = (p) => inPage(p, async (m, { port }) => {
            const qtx = new m.QtxClient({ port });
            const cert = await qtx.selectCertificate();
            return { id: cert.id, name: cert.subjectCommonName, listed: (await qtx.listCertificates()).certificates.length };
        }, { port: f.base });
        const signIn = (p, certId, signatureAlgorithm) => inPage(p, async (m, { port, certId, signatureAlgorithm }) => {
            const qtx = new m.QtxClient({ port });
            const data = new TextEncoder().encode('ECDSA from the page');
            const digest = await crypto.subtle.digest('SHA-256', data);
            const r = await qtx.sign({ certId, digest, signatureAlgorithm, documentName: 'ecdsa.txt' });
            return m.verifySignature({ certificate: r.certificate, data, signature: r.signature, signatureAlgorithm: 'ECDSA' });
        }, { port: f.base, certId, signatureAlgorithm });
        const pickEc = async (p) => {
            const pending = select(p);
            answer(pickAnswer(await waitDialog('picker', 'item1='), 'Browser P-256'));
            return (await pending).value;
        };

        const picked = await pickEc(pages[0]);
        assert.equal(picked.name, 'Browser P-256');
        assert.equal(picked.listed, 0);  // picked, not remembered
        const other = await pickEc(pages[1]);
        assert.notEqual(other.id, picked.id);

        let pending = signIn(pages[0], picked.id, 'ECDSA');
        assert.match(await waitDialog('consent'), /ecdsa\.txt/);
        answer('pin:1234');
        let r = await pending;
        assert.equal(r.error, undefined, r.message);
        assert.equal(r.value, true);

        r = await signIn(pages[1], picked.id, 'ECDSA');   // another origin's id names nothing
        assert.equal(r.error, 'CertificateNotFoundError');

        pending = signIn(pages[0], picked.id, 'ECDSA');
        await waitDialog('consent');
        answer('cancel');
        r = await pending;
        assert.equal(r.error, 'SigningCancelledError');
        assert.ok(r.classes.includes('ModuleFailedError') && r.classes.includes('SigningError'));

        pending = signIn(pages[0], picked.id, 'ECDSA');
        await waitDialog('consent');
        answer('pin:9999');
        r = await pending;
        assert.equal(r.error, 'PinIncorrectError');

        r = await signIn(pages[0], picked.id, 'RSA-PSS');   // refused before any dialog
        assert.equal(r.error, 'UnsupportedAlgorithmError');
        for (const p of pages) await p.close();
    });
