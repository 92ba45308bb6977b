// The session benchmarks: glass to glass (still and busy picture, each quality under
// motion), the remote hand and the host's CPU, each against references in the same run:
// x11vnc + noVNC and the floor (bare capture over a loopback peer connection), all
// pipelines watching the same flips together, then each pipeline alone (the others
// stopped: on 2 cores one pipeline's work slows the others'). One line per figure.
//   BENCH_FLIP_BIN (build/bench/flip, compiled by bench/session.sh), BENCH_FLIPS (30),
//   BENCH_QUALITY_FLIPS (15, per quality), BENCH_CLICKS (100), BENCH_DISPLAY (70),
//   BENCH_PORT (9750: this and the next two); BENCH_PARTS ("still,hand,busy,quality": the
//   parts to run);
//   BENCH_FLOOR_QUERY ("?codec=video/VP8&fps=60&hint=motion&jitter=0") and BENCH_FLOOR_FLAGS
//   (browser flags, space-separated) try other settings on the floor, to see what a change
//   would give ours before making it.
import { cpus } from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { PRIMARY, SessionBed, bedMissing } from '../../tests/lib/session_bed.mjs';
import { waitFor } from '../../tests/lib/kelvora.mjs';
import { cpuMeter, machineLoad } from './cpu.mjs';
import { Flip } from './flip.mjs';
import { describe, glassToGlass, markerLine, report, stagesLine, summary } from './glass.mjs';
import { clicks, echoRoundTrips } from './hand.mjs';
import { startRefs } from './refs.mjs';
import { rtpLine, rtpMeter, rtpTimeline, timelineLine } from './rtp.mjs';

const FLIPS = Number(process.env.BENCH_FLIPS ?? 30);
const CLICKS = Number(process.env.BENCH_CLICKS ?? 100);
const QUALITY_FLIPS = Number(process.env.BENCH_QUALITY_FLIPS ?? 15);
const PORT = Number(process.env.BENCH_PORT ?? 9750);
const HERE = path.dirname(new URL(import.meta.url).pathname);
const ms = (v) => `${v.toFixed(1)} ms`;
const pct = (v) => `${Math.round(v * 100)}%`;
const PARTS = (process.env.BENCH_PARTS ?? 'still,hand,busy,quality').split(',');
// The whole run, set-up and clean-up included, takes eight to twenty minutes, as loaded as
// the machine is and as many flips as a pipeline fails to show within 4 s.
const LIMIT_MS = 30 * 60 * 1000;

const missing = bedMissing();
if (missing) {
  console.error(`bench/session: no se puede montar la sesión de prueba: ${missing}`);
  process.exit(1);
}

const load = await machineLoad();
console.log(`machine: ${cpus().length} cores, load average ${load.load1.toFixed(1)}, ${pct(load.busy)} busy before the run`);

let bed, flip, refs;
let cleaning = null;
const cleanup = () => (cleaning ??= (async () => {
  await flip?.stop().catch(() => {});
  await refs?.stop().catch(() => {});
  await bed?.stop().catch(() => {});
})());
const abort = async (why) => {
  console.error(`bench/session: ${why}; limpiando`);
  await cleanup();
  process.exit(1);
};
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.once(sig, () => abort(`señal ${sig}`));
const limit = setTimeout(() => abort(`pasaron ${LIMIT_MS / 60000} minutos`), LIMIT_MS);

