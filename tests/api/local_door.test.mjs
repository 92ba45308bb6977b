// The local door against what else runs on the PC: other users' programs, bodies past the
// limit, settings keys that would write lines of their own; and the data kept private.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { readFileSync, statSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { Kelvora, readState } from '../lib/kelvora.mjs';

let k;
before(async () => { k = await new Kelvora({ env: { PATH: '/nonexistent' } }).start(); });
after(async () => { await k.stop(); k.cleanup(); });

const SESSION = { k: 't1', activa: true, rol: 'tech', con: 'Ana', id: '123456789' };

test('a body past the limit is refused and runs nothing', async () => {
  await k.post('/api/sesion', SESSION);
  // An end of every session, padded past 4,000,000 bytes.
  const big = JSON.stringify({ activa: false, relleno: 'x'.repeat(4_000_001) });
  const r = await k.post('/api/sesion', big);
  assert.equal(r.status, 413);
  assert.deepEqual(r.json, { ok: false, msg: 'La petición es demasiado grande' });
  assert.equal((await k.get('/api/estado')).json.sesion.activa, true, 'the session is still open');
  assert.equal((await k.get('/api/version')).status, 200, 'still serving');
  await k.post('/api/sesion', { ...SESSION, activa: false });
});

test('settings keys that are not plain lower-case names are refused', async () => {
  const ini = () => {
    try {
      return readFileSync(join(k.data, 'kelvora.ini'), 'utf8');
    } catch {
      return null;
    }
  };
  const was = ini();
  for (const key of ['x\nservidor', 'servidor ', 'Servidor', 'a=b', '']) {
    const r = await k.post('/api/ajustes', { general: { [key]: 'http://evil.example' } });
    assert.deepEqual(r.json, { ok: false, msg: 'Ese nombre de ajuste no es válido' }, JSON.stringify(key));
  }
  assert.equal(ini(), was, 'kelvora.ini untouched');
  assert.match((await k.get('/api/estado')).json.servidor, /^https:\/\//);
});

test('the data directory and its files are private to the user', async () => {
  await k.post('/api/ajustes', { general: { idioma: 'es' } });
  await k.post('/api/recientes/agregar', { id: '123456789', nombre: 'x' });
  await k.post('/api/diag', { texto: '[CONEXION] prueba' });
  assert.equal(statSync(k.data).mode & 0o777, 0o700);
  for (const f of ['identidad.json', 'instancia.json', 'kelvora.ini', 'recientes.json', 'kelvora.log'])
    assert.equal(statSync(join(k.data, f)).mode & 0o777, 0o600, f);
});

test('files of an older run with wider modes are made private at start', async () => {
  const older = new Kelvora({ env: { PATH: '/nonexistent' } });
  try {
    await older.start();
    await older.stop();
    writeFileSync(join(older.data, 'recientes.json'), '[]', { mode: 0o644 });
    const again = new Kelvora({ home: older.home, env: { PATH: '/nonexistent' } });
    await again.start();
    await again.stop();
    assert.equal(statSync(join(older.data, 'recientes.json')).mode & 0o777, 0o600);
    assert.equal(statSync(join(older.data, 'identidad.json')).mode & 0o777, 0o600);
  } finally {
    older.cleanup();
  }
});

const asRoot = process.getuid?.() === 0;
test('a program of another user gets 403 and not the page with its token', { skip: !asRoot && 'hace falta root para correr la sonda como nobody' }, () => {
  const probe = `
    const http = require('node:http');
    http.get({ host: '127.0.0.1', port: ${k.port}, path: '/', headers: { Host: '127.0.0.1:${k.port}' } }, (res) => {
      let body = '';
      res.on('data', (d) => { body += d; });
      res.on('end', () => { console.log(JSON.stringify({ status: res.statusCode, body })); });
    }).on('error', (e) => console.log(JSON.stringify({ error: e.message })));`;
  const r = spawnSync('runuser', ['-u', 'nobody', '--', process.execPath, '-e', probe], { encoding: 'utf8', timeout: 20000 });
  assert.equal(r.status, 0, r.stderr);
  assert.deepEqual(JSON.parse(r.stdout), { status: 403, body: '{}' });
  assert.match(k.log(), /conexión rechazada: viene de un programa de otro usuario/);
  // The same probe as ourselves gets the page.
  const own = spawnSync(process.execPath, ['-e', probe], { encoding: 'utf8', timeout: 20000 });
  assert.equal(JSON.parse(own.stdout).status, 200);
  assert.equal(readState(k.home, 'instancia.json').port, k.port);
});
