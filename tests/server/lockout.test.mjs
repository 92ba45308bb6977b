import assert from 'node:assert/strict';
import { test } from 'node:test';
import { KEY, missingBin, registerHost, sleep, startServer } from './helpers.mjs';

/** One wrong-password attempt from `from` (a loopback source address) against `id`. */
async function wrongPassword(srv, host, id, from) {
    const tech = srv.ws(`/join/${id}`, { localAddress: from });
    await tech.send({ t: 'join', name: 'adivino', pass: 'guess' });
    const req = await host.next('req');
    await host.send({ t: 'answer', sid: req.sid, ok: false, reason: 'badkey' });
    assert.equal((await tech.next('denied')).reason, 'badkey');
}

async function attempt(srv, id, from) {
    const tech = srv.ws(`/join/${id}`, { localAddress: from });
    await tech.send({ t: 'join', name: 'adivino', pass: 'guess' });
    return Promise.race([tech.next('locked'), tech.next('waiting')]);
}

test('wrong passwords lock password attempts on the ID, for everyone, until the lock expires', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--lock-per-id', '3', '--lock-per-addr', '100', '--lock-duration', '1.5']);
    const host = await registerHost(srv, '111222333');
    for (let i = 0; i < 3; i++) await wrongPassword(srv, host, '111222333', '127.0.0.1');
    assert.equal((await host.next('locked')).mins, 1);

    // Another source address is locked out of this ID too, and the host sees no request.
    assert.deepEqual(await attempt(srv, '111222333', '127.0.0.2'), { t: 'locked', mins: 1 });
    assert.equal(host.seen('req').length, 0);

    // Without a password the person at the PC is asked: the lock cannot cut them off.
    const attended = srv.ws('/join/111222333', { localAddress: '127.0.0.1' });
    await attended.send({ t: 'join', name: 'soporte', pass: '' });
    await attended.next('waiting');
    const req = await host.next('req');
    assert.equal(req.pass, '');
    await host.send({ t: 'answer', sid: req.sid, ok: true });
    await attended.next('accepted');

    await sleep(1600);
    assert.equal((await attempt(srv, '111222333', '127.0.0.1')).t, 'waiting');
    await host.next('req');
});

test('wrong passwords from one address lock that address out of every ID', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--lock-per-id', '100', '--lock-per-addr', '2', '--lock-duration', '60']);
    const a = await registerHost(srv, '100000001', KEY('1'));
    const b = await registerHost(srv, '100000002', KEY('2'));
    await wrongPassword(srv, a, '100000001', '127.0.0.3');
    await wrongPassword(srv, b, '100000002', '127.0.0.3');
    await b.next('locked');
    assert.equal((await attempt(srv, '100000001', '127.0.0.3')).t, 'locked');
    assert.equal((await attempt(srv, '100000001', '127.0.0.4')).t, 'waiting');
});
