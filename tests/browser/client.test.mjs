// The client outside a page: its pure parts, and JSONP against the real server
// from Node, where no CORS applies.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { join } from 'node:path';
import * as qtx from '../../web/qtx-client.js';
import { freePortRange, missingPrerequisites, webDir } from './lib/env.mjs';
import { ServerInstall } from './lib/server.mjs';
import { fetchTrusting } from './lib/nodefetch.mjs';

describe('pure parts', () => {
    test('polling back-off doubles from the first delay and stays at the cap', () => {
        const it = qtx.backoffDelays({ initialMs: 25, factor: 2, maxMs: 300 });
        assert.deepEqual(Array.from({ length: 7 }, () => it.next().value), [25, 50, 100, 200, 300, 300, 300]);
    });

    test('command ids have the braced lower-case form the server keeps as sent', () => {
        const ids = new Set(Array.from({ length: 50 }, () => qtx.newCommandId()));
        assert.equal(ids.size, 50);
        for (const id of ids)
            assert.match(id, /^\{[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\}$/);
    });

    test('session variables become the JSON array of {key, value} that OPEN_SESSION reads', () => {
        assert.deepEqual(JSON.parse(qtx.sessionVarsParam({ lang: 'pl', n: 3 })), [{ key: 'lang', value: 'pl' }, { key: 'n', value: 3 }]);
        assert.deepEqual(JSON.parse(qtx.sessionVarsParam([{ key: 7, value: true, extra: 1 }])), [{ key: '7', value: true }]);
    });

    test('JSONP unwrapping takes exactly name( ... ) and nothing else', () => {
        assert.equal(qtx.unwrapJsonp('cb({"a":1})', 'cb'), '{"a":1}');
        assert.equal(qtx.unwrapJsonp('cb()', 'cb'), '');
        assert.equal(qtx.unwrapJsonp('cb2(x)', 'cb'), null);
        assert.equal(qtx.unwrapJsonp('cb(x);', 'cb'), null);
    });

    test('only a port clearly slower than the refused ones is taken for a rejected certificate', () => {
        const fast = [2, 1.5, 1.8, 2.2, 1.1, 1.9].map((ms, i) => ({ port: 100 + i, ms }));
        assert.equal(qtx.classifyUnreachable(fast), 0);
        assert.equal(qtx.classifyUnreachable([...fast, { port: 7, ms: 16 }]), 7);
        // Uniformly slow (a busy machine): nothing stands out.
        assert.equal(qtx.classifyUnreachable(fast.map((f) => ({ ...f, ms: f.ms * 10 }))), 0);
        // A bit slower is not enough, and a tiny absolute difference is noise.
        assert.equal(qtx.classifyUnreachable([...fast, { port: 7, ms: 5 }]), 0);
        assert.equal(qtx.classifyUnreachable([{ port: 1, ms: 0.2 }, { port: 2, ms: 0.2 }, { port: 3, ms: 3 }]), 0);
    });

    test('the classic script is generated from the current module', () => {
        execFileSync(process.execPath, [join(webDir, 'build-classic.mjs'), '--check']);
    });
});

describe('discovery and results with a scripted server', () => {
    // Replies by port and path; records every request.
    function scripted(routes) {
        const seen = [];
        const fetch = async (url, init) => {
            const u = new URL(url);
            seen.push(`${u.port}${u.pathname}`);
            const r = routes[`${u.port}${u.pathname}`];
            if (!r) throw new TypeError('Failed to fetch');
            const [status, body] = typeof r === 'function' ? r(init) : r;
            return { status, statusText: '', headers: { get: () => null }, text: async () => body };
        };
        return { fetch, seen };
    }

    test('the dispatcher names the user port; nothing else is scanned', async () => {
        const s = scripted({ '40000/GET_USER_SERVER_PORT': [200, '40007'], '40007/SERVER_VERSION': [200, '3.0'] });
        const c = new qtx.QtxClient({ port: 40000, fetch: s.fetch });
        assert.equal(await c.connect(), 40007);
        assert.deepEqual(s.seen, ['40000/GET_USER_SERVER_PORT', '40007/SERVER_VERSION']);
    });

    test('without a dispatcher the ports after the configured one come first, the configured one last', async () => {
        const s = scripted({ '40000/SERVER_VERSION': [200, '3.0'], '40003/SERVER_VERSION': [200, '3.0'] });
        const c = new qtx.QtxClient({ port: 40000, scanCount: 5, fetch: s.fetch });
        assert.equal(await c.connect(), 40003);
        const only = new qtx.QtxClient({ port: 40000, scanCount: 2, fetch: s.fetch });
        assert.equal(await only.connect(), 40000);
    });

    test('a module that threw ("500|text") is a ModuleFailedError; polling stops at the deadline', async () => {
        let polls = 0;
        const s = scripted({
            '40001/M/f': [202, ''],
            '40001/M/g': [202, ''],
            '40001/GET_RESULT': [200, '500|boom'],
            // Polls of a started job go to the module's path with cmd=GET_RESULT.
            '40001/M': (init) => (new URLSearchParams(init.body).get('cmd') === 'GET_RESULT' ? (++polls, [202, '']) : [400, '']),
        });
        const c = new qtx.QtxClient({ serverPort: 40001, fetch: s.fetch, poll: { initialMs: 10, maxMs: 40, timeoutMs: 250 } });
        await assert.rejects(c.waitResult('bad'), (e) => e instanceof qtx.ModuleFailedError && e instanceof qtx.InternalServerError
            && e.status === 500 && /boom/.test(e.message));
        const started = Date.now();
        await assert.rejects(c.call('M', 'g'), qtx.ResultTimeoutError);
        assert.ok(Date.now() - started < 1000);
        assert.ok(polls >= 4 && polls <= 12, `polls=${polls}`);
    });
});

describe('against the real server from Node', () => {
    let server;
    let client;
    before(async () => {
        const missing = missingPrerequisites();
        if (missing.length) throw new Error(`missing: ${missing.join(', ')}`);
        server = new ServerInstall(await freePortRange(12));
        await server.start();
        client = (options = {}) => new qtx.QtxClient({ port: server.basePort, fetch: fetchTrusting(server.ca), ...options });
    });
    after(async () => {
        await server?.stop();
        server?.remove();
    });

    // KeepAlive is the module every local account may call, root included.
    test('JSONP: session, module call and result are unwrapped from callback(body)', async () => {
        const c = client({ jsonp: true });
        await c.connect();
        const id = await c.openSession({ vars: { lang: 'de' } });
        assert.match(id, /^\{[0-9a-f-]{36}\}$/);
        const job = await c.start('KeepAlive', 'Ping');
        const ping = JSON.parse(await c.waitResult(job.cmdId, { module: 'KeepAlive' }));
        assert.equal(ping.alive, true);
        await assert.rejects(c.getResult(job.cmdId, 'KeepAlive'), (e) => e instanceof qtx.NoResultError && e.status === 419);
        await c.closeSession();
        await assert.rejects(c.command('ALIVE', {}, { sessionId: id }), qtx.NoSessionError);
    });

    test('the raw JSONP reply is exactly callback(body) as a script', async () => {
        const r = await server.post(server.port, 'SERVER_VERSION', { body: 'callback=myFn' });
        const version = (await server.post(server.port, 'SERVER_VERSION')).body;
        assert.equal(r.status, 200);
        assert.equal(r.body, `myFn(${version})`);
        assert.equal(r.headers['content-type'], 'application/javascript');
        assert.equal(r.headers['access-control-allow-origin'], undefined);
    });

    test('a root client may only use the system modules: ForbiddenError for the others', { skip: process.getuid() !== 0 && 'needs root' }, async () => {
        // Without a session the server opens one and loads the module, then refuses.
        const c = client();
        await assert.rejects(c.call('Hasher', 'Sha256', { data: 'x' }),
            (e) => e instanceof qtx.ForbiddenError && e.status === 403 && e.command === 'Hasher/Sha256');
        assert.match(c.sessionId, /^\{/);
        // The same client may use KeepAlive, polling through the module's path.
        assert.equal(JSON.parse(await c.call('KeepAlive', 'Ping')).alive, true);
        await c.closeSession();
    });
});
