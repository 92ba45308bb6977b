// Texts and the small rules every part of the page uses.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load } from '../../lib/web_modules.mjs';

const page = await load(['core/util.js']);

test('esc makes any value safe for markup', () => {
  for (const [v, want] of [
    [`<a href="x" onclick='y'>&`, '&lt;a href=&quot;x&quot; onclick=&#39;y&#39;&gt;&amp;'],
    [null, ''], [undefined, ''], [0, '0'], [false, 'false'],
  ]) assert.equal(page.esc(v), want);
});

test('t falls back to Spanish, then to the key, and fills every {n}', async () => {
  const p = await load([]);
  Object.assign(p.I18N.es, { k1: '{0} y {0} con {1}', k2: 'solo', map: { a: 1 } });
  p.I18N.en.k2 = 'only';
  p.ST.LANG = 'en';
  assert.equal(p.t('k1', 'A', 'B'), 'A y A con B');
  assert.equal(p.t('k2'), 'only');
  assert.equal(p.t('nope'), 'nope');
  assert.deepEqual(p.t('map'), { a: 1 });
  assert.equal(p.t('k1', '<b>'), '<b> y <b> con {1}', 'arguments are not escaped; a missing one stays');
});

test('prettyId, mmss and yes', () => {
  for (const [v, want] of [['12345678', '12345678'], ['123-456-789', '123 456 789'], ['123456789', '123 456 789'], [null, '']])
    assert.equal(page.prettyId(v), want);
  for (const [v, want] of [[0, '0:00'], [59.9, '0:59'], [61, '1:01'], [3599, '59:59'], [3600, '1:00:00'], [36061, '10:01:01']])
    assert.equal(page.mmss(v), want);
  for (const [v, want] of [['', true], [undefined, true], [' OFF ', false], ['no', false], ['0', false], ['False', false], ['si', true], ['x', true]])
    assert.equal(page.yes(v), want, JSON.stringify(v));
});

