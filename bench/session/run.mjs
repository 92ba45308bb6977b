// The session benchmarks: glass to glass (still and busy picture), the remote hand and the
// host's CPU, each against references run side by side in the same run. One line per figure.
//   BENCH_FLIP_BIN (build/bench/flip, compiled by bench/session.sh), BENCH_FLIPS (30),
//   BENCH_CLICKS (100), BENCH_DISPLAY (70), BENCH_PORT (9750: this and the next two);
//   BENCH_FLOOR_QUERY ("?codec=video/VP8&fps=60&hint=motion&jitter=0") and BENCH_FLOOR_FLAGS
//   (browser flags, space-separated) try other settings on the floor, to see what a change
//   would give ours before making it.
import { cpus } from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { PRIMARY, SessionBed, bedMissing } from '../../tests/lib/session_bed.mjs';
import { cpuMeter, machineLoad } from './cpu.mjs';
import { Flip } from './flip.mjs';
import { glassToGlass, report, stagesLine, summary } from './glass.mjs';
import { clicks, echoRoundTrips } from './hand.mjs';
import { startRefs } from './refs.mjs';
import { rtpLine, rtpMeter } from './rtp.mjs';

const FLIPS = Number(process.env.BENCH_FLIPS ?? 30);
const CLICKS = Number(process.env.BENCH_CLICKS ?? 100);
const PORT = Number(process.env.BENCH_PORT ?? 9750);
const HERE = path.dirname(new URL(import.meta.url).pathname);
const ms = (v) => `${v.toFixed(1)} ms`;
const pct = (v) => `${Math.round(v * 100)}%`;
// The whole run, set-up and clean-up included, takes three to eight minutes, as loaded as
// the machine is.
const LIMIT_MS = 12 * 60 * 1000;

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
  const OURS = { key: 'ours', label: 'ours' };
  const REFS = [{ key: 'vnc', label: 'x11vnc+noVNC' }, { key: 'floor', label: 'floor' }];

  // 1. Still picture: the whole monitor changes colour at once.
  const oursRtp = { send: { page: host.page, expr: 'kelvora.HSES.pc' }, recv: { page: tech.page, expr: `kelvora.TS.get(${JSON.stringify(k)}).pc` } };
  const floorRtp = { page: refs.floor, expr: 'window.floor.pcs' };
  const meters = async () => [await rtpMeter(oursRtp.send, oursRtp.recv), await rtpMeter(floorRtp, floorRtp)];
  /** The delays against both references, then where the WebRTC pipelines' time went. */
  const glassRun = async (title) => {
    const [mo, mf] = await meters();
    const r = await glassToGlass(flip, watchers, FLIPS);
    const [so, sf] = [await mo(), await mf()];
    report(`glass to glass, ${title} ${pic}`, r, OURS, REFS);
    stagesLine(title, 'ours', r.ours);
    rtpLine(title, 'ours', so);
    stagesLine(title, 'floor', r.floor);
    rtpLine(title, 'floor', sf);
    return so;
  };
  await glassRun('still picture');

  // 2. The remote hand, on the same session, in the middle of the picture.
  const at = await tech.viewerPoint(k, 0.5, 0.5);
  const hand = await clicks(tech.page, host.page, flip, at, CLICKS);
  const echo = summary(await echoRoundTrips(tech.page, CLICKS));
  const h = summary(hand.delays);
  console.log(`remote hand (viewer mousedown → ButtonPress on the host), ours/WebSocket echo: ${(h.median / echo.median).toFixed(2)}x (ours ${ms(h.median)}, p10–p90 ${ms(h.p10)}–${ms(h.p90)}${hand.missed ? `, ${hand.missed} clicks lost` : ''}; loopback echo round trip ${ms(echo.median)}, p10–p90 ${ms(echo.p10)}–${ms(echo.p90)}; ${CLICKS} clicks)`);
  if (hand.channel.length) {
    console.log(`remote hand, ours, where the time goes (medians): viewer → host page over the data channel ${ms(summary(hand.channel).median)}, host page → X client (input queue, /api/input, XTest) ${ms(summary(hand.toX).median)}`);
  }

  // 3. Busy picture: full-screen motion at 30 fps with the flipping square in the middle;
  //    the host's CPU is taken over the same stretch.
  await flip.busy(30);
  await sleep(3000);
  const meter = cpuMeter({ ours: host.k.proc.pid, x11vnc: refs.pids.x11vnc, websockify: refs.pids.websockify });
  const vncFrames = () => refs.vnc.evaluate(() => window.vnc.frames);
  const [t0, f0] = [Date.now(), await vncFrames()];
  const stream = await glassRun('busy picture');
  const cpu = meter();
  const secs = (Date.now() - t0) / 1000;
  const vncFps = ((await vncFrames()) - f0) / secs;
  const oursFps = stream.enc ? stream.enc.fps : 0;
  console.log(`host CPU, busy picture ${pic}, ours/x11vnc: ${(cpu.ours.share / cpu.x11vnc.share).toFixed(2)}x (kelvora and its browser, ${cpu.ours.procs} processes, ${pct(cpu.ours.share)} of a core; x11vnc ${pct(cpu.x11vnc.share)}, its websockify ${pct(cpu.websockify.share)}; ${Math.round(secs)} s)`);
  // Each side sends as many frames as it keeps up with, so the cost of one frame says more.
  if (oursFps > 0 && vncFps > 0) {
    const per = (share, fps) => (share * 1000) / fps;
    const o = per(cpu.ours.share, oursFps), v = per(cpu.x11vnc.share, vncFps);
    console.log(`host CPU per frame sent, busy picture ${pic}, ours/x11vnc: ${(o / v).toFixed(2)}x (ours ${ms(o)} at ${oursFps.toFixed(1)} fps; x11vnc ${ms(v)} at ${vncFps.toFixed(1)} updates a second)`);
  }
  await flip.busy(0);
} finally {
  clearTimeout(limit);
  await cleanup();
}