try {
  bed = await SessionBed.start({ display: Number(process.env.BENCH_DISPLAY ?? 70) });
  const host = await bed.host('PC de banco');
  const tech = await bed.tech('Técnico de banco');
  const k = await tech.connect(host.id, { control: true });
  if (!k) throw new Error('el técnico no abrió la sesión');
  await host.accept();
  await host.waitConnected();
  const size = await tech.waitPicture(k);
  const pic = `${size.w}x${size.h}`;

  refs = await startRefs({
    display: bed.x.display,
    clip: `${PRIMARY.w}x${PRIMARY.h}+${PRIMARY.x}+${PRIMARY.y}`,
    ports: { web: PORT, ws: PORT + 1, rfb: PORT + 2 },
    captureSource: 'Screen 1',
    viewer: await bed.browser(),
    floorQuery: process.env.BENCH_FLOOR_QUERY ?? '',
    floorArgs: (process.env.BENCH_FLOOR_FLAGS ?? '').split(' ').filter(Boolean),
  });
  flip = await Flip.start(process.env.BENCH_FLIP_BIN ?? 'build/bench/flip', bed.x.display, PRIMARY);
  await tech.page.addScriptTag({ path: path.join(HERE, 'watch.js') });
  await tech.page.evaluate((k) => window.kvWatch.video(kelvora.TS.get(k).vid), k);
  const watchers = { ours: tech.page, vnc: refs.vnc, floor: refs.floor };
  const LABEL = { ours: 'ours', vnc: 'x11vnc+noVNC', floor: 'floor' };
  const OURS = { key: 'ours', label: LABEL.ours };
  const REF_KEYS = ['vnc', 'floor'];

  // Each pipeline can be stopped, so that it is measured alone as well as with the others:
  // on 2 cores one pipeline's work slows the others'.
  const running = { ours: true, vnc: true, floor: true };
  const control = {
    ours: (on) => host.page.evaluate(async (on) => {
      const sender = kelvora.HSES.vtx.sender;
      const p = sender.getParameters();
      p.encodings[0].active = on;
      await sender.setParameters(p);
    }, on),
    vnc: async (on) => {
      await refs.vnc.evaluate((on) => (on ? window.vnc.start() : window.vnc.stop()), on);
      if (on) await waitFor(() => refs.vnc.evaluate(() => window.vnc.state === 'running'), 'noVNC again', 30000);
    },
    floor: async (on) => {
      if (!on) return refs.floor.evaluate(() => window.floor.stop());
      await refs.floor.evaluate(() => begin());
      const st = await refs.floor.evaluate(() => window.floor.state);
      if (st !== 'running') throw new Error(`la página de referencia no volvió a capturar: ${await refs.floor.evaluate(() => window.floor.error)}`);
    },
  };
  /** Only the pipelines named run; the others stop. */
  const only = async (keys) => {
    for (const k of Object.keys(running)) {
      const on = keys.includes(k);
      if (running[k] === on) continue;
      await control[k](on);
      running[k] = on;
    }
    // A pipeline that starts again settles before it is measured.
    await sleep(2500);
  };

  const oursRtp = { send: { page: host.page, expr: 'kelvora.HSES.pc' }, recv: { page: tech.page, expr: `kelvora.TS.get(${JSON.stringify(k)}).pc` } };
  const floorRtp = { page: refs.floor, expr: 'window.floor.pcs' };
  const rtpOf = { ours: [oursRtp.send, oursRtp.recv], floor: [floorRtp, floorRtp] };

  /**
   * Glass to glass with the pipelines `keys` running and watching the same flips: the
   * delays (against the references present), where each WebRTC pipeline's time went, the
   * marker frame by frame, and with `timeline` the encoders over time. Gives the results
   * and the streams' figures by pipeline.
   */
  const glassRun = async (title, keys, { flips = FLIPS, timeline = false } = {}) => {
    await only(keys);
    const rtc = keys.filter((x) => rtpOf[x]);
    const meters = {}, lines = {};
    for (const x of rtc) {
      meters[x] = await rtpMeter(...rtpOf[x]);
      if (timeline) lines[x] = await rtpTimeline(rtpOf[x][0]);
    }
    const r = await glassToGlass(flip, Object.fromEntries(keys.map((x) => [x, watchers[x]])), flips);
    const streams = {};
    for (const x of rtc) streams[x] = await meters[x]();
    const spans = {};
    for (const x of rtc) if (lines[x]) spans[x] = await lines[x]();
    const against = REF_KEYS.filter((x) => keys.includes(x)).map((key) => ({ key, label: LABEL[key] }));
    if (keys.includes('ours') && against.length) report(`glass to glass, ${title} ${pic}`, r, OURS, against);
    else for (const x of keys) console.log(`glass to glass, ${title} ${pic}, ${LABEL[x]}: ${describe(LABEL[x], r[x])}`);
    for (const x of keys) {
      stagesLine(title, LABEL[x], r[x]);
      if (streams[x]) rtpLine(title, LABEL[x], streams[x]);
      if (spans[x]) timelineLine(title, LABEL[x], spans[x]);
      markerLine(title, LABEL[x], r[x]);
    }
    return { r, streams };
  };

  /** Ratios of the alone runs: ours against each reference, each measured with nothing else running. */
  const aloneRatios = (title, alone) => {
    const res = Object.fromEntries(Object.entries(alone).map(([x, a]) => [x, a.r[x]]));
    report(`glass to glass, ${title} ${pic}, each pipeline alone`, res, OURS, REF_KEYS.map((key) => ({ key, label: LABEL[key] })));
  };

  // 1. Still picture: the whole monitor changes colour at once; all together, then each alone.
  const ALL = ['ours', 'vnc', 'floor'];
  if (PARTS.includes('still')) {
    await glassRun('still picture', ALL);
    const still = {};
    for (const x of ALL) still[x] = await glassRun(`still picture, ${LABEL[x]} alone`, [x]);
    aloneRatios('still picture', still);
  }

  // 2. The remote hand, on the same session, in the middle of the picture, ours alone.
  if (PARTS.includes('hand')) await handRun();
  if (PARTS.includes('busy') || PARTS.includes('quality')) {
    await flip.busy(30);
    await sleep(3000);
    if (PARTS.includes('busy')) await busyRun();
    if (PARTS.includes('quality')) await qualityRun();
    await flip.busy(0);
  }
  const after = await machineLoad();
  console.log(`machine after the run: load average ${after.load1.toFixed(1)}, ${pct(after.busy)} busy`);

  async function handRun() {
    await only(['ours']);
    const at = await tech.viewerPoint(k, 0.5, 0.5);
    const hand = await clicks(tech.page, host.page, flip, at, CLICKS);
    const echo = summary(await echoRoundTrips(tech.page, CLICKS));
    const h = summary(hand.delays);
    console.log(`remote hand (viewer mousedown → ButtonPress on the host), ours/WebSocket echo: ${(h.median / echo.median).toFixed(2)}x (ours ${ms(h.median)}, p10–p90 ${ms(h.p10)}–${ms(h.p90)}${hand.missed ? `, ${hand.missed} clicks lost` : ''}; loopback echo round trip ${ms(echo.median)}, p10–p90 ${ms(echo.p10)}–${ms(echo.p90)}; ${CLICKS} clicks)`);
    if (hand.channel.length) {
      console.log(`remote hand, ours, where the time goes (medians): viewer → host page over the data channel ${ms(summary(hand.channel).median)}, host page → X client (input queue, /api/input, XTest) ${ms(summary(hand.toX).median)}`);
    }
  }

  /**
   * 3. Busy picture: full-screen motion at 30 fps with the flipping square in the middle;
   * all together, then each alone, the host's CPU taken over each alone stretch.
   */
  async function busyRun() {
    await glassRun('busy picture', ALL, { timeline: true });
    const busy = {};
    const cpu = {};
    const roots = { ours: { ours: host.k.proc.pid }, vnc: { x11vnc: refs.pids.x11vnc, websockify: refs.pids.websockify } };
    const vncFrames = () => refs.vnc.evaluate(() => window.vnc.frames);
    let vncFps = 0;
    for (const x of ALL) {
      await only([x]);
      const meter = roots[x] ? cpuMeter(roots[x]) : null;
      const [t0, f0] = [Date.now(), x === 'vnc' ? await vncFrames() : 0];
      busy[x] = await glassRun(`busy picture, ${LABEL[x]} alone`, [x], { timeline: true });
      if (meter) cpu[x] = meter();
      if (x === 'vnc') vncFps = ((await vncFrames()) - f0) / ((Date.now() - t0) / 1000);
    }
    aloneRatios('busy picture', busy);

    // Host CPU, each pipeline alone over the same busy picture. Each side sends as many
    // frames as it keeps up with, so the cost of one frame says more than the share.
    const oursFps = busy.ours.streams.ours?.enc?.sentFps ?? 0;
    const [co, cv] = [cpu.ours.ours, cpu.vnc.x11vnc];
    console.log(`host CPU, busy picture ${pic}, each alone, ours/x11vnc: ${(co.share / cv.share).toFixed(2)}x (kelvora and its browser, ${co.procs} processes, ${pct(co.share)} of a core; x11vnc ${pct(cv.share)}, its websockify ${pct(cpu.vnc.websockify.share)})`);
    if (oursFps > 0 && vncFps > 0) {
      const per = (share, fps) => (share * 1000) / fps;
      const o = per(co.share, oursFps), v = per(cv.share, vncFps);
      console.log(`host CPU per frame sent, busy picture ${pic}, each alone, ours/x11vnc: ${(o / v).toFixed(2)}x (ours ${ms(o)} at ${oursFps.toFixed(1)} fps; x11vnc ${ms(v)} at ${vncFps.toFixed(1)} updates a second)`);
    }
  }

  /**
   * 4. The qualities the technician can pick, under the same motion, ours alone; the session
   * goes back to the quality it had.
   */
  async function qualityRun() {
    // What the viewer's quality menu does: the session's own quality, told to the host.
    const pickQuality = (q) => tech.page.evaluate(([k, q]) => {
      const s = kelvora.TS.get(k);
      s.quality = q;
      s.fps = 30;
      kelvora.ctl(s, { t: 'quality', q, fps: 30 });
    }, [k, q]);
    const before = await tech.page.evaluate((k) => kelvora.TS.get(k).quality, k);
    const modes = {};
    for (const q of ['nitidez', 'fluidez', 'auto']) {
      await pickQuality(q);
      modes[q] = await glassRun(`busy picture, ours alone, quality "${q}"`, ['ours'], { flips: QUALITY_FLIPS, timeline: true });
    }
    await pickQuality(before);
    const auto = summary(modes.auto.r.ours.delays).median;
    for (const q of ['nitidez', 'fluidez']) {
      const d = summary(modes[q].r.ours.delays).median;
      console.log(`busy picture ${pic}, ours alone, quality "${q}"/"auto": ${Number.isFinite(d) && Number.isFinite(auto) ? `${(d / auto).toFixed(2)}x` : 'n/a'} (${describe(q, modes[q].r.ours)}; ${describe('auto', modes.auto.r.ours)})`);
    }
  }
} finally {
  clearTimeout(limit);
  await cleanup();
}
