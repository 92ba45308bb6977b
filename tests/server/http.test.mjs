import assert from 'node:assert/strict';
import { execFile, spawnSync } from 'node:child_process';
import { createHmac } from 'node:crypto';
import { test } from 'node:test';
import { promisify } from 'node:util';
import { missingBin, startServer } from './helpers.mjs';
import { startCoturn } from '../lib/signal_server.mjs';

const hasCoturn = spawnSync('sh', ['-c', 'command -v turnserver && command -v turnutils_uclient']).status === 0;

test('/health and /ice without TURN, and plain HTTP behind a proxy', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478', '--stun', 'stun:localhost:3479']);
    const health = await srv.get('/health');
    assert.equal(health.status, 200);
    assert.equal(health.headers['access-control-allow-origin'], '*');
    assert.deepEqual(Object.keys(health.body).sort(), ['app', 'turn', 'v']);
    assert.equal(health.body.app, 'kelvorasrv');
    assert.equal(health.body.turn, 'no');
    const ice = await srv.get('/ice');
    assert.deepEqual(ice.body, { iceServers: [{ urls: ['stun:127.0.0.1:3478', 'stun:localhost:3479'] }] });
    assert.equal((await srv.get('/nothing')).status, 404);

    const plain = await startServer(t, [], { tlsOn: false });
    const res = await fetch(`http://127.0.0.1:${plain.port}/health`);
    assert.equal((await res.json()).app, 'kelvorasrv');
});

test('TURN credentials from /ice allocate a relay on coturn', { skip: missingBin || (!hasCoturn && 'coturn (turnserver, turnutils_uclient) is not installed') }, async (t) => {
    const secret = 'test-secret-' + Math.random().toString(36).slice(2);
    const turn = await startCoturn({ secret });
    t.after(() => turn.stop());
    const turnPort = turn.port;
    const turnUrl = turn.url;
    const srv = await startServer(t, ['--turn-url', turnUrl, '--turn-secret', secret, '--turn-ttl', '600']);
    assert.equal((await srv.get('/health')).body.turn, 'si');

    const [entry] = (await srv.get('/ice')).body.iceServers;
    assert.deepEqual(entry.urls, [turnUrl]);
    const [expiry] = entry.username.split(':');
    const now = Date.now() / 1000;
    assert.ok(expiry > now + 590 && expiry < now + 610, 'expiry is now + ttl');
    assert.equal(entry.credential, createHmac('sha1', secret).update(entry.username).digest('base64'));
    assert.ok(!srv.log().includes(secret), 'the secret never reaches the log');


    const uclient = (user, pass) => promisify(execFile)('turnutils_uclient',
        ['-p', String(turnPort), '-u', user, '-w', pass, '-y', '-n', '3', '-m', '1', '127.0.0.1'],
        { timeout: 20000 }).then((r) => ({ ok: true, out: r.stdout + r.stderr }), (e) => ({ ok: false, out: String(e.stdout) + e.stderr }));

    const good = await uclient(entry.username, entry.credential);
    assert.ok(good.ok, good.out);
    assert.match(good.out, /tot_recv_msgs=[1-9]/, 'data went through the relay');
    const bad = await uclient(entry.username, 'AAAA' + entry.credential.slice(4));
    assert.ok(!bad.ok, 'coturn refuses a forged credential');
});
