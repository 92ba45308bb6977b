// The Windows desktop backends under Wine on the X test bed: the monitor list, absolute
// moves, keys and the clipboard, as far as Wine carries them through to X.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { WineKelvora, freshPrefix, wineMissing } from '../lib/wine.mjs';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { HOST_SESSION } from '../lib/xdesktop_session.mjs';
import { waitFor } from '../lib/kelvora.mjs';

const skip = wineMissing() || xdesktopMissing(['xdotool', 'xclip']) || false;
let x, prefix, k;

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

test('keys and typed text are accepted by SendInput', { skip }, async () => {
  const r = await k.post('/api/input', {
    ev: [{ k: 'kd', c: 'ShiftLeft' }, { k: 'ku', c: 'ShiftLeft' }, { k: 't', s: 'añ😀\n' }, { k: 'rel' }],
  });
  assert.deepEqual(r.json, { ok: true });
});

test('the Windows clipboard meets the X clipboard', { skip }, async () => {
  assert.deepEqual((await k.post('/api/portapapeles/poner', { texto: 'uno\ndos ñ' })).json, { ok: true });
  assert.deepEqual((await k.post('/api/portapapeles/leer')).json, { ok: true, texto: 'uno\r\ndos ñ' });
  await waitFor(() => {
    try {
      return x.clipboard().replaceAll('\r\n', '\n') === 'uno\ndos ñ';
    } catch {
      return false;
    }
  }, 'X clients to see the text');
  const holder = await x.offerClipboard('desde X 😀');
  try {
    await waitFor(async () => (await k.post('/api/portapapeles/leer')).json.texto === 'desde X 😀', 'Wine to take the X text');
  } finally {
    holder.kill();
  }
});
