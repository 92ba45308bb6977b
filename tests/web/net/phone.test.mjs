// Voice lines' rules without a browser: hold and focus, merge and split, what feeds each
// line's mix, what the peer is told, the limits on lines and rings, devices found by id or
// name, the SDP of a phone line, the dock's status line and the level meter.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeFetch } from '../../lib/web_modules.mjs';

/** The voice modules with notices and /host/ frames recorded instead of shown or sent. */
async function fresh() {
  const page = await load(['net/phone.js', 'net/session.js', 'net/peer.js', 'media/mixer.js', 'media/devices.js', 'ui/calls.js']);
  page.toasts = [];
  page.sent = [];
  page.phoneOn.onnotice = (x) => page.toasts.push(x);
  page.phoneVia.host = (m) => page.sent.push(m);
  page.http.fetch = fakeFetch().fetch;
  return page;
}

/** Active lines named by the letters of `names`, with a channel that records what it carries. */
function lines(page, names) {
  return names.split('').map((n) => {
    const L = page.newLine('phone', { peer: n, state: 'active', remote: { getAudioTracks: () => [1] } });
    L.dc = { readyState: 'open', said: [], send(x) { this.said.push(JSON.parse(x)); } };
    return L;
  });
}

const held = (ls) => ls.map((L) => (L.held ? 'H' : '-')).join('');
const conf = (ls) => ls.map((L) => (L.conf ? 'C' : '-')).join('');

test('focus holds every other line; hold on a held line brings it back', async () => {
  const page = await fresh();
  const ls = lines(page, 'abc');
  const [a, b, c] = ls;
  const steps = [
    [() => page.lineFocus(a.k), '-HH', 'focus a'],
    [() => page.lineFocus(c.k), 'HH-', 'focus c'],
    [() => page.lineHold(c.k), 'HHH', 'hold c'],
    [() => page.lineHold(b.k), 'H-H', 'hold b'],
  ];
  for (const [act, want, name] of steps) {
    act();
    assert.equal(held(ls), want, name);
  }
  // Each change was told to the peer: hold, and mute while held.
  assert.deepEqual(c.dc.said.slice(-2), [{ t: 'hold', on: true }, { t: 'mute', on: true }]);
  assert.deepEqual(b.dc.said.slice(-2), [{ t: 'hold', on: false }, { t: 'mute', on: false }]);
});

test('merge, focus inside a conference, hold of a member, split, merge-all', async () => {
  const page = await fresh();
  const ls = lines(page, 'abc');
  const [a, b, c] = ls;
  page.lineFocus(a.k);
  page.lineMerge(b.k);
  assert.deepEqual([conf(ls), held(ls)], ['CC-', '--H']);
  assert.equal(page.toasts.pop(), 'lnMerged');
  // Focusing another line holds the whole conference; focusing a member brings it all back.
  page.lineFocus(c.k);
  assert.equal(held(ls), 'HH-');
  page.lineFocus(b.k);
  assert.equal(held(ls), '--H');
  // Holding a member holds the conference.
  page.lineHold(a.k);
  assert.equal(held(ls), 'HHH');
  // Merging with nothing on air says so and changes nothing.
  page.lineMerge(c.k);
  assert.equal(page.toasts.pop(), 'lnMergeNeed');
  assert.deepEqual([conf(ls), held(ls)], ['CC-', 'HHH']);
  // Splitting one of two members dissolves the conference; the split line goes on air alone.
  page.lineSplit(a.k);
  assert.deepEqual([conf(ls), held(ls)], ['---', '-HH']);
  page.lineMergeAll();
  assert.deepEqual([conf(ls), held(ls)], ['CCC', '---']);
  // A line that ends leaves a conference of two; the last but one dissolves it.
  page.lineEnd(c, 'local', false);
  page.lineEnd(b, 'local', false);
  assert.equal(a.conf, false);
});

