// Kelvora.exe under Wine, headless: the command line, the data directory rule, the local
// server's token wall and the orderly exit.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { spawn } from 'node:child_process';
import {
  WIN_BUILD,
  WIN_EXE,
  WineKelvora,
  freshPrefix,
  request,
  runWine,
  tempHome,
  waitFor,
  wineEnv,
  wineMissing,
  winPath,
} from '../lib/wine.mjs';

const skip = wineMissing();
const PROBE = join(WIN_BUILD, 'platform_probe.exe');

test('--version prints the version line on a pipe and starts nothing', { skip }, async () => {
  const home = tempHome();
  try {
    const r = await runWine(WIN_EXE, ['--version'], { winVars: { LOCALAPPDATA: winPath(home) } });
    assert.equal(r.code, 0);
    // A GUI program's stdout is text mode: the newline arrives as CRLF.
    assert.match(r.stdout, /^Kelvora 1\.3\.2 \(2026-11-04\)\r?\n$/);
    const data = join(home, 'Kelvora', 'data');
    assert.deepEqual(existsSync(data) ? readdirSync(data) : [], []);
  } finally {
    rmSync(home, { recursive: true, force: true });
  }
});

test('serves on loopback with the token wall, and /api/salir ends it cleanly', { skip }, async (t) => {
  const k = new WineKelvora();
  t.after(async () => {
    await k.stop();
    k.cleanup();
  });
  await k.start();
  // LOCALAPPDATA given as a Windows path lands in the Linux directory it maps to.
  assert.ok(existsSync(join(k.data, 'instancia.json')));
  assert.ok(existsSync(join(k.data, 'kelvora.log')));
  assert.match(k.log(), /\[APP\] Kelvora v1\.3\.2 · admin (true|false) · Z:\\.*\\Kelvora\.exe/);

  const v = await k.get('/api/version');
  assert.equal(v.status, 200);
  assert.deepEqual(v.json, { app: 'kelvora', pid: k.pid, version: '1.3.2' });

  assert.match(k.token ?? '', /^[0-9a-f]{32}$/);
  for (const [what, headers] of [
    ['no token', {}],
    ['wrong token', { 'X-Token': '0'.repeat(32) }],
    ['right token, foreign origin', { 'X-Token': k.token, Origin: 'http://evil.example' }],
  ]) {
    const r = await request(k.port, 'POST', '/api/estado', { body: {}, headers });
    assert.equal(r.status, 403, what);
    assert.deepEqual(r.json, { ok: false }, what);
  }

  const estado = await k.post('/api/estado', {});
  assert.equal(estado.status, 200);
  assert.equal(estado.json.app, 'kelvora');

  const bye = await k.post('/api/salir', {});
  assert.deepEqual(bye.json, { ok: true });
  assert.equal(await k.exited, 0);
  assert.equal(existsSync(join(k.data, 'instancia.json')), false);
  assert.match(k.log(), /\[APP\] cerrando Kelvora/);
});

test('without LOCALAPPDATA the data goes to Kelvora\\data below the current directory', { skip }, async (t) => {
  const cwd = mkdtempSync(join(tmpdir(), 'kelvora-cwd-'));
  const k = new WineKelvora({ home: null, cwd });
  t.after(async () => {
    await k.stop();
    k.cleanup();
  });
  await k.start();
  assert.ok(existsSync(join(cwd, 'Kelvora', 'data', 'instancia.json')));
  await k.post('/api/salir', {});
  await waitFor(() => !existsSync(join(cwd, 'Kelvora', 'data', 'instancia.json')), 'instancia.json removed');
});

/** The pipes that tie this process to others. */
function pipes() {
  return process.getActiveResourcesInfo().filter((r) => r === 'PipeWrap').length;
}

// The first program of a prefix starts wineserver and Wine's services, which outlive it for
// as long as any program uses the prefix (here a second one keeps them). Nothing of theirs
// may keep this file from ending once its tests have.
test('a Wine run leaves no pipe open behind it while Wine lives on', { skip: skip || (!existsSync(PROBE) && `${PROBE} no existe`) }, async (t) => {
  const prefix = freshPrefix();
  let keeper;
  t.after(() => {
    keeper?.kill('SIGKILL');
    prefix.remove();
  });
  const before = pipes();
  const r = await runWine(WIN_EXE, ['--version'], { prefix: prefix.path });
  assert.equal(r.code, 0);
  assert.match(r.stdout, /^Kelvora /);
  keeper = spawn('wine', [PROBE, 'sleep', '120000'], { env: wineEnv({ prefix: prefix.path }), stdio: 'ignore' });
  assert.equal(pipes(), before, process.getActiveResourcesInfo().join(', '));
});

test('the elevated relaunch through "runas"', { skip }, (t) => {
  t.skip('Wine reports every user as an administrator (IsUserAnAdmin is true), so the relaunch never happens there');
});
