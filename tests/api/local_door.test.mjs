// The local door against what else runs on the PC: other users' programs, bodies past the
// limit, settings keys that would write lines of their own; and the data kept private.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { readFileSync, statSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { Kelvora, readState, waitFor } from '../lib/kelvora.mjs';

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
const needRoot = !asRoot && 'hace falta root para correr la sonda como nobody';

/** Runs a node script as the user nobody; resolves with its output once it has ended. */
function asNobody(script) {
  const p = spawn('runuser', ['-u', 'nobody', '--', process.execPath, '-e', script], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  p.stdout.on('data', (d) => { out += d; });
  p.stderr.on('data', (d) => { err += d; });
  const ended = new Promise((done) => p.on('exit', (code) => done({ code, out, err })));
  return { proc: p, output: () => out, ended };
}

test('a program of another user is closed at once: no page, no token, no slot taken', { skip: needRoot }, async (t) => {
  // 300 connections kept open without a word, more than the door's 256 slots, and one
  // that asks for the page. Each reports how it ended.
  const probe = `
    const net = require('node:net');
    let connected = 0;
    const socks = [];
    for (let i = 0; i < 300; i++) {
      const s = net.connect(${k.port}, '127.0.0.1', () => { if (++connected === 300) console.log('held'); });
      s.on('error', () => {});
      socks.push(s);
    }
    const g = net.connect(${k.port}, '127.0.0.1', () => g.write('GET / HTTP/1.1\\r\\nHost: 127.0.0.1:${k.port}\\r\\n\\r\\n'));
    let answer = '';
    g.on('data', (d) => { answer += d; });
    g.on('error', () => {});
    g.on('close', () => console.log(JSON.stringify({ answer })));
    setTimeout(() => process.exit(0), 15000);`;
  const nobody = asNobody(probe);
  t.after(() => nobody.proc.kill());
  await waitFor(() => nobody.output().includes('held') && nobody.output().includes('answer'), 'the other user\'s connections', 20000);
  const { answer } = JSON.parse(nobody.output().split('\n').find((l) => l.startsWith('{')));
  assert.equal(answer, '', 'closed before any answer');
  // While the other user holds its 300 connections, the owner's programs still get in.
  for (let i = 0; i < 3; i++) assert.equal((await k.get('/api/version')).status, 200);
  const own = spawnSync(process.execPath, ['-e', `require('node:http').get({ host: '127.0.0.1', port: ${k.port}, path: '/' }, (r) => console.log(r.statusCode))`], { encoding: 'utf8', timeout: 20000 });
  assert.equal(own.stdout.trim(), '200');
  assert.match(k.log(), /conexión rechazada: viene de un programa de otro usuario/);
  assert.equal(readState(k.home, 'instancia.json').port, k.port);
});
