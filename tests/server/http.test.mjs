import assert from 'node:assert/strict';
import { execFile, spawnSync } from 'node:child_process';
import { createHmac } from 'node:crypto';
import { test } from 'node:test';
import { promisify } from 'node:util';
import { BIN, missingBin, registerHost, startServer } from './helpers.mjs';
import { startCoturn } from '../lib/signal_server.mjs';

const hasCoturn = spawnSync('sh', ['-c', 'command -v turnserver && command -v turnutils_uclient']).status === 0;

test('/health and /ice without TURN, and plain HTTP behind a proxy', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478', '--stun', 'stun:localhost:3479']);
    const health = await srv.get('/health');
    assert.equal(health.status, 200);
    assert.equal(health.headers['access-control-allow-origin'], '*');
    assert.deepEqual(Object.keys(health.body).sort(), ['app', 'store', 'turn', 'v']);
    assert.equal(health.body.app, 'kelvorasrv');
    assert.equal(health.body.turn, 'no');
    assert.equal(health.body.store, 'si');
    const ice = await srv.get('/ice');
    assert.deepEqual(ice.body, { iceServers: [{ urls: ['stun:127.0.0.1:3478', 'stun:localhost:3479'] }] });
    assert.equal((await srv.get('/nothing')).status, 404);

    const plain = await startServer(t, [], { tlsOn: false });
    const res = await fetch(`http://127.0.0.1:${plain.port}/health`);
    assert.equal((await res.json()).app, 'kelvorasrv');
});

test('/metrics on a loopback listener of its own', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--metrics', '127.0.0.1:0']);
    const [, port] = await srv.waitLog(/ev=metrics .*port=(\d+)/);
    assert.notEqual(Number(port), srv.port);
    const host = await registerHost(srv, '123123123');
    const tech = srv.ws('/join/123123123');
    await tech.send({ t: 'join', name: 'tec', pass: '' });
    await host.next('req');
    await (await (async () => { const c = srv.ws('/join/999888777'); await c.send({ t: 'join', name: 'x', pass: '' }); return c; })()).next('offline');

    const res = await fetch(`http://127.0.0.1:${port}/metrics`);
    assert.match(res.headers.get('content-type'), /^text\/plain; version=0\.0\.4/);
    const text = await res.text();
    const value = (name) => Number(new RegExp(`^${name} (\\d+)$`, 'm').exec(text)?.[1]);
    assert.equal(value('kelvora_signal_hosts_online'), 1);
    assert.equal(value('kelvora_signal_pending_requests'), 1);
    assert.equal(value('kelvora_signal_rooms'), 0);
    assert.ok(value('kelvora_signal_connections') >= 2);
    assert.match(text, /^kelvora_signal_refusals_total\{reason="offline"\} 1$/m);
    // The public port does not serve it.
    assert.equal((await srv.get('/metrics')).status, 404);

    // Metrics say how close every limit is: they are never served off loopback.
    const bad = spawnSync(BIN, ['--metrics', '0.0.0.0:9464'], { encoding: 'utf8' });
    assert.equal(bad.status, 2);
    assert.match(bad.stderr, /loopback/);
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
