// The file-transfer benchmark: BENCH_FILES_MB (1024) MB each way between two real pages of
// a session, the receiver writing to its downloads folder, against a bare ordered data
// channel between the same pages in the same run; the memory (RSS and PSS) of every
// process on both sides (both Kelvoras, the helped PC's app-window browser, the
// technician's browser) at idle and at its peak during the transfers; and whether a file on
// its way slows the picture (glass to glass) and the remote hand, against the same
// measures with no file, BENCH_FILES_FLIPS (15) flips and BENCH_FILES_CLICKS (30) clicks each.
import path from 'node:path';
import { cpus } from 'node:os';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync, truncateSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { SessionBed, bedMissing } from '../../tests/lib/session_bed.mjs';
import { waitFor } from '../../tests/lib/kelvora.mjs';
import { machineLoad } from '../session/cpu.mjs';
import { Flip } from '../session/flip.mjs';
import { glassToGlass, summary } from '../session/glass.mjs';
import { clicks } from '../session/hand.mjs';
import { PRIMARY } from '../../tests/lib/session_bed.mjs';
import { bareChannel, bareClose, bareSend, moving } from './bare.mjs';
import { rssWatch, tree } from './memory.mjs';
import { cpuWatch } from './cpu.mjs';
import { networkAgentOff } from './devtools.mjs';

const HERE = path.dirname(new URL(import.meta.url).pathname);
const FLIP_BIN = path.join(process.env.KELVORA_BUILD ?? 'build', 'bench', 'flip');
const FLIPS = Number(process.env.BENCH_FILES_FLIPS ?? 15);
const CLICKS = Number(process.env.BENCH_FILES_CLICKS ?? 30);

const MB = Number(process.env.BENCH_FILES_MB ?? 1024);
const BYTES = MB * 1048576;
// The file that runs while the picture and the hand are measured: as large as a file may
// be, so that it is still on its way when both measures are done and is cancelled then.
const BUSY_BYTES = 2000000000;
// BENCH_FILES_DEVTOOLS=1 leaves the test bed's DevTools network agent on in both pages:
// it keeps the body of every request the page makes, so every received piece stays in
// the browser process until the page goes, a memory no page without DevTools pays.
const DEVTOOLS = process.env.BENCH_FILES_DEVTOOLS === '1';
// The bare channel moves data as a file does: 64 KiB messages, 8 MiB high and 1 MiB low marks.
const CHUNK = 65536, HIGH = 8388608, LOW = 1048576;
// A loaded machine moves a few MB a second, so a transfer is given as long as it keeps
// moving: it fails when nothing arrived for three minutes, and the whole run after LIMIT_MS.
const LIMIT_MS = 4 * 60 * 60 * 1000;

const missing = bedMissing();
if (missing) {
  console.error(`bench/files: no se puede montar la sesión de prueba: ${missing}`);
  process.exit(1);
}
const load = async () => (await machineLoad()).load1.toFixed(1);
console.log(`machine: ${cpus().length} cores, load average ${await load()} before the run`);

let bed, dir, flip, cpuRoots;
let cleaning = null;
const cleanup = () => (cleaning ??= (async () => {
  await flip?.stop().catch(() => {});
  await bed?.stop().catch(() => {});
  if (dir) rmSync(dir, { recursive: true, force: true });
})());
const abort = async (why) => {
  console.error(`bench/files: ${why}; limpiando`);
  await cleanup();
  process.exit(1);
};
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.once(sig, () => abort(`señal ${sig}`));
const limit = setTimeout(() => abort(`pasaron ${LIMIT_MS / 60000} minutos`), LIMIT_MS);

/** Waits until pc's downloads folder holds name whole; the seconds since t0. */
async function saved(pc, name, t0) {
  const path = join(pc.downloads, name);
  const part = () => { try { return statSync(join(pc.downloads, `${name}.part`)).size; } catch { return 0; } };
  await moving(part, () => existsSync(path) && !readdirSync(pc.downloads).some((n) => n.endsWith('.part')), `${pc.name}: ${name}`);
  const s = (Date.now() - t0) / 1000;
  rmSync(path);
  return s;
}

/**
 * A file of n bytes that the page makes as it is read, one slice at a time, as a File read
 * from disk is: no Blob of its own in the browser's blob store, whose memory would be the
 * bench's and not the transfer's.
 */
