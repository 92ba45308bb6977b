import assert from 'node:assert/strict';
import { test } from 'node:test';
import { missingBin, startServer } from './helpers.mjs';

async function member(srv, name, create = false, code = 'K7M2QX') {
    const c = srv.ws(`/call/${code}`);
    await c.send({ t: 'join', name, create });
    return c;
}

test('a room of eight: welcome, routing, state, full, kick and host hand-over', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478']);
    const lost = await member(srv, 'x', false, 'ZZZZZZ');
    await lost.next('notfound');
    await lost.closed;

    const m = [];
    for (let i = 0; i < 8; i++) {
        const c = await member(srv, `p${i}`, i === 0);
        c.welcome = await c.next('welcome');
        c.id = c.welcome.id;
        m.push(c);
        assert.deepEqual(c.welcome.peers, m.slice(0, i).map((o, j) => ({ id: o.id, name: `p${j}` })));
        assert.equal(c.welcome.host, m[0].id);
        assert.deepEqual(c.welcome.iceServers, [{ urls: ['stun:127.0.0.1:3478'] }]);
        for (const o of m.slice(0, i)) assert.deepEqual((await o.next('peer-join')).peer, { id: c.id, name: `p${i}` });
    }
    assert.equal(new Set(m.map((c) => c.id)).size, 8);

    const ninth = await member(srv, 'p8');
    await ninth.next('full');
    await ninth.closed;

    await m[7].send({ t: 'signal', to: m[2].id, data: { sdp: { type: 'offer' } } });
    assert.deepEqual(await m[2].next('signal'), { t: 'signal', from: m[7].id, name: 'p7', data: { sdp: { type: 'offer' } } });

    await m[3].send({ t: 'state', talk: true, muted: false });
    for (const o of m.filter((c) => c !== m[3])) assert.deepEqual(await o.next('state'), { t: 'state', id: m[3].id, talk: true, muted: false });

    // Only the host may kick.
    await m[1].send({ t: 'kick', id: m[2].id });
    await m[0].send({ t: 'kick', id: m[5].id });
    await m[5].next('kicked');
    await m[5].closed;
    for (const o of m.filter((c) => c !== m[5])) assert.deepEqual(await o.next('peer-leave'), { t: 'peer-leave', id: m[5].id, host: m[0].id });
    assert.equal(m[2].seen('kicked').length, 0);

    // The host leaves: the longest-present member takes over and may kick.
    m[0].close();
    const rest = m.filter((c) => c !== m[0] && c !== m[5]);
    for (const o of rest) assert.deepEqual(await o.next('peer-leave'), { t: 'peer-leave', id: m[0].id, host: m[1].id });
    await m[1].send({ t: 'kick', id: m[2].id });
    await m[2].next('kicked');

    // Places freed by leaving are free again.
    const late = await member(srv, 'late');
    assert.equal((await late.next('welcome')).peers.length, 5);
});
