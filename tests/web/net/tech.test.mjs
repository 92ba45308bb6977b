// The technician's protocol: which IDs may be connected, the waiting countdown and the
// host's answers, with the page's side recorded through the callbacks.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeFetch, recordTimers } from '../../lib/web_modules.mjs';

const TECH = ['net/tech.js', 'net/session.js', 'net/peer.js', 'net/signal_socket.js'];
const page = await load(TECH);
const plain = (v) => JSON.parse(JSON.stringify(v));

/**
 * The technician's modules with notices recorded; sessions whose control channel and
 * /join/ socket record what is sent, so that how a session ended shows: [why, told].
 */
async function recorder() {
  const p = await load(TECH);
  p.toasts = [];
  p.techOn.onnotice = (text) => p.toasts.push(text);
  p.http.fetch = fakeFetch().fetch;
  p.session = (init) => {
    const s = Object.assign(p.techSession('123456789', false, false), init);
    s.ctlSent = [];
    s.wsSent = [];
    s.dc.ctl = { readyState: 'open', send: (m) => s.ctlSent.push(JSON.parse(m)) };
    s.ws = { send: (m) => s.wsSent.push(m), close() {} };
    return s;
  };
  // The local end of a session: the host told (cancel) or not.
  p.ended = (s) => (s.dead ? [['local', s.wsSent.some((m) => m.t === 'cancel')]] : []);
  return p;
}

test('which IDs can be connected', async () => {
  const p = await load(TECH);
  for (let i = 1; i <= 7; i++) p.TS.set('t' + i, { k: 't' + i, peerId: String(200000000 + i) });
  const check = (digits) => p.connectCheck(digits, '111222333', p.TS);
  for (const [digits, want] of [
    ['12345678', 'badId'],
    ['1234567890', 'badId'],
    ['012345678', 'badId'],
    ['', 'badId'],
    ['111222333', 'selfId'],
    ['200000003', 'sesDup'],
    ['987654321', null],
  ]) assert.equal(check(digits)?.key ?? null, want, digits);
  assert.equal(check('200000003').k, 't3', 'the duplicate points at the open session');

  p.TS.set('t8', { k: 't8', peerId: '200000008' });
  assert.deepEqual(check('987654321'), { key: 'sesMax', args: [8], k: '' }, 'a ninth session is refused, naming 8');
  assert.equal(check('200000008').key, 'sesDup', 'an open one is still shown when the list is full');
});

test('the waiting countdown shows 0 for three seconds, then gives up', async (t) => {
  const p = await recorder();
  const ticks = [];
  t.mock.method(globalThis, 'setInterval', (f) => ticks.push(f));
  const s = p.session({ k: 't1', peer: '123 456 789' });
  p.TS.set('t1', s);
  p.ST.CUR = 't1';
  p.startWait(s, p.waitSeconds(2));
  const seen = [s.waitTxt];
  while (!p.ended(s).length && seen.length < 20) {
    ticks.at(-1)();
    if (!p.ended(s).length) seen.push(s.waitTxt);
  }
  assert.deepEqual(seen, [2, 1, 0, 0, 0].map((n) => p.t('waitAccept') + ' ' + p.t('waitSecs', n)));
  assert.deepEqual(p.toasts, [p.t('denTimeout')]);
  assert.deepEqual(p.ended(s), [['local', true]], 'the host is told the technician gave up');

  for (const [v, want] of [[undefined, 60], ['x', 60], [-5, 60], [0, 60], [45, 45], [1e9, 3600]]) assert.equal(page.waitSeconds(v), want, String(v));
});

