// The demo's steps, run one after the other with the client; each row of the
// table shows what the step sent and what came back.
import { NotFoundError, QtxClient, QtxError, ServerUnreachableError, verifySignature } from '../qtx-client.js';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
if (params.has('port')) $('port').value = params.get('port');
if (params.has('text')) $('text').value = params.get('text');
if (params.get('jsonp') === '1') $('jsonp').checked = true;

function row(n, title) {
    const tr = document.createElement('tr');
    tr.innerHTML = '<td></td><td></td><td class="pending">pending</td><td class="detail"></td>';
    tr.cells[0].textContent = String(n);
    tr.cells[1].textContent = title;
    $('steps').appendChild(tr);
    return {
        set(state, text, detail = '') {
            tr.cells[2].className = state;
            tr.cells[2].textContent = text;
            tr.cells[3].textContent = detail;
        },
    };
}

function describe(err) {
    if (err instanceof QtxError) {
        const parts = [`${err.name}${err.status ? ` (${err.status})` : ''}: ${err.message}`];
        if (err.hint) parts.push(`Hint: ${err.hint}`);
        if (err.triesLeft) parts.push(`Tries left: ${err.triesLeft}`);
        if (err.detail) parts.push(`Detail: ${err.detail}`);
        if (err.modules && err.modules.length)
            parts.push(`PKCS#11 modules tried: ${err.modules.map((m) => `${m.module} (${m.source}): ${m.loaded ? `${m.tokens} token(s) in ${m.slots} slot(s)` : 'not loaded'}${m.problem ? `, ${m.problem}` : ''}`).join('; ')}`);
        if (err.trustCheckUrl) parts.push(`Check: ${err.trustCheckUrl}`);
        return parts.join('\n');
    }
    return String(err && err.stack || err);
}

function summary(state, text) {
    $('summary').className = state;
    $('summary').dataset.state = state === 'ok' ? 'done' : state;
    $('summary').textContent = text;
}

function newClient() {
    return new QtxClient({ port: Number($('port').value), jsonp: $('jsonp').checked });
}

async function runSteps() {
    $('steps').textContent = '';
    summary('running', 'Running...');
    const qtx = newClient();
    const text = $('text').value;
    const steps = [
        ['Find the server', async () => `port ${await qtx.connect()}`],
        ['SERVER_VERSION', async () => qtx.serverVersion()],
        ['OPEN_SESSION with session variables', async () => {
            const id = await qtx.openSession({ vars: { lang: navigator.language || 'en', page: 'demo' } });
            return `session ${id}`;
        }],
        ['KeepAlive/Ping', async () => JSON.stringify(await qtx.callJson('KeepAlive', 'Ping'))],
        [`Hasher/Sha256 of "${text}"`, async () => {
            const r = await qtx.callJson('Hasher', 'Sha256', { data: text });
            $('summary').dataset.sha256 = r.hex;
            return `${r.algorithm} ${r.hex}`;
        }],
        ['PublicInfo/ServerTime (any account may call it)', async () => JSON.stringify(await qtx.callJson('PublicInfo', 'ServerTime'))],
        ['PublicInfo/SessionVariables', async () => JSON.stringify(await qtx.callJson('PublicInfo', 'SessionVariables'))],
        ['ALIVE (keep the session)', async () => { await qtx.keepAlive(); return 'session alive'; }],
        ['CLOSE_SESSION', async () => { await qtx.closeSession(); return 'closed'; }],
    ];
    // The Debian package ships KeepAlive and the Signer only: the source tree's
    // example modules may be missing.
    const example = (title) => /^(Hasher|PublicInfo)\//.test(title);
    let notInstalled = 0;
    const rows = steps.map(([title], i) => row(i + 1, title));
    for (let i = 0; i < steps.length; ++i) {
        rows[i].set('running', 'running');
        const started = performance.now();
        try {
            const detail = await steps[i][1]();
            rows[i].set('ok', `OK (${Math.round(performance.now() - started)} ms)`, detail);
        } catch (err) {
            if (err instanceof NotFoundError && example(steps[i][0])) {
                rows[i].set('skipped', 'not installed', 'an example module of the source tree, not in the package');
                ++notInstalled;
                continue;
            }
            rows[i].set('error', err.name || 'Error', describe(err));
            for (let j = i + 1; j < rows.length; ++j) rows[j].set('pending', 'skipped');
            summary('error', `Step ${i + 1} failed: ${describe(err)}`);
            if (!(err instanceof ServerUnreachableError)) qtx.closeSession().catch(() => {});
            return;
        }
    }
    summary('ok', `All ${steps.length - notInstalled} steps succeeded on port ${qtx.port}.`
        + (notInstalled ? ` ${notInstalled} of the example modules' steps skipped: not installed.` : ''));
}

