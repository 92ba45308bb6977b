// The capture window on a two-output X desktop (the primary DUMMY0 1920x1080, the
// secondary DUMMY1 1024x768) with a window manager: /api/captura starts the hidden second
// browser, its page offers the screen asked for, and `off` ends every process of it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { Kelvora, waitFor } from '../lib/kelvora.mjs';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { CHROMIUM, chromiumPath } from '../lib/browser_path.mjs';

const missing = xdesktopMissing(['openbox', 'xprop', 'xwininfo']) ?? (existsSync(CHROMIUM) ? false : 'Chromium is not installed');
let x, wm, k;

before(async () => {
  if (missing) return;
  x = await XDesktop.start({ outputs: 2 });
  wm = spawn('openbox', [], { env: { ...process.env, DISPLAY: x.display }, stdio: 'ignore' });
  k = new Kelvora({ env: { DISPLAY: x.display, PATH: chromiumPath() } });
  await k.start();
  await k.readToken();
});
after(async () => {
  await k?.post('/api/captura', { off: true }).catch(() => {});
  await k?.stop();
  k?.cleanup();
  wm?.kill();
  x?.stop();
});

/** Every process still running whose command line names the capture window's profile. */
function captureProcesses() {
  const out = execFileSync('sh', ['-c', 'pgrep -f -- "--user-data-dir=$0" || true', `${k.data}/captura`], { encoding: 'utf8' });
  return out.split('\n').filter(Boolean);
}

/** Reads "main" until the capture page's offer (or error) comes. */
async function offer() {
  for (let i = 0; i < 4; i++) {
    const r = await k.post('/api/buzon/leer', { de: 'main' });
    const m = r.json.m.find((x) => x.t === 'offer' || x.t === 'error');
    if (m) return m;
  }
  throw new Error('no offer from the capture page in 60 s');
}

function windowState(title) {
  const id = x.run('xdotool', ['search', '--name', `^${title}`]).trim().split('\n')[0];
  return { state: x.run('xprop', ['-id', id, '_NET_WM_STATE']), info: x.run('xwininfo', ['-id', id]) };
}

test('"Screen 2" is the secondary output wherever it sits, and its window is out of the way', { skip: missing }, async () => {
  const layouts = [
    ['left of the primary', ['--output', 'DUMMY1', '--pos', '0x0', '--output', 'DUMMY0', '--pos', '1024x0']],
    ['right of the primary', ['--output', 'DUMMY0', '--pos', '0x0', '--output', 'DUMMY1', '--pos', '1920x0']],
  ];
  for (const [where, args] of layouts) {
    x.run('xrandr', args);
    const mons = (await k.get('/api/monitores')).json;
    const secondary = mons.find((m) => m.name === 'DUMMY1');
    assert.equal(typeof secondary.captura, 'number', 'each X monitor says which number its captures carry');

    assert.deepEqual((await k.post('/api/captura', { pantalla: 2 })).json, { ok: true });
    const m = await offer();
    assert.equal(m.t, 'offer', `${where}: ${JSON.stringify(m)}`);
    assert.equal(m.n, 2);
    assert.equal(m.label, `screen:${secondary.captura}:0`, where);
    assert.deepEqual([m.w, m.h], [1024, 768], `${where}: the offered track is the secondary's size`);
    assert.equal(typeof m.sdp?.sdp, 'string');
    assert.match(k.log(), /\[CAPTURA\] ventana auxiliar para la pantalla 2/);

    // Off the taskbar and the pager, yet mapped: the browser keeps drawing it.
    await waitFor(() => {
      const w = windowState('Captura Kv');
      return /SKIP_TASKBAR/.test(w.state) && /SKIP_PAGER/.test(w.state) && /IsViewable/.test(w.info);
    }, `${where}: the capture window taken off the taskbar`);
    // The browser's own "sharing your screen" window too.
    await waitFor(() => /SKIP_TASKBAR/.test(windowState('.* is sharing your screen').state), `${where}: the sharing notice off the taskbar`);

    assert.ok(captureProcesses().length > 1, 'the browser runs with its helpers');
    assert.deepEqual((await k.post('/api/captura', { off: true })).json, { ok: true });
    assert.deepEqual(captureProcesses(), [], `${where}: off leaves no process of the capture window`);
  }
  assert.equal((k.log().match(/\[CAPTURA\] se cerró la ventana auxiliar/g) || []).length, 2);
});

test('screen 1 of this desktop is the primary; a new start replaces the running window', { skip: missing }, async () => {
  assert.deepEqual((await k.post('/api/captura', { pantalla: 'x' })).json, { ok: true });
  const first = captureProcesses();
  assert.deepEqual((await k.post('/api/captura', { pantalla: 0 })).json, { ok: true });
  const m = await offer();
  assert.equal(m.n, 1);
  assert.deepEqual([m.w, m.h], [1920, 1080]);
  const now = captureProcesses();
  assert.ok(first.every((p) => !now.includes(p)), 'the first window is gone');
  await k.post('/api/captura', { off: true });
});

test('without a browser the start is refused with "sin navegador"', { skip: missing }, async () => {
  const bare = new Kelvora({ env: { DISPLAY: x.display, PATH: '/nonexistent' } });
  await bare.start();
  try {
    await bare.readToken();
    assert.deepEqual((await bare.post('/api/captura', { pantalla: 2 })).json, { ok: false, msg: 'sin navegador' });
  } finally {
    await bare.stop();
    bare.cleanup();
  }
});
