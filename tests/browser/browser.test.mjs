// The client and the demo page in headless Chromium against the real server over HTTPS trusted through the
// provisioned authority; JSONP from Node; the browser trust that "qtx-provision --trust / --untrust" manages.
import { test, before, after, describe } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import * as qtx from '../../web/qtx-client.js';
import { artifactsDir, freePortRange, nssCertificates, provisionTrust, setUp, tearDown, blankPage, inPage, recordNetwork, tmp }
    from './lib/harness.mjs';

let f;
before(async () => { f = await setUp(); });
after(async () => { await tearDown(f); });

// Preflight and CORS from two origins.
for (const which of ['first', 'second']) {
    test(`a page on the ${which} origin discovers the server and reads the session header`, async () => {
        const site = f.sites[which];
        const page = await blankPage(f, site);
        const net = await recordNetwork(f, page);
        const r = await inPage(page, async (m, { port }) => {
            const qtx = new m.QtxClient({ port });
            const found = await qtx.connect();
            const id = await qtx.openSession({ vars: { lang: 'pl' } });
            const vars = await qtx.callJson('PublicInfo', 'SessionVariables');
            await qtx.closeSession();
            return { found, id, vars };
        }, { port: f.base });
        assert.equal(r.error, undefined, r.message);
        assert.equal(r.value.found, f.server.port);
        assert.match(r.value.id, /^\{[0-9a-f-]{36}\}$/);
        assert.equal(r.value.vars.variables.lang, 'pl');
        // Every reply named the page's own origin and exposed the two ids.
        const replies = net.all.filter((x) => x.method === 'POST' && x.status > 0); // refused probes have none
        assert.ok(replies.length >= 4);
        for (const x of replies) {
            assert.equal(x.headers['access-control-allow-origin'], site, x.url);
            assert.equal(x.headers['access-control-expose-headers'], 'X-QTX-sessionId, X-QTX-cmdId');
        }
        assert.equal(replies.find((x) => x.url.endsWith('/OPEN_SESSION')).headers['x-qtx-sessionid'], r.value.id);
        // The X-QTX headers of a module call made Chromium ask first; the server allowed them.
        const pre = net.all.find((x) => x.method === 'OPTIONS' && x.url.endsWith('/PublicInfo/SessionVariables'));
        assert.ok(pre, `preflight seen: ${JSON.stringify(net.all.map((x) => [x.method, x.url]))}`);
        assert.equal(pre.status, 200);
        assert.equal(pre.headers['access-control-allow-origin'], site);
        assert.match(pre.headers['access-control-allow-headers'], /X-QTX-cmdId, X-QTX-sessionId/);
        assert.equal(pre.headers['access-control-allow-methods'], 'POST, OPTIONS');
        await page.close();
    });
}

test('the demo page runs a module call from OPEN_SESSION to GET_RESULT and shows the hash; screenshot kept', async () => {
    const text = 'Hello from headless Chromium';
    const page = await f.context.newPage();
    const net = await recordNetwork(f, page);
    await page.goto(`${f.sites.first}/demo/?port=${f.base}&auto=1&text=${encodeURIComponent(text)}`);
    await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('summary').dataset.state), null, { timeout: 60000 });
    const summary = await page.locator('#summary').textContent();
    await page.screenshot({ path: join(artifactsDir, 'demo-after-call.png'), fullPage: true });
    assert.equal(await page.locator('#summary').getAttribute('data-state'), 'done', summary);
    assert.equal(await page.locator('#summary').getAttribute('data-sha256'), createHash('sha256').update(text, 'utf8').digest('hex'));
    assert.equal(await page.locator('td.ok').count(), 9);
    // 202 for the start, then GET_RESULT (sent to /Hasher with cmd=GET_RESULT) until 200.
    const start = net.all.find((x) => x.url.endsWith('/Hasher/Sha256') && x.method === 'POST');
    assert.equal(start.status, 202);
    const polls = net.all.filter((x) => x.method === 'POST' && x.url.endsWith('/Hasher') && x.headers['x-qtx-cmdid'] === start.headers['x-qtx-cmdid']);
    assert.ok(polls.length >= 1);
    assert.equal(polls[polls.length - 1].status, 200);
    assert.ok(polls.slice(0, -1).every((x) => x.status === 202));
    await page.close();
});

