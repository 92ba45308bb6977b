// `make run` on a fresh copy of the sources and a machine without a display: the local
// signalling server comes up and Kelvora, pointed at it, prints where its page is.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, symlinkSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BIN, BUILD, request, waitFor } from '../lib/kelvora.mjs';
import { freePort, getJson, missingSignal } from '../lib/signal_server.mjs';

const have = (tool) => spawnSync('sh', ['-c', `command -v ${tool}`]).status === 0;
const skip = !existsSync(BIN) ? `${BIN} is not built` : missingSignal || (!have('mkcert') && 'mkcert is missing (scripts/install-deps.sh)');

test('make run on a fresh copy starts the signalling server and Kelvora', { skip }, async (t) => {
  // The tracked files as they are now, without .cache, build or node_modules.
  const copy = mkdtempSync(join(tmpdir(), 'kelvora-fresh-'));
  const home = mkdtempSync(join(tmpdir(), 'kelvora-run-home-'));
  t.after(() => {
    rmSync(copy, { recursive: true, force: true });
    rmSync(home, { recursive: true, force: true });
  });
  execFileSync('sh', ['-c', `git ls-files -z | tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C '${copy}'`]);
  assert.ok(!existsSync(join(copy, '.cache')));
  symlinkSync(BUILD, join(copy, 'build'));

  const port = await freePort();
  const env = { ...process.env, KELVORA_SIGNAL_PORT: String(port), LOCALAPPDATA: home, HOME: home,
    // mkcert's CA goes to a throw-away NSS store, never the system's.
    TRUST_STORES: 'nss' };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  delete env.CAROOT;
  const run = spawn('bash', [join(copy, 'scripts', 'run.sh')], { env, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  run.stdout.on('data', (d) => (out += d));
  run.stderr.on('data', (d) => (out += d));
  const exited = new Promise((r) => run.once('exit', r));
  t.after(async () => {
    try {
      process.kill(-run.pid, 'SIGTERM');
    } catch {}
    await exited;
    await waitFor(() => spawnSync('pgrep', ['-g', String(run.pid)]).status !== 0, 'every process of make run gone', 10000);
  });

  const page = await waitFor(() => out.match(/abre http:\/\/127\.0\.0\.1:(\d+)\//), `Kelvora's address in:\n${out}`, 30000);
  assert.match(out, new RegExp(`kelvora-signal en https://127\\.0\\.0\\.1:${port}`));
  const estado = await request(Number(page[1]), 'GET', '/api/estado');
  assert.equal(estado.json.servidor, `https://127.0.0.1:${port}`);

  const ca = () => readFileSync(join(copy, '.cache', 'tls', 'ca', 'rootCA.pem'));
  const health = await waitFor(async () => {
    try {
      const r = await getJson(`https://127.0.0.1:${port}/health`, ca());
      return r.status === 200 && r.body;
    } catch {
      return null;
    }
  }, `the signalling server's /health (log: ${join(copy, '.cache', 'signal-dev.log')})`, 30000);
  assert.equal(health.app, 'kelvorasrv');
});
