// Shortcuts, start with the session and uninstall on Linux, against a throw-away HOME: the
// real binary, copied into a folder whose name needs quoting, writes and removes real
// desktop entries; a stand-in zenity answers the uninstall question.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { chmodSync, copyFileSync, existsSync, mkdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { BIN, Kelvora, tempHome, waitFor } from '../lib/kelvora.mjs';

const root = tempHome();
const HOME = join(root, 'home');
const APPS = join(HOME, '.local/share/applications/kelvora.desktop');
const ICON = join(HOME, '.local/share/icons/hicolor/scalable/apps/kelvora.svg');
const DESK = join(HOME, 'Escritorio/kelvora.desktop');
const AUTO = join(HOME, '.config/autostart/kelvora.desktop');
const DATA = join(HOME, '.local/share/Kelvora');
const KEY = join(HOME, '.config/kelvora');
const PROGRAM_DIR = join(HOME, "Kelvora's 100% apps");
const PROGRAM = join(PROGRAM_DIR, 'kelvora');
const ZENITY_LOG = join(root, 'zenity.log');
const ANSWER = join(root, 'answer');
// The page's environment as a desktop session gives it, less what would reach this
// machine's own desktop: no display, no bus, the XDG folders at their defaults.
const ENV = {
  HOME,
  PATH: `${join(root, 'bin')}:/usr/bin:/bin`,
  LOCALAPPDATA: undefined, XDG_DATA_HOME: undefined, XDG_CONFIG_HOME: undefined,
  DISPLAY: undefined, WAYLAND_DISPLAY: undefined, DBUS_SESSION_BUS_ADDRESS: undefined,
};
const validator = ['/usr/bin/desktop-file-validate'].find(existsSync);

let k;
before(async () => {
  mkdirSync(join(root, 'bin'), { recursive: true });
  writeFileSync(join(root, 'bin/zenity'),
    `#!/bin/sh\nprintf '%s\\n--\\n' "$*" >> '${ZENITY_LOG}'\n` +
    `[ "$1" = --question ] && exit "$(cat '${ANSWER}')"\nexit 0\n`, { mode: 0o755 });
  mkdirSync(join(HOME, '.config'), { recursive: true });
  writeFileSync(join(HOME, '.config/user-dirs.dirs'), 'XDG_DESKTOP_DIR="$HOME/Escritorio"\nXDG_DOWNLOAD_DIR="$HOME/Descargas"\n');
  mkdirSync(PROGRAM_DIR, { recursive: true });
  copyFileSync(BIN, PROGRAM);
  chmodSync(PROGRAM, 0o755);
  k = await new Kelvora({ bin: PROGRAM, home: join(HOME, '.local/share'), env: ENV }).start();
});
after(async () => { await k.stop(); rmSync(root, { recursive: true, force: true }); });

const mode = (f) => statSync(f).mode & 0o777;
const run = (...args) => spawnSync(PROGRAM, args, { env: { ...process.env, ...ENV }, encoding: 'utf8', timeout: 20000 });

test('shortcuts go to the applications menu and the Desktop of user-dirs.dirs', async () => {
  assert.deepEqual((await k.post('/api/accesos')).json, { ok: true });
  for (const f of [APPS, DESK]) {
    const text = readFileSync(f, 'utf8');
    // Quoted for the space and the quote, % doubled so it is no field code.
    assert.match(text, /^Exec="[^\n]*\/Kelvora's 100%% apps\/kelvora"$/m, f);
    assert.ok(text.includes(`\nPath=${PROGRAM_DIR}\n`), f);
    assert.match(text, /^Icon=kelvora$/m);
  }
  assert.equal(mode(APPS), 0o644);
  assert.equal(mode(DESK), 0o755, 'a Desktop launcher must be executable to be run');
  assert.match(readFileSync(ICON, 'utf8'), /<svg/);
  assert.match(k.log(), /\[ACCESOS\] creados en el escritorio y el menú de aplicaciones/);
  assert.doesNotMatch(k.log(), /Windows|Inicio/);
});

test('desktop entries pass the freedesktop validator', { skip: !validator && 'desktop-file-validate is missing (package desktop-file-utils)' }, async () => {
  await k.post('/api/accesos');
  await k.post('/api/inicio_windows', { on: true });
  for (const f of [APPS, DESK, AUTO]) {
    const r = spawnSync(validator, [f], { encoding: 'utf8' });
    assert.equal(r.status, 0, `${f}: ${r.stdout}${r.stderr}`);
    assert.equal(r.stdout + r.stderr, '', f);
  }
});

test('start with the session: only the boolean true turns it on', async () => {
  const cases = [
    [{ on: true }, true],
    [{ on: 'true' }, false],
    [{ on: true }, true],
    [{ on: 1 }, false],
    [{}, false], // already off: still ok
    [{ on: true }, true],
    [{ on: false }, false],
  ];
  for (const [body, on] of cases) {
    const r = (await k.post('/api/inicio_windows', body)).json;
    assert.deepEqual(r, { ok: true, msg: '' }, JSON.stringify(body));
    assert.equal(existsSync(AUTO), on, JSON.stringify(body));
    assert.equal((await k.get('/api/estado')).json.inicio_windows, on, JSON.stringify(body));
    if (on) assert.match(readFileSync(AUTO, 'utf8'), /^Exec="[^\n]*\/kelvora" --startup$/m);
  }
  assert.doesNotMatch(k.log(), /Windows/);
});

