// Shortcuts, start with Windows and uninstall of Kelvora.exe under Wine, as far as Wine
// goes: the Run value, the shell's shortcuts and cmd.exe work; Wine's schtasks.exe answers
// every query with 0 and no output. The uninstall question is answered on a real X display
// with the keyboard, as a person would.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, lstatSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir, userInfo } from 'node:os';
import { join } from 'node:path';
import { FAKE_BROWSER, WIN_EXE, WineKelvora, freshPrefix, runWine, startWineDisplay, stopWineDisplay, taskkill, waitFor, wineEnv, wineMissing, winPath } from '../lib/wine.mjs';

const RUN_KEY = 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run';
let skip = wineMissing();
let display;
// Two prefixes: the system-tool tests run headless; the uninstall shows its questions on an
// X display. A prefix's desktop lives where its first process put it, and a first process
// that needs the desktop (the resolution restore of --cleanup) while Wine is still bringing
// it up on a display has been seen to hang there.
let headless;
let shown;
const scratch = mkdtempSync(join(tmpdir(), 'kelvora-wininstall-'));

before(() => {
  if (skip) return;
  const d = startWineDisplay(45);
  if (d.skip) {
    skip = d.skip;
    return;
  }
  display = d.display;
  headless = freshPrefix();
  shown = freshPrefix();
  for (const p of [headless, shown]) ownDesktop(p.path);
});

/**
 * A prefix's Desktop is a link to the Linux home: made a folder of the prefix, so the
 * shortcuts the tests make and remove stay inside it.
 */
function ownDesktop(prefix) {
  const desktop = join(prefix, 'drive_c', 'users', userInfo().username, 'Desktop');
  if (lstatSync(desktop, { throwIfNoEntry: false })?.isSymbolicLink()) rmSync(desktop);
  mkdirSync(desktop, { recursive: true });
  return desktop;
}

/** The prefix's Start menu Programs folder. */
const programsMenu = (prefix) => join(prefix, 'drive_c', 'users', userInfo().username, 'AppData', 'Roaming', 'Microsoft', 'Windows', 'Start Menu', 'Programs');

after(() => {
  headless?.remove();
  shown?.remove();
  stopWineDisplay(display);
  rmSync(scratch, { recursive: true, force: true });
});

/** Where a test runs: its prefix, and the display when it shows windows. */
let bed = {};

function wine(args) {
  return spawnSync('wine', args, { env: wineEnv({ prefix: bed.prefix, display: bed.display }), encoding: 'utf8', timeout: 60000 });
}

/** The Run value's data, or null when there is none. */
function runValue() {
  const r = wine(['reg', 'query', RUN_KEY, '/v', 'Kelvora']);
  if (r.status !== 0) return null;
  const m = r.stdout.match(/Kelvora\s+REG_SZ\s+(.*?)\r?\n/);
  return m ? m[1] : '';
}

// Wine's schtasks answers every query with 0; a real answer names the task.
const taskExists = () => {
  const r = wine(['schtasks', '/Query', '/TN', 'Kelvora']);
  return r.status === 0 && r.stdout.includes('Kelvora');
};

/** A copy of Kelvora.exe in a folder of its own, with its own LOCALAPPDATA. */
function copyOfKelvora(name) {
  const dir = join(scratch, name);
  mkdirSync(join(dir, 'prog'), { recursive: true });
  mkdirSync(join(dir, 'lad'));
  const exe = join(dir, 'prog', 'Kelvora.exe');
  copyFileSync(WIN_EXE, exe);
  const winVars = { LOCALAPPDATA: winPath(join(dir, 'lad')) };
  const log = () => {
    try {
      return readFileSync(join(dir, 'lad', 'Kelvora', 'data', 'kelvora.log'), 'utf8');
    } catch {
      return '';
    }
  };
  return { dir, exe, winVars, log, run: (args, opts = {}) => runWine(exe, args, { winVars, prefix: bed.prefix, display: bed.display, ...opts }) };
}

test('--autostart turns start with Windows on and off through the system tools', { skip }, async () => {
  bed = { prefix: headless.path };
  const k = copyOfKelvora('autostart');
  const on = await k.run(['--autostart', 'on']);
  assert.equal(on.code, 0);
  // Wine runs everything as an administrator, but the program's folder is the user's own:
  // no logon task with the highest rights for a file anyone may replace, the Run value.
  assert.match(k.log(), /\[INICIO\] inicio con Windows sin administrador: ok \(la carpeta del programa no está protegida\)/);
  assert.doesNotMatch(k.log(), /tarea programada creada/);
  assert.equal(runValue(), `"${winPath(k.exe)}" --startup`);
  for (const [args, present] of [[['--autostart', 'ON'], false], [['--autostart', 'on'], true], [['--cleanup'], false]]) {
    assert.equal((await k.run(args)).code, 0, args.join(' '));
    assert.equal(runValue() !== null || taskExists(), present, args.join(' '));
  }
  assert.match(k.log(), /\[INICIO\] inicio con Windows quitado/);
});