test('each line is fed the microphone on air, plus the other members of its conference, never itself', async () => {
  const page = await fresh();
  const route = (spec) => Object.fromEntries(page.routePlan(spec).entries());
  const L = (k, o = {}) => ({ k, state: 'active', held: false, conf: false, remote: {}, ...o });
  const cases = [
    ['one line on air', [L('a'), L('b', { held: true })], { a: ['mic'], b: [] }],
    ['conference of three', [L('a', { conf: true }), L('b', { conf: true }), L('c', { conf: true })], { a: ['mic', 'b', 'c'], b: ['mic', 'a', 'c'], c: ['mic', 'a', 'b'] }],
    ['a held member neither hears nor is heard', [L('a', { conf: true }), L('b', { conf: true, held: true }), L('c', { conf: true })], { a: ['mic', 'c'], b: [], c: ['mic', 'a'] }],
    ['a member without a voice yet feeds nobody', [L('a', { conf: true }), L('b', { conf: true, remote: null })], { a: ['mic'], b: ['mic', 'a'] }],
    ['a line still connecting is silent', [L('a', { state: 'connecting' })], { a: [] }],
  ];
  for (const [name, spec, want] of cases) assert.deepEqual(route(spec), want, name);
});

test('a ninth line of any kind is refused', async () => {
  const page = await fresh();
  lines(page, 'abcdefgh');
  await page.startSesLine(page.newSession('tech', { k: 't1', peer: 'X' }));
  await page.phoneCall('123 456 789');
  assert.deepEqual(page.toasts, ['lnMax', 'lnMax']);
  assert.equal(page.LINES.size, 8);
});

test('IDs to call, decline reasons, incoming verdicts, microphone errors', async () => {
  const page = await fresh();
  const cases = [
    [() => page.ringCheck('123456789', '555555555'), ''],
    [() => page.ringCheck('012345678', ''), 'badId'],
    [() => page.ringCheck('12345678', ''), 'badId'],
    [() => page.ringCheck('555555555', '555555555'), 'selfId'],
    [() => page.declineKey('busy'), 'phBusy'],
    [() => page.declineKey('limit'), 'phLimit'],
    [() => page.declineKey('timeout'), 'phNoAnswer'],
    [() => page.declineKey('unavailable'), 'phUnavailable'],
    [() => page.declineKey('offline'), 'phOffline'],
    [() => page.declineKey({}), 'phDeclined'],
    [() => page.ringVerdict(false, false, 0, false), 'unavailable'],
    [() => page.ringVerdict(true, true, 0, false), 'busy'],
    [() => page.ringVerdict(true, false, 8, false), 'busy'],
    [() => page.ringVerdict(true, false, 0, true), 'busy'],
    [() => page.ringVerdict(true, false, 7, false), ''],
    [() => page.micFailKey('NotAllowedError'), 'micDenied2'],
    [() => page.micFailKey('OverconstrainedError'), 'micNone'],
    [() => page.micFailKey('NotReadableError'), 'micBusy'],
    [() => page.micFailKey('TypeError'), 'micErr'],
  ];
  for (const [call, want] of cases) assert.equal(call(), want, String(call));
});

test('an incoming ring: refused without asking when it must be, an unproven caller ID kept apart', async (t) => {
  t.mock.timers.enable({ apis: ['setInterval'] });
  const page = await fresh();
  const ring = (m) => {
    page.onRing(m);
    const R = page.ST.RINGIN;
    const r = R && { name: R.name, from: R.from, claimed: R.claimed };
    page.declineRing();
    return r;
  };
  assert.deepEqual(ring({ cid: 'c1', name: 'Ana\u0007', from: '123456789', verified: true }), { name: 'Ana', from: '123456789', claimed: '' });
  assert.deepEqual(ring({ cid: 'c2', name: 'Ana', from: '', verified: false, claimed: '123456789' }), { name: 'Ana', from: '', claimed: '123456789' });
  // A "from" the server did not vouch for is not taken as proven.
  assert.deepEqual(ring({ cid: 'c3', name: 42, from: '123456789', verified: 'yes' }), { name: 'Kelvora', from: '', claimed: '' });
  assert.equal(ring({ cid: 7 }), null);
  page.sent.length = 0;
  page.ST.AJ.recibir.llamadas = 'no';
  assert.equal(ring({ cid: 'c4' }), null);
  page.ST.AJ.recibir.llamadas = 'si';
  lines(page, 'abcdefgh');
  assert.equal(ring({ cid: 'c5' }), null);
  assert.deepEqual(page.sent, [{ t: 'ringans', cid: 'c4', ok: false, reason: 'unavailable' }, { t: 'ringans', cid: 'c5', ok: false, reason: 'busy' }]);
});

