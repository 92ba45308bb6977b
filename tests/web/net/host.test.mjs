// The host's protocol: registration retries, monitor matching, the input pump, quality,
// the PC-audio worklet and the answers to requests, on the modules themselves with
// stand-in sockets, peer connections and local API.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import vm from 'node:vm';
import { load, fakeFetch, fakeSockets, fakePeers, recordTimers } from '../../lib/web_modules.mjs';

const flush = () => new Promise((r) => setImmediate(r));

const HOST_MODULES = ['net/host.js', 'net/capture_link.js', 'net/session.js', 'net/signal_socket.js', 'net/peer.js', 'media/screen.js', 'net/wire.js'];

/**
 * The host's modules with their timers recorded, not run; notices kept; the local API
 * answering reply(url, body) and recording the calls.
 */
async function hostPage(t, reply = () => ({ ok: true })) {
  const p = await load(HOST_MODULES);
  p.timers = recordTimers(t);
  p.toasts = [];
  p.hostOn.onnotice = (text, ms) => p.toasts.push([text, ms]);
  const api = fakeFetch(reply);
  p.http.fetch = api.fetch;
  p.calls = api.calls;
  p.PAGE.version = '0.0.0';
  p.ST.ID = { id: '123456789', llave: 'k'.repeat(64), nombre: 'PC de Ana', clave: 'ABCD2345' };
  fakePeers(p);
  return p;
}

/** The /host/ socket as the page holds it, sending into a list. */
function hostSocket(p) {
  const sent = [];
  p.HOST.ws = { send: (m) => sent.push(m), stopPing() {} };
  return sent;
}

test('failed registrations wait 3, 5, 8, 13 and 20 s, then 30 s, each stretched by 0.5 to 1.5; ready starts over', async (t) => {
  const random = t.mock.method(Math, 'random', () => 0.5);
  for (const [r, factor] of [[0.5, 1], [0, 0.5], [0.999, 1.499]]) {
    random.mock.mockImplementation(() => r);
    const p = await hostPage(t);
    p.timers.length = 0;
    p.sockets.make = () => { throw new Error('no'); };
    p.ST.AJ.recibir.disponible = 'si';
    for (let i = 0; i < 8; i++) p.hostConnect();
    assert.deepEqual(p.timers.map((x) => Math.round(x.ms)), [3, 5, 8, 13, 20, 30, 30, 30].map((w) => Math.round(w * 1000 * factor)));
  }
  const p = await hostPage(t);
  p.sockets.make = () => { throw new Error('no'); };
  p.ST.AJ.recibir.disponible = 'si';
  for (let i = 0; i < 8; i++) p.hostConnect();
  assert.equal(p.HOST.state, 'error');
  assert.equal(p.HOST.retry, 6);
  p.hostServerMsg({ t: 'ready' });
  assert.equal(p.HOST.retry, 0);
});

test('how the /host/ socket ends decides the next state and whether it retries', async (t) => {
  for (const [name, before, state, retries, code, soon] of [
    ['closed by the server', [], 'error', true],
    ['taken by another PC', [{ t: 'taken' }], 'taken', false],
    ['replaced by another window', [{ t: 'replaced' }], 'replaced', false],
    ['closed after being online', [{ t: 'ready' }], 'error', true],
    // A restarting server: back within 1 to 10 s, no failure counted, no error shown.
    ['server going away', [{ t: 'ready' }], 'connecting', true, 1001, true],
  ]) {
    const p = await hostPage(t);
    const made = fakeSockets(p);
    p.ST.AJ.recibir.disponible = 'si';
    p.hostConnect();
    const ws = made[0];
    assert.match(ws.url, /\/host\/123456789$/);
    ws.open();
    assert.deepEqual(ws.sent[0], { t: 'hello', key: 'k'.repeat(64), name: 'PC de Ana', ver: '0.0.0' });
    for (const m of before) ws.msg(m);
    const timers = p.timers.length;
    ws.drop(code);
    assert.equal(p.HOST.state, state, name);
    const retry = p.timers.slice(timers).find((x) => !x.every && x.f === p.hostConnect);
    assert.equal(!!retry, retries, name);
    if (soon) {
      assert.ok(retry.ms >= 1000 && retry.ms <= 10000, `${name}: ${retry.ms}`);
      assert.equal(p.HOST.retry, 0, name);
    }
  }
});

