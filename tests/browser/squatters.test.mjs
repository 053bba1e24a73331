// Another account that listens first on the user ports, with sockets that
// accept and stay silent, must not stall a page: in Chromium the client finds
// the user's instance past them within one probe time-out, with and without a
// silent socket on the dispatcher's port as well.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { setUp, tearDown, blankPage, inPage, startSquatters } from './lib/harness.mjs';

let f;
let squatters;
before(async () => {
    // Taken before the server starts, so that it listens past them.
    f = await setUp({ prepare: async (server) => {
        squatters = await startSquatters([1, 2, 3, 4, 5].map((i) => server.basePort + i));
    } });
});
after(async () => { await squatters?.close(); await tearDown(f); });

for (const row of [
    { name: 'silent sockets on the five user ports below the instance', dispatcher: false },
    { name: 'and on the dispatcher port', dispatcher: true },
]) {
    test(`discovery in Chromium costs under a second: ${row.name}`, async () => {
        assert.equal(f.server.port, f.base + 6);
        const extra = row.dispatcher ? await startSquatters([f.base]) : null;
        try {
            const page = await blankPage(f);
            const r = await inPage(page, async (m, { port }) => {
                const started = performance.now();
                const found = await new m.QtxClient({ port }).connect();
                return { found, ms: performance.now() - started };
            }, { port: f.base });
            assert.equal(r.error, undefined, r.message);
            assert.equal(r.value.found, f.server.port);
            assert.ok(r.value.ms < 1000, `${Math.round(r.value.ms)} ms`);
            console.log(`# discovery past ${row.dispatcher ? 6 : 5} silent ports: ${Math.round(r.value.ms)} ms`);
            await page.close();
        } finally {
            await extra?.close();
        }
    });
}
