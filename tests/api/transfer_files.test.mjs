// Received files through the local door: the door's checks on the raw pieces, names that
// try to leave the downloads folder, the bounds of the sink (unknown, out of order, too
// many open), a full disk on a small tmpfs, and nothing half-written left at exit.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Kelvora, request, waitFor } from '../lib/kelvora.mjs';

let k, conf, downloads, mnt;

/** Points the user's downloads folder (as xdg-user-dir reads it) at dir. */
function useDownloads(dir) {
  writeFileSync(join(conf, 'user-dirs.dirs'), `XDG_DOWNLOAD_DIR="${dir}"\n`);
}

before(async () => {
  const home = mkdtempSync(join(tmpdir(), 'kelvora-files-'));
  conf = join(home, 'config');
  mkdirSync(conf);
  downloads = join(home, 'Descargas');
  useDownloads(downloads);
  // HOME too: whatever goes wrong, nothing lands in the real user's folders.
  k = await new Kelvora({ home, env: { HOME: home, XDG_CONFIG_HOME: conf } }).start();
});

after(async () => {
  await k?.stop();
  if (mnt) {
    spawnSync('umount', [mnt]);
    rmSync(mnt, { recursive: true, force: true });
  }
  k?.cleanup();
});

const sha = (b) => createHash('sha256').update(b).digest('hex');

/** One raw piece for transfer id, starting at byte `from`. */
function write(id, from, bytes, headers = {}) {
  return request(k.port, 'POST', `/api/archivos/escribir?id=${id}&desde=${from}`, {
    body: bytes,
    headers: { 'Content-Type': 'application/octet-stream', 'X-Token': k.token, ...headers },
  });
}

/** Sends bytes whole in pieces of `piece`; gives the finish reply. */
async function receive(name, bytes, piece = 1048576) {
  const o = (await k.post('/api/archivos/abrir', { nombre: name, tamano: bytes.length })).json;
  assert.equal(o.ok, true, JSON.stringify(o));
  for (let at = 0; at < bytes.length; at += piece) {
    const r = (await write(o.id, at, bytes.subarray(at, at + piece))).json;
    assert.equal(r.ok, true, JSON.stringify(r));
  }
  return (await k.post('/api/archivos/terminar', { id: o.id })).json;
}

const parts = (dir) => readdirSync(dir).filter((n) => n.endsWith('.part'));

test('a file arrives byte for byte under a free name, and hostile names stay inside the folder', async () => {
  const bytes = randomBytes(5 * 1048576 + 17);
  const first = await receive('informe.pdf', bytes);
  assert.deepEqual(first, { ok: true, nombre: 'informe.pdf', ruta: join(downloads, 'informe.pdf'), carpeta: downloads });
  assert.equal(sha(readFileSync(join(downloads, 'informe.pdf'))), sha(bytes));
  const second = await receive('informe.pdf', bytes.subarray(0, 10));
  assert.equal(second.nombre, 'informe (1).pdf');

  for (const [name, want] of [['../../x', '_.._x'], ['CON', '_CON'], ['a/b', 'a_b'], ['foto\u202egpj.exe', 'fotogpj.exe'], ['..', 'archivo']]) {
    const r = await receive(name, Buffer.from('x'));
    assert.equal(r.ruta, join(downloads, want), name);
  }
  assert.equal(existsSync(join(downloads, '..', '..', 'x')), false);
  assert.deepEqual(parts(downloads), []);
  assert.match(k.log(), /\[ARCHIVOS\] guardado .*informe \(1\)\.pdf/);
});

test('pieces pass the door\'s checks: token, Origin, size', async () => {
  const o = (await k.post('/api/archivos/abrir', { nombre: 'puerta.bin', tamano: 100 })).json;
  for (const headers of [{ 'X-Token': 'f'.repeat(32) }, { Origin: 'http://evil.example' }, { Origin: 'null' }]) {
    const r = await write(o.id, 0, Buffer.alloc(10), headers);
    assert.equal(r.status, 403, JSON.stringify(headers));
  }
  // The door itself cuts a body past its limit, before the sink sees it.
  const huge = await write(o.id, 0, Buffer.alloc(4_000_001));
  assert.equal(huge.status, 413);
  // Nothing was written by any of them: the first real piece still starts at 0.
  assert.deepEqual((await write(o.id, 0, Buffer.alloc(10))).json, { ok: true, recibido: 10 });
  // A piece over the sink's own limit ends the transfer.
  const big = (await write(o.id, 10, Buffer.alloc(2 * 1048576 + 1))).json;
  assert.equal(big.ok, false);
  assert.deepEqual(parts(downloads), []);
});