async function askOnDesktop() {
    $('steps').textContent = '';
    summary('running', 'Waiting for the answer on the desktop...');
    const qtx = newClient();
    const r = row(1, 'ConfirmDialog/Confirm');
    r.set('running', 'waiting for the user');
    try {
        const reply = await qtx.callJson('ConfirmDialog', 'Confirm', { text: 'Allow the demo page to continue?', title: 'Quorvex demo' },
            { poll: { timeoutMs: 300000 } });
        r.set('ok', 'OK', JSON.stringify(reply));
        summary('ok', `The user answered "${reply.answer}".`);
    } catch (err) {
        r.set('error', err.name || 'Error', describe(err));
        summary('error', describe(err));
    } finally {
        qtx.closeSession().catch(() => {});
    }
}

// ---- sign a file ------------------------------------------------------------

let certificates = [];

function algorithmsFor(cert) {
    return cert && cert.key.type === 'EC' ? ['ECDSA'] : ['RSA-PKCS1', 'RSA-PSS'];
}

function fillAlgorithms() {
    const cert = certificates[$('cert').selectedIndex];
    $('sigAlg').textContent = '';
    for (const name of algorithmsFor(cert)) $('sigAlg').add(new Option(name));
}

function describeCertificate(c) {
    return `${c.subjectCommonName || c.subject} (${c.key.type} ${c.key.curve || c.key.bits}, until ${c.notAfter.slice(0, 10)})`;
}

function showCertificates(list, chosenId = '') {
    certificates = list;
    $('cert').textContent = '';
    for (const c of certificates)
        $('cert').add(new Option(describeCertificate(c), c.id, false, c.id === chosenId));
    fillAlgorithms();
}

// The certificates this site may see without asking: only those the user let
// it see from now on in the picker; an empty list otherwise (never a dialog).
async function listCertificates() {
    $('steps').textContent = '';
    const r = row(1, 'Signer/ListCertificates (no dialog)');
    const qtx = newClient();
    try {
        const list = await qtx.listCertificates();
        showCertificates(list.certificates);
        r.set('ok', 'OK', `${certificates.length} certificate(s) this site may see`);
        summary(certificates.length ? 'ok' : 'error',
            certificates.length ? 'Choose a certificate and a file.' : 'This site may see no certificate yet: press "Choose a certificate".');
    } catch (err) {
        r.set('error', err.name || 'Error', describe(err));
        summary('error', describe(err));
    } finally {
        qtx.closeSession().catch(() => {});
    }
}

// The native picker names this page's origin; the page learns the certificate
// only when the user picks it.
async function chooseCertificate() {
    $('steps').textContent = '';
    const r = row(1, 'Signer/SelectCertificate (pick a certificate in the desktop dialog)');
    r.set('running', 'waiting for the user');
    summary('running', 'Pick a certificate in the desktop dialog...');
    const qtx = newClient();
    try {
        const cert = await qtx.selectCertificate({ purpose: 'sign' });
        showCertificates([cert, ...certificates.filter((c) => c.id !== cert.id)], cert.id);
        r.set('ok', 'OK', `${describeCertificate(cert)}${cert.remembered ? ', this site may see it from now on' : ''}`);
        summary('ok', 'Choose a file and sign it.');
    } catch (err) {
        r.set('error', err.name || 'Error', describe(err));
        summary('error', describe(err));
    } finally {
        qtx.closeSession().catch(() => {});
    }
}

