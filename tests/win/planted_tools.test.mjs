// Programs named like Windows' own tools (taskkill, reg, schtasks, powershell, cmd, ping),
// put beside Kelvora.exe and in the folder it is started from, as anyone could in a
// Downloads folder: Kelvora runs as administrator, so it must never start them. Each
// stand-in is a tiny program built here with MinGW that leaves a mark when it runs.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { WIN_BUILD, WIN_EXE, freshPrefix, runWine, wineEnv, wineMissing } from '../lib/wine.mjs';

const PROBE = join(WIN_BUILD, 'platform_probe.exe');
const CC = 'x86_64-w64-mingw32-gcc';
const TOOLS = ['taskkill.exe', 'reg.exe', 'schtasks.exe', 'powershell.exe', 'cmd.exe', 'ping.exe', 'PING.EXE'];
const RUN_KEY = 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run';

let skip = wineMissing() || (!existsSync(PROBE) && `${PROBE} no existe: corre make build-win`) ||
  (spawnSync('sh', ['-c', `command -v ${CC}`]).status !== 0 && `${CC} is missing`);
const scratch = mkdtempSync(join(tmpdir(), 'kelvora-planted-'));
const folder = join(scratch, 'Descargas');
const MARKS = join(folder, 'planted-ran.txt');
let prefix;

before(() => {
  if (skip) return;
  mkdirSync(folder);
  // Appends its own path and command line to planted-ran.txt in its folder, and ends with 0
  // as a well-behaved tool would.
  const source = join(scratch, 'mark.c');
  writeFileSync(source, `#include <windows.h>
#include <stdio.h>
int main(void) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
  char *slash = strrchr(path, '\\\\');
  char mark[MAX_PATH + 32];
  snprintf(mark, sizeof mark, "%.*s\\\\planted-ran.txt", (int)(slash ? slash - path : 0), path);
  FILE *f = fopen(mark, "a");
  if (f) { fprintf(f, "%.*s | %s\\n", (int)n, path, GetCommandLineA()); fclose(f); }
  return 0;
}
`);
  const built = spawnSync(CC, ['-O1', '-o', join(scratch, 'mark.exe'), source], { encoding: 'utf8' });
  if (built.status !== 0) throw new Error(`${CC} failed: ${built.stderr}`);
  for (const name of TOOLS) copyFileSync(join(scratch, 'mark.exe'), join(folder, name));
  copyFileSync(WIN_EXE, join(folder, 'Kelvora.exe'));
  copyFileSync(PROBE, join(folder, 'platform_probe.exe'));
  // Registry changes stay in a prefix of this file's own.
  prefix = freshPrefix();
});

after(() => {
  prefix?.remove();
  rmSync(scratch, { recursive: true, force: true });
});

const marks = () => (existsSync(MARKS) ? readFileSync(MARKS, 'utf8') : '');

test('the stand-ins run when started by name from their folder (the fixture works)', { skip }, async () => {
  // cmd looks in the current folder first, as CreateProcess does for a bare name.
  const r = await runWine(join(folder, 'platform_probe.exe'), ['exit', '0'], { cwd: folder, prefix: prefix.path });
  assert.equal(r.code, 0);
  const direct = spawnSync('wine', ['cmd', '/c', 'cd', '/d', `Z:${folder.replaceAll('/', '\\')}`, '&&', 'taskkill', '/?'], { env: wineEnv({ prefix: prefix.path }), encoding: 'utf8', timeout: 60000 });
  assert.equal(direct.status, 0, direct.stderr);
  assert.match(marks(), /taskkill\.exe/i);
  rmSync(MARKS);
});

test('ending a browser with its children, and another process, runs no tool beside the program', { skip }, async () => {
  const r = await runWine(join(folder, 'platform_probe.exe'), ['ending'], { cwd: folder, prefix: prefix.path });
  assert.equal(r.code, 0, r.stderr);
  const p = JSON.parse(r.stdout);
  // The child's own child goes too: what the monitor switch and the end of a session do to
  // the capture browser.
  assert.deepEqual(p, { grandchild_started: true, child_gone: true, grandchild_gone: true, killed_gone: true });
  assert.equal(marks(), '');
});

test('start with Windows on and off, and the clean-up, run no tool beside the program', { skip }, async () => {
  const lad = join(scratch, 'lad');
  mkdirSync(lad, { recursive: true });
  const winVars = { LOCALAPPDATA: `Z:${lad.replaceAll('/', '\\')}` };
  for (const args of [['--autostart', 'on'], ['--autostart', 'ON'], ['--autostart', 'on'], ['--cleanup']]) {
    const r = await runWine(join(folder, 'Kelvora.exe'), args, { winVars, cwd: folder, prefix: prefix.path });
    assert.equal(r.code, 0, args.join(' '));
    assert.equal(marks(), '', args.join(' '));
    if (args[1] === 'on') {
      // The Run value is written through the registry itself, and a folder anyone can
      // write to gets no logon task with the highest rights.
      const q = spawnSync('wine', ['reg', 'query', RUN_KEY, '/v', 'Kelvora'], { env: wineEnv({ prefix: prefix.path }), encoding: 'utf8', timeout: 60000 });
      assert.match(q.stdout, /Kelvora\s+REG_SZ\s+"Z:\\.*\\Descargas\\Kelvora\.exe" --startup/);
    }
  }
  const log = readFileSync(join(lad, 'Kelvora', 'data', 'kelvora.log'), 'utf8');
  assert.match(log, /\[INICIO\] inicio con Windows sin administrador: ok \(la carpeta del programa no está protegida\)/);
  assert.doesNotMatch(log, /tarea programada creada/);
});
