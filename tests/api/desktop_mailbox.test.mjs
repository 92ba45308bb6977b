// The mailbox between the main page and the capture page, against the real binary: its two
// boxes, the 200 limit, and reads that wait for a put without holding up anything else.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Kelvora } from '../lib/kelvora.mjs';

let k;

before(async () => {
  k = new Kelvora();
  await k.start();
  await k.readToken();
});
after(async () => {
  await k?.stop();
  k?.cleanup();
});

const put = (a, m) => k.post('/api/buzon/poner', m === undefined ? { a } : { a, m });
const read = (de) => k.post('/api/buzon/leer', { de });

test('only the boxes "cap" and "main" exist; bad names are refused at once and store nothing', async () => {
  for (const a of ['other', '', 'CAP', 'main ', null, 7]) assert.deepEqual((await put(a, 'x')).json, { ok: false }, `put to ${JSON.stringify(a)}`);
  for (const de of ['x', '', null, ['cap']]) assert.deepEqual((await read(de)).json, { ok: false, m: [] }, `read of ${JSON.stringify(de)}`);
  // Whatever came through a bad name landed nowhere: a put to "main" is all "main" holds.
  await put('main', 'only');
  assert.deepEqual((await read('main')).json, { ok: true, m: ['only'] });
});

test('any JSON value travels unchanged, a missing one as null, in order', async () => {
  const values = [{ t: 'ice', c: { candidate: 'a', sdpMid: '0' } }, [1, [2]], 'ñ😀', 0, false];
  for (const m of values) await put('cap', m);
  await put('cap');
  assert.deepEqual((await read('cap')).json, { ok: true, m: [...values, null] });
});

test('the 201st message of an unread box is acknowledged and lost', async () => {
  for (let i = 0; i < 201; i++) assert.deepEqual((await put('main', i)).json, { ok: true });
  const r = await read('main');
  assert.deepEqual(r.json.m, Array.from({ length: 200 }, (_, i) => i));
  // The box was emptied by the read and takes messages again.
  await put('main', 'again');
  assert.deepEqual((await read('main')).json.m, ['again']);
});

test('a waiting read wakes on a put to its box, not on one to the other box', async () => {
  const pending = read('cap');
  let done = false;
  pending.then(() => (done = true));
  await put('main', 'not for cap');
  // Other requests are answered while the read waits.
  assert.equal((await k.get('/api/version')).status, 200);
  assert.deepEqual((await read('main')).json.m, ['not for cap']);
  assert.equal(done, false);
  await put('cap', { t: 'answer' });
  assert.deepEqual((await pending).json, { ok: true, m: [{ t: 'answer' }] });
});

test('closing the capture window empties both boxes, and a read of an empty box gives none after its wait', async () => {
  await put('cap', 1);
  await put('main', 2);
  assert.deepEqual((await k.post('/api/captura', { off: true })).json, { ok: true });
  assert.doesNotMatch(k.log(), /se cerró la ventana auxiliar/, 'no window was running');
  const started = Date.now();
  assert.deepEqual((await read('main')).json, { ok: true, m: [] });
  assert.ok(Date.now() - started >= 14000, 'the read waited for a message');
});

test('reads past the waiting limit answer at once, and the server keeps serving', async () => {
  const waiting = Array.from({ length: 12 }, () => read('main'));
  // Some of them come back empty at once; the others are still waiting.
  const first = await Promise.race(waiting);
  assert.deepEqual(first.json, { ok: true, m: [] });
  assert.equal((await k.post('/api/nada')).json.msg, 'no existe');
  await put('main', 'x');
  // A waiting read takes it; the rest go on waiting (they end with the server).
  const got = await Promise.any(waiting.map((p) => p.then((r) => (r.json.m.length ? r : Promise.reject(new Error('empty'))))));
  assert.deepEqual(got.json.m, ['x']);
});
