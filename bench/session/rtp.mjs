// What a WebRTC pipeline did over a stretch of time, from its peer connections' statistics:
// frames encoded, sent and decoded per second, encode time per frame, the pacer's delay per
// packet, the bandwidth estimate, the receiver's jitter buffer, and why the encoder held
// back; and how the encoder's choices moved over the stretch. It says where a pipeline's
// time goes.

/** Runs in the page: the video counters of the connections that `expr` evaluates to. */
function snapshotInPage(expr) {
  const pcs = [].concat(eval(expr)).filter(Boolean);
  return Promise.all(pcs.map((pc) => pc.getStats())).then((reps) => {
    const o = { at: performance.now() };
    for (const rep of reps) {
      rep.forEach((r) => {
        if (r.type === 'candidate-pair' && r.nominated && r.state === 'succeeded' && r.availableOutgoingBitrate) {
          o.bwe = Math.max(o.bwe || 0, r.availableOutgoingBitrate);
        }
        if (r.kind !== 'video') return;
        const codec = rep.get(r.codecId);
        if (r.type === 'outbound-rtp' && (!o.out || r.framesEncoded > o.out.framesEncoded)) {
          o.out = {
            framesEncoded: r.framesEncoded || 0, framesSent: r.framesSent || 0, totalEncodeTime: r.totalEncodeTime || 0,
            packetsSent: r.packetsSent || 0, sendDelay: r.totalPacketSendDelay || 0, bytes: r.bytesSent || 0, target: r.targetBitrate || 0,
            w: r.frameWidth, h: r.frameHeight, limit: r.qualityLimitationReason, impl: r.encoderImplementation, codec: codec && codec.mimeType,
          };
        } else if (r.type === 'inbound-rtp' && (!o.in || r.framesDecoded > o.in.framesDecoded)) {
          o.in = {
            framesDecoded: r.framesDecoded || 0, framesDropped: r.framesDropped || 0, jbDelay: r.jitterBufferDelay || 0,
            jbCount: r.jitterBufferEmittedCount || 0, impl: r.decoderImplementation,
          };
        }
      });
    }
    return o;
  });
}

/** What the sender did between two snapshots. */
function sent(s0, s1) {
  if (!s0.out || !s1.out) return null;
  const secs = (s1.at - s0.at) / 1000;
  const n = s1.out.framesEncoded - s0.out.framesEncoded;
  const packets = s1.out.packetsSent - s0.out.packetsSent;
  return {
    fps: n / secs, sentFps: (s1.out.framesSent - s0.out.framesSent) / secs,
    ms: n ? ((s1.out.totalEncodeTime - s0.out.totalEncodeTime) / n) * 1000 : 0,
    pacerMs: packets ? ((s1.out.sendDelay - s0.out.sendDelay) / packets) * 1000 : 0,
    mbps: ((s1.out.bytes - s0.out.bytes) * 8) / secs / 1e6, target: s1.out.target / 1e6, bwe: (s1.bwe || 0) / 1e6,
    size: `${s1.out.w}x${s1.out.h}`, limit: s1.out.limit, impl: s1.out.impl, codec: String(s1.out.codec || '').replace('video/', ''),
  };
}

/** Starts a stretch on the sending and receiving pages; the returned function ends it. */
export async function rtpMeter(send, recv) {
  const snap = () => Promise.all([send.page.evaluate(snapshotInPage, send.expr), recv.page.evaluate(snapshotInPage, recv.expr)]);
  const [s0, r0] = await snap();
  return async () => {
    const [s1, r1] = await snap();
    const o = {};
    const enc = sent(s0, s1);
    if (enc) o.enc = enc;
    if (r0.in && r1.in) {
      const n = r1.in.jbCount - r0.in.jbCount;
      o.dec = {
        fps: (r1.in.framesDecoded - r0.in.framesDecoded) / ((r1.at - r0.at) / 1000), dropped: r1.in.framesDropped - r0.in.framesDropped,
        jbMs: n ? ((r1.in.jbDelay - r0.in.jbDelay) / n) * 1000 : 0, impl: r1.in.impl,
      };
    }
    return o;
  };
}

const limitText = (l) => (!l || l === 'none' ? 'nothing' : l);

/** One line: what the pipeline sent and played over the stretch. */
export function rtpLine(title, label, o) {
  const parts = [];
  if (o.enc) {
    const e = o.enc;
    parts.push(`${e.codec} (${e.impl}) ${e.size}, ${e.fps.toFixed(1)} fps encoded, ${e.sentFps.toFixed(1)} sent, ${e.ms.toFixed(1)} ms encode per frame, ${e.pacerMs.toFixed(1)} ms in the pacer per packet, ${e.mbps.toFixed(1)} Mbit/s (target ${e.target.toFixed(1)}, estimate ${e.bwe.toFixed(1)}), held back by ${limitText(e.limit)}`);
  }
  if (o.dec) parts.push(`${o.dec.fps.toFixed(1)} fps decoded${o.dec.impl ? ` (${o.dec.impl})` : ''}, ${o.dec.dropped} dropped, jitter buffer ${o.dec.jbMs.toFixed(0)} ms`);
  if (parts.length) console.log(`${title}, ${label}, its stream: ${parts.join('; ')}`);
}

/**
 * Samples the sender every `everyMs` until the returned function is called; that gives the
 * stretch as spans in which codec, encoder, size and the reason for holding back stayed the
 * same, each with its range of frame rates and bit rates.
 */
export async function rtpTimeline(send, everyMs = 1000) {
  const snap = () => send.page.evaluate(snapshotInPage, send.expr).catch(() => null);
  const t0 = performance.now();
  const steps = [];
  let prev = await snap();
  let stopped = false;
  const loop = (async () => {
    while (!stopped) {
      await new Promise((r) => setTimeout(r, everyMs));
      const cur = await snap();
      const d = prev && cur ? sent(prev, cur) : null;
      if (d) steps.push({ at: (performance.now() - t0) / 1000, ...d });
      prev = cur;
    }
  })();
  return async () => {
    stopped = true;
    await loop;
    const spans = [];
    for (const s of steps) {
      const key = `${s.codec} (${s.impl}) ${s.size}, held back by ${limitText(s.limit)}`;
      const last = spans.at(-1);
      if (last && last.key === key) last.steps.push(s);
      else spans.push({ key, from: s.at - everyMs / 1000, steps: [s] });
    }
    return spans.map((sp) => {
      const range = (f, digits) => {
        const v = sp.steps.map(f);
        const [lo, hi] = [Math.min(...v), Math.max(...v)];
        return lo.toFixed(digits) === hi.toFixed(digits) ? lo.toFixed(digits) : `${lo.toFixed(digits)}–${hi.toFixed(digits)}`;
      };
      return `${Math.round(sp.from)}–${Math.round(sp.steps.at(-1).at)} s ${sp.key}, ${range((s) => s.fps, 0)} fps, ${range((s) => s.mbps, 1)} Mbit/s`;
    });
  };
}

/** The spans of a timeline in one line. */
export function timelineLine(title, label, spans) {
  if (spans.length) console.log(`${title}, ${label}, the encoder over time: ${spans.join('; ')}`);
}