test('the API: shortcuts on the Desktop and in the menu, start with Windows answers with its message', { skip }, async (t) => {
  bed = { prefix: headless.path };
  const k = new WineKelvora({ prefix: bed.prefix });
  t.after(async () => {
    await k.stop();
    k.cleanup();
  });
  await k.start();
  const links = [join(ownDesktop(bed.prefix), 'Kelvora.lnk'), join(programsMenu(bed.prefix), 'Kelvora.lnk')];
  assert.deepEqual((await k.post('/api/accesos')).json, { ok: true });
  for (const l of links) assert.ok(existsSync(l), l);
  assert.match(k.log(), /\[ACCESOS\] creados en el Escritorio y el menú Inicio/);

  const on = (await k.post('/api/inicio_windows', { on: true })).json;
  assert.equal(on.ok, true);
  assert.equal(taskExists(), false, 'no logon task for a program in a folder the user can change');
  assert.equal(on.msg, 'Se abrirá al iniciar Windows sin permisos de administrador: cualquier programa de tu usuario puede cambiar la carpeta de Kelvora. Instálalo en Archivos de programa para que se abra con ellos.');
  assert.equal((await k.get('/api/estado')).json.inicio_windows, true);
  for (const body of [{ on: 'true' }, {}]) {
    assert.deepEqual((await k.post('/api/inicio_windows', body)).json, { ok: true, msg: '' }, JSON.stringify(body));
    assert.equal((await k.get('/api/estado')).json.inicio_windows, false);
  }
});

test('an installer\'s uninstall.exe does the uninstall, and Kelvora asks nothing', { skip }, async () => {
  bed = { prefix: headless.path };
  const k = copyOfKelvora('installer');
  const events = join(k.dir, 'uninstaller.log');
  copyFileSync(FAKE_BROWSER, join(k.dir, 'prog', 'uninstall.exe'));
  const r = await k.run(['--uninstall'], { winVars: { ...k.winVars, FAKE_BROWSER_LOG: winPath(events), FAKE_BROWSER_TITLE: 'Desinstalador' } });
  assert.equal(r.code, 0);
  const started = await waitFor(() => existsSync(events) && readFileSync(events, 'utf8').trim().split('\n').map((l) => JSON.parse(l)).find((e) => e.args), 'uninstall.exe to start', 30000);
  assert.deepEqual(started.args.slice(1), [], 'started without arguments');
  taskkill(started.pid, { prefix: bed.prefix });
  assert.ok(existsSync(k.exe), 'the program stays: the installer\'s uninstaller removes it');
});

/** Waits for a window of this title on the display and types keys into it. */
async function answer(title, keys) {
  const env = { ...process.env, DISPLAY: display };
  const id = await waitFor(() => {
    const r = spawnSync('xdotool', ['search', '--name', `^${title}$`], { env, encoding: 'utf8' });
    return r.status === 0 && r.stdout.trim().split('\n')[0];
  }, `the "${title}" window`, 120000);
  spawnSync('xdotool', ['windowactivate', '--sync', id], { env });
  spawnSync('xdotool', ['key', '--window', id, ...keys], { env });
}

test('an uninstall answered No changes nothing; answered Yes removes every trace', { skip: skip || (spawnSync('sh', ['-c', 'command -v xdotool']).status !== 0 && 'xdotool is missing') }, async () => {
  bed = { prefix: shown.path, display };
  const k = copyOfKelvora('uninstall');
  assert.equal((await k.run(['--autostart', 'on'])).code, 0);
  const old = join(k.dir, 'prog', 'Kelvora.old.exe');
  writeFileSync(old, 'left by an update');
  writeFileSync(join(k.dir, 'prog', 'notas.txt'), 'not ours');
  const data = join(k.dir, 'lad', 'Kelvora');
  // Profiles an elevated run kept in ProgramData: ours (Wine's one account) and another
  // account's, which is not ours to remove.
  const profiles = join(shown.path, 'drive_c', 'ProgramData', 'Kelvora');
  const ours = join(profiles, 'S-1-5-21-0-0-0-1000');
  const theirs = join(profiles, 'S-1-5-21-7-7-7-1001');
  for (const d of [join(ours, 'ventana', 'Default'), join(theirs, 'ventana')]) mkdirSync(d, { recursive: true });
  writeFileSync(join(ours, 'ventana', 'Default', 'Preferences'), '{}');

  const declined = k.run(['--uninstall']);
  await answer('Desinstalar Kelvora', ['n']);
  assert.equal((await declined).code, 0);
  for (const f of [k.exe, old, data, ours]) assert.ok(existsSync(f), f);
  assert.ok(runValue() !== null || taskExists(), 'start with Windows stays');

  const confirmed = k.run(['--uninstall']);
  await answer('Desinstalar Kelvora', ['y']);
  await answer('Kelvora', ['Return']);
  assert.equal((await confirmed).code, 0);
  assert.equal(runValue(), null);
  assert.equal(taskExists(), false);
  for (const f of [old, data, ours]) assert.ok(!existsSync(f), f);
  assert.ok(existsSync(theirs), 'another account\'s profiles stay');
  // cmd deletes the program file two seconds after the uninstall ended.
  await waitFor(() => !existsSync(k.exe), 'the program file to delete itself', 30000);
  assert.ok(existsSync(join(k.dir, 'prog', 'notas.txt')), 'other files of the folder stay');
});
