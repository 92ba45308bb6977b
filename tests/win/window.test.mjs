// Kelvora.exe under Wine on a real X display: the browser search, the app window's start,
// its identity test, raising and closing, and the tray icon. A stand-in browser
// (fake_browser.exe, built with Kelvora.exe) records what it was started with and shows a
// window of a Chromium class.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { spawn } from 'node:child_process';
import {
  FAKE_BROWSER,
  WineKelvora,
  freshPrefix,
  startWineDisplay,
  stopWineDisplay,
  taskkill,
  waitFor,
  wineEnv,
  wineMissing,
  winPath,
} from '../lib/wine.mjs';

let skip = wineMissing();
let display;
let prefix;
const scratch = mkdtempSync(join(tmpdir(), 'kelvora-wintest-'));

before(() => {
  if (skip) return;
  const d = startWineDisplay();
  if (d.skip) {
    skip = d.skip;
    return;
  }
  display = d.display;
  prefix = freshPrefix();
});

after(() => {
  prefix?.remove();
  stopWineDisplay(display);
  rmSync(scratch, { recursive: true, force: true });
});

/** The events fake_browser.exe wrote to its log file. */
function events(file) {
  try {
    return readFileSync(file, 'utf8').trim().split('\n').filter(Boolean).map((l) => JSON.parse(l));
  } catch {
    return [];
  }
}

/** Starts fake_browser.exe with the given window; resolves once the window exists. */
async function fakeWindow({ title, cls, hidden }) {
  const log = join(mkdtempSync(join(scratch, 'fake-')), 'events.jsonl');
  const env = { FAKE_BROWSER_LOG: winPath(log), FAKE_BROWSER_TITLE: title, FAKE_BROWSER_CLASS: cls };
  if (hidden) env.FAKE_BROWSER_HIDDEN = '1';
  const proc = spawn('wine', [FAKE_BROWSER], { env: wineEnv({ prefix: prefix.path, display, env }), stdio: 'ignore' });
  const exited = new Promise((r) => proc.on('exit', r));
  await waitFor(() => events(log).some((e) => e.window), 'the fake window', 30000);
  const pid = events(log)[0].pid;
  return {
    async close() {
      taskkill(pid, { prefix: prefix.path, display });
      await exited;
    },
  };
}

test('the app window: a browser below ProgramFiles, its switches, raising, and WM_CLOSE at exit', async (t) => {
  if (skip) return t.skip(skip);
  const programFiles = join(scratch, 'pf');
  const chrome = join(programFiles, 'Google', 'Chrome', 'Application');
  mkdirSync(chrome, { recursive: true });
  copyFileSync(FAKE_BROWSER, join(chrome, 'chrome.exe'));
  const log = join(scratch, 'browser.jsonl');
  const k = new WineKelvora({
    args: ['--no-tray', '--no-elevate'],
    prefix: prefix.path,
    display,
    // Wine gives a 64-bit process ProgramFiles from ProgramW6432, as WOW64 does on Windows.
    winVars: { ProgramFiles: winPath(programFiles), ProgramW6432: winPath(programFiles) },
    env: { FAKE_BROWSER_LOG: winPath(log) },
  });
  t.after(async () => {
    await k.stop();
    k.cleanup();
  });
  await k.start();
  await waitFor(() => events(log).some((e) => e.window), 'the app window', 30000);

  const [{ args }] = events(log);
  const source = args.findIndex((a) => a.startsWith('--auto-select-desktop-capture-source='));
  // The screen name holds a space: it must reach the browser as one argument.
  assert.match(args[source] ?? '', /^--auto-select-desktop-capture-source=(Entire screen|Screen 1)$/);
  // Wine calls every program elevated and has no desktop shell whose token the browser
  // could take: the profile then moves to a folder only administrators can change, and
  // the log says so.
  const moved = /\[NAVEGADOR\] abierto con permisos de administrador \(no hay escritorio del usuario\), con el perfil en (C:\\ProgramData\\Kelvora\\S-1-5-[-0-9]+\\ventana),/.exec(k.log());
  assert.deepEqual(args.toSpliced(source, 1), [
    `--app=http://127.0.0.1:${k.port}/`,
    `--user-data-dir=${moved ? moved[1] : `${winPath(k.data)}\\ventana`}`,
    '--window-size=1440,920',
    '--lang=en-US',
    '--no-first-run',
    '--no-default-browser-check',
    '--disable-extensions',
    '--disable-sync',
    '--disable-background-networking',
    '--disk-cache-size=8388608',
    '--disable-backgrounding-occluded-windows',
    '--disable-renderer-backgrounding',
    '--disable-background-timer-throttling',
    '--autoplay-policy=no-user-gesture-required',
    '--disable-features=Translate,msEdgeSidebarV2,CalculateNativeWinOcclusion,WebRtcHideLocalIpsWithMdns',
    '--force-fieldtrials=WebRTC-ForcePlayoutDelay/min_ms:0,max_ms:0/',
  ]);
  assert.ok(k.log().includes(`[VENTANA] abierta con ${winPath(join(chrome, 'chrome.exe'))}`), k.log());

  assert.deepEqual((await k.get('/api/show')).json, { ok: true });

  await k.post('/api/salir', {});
  assert.equal(await k.exited, 0);
  await waitFor(() => events(log).some((e) => e.closed), 'WM_CLOSE to the app window', 10000);
});