test('ready keeps the socket alive; switched off, it neither pings nor retries', async (t) => {
  const p = await hostPage(t);
  const made = fakeSockets(p);
  p.ST.AJ.recibir.disponible = 'si';
  p.hostConnect();
  made[0].open();
  made[0].msg({ t: 'ready' });
  const ping = p.timers.find((x) => x.every);
  assert.equal(ping.ms, 25000);
  ping.f();
  assert.deepEqual(made[0].sent.at(-1), { t: 'ping' });
  assert.equal(p.HOST.state, 'online');
  p.setAvail(false);
  assert.equal(p.HOST.state, 'off');
  assert.equal(p.ST.AJ.recibir.disponible, 'no');
  p.hostConnect();
  assert.equal(made.length, 1, 'not available: no new socket');
});

test('requests that cannot be shown are answered at once', async (t) => {
  for (const [name, setup, verify, reason, toastKey] of [
    ['a session is open', (p) => { p.ST.HSES = { sid: 'x' }; }, null, 'busy'],
    ['another request is pending', (p) => { p.HOST.req = { sid: 'x' }; }, null, 'busy'],
    ['not available', (p) => { p.ST.AJ.recibir.disponible = 'no'; }, null, 'unavailable'],
    ['wrong password', () => {}, { ok: false }, 'badkey', 'badKeyTry'],
  ]) {
    const p = await hostPage(t, () => verify);
    const sent = hostSocket(p);
    setup(p);
    await p.onReq({ t: 'req', sid: 's1', name: 'Técnico', pass: '  abc  ', iceServers: [] });
    assert.deepEqual(sent, [{ t: 'answer', sid: 's1', ok: false, reason }], name);
    if (verify) assert.deepEqual(p.calls.map((c) => [c.url, c.body]), [['/api/verificar', { clave: 'abc' }]], 'the password is trimmed');
    if (toastKey) assert.deepEqual(p.toasts, [[toastKey, 6000]]);
    assert.equal(p.HOST.req && p.HOST.req.sid, name === 'another request is pending' ? 'x' : null, name);
  }
});

test('a second request while the password is checked is busy', async (t) => {
  let answer;
  const p = await hostPage(t, () => new Promise((r) => { answer = r; }));
  const sent = hostSocket(p);
  const first = p.onReq({ sid: 's1', name: 'A', pass: 'abc' });
  await p.onReq({ sid: 's2', name: 'B', pass: '' });
  assert.deepEqual(sent, [{ t: 'answer', sid: 's2', ok: false, reason: 'busy' }]);
  p.hostServerMsg({ t: 'cancel', sid: 's1' });
  answer({ ok: true });
  await first;
  assert.equal(sent.length, 1, 'a cancelled request is not answered again');
  assert.equal(p.HOST.req, null);
});

