// Screen modes on a real X server: a change really switches the output, and every way out
// puts it back (the request, the end of the session, exit, and the next start after a kill).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { keyWatcher } from './key_watcher.mjs';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { startControlled, endSession } from '../lib/xdesktop_session.mjs';
import { Kelvora, dataDir, tempHome, waitFor } from '../lib/kelvora.mjs';

const missing = xdesktopMissing(['xdotool', 'xev']) ?? false;
let x;
const ORIGINAL = { DUMMY0: { size: '1920x1080', x: 1024, y: 0 }, DUMMY1: { size: '1024x768', x: 0, y: 0 } };

before(async () => {
  if (!missing) x = await XDesktop.start({ outputs: 2 });
});
after(() => x?.stop());

const marker = (home) => join(dataDir(home), 'resolucion_cambiada.txt');

/** Starts again on home: the marker's changes are put back and the marker goes. */
async function restoredAtTheNextStart(home) {
  const again = await startControlled(x, { home });
  try {
    await waitFor(() => !existsSync(marker(home)), 'the marker to go');
    assert.deepEqual(x.outputs(), ORIGINAL);
  } finally {
    await again.stop();
    again.cleanup();
  }
}

async function changed(k, body = { mon: 1, w: 800, h: 600 }) {
  const r = await k.post('/api/resolucion/poner', body);
  assert.equal(r.json.ok, true, r.body);
  return r.json;
}

test('reading and changing the modes of a monitor', { skip: missing }, async () => {
  const k = await startControlled(x);
  try {
    const info = (await k.post('/api/resolucion', { mon: 1 })).json;
    assert.equal(info.monitor, 'DUMMY1');
    assert.deepEqual({ w: info.actual.w, h: info.actual.h }, { w: 1024, h: 768 });
    assert.equal(info.cambiada, false);
    assert.ok(info.modos.some((m) => m.w === 800 && m.h === 600));

    const set = await changed(k);
    assert.deepEqual({ w: set.actual.w, h: set.actual.h, o: set.original.w }, { w: 800, h: 600, o: 1024 });
    assert.equal(x.outputs().DUMMY1.size, '800x600');
    assert.match(readFileSync(marker(k.home), 'utf8'), /^DUMMY1\t1024x768@\d+\+0\+0\n$/);
    assert.equal((await k.post('/api/resolucion', { mon: 1 })).json.cambiada, true);
    assert.match(k.log(), /\[RESOLUCION\] \{"actual":\{"h":600/);

    // The primary grows past the screen's edge: the screen must grow with it.
    const big = await changed(k, { mon: 0, ajustar_w: 2100, ajustar_h: 1600 });
    assert.deepEqual({ w: big.actual.w, h: big.actual.h }, { w: 2048, h: 1536 });
    assert.equal(x.outputs().DUMMY0.size, '2048x1536');

    // Back to the prior size of one monitor: it leaves the list.
    await changed(k, { mon: 1, w: 1024, h: 768 });
    assert.deepEqual(x.outputs().DUMMY1, ORIGINAL.DUMMY1);
    assert.match(readFileSync(marker(k.home), 'utf8'), /^DUMMY0\t/);

    const refusals = [
      [{ mon: 5, w: 800, h: 600 }, 'monitor no encontrado'],
      [{ mon: 1, w: 801, h: 600 }, 'esa resolución no está disponible en este monitor'],
      [{ mon: 1, w: 1920 }, 'parámetros inválidos'],
      [{ mon: 1, w: '800', h: '600' }, 'parámetros inválidos'],
    ];
    for (const [body, msg] of refusals)
      assert.deepEqual((await k.post('/api/resolucion/poner', body)).json, { ok: false, msg }, JSON.stringify(body));

    assert.deepEqual((await k.post('/api/resolucion/poner', { original: true })).json, { ok: true, original: true });
    assert.deepEqual(x.outputs(), ORIGINAL);
    assert.equal(existsSync(marker(k.home)), false);

    await endSession(k);
    assert.deepEqual((await k.post('/api/resolucion/poner', { mon: 1, w: 800, h: 600 })).json, { ok: false, msg: 'control' });
    assert.deepEqual(x.outputs(), ORIGINAL);
  } finally {
    await k.stop();
    k.cleanup();
  }
});

test('the end of the host session puts the modes back', { skip: missing }, async () => {
  const k = await startControlled(x);
  try {
    await changed(k);
    await endSession(k);
    assert.deepEqual(x.outputs(), ORIGINAL);
    assert.equal(existsSync(marker(k.home)), false);
  } finally {
    await k.stop();
    k.cleanup();
  }
});

test('exit puts the modes back', { skip: missing }, async () => {
  const k = await startControlled(x);
  try {
    await changed(k);
    await k.post('/api/salir');
    await k.exited;
    assert.deepEqual(x.outputs(), ORIGINAL);
  } finally {
    await k.stop();
    k.cleanup();
  }
});

test('SIGTERM puts the modes back and lets go of held keys', { skip: missing }, async () => {
  const k = await startControlled(x);
  const w = await keyWatcher(x, k);
  try {
    await changed(k);
    await k.post('/api/input', { ev: [{ k: 'kd', c: 'ShiftLeft' }] });
    k.proc.kill('SIGTERM');
    assert.equal(await k.exited, 0);
    assert.deepEqual(x.outputs(), ORIGINAL);
    await waitFor(() => w.events().some((e) => e.keycode === 50 && e.type === 'up'), 'the Shift release');
    assert.equal(existsSync(marker(k.home)), false);
  } finally {
    w.stop();
    await k.stop();
    k.cleanup();
  }
});

test('a killed run is undone at the next start', { skip: missing }, async () => {
  const home = tempHome();
  const k = await startControlled(x, { home });
  try {
    await changed(k);
    await changed(k, { mon: 0, w: 1600, h: 900 });
  } finally {
    await k.stop();
  }
  assert.equal(x.outputs().DUMMY1.size, '800x600');
  assert.equal(readFileSync(marker(home), 'utf8').split('\n').length, 3);

  await restoredAtTheNextStart(home);
});

test('a restore that fails at start-up keeps its marker line for the next start', { skip: missing }, async () => {
  const home = tempHome();
  x.run('xrandr', ['--output', 'DUMMY1', '--mode', '800x600']);
  mkdirSync(dataDir(home), { recursive: true });
  writeFileSync(marker(home), 'DUMMY1\t1024x768@60000+0+0\n');
  const blind = new Kelvora({ home, env: { DISPLAY: '' } });
  try {
    await blind.start();
    assert.equal(readFileSync(marker(home), 'utf8'), 'DUMMY1\t1024x768@60000+0+0\n');
  } finally {
    await blind.stop();
  }
  await restoredAtTheNextStart(home);
});

test('a monitor made larger pushes its neighbour aside, and back', { skip: missing }, async () => {
  const k = await startControlled(x);
  try {
    await changed(k, { mon: 1, w: 1280, h: 1024 });
    assert.deepEqual(x.outputs(), { DUMMY0: { size: '1920x1080', x: 1280, y: 0 }, DUMMY1: { size: '1280x1024', x: 0, y: 0 } });
    await changed(k, { mon: 1, w: 1024, h: 768 });
    assert.deepEqual(x.outputs(), ORIGINAL);
  } finally {
    await k.stop();
    k.cleanup();
  }
});
