// Chromium's local network access: a page that Chromium takes for a public site
// (--ip-address-space-overrides) reaches the loopback server only with the
// permission; denied, the client says so with LocalNetworkAccessDeniedError.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { giveToAccount, setUp, tearDown, recordNetwork } from './lib/harness.mjs';

let f;
let context;
before(async () => {
    f = await setUp();
    // The second site (http://127.0.0.1:<port>) counts as public for this browser.
    const site = new URL(f.sites.second);
    const profile = join(f.home, 'profile-public');
    mkdirSync(profile);
    giveToAccount(profile);
    context = await chromium.launchPersistentContext(profile, { executablePath: join(f.home, 'chromium'), headless: true,
        env: { ...process.env, HOME: f.home },
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
            `--ip-address-space-overrides=${site.hostname}:${site.port}=public`] });
});
after(async () => { await context?.close().catch(() => {}); await tearDown(f); });

async function connectFrom(page) {
    return page.evaluate(async (port) => {
        const m = await import('/qtx-client.js');
        const qtx = new m.QtxClient({ port, scanCount: 2 });
        try {
            return { port: await qtx.connect(), version: await qtx.serverVersion() };
        } catch (e) {
            return { error: e.name, message: e.message, hint: e.hint };
        }
    }, f.base);
}

test('denied: LocalNetworkAccessDeniedError; granted: the page reaches the server', async () => {
    const page = await context.newPage();
    await page.goto(`${f.sites.second}/test/blank.html`);
    const cdp = await context.newCDPSession(page);
    const states = {};
    for (const name of ['loopback-network', 'local-network-access', 'local-network']) {
        states[name] = await cdp.send('Browser.setPermission', { permission: { name }, setting: 'denied', origin: f.sites.second })
            .then(() => 'set', (e) => e.message);
    }
    const denied = await connectFrom(page);
    assert.equal(denied.error, 'LocalNetworkAccessDeniedError', JSON.stringify({ denied, states }));

    for (const name of Object.keys(states).filter((n) => states[n] === 'set'))
        await cdp.send('Browser.setPermission', { permission: { name }, setting: 'granted', origin: f.sites.second });
    const net = await recordNetwork({ context }, page);
    const granted = await connectFrom(page);
    assert.equal(granted.error, undefined, JSON.stringify(granted));
    assert.equal(granted.port, f.server.port);
    // Chromium 156 asks no preflight for these simple requests (the permission decides);
    // where one is sent, the server agrees.
    for (const x of net.all.filter((r) => r.method === 'OPTIONS'))
        assert.equal(x.status, 200);
    await page.close();
});
