// Finding speakers by their tone: each fake microphone of the bed plays a pure tone, so a
// page hears someone when that frequency stands out of the noise of what it plays.

/**
 * The level (dBFS of the analyser) of each frequency of `hz`, at its best over `ms`, in the
 * sound of `expr`: an expression evaluated in the page that gives a MediaStream, or a media
 * element whose srcObject is one.
 */
export function toneLevels(page, expr, hz, ms = 1500) {
  return page.evaluate(
    async ([expr, hz, ms]) => {
      const x = (0, eval)(expr);
      const stream = x instanceof MediaStream ? x : x?.srcObject;
      if (!(stream instanceof MediaStream) || !stream.getAudioTracks().length) return hz.map(() => -Infinity);
      const ac = new AudioContext();
      try {
        const an = ac.createAnalyser();
        an.fftSize = 8192;
        an.smoothingTimeConstant = 0;
        ac.createMediaStreamSource(stream).connect(an);
        const d = new Float32Array(an.frequencyBinCount);
        const best = hz.map(() => -Infinity);
        const bin = (f) => Math.round((f * an.fftSize) / ac.sampleRate);
        for (const end = performance.now() + ms; performance.now() < end; ) {
          await new Promise((r) => setTimeout(r, 100));
          an.getFloatFrequencyData(d);
          hz.forEach((f, i) => {
            const b = bin(f);
            const at = Math.max(d[b - 1], d[b], d[b + 1]);
            if (Number.isFinite(at)) best[i] = Math.max(best[i], at);
          });
        }
        return best;
      } finally {
        await ac.close();
      }
    },
    [expr, hz, ms],
  );
}

/**
 * The tones of `hz` heard in the sound of `expr`: loud enough to be a voice (above -45 dB)
 * and not the spill of a louder tone next to it (within 30 dB of the loudest).
 */
export async function tonesHeard(page, expr, hz, ms) {
  const levels = await toneLevels(page, expr, hz, ms);
  const top = Math.max(...levels);
  return hz.filter((_, i) => levels[i] > -45 && levels[i] > top - 30);
}

/**
 * Waits until hear() (a call of tonesHeard) gives exactly `want`: a tone takes a moment to
 * cross and to fall silent. Fails with what was heard last.
 */
export async function untilTones(hear, want, label, tries = 20) {
  let got;
  for (let i = 0; i < tries; i++) {
    got = await hear();
    if (JSON.stringify(got) === JSON.stringify(want)) return;
  }
  throw new Error(`${label}: heard ${JSON.stringify(got)}, wanted ${JSON.stringify(want)}`);
}
