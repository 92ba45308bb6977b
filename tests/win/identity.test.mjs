// The identity of Kelvora.exe under Wine: the password sealed with DPAPI for the user of
// the prefix, read back by the next start, and a new one when the seal can't be opened.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { WineKelvora, dataDir, tempHome, wineMissing } from '../lib/wine.mjs';

const skip = wineMissing();

// A sealed blob as the file holds it. (Windows' blobs begin with the DPAPI provider's
// GUID, Wine's with a marker of its own, so the test doesn't look inside.)
const SEALED = /^([0-9a-f]{2}){16,}$/;
const hex = (text) => Buffer.from(text, 'utf8').toString('hex');

function identityFile(home) {
  return JSON.parse(readFileSync(join(dataDir(home), 'identidad.json'), 'utf8'));
}

/**
 * Starts Kelvora.exe on home, runs fn with it, then ends it with /api/salir, which also
 * removes instancia.json: a stale one would point the next start's helper at a dead port.
 */
async function withKelvora(home, fn) {
  const k = new WineKelvora({ home });
  try {
    await k.start();
    const result = await fn(k);
    await k.post('/api/salir');
    assert.equal(await k.exited, 0);
    return result;
  } finally {
    await k.stop();
  }
}

const identity = (k) => k.post('/api/identidad').then((r) => r.json);
const idLines = (k) => k.log().split('\n').filter((l) => l.includes(' [ID] '));

test('the password is sealed with DPAPI and opened again by the next start', { skip }, async () => {
  const home = tempHome();
  try {
    const first = await withKelvora(home, async (k) => {
      const me = await identity(k);
      assert.match(me.id, /^[1-9]\d{8}$/);
      assert.match(me.llave, /^[0-9a-f]{64}$/);
      assert.match(me.clave, /^[ABCDEFGHJKMNPQRSTUVWXYZ2-9]{8}$/);
      return me;
    });
    const file = identityFile(home);
    assert.deepEqual(Object.keys(file), ['_nota', 'clave_cif', 'creada', 'id', 'llave']);
    assert.match(file.clave_cif, SEALED);
    assert.ok(!file.clave_cif.includes(hex(first.clave)), 'the blob does not hold the password as it is');
    assert.ok(!readFileSync(join(dataDir(home), 'identidad.json'), 'utf8').includes(first.clave));

    // A password set by hand, non-ASCII included, survives the restart as typed.
    await withKelvora(home, async (k) => {
      assert.deepEqual(await identity(k), first);
      assert.deepEqual((await k.post('/api/clave/poner', { clave: ' Año-2026 ' })).json, { ok: true, clave: 'Año-2026' });
    });
    await withKelvora(home, async (k) => {
      const me = await identity(k);
      assert.equal(me.id, first.id);
      assert.equal(me.clave, 'Año-2026');
      assert.deepEqual((await k.post('/api/verificar', { clave: 'Año-2026' })).json, { ok: true });
      assert.equal(idLines(k).filter((l) => /ID nuevo|asignó/.test(l)).length, 2, 'only the first start made values');
    });
  } finally {
    rmSync(home, { recursive: true, force: true });
  }
});

test('a seal that does not open gives a new password for the same ID', { skip }, async () => {
  const home = tempHome();
  try {
    const first = await withKelvora(home, identity);
    const file = identityFile(home);
    // One flipped byte in the blob: DPAPI's integrity check refuses it.
    const last = file.clave_cif.length - 2;
    const flipped = (parseInt(file.clave_cif.slice(last), 16) ^ 0xff).toString(16).padStart(2, '0');
    writeFileSync(join(dataDir(home), 'identidad.json'),
      JSON.stringify({ ...file, clave_cif: file.clave_cif.slice(0, last) + flipped }));
    await withKelvora(home, async (k) => {
      const me = await identity(k);
      assert.equal(me.id, first.id);
      assert.equal(me.llave, first.llave);
      assert.notEqual(me.clave, first.clave);
      assert.match(idLines(k).at(-1), /\[ID\] la app asignó la contraseña de esta PC$/);
    });
    assert.match(identityFile(home).clave_cif, SEALED, 'the new password is sealed again');
  } finally {
    rmSync(home, { recursive: true, force: true });
  }
});
