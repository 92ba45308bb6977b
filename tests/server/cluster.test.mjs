import assert from 'node:assert/strict';
import { test } from 'node:test';
import WebSocket from 'ws';
import { launchHaproxy, launchRedis, missingHaproxy, missingRedis } from '../lib/redis_server.mjs';
import { fakeFetch, fakePeers, load } from '../lib/web_modules.mjs';
import { Client, KEY, missingBin, registerHost, sleep, startServer, within } from './helpers.mjs';

const skip = missingBin || missingRedis;
// A case that hangs fails with its name instead of holding up the suite.
const opts = { skip, timeout: 90000 };
const ID = '321654987';
// The other nodes see a node's death at their next check: every 2 s, and never in a node's
// first 5 s in the cluster. 7 s at most, and room for a loaded machine.
const NODE_GONE_MS = 15000;

/** redis-server and three nodes on it, all stopped when `t` ends. */
async function cluster(t, args = []) {
    const redis = await launchRedis();
    t.after(() => redis.cleanup());
    const nodes = [];
    for (let i = 0; i < 3; i++) nodes.push(await startServer(t, ['--redis', redis.url, ...args]));
    for (const n of nodes) await n.waitLog(/ev=cluster-up/);
    return { redis, nodes };
}

/** A technician on `b` in session with `host`, another on `c` waiting for its answer. */
async function relayedSupport(host, b, c) {
    const talking = b.ws(`/join/${ID}`);
    await talking.send({ t: 'join', name: 'Ana', pass: '' });
    const sid = (await host.next('req')).sid;
    await host.send({ t: 'answer', sid, ok: true });
    await talking.next('accepted');
    const asking = c.ws(`/join/${ID}`);
    await asking.send({ t: 'join', name: 'Beto', pass: '' });
    const waitingSid = (await host.next('req')).sid;
    await asking.next('waiting');
    return { talking, sid, asking, waitingSid };
}

/** A member of room `code` on `srv`, with its `welcome` kept. */
async function joinCall(srv, code, name, extra = {}) {
    const m = srv.ws(`/call/${code}`);
    await m.send({ t: 'join', name, ...extra });
    m.welcome = await m.next('welcome');
    return m;
}

async function waitHealth(srv, status) {
    for (const until = Date.now() + 8000; ; await sleep(100)) {
        const h = await srv.get('/health');
        if (h.status === status) return h;
        if (Date.now() > until) throw new Error(`/health stayed ${h.status}: ${JSON.stringify(h.body)}`);
    }
}

test('a PC on one node is reached from the others: support request and phone call', opts, async (t) => {
    const { nodes: [a, b, c] } = await cluster(t);
    const host = await registerHost(a, ID, KEY('a'), 'PC de Luis');

    const tech = b.ws(`/join/${ID}`);
    await tech.send({ t: 'join', name: 'Técnica Ana', pass: '' });
    assert.equal((await tech.next('waiting')).timeout, 60);
    const req = await host.next('req');
    assert.equal(req.name, 'Técnica Ana');
    await host.send({ t: 'answer', sid: req.sid, ok: true });
    assert.equal((await tech.next('accepted')).name, 'PC de Luis');

    // Signals both ways keep their order across the nodes.
    for (let i = 0; i < 30; i++) {
        await host.send({ t: 'signal', sid: req.sid, data: { n: i } });
        await tech.send({ t: 'signal', data: { n: i } });
    }
    for (let i = 0; i < 30; i++) {
        assert.deepEqual((await tech.next('signal')).data, { n: i });
        assert.deepEqual(await host.next('signal'), { t: 'signal', sid: req.sid, data: { n: i } });
    }
    await tech.send({ t: 'bye', why: 'bye' });
    assert.deepEqual(await host.next('left'), { t: 'left', sid: req.sid, reason: 'bye' });

    const caller = c.ws(`/ring/${ID}`);
    await caller.send({ t: 'ring', name: 'Beto', from: '111111111' });
    await caller.next('ringing');
    const ring = await host.next('ring');
    assert.equal(ring.name, 'Beto');
    await host.send({ t: 'ringans', cid: ring.cid, ok: true });
    await caller.next('answered');
    await host.send({ t: 'csignal', cid: ring.cid, data: { sdp: 'offer' } });
    assert.deepEqual((await caller.next('signal')).data, { sdp: 'offer' });
    await caller.send({ t: 'signal', data: { sdp: 'answer' } });
    assert.deepEqual(await host.next('csignal'), { t: 'csignal', cid: ring.cid, data: { sdp: 'answer' } });
    await caller.send({ t: 'hangup' });
    assert.deepEqual(await host.next('hangup'), { t: 'hangup', cid: ring.cid });

    // An ID nobody holds is offline from every node.
    const lost = b.ws('/join/999888777');
    await lost.send({ t: 'join', name: 'x', pass: '' });
    await lost.next('offline');
});

