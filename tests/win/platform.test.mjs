// The Windows backend's processes, files, random source and environment, driven from
// inside Wine by platform_probe.exe (built with Kelvora.exe).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { WIN_BUILD, runWine, wineMissing } from '../lib/wine.mjs';

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