test('the monitor a capture shows', async () => {
  const p = await load(['net/host.js', 'net/capture_link.js']);
  const M = (i, name, w, h, primary = false) => ({ i, name, w, h, primary });
  const two = [M(0, 'DISPLAY2', 1920, 1080, true), M(1, 'DISPLAY1', 1280, 1024)];
  const twins = [M(0, 'A', 1920, 1080), M(1, 'B', 1920, 1080, true), M(2, 'C', 2560, 1440)];
  const wide = [M(0, 'A', 1280, 1024, true), M(1, 'B', 2560, 1440), M(2, 'C', 1366, 768)];
  for (const [name, mons, w, h, want] of [
    ['no monitors', [], 1920, 1080, null],
    ['one monitor, whatever the size', [M(0, 'X', 800, 600)], 1920, 1080, 'X'],
    ['the only one of that size', two, 1280, 1024, 'DISPLAY1'],
    ['several of that size: the primary', twins, 1920, 1080, 'B'],
    ['none of that size: same shape, primary first', wide, 3840, 2160, 'B'],
    ['no size: 16:9', wide, 0, 0, 'B'],
    ['nothing alike: the primary', wide, 1000, 1000, 'A'],
    ['nothing alike, no primary: the first', [M(0, 'A', 800, 600), M(1, 'B', 1024, 768)], 1000, 1000, 'A'],
  ]) {
    const got = p.matchMonitor(mons, w, h);
    assert.equal(got ? got.name : null, want, name);
  }
  for (const [label, want] of [['screen:1:0', 'DISPLAY2'], ['screen:0:0', 'DISPLAY1'], ['screen:5:0', null], ['window:3', null], ['', null]]) {
    const got = p.labelMonitor(two, label);
    assert.equal(got ? got.name : null, want, label);
  }
  // On X the number is the RandR monitor's atom, which the native side gives as `captura`.
  const x11 = [{ ...M(0, 'DUMMY0', 1920, 1080), primary: true, captura: 239 }, { ...M(1, 'DUMMY1', 1024, 768), captura: 240 }];
  for (const [label, want] of [['screen:240:0', 'DUMMY1'], ['screen:239:0', 'DUMMY0'], ['screen:1:0', null], ['screen:0:0', null]]) {
    const got = p.labelMonitor(x11, label);
    assert.equal(got ? got.name : null, want, `X ${label}`);
  }
  // The capture window's screen numbers: the one learnt for the monitor, else those not
  // learnt for another one.
  const three = [M(0, 'A', 1, 1), M(1, 'B', 1, 1), M(2, 'C', 1, 1)];
  for (const [table, name, want] of [
    [{}, 'B', [1, 2, 3]],
    [{ A: 1 }, 'B', [2, 3]],
    [{ A: 1, B: 3 }, 'B', [3]],
    [{ A: 1, C: 2 }, 'B', [3]],
  ])
    assert.deepEqual([...p.capNumbers(three, name, table)], want, JSON.stringify([table, name]));
  for (const [names, want] of [[['DISPLAY1'], [1]], [['NOPE'], [0, 1]], [[], [0, 1]]])
    assert.deepEqual(p.allowedMons(two, names).map((m) => m.i), want, names.join());
  for (const [v, want] of [['todos', []], [' Todos ', []], ['', []], ['DISPLAY1, DISPLAY3,', ['DISPLAY1', 'DISPLAY3']]])
    assert.deepEqual([...p.monNames(v)], want, v);
});

/** A host session whose /api/input answers only when the test says so. */
async function inputPage(t, { control = true } = {}) {
  const pending = [];
  const p = await hostPage(t, (url) => (url === '/api/input' ? new Promise((r) => pending.push(r)) : { ok: true }));
  p.posts = () => p.calls.filter((c) => c.url === '/api/input').map((c) => c.body);
  p.release = async () => {
    while (pending.length) {
      pending.shift()({ ok: true });
      await flush();
    }
  };
  p.ST.HSES = p.newSession('host', { k: 'h1', control, mon: 1 });
  p.send = (ev, label = 'ctl') => p.hostMsg(p.ST.HSES, { t: 'in', ev }, label);
  return p;
}

const keys = (n, from = 0) => Array.from({ length: n }, (_, i) => ({ k: 'kd', c: 'Key' + (from + i) }));

test('450 queued events go out as 200, 200 and 50, in order, one POST at a time', async (t) => {
  const p = await inputPage(t);
  const ev = keys(450);
  p.send(ev);
  assert.equal(p.posts().length, 1, 'the second POST waits for the first reply');
  await p.release();
  assert.deepEqual(p.posts().map((b) => b.ev.length), [200, 200, 50]);
  assert.deepEqual(p.posts().flatMap((b) => b.ev), ev);
  assert.ok(p.posts().every((b) => b.mon === 1));
});

test('moves are coalesced: a burst gives one POST with the last move, after what was queued', async (t) => {
  const p = await inputPage(t);
  p.send(keys(1));
  for (let i = 0; i < 20; i++) p.send([{ k: 'm', x: i / 100, y: 0 }, { k: 'm', x: i / 100, y: 0.5 }], 'mov');
  await p.release();
  assert.deepEqual(p.posts().map((b) => b.ev), [keys(1), [{ k: 'm', x: 0.19, y: 0.5 }]]);

  const q = await inputPage(t);
  q.send(keys(1));
  q.send([{ k: 'm', x: 0.1, y: 0.1 }], 'mov');
  q.send(keys(1, 5));
  await q.release();
  assert.deepEqual(q.posts().map((b) => b.ev), [keys(1), keys(1, 5)], 'an ordered batch makes the pending move stale');

  const r = await inputPage(t);
  r.send(keys(1));
  r.send(keys(300, 1));
  r.send([{ k: 'm', x: 0.3, y: 0.3 }], 'mov');
  await r.release();
  assert.deepEqual(r.posts().map((b) => b.ev.length), [1, 200, 100, 1]);
  assert.deepEqual(r.posts().at(-1).ev, [{ k: 'm', x: 0.3, y: 0.3 }], 'a move behind the queue is not lost');
});

