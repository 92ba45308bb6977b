// Start-up: --version, the port list, the instance file and single instance.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdirSync, readdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import http from 'node:http';
import net from 'node:net';
import { BIN, Kelvora, dataDir, readState, tempHome, waitFor } from '../lib/kelvora.mjs';

const NO_BROWSER = { PATH: '/nonexistent' };

/** Holds a port like another program would; null when it is taken already. */
function hold(port, handler) {
  return new Promise((resolve) => {
    const srv = handler ? http.createServer(handler) : net.createServer();
    srv.once('error', () => resolve(null));
    srv.listen(port, '127.0.0.1', () => resolve(srv));
  });
}

async function withKelvora(opts, fn) {
  const k = new Kelvora(opts);
  try {
    await k.start();
    return await fn(k);
  } finally {
    await k.stop();
    k.cleanup();
  }
}

test('--version prints the line and starts nothing', () => {
  const home = tempHome();
  const r = spawnSync(BIN, ['--version'], { env: { ...process.env, LOCALAPPDATA: home }, encoding: 'utf8' });
  assert.equal(r.status, 0);
  assert.equal(r.stdout, 'Kelvora 1.3.2 (2026-11-04)\n');
  assert.deepEqual(readdirSync(dataDir(home)), [], 'only the data directory itself');
});

test('instance file names port, pid and version', async () => {
  await withKelvora({ env: NO_BROWSER }, async (k) => {
    assert.deepEqual(readState(k.home, 'instancia.json'), { pid: k.proc.pid, port: k.port, version: '1.3.2' });
    assert.match(k.log(), /\[APP\] Kelvora v1\.3\.2 · admin (true|false) · .*kelvora\n/);
  });
});

test('ports 8810, 8811, 8812, then one the system chooses', async (t) => {
  const list = [8810, 8811, 8812];
  const probe = await Promise.all(list.map((p) => hold(p)));
  probe.forEach((s) => s?.close());
  if (probe.some((s) => !s)) return t.skip('another program holds one of 8810-8812 on this machine');
  const held = [];
  try {
    for (const want of [...list, 'system']) {
      const port = await withKelvora({ env: NO_BROWSER }, (k) => k.port);
      if (want === 'system') assert.ok(port > 0 && !list.includes(port), `got ${port}`);
      else assert.equal(port, want);
      if (want !== 'system') held.push(await hold(want));
    }
  } finally {
    for (const s of held) s?.close();
  }
});

test('a second copy ends when the first answers /api/ventana', async () => {
  await withKelvora({ env: NO_BROWSER }, async (first) => {
    const r = spawnSync(BIN, ['--no-tray'], { env: { ...first.env }, encoding: 'utf8', timeout: 20000 });
    assert.equal(r.status, 0);
    assert.equal(readState(first.home, 'instancia.json').pid, first.proc.pid, 'the instance file is untouched');
    assert.equal(first.log().match(/\[APP\] Kelvora v/g).length, 1, 'the second copy logged nothing');
  });
});

test('a second copy starts normally when something else answers on the recorded port', async () => {
  const other = await hold(0, (req, res) => { res.writeHead(404); res.end('not me'); });
  try {
    const home = tempHome();
    mkdirSync(dataDir(home), { recursive: true });
    writeFileSync(join(dataDir(home), 'instancia.json'), JSON.stringify({ port: other.address().port, pid: 1 }));
    await withKelvora({ home, env: NO_BROWSER }, async (k) => {
      assert.notEqual(k.port, other.address().port);
      assert.equal((await k.get('/api/version')).json.pid, k.proc.pid);
    });
  } finally {
    other.close();
  }
});

test('a broken instance file is a normal start', async () => {
  for (const content of ['{', '{"port":-1}', '{"port":70000}', '{"port":"8810"}', '[]']) {
    const home = tempHome();
    mkdirSync(dataDir(home), { recursive: true });
    writeFileSync(join(dataDir(home), 'instancia.json'), content);
    await withKelvora({ home, env: NO_BROWSER }, async (k) => {
      assert.equal(readState(home, 'instancia.json').pid, k.proc.pid, content);
    });
  }
});
