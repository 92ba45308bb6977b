import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import net from 'node:net';
import { test } from 'node:test';
import { KEY, missingBin, registerHost, startServer } from './helpers.mjs';

/** A raw TCP connection that never says anything (not even a TLS hello). */
function idleSocket(port, from) {
    return new Promise((res, rej) => {
        const s = net.connect({ port, host: '127.0.0.1', localAddress: from }, () => res(s));
        s.on('error', () => {});
        s.once('error', rej);
        s.gone = new Promise((r) => s.once('close', r));
    });
}

const procKiB = (pid, k) => Number(new RegExp(`^${k}:\\s+(\\d+)`, 'm').exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);

test('idle sockets from one address cannot lock out another, and the cap answers 429', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--max-conn', '40', '--max-conn-per-addr', '10', '--handshake-timeout', '1.5']);
    // Thirty idle connections from one address: only ten hold a place.
    const idle = await Promise.all(Array.from({ length: 30 }, () => idleSocket(srv.port, '127.0.0.1')));
    assert.equal((await srv.get('/health', { localAddress: '127.0.0.2' })).status, 200);
    const other = await registerHost(srv, '400500600', undefined, 'otra', { localAddress: '127.0.0.2' });
    assert.equal(other.ws.readyState, other.ws.OPEN);

    // A socket over the cap that does speak gets a real answer, not a dropped connection.
    const refused = await srv.get('/health', { localAddress: '127.0.0.1' });
    assert.equal(refused.status, 429);
    assert.equal(refused.headers['retry-after'], '30');
    assert.match(refused.body, /too many connections/);

    // Sockets that never complete a handshake lose their place within seconds.
    await Promise.all(idle.map((s) => s.gone));
    assert.equal((await srv.get('/health', { localAddress: '127.0.0.1' })).status, 200);
});

test('a reader that stops reading is closed before the server holds its backlog', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--max-frame', String(1 << 20), '--msg-rate', '1000', '--msg-burst', '1000',
        '--max-queue-bytes', String(1 << 20)]);
    const host = await registerHost(srv, '600700800');
    const tech = srv.ws('/join/600700800');
    await tech.send({ t: 'join', name: 'lenta', pass: '' });
    const req = await host.next('req');
    await host.send({ t: 'answer', sid: req.sid, ok: true });
    await tech.next('accepted');

    // The technician stops reading; the host keeps sending 900 KiB signals, 270 MB in all.
    // Frames were once bounded by count only: 512 of these would be 460 MB held.
    tech.ws._socket.pause();
    const before = procKiB(srv.proc.pid, 'VmRSS');
    const chunk = 'x'.repeat(900 * 1024);
    for (let i = 0; i < 300 && host.ws.readyState === host.ws.OPEN; i++) {
        host.ws.send(JSON.stringify({ t: 'signal', sid: req.sid, data: chunk }));
        await new Promise((r) => setImmediate(r));
        if (srv.log().includes('slow reader')) break;
    }
    await srv.waitLog(/ev=refused why="slow reader"/, 20000);
    const peak = procKiB(srv.proc.pid, 'VmHWM');
    assert.ok(peak - before < 64 * 1024, `the server grew by ${peak - before} KiB`);
    // The host is not punished for its peer: its socket stays and is told the tech left.
    assert.deepEqual(await host.next('left', 10000), { t: 'left', sid: req.sid, reason: 'closed' });
    assert.equal(host.ws.readyState, host.ws.OPEN);
});

test('X-Forwarded-For is believed only from the configured proxies, and only as an address', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--trust-proxy', '--proxy', '127.0.0.9']);
    const cases = [
        // [connecting from, X-Forwarded-For, the source the server records]
        ['127.0.0.9', '10.1.2.3', '10.1.2.3'],
        ['127.0.0.9', '10.9.9.9, 10.1.2.4', '10.1.2.4'],
        ['127.0.0.9', 'not-an-address', '127.0.0.9'],
        ['127.0.0.5', '10.1.2.5', '127.0.0.5'],
        ['127.0.0.1', '10.1.2.6', '127.0.0.1'],
    ];
    let n = 0;
    for (const [from, xff, seen] of cases) {
        const id = String(700000001 + n++);
        const h = await registerHost(srv, id, KEY('a'), `pc-${id}`, { localAddress: from, headers: { 'X-Forwarded-For': xff } });
        const [line] = await srv.waitLog(new RegExp(`ev=register id=${id} [^\\n]*`));
        assert.match(line, new RegExp(`addr="?${seen.replace(/\./g, '\\.')}\\b`), `${from} with "${xff}"`);
        await h.close();
    }
});
