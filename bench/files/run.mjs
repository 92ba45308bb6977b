// The file-transfer benchmark: BENCH_FILES_MB (1024) MB each way between two real pages of
// a session, the receiver writing to its downloads folder, against a bare ordered data
// channel between the same pages in the same run; and the resident memory of every
// process on both sides (both Kelvoras, the helped PC's app-window browser, the
// technician's browser) at idle and at its peak during the transfers.
import { cpus } from 'node:os';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, truncateSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { SessionBed, bedMissing } from '../../tests/lib/session_bed.mjs';
import { waitFor } from '../../tests/lib/kelvora.mjs';
import { machineLoad } from '../session/cpu.mjs';
import { bareChannel, bareClose, bareSend } from './bare.mjs';
import { rssWatch, tree } from './memory.mjs';

const MB = Number(process.env.BENCH_FILES_MB ?? 1024);
const BYTES = MB * 1048576;
// The bare channel moves data as a file does: 64 KiB messages, 8 MiB high and 1 MiB low marks.
const CHUNK = 65536, HIGH = 8388608, LOW = 1048576;
const LIMIT_MS = 30 * 60 * 1000;

const missing = bedMissing();
if (missing) {
  console.error(`bench/files: no se puede montar la sesión de prueba: ${missing}`);
  process.exit(1);
}
const load = async () => (await machineLoad()).load1.toFixed(1);
console.log(`machine: ${cpus().length} cores, load average ${await load()} before the run`);

let bed, dir;
let cleaning = null;
const cleanup = () => (cleaning ??= (async () => {
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
  await waitFor(() => existsSync(path) && !readdirSync(pc.downloads).some((n) => n.endsWith('.part')), `${pc.name}: ${name}`, LIMIT_MS);
  const s = (Date.now() - t0) / 1000;
  rmSync(path);
  return s;
}

async function accept(pc) {
  await pc.page.waitForSelector('#fileYesBtn', { timeout: 30000 });
  const t0 = Date.now();
  await pc.page.click('#fileYesBtn');
  return t0;
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

  // The technician's headless browser is a child of this process; the helped PC's app
  // window is a child of its Kelvora.
  const techBrowser = tree(process.pid).filter((p) => p !== process.pid && !tree(host.k.proc.pid).includes(p) && !tree(tech.k.proc.pid).includes(p))
    .filter((p) => { try { return /chrom/.test(readFileSync(`/proc/${p}/comm`, 'utf8')); } catch { return false; } });
  const roots = { 'helped PC': host.k.proc.pid, technician: [tech.k.proc.pid, ...techBrowser] };
  await sleep(3000);
  const idle = rssWatch(roots);
  await sleep(3000);
  const atIdle = new Map(idle().map((e) => [e.pid, e.peak]));

  const figures = [];
  const during = rssWatch(roots);
  // Technician → helped PC: a real (sparse) file picked in the viewer.
  const file = join(dir, 'banco.bin');
  writeFileSync(file, '');
  truncateSync(file, BYTES);
  await tech.eval((k) => kelvora.showSes(k), k);
  await tech.pickFiles(() => tech.page.click('#vFile'), [file]);
  const ours1 = MB * 1.048576 / (await saved(host, 'banco.bin', await accept(host)));
  const bare1 = await bareSend(tech.page, host.page, BYTES, CHUNK, HIGH, LOW);
  figures.push(['technician → helped PC', ours1, bare1, await load()]);

  // Helped PC → technician: Playwright can't hand a large file to the app window's
  // browser, so its page sends one that makes its slices on demand.
  await host.eval((n) => {
    kelvora.sendFile(/** @type {any} */ ({ name: 'vuelta.bin', size: n, slice: (a, b) => new Blob([new Uint8Array(Math.max(0, Math.min(n, b) - a))]) }), kelvora.HSES);
  }, BYTES);
  const ours2 = MB * 1.048576 / (await saved(tech, 'vuelta.bin', await accept(tech)));
  const bare2 = await bareSend(host.page, tech.page, BYTES, CHUNK, HIGH, LOW);
  figures.push(['helped PC → technician', ours2, bare2, await load()]);
  const peaks = during();

  for (const [what, ours, bare, l] of figures)
    console.log(`files: ${what}, ${MB} MB: ours ${ours.toFixed(1)} MB/s, bare data channel ${bare.toFixed(1)} MB/s, ours/bare ${(ours / bare).toFixed(2)} (load ${l})`);
  let worst = null;
  for (const e of peaks.sort((a, b) => a.role.localeCompare(b.role) || b.peak - a.peak)) {
    const base = atIdle.get(e.pid) ?? e.first;
    const rise = e.peak - base;
    if (!worst || rise > worst.rise) worst = { ...e, rise };
    if (e.peak >= 20) console.log(`memory: ${e.role}, ${e.label} [${e.pid}]: idle ${base.toFixed(0)} MB, peak ${e.peak.toFixed(0)} MB, rise ${rise.toFixed(0)} MB`);
  }
  console.log(`files: largest memory rise of any process during ${MB} MB each way: ${worst.rise.toFixed(0)} MB (${worst.role}, ${worst.label}); the aim is at most 64 MB`);
  await bareClose([tech.page, host.page]);
} catch (e) {
  console.error('bench/files:', e);
  clearTimeout(limit);
  await cleanup();
  process.exit(1);
}
clearTimeout(limit);
await cleanup();
