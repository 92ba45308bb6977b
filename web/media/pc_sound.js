
// PC audio -------------------------------------------------------------------------------

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
