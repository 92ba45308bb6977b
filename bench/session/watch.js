// Put into every page that shows the host's screen. It samples the centre of a <video>
// at each frame the page presents (requestVideoFrameCallback) or of a <canvas> at each
// animation frame, and reports (kvSeen, a binding of the bench) the wall-clock time at
// which the colour the bench expects first appears. Times are performance.timeOrigin + the
// frame callback's own timestamp, so that every page and the flip program share one clock
// (CLOCK_REALTIME, ms).
(() => {
  const W = (window.kvWatch = { want: null, seen: new Set(), frames: 0, last: null, err: '' });
  const probe = document.createElement('canvas');
  probe.width = probe.height = 4;
  const pctx = probe.getContext('2d', { willReadFrequently: true });

  /** Mean colour of a 4×4 square at the source's centre. */
  function sample(src, w, h) {
    pctx.drawImage(src, Math.floor(w / 2) - 2, Math.floor(h / 2) - 2, 4, 4, 0, 0, 4, 4);
    const d = pctx.getImageData(0, 0, 4, 4).data;
    const c = [0, 0, 0];
    for (let i = 0; i < d.length; i += 4) for (let k = 0; k < 3; k++) c[k] += d[i + k] / 16;
    return c;
  }

  /** Sampling costs a frame conversion: only while a flip is awaited (and now and then to show life). */
  const wanted = () => (W.want && !W.seen.has(W.want.id)) || W.frames % 30 === 0;

  /** The frame's own times, when the browser knows them (WebRTC frames), on the wall clock. */
  function stages(meta) {
    const o = {};
    for (const k of ['captureTime', 'receiveTime', 'expectedDisplayTime']) if (typeof meta[k] === 'number' && meta[k] > 0) o[k] = performance.timeOrigin + meta[k];
    if (typeof meta.processingDuration === 'number') o.decodeMs = meta.processingDuration * 1000;
    return o;
  }

  function check(c, now, meta) {
    W.last = c.map(Math.round);
    const want = W.want;
    if (!want || W.seen.has(want.id)) return;
    const dist = Math.abs(c[0] - want.rgb[0]) + Math.abs(c[1] - want.rgb[1]) + Math.abs(c[2] - want.rgb[2]);
    if (dist >= 90) return;
    W.seen.add(want.id);
    if (window.kvSeen) window.kvSeen(want.id, performance.timeOrigin + now, meta ? stages(meta) : null);
  }

  /** Watches a video element; each presented frame is checked. */
  W.video = (el) => {
    const onFrame = (now, meta) => {
      W.frames++;
      try {
        if (meta.width && meta.height && wanted()) check(sample(el, meta.width, meta.height), now, meta);
      } catch (e) {
        W.err = String(e);
      }
      el.requestVideoFrameCallback(onFrame);
    };
    el.requestVideoFrameCallback(onFrame);
  };

  /** Watches a canvas that someone else paints; checked once per animation frame. */
  W.canvas = (el) => {
    const onFrame = (now) => {
      W.frames++;
      try {
        if (el.width && el.height && wanted()) check(sample(el, el.width, el.height), now);
      } catch (e) {
        W.err = String(e);
      }
      requestAnimationFrame(onFrame);
    };
    requestAnimationFrame(onFrame);
  };

  W.expect = (id, rgb) => { W.want = { id, rgb }; };
})();