test('an ID is bound once across nodes: another key is taken, the same key replaces', opts, async (t) => {
    const { nodes: [a, b, c] } = await cluster(t);
    const first = await registerHost(a, ID, KEY('a'));
    const thief = c.ws(`/host/${ID}`);
    await thief.send({ t: 'hello', key: KEY('b'), name: 'ladrón', ver: '1' });
    await thief.next('taken');
    await within(thief.closed, 4000, 'the refused socket closed');

    const again = await registerHost(c, ID, KEY('a'), 'la misma PC');
    await first.next('replaced');
    await within(first.closed, 4000, 'the replaced socket closed');
    // The PC is reached where it is now.
    const tech = b.ws(`/join/${ID}`);
    await tech.send({ t: 'join', name: 'Ana', pass: '' });
    await tech.next('waiting');
    await again.next('req');
});

test('wrong passwords spread over the nodes lock the ID after the same count, on every node', opts, async (t) => {
    const { nodes } = await cluster(t, ['--lock-per-id', '3', '--lock-per-addr', '100']);
    const host = await registerHost(nodes[0], ID);
    for (const [i, n] of nodes.entries()) {
        const tech = n.ws(`/join/${ID}`, { localAddress: `127.0.0.${2 + i}` });
        await tech.send({ t: 'join', name: 'adivino', pass: 'guess' });
        const req = await host.next('req');
        await host.send({ t: 'answer', sid: req.sid, ok: false, reason: 'badkey' });
        assert.equal((await tech.next('denied')).reason, 'badkey');
    }
    assert.equal((await host.next('locked')).mins, 15);
    for (const n of nodes) {
        const tech = n.ws(`/join/${ID}`, { localAddress: '127.0.0.9' });
        await tech.send({ t: 'join', name: 'adivino', pass: 'guess' });
        assert.equal((await tech.next('locked')).mins, 15);
    }
    assert.equal(host.seen('req').length, 0);
});

test('a call room with members on all three nodes', opts, async (t) => {
    const { nodes } = await cluster(t);
    const code = 'CLU789';
    const m = [];
    for (let i = 0; i < 8; i++) {
        const c = nodes[i % 3].ws(`/call/${code}`, { localAddress: `127.0.2.${10 + i}` });
        await c.send({ t: 'join', name: `p${i}`, create: i === 0 });
        c.welcome = await c.next('welcome');
        c.id = c.welcome.id;
        assert.equal(c.welcome.host, m.length ? m[0].id : c.id);
        assert.equal(c.welcome.peers.length, i);
        for (const o of m) assert.equal((await o.next('peer-join')).peer.id, c.id);
        m.push(c);
    }
    const ninth = nodes[2].ws(`/call/${code}`, { localAddress: '127.0.2.30' });
    await ninth.send({ t: 'join', name: 'p8' });
    await ninth.next('full');

    // Signals between members on every pair of nodes, in order.
    for (const [from, to] of [[4, 2], [2, 4], [0, 1], [1, 0], [3, 6]]) {
        for (let n = 0; n < 5; n++) await m[from].send({ t: 'signal', to: m[to].id, data: { n } });
        for (let n = 0; n < 5; n++) {
            assert.deepEqual(await m[to].next('signal'), { t: 'signal', from: m[from].id, name: `p${from}`, data: { n } });
        }
    }

    await m[0].send({ t: 'kick', id: m[5].id });
    await m[5].next('kicked');
    for (const o of m.filter((c) => c !== m[5])) assert.equal((await o.next('peer-leave')).id, m[5].id);
    // The kick holds on every node: its token is refused elsewhere, while a colleague from
    // the same address gets in.
    const back = nodes[0].ws(`/call/${code}`, { localAddress: '127.0.2.15' });
    await back.send({ t: 'join', name: 'otro nombre', token: m[5].welcome.token });
    await back.next('kicked');
    const colleague = nodes[1].ws(`/call/${code}`, { localAddress: '127.0.2.15' });
    await colleague.send({ t: 'join', name: 'colega' });
    const cw = await colleague.next('welcome');
    for (const o of m.filter((c) => c !== m[5])) assert.equal((await o.next('peer-join')).peer.id, cw.id);
    colleague.close();
    for (const o of m.filter((c) => c !== m[5])) assert.equal((await o.next('peer-leave')).id, cw.id);

    m[0].close();
    for (const o of m.slice(1).filter((c) => c !== m[5])) {
        assert.deepEqual(await o.next('peer-leave'), { t: 'peer-leave', id: m[0].id, host: m[1].id });
    }
    await m[1].send({ t: 'kick', id: m[7].id });
    await m[7].next('kicked');
});

