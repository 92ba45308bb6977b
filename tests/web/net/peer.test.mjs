// The one negotiation engine with a stand-in peer connection: signals before the
// connection and candidates before a remote description wait (never more than the cap),
// signals apply in arrival order even when one is slow, the owner's rules decide which
// descriptions are taken, and the timers and the relay retry report once.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakePeers } from '../../lib/web_modules.mjs';

const flush = () => new Promise((r) => setImmediate(r));

async function engine(owner = {}) {
  const p = await load(['net/peer.js']);
  const pcs = fakePeers(p);
  const sent = [];
  const rtc = new p.Peer({ send: (d) => sent.push(d), ...owner });
  return { p, pcs, sent, rtc };
}

test('signals before the connection and candidates before a description wait, at most SIGNAL_CAP of each', async () => {
  const { p, pcs, sent, rtc } = await engine();
  for (let i = 0; i < p.SIGNAL_CAP + 50; i++) rtc.signal({ ice: { candidate: `c${i}`, sdpMid: '0' } });
  assert.equal(rtc.sigq.length, p.SIGNAL_CAP, 'a flood before the connection is cut at the cap');
  rtc.signal(null);
  rtc.signal('x');
  assert.equal(rtc.sigq.length, p.SIGNAL_CAP);
  const pc = rtc.open({ iceServers: [] });
  await flush();
  assert.equal(pcs.length, 1);
  assert.equal(rtc.iceq.length, p.SIGNAL_CAP, 'candidates wait for the remote description');
  assert.equal(pc.cands.length, 0);
  await rtc.signal({ sdp: { type: 'offer', sdp: 'v=0' } });
  assert.equal(pc.cands.length, p.SIGNAL_CAP, 'the description lets them through, in order');
  assert.equal(pc.cands[0].candidate, 'c0');
  assert.deepEqual(sent, [{ sdp: { type: 'answer', sdp: 'answer' } }]);
  await rtc.signal({ ice: { candidate: 'late', sdpMid: '0' } });
  assert.equal(pc.cands.at(-1).candidate, 'late', 'after the description a candidate is added at once');
});

test('signals apply one after another: a slow description holds back the candidates behind it', async () => {
  const { pcs, rtc } = await engine();
  const pc = rtc.open({});
  let release;
  const order = [];
  pcs[0].setRemoteDescription = (d) => new Promise((r) => { release = () => { pc.remoteDescription = d; order.push('sdp'); r(); }; });
  pcs[0].addIceCandidate = async (c) => { order.push(c.candidate); };
  rtc.signal({ sdp: { type: 'answer', sdp: 'v=0' } });
  rtc.signal({ ice: { candidate: 'a', sdpMid: '0' } });
  await flush();
  assert.deepEqual(order, []);
  release();
  await rtc.chain;
  assert.deepEqual(order, ['sdp', 'a']);
});

test("the owner's rules: which descriptions are taken, its own signals, and its SDP adjustments", async () => {
  const taken = [];
  const { pcs, sent, rtc } = await engine({
    accept: (d) => d.type === 'offer',
    own: (data) => { if (data.relay) taken.push('relay'); return !!data.relay; },
    local: (sdp) => sdp + ';local',
    remote: (sdp) => sdp + ';remote',
    onoffer: () => taken.push('offer'),
  });
  rtc.open({});
  await rtc.signal({ sdp: { type: 'answer', sdp: 'a' } });
  assert.equal(pcs[0].remoteDescription, null, 'refused by the owner');
  await rtc.signal({ relay: 1 });
  await rtc.signal({ sdp: { type: 'offer', sdp: 'o' } });
  assert.deepEqual(pcs[0].remoteDescription, { type: 'offer', sdp: 'o;remote' });
  assert.deepEqual(taken, ['relay', 'offer']);
  assert.deepEqual(sent, [{ sdp: { type: 'answer', sdp: 'answer;local' } }]);
  await rtc.offer();
  assert.deepEqual(sent.at(-1), { sdp: { type: 'offer', sdp: 'offer;local' } });
  // A failing step is reported to its caller; the chain goes on.
  pcs[0].setRemoteDescription = async () => { throw new Error('bad sdp'); };
  await assert.rejects(rtc.signal({ sdp: { type: 'offer', sdp: 'x' } }), /bad sdp/);
  await rtc.offer(true);
  assert.deepEqual(sent.at(-1), { sdp: { type: 'offer', sdp: 'restart;local' } });
});

test('timers: no connection in time, a drop that lasts, a failure; a stopped engine reports nothing', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout'] });
  const seen = [];
  const { pcs, rtc } = await engine({
    lossMs: 12000,
    onconnected: () => seen.push('connected'),
    onfailed: () => seen.push('failed'),
    onlost: () => seen.push('lost'),
    ontimeout: () => seen.push('timeout'),
    onchange: (st) => seen.push(`=${st}`),
  });
  rtc.open({});
  const pc = pcs[0];
  rtc.arm(18000);
  t.mock.timers.tick(17999);
  assert.deepEqual(seen, []);
  t.mock.timers.tick(1);
  assert.deepEqual(seen, ['timeout']);

  seen.length = 0;
  rtc.arm(30000);
  pc.state('connected');
  t.mock.timers.tick(30000);
  assert.deepEqual(seen, ['connected', '=connected'], 'a connection that stands stops the timer');
  pc.state('disconnected');
  t.mock.timers.tick(11000);
  pc.state('connected');
  t.mock.timers.tick(5000);
  pc.state('disconnected');
  t.mock.timers.tick(12000);
  pc.state('failed');
  assert.deepEqual(seen, ['connected', '=connected', '=disconnected', 'connected', '=connected', '=disconnected', 'lost', 'failed', '=failed']);

  seen.length = 0;
  rtc.arm(1000);
  pc.state('disconnected');
  rtc.stop();
  t.mock.timers.tick(20000);
  pc.state('failed');
  assert.deepEqual(seen, ['=disconnected']);
  rtc.signal({ sdp: { type: 'offer', sdp: 'x' } });
  assert.equal(rtc.sigq.length, 0);
});

test('the relay retry: once, relay-only from then on; the offering side restarts ICE, the other asks', async () => {
  const a = await engine();
  a.rtc.open({ iceServers: [], iceTransportPolicy: 'all' });
  assert.equal(a.rtc.retryRelay(true), true);
  await a.rtc.chain;
  assert.equal(a.pcs[0].cfg.iceTransportPolicy, 'relay');
  assert.deepEqual(a.sent, [{ sdp: { type: 'offer', sdp: 'restart' } }]);
  assert.equal(a.rtc.retryRelay(true), false, 'only once');

  const b = await engine();
  assert.equal(b.rtc.retryRelay(false), false, 'nothing to retry without a connection');
  b.rtc.open({});
  assert.equal(b.rtc.retryRelay(false), true);
  assert.deepEqual(b.sent, [{ relay: 1 }]);
});

test('close: now, or later so that a goodbye still leaves; candidates stop at once', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout'] });
  const { pcs, sent, rtc } = await engine();
  rtc.open({});
  rtc.close(150);
  pcs[0].onicecandidate({ candidate: { toJSON: () => ({ candidate: 'x' }) } });
  assert.deepEqual(sent, []);
  assert.equal(pcs[0].closed, false);
  t.mock.timers.tick(150);
  assert.equal(pcs[0].closed, true);
});