test('refusals on /join/ end the session with the right text', async (t) => {
  for (const [m, withPass, key, args] of [
    [{ t: 'denied', reason: 'badkey' }, false, 'denNeedPass', []],
    [{ t: 'denied', reason: 'badkey' }, true, 'denBadKey', []],
    [{ t: 'denied', reason: 'timeout' }, false, 'denTimeout', []],
    [{ t: 'denied', reason: 'cancelled' }, false, 'denCancelled', []],
    [{ t: 'denied', reason: 'busy' }, false, 'denBusy', []],
    [{ t: 'denied', reason: 'unavailable' }, false, 'denUnavailable', []],
    [{ t: 'denied', reason: 'rate' }, false, 'denRate', []],
    [{ t: 'denied', reason: 'whatever' }, false, 'denDenied', []],
    [{ t: 'denied', reason: 'constructor' }, false, 'denDenied', []],
    [{ t: 'offline' }, false, 'denOffline', []],
    [{ t: 'busy' }, false, 'denBusy', []],
    [{ t: 'locked', mins: 15 }, true, 'denLocked', [15]],
    [{ t: 'locked', mins: 'x' }, true, 'denLocked', [1]],
  ]) {
    const n = plain(page.refusalNote(m, withPass));
    assert.deepEqual([n.key, n.args], [key, args], JSON.stringify(m));
  }
  for (const [reason, why] of [['hostgone', 'lost'], ['failed', 'failed'], ['stopped', 'stopped'], ['other', 'peer'], ['__proto__', 'peer'], [undefined, 'peer']])
    assert.equal(page.endedWhy(reason), why);

  const p = await recorder();
  recordTimers(t);
  const s = p.session({ k: 't1', withPass: false });
  p.joinMsg(s, { t: 'denied', reason: 'badkey' });
  assert.deepEqual([p.toasts, p.ended(s)], [[p.t('denNeedPass')], [['local', false]]], 'ended locally, the server is not told');
});

test('answers to a resolution request', async () => {
  for (const [r, adaptive, want] of [
    [{ ok: false, msg: 'control' }, true, null],
    [{ ok: false, msg: 'control' }, false, ['ctlDenied']],
    [{ ok: false, msg: 'esa resolución no está disponible en este monitor' }, true, ['resFail', 'esa resolución no está disponible en este monitor']],
    [{ ok: true, actual: { w: 1280, h: 720, hz: 60 } }, false, ['resNow', '1280×720']],
    [{ ok: true, actual: { w: 1280, h: 720, hz: 60 } }, true, null],
    [{ ok: true, original: true }, false, null],
    ['nonsense', false, null],
  ]) assert.deepEqual(plain(page.resOkNote(r, adaptive)), want, JSON.stringify([r, adaptive]));

  // Through the message handler: no toast in adaptive mode, and the menu asks again.
  const p = await recorder();
  const s = p.session({ k: 't1', adaptive: true });
  p.techMsg(s, { t: 'res-ok', r: { ok: false, msg: 'control' } });
  assert.deepEqual([p.toasts, s.ctlSent], [[], [{ t: 'res-get' }]]);
  s.adaptive = false;
  p.techMsg(s, { t: 'res-ok', r: { ok: false, msg: 'monitor no encontrado' } });
  assert.deepEqual(p.toasts, [p.t('resFail') + ' · monitor no encontrado']);
});

test('hello and perm set control from what the host allows and the technician wants', async (t) => {
  const p = await recorder();
  recordTimers(t);
  const s = p.session({ k: 't1', peer: '123 456 789', wantControl: true });
  p.techMsg(s, { t: 'hello', name: 'Caja 2', control: false, audio: true, hasAudio: true, mons: [{ i: 0, name: 'DP-1', w: 1920, h: 1080, primary: true }, { i: 1, w: 1280, h: 1024 }], mon: 0, monsw: true, quality: 'raro', fps: 500 });
  assert.deepEqual([s.peer, s.control, s.canControl, s.hostAudio, s.mons.length, s.quality, s.fps], ['Caja 2', false, false, true, 2, 'auto', 60]);
  assert.deepEqual(p.toasts, ['Caja 2: ' + p.t('ctlDenied')]);

  p.techMsg(s, { t: 'perm', control: true, audio: false, hasAudio: true, monsw: false });
  assert.deepEqual([s.control, s.hostAudio, s.mons.length, s.monsw], [true, false, 2, true], 'missing monitors keep the old list; monsw stays on');
  p.techMsg(s, { t: 'perm', control: false });
  assert.deepEqual([s.control, s.canControl], [false, false]);
  assert.equal(p.toasts.at(-1), p.t('ctlDenied'));
  s.wantControl = false;
  p.techMsg(s, { t: 'perm', control: true });
  assert.equal(s.control, false, 'control the technician switched off stays off');
});

