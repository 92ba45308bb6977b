// The PC's sound for a technician: the local server's raw stream played through a worklet
// into a track the session sends.

import { openSound } from '../core/api.js';

/**
 * The worklet that plays the PC's 16-bit stereo samples. It keeps at most half a second
 * queued (dropping the oldest buffers), so the delay cannot grow when the page is slow.
 */
export const PCM_WORKLET = `class KvPcm extends AudioWorkletProcessor {
  constructor() {
    super();
    this.q = []; this.n = 0; this.o = 0; this.max = sampleRate * 0.5 * 2;
    this.port.onmessage = (e) => {
      const a = e.data;
      if (!(a instanceof Int16Array) || !a.length) return;
      this.q.push(a); this.n += a.length;
      while (this.n > this.max && this.q.length > 1) { this.n -= this.q.shift().length - this.o; this.o = 0; }
    };
  }
  process(inputs, outputs) {
    const out = outputs[0], L = out[0], R = out[1] || out[0];
    for (let i = 0; i < L.length; i++) {
      const a = this.q[0];
      if (!a) { L[i] = 0; R[i] = 0; continue; }
      L[i] = a[this.o] / 32768; R[i] = (this.o + 1 < a.length ? a[this.o + 1] : 0) / 32768;
      this.o += 2; this.n -= 2;
      if (this.o >= a.length) { this.q.shift(); this.o = 0; }
    }
    return true;
  }
}
registerProcessor('kv-pcm', KvPcm);`;

/** Joins a chunk to the previous remainder: the whole stereo frames (4 bytes each) and what is left. */
export function splitPcm(/** @type {Uint8Array} */ rest, /** @type {Uint8Array} */ chunk) {
  const all = new Uint8Array(rest.length + chunk.length);
  all.set(rest, 0);
  all.set(chunk, rest.length);
  const n = all.length - (all.length % 4);
  return { whole: all.slice(0, n), rest: all.slice(n) };
}

/**
 * The PC's sound from the local server as a stereo track: the raw stream feeds the worklet,
 * whose output is the track. pipe.ctrl stops the stream; pipe.ctx holds the audio context
 * as soon as there is one, so that closePcSound ends everything however far this got.
 */
export async function openPcSound(/** @type {{ctrl: AbortController, ctx: AudioContext|null}} */ pipe) {
  const r = await openSound(pipe.ctrl.signal);
  if (!r.ok || !r.body || !String(r.headers.get('Content-Type') || '').includes('octet')) throw new Error('sin audio');
  const hz = Number(r.headers.get('X-Hz'));
  // AudioContext refuses rates far outside what sound cards use.
  const rate = Number.isFinite(hz) && hz >= 8000 && hz <= 192000 ? hz : 48000;
  const ctx = new AudioContext({ sampleRate: rate, latencyHint: 'interactive' });
  pipe.ctx = ctx;
  const url = URL.createObjectURL(new Blob([PCM_WORKLET], { type: 'text/javascript' }));
  try {
    await ctx.audioWorklet.addModule(url);
  } finally {
    URL.revokeObjectURL(url);
  }
  const node = new AudioWorkletNode(ctx, 'kv-pcm', { numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [2] });
  const dest = ctx.createMediaStreamDestination();
  dest.channelCount = 2;
  node.connect(dest);
  ctx.resume().catch(() => {});
  return { track: dest.stream.getAudioTracks()[0], node, reader: r.body.getReader() };
}

/** Feeds the worklet whole stereo frames until the stream ends or live() says no more. */
export async function pumpPcSound(/** @type {ReadableStreamDefaultReader<Uint8Array>} */ reader, /** @type {AudioWorkletNode} */ node, /** @type {() => boolean} */ live) {
  let rest = new Uint8Array(0);
  try {
    for (;;) {
      const { done, value } = await reader.read();
      if (done || !live()) break;
      const x = splitPcm(rest, value);
      rest = x.rest;
      if (x.whole.length) {
        const pcm = new Int16Array(x.whole.buffer);
        node.port.postMessage(pcm, [pcm.buffer]);
      }
    }
  } catch {}
}

/** Stops the stream and closes the audio context. */
export function closePcSound(/** @type {{ctrl: AbortController, ctx: AudioContext|null}} */ pipe) {
  try {
    pipe.ctrl.abort();
  } catch {}
  if (pipe.ctx) pipe.ctx.close().catch(() => {});
}
