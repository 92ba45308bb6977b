// The PC's sound through /api/audio, against a real PulseAudio daemon whose default output
// is a null sink: a tone played into the sink must come out of the stream.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { execFileSync } from 'node:child_process';
import { setTimeout as sleep } from 'node:timers/promises';
import { Kelvora, waitFor } from '../lib/kelvora.mjs';
import { SoundDesk, sounddeskMissing, leftChannel, hasTone } from '../lib/sounddesk.mjs';

const missing = sounddeskMissing() ?? false;
let snd, k;

before(async () => {
  if (missing) return;
  snd = SoundDesk.start();
  k = new Kelvora({ env: snd.env });
  await k.start();
  await k.readToken();
});
after(async () => {
  await k?.stop();
  k?.cleanup();
  snd?.stop();
});

/** Opens /api/audio; the response with its body gathered as it comes. */
function openStream(port, token) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port, path: `/api/audio?t=${token}`, agent: false, headers: { Host: `127.0.0.1:${port}` } }, (res) => {
      const s = { res, chunks: [], bytes: 0, close: () => req.destroy() };
      res.on('data', (c) => {
        s.chunks.push(c);
        s.bytes += c.length;
      });
      res.on('error', () => {});
      resolve(s);
    });
    req.on('error', reject);
  });
}

/** The stream's bytes from offset on, as s16le stereo left samples. */
function samplesFrom(s, offset) {
  return leftChannel(Buffer.concat(s.chunks).subarray(offset - (offset % 4)));
}

/** Recording streams the daemon has now. */
function recordings() {
  return execFileSync('pactl', ['list', 'short', 'source-outputs'], { env: { ...process.env, ...snd.env }, encoding: 'utf8' })
    .split('\n')
    .filter(Boolean).length;
}

test('two streams at once both carry a 440 Hz tone played into the default output', { skip: missing }, async () => {
  const a = await openStream(k.port, k.token);
  const b = await openStream(k.port, k.token);
  try {
    for (const s of [a, b]) {
      assert.equal(s.res.statusCode, 200);
      assert.equal(s.res.headers['content-type'], 'application/octet-stream');
      assert.equal(s.res.headers['transfer-encoding'], 'chunked');
      assert.equal(s.res.headers['cache-control'], 'no-store');
      // The null sink runs at 48 kHz; the stream keeps the device's own rate.
      assert.equal(s.res.headers['x-hz'], '48000');
    }
    const from = [a.bytes, b.bytes];
    await snd.tone(440, 1.2);
    for (const [i, s] of [a, b].entries()) {
      const x = samplesFrom(s, from[i]);
      assert.ok(x.length > 48000 * 0.8, `stream ${i}: ${x.length} frames while the tone played`);
      assert.ok(hasTone(x, 440, 48000), `stream ${i} carries 440 Hz`);
      assert.ok(!hasTone(x, 620, 48000), `stream ${i}: not just any sound`);
    }
  } finally {
    a.close();
    b.close();
  }
  // Each stream's capture ends with its client.
  await waitFor(() => recordings() === 0, 'the recordings to end when their clients left', 10000);
  await waitFor(() => (k.log().match(/\[AUDIO\] terminó la captura del audio de la PC/g) || []).length >= 2, 'the end lines in the log');
  assert.match(k.log(), /\[AUDIO\] capturando el audio de la PC: 48000 Hz, 2 canales, 16 bits/);
});

test('streams past the limit are refused while the others keep going', { skip: missing }, async () => {
  const open = [];
  try {
    for (let i = 0; i < 8; i++) open.push(await openStream(k.port, k.token));
    assert.ok(open.every((s) => s.res.statusCode === 200));
    const extra = await k.get(`/api/audio?t=${k.token}`);
    assert.equal(extra.json?.ok, false);
    assert.match(extra.json.msg, /demasiadas/);
    // The server still answers everything else.
    assert.equal((await k.post('/api/buzon/poner', { a: 'cap', m: 1 })).json.ok, true);
  } finally {
    for (const s of open) s.close();
  }
  await waitFor(() => recordings() === 0, 'the recordings to end', 10000);
});

test('without a sound server the stream is refused with the reason, not left hanging', { skip: missing }, async () => {
  const lone = new Kelvora({ env: { PULSE_SERVER: `unix:${snd.dir}/no-such-socket` } });
  await lone.start();
  try {
    await lone.readToken();
    const r = await lone.get(`/api/audio?t=${lone.token}`);
    assert.equal(r.status, 200);
    assert.equal(r.json.ok, false);
    assert.match(r.json.msg, /servidor de sonido/);
    assert.match(lone.log(), /\[AUDIO\] no se pudo capturar el audio de la PC: /);
  } finally {
    await lone.stop();
    lone.cleanup();
  }
});
