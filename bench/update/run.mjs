// See bench/update.sh.
import { execFileSync, spawnSync } from 'node:child_process';
import { chmodSync, copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { randomBytes } from 'node:crypto';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BUILD, BIN, Kelvora, waitFor } from '../../tests/lib/kelvora.mjs';
import { startUpdateServer, makeZip } from '../../tests/lib/update_server.mjs';

const ROUNDS = Number(process.env.BENCH_ROUNDS ?? 3);
const MB = Number(process.env.BENCH_MB ?? 60);
const PRIOR = join(BUILD, 'kelvora-anterior');
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

const program = readFileSync(BIN);
// Incompressible filler, stored, so the package really is about MB megabytes.
const filler = randomBytes(Math.max(0, MB * 1024 * 1024 - program.length));
const zip = makeZip([{ name: 'kelvora', data: program }, { name: 'relleno.bin', data: filler, store: true }]);
const work = mkdtempSync(join(tmpdir(), 'kelvora-bench-update-'));
const zipFile = join(work, 'paquete.zip');
writeFileSync(zipFile, zip);

const srv = await startUpdateServer();
srv.publish(srv.package('/paquete.zip', zip, { version: '1.3.2' }));

/** One update up to ready to swap: an open session parks it in "waiting". */
async function ours() {
  const dir = mkdtempSync(join(work, 'programa-'));
  copyFileSync(PRIOR, join(dir, 'kelvora'));
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
    await k.post('/api/update', { action: 'install' });
    await waitFor(async () => {
      const s = (await k.get('/api/update')).json;
      if (s.result?.ok === false) throw new Error(s.result.error);
      return s.phase === 'waiting';
    }, 'ready to swap', 120000);
    return Number(process.hrtime.bigint() - t0) / 1e6;
  } finally {
    await k.stop();
    k.cleanup();
  }
}

function reference() {
  const t0 = process.hrtime.bigint();
  const c = spawnSync('curl', ['-sS', '--fail', '--cacert', srv.caFile, '-o', '/dev/null', `${srv.base}/paquete.zip`]);
  if (c.status !== 0) throw new Error(`curl: ${c.stderr}`);
  execFileSync('sha256sum', [zipFile], { stdio: 'ignore' });
  return Number(process.hrtime.bigint() - t0) / 1e6;
}

const a = [];
const b = [];
try {
  for (let i = 0; i < ROUNDS; ++i) {
    b.push(reference());
    a.push(await ours());
  }
} finally {
  await srv.close();
  rmSync(work, { recursive: true, force: true });
}
const size = (zip.length / 1048576).toFixed(1);
console.log(`update: download to ready-to-swap, ${size} MB: ${median(a).toFixed(0)} ms (median of ${ROUNDS})`);
console.log(`update: curl to /dev/null + sha256sum, ${size} MB: ${median(b).toFixed(0)} ms (median of ${ROUNDS})`);
console.log(`update: ratio ours/reference: ${(median(a) / median(b)).toFixed(2)}x (target <= 1.2x)`);
