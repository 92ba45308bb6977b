// The Windows sound capture and the mailbox under Wine: /api/audio answers with the
// stream or with the reason it has none, and never hangs; the mailbox keeps its rules in
// the Windows build too. Wine's WASAPI speaks to PulseAudio; a null sink of our own is
// given to it, and what it carries is reported below.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { WineKelvora, winePrefix, wineMissing } from '../lib/wine.mjs';
import { SoundDesk, sounddeskMissing } from '../lib/sounddesk.mjs';

const skip = wineMissing() || sounddeskMissing() || false;
let snd, k;

before(async () => {
  if (skip) return;
  snd = SoundDesk.start();
  k = new WineKelvora({ prefix: winePrefix(), env: snd.env });
  await k.start();
  await k.readToken();
});
after(async () => {
  await k?.stop();
  k?.cleanup();
  snd?.stop();
});

/** The first second of /api/audio: status, headers and either the bytes or the JSON reply. */
function firstSecond() {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port: k.port, path: `/api/audio?t=${k.token}`, agent: false, headers: { Host: `127.0.0.1:${k.port}` } }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ res, body: Buffer.concat(chunks) }));
      if (String(res.headers['content-type']).includes('octet'))
        setTimeout(() => {
          req.destroy();
          resolve({ res, body: Buffer.concat(chunks) });
        }, 1000);
    });
    req.on('error', reject);
  });
}

test('/api/audio gives the stream or an honest refusal', { skip, timeout: 60000 }, async () => {
  const { res, body } = await firstSecond();
  assert.equal(res.statusCode, 200);
  if (String(res.headers['content-type']).includes('octet')) {
    const hz = Number(res.headers['x-hz']);
    assert.ok(hz >= 8000 && hz <= 192000, `X-Hz ${res.headers['x-hz']}`);
    assert.equal(res.headers['transfer-encoding'], 'chunked');
    assert.equal(body.length % 4, 0, 'whole stereo frames');
    test.diagnostic?.(`Wine streamed ${body.length} bytes at ${hz} Hz`);
    console.log(`# Wine streamed ${body.length} bytes in a second at ${hz} Hz`);
  } else {
    const reply = JSON.parse(body.toString('utf8'));
    assert.equal(reply.ok, false);
    assert.equal(typeof reply.msg, 'string');
    assert.ok(reply.msg.length > 0);
    console.log(`# Wine refused the sound: ${reply.msg}`);
  }
});

test('the mailbox keeps its box names and its order in the Windows build', { skip }, async () => {
  assert.deepEqual((await k.post('/api/buzon/poner', { a: 'other', m: 1 })).json, { ok: false });
  // A read waiting on its own box is woken by the put, while the server answers others.
  const pending = k.post('/api/buzon/leer', { de: 'cap' });
  assert.equal((await k.get('/api/version')).status, 200);
  for (const m of [1, { t: 'ice' }]) await k.post('/api/buzon/poner', { a: 'cap', m });
  const first = (await pending).json.m;
  const rest = first.length === 2 ? [] : (await k.post('/api/buzon/leer', { de: 'cap' })).json.m;
  assert.deepEqual([...first, ...rest], [1, { t: 'ice' }]);
});
