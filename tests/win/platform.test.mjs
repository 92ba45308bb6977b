// The Windows backend's processes, files, random source, environment, shortcuts and logon
// task, driven from inside Wine by platform_probe.exe (built with Kelvora.exe).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { WIN_BUILD, freshPrefix, runWine, wineMissing, winPath } from '../lib/wine.mjs';

const PROBE = join(WIN_BUILD, 'platform_probe.exe');
const skip = wineMissing() || (!existsSync(PROBE) && `${PROBE} no existe: corre make build-win`);

test('processes, files, random bytes and environment through the Windows calls', { skip }, async (t) => {
  const r = await runWine(PROBE, []);
  assert.equal(r.code, 0, r.stderr);
  const p = JSON.parse(r.stdout);

  await t.test('run_hidden: arguments arrive exactly as given, output and exit code come back', () => {
    assert.deepEqual([p.echo.started, p.echo.exit_code], [true, 0]);
    assert.deepEqual(JSON.parse(p.echo.output), p.tricky);
    assert.deepEqual(p.exit7, { started: true, exit_code: 7, output: '' });
    assert.equal(p.missing.started, false);
  });

  await t.test('start_process: a detached child that can be watched and waited for', () => {
    assert.deepEqual(
      [p.child_started, p.child_running_at_first, p.child_waited, p.child_running_after],
      [true, true, true, false],
    );
    assert.equal(p.start_missing, false);
    // The OS's reason reaches the caller for its log line: a file or a folder not found,
    // now that the program's full path is the application name.
    assert.match(p.start_missing_error, /^CreateProcessW: error [23]\b/);
  });

  await t.test('replace_file puts the new file in the old one\'s place', () => {
    assert.deepEqual([p.replaced, p.replaced_content, p.source_left], [true, 'nuevo', false]);
  });

  await t.test('random bytes, environment, own path and clock', () => {
    assert.deepEqual([p.random_ok, p.random_differs], [true, true]);
    // Unset and set-but-empty are different answers.
    assert.equal(p.env_unset, null);
    assert.equal(p.env_empty, '');
    assert.equal(p.env_text, 'ñandú 😀');
    assert.match(p.exe, /^Z:\\.*\\platform_probe\.exe$/);
    assert.ok(p.year >= 2024);
  });
});

test('shortcuts and the logon task through the shell\'s and the Task Scheduler\'s COM interfaces', { skip }, async (t) => {
  const dir = mkdtempSync(join(tmpdir(), 'kelvora-winshell-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  const r = await runWine(PROBE, ['shell', winPath(dir)]);
  assert.equal(r.code, 0, r.stderr);
  const p = JSON.parse(r.stdout);
  const app = `${winPath(dir)}\\R&D <ñandú>`;

  await t.test('a shortcut written through IShellLinkW reads back as written', () => {
    assert.equal(p.link_written, true);
    assert.deepEqual(p.link, { target: `${app}\\Kelvora.exe`, folder: app, description: 'Kelvora · soporte remoto', icon: `${app}\\Kelvora.exe` });
    assert.equal(p.missing_read, false, 'no shortcut read from a file that is not there');
  });

  await t.test('the logon task is registered from its XML, found, and deleted once', () => {
    assert.deepEqual(
      [p.task_registered, p.task_exists, p.task_deleted, p.task_exists_after, p.task_deleted_again],
      [true, true, 'removed', false, 'absent'],
    );
    // What Wine keeps of the definition (it drops the logon trigger, the principal and the
    // action it does not carry): the description, parsed back whole from its escaped form
    // (Wine writes its copy without escaping), and the settings that keep a program started
    // at logon running.
    const raw = Buffer.from(p.task_file, 'hex');
    const xml = raw[0] === 0xff && raw[1] === 0xfe ? raw.subarray(2).toString('utf16le') : raw.toString('utf8');
    for (const part of ['<Description>Kelvora & prueba</Description>', '<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>',
      '<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>', '<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>',
      '<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>'])
      assert.ok(xml.includes(part), `${part} in ${xml}`);
  });
});

// Wine runs every program as one user and says nothing true about elevation, so which way
// a browser goes is the unit tests' to show; here the folders and a browser's start go
// through the real calls.
test('folders only administrators may change, made or checked, and a browser started', { skip }, async (t) => {
  const dir = mkdtempSync(join(tmpdir(), 'kelvora-winrights-'));
  // Made before Kelvora, by the user: what anyone may do in ProgramData.
  mkdirSync(join(dir, 'taken', 'ventana'), { recursive: true });
  // The browser's start may put its profile in the prefix's ProgramData.
  const prefix = freshPrefix();
  t.after(() => {
    prefix.remove();
    rmSync(dir, { recursive: true, force: true });
  });
  const r = await runWine(PROBE, ['rights', winPath(dir)], { prefix: prefix.path });
  assert.equal(r.code, 0, r.stderr);
  const p = JSON.parse(r.stdout);
  const made = `${winPath(dir)}\\Kelvora\\S-1-5-21-1-2-3-1001\\ventana`;

  await t.test('made through the levels, and found good again where the permissions stay', () => {
    assert.equal(p.made, made);
    // Wine takes the permissions a folder is made with but keeps only Unix modes, so it
    // reads the folder back as its user's: the check then refuses it, as it must.
    if (p.made_only_admins) assert.equal(p.again, made);
    else assert.equal(p.again, `otros usuarios pueden cambiar ${winPath(dir)}\\Kelvora`);
  });

  await t.test('a folder someone else made first is not used', () => {
    assert.equal(p.taken, null);
    assert.match(p.taken_problem, /^otros usuarios pueden cambiar Z:\\.*\\taken$/);
  });

  await t.test('a browser starts whichever way this token calls for, and says which when it must', () => {
    assert.equal(p.browser_started, true, p.browser_error);
    if (p.elevated && p.shell_found && p.shell_same_user)
      assert.match(r.stderr, /\[NAVEGADOR\] abierto con los permisos normales del usuario/);
    else if (p.elevated)
      assert.match(r.stderr, /\[NAVEGADOR\] abierto con permisos de administrador \(.+\), con el perfil en C:\\ProgramData\\Kelvora\\S-1-5-/);
    else assert.doesNotMatch(r.stderr, /\[NAVEGADOR\]/);
  });
});
