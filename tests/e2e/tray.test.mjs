// The tray icon on Linux: a StatusNotifierItem on a real session bus, registered with a
// watcher, its menu served over dbusmenu; "Salir" ends the program.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { Kelvora, waitFor } from '../lib/kelvora.mjs';

const PY = '/usr/bin/python3';
const tools = ['/usr/bin/dbus-daemon', '/usr/bin/gdbus', PY];
const skip = tools.find((t) => !existsSync(t)) ? `falta ${tools.find((t) => !existsSync(t))} (scripts/deps/testbeds.apt)` : false;
let bus, address, watcher, registered = '';

function gdbus(...args) {
  return execFileSync('gdbus', ['call', '--session', ...args], {
    env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: address },
    encoding: 'utf8',
  }).trim();
}

before(async () => {
  if (skip) return;
  bus = spawn('dbus-daemon', ['--session', '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
  let out = '';
  bus.stdout.on('data', (d) => { out += d; });
  address = (await waitFor(() => out.includes('\n') && out, 'the session bus')).trim();
  watcher = spawn(PY, ['tests/lib/sni_watcher.py'], {
    env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: address },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  watcher.stdout.on('data', (d) => { registered += d; });
  await waitFor(() => registered.includes('ready'), 'the watcher');
});

after(() => {
  watcher?.kill();
  bus?.kill();
});

test('no watcher, no icon: logged once', async () => {
  const k = await new Kelvora({ args: ['--no-window'], env: { DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' } }).start();
  try {
    await waitFor(() => k.log().includes('[APP] sin icono en la bandeja'), 'the log line');
    assert.equal(k.log().match(/sin icono en la bandeja/g).length, 1);
  } finally {
    await k.stop();
    k.cleanup();
  }
});

test('the item registers, shows its menu, and "Salir" ends the program', { skip }, async () => {
  const k = await new Kelvora({ args: ['--no-window'], env: { DBUS_SESSION_BUS_ADDRESS: address, PATH: '/nonexistent' } }).start();
  try {
    const line = await waitFor(() => registered.split('\n').find((l) => l.includes(`StatusNotifierItem-${k.proc.pid}-`)), 'the registration');
    const service = line.split(' ')[1];
    const prop = (name) => gdbus('--dest', service, '--object-path', '/StatusNotifierItem', '--method', 'org.freedesktop.DBus.Properties.Get', 'org.kde.StatusNotifierItem', name);
    assert.match(prop('Title'), /'Kelvora'/);
    assert.match(prop('ToolTip'), /'Kelvora · soporte remoto'/);
    assert.match(prop('Menu'), /'\/MenuBar'/);

    const layout = gdbus('--dest', service, '--object-path', '/MenuBar', '--method', 'com.canonical.dbusmenu.GetLayout', '--', '0', '-1', '[]');
    assert.match(layout, /101, \{'label': <'Abrir Kelvora'>\}.*\{'type': <'separator'>\}.*102, \{'label': <'Salir'>\}/);

    // A click on the icon opens the window: here there is no browser, which is logged.
    gdbus('--dest', service, '--object-path', '/StatusNotifierItem', '--method', 'org.kde.StatusNotifierItem.Activate', '0', '0');
    await waitFor(() => k.log().includes('[VENTANA] no encontré Microsoft Edge ni Chrome'), 'the open attempt');

    gdbus('--dest', service, '--object-path', '/MenuBar', '--method', 'com.canonical.dbusmenu.Event', '102', 'clicked', '<0>', '0');
    assert.equal(await k.exited, 0);
    assert.match(k.log(), /\[APP\] cerrando Kelvora\n/);
  } finally {
    await k.stop();
    k.cleanup();
  }
});
