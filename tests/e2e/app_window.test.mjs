// The app window for real: Kelvora finds Chromium, opens its page in app mode on an X
// desktop with a window manager, raises it on /api/show, and ends when it is closed.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { Kelvora, waitFor } from '../lib/kelvora.mjs';
import { CHROMIUM, chromiumPath } from '../lib/browser_path.mjs';

const skip = !existsSync(CHROMIUM) ? 'Chromium is not installed (scripts/install-deps.sh installs it)' : false;
let display, wm, k;

function x(cmd, args) {
  return execFileSync(cmd, args, { env: { ...process.env, DISPLAY: display }, encoding: 'utf8' }).trim();
}

function appWindows() {
  const r = spawnSync('xdotool', ['search', '--name', '^Kelvora'], { env: { ...process.env, DISPLAY: display }, encoding: 'utf8' });
  return r.stdout.split('\n').filter(Boolean);
}

before(async () => {
  if (skip) return;
  display = execFileSync('scripts/xdesktop.sh', ['start'], { encoding: 'utf8' }).trim();
  wm = spawn('openbox', [], { env: { ...process.env, DISPLAY: display }, stdio: 'ignore' });
  await waitFor(() => x('xprop', ['-root', '_NET_SUPPORTING_WM_CHECK']).includes('window id'), 'the window manager');
  k = await new Kelvora({ args: ['--no-tray'], env: { DISPLAY: display, PATH: chromiumPath() } }).start();
});

after(async () => {
  await k?.stop();
  spawnSync('pkill', ['-f', `user-data-dir=${k?.home}`]);
  wm?.kill();
  if (display) execFileSync('scripts/xdesktop.sh', ['stop', display]);
  k?.cleanup();
});

test('the app window opens on the page and /api/show raises it', { skip }, async () => {
  const [win] = await waitFor(() => appWindows().length && appWindows(), 'the app window', 30000);
  assert.match(x('xprop', ['-id', win, 'WM_CLASS']), /"[Cc]hromium"/);
  assert.match(k.log(), /\[VENTANA\] abierta con .*chromium\n/);
  // Its own profile in the data directory, never the user's browser profile.
  const cmdline = execFileSync('pgrep', ['-a', '-f', '--', `--user-data-dir=${k.home}`], { encoding: 'utf8' });
  assert.match(cmdline, /--app=http:\/\/127\.0\.0\.1:\d+\//);
  assert.match(cmdline, /--auto-select-desktop-capture-source=(Entire screen|Screen 1)/);

  x('xdotool', ['windowminimize', '--sync', win]);
  assert.match(x('xprop', ['-id', win, '_NET_WM_STATE']), /_NET_WM_STATE_HIDDEN/);
  assert.deepEqual((await k.get('/api/show')).json, { ok: true });
  await waitFor(() => !x('xprop', ['-id', win, '_NET_WM_STATE']).includes('HIDDEN'), 'the window restored');
  await waitFor(() => x('xdotool', ['getactivewindow']) === win, 'the window in front');
});

test('/api/ventana with a window open raises it instead of opening a second one', { skip }, async () => {
  assert.deepEqual((await k.get('/api/ventana')).json, { ok: true });
  await new Promise((r) => setTimeout(r, 1500));
  assert.equal(appWindows().length, 1);
});

test('closing the app window ends the program', { skip }, async () => {
  const [win] = appWindows();
  // As the title bar's close button would: through the window manager.
  x('wmctrl', ['-i', '-c', win]);
  assert.equal(await k.exited, 0);
  assert.match(k.log(), /\[APP\] cerrando Kelvora\n/);
});
