// The local API: a page left open from an earlier run holds a dead token.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeStorage } from '../../lib/web_modules.mjs';

const page = await load([]);

test('an expired token reloads the page at most once a minute, never during a session', () => {
  for (const [now, last, busy, want] of [
    [100000, 0, false, true],
    [100000, 50000, false, false],
    [100000, 39999, false, true],
    [100000, 0, true, false],
  ]) assert.equal(page.reloadAfter403(now, last, busy), want, `${now} ${last} ${busy}`);
});

test('two 403 replies within a minute reload once; with a session open none', async () => {
  const p = await load(['core/util.js']);
  const session = fakeStorage();
  p.storage.session = () => session;
  let reloads = 0;
  p.http.reload = () => reloads++;
  p.http.fetch = async () => ({ status: 403, json: async () => ({ ok: false }) });
  assert.deepEqual(await p.identity(), { ok: false }, 'the refusal still reaches the caller');
  await p.identity();
  assert.equal(reloads, 1);
  session.setItem('kv403', '0');
  p.TS.set('t1', {});
  await p.identity();
  assert.equal(reloads, 1);
});