test('only a visible window with a Chromium class and a title beginning "Kelvora" is the app window', async (t) => {
  if (skip) return t.skip(skip);
  const k = new WineKelvora({ prefix: prefix.path, display });
  t.after(async () => {
    await k.stop();
    k.cleanup();
  });
  await k.start();
  assert.deepEqual((await k.get('/api/show')).json, { ok: false }, 'no window at all');
  for (const c of [
    { what: 'the app window', title: 'Kelvora', cls: 'Chrome_WidgetWin_1', found: true },
    { what: 'a longer title and another Chromium class', title: 'Kelvora - soporte', cls: 'Chrome_WidgetWin_0', found: true },
    { what: 'a title that only contains Kelvora', title: 'Ayuda de Kelvora', cls: 'Chrome_WidgetWin_1', found: false },
    { what: 'the title of another case', title: 'kelvora', cls: 'Chrome_WidgetWin_1', found: false },
    { what: 'a non-Chromium class', title: 'Kelvora', cls: 'Notepad', found: false },
    { what: 'an invisible window', title: 'Kelvora', cls: 'Chrome_WidgetWin_1', hidden: true, found: false },
  ]) {
    const w = await fakeWindow(c);
    try {
      assert.deepEqual((await k.get('/api/show')).json, { ok: c.found }, c.what);
    } finally {
      await w.close();
    }
  }
});

test('the tray icon takes balloons and goes away at exit', async (t) => {
  if (skip) return t.skip(skip);
  const k = new WineKelvora({ args: ['--no-window', '--no-elevate'], prefix: prefix.path, display });
  t.after(async () => {
    await k.stop();
    k.cleanup();
  });
  await k.start();
  // Longer than a balloon holds, with characters outside the BMP at the cut.
  const r = await k.post('/api/aviso', { titulo: 'T'.repeat(62) + '😀😀', texto: 'ñ'.repeat(254) + '😀' });
  assert.deepEqual(r.json, { ok: true });
  await k.post('/api/salir', {});
  assert.equal(await k.exited, 0);
  assert.doesNotMatch(k.log(), /sin icono en la bandeja/);
  assert.doesNotMatch(k.log(), /\[WIN\] Shell_NotifyIconW/, 'backend failures are reported in the log');
  t.diagnostic('Wine adds the icon and takes the balloon; whether the balloon is drawn, and clicks on the icon, are not visible to a test');
});