test('unknown transfers, pieces out of order, bad sizes and too many open are refused', async () => {
  assert.deepEqual((await write('0'.repeat(24), 0, Buffer.alloc(1))).json, { ok: false, msg: 'Esa transferencia ya no existe' });
  assert.equal((await k.post('/api/archivos/terminar', { id: 'nada' })).json.ok, false);
  for (const tamano of [0, -1, 2000000001, '5', null, 1.5]) {
    assert.equal((await k.post('/api/archivos/abrir', { nombre: 'a', tamano })).json.ok, false, String(tamano));
  }
  const o = (await k.post('/api/archivos/abrir', { nombre: 'orden.bin', tamano: 20 })).json;
  const skip = (await write(o.id, 5, Buffer.alloc(5))).json;
  assert.equal(skip.ok, false);
  assert.match(skip.msg, /desorden/);
  const noFrom = await request(k.port, 'POST', `/api/archivos/escribir?id=${o.id}`, { body: 'x', headers: { 'X-Token': k.token } });
  assert.equal(noFrom.json.ok, false);

  const ids = [];
  for (let i = 0; i < 8; i++) ids.push((await k.post('/api/archivos/abrir', { nombre: `f${i}`, tamano: 5 })).json.id);
  assert.equal(ids.filter(Boolean).length, 8);
  const ninth = (await k.post('/api/archivos/abrir', { nombre: 'f8', tamano: 5 })).json;
  assert.equal(ninth.ok, false);
  assert.match(ninth.msg, /demasiados archivos/);
  for (const id of ids) assert.equal((await k.post('/api/archivos/cancelar', { id })).json.ok, true);
  assert.deepEqual(parts(downloads), [], 'cancelled transfers leave nothing');
});

test('a full disk is said in Spanish and leaves no partial file', async (t) => {
  mnt = mkdtempSync(join(tmpdir(), 'kelvora-files-tmpfs-'));
  const m = spawnSync('mount', ['-t', 'tmpfs', '-o', 'size=4m', 'tmpfs', mnt], { encoding: 'utf8' });
  if (m.status !== 0) return t.skip(`a small tmpfs can't be mounted here (root is needed): ${m.stderr.trim()}`);
  useDownloads(mnt);
  try {
    // Larger than the free space: refused before anything is sent.
    const early = (await k.post('/api/archivos/abrir', { nombre: 'grande.iso', tamano: 5 * 1048576 })).json;
    assert.equal(early.ok, false);
    assert.match(early.msg, /^No hay espacio suficiente en el disco para guardar «grande\.iso»/);

    // It fitted when offered; then something else filled the disk.
    const o = (await k.post('/api/archivos/abrir', { nombre: 'video.mp4', tamano: 3 * 1048576 })).json;
    assert.equal(o.ok, true, JSON.stringify(o));
    writeFileSync(join(mnt, 'relleno'), Buffer.alloc(2 * 1048576));
    let last;
    for (let at = 0; at < 3 * 1048576; at += 1048576) {
      last = (await write(o.id, at, Buffer.alloc(1048576, 7))).json;
      if (!last.ok) break;
    }
    assert.equal(last.ok, false);
    assert.match(last.msg, /^No hay espacio suficiente en el disco para guardar «video\.mp4»/);
    assert.deepEqual(readdirSync(mnt), ['relleno'], 'no partial file');
    assert.equal((await write(o.id, 0, Buffer.alloc(1))).json.ok, false, 'the transfer is over');
  } finally {
    useDownloads(downloads);
  }
});

test('without a configured downloads folder files go to ~/Downloads; exit removes what was half received', async () => {
  const home = mkdtempSync(join(tmpdir(), 'kelvora-files-home-'));
  const other = new Kelvora({ home, env: { HOME: home, XDG_CONFIG_HOME: join(home, 'nada') } });
  try {
    await other.start();
    const o = (await other.post('/api/archivos/abrir', { nombre: 'medio.bin', tamano: 100 })).json;
    assert.equal(o.ok, true, JSON.stringify(o));
    const folder = join(home, 'Downloads');
    assert.deepEqual(readdirSync(folder), ['medio.bin.part']);
    await request(other.port, 'POST', `/api/archivos/escribir?id=${o.id}&desde=0`, { body: Buffer.alloc(50), headers: { 'X-Token': other.token } });
    await other.post('/api/salir');
    await waitFor(() => other.proc.exitCode !== null, 'the exit', 15000);
    assert.deepEqual(readdirSync(folder), []);
  } finally {
    await other.stop();
    other.cleanup();
  }
});