async function signFile() {
    $('steps').textContent = '';
    $('p7s').hidden = true;
    const file = $('file').files[0];
    const cert = certificates[$('cert').selectedIndex];
    if (!file || !cert) {
        summary('error', 'Choose a certificate and a file first.');
        return;
    }
    const digestAlgorithm = $('digestAlg').value;
    const signatureAlgorithm = $('sigAlg').value;
    const qtx = newClient();
    const rows = [row(1, `${digestAlgorithm} of ${file.name} (WebCrypto, in the page)`),
        row(2, 'Signer/Sign (confirm and type the PIN in the desktop dialog)'),
        row(3, 'Verify the signature with the returned certificate (WebCrypto)')];
    summary('running', 'Waiting for your consent in the desktop dialog...');
    try {
        rows[0].set('running', 'hashing');
        const data = new Uint8Array(await file.arrayBuffer());
        const digest = new Uint8Array(await crypto.subtle.digest(digestAlgorithm, data));
        const hex = [...digest].map((b) => b.toString(16).padStart(2, '0')).join('');
        rows[0].set('ok', 'OK', hex);
        rows[1].set('running', 'waiting for the user');
        const signed = await qtx.sign({ certId: cert.id, digest, digestAlgorithm, signatureAlgorithm, format: 'cms', documentName: file.name });
        rows[1].set('ok', 'OK', `CMS of ${signed.cms.length} bytes`);
        // The token signed the CMS signed attributes; they must carry this file's digest.
        const attrs = signed.signedAttributes;
        const hasDigest = attrs.length >= digest.length && [...Array(attrs.length - digest.length + 1).keys()]
            .some((i) => digest.every((b, j) => attrs[i + j] === b));
        const valid = hasDigest && await verifySignature({ certificate: signed.certificate, data: attrs,
            signature: signed.signature, signatureAlgorithm, digestAlgorithm });
        rows[2].set(valid ? 'ok' : 'error', valid ? 'valid' : 'INVALID', hasDigest ? '' : 'the signed attributes lack the digest');
        $('summary').dataset.verified = String(valid);
        const url = URL.createObjectURL(new Blob([signed.cms], { type: 'application/pkcs7-signature' }));
        $('p7s').href = url;
        $('p7s').download = `${file.name}.p7s`;
        $('p7s').hidden = false;
        summary(valid ? 'ok' : 'error', valid ? `Signed by ${cert.subjectCommonName}; the signature verifies. Download the .p7s with the link in the form.`
            : 'The signature does not verify.');
    } catch (err) {
        const failed = rows.find((r, i) => i >= 0 && !document.querySelectorAll('#steps tr')[i].cells[2].className.match(/ok/));
        (failed || rows[1]).set('error', err.name || 'Error', describe(err));
        summary('error', describe(err));
    } finally {
        qtx.closeSession().catch(() => {});
    }
}

