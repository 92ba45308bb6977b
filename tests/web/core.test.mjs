// The page's pure rules, run on the page's own scripts.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { loadPage } from '../lib/page_vm.mjs';

const page = loadPage();

test('esc makes any value safe for markup', () => {
  for (const [v, want] of [
    [`<a href="x" onclick='y'>&`, '&lt;a href=&quot;x&quot; onclick=&#39;y&#39;&gt;&amp;'],
    [null, ''], [undefined, ''], [0, '0'], [false, 'false'],
  ]) assert.equal(page.esc(v), want);
});

test('t falls back to Spanish, then to the key, and fills every {n}', () => {
  const p = loadPage();
  p.run(`I18N.es.k1 = '{0} y {0} con {1}'; I18N.es.k2 = 'solo'; I18N.en.k2 = 'only'; I18N.es.map = {a: 1};`);
  p.run(`LANG = 'en'`);
  assert.equal(p.run(`t('k1', 'A', 'B')`), 'A y A con B');
  assert.equal(p.run(`t('k2')`), 'only');
  assert.equal(p.run(`t('nope')`), 'nope');
  assert.deepEqual({ ...p.run(`t('map')`) }, { a: 1 });
  assert.equal(p.run(`t('k1', '<b>')`), '<b> y <b> con {1}', 'arguments are not escaped; a missing one stays');
});

test('prettyId, mmss and yes', () => {
  for (const [v, want] of [['12345678', '12345678'], ['123-456-789', '123 456 789'], ['123456789', '123 456 789'], [null, '']])
    assert.equal(page.prettyId(v), want);
  for (const [v, want] of [[0, '0:00'], [59.9, '0:59'], [61, '1:01'], [3599, '59:59'], [3600, '1:00:00'], [36061, '10:01:01']])
    assert.equal(page.mmss(v), want);
  for (const [v, want] of [['', true], [undefined, true], [' OFF ', false], ['no', false], ['0', false], ['False', false], ['si', true], ['x', true]])
    assert.equal(page.yes(v), want, JSON.stringify(v));
});

test('fmtIdInput keeps nine digits in groups of three', () => {
  for (const [v, want] of [['1', '1'], ['1234', '123 4'], ['123456789012', '123 456 789'], ['12a-34 5', '123 45'], ['', '']]) {
    const input = { value: v };
    page.fmtIdInput(input);
    assert.equal(input.value, want);
  }
});

test('an expired token reloads the page at most once a minute, never during a session', () => {
  for (const [now, last, busy, want] of [
    [100000, 0, false, true],
    [100000, 50000, false, false],
    [100000, 39999, false, true],
    [100000, 0, true, false],
  ]) assert.equal(page.reloadAfter403(now, last, busy), want, `${now} ${last} ${busy}`);
});

test('two 403 replies within a minute reload once; with a session open none', async () => {
  const p = loadPage();
  p.fetch = async () => ({ status: 403, json: async () => ({ ok: false }) });
  assert.deepEqual({ ...(await p.run(`post('/api/x')`)) }, { ok: false }, 'the refusal still reaches the caller');
  await p.run(`post('/api/x')`);
  assert.equal(p.reloads, 1);
  p.run(`sessionStorage.setItem('kv403', '0'); TS.set('t1', {})`);
  await p.run(`post('/api/x')`);
  assert.equal(p.reloads, 1);
});