test('418 and 419 from real replies surface as NoSessionError and NoResultError', async () => {
    const page = await blankPage(f);
    const r = await page.evaluate(async (port) => {
        const m = await import('/qtx-client.js');
        const qtx = new m.QtxClient({ port });
        const out = {};
        const grab = async (key, fn) => {
            try { await fn(); out[key] = 'no error'; } catch (e) {
                out[key] = { name: e.name, status: e.status, body: e.body, noSession: e instanceof m.NoSessionError,
                    noResult: e instanceof m.NoResultError, qtx: e instanceof m.QtxError };
            }
        };
        await qtx.openSession();
        const job = await qtx.start('Hasher', 'Sha256', { data: 'x' });
        await qtx.waitResult(job.cmdId);
        await grab('resultTwice', () => qtx.getResult(job.cmdId));
        await grab('unknownCmd', () => qtx.getResult('1234567890123'));
        const old = qtx.sessionId;
        await qtx.closeSession();
        qtx.sessionId = old;
        await grab('aliveAfterClose', () => qtx.keepAlive());
        await grab('closeTwice', () => qtx.closeSession());
        qtx.sessionId = old;
        await grab('moduleAfterClose', () => qtx.call('Hasher', 'Sha256', { data: 'x' }));
        return out;
    }, f.base);
    for (const key of ['resultTwice', 'unknownCmd'])
        assert.deepEqual(r[key], { name: 'NoResultError', status: 419, body: 'There is no result for given parameters.',
            noSession: false, noResult: true, qtx: true }, key);
    for (const key of ['aliveAfterClose', 'closeTwice', 'moduleAfterClose'])
        assert.deepEqual(r[key], { name: 'NoSessionError', status: 418, body: "Session with provided ID don't exist.",
            noSession: true, noResult: false, qtx: true }, key);
    await page.close();
});

test('JSONP: a cross-origin page cannot read the replies; the client says so', async () => {
    const page = await blankPage(f);
    const net = await recordNetwork(f, page);
    const r = await inPage(page, async (m, { port }) => {
        const qtx = new m.QtxClient({ port, jsonp: true });
        await qtx.connect(); // discovery always uses CORS
        return qtx.serverVersion();
    }, { port: f.base });
    assert.equal(r.error, 'JsonpBlockedError', JSON.stringify(r));
    assert.ok(r.classes.includes('QtxError'));
    assert.match(r.hint, /CORS/);
    // What the browser withheld: callback(body) as a script, without CORS headers.
    const reply = net.all.find((x) => x.method === 'POST' && x.url.endsWith('/SERVER_VERSION')
        && x.headers['content-type'] === 'application/javascript');
    assert.ok(reply, `JSONP reply seen by the browser: ${JSON.stringify(net.all)}`);
    assert.equal(reply.status, 200);
    assert.equal(reply.headers['access-control-allow-origin'], undefined);
    assert.equal(reply.corsError, 'MissingAllowOriginHeader');
    assert.ok(reply.headers['x-qtx-cmdid']);
    await page.close();
});

// From Node no CORS applies. KeepAlive is the module every local account may call, root included.
test('JSONP from Node: the reply is exactly callback(body); session, module call and result are unwrapped', async () => {
    const raw = await f.server.post(f.server.port, 'SERVER_VERSION', { body: 'callback=myFn' });
    assert.equal(raw.status, 200);
    assert.equal(raw.body, `myFn(${(await f.server.post(f.server.port, 'SERVER_VERSION')).body})`);
    assert.equal(raw.headers['content-type'], 'application/javascript');
    assert.equal(raw.headers['access-control-allow-origin'], undefined);
    const c = new qtx.QtxClient({ port: f.base, fetch: f.server.fetch(), jsonp: true });
    await c.connect();
    const id = await c.openSession({ vars: { lang: 'de' } });
    assert.match(id, /^\{[0-9a-f-]{36}\}$/);
    const job = await c.start('KeepAlive', 'Ping');
    assert.equal(JSON.parse(await c.waitResult(job.cmdId, { module: 'KeepAlive' })).alive, true);
    await assert.rejects(c.getResult(job.cmdId, 'KeepAlive'), (e) => e instanceof qtx.NoResultError && e.status === 419);
    await c.closeSession();
    await assert.rejects(c.command('ALIVE', {}, { sessionId: id }), qtx.NoSessionError);
});

