// SIGHUP's re-check of the bindings of every PC online reads the ID database; it must not
// take the threads that relay signals, even while the database makes it wait.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import path from 'node:path';
import { test } from 'node:test';
import { KEY, missingBin, registerHost, startServer } from './helpers.mjs';

const missingSqlite = (() => {
    try {
        execFileSync('sh', ['-c', 'command -v sqlite3'], { stdio: 'ignore' });
        return false;
    } catch {
        return 'sqlite3 is not installed (scripts/deps/server.apt)';
    }
})();

/**
 * Holds the write lock of the server's ID database, as a backup or a --revoke may, until
 * release() is called.
 */
async function lockDatabase(dir) {
    const p = spawn('sqlite3', [path.join(dir, 'ids.sqlite3')], { stdio: ['pipe', 'pipe', 'inherit'] });
    p.stdin.write(".timeout 5000\nBEGIN IMMEDIATE;\nSELECT 'locked';\n");
    await new Promise((res) => p.stdout.on('data', (d) => String(d).includes('locked') && res()));
    const exited = new Promise((res) => p.once('exit', res));
    return {
        release() {
            p.stdin.end('COMMIT;\n.quit\n');
            return exited;
        },
    };
}

test('a SIGHUP re-check held up by the database leaves relaying running', { skip: missingBin || missingSqlite }, async (t) => {
    const srv = await startServer(t, ['--threads', '2']);
    for (let i = 0; i < 20; i++) await registerHost(srv, String(610000000 + i), KEY(String(i % 10)));
    const host = await registerHost(srv, '620000000');
    const tech = srv.ws('/join/620000000');
    await tech.send({ t: 'join', name: 'tec', pass: '' });
    const req = await host.next('req');
    await host.send({ t: 'answer', sid: req.sid, ok: true });
    await tech.next('accepted');

    // A PC claiming a new ID waits on the lock on one I/O thread, holding the store; the
    // re-check then waits behind it. Only the re-check may wait: the other I/O thread must
    // still relay.
    const lock = await lockDatabase(srv.data);
    const newcomer = srv.ws('/host/630000000');
    await newcomer.send({ t: 'hello', key: KEY('n'), name: 'nuevo', ver: '1.0.0' });
    await new Promise((r) => setTimeout(r, 300));
    srv.proc.kill('SIGHUP');
    await srv.waitLog(/ev=reloaded/);
    try {
        for (let i = 0; i < 3; i++) {
            await tech.send({ t: 'signal', data: { n: i } });
            assert.deepEqual((await host.next('signal', 3000)).data, { n: i });
            await host.send({ t: 'signal', sid: req.sid, data: { r: i } });
            assert.deepEqual((await tech.next('signal', 3000)).data, { r: i });
        }
    } finally {
        await lock.release();
    }

    // Once the database is free the re-check ends, and the PCs whose bindings hold stay.
    await srv.waitLog(/ev=rechecked/, 10000);
    await newcomer.next('ready', 10000);
    assert.doesNotMatch(srv.log(), /ev=revoked/);
    await tech.send({ t: 'signal', data: { n: 'after' } });
    assert.deepEqual((await host.next('signal')).data, { n: 'after' });
});