test('without control nothing is queued; control taken away empties the queue', async (t) => {
  const p = await inputPage(t, { control: false });
  p.send(keys(5));
  p.send([{ k: 'm', x: 0, y: 0 }], 'mov');
  p.hostMsg(p.ST.HSES, { t: 'text', s: 'hola' }, 'ctl');
  await p.release();
  assert.equal(p.posts().length, 0);
  assert.equal(p.INQ.q.length + (p.INQ.move ? 1 : 0), 0);

  const q = await inputPage(t);
  q.send(keys(500));
  q.send([{ k: 'm', x: 0, y: 0 }], 'mov');
  q.hostSetControl(false);
  assert.equal(q.INQ.q.length + (q.INQ.move ? 1 : 0), 0);
  await q.release();
  assert.equal(q.posts().length, 1, 'only the POST already under way');
  q.send(keys(1));
  assert.equal(q.posts().length, 1);
});

test('input that is not a list of objects is dropped', async (t) => {
  const p = await inputPage(t);
  for (const ev of [null, 'kd', {}, [1, 'x', null, []]]) p.hostMsg(p.ST.HSES, { t: 'in', ev }, 'ctl');
  p.hostMsg(p.ST.HSES, { t: 'clip-get' }, 'mov');
  await p.release();
  assert.equal(p.posts().length, 0);
});

test('frame rate and quality from the technician are clamped', async (t) => {
  const p = await hostPage(t);
  for (const [v, want] of [[30, 30], [4, 5], [61, 60], [24.6, 25], ['15', 15], ['', 30], ['x', 30], [null, 30], [undefined, 30], [NaN, 30], [Infinity, 30], [{}, 30]])
    assert.equal(p.clampFps(v), want, String(v));
  for (const [m, quality, fps] of [
    [{ q: 'nitidez', fps: 10 }, 'nitidez', 10],
    [{ q: 'fluidez', fps: 100 }, 'fluidez', 60],
    [{ q: 'ultra', fps: '20' }, 'auto', 30],
    [{ q: 'constructor', fps: 0 }, 'auto', 5],
    [{}, 'auto', 30],
  ]) {
    const s = p.newSession('host', { k: 'h1' });
    p.ST.HSES = s;
    p.hostQuality(s, m);
    assert.deepEqual([s.quality, s.fps], [quality, fps], JSON.stringify(m));
  }
});

/** A screen sender of w×h that records the parameters set; with refuse, it refuses a degradation preference. */
function screenSender(w, h, refuse = false) {
  const track = {
    contentHint: '', applied: null,
    applyConstraints(c) { this.applied = c; return Promise.resolve(); },
    getSettings: () => ({ width: w, height: h }),
  };
  return {
    track, set: [],
    getParameters: () => ({ encodings: [] }),
    setParameters(x) {
      if (refuse && 'degradationPreference' in x) return Promise.reject(new Error('no'));
      this.set.push(JSON.parse(JSON.stringify(x)));
      return Promise.resolve();
    },
  };
}

