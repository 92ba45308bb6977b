import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, copyFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import tls from 'node:tls';
import { test } from 'node:test';
import { BIN, KEY, makeCert, missingBin, registerHost, sleep, startServer } from './helpers.mjs';

/** The SHA-256 fingerprint of the certificate the server presents now. */
function servedCert(port) {
    return new Promise((res, rej) => {
        const s = tls.connect({ port, host: '127.0.0.1', rejectUnauthorized: false }, () => {
            res(s.getPeerCertificate().fingerprint256);
            s.end();
        });
        s.once('error', rej);
    });
}

async function hello(srv, id, key) {
    const h = srv.ws(`/host/${id}`);
    await h.send({ t: 'hello', key, name: 'pc', ver: '1' });
    return (await Promise.race([h.next('ready'), h.next('taken'), h.closed.then(() => ({ t: 'closed' }))])).t;
}

test('a binding not seen for the expiry time is free again', { skip: missingBin }, async (t) => {
    // 0.00002 days is 1.7 s.
    const srv = await startServer(t, ['--id-expiry', '0.00002']);
    const old = await registerHost(srv, '101202303', KEY('a'));
    old.ws.terminate();
    await old.closed;
    assert.equal(await hello(srv, '101202303', KEY('b')), 'taken');
    await sleep(2000);
    assert.equal(await hello(srv, '101202303', KEY('b')), 'ready');
});

test('new bindings per source are capped, known IDs still register', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--binds-per-hour', '2']);
    assert.equal(await hello(srv, '101202311', KEY('a')), 'ready');
    assert.equal(await hello(srv, '101202312', KEY('a')), 'ready');
    assert.equal(await hello(srv, '101202313', KEY('a')), 'closed');
    assert.match(srv.log(), /ev=refused why="new ids" id=101202313/);
    assert.equal(await hello(srv, '101202311', KEY('a')), 'ready');
});

test('--revoke frees an ID, and a reload drops the PC that held it', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const holder = await registerHost(srv, '909808707', KEY('a'));
    const run = (...a) => spawnSync(BIN, a, { encoding: 'utf8' });

    const r = run('--revoke', '909808707', '--data', srv.data);
    assert.equal(r.status, 0, r.stderr);
    assert.match(r.stdout, /909808707 is free again/);
    assert.match(run('--revoke', '909808707', '--data', srv.data).stdout, /was not bound/);
    assert.equal(run('--revoke', '12345', '--data', srv.data).status, 2);

    srv.proc.kill('SIGHUP');
    assert.equal((await holder.closed).reason, 'revoked');
    assert.equal(await hello(srv, '909808707', KEY('b')), 'ready');
});

test('SIGTERM says goodbye to every socket; the PCs come back to a restarted server', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--request-timeout', '30']);
    const hosts = [];
    for (let i = 0; i < 3; i++) hosts.push(await registerHost(srv, `20030040${i}`, KEY(String(i))));
    const tech = srv.ws('/join/200300400');
    await tech.send({ t: 'join', name: 'tec', pass: '' });
    await tech.next('waiting');
    const caller = srv.ws('/ring/200300401');
    await caller.send({ t: 'ring', name: 'x', from: '' });
    await caller.next('ringing');
    const member = srv.ws('/call/ROOM42');
    await member.send({ t: 'join', name: 'y', create: true });
    await member.next('welcome');
    const idle = srv.ws('/host/200300499'); // open but never introduced
    await idle.opened;

    srv.proc.kill('SIGTERM');
    for (const c of [...hosts, tech, caller, member, idle]) {
        assert.deepEqual(await c.closed, { code: 1001, reason: 'server going away' });
    }
    assert.deepEqual(await srv.exited, { code: 0, sig: null });
    assert.match(srv.log(), /ev=stopped open=0/);

    const again = await startServer(t, [], { data: srv.data });
    for (let i = 0; i < 3; i++) await registerHost(again, `20030040${i}`, KEY(String(i)));
});

test('SIGHUP serves a renewed certificate and keeps the sockets it holds', { skip: missingBin }, async (t) => {
    const dir = mkdtempSync(path.join(tmpdir(), 'kvsig-renew-'));
    t.after(() => rmSync(dir, { recursive: true, force: true }));
    const cert = path.join(dir, 'cert.pem'), key = path.join(dir, 'key.pem');
    const first = makeCert(cert, key);
    const srv = await startServer(t, [], { tlsFiles: first });
    const host = await registerHost(srv, '300300300');
    const before = await servedCert(srv.port);

    // A renewal that has written only the certificate so far must not go live.
    const next = makeCert(path.join(dir, 'n.pem'), path.join(dir, 'n-key.pem'));
    copyFileSync(path.join(dir, 'n.pem'), cert);
    srv.proc.kill('SIGHUP');
    await srv.waitLog(/ev=error what=tls.reload/);
    assert.equal(await servedCert(srv.port), before);

    copyFileSync(path.join(dir, 'n-key.pem'), key);
    srv.proc.kill('SIGHUP');
    await srv.waitLog(/ev=reloaded tls=yes/);
    assert.notEqual(await servedCert(srv.port), before);

    // The held socket still works: a technician trusting the new certificate reaches it.
    const tech = srv.ws('/join/300300300', { ca: next.ca });
    await tech.send({ t: 'join', name: 'tec', pass: '' });
    await tech.next('waiting');
    await host.next('req');
});
