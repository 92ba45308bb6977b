// The Windows desktop backends under Wine on the X test bed: the monitor list, absolute
// moves, keys into a Windows window, the clipboard, and screen modes, as far as Wine
// carries them through to X.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { FAKE_BROWSER, WineKelvora, freshPrefix, taskkill, wineEnv, wineMissing, winPath } from '../lib/wine.mjs';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { HOST_SESSION } from '../lib/xdesktop_session.mjs';
import { waitFor } from '../lib/kelvora.mjs';

const skip = wineMissing() || xdesktopMissing(['xdotool', 'xclip']) || false;
let x, prefix, k;
const scratch = mkdtempSync(join(tmpdir(), 'kelvora-windesktop-'));

before(async () => {
  if (skip) return;
  x = await XDesktop.start({ outputs: 2 });
  prefix = freshPrefix();
  k = new WineKelvora({ prefix: prefix.path, display: x.display });
  await k.start();
  const r = await k.post('/api/sesion', HOST_SESSION);
  assert.equal(r.json?.ok, true, r.body);
});
after(async () => {
  await k?.stop();
  k?.cleanup();
  prefix?.remove();
  x?.stop();
  rmSync(scratch, { recursive: true, force: true });
});

test('monitors come from EnumDisplayMonitors in list order', { skip }, async () => {
  const list = (await k.get('/api/monitores')).json;
  assert.ok(Array.isArray(list) && list.length >= 1, JSON.stringify(list));
  assert.equal(list[0].primary, true);
  assert.match(list[0].name, /^DISPLAY\d+$/); // the "\\.\" prefix is gone
  for (let i = 1; i < list.length; i++) assert.ok(list[i - 1].primary || list[i - 1].x <= list[i].x);
  const info = (await k.post('/api/resolucion', { mon: 0 })).json;
  assert.equal(info.ok, true, JSON.stringify(info));
  assert.ok(info.modos.length >= 1);
});

test('SendInput moves reach the X pointer', { skip }, async () => {
  const list = (await k.get('/api/monitores')).json;
  const last = list.at(-1);
  // From a known place that the move must change: the screen's top-left corner.
  x.run('xdotool', ['mousemove', '0', '0']);
  await waitFor(() => {
    const p = x.pointer();
    return p.x === 0 && p.y === 0;
  }, 'the pointer at the corner');
  const r = await k.post('/api/input', { mon: list.length - 1, ev: [{ k: 'm', x: 1.0, y: 1.0 }] });
  assert.deepEqual(r.json, { ok: true });
  // Wine's desktop may sit anywhere on the X screen; the pointer moves by its own offset.
  await waitFor(() => {
    const p = x.pointer();
    return p.x > 0 && p.y > 0;
  }, 'the pointer to move');
  const p = x.pointer();
  assert.ok(p.x >= last.w - 2 || p.x >= last.x + last.w - 2, JSON.stringify({ p, last }));
});

