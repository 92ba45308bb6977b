// Group call rules: room codes drawn and typed, what the page keeps of hostile frames from
// the room's socket, when it rejoins after a restart, and how the member list and the mesh
// follow the room (stand-in sockets, peer connections and microphones record what the
// page does).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeFetch, fakeSockets, fakePeers, FakeSocket } from '../../lib/web_modules.mjs';

const plain = (v) => JSON.parse(JSON.stringify(v));
const CALL = ['net/group_call.js', 'net/signal_socket.js', 'net/peer.js', 'media/devices.js', 'media/mixer.js'];
const flush = () => new Promise((r) => setTimeout(r, 0));

test('room codes: drawn from 32 characters without look-alikes, typed ones trimmed and upper-cased', async () => {
  const p = await load(CALL);
  for (const [rnd, code] of [
    [[0, 1, 2, 3, 4, 5], 'ABCDEF'],
    [[31, 32, 63, 2 ** 32 - 1, 8, 40], '9A99JJ'],
    [[24, 25, 13, 22, 23, 7], '23PYZH'],
  ]) assert.equal(p.callNewCode(new Uint32Array(rnd)), code);
  const drawn = new Set(Array.from({ length: 500 }, () => p.callNewCode()));
  for (const c of drawn) assert.match(c, /^[A-HJ-NP-Z2-9]{6}$/);
  assert.ok(drawn.size > 490, 'codes repeat: the source is not random');

  for (const [typed, code] of [
    ['  k7m2qx ', 'K7M2QX'],
    ['\tab12cd\n', 'AB12CD'],
    ['ABCDE', ''],
    ['ABCDEFG', ''],
    ['AB-123', ''],
    ['ÑANDÚ1', ''],
    ['', ''],
    [123456, ''],
    [null, ''],
  ]) assert.equal(p.callCodeOf(typed), code, JSON.stringify(typed));
});

test('frames from the room: checked types, names cut, lists bounded, junk dropped', async () => {
  const p = await load(CALL);
  const clean = (m) => plain(p.callClean(m));
  const many = Array.from({ length: 20 }, (_, i) => ({ id: `m${i}`, name: `p${i}` }));
  const cases = [
    [null, null],
    [{ t: 5 }, null],
    [{ t: 'welcome', id: 'a b', host: 'x', peers: [] }, null],
    [
      { t: 'welcome', id: 'me1', host: 'h<1>', iceServers: [{ urls: 'stun:x:1' }, { urls: 5 }, 'junk'], peers: [{ id: 'me1', name: 'yo' }, { id: 'p1', name: 'Ana\u0000\n' + 'x'.repeat(100), talk: 'yes', muted: true }, { id: 'p1', name: 'dup' }, { name: 'sin id' }, 7] },
      { t: 'welcome', id: 'me1', host: '', token: '', ice: [{ urls: ['stun:x:1'] }], peers: [{ id: 'p1', name: 'Ana  ' + 'x'.repeat(100), talk: false, muted: true }].map((m) => ({ ...m, name: m.name.trim().slice(0, 32) })) },
    ],
    [{ t: 'welcome', id: 'me1', host: 'm0', peers: 'todos' }, { t: 'welcome', id: 'me1', host: 'm0', token: '', ice: [], peers: [] }],
    [{ t: 'welcome', id: 'me1', host: '', token: '0123456789abcdef0123456789abcdef', peers: [] }, { t: 'welcome', id: 'me1', host: '', token: '0123456789abcdef0123456789abcdef', ice: [], peers: [] }],
    [{ t: 'welcome', id: 'me1', host: '', token: '<script>'.repeat(4), peers: [] }, { t: 'welcome', id: 'me1', host: '', token: '', ice: [], peers: [] }],
    [{ t: 'host', id: 'p3' }, { t: 'host', id: 'p3' }],
    [{ t: 'host', id: 'p 3' }, null],
    [{ t: 'peer-join', peer: { id: 'p2' } }, { t: 'peer-join', peer: { id: 'p2', name: '?', talk: false, muted: false } }],
    [{ t: 'peer-join', peer: { id: 'x'.repeat(33), name: 'largo' } }, null],
    [{ t: 'peer-join' }, null],
    [{ t: 'signal', from: 'p1', name: 'Ana', data: { sdp: { type: 'offer', sdp: 'v=0' } } }, { t: 'signal', from: 'p1', name: 'Ana', data: { sdp: { type: 'offer', sdp: 'v=0' } } }],
    [{ t: 'signal', from: 'p1', data: { sdp: { type: 'rollback', sdp: 'v=0' } } }, null],
    [{ t: 'signal', from: 'p1', data: { sdp: { type: 'offer', sdp: 7 } } }, null],
    [{ t: 'signal', from: 'p1', data: { sdp: { type: 'offer', sdp: 'x'.repeat(60001) } } }, null],
    [{ t: 'signal', from: 'p1', data: { ice: { candidate: 'c', sdpMid: '0', sdpMLineIndex: 0, extra: { a: 1 } } } }, { t: 'signal', from: 'p1', name: '?', data: { ice: { candidate: 'c', sdpMid: '0', sdpMLineIndex: 0 } } }],
    [{ t: 'signal', from: 'p1', data: { ice: { candidate: 'c', sdpMLineIndex: -1 } } }, null],
    [{ t: 'signal', from: 'p1', data: { ice: { candidate: 'x'.repeat(2000), sdpMid: '0' } } }, null],
    [{ t: 'signal', from: '', data: { ice: { candidate: 'c', sdpMid: '0' } } }, null],
    [{ t: 'state', id: 'p1', talk: 1, muted: 'true' }, { t: 'state', id: 'p1', talk: false, muted: false }],
    [{ t: 'state', id: 'p1', talk: true, muted: true }, { t: 'state', id: 'p1', talk: true, muted: true }],
    [{ t: 'peer-leave', id: 'p1', host: ['p2'] }, { t: 'peer-leave', id: 'p1', host: '' }],
    [{ t: 'peer-leave', host: 'p2' }, null],
    [{ t: 'kicked', why: 'x' }, { t: 'kicked' }],
    [{ t: 'x'.repeat(100) }, { t: 'x'.repeat(32) }],
  ];
  for (const [m, want] of cases) assert.deepEqual(clean(m), want, JSON.stringify(m).slice(0, 120));
  const w = p.callClean({ t: 'welcome', id: 'me', host: 'm0', peers: many });
  assert.deepEqual(plain(w.peers.map((m) => m.id)), ['m0', 'm1', 'm2', 'm3', 'm4', 'm5', 'm6']);
});