test('each quality sets the sender: a moving picture goes at 720p, in "nitidez" at 10 fps; a refused degradation preference still sets the rates', async () => {
  const p = await load(HOST_MODULES);
  for (const [q, moving, hint, bitrate, degradation, scale, fps, refuse] of [
    ['nitidez', false, 'text', 8000000, 'maintain-resolution', 1, 24, false],
    ['nitidez', true, 'text', 8000000, 'maintain-resolution', 1, 10, false],
    ['fluidez', false, 'detail', 6000000, 'maintain-framerate', 1.5, 24, false],
    ['fluidez', true, 'detail', 6000000, 'maintain-framerate', 1.5, 24, false],
    ['auto', false, 'detail', 5000000, 'balanced', 1, 24, true],
    ['auto', true, 'detail', 5000000, 'balanced', 1.5, 24, false],
  ]) {
    const sender = screenSender(1920, 1080, refuse);
    const s = p.newSession('host', { k: 'h1', quality: q, fps: 24, vtx: { sender }, motion: { ...p.newMotion(), moving } });
    p.ST.HSES = s;
    await p.applyQuality(s);
    const name = `${q}${moving ? ', moving' : ''}`;
    assert.equal(sender.track.contentHint, hint, name);
    assert.deepEqual(sender.track.applied, { frameRate: { ideal: 24, max: 24 } }, name);
    const want = { encodings: [{ maxFramerate: fps, maxBitrate: bitrate, scaleResolutionDownBy: scale }] };
    if (!refuse) want.degradationPreference = degradation;
    assert.deepEqual(sender.set, [want], name);
  }
  // A picture without a size of its own (the capture window's) takes the monitor's; one within 720p is not scaled.
  for (const [mon, scale] of [[{ i: 1, w: 2560, h: 1440 }, 2], [{ i: 1, w: 1280, h: 1024 }, 1024 / 720], [{ i: 1, w: 1280, h: 720 }, 1]]) {
    const sender = screenSender(0, 0);
    const s = p.newSession('host', { k: 'h1', quality: 'fluidez', fps: 30, vtx: { sender }, mon: 1, allMons: [mon] });
    await p.applyQuality(s);
    assert.equal(sender.set[0].encodings[0].scaleResolutionDownBy, scale, JSON.stringify(mon));
  }
});

test('"auto" follows what the encoder spends per frame: a picture that starts moving goes smaller, one that calms down whole again', async () => {
  const p = await load(HOST_MODULES);
  for (const q of ['auto', 'nitidez']) {
    const sender = screenSender(1920, 1080);
    const s = p.newSession('host', { k: 'h1', quality: q, fps: 30, vtx: { sender } });
    await p.applyQuality(s);
    let frames = 0, bytes = 0;
    /** 15 more frames of kbit each, sent at the given width, as the stats timer would hand them in. */
    const sample = async (kbit, width) => {
      frames += 15;
      bytes += (15 * kbit * 1000) / 8;
      p.hostStats(s, { framesEncoded: frames, bytesSent: bytes, frameWidth: width });
      await flush();
      return [s.motion.moving, sender.set.at(-1).encodings[0].scaleResolutionDownBy];
    };
    for (const [name, kbit, width, moves] of [
      ['first sample', 3, 1920, false],
      ['a still desktop', 3, 1920, false],
      ['the picture moves', 40, 1920, true],
      ['moving at 720p, 10 kbit a frame (22 at full size)', 10, 1280, true],
      ['between the thresholds it stays', 3.5, 1280, true],
      ['calm again', 1, 1280, false],
      ['an encoder that starts over counts from its next sample', 40, 1920, false],
    ]) {
      if (name.startsWith('an encoder')) frames = bytes = 0;
      const [moving, scale] = await sample(kbit, width);
      assert.equal(moving, moves, `${q}: ${name}`);
      assert.equal(scale, q === 'auto' && moves ? 1.5 : 1, `${q}: ${name}`);
    }
  }
});

test('PC audio: whole stereo frames pass, the rest waits for the next chunk', async () => {
  const p = await load(['media/pc_sound.js']);
  const u8 = (...b) => new Uint8Array(b);
  let rest = u8();
  const out = [];
  for (const chunk of [u8(1, 2, 3), u8(4, 5, 6, 7, 8, 9), u8(), u8(10, 11, 12)]) {
    const x = p.splitPcm(rest, chunk);
    out.push([...x.whole]);
    rest = x.rest;
  }
  assert.deepEqual(out, [[], [1, 2, 3, 4, 5, 6, 7, 8], [], [9, 10, 11, 12]]);
  assert.equal(rest.length, 0);
});