function sendMade(pc, name, n) {
  return pc.eval(([name, n]) => {
    const slice = (a, b) => ({ arrayBuffer: async () => new ArrayBuffer(Math.max(0, Math.min(n, b) - a)) });
    const s = typeof kelvora.HSES === 'object' && kelvora.HSES ? kelvora.HSES : [...kelvora.TS.values()][0];
    kelvora.sendFile(/** @type {any} */ ({ name, size: n, slice }), s);
  }, [name, n]);
}

async function accept(pc) {
  // Clicked inside the page the moment it is there: on a loaded machine the dialog may be
  // drawn again between a look at the button from outside and a click.
  await pc.page.waitForFunction(() => {
    const b = /** @type {HTMLElement|null} */ (document.querySelector('#fileYesBtn'));
    if (b) b.click();
    return !!b;
  }, null, { timeout: 180000, polling: 100 });
  return Date.now();
}

try {
  dir = mkdtempSync(join(tmpdir(), 'kelvora-bench-files-'));
  bed = await SessionBed.start({ display: Number(process.env.BENCH_DISPLAY ?? 88) });
  const host = await bed.host('PC de banco');
  const tech = await bed.tech('Técnico de banco');
  const k = await tech.connect(host.id, { control: true });
  if (!k) throw new Error('el técnico no abrió la sesión');
  await host.accept();
  await host.waitConnected();
  await tech.waitPicture(k);
  await bareChannel(tech.page, host.page);
  if (!DEVTOOLS) await Promise.all([networkAgentOff(tech.page), networkAgentOff(host.page)]);
  console.log(`DevTools network agent in both pages: ${DEVTOOLS ? 'on (BENCH_FILES_DEVTOOLS=1)' : 'off, as in a page with no DevTools attached'}`);

  // The technician's headless browser is a child of this process; the helped PC's app
  // window is a child of its Kelvora.
  const techBrowser = tree(process.pid).filter((p) => p !== process.pid && !tree(host.k.proc.pid).includes(p) && !tree(tech.k.proc.pid).includes(p))
    .filter((p) => { try { return /chrom/.test(readFileSync(`/proc/${p}/comm`, 'utf8')); } catch { return false; } });
  const roots = { 'helped PC': host.k.proc.pid, technician: [tech.k.proc.pid, ...techBrowser] };
  // The desktop's X server, which the helped PC's picture is captured from.
  const xPid = Number(readFileSync(`/tmp/.X${bed.x.display.replace(/^:/, '')}-lock`, 'utf8').trim());
  cpuRoots = { ...roots, 'X server': xPid };
  const ways = MB > 0 ? await bothWays(host, tech, k, roots) : [`files: no transfer both ways (BENCH_FILES_MB=0)`];
  await bareClose([tech.page, host.page]);
  const busy = await pictureAndHand(host, tech, k).catch((e) => `not measured: ${e.message ?? e}`);

  for (const line of ways) console.log(line);
  console.log(`files: ${busy}`);
} catch (e) {
  console.error('bench/files:', e);
  clearTimeout(limit);
  await cleanup();
  process.exit(1);
}
clearTimeout(limit);
await cleanup();

/**
 * MB each way, our transfer against the bare channel, with the memory and the CPU of every
 * process over each way of our transfer alone (the bare channel's own buffers are not ours
 * to count). Gives the report lines.
 */