// Several files under one consent: the desktop dialog lists each file with
// its digest, one PIN signs them all, and each .p7s is offered as it arrives.
// When every file is a PDF they go to the server whole and come back signed
// (PAdES), each listed in the dialog with its first page.
async function signBatch() {
    $('steps').textContent = '';
    $('batchLinks').textContent = '';
    const files = [...$('batchFiles').files];
    const cert = certificates[$('cert').selectedIndex];
    if (!files.length || !cert) {
        summary('error', 'Choose a certificate and some files first.');
        return;
    }
    const digestAlgorithm = $('digestAlg').value;
    const signatureAlgorithm = $('sigAlg').value;
    const qtx = newClient();
    const pdfs = files.every((f) => f.type === 'application/pdf' || /\.pdf$/i.test(f.name));
    const rows = files.map((f, i) => row(i + 1, pdfs ? `${f.name}: PDF to Signer/SignBatch`
        : `${f.name}: ${digestAlgorithm} in the page, then Signer/SignBatch`));
    summary('running', `Waiting for your consent to ${files.length} signatures in the desktop dialog...`);
    try {
        const documents = [];
        for (const [i, file] of files.entries()) {
            documents.push(pdfs ? file
                : { name: file.name, digest: new Uint8Array(await crypto.subtle.digest(digestAlgorithm, await file.arrayBuffer())) });
            rows[i].set('running', 'waiting for the user');
        }
        const offer = (items) => {
            for (const item of items) {
                if (item.error) {
                    rows[item.index].set('error', item.error, item.message);
                    continue;
                }
                const signed = pdfs ? item.pdf : item.cms;
                rows[item.index].set('ok', 'signed', `${pdfs ? 'PDF' : 'CMS'} of ${signed.length} bytes`);
                const link = document.createElement('a');
                link.href = URL.createObjectURL(new Blob([signed], { type: pdfs ? 'application/pdf' : 'application/pkcs7-signature' }));
                link.download = pdfs ? files[item.index].name.replace(/(\.pdf)?$/i, '-signed.pdf') : `${files[item.index].name}.p7s`;
                link.textContent = link.download;
                link.className = pdfs ? 'batch-pdf' : 'batch-p7s';
                $('batchLinks').append(link, ' ');
            }
        };
        const r = await qtx.signBatch({ certId: cert.id, documents, digestAlgorithm,
            signatureAlgorithm: pdfs && signatureAlgorithm === 'RSA-PSS' ? 'RSA-PKCS1' : signatureAlgorithm,
            format: pdfs ? 'pdf' : 'cms', onProgress: offer });
        for (const i of r.notSigned) rows[i].set('skipped', 'not signed', r.cancelled ? 'cancelled' : (r.stoppedBy?.message ?? ''));
        summary(r.signed.length === files.length ? 'ok' : 'error',
            `${r.signed.length} of ${files.length} files signed by ${cert.subjectCommonName}${r.cancelled ? ' (cancelled)' : ''}.`);
    } catch (err) {
        rows[0].set('error', err.name || 'Error', describe(err));
        summary('error', describe(err));
    } finally {
        qtx.closeSession().catch(() => {});
    }
}

// The PDF goes to the server whole: it prepares the signature itself, so the
// dialog shows the document that is signed, not a digest.
async function signPdfFile() {
    $('steps').textContent = '';
    $('pdfOut').hidden = true;
    const file = $('pdfFile').files[0];
    const cert = certificates[$('cert').selectedIndex];
    if (!file || !cert) {
        summary('error', 'Choose a certificate and a PDF first.');
        return;
    }
    const level = $('pdfLevel').value;
    const qtx = newClient();
    const r = row(1, `Signer/SignPdf ${level} (the desktop dialog shows the pages and the box; confirm with the PIN)`);
    r.set('running', 'waiting for the user');
    summary('running', 'Waiting for your consent in the desktop dialog...');
    try {
        const signed = await qtx.signPdf({ certId: cert.id, pdf: file, documentName: file.name, level, page: 'last',
            visible: $('pdfVisible').checked, rect: [330, 40, 220, 64], text: 'Signed on the demo page' });
        r.set('ok', 'OK', `${signed.pdf.length} bytes, field ${signed.fieldName}, ${signed.level}`);
        $('pdfOut').href = URL.createObjectURL(new Blob([signed.pdf], { type: 'application/pdf' }));
        $('pdfOut').download = file.name.replace(/\.pdf$/i, '') + '-signed.pdf';
        $('pdfOut').hidden = false;
        summary('ok', `Signed by ${cert.subjectCommonName}. Download the signed PDF with the link in the form.`);
    } catch (err) {
        r.set('error', err.name || 'Error', describe(err));
        summary('error', describe(err));
    } finally {
        qtx.closeSession().catch(() => {});
    }
}

$('signBatch').addEventListener('click', () => { signBatch(); });
$('listCerts').addEventListener('click', () => { listCertificates(); });
$('signPdf').addEventListener('click', () => { signPdfFile(); });
$('chooseCert').addEventListener('click', () => { chooseCertificate(); });
$('cert').addEventListener('change', fillAlgorithms);
$('signFile').addEventListener('click', () => { signFile(); });
$('run').addEventListener('click', () => { runSteps(); });
$('confirm').addEventListener('click', () => { askOnDesktop(); });
if (params.get('auto') === '1') runSteps();
