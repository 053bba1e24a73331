// Writes qtx-client.classic.js: qtx-client.js as a classic script that sets
// window.QtxClient to the client class, with every other export of the module
// as a property of it (QtxClient.NoSessionError, QtxClient.classifyUnreachable, ...).
//   node web/build-classic.mjs          writes the file
//   node web/build-classic.mjs --check  exits 1 when the file is out of date
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const source = join(here, 'qtx-client.js');
const target = join(here, 'qtx-client.classic.js');

export function classicFromModule(text) {
    const marker = text.indexOf('\n// ---- exports');
    if (marker < 0)
        throw new Error('qtx-client.js: exports marker not found');
    const body = text.slice(0, marker);
    const names = /export\s*{([^}]*)}/.exec(text.slice(marker));
    if (!names)
        throw new Error('qtx-client.js: export list not found');
    const list = names[1].split(',').map((s) => s.trim()).filter(Boolean);
    return '// Generated from qtx-client.js by build-classic.mjs: edit that file instead.\n'
        + '(function (global) {\n\'use strict\';\n' + body
        + `\nObject.assign(QtxClient, { ${list.filter((n) => n !== 'QtxClient').join(', ')} });\n`
        + 'global.QtxClient = QtxClient;\n'
        + '})(typeof globalThis !== \'undefined\' ? globalThis : window);\n';
}

const wanted = classicFromModule(readFileSync(source, 'utf8'));
if (process.argv.includes('--check')) {
    let current = '';
    try { current = readFileSync(target, 'utf8'); } catch (_) { /* missing */ }
    if (current !== wanted) {
        console.error('web/qtx-client.classic.js is out of date: run node web/build-classic.mjs');
        process.exit(1);
    }
} else {
    writeFileSync(target, wanted);
    console.log(`wrote ${target}`);
}
