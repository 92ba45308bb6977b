// The X server going away (a logout, a crash) must not end the program; input and the
// clipboard work again once a server is back on the display.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { startControlled } from '../lib/xdesktop_session.mjs';

const missing = xdesktopMissing(['xdotool', 'xclip']) ?? false;

test('losing the X server is survived', { skip: missing }, async () => {
  let x = await XDesktop.start();
  const k = await startControlled(x);
  try {
    const move = { mon: 0, ev: [{ k: 'm', x: 0.5, y: 0.5 }] };
    assert.deepEqual((await k.post('/api/input', move)).json, { ok: true });
    assert.deepEqual((await k.post('/api/portapapeles/poner', { texto: 'antes' })).json, { ok: true });
    const display = x.display;
    x.stop();
    await new Promise((r) => setTimeout(r, 500));
    await k.post('/api/input', move); // may fail, must not kill
    await k.post('/api/portapapeles/poner', { texto: 'x' });
    assert.equal((await k.get('/api/version')).json.pid, k.proc.pid, 'still serving');
    assert.equal(k.proc.exitCode, null);

    x = await XDesktop.start({ display });
    const r = await k.post('/api/input', { mon: 0, ev: [{ k: 'm', x: 1, y: 1 }] });
    assert.deepEqual(r.json, { ok: true });
    assert.match(x.run('xdotool', ['getmouselocation']), /x:\d+ y:\d+/);
    assert.deepEqual((await k.post('/api/portapapeles/poner', { texto: 'después' })).json, { ok: true });
    assert.equal(x.clipboard(), 'después');
  } finally {
    await k.stop();
    k.cleanup();
    x.stop();
  }
});
