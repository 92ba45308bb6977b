// Received files on Windows, inside Wine: the Downloads known folder, a .part created only
// when its name is free, and a rename that never replaces another file.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { WIN_BUILD, runWine, wineMissing } from '../lib/wine.mjs';

const PROBE = join(WIN_BUILD, 'platform_probe.exe');
const skip = wineMissing() || (!existsSync(PROBE) && `${PROBE} no existe: corre make build-win`);

test('the downloads folder, an exclusive .part and a rename onto free names only', { skip }, async () => {
  const r = await runWine(PROBE, ['downloads']);
  assert.equal(r.code, 0, r.stderr);
  const p = JSON.parse(r.stdout);
  assert.match(p.folder ?? '', /Downloads$/i);
  assert.deepEqual(
    [p.created, p.second_is_exists, p.wrote, p.onto_taken_is_exists, p.onto_free, p.content, p.taken_kept, p.part_left],
    [true, true, true, true, true, 'hola mundo', 'otro', false],
  );
});
