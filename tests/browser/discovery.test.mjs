// Discovery in qtx-client.js when another account holds a port first: its server
// presents a certificate of that account's authority, which this user's browser
// rejects, and fetch() fails with a TypeError as for a closed port; or its socket
// accepts and stays silent. The client must take that port as "not here" and go
// on, also when the port is the dispatcher's or the one the dispatcher named,
// within one probe time-out. No browser needed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { QtxClient } from '../../web/qtx-client.js';

const BASE = 48460;
const VERSION = '3.0.16.0';

/**
 * A fetch as a browser behaves: ports in `rejected` fail the handshake, ports
 * in `stalled` accept and never answer (until the request is aborted), `own`
 * is the user's instance.
 */
function browserFetch({ rejected, own, dispatcherAnswer = 0, stalled = [] }) {
    const calls = [];
    const fetch = async (url, { signal } = {}) => {
        const { port, pathname } = new URL(url);
        calls.push(`${port}${pathname}`);
        const p = Number(port);
        if (stalled.includes(p))
            await new Promise((_, reject) => signal.addEventListener('abort', () => reject(new DOMException('aborted', 'AbortError'))));
        if (rejected.includes(p)) throw new TypeError('Failed to fetch');
        if (p === BASE && pathname === '/GET_USER_SERVER_PORT' && dispatcherAnswer)
            return new Response(String(dispatcherAnswer), { status: 200 });
        if (p === own && pathname === '/SERVER_VERSION') return new Response(VERSION, { status: 200 });
        throw new TypeError('Failed to fetch'); // nothing listens
    };
    return { fetch, calls };
}

const rows = [
    { name: 'another account on the dispatcher port and on the first user port',
        rejected: [BASE, BASE + 1], own: BASE + 2, expect: BASE + 2 },
    { name: 'another account on every port below the user\'s',
        rejected: [BASE, BASE + 1, BASE + 2, BASE + 3], own: BASE + 4, expect: BASE + 4 },
    // A dispatcher this browser trusts names a port that another account holds now.
    { name: 'the dispatcher names a port whose certificate is rejected',
        rejected: [BASE + 1], own: BASE + 3, dispatcherAnswer: BASE + 1, expect: BASE + 3 },
    // Another account's sockets that accept and stay silent, with the dispatcher
    // naming the user's port: it is not probed past them. (Without the
    // dispatcher, squatters.test.mjs drives the same sockets in Chromium.)
    { name: 'silent sockets on five user ports, the dispatcher answers',
        rejected: [], stalled: [1, 2, 3, 4, 5].map((i) => BASE + i), own: BASE + 6, dispatcherAnswer: BASE + 6,
        expect: BASE + 6, maxMs: 200 },
    // The user's instance beyond the ports probed: only the dispatcher can name it.
    { name: 'the dispatcher names a port beyond the ten probed',
        rejected: [], stalled: [], own: BASE + 11, dispatcherAnswer: BASE + 11, expect: BASE + 11, maxMs: 200 },
];

for (const row of rows) {
    test(`discovery skips a rejected certificate: ${row.name}`, async () => {
        const { fetch, calls } = browserFetch(row);
        const client = new QtxClient({ port: BASE, fetch });
        const started = Date.now();
        assert.equal(await client.connect(), row.expect);
        assert.ok(Date.now() - started < (row.maxMs ?? 5000), `${Date.now() - started} ms`);
        assert.equal(client.port, row.expect);
        // Every rejected port was tried on the way, and only probes went there.
        for (const p of row.rejected)
            assert.ok(calls.some((c) => c.startsWith(`${p}/`)), calls.join(' '));
        assert.ok(calls.every((c) => /\/(SERVER_VERSION|GET_USER_SERVER_PORT)$/.test(c)), calls.join(' '));
    });
}

test('only rejected ports: the client reports it found no server of its own', async () => {
    const { fetch } = browserFetch({ rejected: [BASE, BASE + 1, BASE + 2], own: 0 });
    const client = new QtxClient({ port: BASE, scanCount: 2, fetch });
    await assert.rejects(client.connect(), (e) => e.name !== 'TypeError' && e.ports?.length === 3);
    assert.equal(client.port, 0);
});