test('PC audio worklet: plays left and right, keeps at most half a second, silence when empty', async () => {
  const p = await load(['media/pc_sound.js']);
  const proc = {};
  const wctx = vm.createContext({
    sampleRate: 8,
    AudioWorkletProcessor: class { constructor() { this.port = {}; } },
    Int16Array,
    registerProcessor: (name, cls) => { proc.name = name; proc.node = new cls(); },
  });
  vm.runInContext(p.PCM_WORKLET, wctx);
  assert.equal(proc.name, 'kv-pcm');
  const n = proc.node;
  const push = (...v) => n.port.onmessage({ data: new wctx.Int16Array(v) });
  const play = (frames) => {
    const L = new Float32Array(frames), R = new Float32Array(frames);
    n.process([], [[L, R]]);
    return [[...L], [...R]];
  };
  // Half a second at 8 Hz is 8 samples: a third buffer of 4 pushes the oldest out.
  push(16384, -16384, 1, 1);
  push(2, 2, 3, 3);
  assert.equal(n.q.length, 2);
  push(-32768, 32767, 0, 0);
  assert.deepEqual([n.q.length, n.n], [2, 8]);
  assert.deepEqual(play(5), [[2 / 32768, 3 / 32768, -1, 0, 0], [2 / 32768, 3 / 32768, 32767 / 32768, 0, 0]]);
  push(16384, -16384, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8);
  assert.equal(n.q.length, 1, 'a single long buffer stays');
  assert.deepEqual(play(1), [[0.5], [-0.5]]);
});

test('ICE servers from the network keep only the shape a connection takes', async () => {
  const p = await load(['net/wire.js']);
  for (const [v, want] of [
    [null, []],
    ['stun:x', []],
    [[{ urls: 'stun:a' }, null, 7, { urls: 5 }, { urls: ['turn:b', 3], username: 'u', credential: 'c', x: 1 }],
      [{ urls: ['stun:a'] }, { urls: ['turn:b'], username: 'u', credential: 'c' }]],
    [[{ urls: 'turn:b', username: { a: 1 } }], [{ urls: ['turn:b'] }]],
  ]) assert.deepEqual(p.cleanIce(v), want, JSON.stringify(v));
});

test('a right password: unattended access answers by itself, otherwise the person decides', async (t) => {
  const MONS = [{ i: 0, name: 'DISPLAY1', w: 1920, h: 1080, primary: true }, { i: 1, name: 'DISPLAY2', w: 1280, h: 1024 }];
  for (const [name, desatendido, capture, want] of [
    ['unattended, screen captured', 'si', 'ok', { answer: [{ t: 'answer', sid: 's1', ok: true }], started: 1, dialog: 0 }],
    ['unattended, capture refused', 'si', 'fail', { answer: [{ t: 'answer', sid: 's1', ok: false, reason: 'cancelled' }], started: 0, dialog: 0 }],
    ['unattended access off', 'no', 'ok', { answer: [], started: 0, dialog: 1 }],
  ]) {
    const p = await hostPage(t, (url) => (url === '/api/monitores' ? MONS : { ok: true }));
    const sent = hostSocket(p);
    const started = [], dialogs = [];
    const logs = () => p.calls.filter((c) => c.url === '/api/diag').map((c) => c.body.texto);
    p.ST.AJ.recibir = { desatendido, monitores: 'DISPLAY2', permitir_control: 'no' };
    p.hostOn.onrequest = () => dialogs.push(1);
    // The session as it starts, before its connection is built.
    p.hostOn.onchange = (what) => { if (what === 'session' && p.ST.HSES && !started.length) started.push(p.ST.HSES); };
    p.displayMedia.open = async () => {
      if (capture === 'fail') throw Object.assign(new Error('Permission denied'), { name: 'NotAllowedError' });
      return { getTracks: () => [], getVideoTracks: () => [] };
    };
    await p.onReq({ sid: 's1', name: 'Técnico', pass: 'ABCD2345' });
    await flush();
    assert.deepEqual(sent.filter((m) => m.t === 'answer'), want.answer, name);
    assert.equal(started.length, want.started, name);
    assert.equal(dialogs.length, want.dialog, name);
    if (want.started) {
      const s = started[0];
      assert.deepEqual([s.control, s.audio, s.allowNames, s.unattended], [false, true, ['DISPLAY2'], true]);
      assert.ok(logs().includes('[SESION] acceso desatendido de Técnico'), logs().join('\n'));
    }
    if (capture === 'fail' && desatendido === 'si')
      assert.deepEqual(logs(), ['[SESION] acceso desatendido: no se pudo capturar la pantalla (NotAllowedError: Permission denied)']);
    assert.equal(p.HOST.req === null, !want.dialog, name);
  }
});

