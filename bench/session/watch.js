// Put into every page that shows the host's screen. It samples the centre of a <video>
// at each frame the page presents (requestVideoFrameCallback) or of a <canvas> at each
// animation frame, and reports (kvSeen, a binding of the bench) the wall-clock time at
// which the colour the bench expects first appears. Times are performance.timeOrigin + the
// frame callback's own timestamp, so that every page and the flip program share one clock
// (CLOCK_REALTIME, ms).
//
// A colour is recognised within `near` of it (the bench gives half the distance to the
// nearest other colour it uses, so that no frame passes for the wrong one), as a starved
// encoder may keep the marker a little off for seconds. Each flip also reports the first
// frame that is clearly no longer the old colour ("changed") and the colour error of every
// frame in between, so that the bench can tell delay from colour fidelity.
(() => {
  const W = (window.kvWatch = { want: null, seen: new Set(), frames: 0, last: null, err: '', recv: 0 });
  const probe = document.createElement('canvas');
  probe.width = probe.height = 4;
  const pctx = probe.getContext('2d', { willReadFrequently: true });
  /** Beyond this (sum over the channels) from the old colour, a frame has changed. */
  const CHANGED = 90;
  const TRACE_MAX = 120;

  /** Mean colour of a 4×4 square at the source's centre. */
  function sample(src, w, h) {
    pctx.drawImage(src, Math.floor(w / 2) - 2, Math.floor(h / 2) - 2, 4, 4, 0, 0, 4, 4);
    const d = pctx.getImageData(0, 0, 4, 4).data;
    const c = [0, 0, 0];
    for (let i = 0; i < d.length; i += 4) for (let k = 0; k < 3; k++) c[k] += d[i + k] / 16;
    return c;
  }

  const dist = (a, b) => Math.abs(a[0] - b[0]) + Math.abs(a[1] - b[1]) + Math.abs(a[2] - b[2]);

  /** Sampling costs a frame conversion: only while a flip is awaited (and now and then to show life). */
  const wanted = () => (W.want && !W.seen.has(W.want.id)) || W.frames % 30 === 0;

  /**
   * The frame's own times on the wall clock: those the browser knows for WebRTC frames, or
   * for a painted canvas the arrival of the page's last message (W.recv, set by the page).
   */
  function stages(meta) {
    const o = {};
    if (meta) {
      for (const k of ['captureTime', 'receiveTime', 'presentationTime', 'expectedDisplayTime']) if (typeof meta[k] === 'number' && meta[k] > 0) o[k] = performance.timeOrigin + meta[k];
      if (typeof meta.processingDuration === 'number') o.decodeMs = meta.processingDuration * 1000;
    } else if (W.recv) o.receiveTime = W.recv;
    return o;
  }

  function check(c, now, meta) {
    W.last = c.map(Math.round);
    const want = W.want;
    if (!want || W.seen.has(want.id)) return;
    const t = performance.timeOrigin + now;
    const err = dist(c, want.rgb);
    if (want.trace.length < TRACE_MAX) want.trace.push(Math.round(err));
    if (!want.changed && (!want.from || dist(c, want.from) >= CHANGED)) want.changed = { t, stages: stages(meta) };
    if (err >= want.near) return;
    W.seen.add(want.id);
    if (window.kvSeen) window.kvSeen(want.id, t, stages(meta), { changed: want.changed, trace: want.trace });
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

  /** Watches a canvas that someone else paints (the latest one given); checked once per animation frame. */
  W.canvas = (el) => {
    const first = !W.canvasEl;
    W.canvasEl = el;
    if (!first) return;
    const onFrame = (now) => {
      W.frames++;
      const c = W.canvasEl;
      try {
        if (c.width && c.height && wanted()) check(sample(c, c.width, c.height), now, null);
      } catch (e) {
        W.err = String(e);
      }
      requestAnimationFrame(onFrame);
    };
    requestAnimationFrame(onFrame);
  };

  /** The next flip: its id, its colour, how near counts as that colour, and the colour it changes from. */
  W.expect = (id, rgb, near, from) => { W.want = { id, rgb, near, from, changed: null, trace: [] }; };
})();
