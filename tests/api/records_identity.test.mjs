// The PC's identity over the real API: identidad.json, the password rules and check, and
// the sealed password across restarts and accounts.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { hostname } from 'node:os';
import { mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { dataDir, readState, tempHome } from '../lib/kelvora.mjs';
import { finish, logMessages, startAs, tempConfigHome } from '../lib/records_env.mjs';

const ALPHABET = /^[ABCDEFGHJKMNPQRSTUVWXYZ2-9]{8}$/;

test('a first start makes the identity, saves it sealed and serves it', async () => {
  const k = await startAs({ env: { COMPUTERNAME: 'Caja-7', TRV_SERVER: 'https://senal.prueba/' } });
  try {
    const r = await k.post('/api/identidad');
    assert.equal(r.status, 200);
    const me = r.json;
    assert.deepEqual(Object.keys(me).sort(), ['clave', 'id', 'id_bonito', 'llave', 'nombre', 'servidor']);
    assert.match(me.id, /^[1-9]\d{8}$/);
    assert.equal(me.id_bonito, `${me.id.slice(0, 3)} ${me.id.slice(3, 6)} ${me.id.slice(6)}`);
    assert.match(me.llave, /^[0-9a-f]{64}$/);
    assert.match(me.clave, ALPHABET);
    assert.equal(me.nombre, hostname(), 'the host name, not COMPUTERNAME, on Linux');
    assert.equal(me.servidor, 'https://senal.prueba');

    const text = readFileSync(join(dataDir(k.home), 'identidad.json'), 'utf8');
    const file = JSON.parse(text);
    assert.deepEqual(Object.keys(file), ['_nota', 'clave_cif', 'creada', 'id', 'llave']);
    assert.doesNotMatch(file._nota, /Windows/, 'Linux words on Linux');
    assert.equal(file.id, me.id);
    assert.equal(file.llave, me.llave);
    assert.match(file.clave_cif, /^([0-9a-f]{2})+$/);
    assert.ok(!text.includes(me.clave), 'the clear password never reaches the file');

    const lines = logMessages(k);
    assert.ok(lines.includes(`[ID] ID nuevo para esta PC: ${me.id}`));
    assert.ok(lines.includes('[ID] la app asignó la contraseña de esta PC'));
    assert.ok(!k.log().includes(me.clave), 'the password is never logged');

    const state = (await k.get('/api/estado')).json;
    assert.equal(state.id, me.id);
    assert.equal(state.id_bonito, me.id_bonito);
  } finally {
    await finish(k);
  }
});

test('a stored identity is shown grouped and kept', async () => {
  const home = tempHome();
  mkdirSync(dataDir(home), { recursive: true });
  writeFileSync(join(dataDir(home), 'identidad.json'),
    JSON.stringify({ id: '123456789', llave: 'k'.repeat(32), clave_cif: '' }));
  const k = await startAs({ home });
  try {
    const me = (await k.post('/api/identidad')).json;
    assert.equal(me.id, '123456789');
    assert.equal(me.id_bonito, '123 456 789');
    assert.equal(me.llave, 'k'.repeat(32));
    assert.match(me.clave, ALPHABET);
    assert.deepEqual(logMessages(k).filter((l) => l.startsWith('[ID]')),
      ['[ID] la app asignó la contraseña de esta PC']);
  } finally {
    await finish(k);
  }
});

test('setting, generating and checking the password', async () => {
  const k = await startAs();
  try {
    const generated = (await k.post('/api/identidad')).json.clave;
    const verify = async (clave) => (await k.post('/api/verificar', { clave })).json;
    assert.deepEqual(await verify(generated), { ok: true });
    assert.deepEqual(await verify(` ${generated.slice(0, 4).toLowerCase()}-${generated.slice(4).toLowerCase()} `), { ok: true });
    assert.deepEqual(await verify(generated.slice(0, 7)), { ok: false });
    assert.deepEqual(await verify(42), { ok: false });
    assert.deepEqual((await k.post('/api/verificar', 'no es json')).json, { ok: false });
    assert.equal(logMessages(k).filter((l) => l === '[SESION] alguien intentó entrar con una contraseña equivocada').length, 3);

    const length = { ok: false, msg: 'La contraseña debe tener de 6 a 32 caracteres.' };
    const spaces = { ok: false, msg: 'La contraseña no puede llevar espacios.' };
    const cases = [
      ['abcde', length],
      ['x'.repeat(33), length],
      ['abc def', spaces],
      ['abc\u00a0def', spaces],
      ['abc\u0007def', spaces],
      [12345678, length],
      ['ñ' + 'x'.repeat(31), { ok: true, clave: 'ñ' + 'x'.repeat(31) }],
      ['  Gato-2024\u3000', { ok: true, clave: 'Gato-2024' }],
    ];
    for (const [clave, want] of cases) {
      assert.deepEqual((await k.post('/api/clave/poner', { clave })).json, want, JSON.stringify(clave));
    }
    assert.equal((await k.post('/api/identidad')).json.clave, 'Gato-2024');
    assert.deepEqual(await verify('Gato-2024'), { ok: true });
    assert.deepEqual(await verify('gato-2024'), { ok: false }, 'a hand-set password is exact');
    assert.equal(logMessages(k).filter((l) => l === '[ID] la persona cambió la contraseña de esta PC').length, 2);

    const fresh = (await k.post('/api/clave/nueva')).json;
    assert.equal(fresh.ok, true);
    assert.match(fresh.clave, ALPHABET);
    assert.equal((await k.post('/api/identidad')).json.clave, fresh.clave);
    assert.deepEqual(await verify('Gato-2024'), { ok: false });
    assert.ok(logMessages(k).includes('[ID] la app asignó una contraseña nueva (a mano)'));
    assert.ok(!k.log().includes('Gato-2024') && !k.log().includes(fresh.clave));
  } finally {
    await finish(k);
  }
});

test('a new ID comes with a new key and keeps the password', async () => {
  const k = await startAs();
  try {
    const before = (await k.post('/api/identidad')).json;
    assert.deepEqual((await k.post('/api/id/nuevo')).json, { ok: true });
    const after = (await k.post('/api/identidad')).json;
    assert.notEqual(after.id, before.id);
    assert.notEqual(after.llave, before.llave);
    assert.equal(after.clave, before.clave);
    assert.ok(logMessages(k).includes(`[ID] se creó un ID nuevo: ${after.id}`));
    const file = readState(k.home, 'identidad.json');
    assert.equal(file.id, after.id);
    assert.equal(file.llave, after.llave);
  } finally {
    await finish(k);
  }
});

test('a restart keeps the password; another account gets a new one for the same ID', async () => {
  const home = tempHome();
  const mine = tempConfigHome();
  const other = tempConfigHome();
  const run = async (configHome) => {
    const k = await startAs({ home, configHome });
    const me = (await k.post('/api/identidad')).json;
    await k.stop();
    return { me, log: logMessages(k) };
  };
  try {
    const first = await run(mine);
    const again = await run(mine);
    assert.deepEqual(again.me, first.me);
    assert.equal(again.log.filter((l) => l.startsWith('[ID]')).length, 2, 'the restart wrote nothing');

    const copied = await run(other);
    assert.equal(copied.me.id, first.me.id);
    assert.equal(copied.me.llave, first.me.llave);
    assert.notEqual(copied.me.clave, first.me.clave);
    assert.match(copied.me.clave, ALPHABET);
    assert.equal(copied.log.filter((l) => l === '[ID] la app asignó la contraseña de esta PC').length, 2);
  } finally {
    for (const d of [home, mine, other]) rmSync(d, { recursive: true, force: true });
  }
});
