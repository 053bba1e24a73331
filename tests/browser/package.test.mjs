// web/ as an npm package: what "npm pack" puts in the tarball, that the package
// resolves by its name to the ES module, and that its TypeScript declarations
// describe the module (a usage file type-checks; a wrong use does not).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { tmp } from './lib/harness.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const web = join(here, '..', '..', 'web');
const tsc = join(here, 'node_modules', '.bin', 'tsc');

function packInto(dir) {
    const [info] = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', dir], { cwd: web, encoding: 'utf8' }));
    // As a site installs it: with its pinned dependencies (from npm's cache when web/ has them).
    writeFileSync(join(dir, 'package.json'), JSON.stringify({ type: 'module' }));
    execFileSync('npm', ['install', '--prefer-offline', '--no-audit', '--no-fund', '--loglevel=error', join(dir, info.filename)],
        { cwd: dir, encoding: 'utf8' });
    return info;
}

test('npm pack: the module, the classic build, the validator, the declarations, the README and the licence, nothing else', () => {
    const dir = tmp('qtx-pack-');
    const info = packInto(dir);
    assert.equal(info.name, '@quorvex/qtx-client');
    assert.equal(JSON.parse(readFileSync(join(web, 'package.json'), 'utf8')).license, 'MIT');
    assert.deepEqual(info.files.map((f) => f.path).sort(),
        ['LICENSE', 'README.md', 'package.json', 'qtx-client.classic.js', 'qtx-client.d.ts', 'qtx-client.js',
            ...['certificate.js', 'errors.js', 'index.d.ts', 'index.js', 'ocsp.js'].map((f) => `validator/${f}`)]);
});

test('the installed package resolves to the ES module and the classic build', async () => {
    const dir = tmp('qtx-pack-');
    packInto(dir);
    writeFileSync(join(dir, 'use.mjs'), [
        "import QtxClient, { SigningCancelledError, verifySignature } from '@quorvex/qtx-client';",
        "import { createRequire } from 'node:module';",
        "import { AuthTokenValidator } from '@quorvex/qtx-client/validator';",
        "const classic = createRequire(import.meta.url).resolve('@quorvex/qtx-client/classic');",
        "console.log(JSON.stringify({ client: typeof QtxClient.prototype.sign, cancel: typeof SigningCancelledError,",
        "  verify: typeof verifySignature, validator: typeof AuthTokenValidator, classic }));", ''].join('\n'));
    const out = JSON.parse(execFileSync('node', [join(dir, 'use.mjs')], { cwd: dir, encoding: 'utf8' }));
    assert.deepEqual({ ...out, classic: out.classic.endsWith('qtx-client.classic.js') },
        { client: 'function', cancel: 'function', verify: 'function', validator: 'function', classic: true });
    // The classic build defines the same client on the global object.
    const g = {};
    new Function('globalThis', 'window', readFileSync(out.classic, 'utf8'))(g, g);
    assert.equal(typeof g.QtxClient.prototype.listCertificates, 'function');
    assert.equal(typeof g.QtxClient.PinIncorrectError, 'function');
});

test('the TypeScript declarations (page and server) accept the documented use and reject a wrong one', () => {
    const dir = tmp('qtx-pack-');
    packInto(dir);
    const config = { compilerOptions: { strict: true, noEmit: true, module: 'nodenext', moduleResolution: 'nodenext',
        target: 'es2022', lib: ['es2022', 'dom'], skipLibCheck: false, typeRoots: [join(here, 'node_modules', '@types')] },
        files: ['use.ts', 'server.ts'] };
    writeFileSync(join(dir, 'package.json'), JSON.stringify({ type: 'module' }));
    writeFileSync(join(dir, 'tsconfig.json'), JSON.stringify(config));
    const good = `import { QtxClient, PinIncorrectError, BatchTooLargeError, verifySignature, type CertificateDescription, type AuthToken } from '@quorvex/qtx-client';
export async function run(file: ArrayBuffer): Promise<boolean> {
    const qtx = new QtxClient({ port: 48460 });
    await qtx.connect();
    const cert: CertificateDescription = await qtx.selectCertificate({ purpose: 'sign' });
    const digest = await crypto.subtle.digest('SHA-256', file);
    try {
        const r = await qtx.sign({ certId: cert.id, digest, signatureAlgorithm: cert.key.type === 'EC' ? 'ECDSA' : 'RSA-PSS',
            format: 'cms', documentName: 'a.pdf' });
        return verifySignature({ certificate: r.certificate, data: r.signedAttributes!, signature: r.signature,
            signatureAlgorithm: 'ECDSA' });
    } catch (e) {
        if (e instanceof PinIncorrectError) return e.triesLeft === 'final';
        throw e;
    }
}
export async function logIn(qtx: QtxClient, nonce: string): Promise<AuthToken> {
    return qtx.authenticate(nonce);
}
export async function batch(qtx: QtxClient, certId: string, files: ArrayBuffer[]): Promise<number> {
    const documents = await Promise.all(files.map(async (f, i) => ({ name: \`f\${i}.txt\`, digest: await crypto.subtle.digest('SHA-256', f) })));
    try {
        const r = await qtx.signBatch({ certId, documents, signatureAlgorithm: 'RSA-PKCS1', format: 'cms', level: 'B-T',
            onProgress: (items, { done }) => items.forEach((i) => i.cms?.length ?? done) });
        const p = await qtx.signBatch({ certId, documents: [new File([files[0]], 'a.pdf'), new Blob([files[1]])],
            signatureAlgorithm: 'ECDSA', level: 'B-T', visible: true, rect: [300, 60, 240, 70] });
        return r.signed.length + r.items.filter((i) => i.error).length + (p.items[0].pdf?.length ?? 0);
    } catch (e) {
        if (e instanceof BatchTooLargeError) return -e.maxDocuments;
        throw e;
    }
}
`;
    const server = `import { AuthTokenValidator, CertificateRevokedError, type ValidationResult } from '@quorvex/qtx-client/validator';
export async function check(token: string, nonce: string | undefined, anchors: string): Promise<string> {
    const validator = new AuthTokenValidator({ origin: 'https://example.com', trustAnchors: anchors, ocsp: { required: false } });
    try {
        const r: ValidationResult = await validator.validate(token, nonce);
        return \`\${r.subject.commonName} \${r.certificate.subject} \${r.ocsp?.status}\`;
    } catch (e) {
        if (e instanceof CertificateRevokedError) return e.revokedAt?.toISOString() ?? e.code;
        throw e;
    }
}
`;
    writeFileSync(join(dir, 'use.ts'), good);
    writeFileSync(join(dir, 'server.ts'), server);
    execFileSync(tsc, ['-p', dir], { encoding: 'utf8' });
    writeFileSync(join(dir, 'use.ts'), good.replace("'RSA-PSS'", "'RSA-OAEP'"));
    assert.throws(() => execFileSync(tsc, ['-p', dir], { encoding: 'utf8' }), (e) => /RSA-OAEP/.test(e.stdout));
    writeFileSync(join(dir, 'use.ts'), good);
    writeFileSync(join(dir, 'server.ts'), server.replace('required: false', "required: 'no'"));
    assert.throws(() => execFileSync(tsc, ['-p', dir], { encoding: 'utf8' }), (e) => /server\.ts.*'string' is not assignable/s.test(e.stdout));
});
