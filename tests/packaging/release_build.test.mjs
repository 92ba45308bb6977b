// The release build takes the publisher's key from the configure line and refuses to
// start without one (or with the test key, whose private half is in this repository).
// Configure runs in a temporary folder: the key is checked before anything is compiled.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const ROOT = resolve(import.meta.dirname, '..', '..');
const TEST_KEY = 'cb5cca1a2a455eb908d628036332b5f248bdd55164c30c233394eaceff74918b';
const KEY = 'a1'.repeat(32);

/** cmake's configure of the tree in a new folder: { code, text, dir }. */
function configure(args) {
  const dir = mkdtempSync(join(tmpdir(), 'kelvora-release-'));
  const r = spawnSync('nice', ['-n', '5', 'cmake', '-S', ROOT, '-B', dir, ...args], { encoding: 'utf8', timeout: 300000 });
  return { code: r.status, text: `${r.stdout}${r.stderr}`, dir };
}

test('a release configure without a usable publisher key stops with what to do', () => {
  const cases = [
    { name: 'no key', args: ['-DCMAKE_BUILD_TYPE=Release'], message: /Una compilación Release necesita la llave pública de las actualizaciones: -DKELVORA_UPDATE_KEY=/ },
    { name: 'no key, size build', args: ['-DCMAKE_BUILD_TYPE=MinSizeRel'], message: /Una compilación MinSizeRel necesita la llave pública/ },
    { name: 'the test key', args: ['-DCMAKE_BUILD_TYPE=Release', `-DKELVORA_UPDATE_KEY=${TEST_KEY}`], message: /es la llave de prueba/ },
    { name: 'a key too short', args: ['-DCMAKE_BUILD_TYPE=Release', `-DKELVORA_UPDATE_KEY=${KEY.slice(2)}`], message: /debe tener 64 caracteres hexadecimales/ },
    { name: 'not hexadecimal', args: ['-DCMAKE_BUILD_TYPE=Release', `-DKELVORA_UPDATE_KEY=${KEY.slice(2)}zz`], message: /debe tener 64 caracteres hexadecimales/ },
  ];
  for (const c of cases) {
    const r = configure(c.args);
    try {
      assert.notEqual(r.code, 0, c.name);
      assert.match(r.text.replace(/\s+/g, ' '), c.message, `${c.name}: ${r.text}`);
    } finally {
      rmSync(r.dir, { recursive: true, force: true });
    }
  }
});

test('the key of the configure line is the one the programs carry', () => {
  // Upper case as some tools print it; the build writes it in lower case.
  const r = configure(['-DCMAKE_BUILD_TYPE=Release', `-DKELVORA_UPDATE_KEY=${KEY.toUpperCase()}`]);
  try {
    assert.equal(r.code, 0, r.text);
    assert.match(readFileSync(join(r.dir, 'generated', 'update_key.cpp'), 'utf8'), new RegExp(`make_build_record\\("${KEY}"\\)`));
  } finally {
    rmSync(r.dir, { recursive: true, force: true });
  }
});
