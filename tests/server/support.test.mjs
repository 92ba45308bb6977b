import assert from 'node:assert/strict';
import { test } from 'node:test';
import { missingBin, registerHost, startServer } from './helpers.mjs';

const ID = '555666777';

/** A technician's /join/ socket that has sent `join`; with `host`, also the host's `req`. */
async function join(srv, host, pass = '', name = 'Técnica Ana') {
    const tech = srv.ws(`/join/${ID}`);
    await tech.send({ t: 'join', name, pass });
    if (!host) return { tech };
    const waiting = await tech.next('waiting');
    const req = await host.next('req');
    return { tech, waiting, req };
}

async function accepted(srv, host) {
    const r = await join(srv, host);
    await host.send({ t: 'answer', sid: r.req.sid, ok: true });
    await r.tech.next('accepted');
    return r;
}

test('a support request from join to the end of the session', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478']);
    const host = await registerHost(srv, ID, undefined, 'PC de Luis');
    const { tech, waiting, req } = await join(srv, host, 'secreto-123');

    assert.equal(waiting.timeout, 60);
    assert.equal(req.name, 'Técnica Ana');
    assert.equal(req.pass, 'secreto-123');
    assert.match(req.sid, /^[0-9a-f]+$/);
    assert.deepEqual(req.iceServers, [{ urls: ['stun:127.0.0.1:3478'] }]);
    assert.ok(!srv.log().includes('secreto-123'), 'passwords never reach the log');

    // Signals before acceptance are not relayed: nothing may reach an unaccepted host.
    await tech.send({ t: 'signal', data: { early: 1 } });
    await host.send({ t: 'answer', sid: req.sid, ok: true });
    const acc = await tech.next('accepted');
    assert.equal(acc.name, 'PC de Luis');
    assert.ok(Array.isArray(acc.iceServers));

    const sdp = { sdp: { type: 'offer', sdp: 'v=0\r\n…ñ' } };
    await host.send({ t: 'signal', sid: req.sid, data: sdp });
    assert.deepEqual((await tech.next('signal')).data, sdp);
    await tech.send({ t: 'signal', data: { ice: { candidate: 'c1' } } });
    assert.deepEqual(await host.next('signal'), { t: 'signal', sid: req.sid, data: { ice: { candidate: 'c1' } } });
    assert.equal(host.seen('signal').length, 0, 'the early signal was dropped');

    await tech.send({ t: 'bye', why: 'bye' });
    assert.deepEqual(await host.next('left'), { t: 'left', sid: req.sid, reason: 'bye' });
});

test('every way a request or session ends reaches the other side', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const cases = [
        // [what happens, before or after acceptance, what the other side gets]
        { name: 'tech bye', acc: true, act: (c) => c.tech.send({ t: 'bye', why: 'stopped' }), host: { t: 'left', reason: 'stopped' } },
        { name: 'tech socket lost', acc: true, act: (c) => c.tech.ws.terminate(), host: { t: 'left', reason: 'closed' } },
        { name: 'tech cancel', acc: false, act: (c) => c.tech.send({ t: 'cancel', why: 'bye' }), host: { t: 'cancel' } },
        { name: 'tech gone while waiting', acc: false, act: (c) => c.tech.close(), host: { t: 'cancel' } },
        { name: 'host bye failed', acc: true, act: (c, h) => h.send({ t: 'bye', sid: c.req.sid, why: 'failed' }), tech: { t: 'ended', reason: 'failed' } },
        { name: 'host bye stopped', acc: true, act: (c, h) => h.send({ t: 'bye', sid: c.req.sid, why: 'stopped' }), tech: { t: 'ended', reason: 'stopped' } },
        { name: 'host bye other', acc: true, act: (c, h) => h.send({ t: 'bye', sid: c.req.sid, why: 'bye' }), tech: { t: 'ended', reason: 'other' } },
        { name: 'host gone', acc: true, act: (c, h) => h.ws.terminate(), tech: { t: 'ended', reason: 'hostgone' } },
        { name: 'host gone while waiting', acc: false, act: (c, h) => h.ws.terminate(), tech: { t: 'ended', reason: 'hostgone' } },
    ];
    for (const k of cases) {
        const host = await registerHost(srv, ID);
        const c = k.acc ? await accepted(srv, host) : await join(srv, host);
        await k.act(c, host);
        if (k.host) {
            const got = await host.next(k.host.t);
            assert.deepEqual(got, { ...k.host, sid: c.req.sid }, k.name);
        } else {
            const got = await c.tech.next(k.tech.t);
            assert.deepEqual(got, k.tech, k.name);
            await c.tech.closed;
        }
        host.ws.terminate();
        await host.closed;
    }
});

test('refusals: each denial reason, offline, busy and the server deadline', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--request-timeout', '1', '--max-pending', '2', '--lock-per-id', '100']);
    const nobody = srv.ws('/join/999999999');
    await nobody.send({ t: 'join', name: 'x', pass: '' });
    await nobody.next('offline');
    assert.equal((await nobody.closed).code, 1000);

    const host = await registerHost(srv, ID);
    const reasons = [
        ['badkey', 'badkey'], ['denied', 'denied'], ['timeout', 'timeout'], ['cancelled', 'cancelled'],
        ['busy', 'busy'], ['unavailable', 'unavailable'], ['<b>hola</b>', 'denied'], [undefined, 'denied'],
    ];
    for (const [sent, expected] of reasons) {
        const { tech, req } = await join(srv, host);
        await host.send({ t: 'answer', sid: req.sid, ok: false, reason: sent });
        assert.equal((await tech.next('denied')).reason, expected, `host said ${sent}`);
        await tech.closed;
    }

    // A host that never answers: the server denies with "timeout" and withdraws the req.
    const a = await join(srv, host);
    const b = await join(srv, host);
    const c = await join(srv);
    await c.tech.next('busy');
    assert.equal((await a.tech.next('denied', 3000)).reason, 'timeout');
    const cancels = [await host.next('cancel'), await host.next('cancel')].map((m) => m.sid).sort();
    assert.deepEqual(cancels, [a.req.sid, b.req.sid].sort());
    // A late answer to a withdrawn request reaches nobody and breaks nothing.
    await host.send({ t: 'answer', sid: a.req.sid, ok: true });
    await join(srv, host);
});