async function bothWays(host, tech, k, roots) {
  await sleep(3000);
  const idle = rssWatch(roots);
  await sleep(3000);
  const atIdle = new Map(idle().map((e) => [e.pid, { rss: e.peak, pss: e.peakPss }]));

  const figures = [], out = [];
  const legs = [];
  // Technician → helped PC: a real (sparse) file picked in the viewer.
  const file = join(dir, 'banco.bin');
  writeFileSync(file, '');
  truncateSync(file, BYTES);
  await tech.eval((k) => kelvora.showSes(k), k);
  let during = rssWatch(roots);
  let cpu = cpuWatch(cpuRoots);
  // The picker comes slowly on a loaded machine (a headless page under load may take a
  // minute to draw the frame a click needs): minutes, not the tests' ten seconds.
  const [chooser] = await Promise.all([tech.page.waitForEvent('filechooser', { timeout: 180000 }), tech.page.click('#vFile', { timeout: 180000 })]);
  await chooser.setFiles([file], { timeout: 60000 });
  const ours1 = MB * 1.048576 / (await saved(host, 'banco.bin', await accept(host)));
  legs.push(['technician → helped PC', during()]);
  const cpu1 = cpu();
  const bare1 = await bareSend(tech.page, host.page, BYTES, CHUNK, HIGH, LOW);
  figures.push(['technician → helped PC', ours1, bare1, await load()]);

  // Helped PC → technician: Playwright can't hand a large file to the app window's
  // browser, so its page sends one that makes its slices on demand.
  during = rssWatch(roots);
  cpu = cpuWatch(cpuRoots);
  await sendMade(host, 'vuelta.bin', BYTES);
  const ours2 = MB * 1.048576 / (await saved(tech, 'vuelta.bin', await accept(tech)));
  legs.push(['helped PC → technician', during()]);
  const cpu2 = cpu();
  const bare2 = await bareSend(host.page, tech.page, BYTES, CHUNK, HIGH, LOW);
  figures.push(['helped PC → technician', ours2, bare2, await load()]);

  for (const [what, ours, bare, l] of figures)
    out.push(`files: ${what}, ${MB} MB: ours ${ours.toFixed(1)} MB/s, bare data channel ${bare.toFixed(1)} MB/s, ours/bare ${(ours / bare).toFixed(2)} (load ${l})`);
  let worst = null, worstPss = null;
  for (const [what, peaks] of legs)
    for (const e of peaks.sort((a, b) => a.role.localeCompare(b.role) || b.peak - a.peak)) {
      const base = atIdle.get(e.pid) ?? { rss: e.first, pss: e.firstPss };
      const rise = e.peak - base.rss, risePss = e.peakPss - base.pss;
      if (!worst || rise > worst.rise) worst = { ...e, rise, what };
      if (!worstPss || risePss > worstPss.rise) worstPss = { ...e, rise: risePss, what };
      if (Math.abs(rise) >= 8 || Math.abs(risePss) >= 8) out.push(`memory, ${what}: ${e.role}, ${e.label} [${e.pid}]: RSS idle ${base.rss.toFixed(0)} MB, peak ${e.peak.toFixed(0)} MB, rise ${rise.toFixed(0)} MB; PSS idle ${base.pss.toFixed(0)} MB, peak ${e.peakPss.toFixed(0)} MB, rise ${risePss.toFixed(0)} MB`);
    }
  out.push(`files: largest memory rise of any process during ${MB} MB each way: RSS ${worst.rise.toFixed(0)} MB (${worst.role}, ${worst.label}, ${worst.what}), PSS ${worstPss.rise.toFixed(0)} MB (${worstPss.role}, ${worstPss.label}, ${worstPss.what}); the aim is at most 64 MB`);
  out.push(cpuLine('technician → helped PC, our transfer', cpu1), cpuLine('helped PC → technician, our transfer', cpu2));
  return out;
}

/** The processes that took at least 2 % of a core over a stretch, and the rest of the machine. */
function cpuLine(what, { procs, ours, others, wall }) {
  const top = procs.filter((p) => p.share >= 0.02).map((p) => `${p.role}: ${p.label} ${(p.share * 100).toFixed(0)} %`);
  return `cpu, ${what} (${wall.toFixed(0)} s; share of one core): ours ${(ours * 100).toFixed(0)} %, the rest of the machine ${(others * 100).toFixed(0)} %; ${top.join(', ')}`;
}

/**
 * Glass to glass and the remote hand with no file, then while a file of the same size goes
 * from the technician to the helped PC (the picture's own way), which is cancelled once
 * both are measured. Gives the report line.
 */