test('a node dies: its PCs register on another node and are reached again', opts, async (t) => {
    const { nodes: [a, b, c] } = await cluster(t);
    await registerHost(a, ID);
    a.proc.kill('SIGKILL');
    await within(a.exited, 4000, 'the killed node gone');
    const back = await registerHost(b, ID);
    const tech = c.ws(`/join/${ID}`);
    await tech.send({ t: 'join', name: 'Ana', pass: '' });
    await tech.next('waiting');
    await back.next('req');
});

test('Redis stopped and back: /health says so, registrations wait, all recovers without a restart', opts, async (t) => {
    const { redis, nodes: [a, b, c] } = await cluster(t);
    const host = await registerHost(a, ID);
    assert.equal((await a.get('/health')).body.store, 'si');
    // A session relayed from B and a request waiting from C when Redis goes.
    const { talking, sid, asking, waitingSid } = await relayedSupport(host, b, c);
    // A call room on A whose host came from B (the creator on A left), and a member on A
    // who must not inherit the room while the host is cut off.
    const code = 'OUT567';
    const creator = await joinCall(a, code, 'p0', { create: true });
    const remoteHost = await joinCall(b, code, 'p1');
    const stayer = await joinCall(a, code, 'p2');
    creator.close();
    for (const m of [remoteHost, stayer]) assert.equal((await m.next('peer-leave')).host, remoteHost.welcome.id);

    await redis.stop();
    assert.equal((await waitHealth(a, 503)).body.store, 'no');
    assert.deepEqual(await within(remoteHost.closed, 8000, 'the relayed host closed'),
        { code: 1001, reason: 'server going away' });
    assert.deepEqual(await stayer.next('peer-leave', 8000), { t: 'peer-leave', id: remoteHost.welcome.id, host: '' });
    // Nothing more can pass between the nodes: both ends hear it now, nothing waits on a
    // message that went nowhere.
    assert.deepEqual(await within(talking.closed, 8000, 'the relayed session closed'),
        { code: 1001, reason: 'server going away' });
    assert.deepEqual(await within(asking.closed, 8000, 'the relayed request closed'),
        { code: 1001, reason: 'server going away' });
    assert.deepEqual(await host.next('left', 8000), { t: 'left', sid, reason: 'closed' });
    assert.deepEqual(await host.next('cancel', 8000), { t: 'cancel', sid: waitingSid });
    // An opening meanwhile gets an answer and an end, not silence.
    const during = b.ws(`/join/${ID}`);
    await during.send({ t: 'join', name: 'Ana', pass: '' });
    await within(during.closed, 8000, 'a join during the outage closed');
    assert.equal(during.seen('waiting').length, 0);
    const refused = b.ws('/host/123123123');
    await refused.send({ t: 'hello', key: KEY('c'), name: 'nueva', ver: '1' });
    await within(refused.closed, 8000, 'the refused registration closed');
    assert.equal(refused.seen('ready').length, 0);

    await redis.start();
    for (const n of [a, b, c]) await waitHealth(n, 200);
    await registerHost(b, '123123123', KEY('c'));
    // The PC that stayed connected through the outage is still reached from elsewhere.
    const tech = c.ws(`/join/${ID}`);
    await tech.send({ t: 'join', name: 'Ana', pass: '' });
    await tech.next('waiting', 8000);
    await host.next('req');
    // The host who was cut off comes back within the grace and holds the room again.
    const back = await joinCall(b, code, 'p1', { rejoin: true, token: remoteHost.welcome.token });
    assert.equal(back.welcome.host, back.welcome.id);
    assert.deepEqual(await stayer.next('host'), { t: 'host', id: back.welcome.id });
    await back.send({ t: 'kick', id: stayer.welcome.id });
    await stayer.next('kicked');
});

