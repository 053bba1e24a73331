// "qtx-provision --trust / --untrust": the authority goes into (and out of)
// every NSS database a desktop browser of the user reads, and the system store.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { freePortRange, missingPrerequisites } from './lib/env.mjs';
import { ServerInstall } from './lib/server.mjs';
import { nssCertificates, provisionTrust } from './lib/browser.mjs';

const NICK = 'Quorvex Crypto Provider Local CA';
let install;
let home;
let chromiumDb;
let firefoxDb;
let systemFile;

before(async () => {
    const missing = missingPrerequisites();
    if (missing.length) throw new Error(`missing: ${missing.join(', ')}`);
    install = new ServerInstall(await freePortRange(2), { modules: false });
    home = mkdtempSync(join(tmpdir(), 'qtx-trust-home-'));
    chromiumDb = join(home, '.pki', 'nssdb');
    // An existing Firefox profile; a second folder without a database is no profile.
    firefoxDb = join(home, '.mozilla', 'firefox', 'x1y2z3.default-esr');
    mkdirSync(firefoxDb, { recursive: true });
    mkdirSync(join(home, '.mozilla', 'firefox', 'Crash Reports'), { recursive: true });
    execFileSync('certutil', ['-N', '-d', `sql:${firefoxDb}`, '--empty-password']);
    systemFile = join(home, '.system-store', 'quorvex-local-ca.crt');
});
after(() => {
    rmSync(home, { recursive: true, force: true });
    install.remove();
});

const pemOf = (dir) => execFileSync('certutil', ['-L', '-d', `sql:${dir}`, '-n', NICK, '-a'], { encoding: 'utf8' }).replace(/\r\n/g, '\n').trim();
const changes = (report) => report.split('\n').filter((l) => /^Trust: (added|removed|replaced|wrote|created)/.test(l));

test('--trust creates the Chromium database, fills every profile and the system store, then keeps them', () => {
    const first = provisionTrust(install, home, ['--trust']);
    assert.match(first, /created the NSS database .*\.pki\/nssdb \(Chromium\)/);
    assert.match(first, /added the authority to .*\.pki\/nssdb \(Chromium\)/);
    assert.match(first, /added the authority to .*x1y2z3\.default-esr \(Firefox\)/);
    assert.doesNotMatch(first, /Crash Reports/);
    const ca = readFileSync(install.caFile, 'utf8').trim();
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

    const second = provisionTrust(install, home, ['--trust']);
    assert.deepEqual(changes(second), []);
    assert.equal((second.match(/Trust: kept/g) || []).length, process.getuid() === 0 ? 3 : 2);
});

test('a new authority (--force) replaces the old one in place', () => {
    const before = pemOf(chromiumDb);
    const report = provisionTrust(install, home, ['--force', '--trust']);
    assert.match(report, /replaced an older authority in .*\(Chromium\)/);
    assert.match(report, /replaced an older authority in .*\(Firefox\)/);
    const ca = readFileSync(install.caFile, 'utf8').trim();
    assert.notEqual(ca, before);
    for (const db of [chromiumDb, firefoxDb]) {
        assert.equal(pemOf(db), ca);
        assert.deepEqual(nssCertificates(db), { [NICK]: 'C,,' });
    }
    if (process.getuid() === 0) assert.equal(readFileSync(systemFile, 'utf8').trim(), ca);
});

test('--untrust removes it everywhere, provisions nothing, and a second run has nothing to do', () => {
    const certBefore = readFileSync(join(install.dir, 'certs', 'QTX-cert-server.pem'), 'utf8');
    const report = provisionTrust(install, home, ['--untrust']);
    assert.doesNotMatch(report, /Certificate:|Seed:/);
    assert.match(report, /removed the authority from .*\(Chromium\)/);
    assert.match(report, /removed the authority from .*\(Firefox\)/);
    for (const db of [chromiumDb, firefoxDb]) assert.deepEqual(nssCertificates(db), {});
    assert.equal(existsSync(systemFile), false);
    assert.equal(readFileSync(join(install.dir, 'certs', 'QTX-cert-server.pem'), 'utf8'), certBefore);

    const again = provisionTrust(install, home, ['--untrust']);
    assert.deepEqual(changes(again), []);
    assert.match(again, /not in .*\(Chromium\), nothing to remove/);
});

test('without certutil --trust fails and says which package brings it', () => {
    let error;
    try {
        provisionTrust(install, home, ['--trust'], { PATH: '/nonexistent' });
    } catch (e) {
        error = e;
    }
    assert.ok(error, 'qtx-provision failed');
    assert.equal(error.status, 1);
    assert.match(String(error.stderr), /libnss3-tools/);
});