async function pictureAndHand(host, tech, k) {
  if (!existsSync(FLIP_BIN)) return `picture and hand not measured: ${FLIP_BIN} is not built (make build)`;
  flip = await Flip.start(FLIP_BIN, bed.x.display, PRIMARY);
  await tech.page.addScriptTag({ path: path.join(HERE, '..', 'session', 'watch.js') });
  await tech.page.evaluate((k) => window.kvWatch.video(kelvora.TS.get(k).vid), k);
  const at = await tech.viewerPoint(k, 0.5, 0.5);
  const aside = await tech.viewerPoint(k, 0.2, 0.2);
  const half = (xs) => (xs.length ? summary(xs).median : NaN);
  const measure = async (what) => {
    const cpu = cpuWatch(cpuRoots);
    const g = (await glassToGlass(flip, { ours: tech.page }, FLIPS)).ours;
    const h = await clicks(tech.page, host.page, flip, at, CLICKS);
    // The remote pointer leaves the middle of the picture, where the next flips are read.
    await tech.page.mouse.move(aside.x, aside.y);
    await sleep(1000);
    console.log(cpuLine(what, cpu()));
    return { glass: g.delays, glassMissed: g.missed, hand: h.delays, handMissed: h.missed, channel: h.channel, toX: h.toX };
  };
  // No file, a file on its way, no file again: the machine's load drifts while the
  // measures run, so the file is judged against the measures on both sides of it.
  await tech.page.mouse.move(aside.x, aside.y);
  await sleep(1000);
  const before = await measure('picture and hand, no file');
  await sendMade(tech, 'ocupado.bin', BUSY_BYTES);
  await accept(host);
  // Measured once the file flows: the receiver has written its first piece.
  await host.page.waitForFunction(() => kelvora.HSES?.rx?.written > 0, null, { timeout: 120000, polling: 200 });
  const w0 = await host.eval(() => [kelvora.HSES?.rx?.written ?? 0, Date.now()]);
  const busy = await measure('picture and hand, a file on its way');
  const w1 = await host.eval(() => [kelvora.HSES?.rx?.written ?? 0, Date.now()]);
  const still = await host.eval(() => !!kelvora.HSES?.rx);
  const rate = still ? `the file moved ${((w1[0] - w0[0]) / 1e6 / ((w1[1] - w0[1]) / 1000)).toFixed(1)} MB/s meanwhile` : '';
  await tech.eval((k) => { for (const [id] of kelvora.TS.get(k)?.tx ?? []) kelvora.xferCancel(id); }, k);
  // The cancel goes after what the sender's channel already holds (up to 8 MiB); a file
  // that ended before it is whole in the folder, and goes with the bench's own hands.
  if (!still) await waitFor(() => existsSync(join(host.downloads, 'ocupado.bin')), 'the busy file saved', 180000).then(() => rmSync(join(host.downloads, 'ocupado.bin')));
  await waitFor(() => !readdirSync(host.downloads).some((n) => n.startsWith('ocupado')), 'the cancelled file removed', 180000);
  const after = await measure('picture and hand, no file again');
  const idle = Object.fromEntries(['glass', 'hand', 'channel', 'toX'].map((f) => [f, half([...before[f], ...after[f]])]));
  const med = Object.fromEntries(['glass', 'hand', 'channel', 'toX'].map((f) => [f, half(busy[f])]));
  const missed = (m) => m.glassMissed ? `, ${m.glassMissed} flips not shown` : '';
  const pct = (b, i) => `${((b / i - 1) * 100).toFixed(0)} %`;
  const within = med.glass <= idle.glass * 1.1 && med.hand <= idle.hand * 1.1;
  const r = Math.round;
  return `during a transfer${still ? '' : ' (it ended before the measures did)'}, technician → helped PC: glass to glass median ${r(med.glass)} ms against ${r(idle.glass)} ms with no file before and after (${pct(med.glass, idle.glass)}${missed(busy)}; before ${r(half(before.glass))} ms${missed(before)}, after ${r(half(after.glass))} ms${missed(after)}), remote hand median ${r(med.hand)} ms against ${r(idle.hand)} ms (${pct(med.hand, idle.hand)}${busy.handMissed ? `, ${busy.handMissed} clicks lost` : ''}; before ${r(half(before.hand))} ms, after ${r(half(after.hand))} ms; viewer to host page ${r(med.channel)} ms against ${r(idle.channel)} ms, host page to X ${r(med.toX)} ms against ${r(idle.toX)} ms); within 10 % of idle: ${within ? 'yes' : 'no'}${rate ? `; ${rate}` : ''} (load ${await load()}; ${FLIPS} flips, ${CLICKS} clicks each)`;
}
