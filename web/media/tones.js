// The page's sounds: the beep of a request and the tones of ringing and calling.

import { LINES, RING, ST } from '../core/state.js';
import { sinkCtx } from './devices.js';

/** @type {AudioContext|null} */
let beepCtx = null;
export function beep() {
  try {
    beepCtx = beepCtx || new AudioContext();
    const c = beepCtx, o = c.createOscillator(), g = c.createGain(), t0 = c.currentTime;
    o.type = 'sine';
    [880, 1175, 880, 1175].forEach((f, i) => o.frequency.setValueAtTime(f, t0 + i * 0.16));
    g.gain.setValueAtTime(0.0001, t0);
    g.gain.exponentialRampToValueAtTime(0.25, t0 + 0.03);
    g.gain.exponentialRampToValueAtTime(0.0001, t0 + 0.7);
    o.connect(g).connect(c.destination);
    o.start(t0);
    o.stop(t0 + 0.72);
  } catch {}
}

// Tones --------------------------------------------------------------------------------------------

/** The tone that fits now: incoming while a ring shows, else outgoing while the caller line on air rings. */
export function ringTone() {
  const want = ST.RINGIN ? 'in' : [...LINES.values()].some((o) => o.role === 'caller' && o.state === 'ringing' && !o.held) ? 'out' : '';
  if (want === RING.kind) return;
  clearInterval(RING.timer);
  RING.kind = want;
  if (RING.ac) {
    const ac = RING.ac;
    RING.ac = null;
    ac.close().catch(() => {});
  }
  if (!want) return;
  try {
    RING.ac = new AudioContext();
    sinkCtx(RING.ac);
  } catch {
    return;
  }
  const play = () => {
    if (!RING.ac) return;
    if (want === 'in') toneBurst(RING.ac, [440, 480], [[0, 0.4], [0.6, 1.0]], 0.2);
    else toneBurst(RING.ac, [440, 480], [[0, 2]], 0.06);
  };
  play();
  RING.timer = setInterval(play, want === 'in' ? 3000 : 6000);
}

/** Sine tones of freqs together, on during each [from, to] second span, at gain. */
export function toneBurst(/** @type {AudioContext} */ ac, /** @type {number[]} */ freqs, /** @type {number[][]} */ spans, /** @type {number} */ gain) {
  try {
    const g = ac.createGain();
    g.gain.value = 0;
    g.connect(ac.destination);
    const t0 = ac.currentTime + 0.02;
    for (const [a, b] of spans) {
      g.gain.setValueAtTime(gain, t0 + a);
      g.gain.setValueAtTime(0, t0 + b);
    }
    const end = t0 + Math.max(...spans.map((x) => x[1]));
    for (const f of freqs) {
      const o = ac.createOscillator();
      o.frequency.value = f;
      o.connect(g);
      o.start(t0);
      o.stop(end);
    }
  } catch {}
}

/** Three rising notes on the chosen speaker. */
export function devSpeakerTest() {
  try {
    const ac = new AudioContext();
    sinkCtx(ac);
    [523, 659, 784].forEach((f, i) => toneBurst(ac, [f], [[i * 0.18, i * 0.18 + 0.16]], 0.15));
    setTimeout(() => ac.close().catch(() => {}), 1500);
  } catch {}
}