test('server news about the host session: it ends it only before the connection stands', async (t) => {
  for (const [m, connected, want] of [
    [{ t: 'cancel', sid: 's1' }, false, ['endedPeer']],
    [{ t: 'cancel', sid: 's1' }, true, []],
    [{ t: 'left', sid: 's1', reason: 'failed' }, false, ['connFail']],
    [{ t: 'ended', sid: 's1', reason: 'hostgone' }, false, ['endedPeer']],
    [{ t: 'left', sid: 's1', reason: 'bye' }, true, []],
    [{ t: 'left', sid: 'other', reason: 'failed' }, false, []],
    [{ t: 'signal', sid: 's1', data: { ice: {} } }, true, []],
  ]) {
    const p = await hostPage(t);
    const sent = hostSocket(p);
    const ends = [];
    p.sessionOn.onnotice = (text) => ends.push(text);
    const s = p.newSession('host', { k: 'h1', sid: 's1', connected });
    p.ST.HSES = s;
    p.hostServerMsg(m);
    assert.deepEqual(ends, want, JSON.stringify([m, connected]));
    assert.equal(s.dead, want.length > 0);
    assert.deepEqual(sent, [], 'the other side is not told again');
    assert.deepEqual(s.rtc.sigq, m.t === 'signal' ? [m.data] : []);
  }
});

test('the remote clipboard: answered whole when it fits the channel, ok false when it would be dropped', async (t) => {
  for (const [text, max, want] of [
    ['hola', 0, { t: 'clip', text: 'hola', ok: true }],
    ['ñ'.repeat(200), 1000, { t: 'clip', text: 'ñ'.repeat(200), ok: true }],
    // 600 two-byte characters are 1200 bytes on the wire, over what the other side takes.
    ['ñ'.repeat(600), 1000, { t: 'clip', text: '', ok: false, big: true }],
    ['x'.repeat(300000), 0, { t: 'clip', text: '', ok: false, big: true }],
    ['x'.repeat(2 << 20), 1 << 30, { t: 'clip', text: '', ok: false, big: true }],
  ]) {
    const p = await hostPage(t, (url) => (url === '/api/portapapeles/leer' ? { ok: true, texto: text } : { ok: true }));
    const s = (p.ST.HSES = p.newSession('host', { k: 'h1', control: true }));
    const sent = [];
    s.dc.ctl = /** @type {any} */ ({ readyState: 'open', send: (m) => sent.push(JSON.parse(m)) });
    s.pc = /** @type {any} */ ({ sctp: max ? { maxMessageSize: max } : null });
    p.hostMsg(s, { t: 'clip-get' }, 'ctl');
    for (let i = 0; i < 20 && !sent.length; i++) await flush();
    assert.deepEqual(sent, [want], `${text.length} characters, channel ${max}`);
  }
});

test('PC sound that fails to start stops being shown and told as shared', async (t) => {
  // The local API refuses the sound stream, as a PC without a capturable output does.
  const p = await hostPage(t, (url) => (url.startsWith('/api/audio') ? { ok: false } : { ok: true }));
  const s = (p.ST.HSES = p.newSession('host', { k: 'h1', control: true, audio: false }));
  const sent = [];
  s.dc.ctl = /** @type {any} */ ({ readyState: 'open', send: (m) => sent.push(JSON.parse(m)) });
  let changes = 0;
  p.hostOn.onchange = () => changes++;
  p.hostSetAudio(true);
  assert.equal(s.audio, true, 'shown as asked at first');
  for (let i = 0; i < 20 && s.audio; i++) await flush();
  assert.equal(s.audio, false, 'the bar no longer says the sound is shared');
  assert.equal(s.audioPipe, null);
  assert.deepEqual(sent.at(-1).audio, false, 'the technician is told too');
  assert.ok(changes >= 2);
});