test('devices: role words dropped from names; a stored one found by id, else by name, and its new id kept', async () => {
  const page = await fresh();
  const names = [
    ['Predeterminado - Micrófono (USB Audio)', 'Micrófono (USB Audio)'],
    ['Default - Built-in Audio', 'Built-in Audio'],
    ['communications  -  Headset', 'Headset'],
    ['Default device', 'Default device'],
    [null, ''],
  ];
  for (const [label, want] of names) assert.equal(page.devName(label), want, String(label));
  page.DEVS.mics = [{ id: 'new-usb', name: 'USB Mic' }, { id: 'b', name: 'Built-in' }];
  const cases = [
    [['b', 'Built-in'], 'b', false],
    [['old-usb', 'USB Mic'], 'new-usb', true],
    [['gone', 'Gone Mic'], null, false],
  ];
  for (const [[id, name], want, moved] of cases) {
    const r = page.findDev(page.DEVS.mics, id, name);
    assert.deepEqual([r.dev && r.dev.id, r.moved], [want, moved], id);
  }
  page.ST.AJ.llamada = { microfono: 'old-usb', microfono_nombre: 'USB Mic' };
  const w = page.wantedDev('mic');
  assert.equal(w.dev.id, 'new-usb');
  assert.equal(page.ST.AJ.llamada.microfono, 'new-usb', 'the settings follow the new id');
  page.ST.AJ.llamada = { microfono: 'gone', microfono_nombre: 'Gone Mic' };
  const { dev, missing, name } = page.wantedDev('mic');
  assert.deepEqual({ dev, missing, name }, { dev: null, missing: true, name: 'Gone Mic' });
});

test('a phone line has one audio section: it gets the voice form, not the PC sound form', async () => {
  const page = await fresh();
  const offer = ['v=0', 'm=audio 9 UDP/TLS/RTP/SAVPF 111', 'a=rtpmap:111 opus/48000/2', 'a=fmtp:111 minptime=10;useinbandfec=1', 'm=application 9 UDP/DTLS/SCTP webrtc-datachannel', ''].join('\r\n');
  const out = page.mungeVoice(offer);
  assert.match(out, /a=fmtp:111 minptime=10;useinbandfec=1;usedtx=0\r\n/);
  assert.doesNotMatch(out, /stereo/);
});

test('the dock says where each line stands; the meter follows the RMS', async () => {
  const page = await fresh();
  const st = (L) => page.lineStatus({ kind: 'phone', rtt: -1, ...L }, 65000);
  const cases = [
    [{ state: 'calling' }, 'phCalling'],
    [{ state: 'ringing', peerHold: true }, 'phRinging · lnPeerHold'],
    [{ state: 'active', started: 1000, rtt: 41.6, relay: true }, 'phActive · 1:04 · 42 ms · TURN'],
    [{ state: 'active', started: 5000, held: true, rtt: 40, peerMuted: true }, 'lnHeld · 1:00 · dkPeerMuted'],
    [{ state: 'active', started: 5000, conf: true }, 'lnConf · 1:00'],
  ];
  for (const [L, want] of cases) assert.equal(st(L), want, JSON.stringify(L));
  assert.equal(page.lineStatus({ kind: 'ses', state: 'active', started: 65000, rtt: -1, ses: { peerHold: true } }, 65000), 'phActive · 0:00 · lnPeerHold · lnSesTag');
  const level = (f) => page.levelOfSamples(Float32Array.from({ length: 512 }, (_, i) => f(i)));
  assert.equal(level(() => 0), 0);
  assert.equal(Math.round(level((i) => 0.25 * Math.sin(i / 4))), 71);
  assert.equal(level(() => 1), 100);
});
