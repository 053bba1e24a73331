// One real server, the two test sites and one headless Chromium that trusts the
// server's provisioned authority, shared by the tests of a file.
import { mkdirSync } from 'node:fs';
import { artifactsDir, freePortRange, missingPrerequisites } from './env.mjs';
import { ServerInstall } from './server.mjs';
import { startSites } from './static.mjs';
import { launch, makeHome, removeHome } from './browser.mjs';

export async function setUp() {
    const missing = missingPrerequisites();
    if (missing.length)
        throw new Error(`missing: ${missing.join(', ')} (build first; scripts/browser-test.sh installs chromium)`);
    const f = {};
    f.base = await freePortRange(12);
    f.server = new ServerInstall(f.base);
    await f.server.start();
    const sitePorts = await freePortRange(2);
    f.sites = await startSites(sitePorts, sitePorts + 1);
    f.home = makeHome(f.server);
    f.context = await launch(f.home);
    mkdirSync(artifactsDir, { recursive: true });
    return f;
}

export async function tearDown(f) {
    if (!f) return;
    await f.context?.close().catch(() => {});
    if (f.home) removeHome(f.home);
    await f.sites?.close();
    await f.server?.stop();
    if (f.server && !process.env.QTX_KEEP_SERVER_DIR) f.server.remove();
}

/** A new page of the given site showing the blank test page (the client is imported inside evaluate). */
export async function blankPage(f, site = f.sites.first) {
    const page = await f.context.newPage();
    await page.goto(`${site}/test/blank.html`);
    return page;
}

/**
 * Records what Chromium's network layer saw for the server, preflights and
 * replies the page was not allowed to read included:
 * [{ type, method, url, status, headers, corsError }] in request order.
 */
export async function recordNetwork(f, page) {
    const byId = new Map();
    const entry = (id) => {
        if (!byId.has(id)) byId.set(id, { type: '', method: '', url: '', status: 0, headers: {}, corsError: '' });
        return byId.get(id);
    };
    const lower = (h) => Object.fromEntries(Object.entries(h).map(([k, v]) => [k.toLowerCase(), v]));
    const cdp = await f.context.newCDPSession(page);
    await cdp.send('Network.enable');
    cdp.on('Network.requestWillBeSent', (e) => {
        Object.assign(entry(e.requestId), { type: e.type || '', method: e.request.method, url: e.request.url });
    });
    cdp.on('Network.responseReceived', (e) => {
        Object.assign(entry(e.requestId), { status: e.response.status, headers: lower(e.response.headers) });
    });
    // Also sent for replies that CORS withholds from the page.
    cdp.on('Network.responseReceivedExtraInfo', (e) => {
        const x = entry(e.requestId);
        x.status = x.status || e.statusCode;
        x.headers = { ...lower(e.headers), ...x.headers };
    });
    cdp.on('Network.loadingFailed', (e) => {
        if (e.corsErrorStatus) entry(e.requestId).corsError = e.corsErrorStatus.corsError;
    });
    return {
        get all() { return [...byId.values()].filter((x) => x.url.startsWith('https://127.0.0.1:')); },
    };
}

/**
 * Runs body(m, arg) in the page, m being the client module. Errors come back as
 * { error: name, status, isQtxError, classes: [names of the error classes it is an instance of] }.
 */
export function inPage(page, body, arg = {}) {
    return page.evaluate(async ({ source, arg }) => {
        const m = await import('/qtx-client.js');
        const fn = new Function('m', 'arg', `return (${source})(m, arg);`);
        try {
            return { value: await fn(m, arg) };
        } catch (e) {
            const classes = Object.keys(m).filter((k) => typeof m[k] === 'function' && /Error$/.test(k) && e instanceof m[k]);
            return { error: e.name, status: e.status, message: e.message, hint: e.hint || '', port: e.port,
                trustCheckUrl: e.trustCheckUrl || '', classes, isQtxError: e instanceof m.QtxError };
        }
    }, { source: body.toString(), arg });
}
