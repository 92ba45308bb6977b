// What a WebRTC pipeline did over a stretch of time, from its peer connections' statistics:
// frames encoded and decoded per second, encode time per frame, the receiver's jitter
// buffer, and why the encoder held back. It says where a pipeline's time goes.

/** Runs in the page: the video counters of the connections that `expr` evaluates to. */
function snapshotInPage(expr) {
  const pcs = [].concat(eval(expr)).filter(Boolean);
  return Promise.all(pcs.map((pc) => pc.getStats())).then((reps) => {
    const o = { at: performance.now() };
    for (const rep of reps) {
      rep.forEach((r) => {
        if (r.kind !== 'video') return;
        const codec = rep.get(r.codecId);
        if (r.type === 'outbound-rtp' && (!o.out || r.framesEncoded > o.out.framesEncoded)) {
          o.out = {
            framesEncoded: r.framesEncoded || 0, totalEncodeTime: r.totalEncodeTime || 0, w: r.frameWidth, h: r.frameHeight,
            limit: r.qualityLimitationReason, impl: r.encoderImplementation, codec: codec && codec.mimeType,
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

/** Starts a stretch on the sending and receiving pages; the returned function ends it. */
export async function rtpMeter(send, recv) {
  const snap = () => Promise.all([send.page.evaluate(snapshotInPage, send.expr), recv.page.evaluate(snapshotInPage, recv.expr)]);
  const [s0, r0] = await snap();
  return async () => {
    const [s1, r1] = await snap();
    const secs = (s1.at - s0.at) / 1000;
    const o = {};
    if (s0.out && s1.out) {
      const n = s1.out.framesEncoded - s0.out.framesEncoded;
      o.enc = {
        fps: n / secs, ms: n ? ((s1.out.totalEncodeTime - s0.out.totalEncodeTime) / n) * 1000 : 0,
        size: `${s1.out.w}x${s1.out.h}`, limit: s1.out.limit, impl: s1.out.impl, codec: String(s1.out.codec || '').replace('video/', ''),
      };
    }
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

/** One line: what the pipeline sent and played over the stretch. */
export function rtpLine(title, label, o) {
  const parts = [];
  if (o.enc) {
    parts.push(`${o.enc.codec} (${o.enc.impl}) ${o.enc.size}, ${o.enc.fps.toFixed(1)} fps encoded, ${o.enc.ms.toFixed(1)} ms encode per frame, held back by ${!o.enc.limit || o.enc.limit === 'none' ? 'nothing' : o.enc.limit}`);
  }
  if (o.dec) parts.push(`${o.dec.fps.toFixed(1)} fps decoded${o.dec.impl ? ` (${o.dec.impl})` : ''}, ${o.dec.dropped} dropped, jitter buffer ${o.dec.jbMs.toFixed(0)} ms`);
  if (parts.length) console.log(`${title}, ${label}, its stream: ${parts.join('; ')}`);
}
