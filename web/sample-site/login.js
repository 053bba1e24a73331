// SPDX-License-Identifier: MIT (web/LICENSE)
// The sample site's page: nonce from the site, token from the agent, token to the site.
import { QtxClient, QtxError, ServerUnreachableError, SigningCancelledError, PinIncorrectError, PinLockedError,
    NoDisplayError, NoTokenError } from '/qtx-client.js';

const $ = (id) => document.getElementById(id);
const agentPort = Number(new URLSearchParams(location.search).get('port'))
    || Number(document.querySelector('meta[name="qtx-port"]').content) || 48460;

function status(text, state = 'idle') {
    $('status').textContent = text;
    $('status').dataset.state = state;
}

async function post(path, body) {
    const r = await fetch(path, { method: 'POST', credentials: 'same-origin', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body || {}) });
    const data = await r.json().catch(() => ({}));
    if (!r.ok)
        throw Object.assign(new Error(data.message || `${path}: ${r.status}`), { code: data.error || String(r.status) });
    return data;
}

const LABELS = [['commonName', 'Name'], ['givenName', 'Given name'], ['surname', 'Surname'], ['serialNumber', 'Personal code'],
    ['country', 'Country'], ['organization', 'Organisation'], ['issuer', 'Issued by'], ['certificateSerial', 'Certificate serial'],
    ['validUntil', 'Valid until'], ['algorithm', 'Algorithm'], ['revocation', 'Revocation check'], ['appVersion', 'Agent']];

function show(user) {
    $('anonymous').hidden = Boolean(user);
    $('signed-in').hidden = !user;
    if (!user)
        return;
    $('name').textContent = user.commonName || user.serialNumber;
    $('user').replaceChildren(...LABELS.filter(([k]) => user[k]).map(([k, label]) => {
        const tr = document.createElement('tr');
        const th = document.createElement('th');
        const td = document.createElement('td');
        th.textContent = label;
        td.textContent = user[k];
        td.id = `user-${k}`;
        tr.append(th, td);
        return tr;
    }));
}

function explain(e) {
    if (e instanceof SigningCancelledError) return 'You cancelled the log-in.';
    if (e instanceof PinIncorrectError) return `Wrong PIN${e.triesLeft ? ` (${e.triesLeft === 'final' ? 'one try' : 'few tries'} left)` : ''}. Try again.`;
    if (e instanceof PinLockedError) return 'The PIN of your card is locked.';
    if (e instanceof NoTokenError) return 'Insert your card or token and try again.';
    if (e instanceof NoDisplayError) return 'The agent cannot show its dialog on this desktop.';
    if (e instanceof ServerUnreachableError)
        return `The Quorvex Crypto Provider does not answer. ${e.hint || ''} ${e.trustCheckUrl ? `(trustCheckUrl: ${e.trustCheckUrl})` : ''}`;
    if (e instanceof QtxError) return `The agent refused: ${e.message}`;
    return `The site refused the log-in: ${e.code ? `${e.code}: ` : ''}${e.message}`;
}

async function login() {
    $('login').disabled = true;
    const qtx = new QtxClient({ port: agentPort });
    try {
        status('Looking for the Quorvex Crypto Provider...');
        await qtx.connect();                    // before the nonce: its few minutes start when the user can act
        status('Getting a challenge from the site...');
        const { nonce } = await post('/api/nonce');
        status('Pick your certificate and type your PIN in the Quorvex Crypto Provider window...');
        const token = await qtx.authenticate(nonce);
        status('Checking the log-in...');
        const { user } = await post('/api/login', { token });
        show(user);
        status('Logged in.', 'done');
    } catch (e) {
        status(explain(e), 'error');
    } finally {
        $('login').disabled = false;
        qtx.closeSession().catch(() => {});
    }
}

$('login').addEventListener('click', login);
$('logout').addEventListener('click', async () => {
    await post('/api/logout').catch(() => {});
    show(null);
    status('Logged out.');
});

fetch('/api/me', { credentials: 'same-origin' }).then((r) => r.json()).then(({ user }) => {
    show(user);
    if (!user && new URLSearchParams(location.search).has('auto'))
        login();
});
