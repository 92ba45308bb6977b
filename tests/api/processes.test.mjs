// What children get from us and how the program ends when the system asks: a browser
// started by us holds none of our sockets, and SIGTERM, SIGHUP and SIGINT run the orderly
// exit.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, existsSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Kelvora, request, waitFor } from '../lib/kelvora.mjs';

/**
 * A PATH whose `chromium` records its environment, arguments and open descriptors, then
 * stays running like a browser would.
 */
function fakeBrowser() {
  const dir = mkdtempSync(join(tmpdir(), 'kelvora-fake-browser-'));
  const script = join(dir, 'chromium');
  writeFileSync(script, `#!/bin/sh
echo $$ > "${dir}/pid"
echo "LANGUAGE=$LANGUAGE" > "${dir}/env"
printf '%s\\n' "$@" > "${dir}/args"
ls /proc/self/fd > "${dir}/fds"
exec sleep 120
`);
  chmodSync(script, 0o755);
  const read = (name) => (existsSync(join(dir, name)) ? readFileSync(join(dir, name), 'utf8') : null);
  return {
    path: `${dir}:/usr/bin:/bin`,
    read,
    kill() {
      const pid = Number(read('pid'));
      try {
        if (pid) process.kill(pid, 'SIGKILL');
      } catch {}
    },
  };
}

test('after /api/salir the port is free although the browser we started still runs', async () => {
  const browser = fakeBrowser();
  const first = new Kelvora({ args: ['--no-tray'], env: { PATH: browser.path } });
  let second;
  try {
    await first.start();
    await waitFor(() => browser.read('fds'), 'the browser to start');
    assert.deepEqual(browser.read('fds').trim().split('\n').sort(), ['0', '1', '2', '3'],
      'only stdin, stdout, stderr and the descriptor ls reads with');
    assert.equal(browser.read('env').trim(), 'LANGUAGE=en_US');
    assert.ok(browser.read('args').split('\n').includes('--ozone-platform=x11'));

    assert.deepEqual((await first.post('/api/salir')).json, { ok: true });
    assert.equal(await first.exited, 0);
    assert.ok(process.kill(Number(browser.read('pid')), 0), 'the browser outlives us');

    // The next start takes the same port, and the old page's token is refused there.
    second = new Kelvora({ home: first.home, env: { PATH: '/nonexistent' } });
    await second.start();
    assert.equal(second.port, first.port);
    const stale = await request(second.port, 'POST', '/api/estado', {
      headers: { 'X-Token': first.token, 'Content-Type': 'application/json' }, body: {},
    });
    assert.equal(stale.status, 403);
  } finally {
    browser.kill();
    await first.stop();
    await second?.stop();
    first.cleanup();
  }
});

test('SIGTERM, SIGHUP and SIGINT end the sessions and remove the instance file', async () => {
  for (const signal of ['SIGTERM', 'SIGHUP', 'SIGINT']) {
    const k = new Kelvora({ env: { PATH: '/nonexistent' } });
    try {
      await k.start();
      await k.post('/api/sesion', { k: 't1', activa: true, rol: 'tech', con: 'Ana', id: '123456789' });
      k.proc.kill(signal);
      assert.equal(await k.exited, 0, signal);
      assert.match(k.log(), /\[SESION\] termina \(di\) con Ana 123456789/, signal);
      assert.match(k.log(), /\[APP\] cerrando Kelvora\n/, signal);
      assert.equal(existsSync(join(k.data, 'instancia.json')), false, signal);
      assert.equal(readFileSync(join(k.data, 'sesiones.jsonl'), 'utf8').split('\n').length, 2, signal);
    } finally {
      await k.stop();
      k.cleanup();
    }
  }
});
