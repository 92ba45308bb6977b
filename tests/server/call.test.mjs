import assert from 'node:assert/strict';
import { test } from 'node:test';
import { missingBin, startServer } from './helpers.mjs';

// Each member comes from its own loopback address.
async function member(srv, name, create = false, code = 'K7M2QX', from = '127.0.0.1') {
    const c = srv.ws(`/call/${code}`, { localAddress: from });
    await c.send({ t: 'join', name, create });
    return c;
}
const addr = (i) => `127.0.1.${10 + i}`;

test('a room of eight: welcome, routing, state, full, kick and host hand-over', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478']);
    const lost = await member(srv, 'x', false, 'ZZZZZZ');
    await lost.next('notfound');
    await lost.closed;

    const m = [];
    for (let i = 0; i < 8; i++) {
        const c = await member(srv, `p${i}`, i === 0, undefined, addr(i));
        c.welcome = await c.next('welcome');
        c.id = c.welcome.id;
        m.push(c);
        assert.deepEqual(c.welcome.peers, m.slice(0, i).map((o, j) => ({ id: o.id, name: `p${j}`, talk: false, muted: false })));
        assert.equal(c.welcome.host, m[0].id);
        assert.deepEqual(c.welcome.iceServers, [{ urls: ['stun:127.0.0.1:3478'] }]);
        for (const o of m.slice(0, i)) assert.deepEqual((await o.next('peer-join')).peer, { id: c.id, name: `p${i}` });
    }
    assert.equal(new Set(m.map((c) => c.id)).size, 8);

    const ninth = await member(srv, 'p8', false, undefined, addr(8));
    await ninth.next('full');
    await ninth.closed;

    await m[7].send({ t: 'signal', to: m[2].id, data: { sdp: { type: 'offer' } } });
    assert.deepEqual(await m[2].next('signal'), { t: 'signal', from: m[7].id, name: 'p7', data: { sdp: { type: 'offer' } } });

    await m[3].send({ t: 'state', talk: false, muted: true });
    for (const o of m.filter((c) => c !== m[3])) assert.deepEqual(await o.next('state'), { t: 'state', id: m[3].id, talk: false, muted: true });

    // Only the host may kick.
    await m[1].send({ t: 'kick', id: m[2].id });
    await m[0].send({ t: 'kick', id: m[5].id });
    await m[5].next('kicked');
    await m[5].closed;
    for (const o of m.filter((c) => c !== m[5])) assert.deepEqual(await o.next('peer-leave'), { t: 'peer-leave', id: m[5].id, host: m[0].id });
    assert.equal(m[2].seen('kicked').length, 0);

    // A kicked member cannot walk back in with a new socket, even with the room not full.
    const back = srv.ws('/call/K7M2QX', { localAddress: addr(5) });
    await back.send({ t: 'join', name: 'p5', rejoin: true, token: m[5].welcome.token });
    await back.next('kicked');
    await back.closed;
    assert.equal(m[0].seen('peer-join').length, 0);

    // The host leaves: the longest-present member takes over and may kick.
    m[0].close();
    const rest = m.filter((c) => c !== m[0] && c !== m[5]);
    for (const o of rest) assert.deepEqual(await o.next('peer-leave'), { t: 'peer-leave', id: m[0].id, host: m[1].id });
    await m[1].send({ t: 'kick', id: m[2].id });
    await m[2].next('kicked');

    // Places freed by leaving are free again, and a late joiner learns who is muted.
    const late = await member(srv, 'late', false, undefined, addr(9));
    const { peers } = await late.next('welcome');
    assert.equal(peers.length, 5);
    assert.deepEqual(peers.find((p) => p.id === m[3].id), { id: m[3].id, name: 'p3', talk: false, muted: true });
});

test('create never joins a room in use; rejoin after a restart does', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const owner = await member(srv, 'dueña', true, 'AB12CD');
    await owner.next('welcome');
    const clash = await member(srv, 'otro', true, 'AB12CD', '127.0.0.2');
    await clash.next('notfound');
    await clash.closed;
    assert.equal(owner.seen('peer-join').length, 0);

    // `rejoin` (sent after "server going away") creates the room or joins it.
    for (const code of ['AB12CD', 'NEW123']) {
        const c = srv.ws(`/call/${code}`, { localAddress: '127.0.0.3' });
        await c.send({ t: 'join', name: 'vuelve', create: false, rejoin: true });
        await c.next('welcome');
    }
    await owner.next('peer-join');
});

test('call joins that guess codes run out while another source gets in', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--open-burst', '4', '--open-rate', '1']);
    const owner = await member(srv, 'dueña', true, 'SECRET', '127.0.0.2');
    await owner.next('welcome');
    for (const code of ['AAAAAA', 'BBBBBB', 'CCCCCC', 'DDDDDD']) {
        await (await member(srv, 'adivino', false, code, '127.0.0.3')).next('notfound');
    }
    // The right code now answers like a wrong one: the guesser learns nothing.
    await (await member(srv, 'adivino', false, 'SECRET', '127.0.0.3')).next('notfound');
    await (await member(srv, 'invitada', false, 'SECRET', '127.0.0.4')).next('welcome');
    assert.match(srv.log(), /ev=refused why="open rate"/);
});
