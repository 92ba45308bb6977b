// Clipboard text between the API and other X clients, through the CLIPBOARD selection.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { startControlled, endSession, HOST_SESSION } from '../lib/xdesktop_session.mjs';

const missing = xdesktopMissing(['xclip']) ?? false;
let x, k;

before(async () => {
  if (missing) return;
  x = await XDesktop.start();
  k = await startControlled(x);
});
after(async () => {
  await k?.stop();
  k?.cleanup();
  x?.stop();
});

test('text written through the API is pasted by another client with plain LF line ends', { skip: missing }, async () => {
  const cases = [
    ['a\nb', 'a\nb'],
    ['a\r\nb\rc', 'a\nb\rc'],
    ['ñandú 😀', 'ñandú 😀'],
    ['', ''],
  ];
  for (const [path, texto, want] of cases.flatMap(([t, w]) => [
    ['/api/portapapeles/poner', t, w],
    ['/api/portapapeles/escribir_local', t, w],
  ])) {
    assert.deepEqual((await k.post(path, { texto })).json, { ok: true });
    assert.equal(x.clipboard(), want, `${path} ${JSON.stringify(texto)}`);
  }
  // Our own text reads back unchanged.
  await k.post('/api/portapapeles/poner', { texto: 'x\r\ny' });
  assert.deepEqual((await k.post('/api/portapapeles/leer')).json, { ok: true, texto: 'x\ny' });
});

test('a text past the body limit is refused and leaves the clipboard as it was', { skip: missing }, async () => {
  await k.post('/api/portapapeles/poner', { texto: 'antes' });
  const r = await k.post('/api/portapapeles/poner', { texto: 'x'.repeat(4_000_001) });
  assert.equal(r.status, 413);
  assert.equal(r.json.ok, false);
  assert.equal(x.clipboard(), 'antes');
});

test('megabytes of text are served whole', { skip: missing }, async () => {
  const big = 'ñ'.repeat(1_500_000);
  assert.deepEqual((await k.post('/api/portapapeles/escribir_local', { texto: big })).json, { ok: true });
  let pasted = null;
  try {
    pasted = x.clipboard();
  } catch {}
  assert.equal(pasted, big);
  assert.equal((await k.get('/api/version')).status, 200);
});

test('text another client put on the clipboard is read through the API', { skip: missing }, async () => {
  for (const text of ['desde xclip', 'línea 1\nlínea 2 😀']) {
    const holder = await x.offerClipboard(text);
    try {
      assert.deepEqual((await k.post('/api/portapapeles/leer')).json, { ok: true, texto: text });
    } finally {
      holder.kill();
    }
  }
});

test('without a controlling host session only the own reads and local writes are served', { skip: missing }, async () => {
  await k.post('/api/portapapeles/escribir_local', { texto: 'antes' });
  await endSession(k);
  try {
    const refused = { ok: false, msg: 'control' };
    assert.deepEqual((await k.post('/api/portapapeles/leer')).json, refused);
    assert.deepEqual((await k.post('/api/portapapeles/leer', { propio: 'si' })).json, refused);
    assert.deepEqual((await k.post('/api/portapapeles/poner', { texto: 'no' })).json, refused);
    assert.equal(x.clipboard(), 'antes');
    assert.deepEqual((await k.post('/api/portapapeles/leer', { propio: true })).json, { ok: true, texto: 'antes' });
    assert.deepEqual((await k.post('/api/portapapeles/escribir_local', { texto: 'local' })).json, { ok: true });
    assert.equal(x.clipboard(), 'local');
  } finally {
    await k.post('/api/sesion', HOST_SESSION);
  }
});
