// See bench/update.sh.
import { execFile } from 'node:child_process';
import { promisify } from 'node:util';
import { chmodSync, copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { randomBytes } from 'node:crypto';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BUILD, BIN, Kelvora, waitFor } from '../../tests/lib/kelvora.mjs';
import { startUpdateServer, makeZip } from '../../tests/lib/update_server.mjs';

const ROUNDS = Number(process.env.BENCH_ROUNDS ?? 3);
const MB = Number(process.env.BENCH_MB ?? 60);
const PRIOR = join(BUILD, 'kelvora-anterior');
// Another build's older version (e.g. main's build/kelvora-anterior), timed in the same rounds.
const ALSO = process.env.BENCH_ALSO || '';
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const TICK_MS = 10; // USER_HZ is 100 on Linux

/** CPU ms of a process and of its children waited for: [own, children]. */
function cpuMs(pid) {
  const f = readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
  return [(Number(f[11]) + Number(f[12])) * TICK_MS, (Number(f[13]) + Number(f[14])) * TICK_MS];
}

/** The stage line the installer logs once the new version is ready: "<stage> <ms>" pairs. */
function stagesOf(log) {
  const line = log.split('\n').find((l) => /\[ACTUALIZAR\] .* lista para instalar/.test(l));
  const out = {};
  for (const [, name, ms] of (line || '').matchAll(/([a-záéíóúñ ]+) (\d+) ms/g)) out[name.trim()] = Number(ms);
  return out;
}

const program = readFileSync(BIN);
// Incompressible filler, stored, tops the package up to MB megabytes.
const alone = makeZip([{ name: 'kelvora', data: program }]).length;
const filler = randomBytes(Math.max(0, MB * 1024 * 1024 - alone - 200));
const zip = makeZip([{ name: 'kelvora', data: program }, { name: 'relleno.bin', data: filler, store: true }]);
const work = mkdtempSync(join(tmpdir(), 'kelvora-bench-update-'));
const zipFile = join(work, 'paquete.zip');
writeFileSync(zipFile, zip);

const srv = await startUpdateServer();
srv.publish(srv.package('/paquete.zip', zip, { version: '1.3.2' }));

/** One update up to ready to swap (the log says so; an open session then parks it in "waiting"). */
async function ours(prior = PRIOR) {
  const dir = mkdtempSync(join(work, 'programa-'));
  copyFileSync(prior, join(dir, 'kelvora'));
  chmodSync(join(dir, 'kelvora'), 0o755);
  const k = new Kelvora({ bin: join(dir, 'kelvora'), env: { CURL_CA_BUNDLE: srv.caFile } });
  mkdirSync(k.data, { recursive: true });
  writeFileSync(join(k.data, 'kelvora.ini'), `[general]\ncanal_actualizaciones=${srv.channel}\nbuscar_actualizaciones=no\n`);
  try {
    await k.start();
    await k.post('/api/sesion', { k: 'b', activa: true, rol: 'tech', con: 'b', id: '' });
    await k.post('/api/update', { action: 'check' });
    await waitFor(async () => (await k.get('/api/update')).json.available, 'the check', 30000);
    const t0 = process.hrtime.bigint();
    const c0 = cpuMs(k.proc.pid);
    await k.post('/api/update', { action: 'install' });
    // Watched in its log, not through its API: asking the program every few milliseconds
    // would cost it CPU that the figure counts.
    for (;;) {
      const log = k.log();
      const failed = /\[ACTUALIZAR\] no se pudo instalar.*/.exec(log);
      if (failed) throw new Error(failed[0]);
      if (/\[ACTUALIZAR\] .* lista para instalar/.test(log)) break;
      if (Number(process.hrtime.bigint() - t0) > 120e9) throw new Error('not ready to swap in 120 s');
      await new Promise((ok) => setTimeout(ok, 10));
    }
    const ms = Number(process.hrtime.bigint() - t0) / 1e6;
    const c1 = cpuMs(k.proc.pid);
    return { ms, cpu: c1[0] - c0[0] + c1[1] - c0[1], stages: stagesOf(k.log()) };
  } finally {
    await k.stop();
    k.cleanup();
  }
}

const run = promisify(execFile);

/** The reference: curl to /dev/null, then sha256sum of the same file (the server runs in
 * this process, so the children are awaited, never waited for synchronously). */
async function reference() {
  const t0 = process.hrtime.bigint();
  const c0 = cpuMs(process.pid)[1];
  await run('curl', ['-sS', '--fail', '--cacert', srv.caFile, '-o', '/dev/null', `${srv.base}/paquete.zip`]);
  await run('sha256sum', [zipFile]);
  return { ms: Number(process.hrtime.bigint() - t0) / 1e6, cpu: cpuMs(process.pid)[1] - c0 };
}

const a = [];
const b = [];
const c = [];
try {
  for (let i = 0; i < ROUNDS; ++i) {
    b.push(await reference());
    a.push(await ours());
    if (ALSO) c.push(await ours(ALSO));
    const round = [a, b, c].filter((xs) => xs.length > i).map((xs) => `${xs[i].ms.toFixed(0)} ms CPU ${xs[i].cpu} ms`);
    console.log(`  round ${i + 1} (ours, reference${ALSO ? ', also' : ''}): ${round.join('; ')}`);
  }
} finally {
  await srv.close();
  rmSync(work, { recursive: true, force: true });
}
const size = (zip.length / 1048576).toFixed(1);
const ms = (xs) => median(xs.map((x) => x.ms));
const cpu = (xs) => median(xs.map((x) => x.cpu));
console.log(`update: download to ready-to-swap, ${size} MB: ${ms(a).toFixed(0)} ms, CPU ${cpu(a)} ms (median of ${ROUNDS})`);
for (const name of Object.keys(a[0].stages)) console.log(`  stage: ${name}: ${median(a.map((x) => x.stages[name] ?? 0))} ms`);
console.log(`update: curl to /dev/null + sha256sum, ${size} MB: ${ms(b).toFixed(0)} ms, CPU ${cpu(b)} ms (median of ${ROUNDS})`);
console.log(`update: ratio ours/reference: ${(ms(a) / ms(b)).toFixed(2)}x wall, ${(cpu(a) / cpu(b)).toFixed(2)}x CPU (target <= 1.2x)`);
if (ALSO) {
  console.log(`update: ${ALSO}: ${ms(c).toFixed(0)} ms, CPU ${cpu(c)} ms; ratio to the reference ${(ms(c) / ms(b)).toFixed(2)}x wall, ${(cpu(c) / cpu(b)).toFixed(2)}x CPU`);
  for (const name of Object.keys(c[0].stages)) console.log(`  stage: ${name}: ${median(c.map((x) => x.stages[name] ?? 0))} ms`);
}