test('behind HAProxy, any node answers any client', { ...opts, skip: skip || missingHaproxy }, async (t) => {
    const redis = await launchRedis();
    t.after(() => redis.cleanup());
    const nodes = [];
    for (let i = 0; i < 3; i++) nodes.push(await startServer(t, ['--redis', redis.url, '--trust-proxy'], { tlsOn: false }));
    const lb = await launchHaproxy(nodes.map((n) => n.port));
    t.after(() => lb.stop());
    // Healthy when several answers in a row are: round robin passes every node.
    const allHealthy = async (what) => {
        for (const until = Date.now() + 10000; ; await sleep(100)) {
            let ok = true;
            for (let i = 0; i < 6 && ok; i++) ok = await fetch(`${lb.url}/health`).then((r) => r.status === 200, () => false);
            if (ok) return;
            if (Date.now() > until) throw new Error(`HAProxy: ${what}`);
        }
    };
    await allHealthy('never found the nodes healthy');
    const ws = (p) => new Client(`ws://127.0.0.1:${lb.port}${p}`, {});
    // Round robin spreads these over the nodes: the PC and the technician land apart.
    const supportThrough = async () => {
        const host = ws(`/host/${ID}`);
        await host.send({ t: 'hello', key: KEY('a'), name: 'PC', ver: '1' });
        await host.next('ready');
        for (let i = 0; i < 3; i++) {
            const tech = ws(`/join/${ID}`);
            await tech.send({ t: 'join', name: `t${i}`, pass: '' });
            await tech.next('waiting');
            const req = await host.next('req');
            await host.send({ t: 'answer', sid: req.sid, ok: true });
            await tech.next('accepted');
            await tech.send({ t: 'signal', data: { i } });
            assert.deepEqual((await host.next('signal')).data, { i });
            await tech.send({ t: 'bye', why: 'bye' });
            await host.next('left');
            tech.ws.terminate();
        }
        host.ws.terminate();
    };
    await supportThrough();
    // A node dies: the health checks take it out, and every new client lands on a live one.
    nodes[0].proc.kill('SIGKILL');
    await within(nodes[0].exited, 4000, 'the killed node gone');
    await allHealthy('kept sending clients to the dead node');
    await supportThrough();
});

test('a node dies: sessions, requests and calls linked through it end, nothing hangs', opts, async (t) => {
    const { nodes: [a, b, c] } = await cluster(t);
    const host = await registerHost(a, ID);
    const { talking, sid, waitingSid } = await relayedSupport(host, b, c);

    // The technician's node dies: the PC hears its request is gone.
    c.proc.kill('SIGKILL');
    await within(c.exited, 4000, 'node C gone');
    assert.deepEqual(await host.next('cancel', NODE_GONE_MS), { t: 'cancel', sid: waitingSid });
    // The PC's node dies: the technician's relayed socket ends as a restart would.
    a.proc.kill('SIGKILL');
    await within(a.exited, 4000, 'node A gone');
    assert.deepEqual(await within(talking.closed, NODE_GONE_MS, 'the relayed session closed'),
        { code: 1001, reason: 'server going away' });
});

test('a call room whose node dies comes back on a live node when its members rejoin', opts, async (t) => {
    const { nodes: [a, b, c] } = await cluster(t);
    const code = 'MUE456';
    const join = (srv, name, extra) => joinCall(srv, code, name, extra);
    const m0 = await join(a, 'p0', { create: true });
    const m1 = await join(b, 'p1');
    const m2 = await join(c, 'p2');
    assert.equal(m2.welcome.peers.length, 2);

    a.proc.kill('SIGKILL');
    await within(a.exited, 4000, 'node A gone');
    for (const m of [m1, m2]) {
        assert.deepEqual(await within(m.closed, NODE_GONE_MS, 'a member relayed to the dead node closed'),
            { code: 1001, reason: 'server going away' });
    }
    // They rejoin as after a restart, on their own nodes, and meet in one room again.
    const r1 = await join(b, 'p1', { rejoin: true, token: m1.welcome.token });
    assert.deepEqual(r1.welcome.peers, []);
    const r2 = await join(c, 'p2', { rejoin: true, token: m2.welcome.token });
    assert.deepEqual(r2.welcome.peers.map((p) => p.name), ['p1']);
    assert.equal((await r1.next('peer-join')).peer.id, r2.welcome.id);
    await r2.send({ t: 'signal', to: r1.welcome.id, data: 'hola' });
    assert.equal((await r1.next('signal')).data, 'hola');
    // The host who died with the node may still come back within the grace.
    assert.equal(r1.welcome.host, '');
    const back = await join(c, 'p0', { rejoin: true, token: m0.welcome.token });
    assert.equal(back.welcome.host, back.welcome.id);
});

/**
 * The page's own group call module on `srv`, from `addr`: real sockets to the node,
 * stand-in microphone and peer connections. `made` lists the sockets it opened.
 */