test('the command line switches do their work and end', () => {
  const cases = [
    [['--autostart', 'on'], { auto: true }],
    [['--autostart', 'ON'], { auto: false }],
    [['--autostart', 'on'], { auto: true }],
    [['--cleanup'], { auto: false, shortcuts: false }],
  ];
  for (const [args, want] of cases) {
    const r = run(...args);
    assert.equal(r.status, 0, args.join(' '));
    assert.equal(existsSync(AUTO), want.auto, args.join(' '));
    if ('shortcuts' in want) for (const f of [APPS, DESK, ICON]) assert.equal(existsSync(f), want.shortcuts, f);
  }
});

test('without an absolute home the uninstall refuses and removes nothing', () => {
  // HOME unset, or relative: the data would be "./Kelvora" below wherever it was started.
  for (const [name, env] of [['HOME unset', { HOME: undefined }], ['HOME relative', { HOME: 'casa' }], ['XDG_DATA_HOME relative', { HOME: undefined, XDG_DATA_HOME: 'datos' }]]) {
    const cwd = join(root, `cwd-${name.replaceAll(' ', '-')}`);
    mkdirSync(join(cwd, 'Kelvora'), { recursive: true });
    mkdirSync(join(cwd, 'datos', 'Kelvora', 'data'), { recursive: true });
    for (const f of [join(cwd, 'Kelvora', 'tesis.txt'), join(cwd, 'datos', 'Kelvora', 'data', 'ajenos.txt')]) writeFileSync(f, 'not ours');
    rmSync(ZENITY_LOG, { force: true });
    writeFileSync(ANSWER, '0');
    const e = { ...process.env, ...ENV, ...env };
    for (const [k2, v] of Object.entries(e)) if (v === undefined) delete e[k2];
    const r = spawnSync(PROGRAM, ['--uninstall'], { env: e, cwd, encoding: 'utf8', timeout: 20000 });
    assert.equal(r.status, 0, name);
    const asked = existsSync(ZENITY_LOG) ? readFileSync(ZENITY_LOG, 'utf8') : '';
    assert.doesNotMatch(asked, /--question/, `${name}: nothing to ask`);
    assert.match(asked, /No se puede desinstalar: .* No se borró nada\./, name);
    for (const f of [join(cwd, 'Kelvora', 'tesis.txt'), join(cwd, 'datos', 'Kelvora', 'data', 'ajenos.txt'), PROGRAM]) assert.ok(existsSync(f), `${name}: ${f}`);
  }
});

async function uninstallAsked(answer) {
  writeFileSync(ANSWER, String(answer));
  rmSync(ZENITY_LOG, { force: true });
  assert.deepEqual((await k.post('/api/desinstalar')).json, { ok: true });
  return waitFor(() => existsSync(ZENITY_LOG) && readFileSync(ZENITY_LOG, 'utf8').includes('--question') && readFileSync(ZENITY_LOG, 'utf8'), 'the uninstall question', 20000);
}

test('a declined uninstall leaves everything in place', async () => {
  await k.post('/api/accesos');
  await k.post('/api/inicio_windows', { on: true });
  const asked = await uninstallAsked(1);
  assert.match(asked, /^--question --title=Desinstalar Kelvora .* --no-markup --default-cancel$/ms, 'No is the default answer');
  assert.match(asked, /¿Quitar Kelvora de esta PC\?\n\n.*el ID.*los ajustes.*el historial.*los accesos directos.*el inicio al abrir sesión.*el propio programa/);
  assert.doesNotMatch(asked, /Windows|Edge/);
  await waitFor(() => k.log().includes('[ACCESOS] desinstalación cancelada'), 'the declined uninstall to end', 20000);
  for (const f of [APPS, DESK, ICON, AUTO, DATA, KEY, PROGRAM]) assert.ok(existsSync(f), f);
  assert.equal((await k.get('/api/version')).status, 200, 'the running copy goes on');
});

test('a confirmed uninstall ends the running copy and removes every trace', async () => {
  await k.post('/api/accesos');
  await k.post('/api/inicio_windows', { on: true });
  assert.ok(existsSync(join(KEY, 'llave_usuario.bin')), 'the per-user key exists before');
  writeFileSync(join(PROGRAM_DIR, 'kelvora.old'), 'left by an update');
  writeFileSync(join(PROGRAM_DIR, 'notas.txt'), 'not ours');
  // Kelvora's folder keeps what Kelvora didn't put there.
  writeFileSync(join(DATA, 'notas.txt'), 'not ours');
  await uninstallAsked(0);
  assert.equal(await k.exited, null, 'the running copy was killed');
  await waitFor(() => !existsSync(PROGRAM), 'the program file to go', 20000);
  await waitFor(() => existsSync(ZENITY_LOG) && readFileSync(ZENITY_LOG, 'utf8').includes('--info'), 'the closing notice', 20000);
  assert.match(readFileSync(ZENITY_LOG, 'utf8'), /--info --title=Kelvora --text=Listo: Kelvora se quitó de esta PC\./);
  for (const f of [APPS, DESK, ICON, AUTO, join(DATA, 'data'), KEY, join(PROGRAM_DIR, 'kelvora.old')]) assert.ok(!existsSync(f), f);
  for (const f of [join(DATA, 'notas.txt'), join(PROGRAM_DIR, 'notas.txt'), join(HOME, '.config/user-dirs.dirs'), join(HOME, 'Escritorio')]) assert.ok(existsSync(f), `${f} is not ours to remove`);
});