test('keys and typed text reach the focused Windows window', { skip }, async (t) => {
  // A window of our own in the same Wine desktop records every key and character it gets.
  const log = join(scratch, 'teclado.log');
  const events = () => (existsSync(log) ? readFileSync(log, 'utf8').trim().split('\n').filter(Boolean).map((l) => JSON.parse(l)) : []);
  spawn('wine', [FAKE_BROWSER], {
    env: wineEnv({ prefix: prefix.path, display: x.display, env: { FAKE_BROWSER_LOG: winPath(log), FAKE_BROWSER_TITLE: 'Teclado de prueba' } }),
    stdio: 'ignore',
  });
  const started = await waitFor(() => events().some((e) => e.window) && events().find((e) => e.pid), 'the window to show', 60000);
  t.after(() => taskkill(started.pid, { prefix: prefix.path, display: x.display }));
  const env = { ...process.env, DISPLAY: x.display };
  const id = await waitFor(() => {
    const r = spawnSync('xdotool', ['search', '--name', '^Teclado de prueba$'], { env, encoding: 'utf8' });
    return r.status === 0 && r.stdout.trim().split('\n')[0];
  }, 'the X window', 30000);
  spawnSync('xdotool', ['windowactivate', '--sync', id], { env });
  const r = await k.post('/api/input', {
    ev: [{ k: 'kd', c: 'ShiftLeft' }, { k: 'kd', c: 'KeyB' }, { k: 'ku', c: 'KeyB' }, { k: 'ku', c: 'ShiftLeft' },
      { k: 'kd', c: 'ArrowLeft' }, { k: 'ku', c: 'ArrowLeft' }, { k: 't', s: 'añ😀\n' }, { k: 'rel' }],
  });
  assert.deepEqual(r.json, { ok: true });
  const typed = await waitFor(() => {
    const text = String.fromCharCode(...events().filter((e) => 'char' in e).map((e) => e.char));
    return /😀[\r\n]$/.test(text) && text;
  }, 'the typed text to arrive', 20000);
  assert.match(typed, /^Bañ😀[\r\n]$/);
  // Keys pressed by scan code reach the window as the keys they are: Shift, B, and the
  // extended left arrow (not the keypad's 4).
  const keys = events().filter((e) => 'key' in e).map((e) => e.key);
  assert.deepEqual(keys.slice(0, 3), [0x10, 0x42, 0x25], JSON.stringify(keys));
});

test('the Windows clipboard meets the X clipboard, lines turned each way', { skip }, async () => {
  assert.deepEqual((await k.post('/api/portapapeles/poner', { texto: 'uno\ndos ñ' })).json, { ok: true });
  assert.deepEqual((await k.post('/api/portapapeles/leer')).json, { ok: true, texto: 'uno\r\ndos ñ' });
  // X programs get X's line ends.
  await waitFor(() => {
    try {
      return x.clipboard() === 'uno\ndos ñ';
    } catch {
      return false;
    }
  }, 'X clients to see the text with LF line ends');
  const holder = await x.offerClipboard('desde X 😀\nsegunda línea');
  try {
    await waitFor(async () => (await k.post('/api/portapapeles/leer')).json.texto === 'desde X 😀\r\nsegunda línea', 'Wine to take the X text with CRLF line ends');
  } finally {
    holder.kill();
  }
});

// Last: it ends the copy this file shares.
test('a mode change reaches the X output; original, the end of a session and exit put it back', { skip }, async () => {
  const before = x.outputs();
  const list = (await k.get('/api/monitores')).json;
  let mon = -1;
  for (let i = 0; i < list.length && mon < 0; i++) {
    const info = (await k.post('/api/resolucion', { mon: i })).json;
    if (info.ok && info.actual.w !== 800 && info.modos.some((m) => m.w === 800 && m.h === 600)) mon = i;
  }
  assert.notEqual(mon, -1, 'a monitor that offers 800x600');
  const change = async () => {
    const r = await k.post('/api/resolucion/poner', { mon, w: 800, h: 600 });
    assert.equal(r.json.ok, true, r.body);
    await waitFor(() => Object.values(x.outputs()).some((o) => o.size === '800x600'), 'xrandr to show 800x600', 20000);
  };
  const putBack = (how) => waitFor(() => JSON.stringify(x.outputs()) === JSON.stringify(before), `${how} to put the modes back: ${JSON.stringify(x.outputs())}`, 30000);

  await change();
  assert.deepEqual((await k.post('/api/resolucion/poner', { original: true })).json, { ok: true, original: true });
  await putBack('original');

  await change();
  assert.equal((await k.post('/api/sesion', { ...HOST_SESSION, activa: false })).json?.ok, true);
  await putBack('the end of the session');

  assert.equal((await k.post('/api/sesion', HOST_SESSION)).json?.ok, true);
  await change();
  await k.post('/api/salir');
  await k.exited;
  await putBack('exit');
});
