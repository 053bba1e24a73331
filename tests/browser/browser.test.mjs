// The client and the demo page in headless Chromium against the real server,
// over HTTPS trusted through the provisioned authority.
import { test, before, after, describe } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { join } from 'node:path';
import { artifactsDir, freePortRange } from './lib/env.mjs';
import { ServerInstall } from './lib/server.mjs';
import { setUp, tearDown, blankPage, inPage, recordNetwork } from './lib/fixture.mjs';

let f;
before(async () => { f = await setUp(); });
after(async () => { await tearDown(f); });

const sha256 = (text) => createHash('sha256').update(text, 'utf8').digest('hex');

describe('preflight and CORS', () => {
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
            const open = replies.find((x) => x.url.endsWith('/OPEN_SESSION'));
            assert.equal(open.headers['x-qtx-sessionid'], r.value.id);
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

    test('the classic script defines window.QtxClient with the same client', async () => {
        const page = await f.context.newPage();
        await page.goto(`${f.sites.second}/test/classic.html?port=${f.base}`);
        await page.waitForFunction(() => document.body.dataset.state !== 'running');
        assert.equal(await page.evaluate(() => document.body.dataset.state), 'done',
            await page.evaluate(() => document.body.textContent));
        assert.equal(await page.evaluate(() => document.body.dataset.version), (await f.server.post(f.server.port, 'SERVER_VERSION')).body);
        await page.close();
    });
});

describe('module call from OPEN_SESSION to GET_RESULT', () => {
    test('the demo page completes every step and shows the hash; screenshot kept', async () => {
        const text = 'Hello from headless Chromium';
        const page = await f.context.newPage();
        const net = await recordNetwork(f, page);
        await page.goto(`${f.sites.first}/demo/?port=${f.base}&auto=1&text=${encodeURIComponent(text)}`);
        await page.waitForFunction(() => ['done', 'error'].includes(document.getElementById('summary').dataset.state),
            null, { timeout: 60000 });
        const summary = await page.locator('#summary').textContent();
        const shot = join(artifactsDir, 'demo-after-call.png');
        await page.screenshot({ path: shot, fullPage: true });
        assert.equal(await page.locator('#summary').getAttribute('data-state'), 'done', summary);
        assert.equal(await page.locator('#summary').getAttribute('data-sha256'), sha256(text));
        assert.equal(await page.locator('td.ok').count(), 9);

        // The call went through the protocol: 202 for the start, then GET_RESULT
        // (sent to /Hasher with cmd=GET_RESULT) until 200.
        const start = net.all.find((x) => x.url.endsWith('/Hasher/Sha256') && x.method === 'POST');
        assert.equal(start.status, 202);
        const cmdId = start.headers['x-qtx-cmdid'];
        const polls = net.all.filter((x) => x.method === 'POST' && x.url.endsWith('/Hasher') && x.headers['x-qtx-cmdid'] === cmdId);
        assert.ok(polls.length >= 1);
        assert.equal(polls[polls.length - 1].status, 200);
        assert.ok(polls.slice(0, -1).every((x) => x.status === 202));
        await page.close();
    });
});

describe('typed errors from real replies', () => {
    test('418 and 419 surface as NoSessionError and NoResultError', async () => {
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

    test('400 and 404 surface as BadRequestError and NotFoundError', async () => {
        const page = await blankPage(f, f.sites.second);
        const r = await page.evaluate(async (port) => {
            const m = await import('/qtx-client.js');
            const qtx = new m.QtxClient({ port });
            const name = async (fn) => { try { await fn(); return 'no error'; } catch (e) { return `${e.name} ${e.status}`; } };
            await qtx.openSession();
            const out = {
                missingParam: await name(() => qtx.call('Hasher', 'Sha256', {})),
                unknownFunction: await name(() => qtx.call('Hasher', 'Md5', { data: 'x' })),
                unknownModule: await name(() => qtx.openSession({ module: 'NoSuchModule' })),
            };
            await qtx.closeSession().catch(() => {});
            return out;
        }, f.base);
        assert.deepEqual(r, { missingParam: 'BadRequestError 400', unknownFunction: 'NotFoundError 404',
            unknownModule: 'NotFoundError 404' });
        await page.close();
    });
});

describe('JSONP', () => {
    test('a cross-origin page cannot read JSONP replies; the client says so', async () => {
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
});

describe('server not reachable', () => {
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

    test('a server whose authority the browser does not trust is unreachable, with a trust hint', async (t) => {
        const base = await freePortRange(12);
        const other = new ServerInstall(base, { modules: false });
        try {
            await other.start();
            const page = await blankPage(f);
            const r = await inPage(page, async (m, { port }) => new m.QtxClient({ port }).serverVersion(), { port: base });
            assert.ok(r.classes.includes('ServerUnreachableError'), JSON.stringify(r));
            assert.match(r.hint, /qtx-provision --trust/);
            // The handshake with the untrusted server takes longer than a refused port.
            if (r.error === 'CertificateNotTrustedError')
                assert.equal(r.port, other.port);
            t.diagnostic(`untrusted server reported as ${r.error}`);
            await page.close();
        } finally {
            await other.stop();
            other.remove();
        }
    });
});

describe('GUI functions', () => {
    // Last of the file: the dialog stays open (nobody answers it) until the server stops.
    test('a second GUI call while a dialog is open is a ServiceUnavailableError; waiting has a deadline', async () => {
        const page = await blankPage(f);
        const r = await page.evaluate(async (port) => {
            const m = await import('/qtx-client.js');
            const polls = [];
            const qtx = new m.QtxClient({ port, onEvent: (e) => { if (e.status === 202) polls.push(e.path); } });
            const first = await qtx.start('ConfirmDialog', 'Confirm', { text: 'first' });
            const out = { first: first.status };
            try { await qtx.start('ConfirmDialog', 'Confirm', { text: 'second' }); out.second = 'no error'; } catch (e) {
                out.second = `${e.name} ${e.status} ${e instanceof m.ServiceUnavailableError} ${e.body}`;
            }
            polls.length = 0;
            const started = performance.now();
            try { await qtx.waitResult(first.cmdId, { module: 'ConfirmDialog', poll: { timeoutMs: 700 } }); out.wait = 'no error'; } catch (e) {
                out.wait = e.name;
            }
            out.waitedMs = performance.now() - started;
            out.polls = polls.length;
            return out;
        }, f.base);
        assert.equal(r.first, 202);
        assert.equal(r.second, 'ServiceUnavailableError 503 true The QTX server is busy performing another gui request. Try again later.');
        assert.equal(r.wait, 'ResultTimeoutError');
        assert.ok(r.waitedMs >= 650 && r.waitedMs < 3000, `waited ${r.waitedMs} ms`);
        // 25, 50, 100, 200, 400 ms back-off: a handful of polls, not a busy loop.
        assert.ok(r.polls >= 4 && r.polls <= 8, `${r.polls} polls`);
        await page.close();
    });
});
