// The one signalling socket with a stand-in WebSocket: only checked messages within the
// size reach the owner, nothing is written to a socket that is not open, pings keep it
// alive until it closes, and a closed socket reports nothing more.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeSockets } from '../../lib/web_modules.mjs';

test('messages: JSON objects named by t within the size reach the owner; the rest is dropped', async () => {
  const p = await load(['net/signal_socket.js']);
  const made = fakeSockets(p);
  const sock = new p.SignalSocket('wss://x/join/123456789', 64);
  assert.equal(made[0].url, 'wss://x/join/123456789');
  const got = [];
  sock.onmessage = (m) => got.push(m);
  for (const data of ['{"t":"waiting","timeout":58}', '{"t":1}', 'nope', '[{"t":"a"}]', '{"t":"' + 'x'.repeat(80) + '"}', new ArrayBuffer(8)])
    made[0].onmessage({ data });
  assert.deepEqual(got, [{ t: 'waiting', timeout: 58 }]);
});

test('sending: only while open; pings every interval until the socket closes', async (t) => {
  t.mock.timers.enable({ apis: ['setInterval', 'setTimeout'] });
  const p = await load(['net/signal_socket.js']);
  const made = fakeSockets(p);
  const sock = new p.SignalSocket('wss://x/host/1', 1 << 20);
  const ws = made[0];
  sock.send({ t: 'early' });
  assert.equal(sock.live, true, 'still opening');
  assert.equal(sock.open, false);
  const events = [];
  sock.onopen = () => events.push('open');
  sock.onclose = (code, reason) => events.push(`close ${code} ${reason}`);
  ws.open();
  sock.send({ t: 'hello' });
  sock.keepAlive(25000);
  t.mock.timers.tick(50000);
  assert.deepEqual(ws.sent, [{ t: 'hello' }, { t: 'ping' }, { t: 'ping' }]);
  ws.drop(1001, 'server going away');
  t.mock.timers.tick(50000);
  assert.equal(ws.sent.length, 3, 'no ping after the close');
  assert.deepEqual(events, ['open', 'close 1001 server going away']);
  assert.equal(sock.live, false);
});

test('close: handlers go at once; the socket itself closes now or after the wait', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout', 'setInterval'] });
  const p = await load(['net/signal_socket.js']);
  const made = fakeSockets(p);
  const sock = new p.SignalSocket('wss://x/ring/1', 1000);
  const ws = made[0];
  ws.open();
  sock.keepAlive(1000);
  const got = [];
  sock.onmessage = (m) => got.push(m);
  sock.onclose = () => got.push('closed');
  sock.send({ t: 'hangup' });
  sock.close(200);
  assert.equal(ws.onmessage, null);
  assert.equal(ws.readyState, 1, 'the goodbye may still leave');
  t.mock.timers.tick(200);
  assert.equal(ws.readyState, 3);
  assert.deepEqual(ws.sent, [{ t: 'hangup' }], 'no ping once closing');
  assert.deepEqual(got, []);
  const bad = () => new p.SignalSocket('not a url', 10);
  p.sockets.make = () => { throw new SyntaxError('bad url'); };
  assert.throws(bad, /bad url/, 'a socket that cannot be made says so to its owner');
});
