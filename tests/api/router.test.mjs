// The API router and the shell's own endpoints against the real binary.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { hostname } from 'node:os';
import { Kelvora, readState, waitFor } from '../lib/kelvora.mjs';
import { existsSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

let k;
before(async () => {
  k = await new Kelvora({ env: { PATH: '/nonexistent', TRV_SERVER: 'ftp://ignored', COMPUTERNAME: 'CAJA-7' } }).start();
});
after(async () => { await k.stop(); k.cleanup(); });

test('routing rules', async () => {
  assert.deepEqual((await k.post('/api/nada')).json, { ok: false, msg: 'no existe' });
  const r = await k.post('/api/ajustes', 'esto no es json');
  assert.equal(r.json.ok, true, 'a body that is not JSON behaves like {}');
  assert.deepEqual(r.json.ajustes, (await k.get('/api/ajustes')).json);
});

test('version and state record', async () => {
  assert.deepEqual((await k.get('/api/version')).json, { app: 'kelvora', version: '1.3.2', pid: k.proc.pid });
  const viaGet = (await k.get('/api/estado')).json;
  const viaPost = (await k.post('/api/estado')).json;
  for (const s of [viaGet, viaPost]) {
    assert.equal(s.app, 'kelvora');
    assert.equal(s.portatil, true);
    assert.equal(s.idioma, 'es');
    assert.equal(s.disponible, true);
    assert.equal(s.nombre, hostname(), 'the host name when no name is set; COMPUTERNAME means nothing on Linux');
    assert.match(s.servidor, /^https:\/\/[^/]+[^/]$/, 'a TRV_SERVER without https:// is ignored');
    assert.equal(s.inicio_windows, false);
    assert.equal(s.actualizacion.current, '1.3.2');
    for (const key of ['sesion', 'recientes', 'sesiones', 'monitores', 'id', 'id_bonito', 'llamada', 'admin'])
      assert.ok(key in s, key);
  }
  // Members come in ascending byte order, as every object the program writes.
  const text = (await k.get('/api/estado')).body;
  const keys = Object.keys(JSON.parse(text));
  assert.deepEqual(keys, [...keys].sort());
});

test('settings round trip and what the state derives from them', async () => {
  let r = await k.post('/api/ajustes', { general: { nombre: '   ' }, recibir: { disponible: false } });
  assert.equal(r.json.ok, true);
  let s = (await k.get('/api/estado')).json;
  assert.equal(s.nombre, hostname(), 'a name of spaces falls back to the host name');
  assert.equal(s.disponible, false);
  r = await k.post('/api/ajustes', { general: { nombre: 'Caja 3', servidor: 'https://senal.example.org///' } });
  assert.equal(r.json.ajustes.general.servidor, 'https://senal.example.org');
  s = (await k.get('/api/estado')).json;
  assert.equal(s.nombre, 'Caja 3');
  assert.equal(s.servidor, 'https://senal.example.org');
  r = await k.post('/api/ajustes', { general: { servidor: 'http://senal.example.org' } });
  assert.deepEqual(r.json, { ok: false, msg: 'El servidor debe empezar con https://' });
});

test('diag writes one line of at most 1500 characters', async () => {
  const long = '[CONEXION] ' + 'ñ'.repeat(5000);
  await k.post('/api/diag', { texto: long });
  await k.post('/api/diag', { texto: '[SESION] a\nb' });
  const lines = k.log().split('\n');
  const written = lines.find((l) => l.includes('[CONEXION] ñ'));
  assert.equal([...written.slice(20)].length, 1500);
  assert.ok(lines.some((l) => l.endsWith('[SESION] a b')));
});

test('abrir refuses what it must not open', async () => {
  for (const body of [
    { what: 'url', url: 'file:///C:/' },
    { what: 'url', url: 'javascript:alert(1)' },
    { what: 'url', url: 'HTTPS://x' },
    { what: 'nada' },
    {},
  ])
    assert.deepEqual((await k.post('/api/abrir', body)).json, { ok: false }, JSON.stringify(body));
});

test('aviso without a tray icon is still ok', async () => {
  assert.deepEqual((await k.post('/api/aviso', { titulo: 5, texto: 'hola' })).json, { ok: true });
});

test('TRV_SERVER with https:// wins over the setting', async () => {
  const other = await new Kelvora({ env: { PATH: '/nonexistent', TRV_SERVER: 'https://local.test:8443//' } }).start();
  try {
    await other.post('/api/ajustes', { general: { servidor: 'https://guardado.example' } });
    assert.equal((await other.get('/api/estado')).json.servidor, 'https://local.test:8443');
  } finally {
    await other.stop();
    other.cleanup();
  }
});

test('salir answers, then the program ends cleanly', async () => {
  const other = await new Kelvora({ env: { PATH: '/nonexistent' } }).start();
  const r = await other.post('/api/salir');
  assert.deepEqual(r.json, { ok: true });
  assert.equal(await other.exited, 0);
  assert.equal(existsSync(join(other.home, 'Kelvora', 'data', 'instancia.json')), false);
  assert.match(other.log(), /\[APP\] cerrando Kelvora\n/);
  other.cleanup();
});