test('only a server restart brings the page back into the room, trying a few times, spread out', async () => {
  const p = await load(CALL);
  for (const [code, reason, tries, rnd, want] of [
    [1001, 'server going away', 0, 0, 1000],
    [1001, 'server going away', 0, 1, 5000],
    [1001, 'server going away', 2, 0.5, 7000],
    [1001, 'server going away', 5, 0, -1],
    [1001, 'going away', 0, 0, -1],
    [1000, 'server going away', 0, 0, -1],
    [1006, '', 0, 0, -1],
    [1008, 'rate', 0, 0, -1],
    // Coming back, a server that is not listening yet is knocked at again.
    [1006, '', 1, 0, 1000],
    [1006, '', 4, 1, 21000],
    [1006, '', 5, 0, -1],
  ]) assert.equal(p.callRejoinWait(code, reason, tries, rnd), want, `${code} ${reason} ${tries}`);
});

/** A page in a call with stand-in sockets, peer connections, microphone and players. */
async function room() {
  const p = await load(CALL);
  const el = () => ({ muted: false, volume: 1, srcObject: null, dataset: {}, play: async () => {}, pause() {}, remove() {} });
  p.toasts = [];
  p.callOn.onnotice = (text) => p.toasts.push(text);
  const api = fakeFetch();
  p.http.fetch = api.fetch;
  p.posts = () => api.calls.filter((c) => c.url !== '/api/diag').map((c) => [c.url, c.body]);
  p.made = fakeSockets(p, (url) => Object.assign(new FakeSocket(url), { readyState: 1 }));
  p.pcs = fakePeers(p);
  const mic = () => {
    const track = { kind: 'audio', label: 'USB', enabled: true, stopped: false, on: {}, stop() { this.stopped = true; }, addEventListener(k, f) { this.on[k] = f; } };
    return { track, getAudioTracks: () => [track], getTracks: () => [track] };
  };
  p.mics = [];
  p.userMedia.open = async () => { const m = mic(); p.mics.push(m); return m; };
  p.userMedia.list = async () => [];
  p.userMedia.player = el;
  Object.defineProperty(p, 'track', { get: () => p.mics[0].track });
  /** The current socket receives a frame from the server. */
  p.hear = async (m) => {
    p.made.at(-1).msg(m);
    await flush();
    await flush();
  };
  p.x = () => p.ST.CALLX;
  return p;
}