test('no server on the ports: ServerNotRunningError with a hint', async () => {
    const empty = await freePortRange(12);
    const page = await blankPage(f);
    const started = Date.now();
    const r = await inPage(page, async (m, { port }) => new m.QtxClient({ port }).serverVersion(), { port: empty });
    assert.equal(r.error, 'ServerNotRunningError', JSON.stringify(r));
    assert.ok(r.classes.includes('ServerUnreachableError'));
    assert.match(r.hint, /Start the server/);
    assert.equal(r.trustCheckUrl, `https://127.0.0.1:${empty + 1}/SERVER_VERSION`);
    assert.ok(Date.now() - started < 15000);
    await page.close();
});

describe('qtx-provision --trust / --untrust in every NSS database of a HOME and the system store', () => {
    const NICK = 'Quorvex Crypto Provider Local CA';
    const home = tmp('qtx-trust-home-');
    const chromiumDb = join(home, '.pki', 'nssdb');
    // An existing Firefox profile; a second folder without a database is no profile.
    const firefoxDb = join(home, '.mozilla', 'firefox', 'x1y2z3.default-esr');
    mkdirSync(firefoxDb, { recursive: true });
    mkdirSync(join(home, '.mozilla', 'firefox', 'Crash Reports'));
    execFileSync('certutil', ['-N', '-d', `sql:${firefoxDb}`, '--empty-password']);
    const systemFile = join(home, '.system-store', 'quorvex-local-ca.crt');
    after(() => rmSync(home, { recursive: true, force: true }));
    const pemOf = (dir) => execFileSync('certutil', ['-L', '-d', `sql:${dir}`, '-n', NICK, '-a'], { encoding: 'utf8' }).replace(/\r\n/g, '\n').trim();
    const changes = (report) => report.split('\n').filter((l) => /^Trust: (added|removed|replaced|wrote|created)/.test(l));

    test('--trust creates the Chromium database, fills every profile and the system store; a second run keeps them', () => {
        const first = provisionTrust(f.server, home, ['--trust']);
        const ca = f.server.ca.toString().trim();
        assert.match(first, /created the NSS database .*\.pki\/nssdb \(Chromium\)/);
        assert.match(first, /added the authority to .*\.pki\/nssdb \(Chromium\)/);
        assert.match(first, /added the authority to .*x1y2z3\.default-esr \(Firefox\)/);
        assert.doesNotMatch(first, /Crash Reports/);
        for (const db of [chromiumDb, firefoxDb]) {
            assert.deepEqual(nssCertificates(db), { [NICK]: 'C,,' }, db);
            assert.equal(pemOf(db), ca);
        }
        if (process.getuid() === 0) {
            assert.equal(readFileSync(systemFile, 'utf8').trim(), ca);
            assert.match(first, /Trust: ran \/bin\/true/);
        } else {
            assert.match(first, /system store left alone/);
        }
        const second = provisionTrust(f.server, home, ['--trust']);
        assert.deepEqual(changes(second), []);
        assert.equal((second.match(/Trust: kept/g) || []).length, process.getuid() === 0 ? 3 : 2);
    });

    test('--untrust removes it everywhere, provisions nothing; a second run has nothing to do', () => {
        const certFile = join(f.server.dir, 'config', 'Quorvex', 'QuorvexCryptoProvider', 'certs', 'QTX-cert-server.pem');
        const certBefore = readFileSync(certFile, 'utf8');
        const report = provisionTrust(f.server, home, ['--untrust']);
        assert.doesNotMatch(report, /Certificate:|Secret:/);
        assert.match(report, /removed the authority from .*\(Chromium\)/);
        assert.match(report, /removed the authority from .*\(Firefox\)/);
        for (const db of [chromiumDb, firefoxDb]) assert.deepEqual(nssCertificates(db), {});
        assert.equal(existsSync(systemFile), false);
        assert.equal(readFileSync(certFile, 'utf8'), certBefore);
        const again = provisionTrust(f.server, home, ['--untrust']);
        assert.deepEqual(changes(again), []);
        assert.match(again, /not in .*\(Chromium\), nothing to remove/);
    });
});
