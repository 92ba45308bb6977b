// The capture window on a two-output X desktop (the primary DUMMY0 1920x1080, the
// secondary DUMMY1 1024x768) with a window manager: /api/captura starts the hidden second
// browser, its page offers the screen asked for, and `off` ends every process of it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { Kelvora, waitFor } from '../lib/kelvora.mjs';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { CHROMIUM, chromiumPath } from '../lib/browser_path.mjs';

const missing = xdesktopMissing(['openbox', 'xprop', 'xwininfo', 'xev']) ?? (existsSync(CHROMIUM) ? false : 'Chromium is not installed');
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
  // A cold browser start on a loaded machine takes most of a minute.
  for (let i = 0; i < 8; i++) {
    const r = await k.post('/api/buzon/leer', { de: 'main' });
    const m = r.json.m.find((x) => x.t === 'offer' || x.t === 'error');
    if (m) return m;
  }
  throw new Error('no offer from the capture page in 120 s');
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

test('the capture window carries a one-time ticket that opens its page and its boxes only', { skip: missing }, async () => {
  assert.deepEqual((await k.post('/api/captura', { pantalla: 2 })).json, { ok: true });
  // The page works with the ticket alone: it offers its screen.
  assert.equal((await offer()).t, 'offer');
  const command = captureProcesses().map((pid) => {
    try {
      return readFileSync(`/proc/${pid}/cmdline`, 'utf8');
    } catch {
      return '';
    }
  }).join('\n');
  assert.ok(!command.includes(k.token), 'the run\'s token is on no command line');
  const ticket = command.match(/\/captura\?n=2&c=([0-9a-f]{32})/)?.[1];
  assert.ok(ticket, 'the page address carries the ticket');

  // Its browser loaded the page: nobody gets it again, with the ticket or the token.
  assert.equal((await k.get(`/captura?n=2&c=${ticket}`)).status, 403);
  assert.equal((await k.get(`/captura?n=2&t=${k.token}`)).status, 403);
  const as = (path, body) => k.post(path, body, { headers: { 'X-Token': ticket } });
  const cases = [
    ['its page writes to the main page', '/api/buzon/poner', { a: 'main', m: { t: 'x' } }, 200, { ok: true }],
    ['but not to its own box', '/api/buzon/poner', { a: 'cap', m: { t: 'x' } }, 200, { ok: false }],
    ['nor reads the main page\'s box', '/api/buzon/leer', { de: 'main' }, 200, { ok: false, m: [] }],
    ['nor anything else', '/api/captura', { off: true }, 403, { ok: false }],
    ['nor the input', '/api/input', { ev: [] }, 403, { ok: false }],
  ];
  for (const [what, path, body, status, reply] of cases) {
    const r = await as(path, body);
    assert.equal(r.status, status, what);
    assert.deepEqual(r.json, reply, what);
  }
  assert.deepEqual((await k.post('/api/buzon/leer', { de: 'main' })).json.m.filter((m) => m.t === 'x'), [{ t: 'x' }]);
  // Gone with its window.
  assert.deepEqual((await k.post('/api/captura', { off: true })).json, { ok: true });
  assert.equal((await as('/api/buzon/poner', { a: 'main', m: 1 })).status, 403);
});

test('a window of another program titled like the capture page is left alone', { skip: missing }, async () => {
  // A page in the person's own browser may carry the capture page's title.
  const title = 'Captura Kv - una pagina cualquiera';
  const decoy = spawn('xev', ['-name', title, '-geometry', '300x200+200+150'], { env: { ...process.env, DISPLAY: x.display }, stdio: 'ignore' });
  try {
    const search = (name) => x.run('xdotool', ['search', '--name', name]).trim().split('\n').filter(Boolean);
    let decoyId;
    await waitFor(() => {
      try {
        decoyId = search(`^${title}$`)[0];
      } catch {}
      return !!decoyId;
    }, 'the decoy window');
    const where = () => x.run('xwininfo', ['-id', decoyId]).match(/Absolute upper-left X: +(-?\d+)\n +Absolute upper-left Y: +(-?\d+)/).slice(1).join(',');
    const placed = where();

    assert.deepEqual((await k.post('/api/captura', { pantalla: 2 })).json, { ok: true });
    assert.equal((await offer()).t, 'offer');
    // The capture window is found among the windows with that title and tucked away.
    await waitFor(() => {
      const id = search('^Captura Kv').find((w) => w !== decoyId);
      return !!id && /SKIP_TASKBAR/.test(x.run('xprop', ['-id', id, '_NET_WM_STATE']));
    }, 'the capture window taken off the taskbar');
    assert.doesNotMatch(x.run('xprop', ['-id', decoyId, '_NET_WM_STATE']), /SKIP/);
    assert.equal(where(), placed, 'the decoy stays where it was');

    assert.deepEqual((await k.post('/api/captura', { off: true })).json, { ok: true });
    assert.deepEqual(captureProcesses(), []);
    assert.equal(decoy.exitCode, null, 'the decoy still runs');
    assert.deepEqual(search(`^${title}$`), [decoyId]);
  } finally {
    decoy.kill();
    await k.post('/api/captura', { off: true }).catch(() => {});
  }
});