test('members: a late joiner offers to everyone listed, the others answer, the room never exceeds eight', async () => {
  const p = await room();
  await p.callStart('K7M2QX', false);
  const ws = p.made[0];
  assert.match(ws.url, /\/call\/K7M2QX$/);
  ws.onopen();
  assert.equal(ws.sent[0].t, 'join');
  assert.equal(ws.sent[0].create, false);
  assert.deepEqual(p.posts(), [['/api/llamada', { activa: true }]]);

  await p.hear({ t: 'welcome', id: 'me', host: 'h1', iceServers: [], peers: [{ id: 'h1', name: 'Ana', muted: true }, { id: 'b2', name: 'Beto', talk: true }] });
  const x = p.x();
  assert.deepEqual([...x.peers.keys()], ['h1', 'b2']);
  assert.ok([...x.peers.values()].every((m) => m.offerer && m.pc.tracks.length === 1));
  assert.equal(x.peers.get('h1').pc.cfg.iceServers[0].urls, 'stun:stun.cloudflare.com:3478');
  assert.deepEqual(plain(ws.sent.filter((m) => m.t === 'signal').map((m) => [m.to, m.data.sdp.type])), [['h1', 'offer'], ['b2', 'offer']]);
  assert.deepEqual([x.peers.get('h1').muted, x.peers.get('b2').talk], [true, true]);

  // A newcomer gets an answering connection; its offer is answered, its early candidates wait.
  await p.hear({ t: 'peer-join', peer: { id: 'c3', name: 'Caro' } });
  const caro = x.peers.get('c3');
  assert.equal(caro.offerer, false);
  await p.hear({ t: 'signal', from: 'c3', name: 'Caro', data: { ice: { candidate: 'early', sdpMid: '0' } } });
  assert.equal(caro.rtc.iceq.length, 1);
  await p.hear({ t: 'signal', from: 'c3', name: 'Caro', data: { sdp: { type: 'offer', sdp: 'v=0' } } });
  assert.deepEqual(plain(caro.pc.cands), [{ candidate: 'early', sdpMid: '0' }]);
  assert.deepEqual(plain(ws.sent.at(-1)), { t: 'signal', to: 'c3', data: { sdp: { type: 'answer', sdp: 'answer' } } });

  // An offer to a member this page offered to, an answer nobody asked for, and candidates
  // from strangers change nothing.
  const before = ws.sent.length;
  await p.hear({ t: 'signal', from: 'h1', data: { sdp: { type: 'offer', sdp: 'v=0' } } });
  await p.hear({ t: 'signal', from: 'c3', data: { sdp: { type: 'answer', sdp: 'v=0' } } });
  await p.hear({ t: 'signal', from: 'zz', data: { ice: { candidate: 'c', sdpMid: '0' } } });
  await p.hear('{"t":"signal",');
  assert.equal(ws.sent.length, before);
  assert.equal(x.peers.get('h1').pc.remoteDescription, null);
  assert.ok(!x.peers.has('zz'));
  await p.hear({ t: 'signal', from: 'h1', data: { sdp: { type: 'answer', sdp: 'v=0' } } });
  assert.equal(x.peers.get('h1').pc.remoteDescription.type, 'answer');

  // Joins beyond eight members (a lying server) are not connected.
  for (let i = 0; i < 10; i++) await p.hear({ t: 'peer-join', peer: { id: `n${i}`, name: `n${i}` } });
  assert.equal(x.peers.size, 7);
  await p.hear({ t: 'signal', from: 'zz', data: { sdp: { type: 'offer', sdp: 'v=0' } } });
  assert.equal(x.peers.size, 7);

  // A failed pair: the side that offered tries once more with fresh candidates, the other waits.
  for (const id of ['b2', 'b2', 'c3']) {
    const m = x.peers.get(id);
    m.pc.connectionState = 'failed';
    m.pc.onconnectionstatechange();
  }
  await flush();
  assert.deepEqual(plain(ws.sent.filter((m) => m.data && m.data.sdp && m.data.sdp.sdp === 'restart').map((m) => m.to)), ['b2']);

  await p.hear({ t: 'state', id: 'b2', talk: false, muted: true });
  assert.deepEqual([x.peers.get('b2').talk, x.peers.get('b2').muted], [false, true]);

  // Only the host may kick; the host leaving hands the room over.
  p.callKick('b2');
  assert.ok(!ws.sent.some((m) => m.t === 'kick'));
  await p.hear({ t: 'peer-leave', id: 'h1', host: 'me' });
  assert.equal(x.host, 'me');
  assert.ok(!x.peers.has('h1'));
  assert.ok(p.pcs[0].closed);
  p.callKick('b2');
  p.callKick('nadie');
  assert.deepEqual(plain(ws.sent.filter((m) => m.t === 'kick')), [{ t: 'kick', id: 'b2' }]);

  await p.hear({ t: 'kicked' });
  assert.equal(p.x(), null);
  assert.deepEqual(p.toasts, ['callKicked']);
  assert.ok(p.track.stopped);
  assert.ok(p.pcs.every((pc) => pc.closed));
  assert.deepEqual(p.posts().at(-1), ['/api/llamada', { activa: false }]);
});

