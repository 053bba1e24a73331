// The Signer module from a page in headless Chromium: the demo page signs a file on a SoftHSM2
// token (hash in the page, consent answered through the module's test hook, verification in the
// page, .p7s checked by OpenSSL), and the client's typed errors for cancel and a wrong PIN.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { artifactsDir, inPage, setUp, tearDown, blankPage } from './lib/harness.mjs';
import { answer as answerWith, makeToken, missing, skipWithout, verifyCms, waitDialog as waitFor } from './lib/token.mjs';

let f;
let token;
const waitDialog = () => waitFor(token);
const answer = (text) => answerWith(token, text);

before(async () => { if (!missing.length) f = await setUp({ prepare: (server) => { token = makeToken(server); } }); });
after(async () => { await tearDown(f); });

test('the demo page signs a file: digest in the page, consent, verification in the page, .p7s that OpenSSL accepts',
    { skip: skipWithout }, async () => {
        const text = 'Contract signed from headless Chromium\n';
        const page = await f.context.newPage();
        await page.goto(`${f.sites.first}/demo/?port=${f.base}`);
        await page.click('#listCerts');
        await page.waitForFunction(() => document.getElementById('cert').options.length > 0 || document.getElementById('summary').className === 'error',
            null, { timeout: 30000 });
        const labels = await page.locator('#cert option').allTextContents();
        assert.deepEqual(labels.map((l) => l.split(' (')[0]).sort(), ['Browser P-256', 'Browser RSA']);
        await page.selectOption('#cert', { index: labels.findIndex((l) => l.startsWith('Browser RSA')) });
        await page.selectOption('#sigAlg', 'RSA-PSS');
        await page.selectOption('#digestAlg', 'SHA-384');
        await page.setInputFiles('#file', { name: 'contract.txt', mimeType: 'text/plain', buffer: Buffer.from(text) });
        await page.click('#signFile');
        const shown = await waitDialog();
        assert.match(shown, new RegExp(`The page ${f.sites.first.replace(/[.]/g, '\\.')} asks for your signature`));
        assert.match(shown, /contract\.txt/);
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

test('sign() in a page: ECDSA verified with WebCrypto, cancel and a wrong PIN as typed errors',
    { skip: skipWithout }, async () => {
        const page = await blankPage(f);
        const signIn = (signatureAlgorithm) => inPage(page, async (m, { port, signatureAlgorithm }) => {
            const qtx = new m.QtxClient({ port });
            const { certificates } = await qtx.listCertificates();
            const cert = certificates.find((c) => c.key.type === 'EC');
            const data = new TextEncoder().encode('ECDSA from the page');
            const digest = await crypto.subtle.digest('SHA-256', data);
            const r = await qtx.sign({ certId: cert.id, digest, signatureAlgorithm, documentName: 'ecdsa.txt' });
            return m.verifySignature({ certificate: r.certificate, data, signature: r.signature, signatureAlgorithm: 'ECDSA' });
        }, { port: f.base, signatureAlgorithm });

        let pending = signIn('ECDSA');
        assert.match(await waitDialog(), /ecdsa\.txt/);
        answer('pin:1234');
        let r = await pending;
        assert.equal(r.error, undefined, r.message);
        assert.equal(r.value, true);

        pending = signIn('ECDSA');
        await waitDialog();
        answer('cancel');
        r = await pending;
        assert.equal(r.error, 'SigningCancelledError');
        assert.ok(r.classes.includes('ModuleFailedError') && r.classes.includes('SigningError'));

        pending = signIn('ECDSA');
        await waitDialog();
        answer('pin:9999');
        r = await pending;
        assert.equal(r.error, 'PinIncorrectError');

        r = await signIn('RSA-PSS');   // refused before any dialog
        assert.equal(r.error, 'UnsupportedAlgorithmError');
        await page.close();
    });