async function callPage(srv, name, addr) {
    const p = await load(['net/group_call.js', 'net/signal_socket.js', 'net/peer.js', 'media/devices.js', 'media/mixer.js']);
    p.ST.ID = { servidor: srv.url, nombre: name };
    p.http.fetch = fakeFetch().fetch;
    p.made = [];
    p.sockets.make = (url) => {
        const ws = new WebSocket(url, { ca: srv.ca, localAddress: addr });
        p.made.push(ws);
        return ws;
    };
    fakePeers(p);
    p.toasts = [];
    p.callOn.onnotice = (text) => p.toasts.push(text);
    const track = { kind: 'audio', label: 'mic', enabled: true, stop() {}, addEventListener() {} };
    p.userMedia.open = async () => ({ getAudioTracks: () => [track], getTracks: () => [track] });
    p.userMedia.list = async () => [];
    p.userMedia.player = () => ({ muted: false, volume: 1, srcObject: null, dataset: {}, play: async () => {}, pause() {}, remove() {} });
    p.x = () => p.ST.CALLX;
    return p;
}

/** What each page believes of its room: own id, host, the members it is linked to. */
const roomView = (pages) => pages.map((p) => {
    const x = p.x();
    return x ? { me: x.me, host: x.host, open: !!(x.ws && x.ws.open), peers: [...x.peers.keys()].sort() } : { left: p.toasts };
});

/** Every page in one room: each linked to all the others, all naming `host`'s page as host. */
function oneRoom(pages, host) {
    const v = roomView(pages);
    const ids = v.map((m) => m.me);
    return v.every((m, i) => m.open && m.me && m.host === v[pages.indexOf(host)].me &&
        JSON.stringify(m.peers) === JSON.stringify(ids.filter((_, k) => k !== i).sort())) &&
        new Set(ids).size === ids.length;
}

async function until(cond, ms, what, show = () => '') {
    for (const end = Date.now() + ms; !cond(); await sleep(100)) {
        if (Date.now() > end) throw new Error(`${what}: not within ${ms} ms\n${show()}`);
    }
}

test('Redis restarted while the node of a call room is slow to come back: the room comes back as one', opts, async (t) => {
    // The page spreads its rejoins at random; fixed here, so that every try is 1-6 s apart.
    t.mock.method(Math, 'random', () => 0.25);
    const { redis, nodes: [a, b, c] } = await cluster(t);
    const code = 'RED234';
    const pages = [];
    for (let i = 0; i < 8; i++) pages.push(await callPage([a, b, c][i % 3], `p${i}`, `127.0.3.${10 + i}`));
    t.after(() => { for (const p of pages) p.callLeave(); });
    const show = () => JSON.stringify(roomView(pages));
    await pages[0].callStart(code, true);
    await until(() => pages[0].x().me, 8000, 'the room made');
    for (const p of pages.slice(1)) await p.callStart(code, false);
    await until(() => oneRoom(pages, pages[0]), 15000, 'the room before', show);
    const [host, ...rest] = pages;
    const elsewhere = rest.filter((_, i) => (i + 1) % 3 !== 0);
    const before = elsewhere.map((p) => p.x().me);

    // The room lives on A. Redis goes: the members relayed from B and C are sent away and
    // knock again while it is still down, which must not end their call.
    await redis.stop();
    await until(() => elsewhere.every((p) => p.made.length >= 2 && p.made[1].readyState === WebSocket.CLOSED || !p.x()),
        20000, 'a rejoin tried during the outage', show);
    assert.deepEqual(pages.filter((p) => !p.x()).map((p) => p.toasts), [], 'nobody left the call');

    // Redis comes back while A is held up: B and C serve their members first.
    a.proc.kill('SIGSTOP');
    try {
        await redis.start();
        for (const n of [b, c]) await waitHealth(n, 200);
        await until(() => elsewhere.every((p, i) => p.x() && p.x().ws && p.x().ws.open && p.x().me && p.x().me !== before[i]),
            30000, 'the members on B and C back in a room', show);
    } finally {
        a.proc.kill('SIGCONT');
    }
    // One host, every member linked to every other, wherever the room went.
    await until(() => oneRoom(pages, host), 40000, 'one room again', show);

    // Eight are all a room holds, whichever node a ninth comes to.
    const ninth = await callPage(a, 'p8', '127.0.3.30');
    t.after(() => ninth.callLeave());
    await ninth.callStart(code, false);
    await until(() => !ninth.x(), 8000, 'the ninth refused');
    assert.deepEqual(ninth.toasts, ['callFull']);
    assert.ok(oneRoom(pages, host), show());
});
