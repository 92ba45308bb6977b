// One line per figure: medians over 20 tone onsets, raw and as a ratio to parec.
import http from 'node:http';
import { spawn } from 'node:child_process';
import { setTimeout as sleep } from 'node:timers/promises';
import { Kelvora } from '../../tests/lib/kelvora.mjs';
import { SoundDesk } from '../../tests/lib/sounddesk.mjs';

const ONSETS = 20;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

/** Calls onSound(time) for the first loud frame after each arm() (s16le stereo bytes). */
function listener() {
  const l = { armed: false, rest: Buffer.alloc(0), hits: [] };
  l.feed = (chunk) => {
    const now = performance.now();
    const buf = l.rest.length ? Buffer.concat([l.rest, chunk]) : chunk;
    const whole = buf.length - (buf.length % 4);
    l.rest = buf.subarray(whole);
    if (!l.armed) return;
    for (let i = 0; i < whole; i += 4) {
      if (Math.abs(buf.readInt16LE(i)) > 3000) {
        l.armed = false;
        l.hits.push(now);
        return;
      }
    }
  };
  return l;
}

const snd = SoundDesk.start();
const k = new Kelvora({ env: snd.env });
let parec;
try {
  await k.start();
  await k.readToken();
  const ours = listener();
  const ref = listener();
  const req = http.get({ host: '127.0.0.1', port: k.port, path: `/api/audio?t=${k.token}`, agent: false, headers: { Host: `127.0.0.1:${k.port}` } }, (res) => res.on('data', ours.feed));
  parec = spawn('parec', ['--raw', '--format=s16le', '--channels=2', '--rate=48000', '--latency-msec=10', '-d', 'kv_null.monitor'], { env: { ...process.env, ...snd.env } });
  parec.stdout.on('data', ref.feed);
  // Each tone has a player of its own. A player kept open and fed silence between tones
  // builds a queue (measured here: parec itself heard the tones 0.4 s to 2.3 s after they
  // were written, later and later through the run, even with the silence fed exactly at
  // the clock's pace), so tones fell past the wait and onsets were missed by one listener
  // or both. Both listeners hear the same tone: the player's start-up time drops out of
  // their difference, which is the figure.
  const frames = (ms, amp) => {
    const n = Math.round((48000 * ms) / 1000);
    const b = Buffer.alloc(n * 4);
    for (let i = 0; i < n; i++) {
      const v = Math.round(amp * Math.sin((2 * Math.PI * 440 * i) / 48000));
      b.writeInt16LE(v, i * 4);
      b.writeInt16LE(v, i * 4 + 2);
    }
    return b;
  };
  const tone = frames(60, 16000);
  await sleep(1500);
  const gaps = [];
  for (let i = 0; i < ONSETS; i++) {
    ours.armed = ref.armed = true;
    const before = [ours.hits.length, ref.hits.length];
    const play = spawn('pacat', ['--playback', '--raw', '--format=s16le', '--channels=2', '--rate=48000', '--latency-msec=10'], { env: { ...process.env, ...snd.env }, stdio: ['pipe', 'ignore', 'ignore'] });
    const played = new Promise((ok) => play.on('exit', ok));
    play.stdin.on('error', () => {});
    play.stdin.end(tone);
    const t0 = performance.now();
    for (let w = 0; w < 300 && (ours.hits.length === before[0] || ref.hits.length === before[1]); w++) await sleep(10);
    if (ours.hits.length > before[0] && ref.hits.length > before[1]) gaps.push([ours.hits.at(-1) - t0, ref.hits.at(-1) - t0]);
    ours.armed = ref.armed = false;
    await played;
    await sleep(200);
  }
  req.destroy();
  if (gaps.length < ONSETS / 2) throw new Error(`only ${gaps.length} of ${ONSETS} onsets were heard by both`);
  const o = median(gaps.map((g) => g[0]));
  const r = median(gaps.map((g) => g[1]));
  const added = median(gaps.map((g) => g[0] - g[1]));
  console.log(`audio onset to /api/audio: ${o.toFixed(1)} ms (median of ${gaps.length})`);
  console.log(`audio onset to parec (reference): ${r.toFixed(1)} ms`);
  console.log(`audio added by the native side: ${added.toFixed(1)} ms (target 25 ms)`);
  console.log(`audio ours/parec: ${(o / r).toFixed(2)}`);
} finally {
  parec?.kill();
  await k.stop();
  k.cleanup();
  snd.stop();
}