test('a new room whose drawn code is in use draws again, three times at most', async () => {
  const p = await room();
  p.callCreate();
  await flush();
  for (let i = 0; i < 3; i++) {
    p.made.at(-1).onopen();
    assert.equal(p.made.at(-1).sent[0].create, true);
    await p.hear({ t: 'notfound' });
  }
  const codes = p.made.map((s) => s.url.slice(-6));
  assert.equal(new Set(codes).size, 3);
  assert.equal(p.x(), null);
  assert.deepEqual(p.toasts, ['callNotFound']);

  // Joining by code never draws: the room is not there.
  await p.callStart('AB12CD', false);
  p.made.at(-1).onopen();
  await p.hear({ t: 'notfound' });
  assert.equal(p.made.length, 4);
  assert.deepEqual(p.toasts, ['callNotFound', 'callNotFound']);
});

test('a server restart: the page joins again with rejoin and builds the mesh anew; another close leaves', async (t) => {
  const p = await room();
  await p.callStart('K7M2QX', true);
  p.made[0].onopen();
  await p.hear({ t: 'welcome', id: 'me', host: 'me', peers: [] });
  await p.hear({ t: 'peer-join', peer: { id: 'b2', name: 'Beto' } });
  const old = p.x().peers.get('b2').pc;
  t.mock.method(Math, 'random', () => 0);
  p.made[0].onclose({ code: 1001, reason: 'server going away' });
  assert.ok(p.x(), 'the call goes on while the server restarts');
  await new Promise((r) => setTimeout(r, 1100));
  assert.equal(p.made.length, 2);
  p.made[1].onopen();
  assert.deepEqual(plain(p.made[1].sent[0]), { t: 'join', name: 'Kelvora', create: true, rejoin: true });
  await p.hear({ t: 'welcome', id: 'me2', host: 'n1', peers: [{ id: 'n1', name: 'Beto' }] });
  assert.ok(old.closed);
  assert.deepEqual([...p.x().peers.keys()], ['n1']);
  assert.ok(p.x().peers.get('n1').offerer);

  p.made[1].onclose({ code: 1006, reason: '' });
  assert.equal(p.x(), null);
  assert.deepEqual(p.toasts, ['srvDown']);
});

test('a microphone that goes away is opened again and sent to every member, still muted if it was', async () => {
  const p = await room();
  await p.callStart('K7M2QX', false);
  p.made[0].onopen();
  await p.hear({ t: 'welcome', id: 'me', host: 'h1', peers: [{ id: 'h1', name: 'Ana' }, { id: 'b2', name: 'Beto' }] });
  p.callMute();
  p.mics[0].track.on.ended();
  await new Promise((r) => setTimeout(r, 1000));
  assert.equal(p.mics.length, 2);
  const now = p.mics[1].track;
  assert.ok(p.pcs.every((pc) => pc.tracks.length === 1 && pc.tracks[0] === now));
  assert.equal(now.enabled, false);
  assert.ok(p.mics[0].track.stopped);
  assert.deepEqual(p.toasts, ['micBack']);
  p.callLeave();
  assert.ok(now.stopped);
});