test('windows started ahead serve every switch and end with the host session', { skip: missing }, async () => {
  const session = { k: 'h9', activa: true, rol: 'host', control: true, con: 'Técnico', id: '123456789' };
  assert.deepEqual((await k.post('/api/sesion', session)).json.ok, true);
  const logged = () => (k.log().match(/\[CAPTURA\] ventana auxiliar para la pantalla/g) || []).length;
  const before = logged();
  assert.deepEqual((await k.post('/api/captura', { precalentar: true })).json, { ok: true });
  // Screen 2's window comes in the background: one browser, not shown yet, saying nothing.
  await waitFor(() => logged() === before + 1, 'the window started ahead', 30000);
  const browser = () => captureProcesses().find((pid) => {
    try {
      return readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('--app=');
    } catch {
      return false;
    }
  });
  const ahead = browser();
  assert.ok(ahead);
  for (let round = 0; round < 3; round++) {
    assert.deepEqual((await k.post('/api/captura', { pantalla: 2 })).json, { ok: true });
    const m = await offer();
    assert.equal(m.t, 'offer', JSON.stringify(m));
    assert.equal(m.n, 2);
    assert.deepEqual([m.w, m.h], [1024, 768]);
    // Letting go keeps the window for the next switch.
    await k.post('/api/buzon/poner', { a: 'cap', m: { t: 'stop' } });
    assert.deepEqual((await k.post('/api/captura', { off: true })).json, { ok: true });
  }
  assert.equal(logged(), before + 1, 'no switch started a browser');
  assert.equal(browser(), ahead, 'the same browser served every switch');
  // The host session's end closes it.
  await k.post('/api/sesion', { ...session, activa: false });
  await waitFor(() => captureProcesses().length === 0, 'the window closed with the session', 15000);
  assert.match(k.log(), /\[CAPTURA\] se cerró la ventana auxiliar/);
});

test('a kept window is linked ahead only between switches, and one window ends alone', { skip: missing }, async () => {
  const session = { k: 'h8', activa: true, rol: 'host', control: true, con: 'Técnico', id: '123456789' };
  assert.equal((await k.post('/api/sesion', session)).json.ok, true);
  try {
    const ahead = { pantalla: 2, enlazar: true };
    assert.deepEqual((await k.post('/api/captura', ahead)).json, { ok: false, msg: 'sin ventanas de antemano' });
    assert.deepEqual((await k.post('/api/captura', { precalentar: true })).json, { ok: true });
    // Asked ahead, the window's page offers its link without being shown...
    assert.deepEqual((await k.post('/api/captura', ahead)).json, { ok: true });
    const m = await offer();
    assert.equal(m.t, 'offer', JSON.stringify(m));
    assert.equal(m.n, 2);
    // ...and nothing else can be linked or shown ahead of it until it is let go.
    assert.deepEqual((await k.post('/api/captura', ahead)).json, { ok: false, msg: 'hay una pantalla a la vista' });
    assert.deepEqual((await k.post('/api/captura', { off: true })).json, { ok: true });

    // A second kept window; asked to, the first ends alone.
    assert.deepEqual((await k.post('/api/captura', { pantalla: 1 })).json, { ok: true });
    const first = await offer();
    assert.equal(first.t, 'offer', JSON.stringify(first));
    assert.equal(first.n, 1);
    assert.deepEqual([first.w, first.h], [1920, 1080]);
    const pages = () => captureProcesses().map((pid) => {
      try {
        return readFileSync(`/proc/${pid}/cmdline`, 'utf8').match(/\/captura\?n=(\d+)/)?.[1];
      } catch {
        return undefined;
      }
    }).filter(Boolean).sort();
    assert.deepEqual(pages(), ['1', '2']);
    assert.deepEqual((await k.post('/api/captura', { cerrar: true, pantalla: 2 })).json, { ok: true });
    await waitFor(() => pages().join() === '1', 'screen 2\'s window gone, screen 1\'s still there');
  } finally {
    await k.post('/api/sesion', { ...session, activa: false });
    await waitFor(() => captureProcesses().length === 0, 'every window closed with the session', 15000);
  }
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
