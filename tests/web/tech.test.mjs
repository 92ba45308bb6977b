// The technician's rules, run on the page's own scripts: which IDs may be connected, where
// the pointer lands on a letterboxed picture, the wheel, key combinations, the waiting
// countdown and the host's answers.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { loadPage } from '../lib/page_vm.mjs';

const page = loadPage();
const plain = (v) => JSON.parse(JSON.stringify(v));

/** A page whose toasts, control messages and session ends are recorded instead of drawn. */
function recorder() {
  const p = loadPage();
  p.toasts = [];
  p.sent = [];
  p.ended = [];
  p.toast = (text) => p.toasts.push(text);
  p.ctl = (s, m) => p.sent.push(plain(m));
  p.endSession = (s, why, notify = true) => { s.dead = true; p.ended.push([why, notify]); };
  p.renderViewer = p.renderSessions = p.renderViewerBar = () => {};
  return p;
}

test('which IDs can be connected', () => {
  const p = loadPage();
  p.run(`for (let i = 1; i <= 7; i++) TS.set('t' + i, { k: 't' + i, peerId: String(200000000 + i) })`);
  const check = (digits) => plain(p.run(`connectCheck(${JSON.stringify(digits)}, '111222333', TS)`));
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

  p.run(`TS.set('t8', { k: 't8', peerId: '200000008' })`);
  assert.deepEqual(check('987654321'), { key: 'sesMax', args: [8], k: '' }, 'a ninth session is refused, naming 8');
  assert.equal(check('200000008').key, 'sesDup', 'an open one is still shown when the list is full');
});

test('the pointer maps onto the picture, the black bars give values outside 0..1', () => {
  // A 1000×500 stage at (100, 50) showing a 16:9 1920×1080 picture: 888.89 wide, bars left and right.
  const box = { left: 100, top: 50, width: 1000, height: 500 };
  const picW = 500 * 16 / 9, barW = (1000 - picW) / 2;
  for (const [cx, cy, want] of [
    [100 + barW, 50, { x: 0, y: 0 }],
    [100 + barW + picW, 550, { x: 1, y: 1 }],
    [600, 300, { x: 0.5, y: 0.5 }],
    [110, 300, { x: -0.05125, y: 0.5 }],
    [1090, 300, { x: 1.05125, y: 0.5 }],
    [600, 40, { x: 0.5, y: -0.02 }],
  ]) assert.deepEqual(plain(page.ptrMap(box, 1920, 1080, cx, cy)), want, `${cx},${cy}`);

  // A portrait picture in a landscape stage: bars left and right; tall stage: bars above and below.
  assert.deepEqual(plain(page.ptrMap({ left: 0, top: 0, width: 1000, height: 1000 }, 1000, 500, 500, 100)), { x: 0.5, y: -0.3 });
  // Before the video knows its size the picture counts as 16:9.
  assert.deepEqual(plain(page.ptrMap(box, 0, 0, 600, 300)), plain(page.ptrMap(box, 1920, 1080, 600, 300)));
  assert.equal(page.ptrMap({ left: 0, top: 0, width: 0, height: 0 }, 1920, 1080, 5, 5), null, 'a stage without size sends nothing');
  const { x } = page.ptrMap(box, 1920, 1080, 333.333333, 300);
  assert.equal(x, Math.round(x * 1e5) / 1e5, 'five decimals');
});

test('the wheel sends whole multiples of 40 and keeps the rest', () => {
  const acc = { x: 0, y: 0 };
  // Three pixel units (×1.2 = 3.6) at a time: nothing until 40 has built up.
  const sent = [];
  for (let i = 0; i < 12; i++) sent.push(plain(page.wheelStep(acc, 0, 0, -3)));
  assert.deepEqual(sent.slice(0, 11), Array(11).fill(null));
  assert.deepEqual(sent[11], { dy: 40, dx: 0 }, 'the twelfth event crosses 40 (43.2)');
  assert.ok(Math.abs(acc.y - 3.2) < 1e-9);

  for (const [mode, dx, dy, want, rest] of [
    [1, 0, 1, { dy: -40, dx: 0 }, { x: 0, y: -8 }], // one line down
    [1, -1, 0, { dy: 0, dx: -40 }, { x: -8, y: 0 }], // one line left
    [2, 0, -1, { dy: 960, dx: 0 }, { x: 0, y: 0 }], // one page up
    [0, 0, 120, { dy: -120, dx: 0 }, { x: 0, y: -24 }], // a mouse notch in pixels
    [0, NaN, 10, null, { x: 0, y: -12 }], // a broken delta is left out
  ]) {
    const a = { x: 0, y: 0 };
    assert.deepEqual(plain(page.wheelStep(a, mode, dx, dy)), want, `${mode} ${dx} ${dy}`);
    assert.ok(Math.abs(a.x - rest.x) < 1e-9 && Math.abs(a.y - rest.y) < 1e-9, `rest ${JSON.stringify(a)}`);
  }
});

test('a key combination presses in order and lets go in reverse', () => {
  assert.deepEqual(plain(page.comboEvents('taskmgr')), [
    { k: 'kd', c: 'ControlLeft' }, { k: 'kd', c: 'ShiftLeft' }, { k: 'kd', c: 'Escape' },
    { k: 'ku', c: 'Escape' }, { k: 'ku', c: 'ShiftLeft' }, { k: 'ku', c: 'ControlLeft' },
  ]);
  assert.deepEqual(plain(page.comboEvents('prt')), [{ k: 'kd', c: 'PrintScreen' }, { k: 'ku', c: 'PrintScreen' }]);
  assert.deepEqual(plain(page.comboEvents('nope')), []);
});

test('combinations need control; the menu sends one batch', () => {
  const p = recorder();
  p.run(`var s = newSession('tech', { k: 't1', control: false, canControl: true })`);
  for (const [control, canControl, want] of [[false, true, 'noCtlYet'], [false, false, 'ctlDenied']]) {
    p.toasts.length = 0;
    p.run(`s.control = ${control}; s.canControl = ${canControl}; sendCombo(s, 'alttab')`);
    assert.deepEqual(p.toasts, [p.t(want)]);
  }
  assert.deepEqual(p.sent, []);
  p.focusLayer = () => {};
  p.run(`s.control = true; s.canControl = true; sendCombo(s, 'alttab')`);
  assert.deepEqual(p.sent, [{ t: 'in', ev: [{ k: 'kd', c: 'AltLeft' }, { k: 'kd', c: 'Tab' }, { k: 'ku', c: 'Tab' }, { k: 'ku', c: 'AltLeft' }] }]);
});

test('the waiting countdown shows 0 for three seconds, then gives up', () => {
  const p = recorder();
  const ticks = [];
  p.setInterval = (f) => { ticks.push(f); return ticks.length; };
  p.run(`var s = newSession('tech', { k: 't1', peer: '123 456 789' }); TS.set('t1', s); CUR = 't1'`);
  p.run(`startWait(s, waitSeconds(2))`);
  const seen = [p.run('s.waitTxt')];
  while (!p.ended.length && seen.length < 20) {
    ticks.at(-1)();
    if (!p.ended.length) seen.push(p.run('s.waitTxt'));
  }
  assert.deepEqual(seen, [2, 1, 0, 0, 0].map((n) => p.t('waitAccept') + ' ' + p.t('waitSecs', n)));
  assert.deepEqual(p.toasts, [p.t('denTimeout')]);
  assert.deepEqual(p.ended, [['local', true]], 'the host is told the technician gave up');

  for (const [v, want] of [[undefined, 60], ['x', 60], [-5, 60], [0, 60], [45, 45], [1e9, 3600]]) assert.equal(page.waitSeconds(v), want, String(v));
});

test('refusals on /join/ end the session with the right text', () => {
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

  const p = recorder();
  p.setTimeout = () => 0;
  p.run(`var s = newSession('tech', { k: 't1', withPass: false }); joinMsg(s, { t: 'denied', reason: 'badkey' })`);
  assert.deepEqual([p.toasts, p.ended], [[p.t('denNeedPass')], [['local', false]]], 'ended locally, the server is not told');
});

test('answers to a resolution request', () => {
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
  const p = recorder();
  p.run(`var s = newSession('tech', { k: 't1', adaptive: true }); techMsg(s, { t: 'res-ok', r: { ok: false, msg: 'control' } })`);
  assert.deepEqual([p.toasts, p.sent], [[], [{ t: 'res-get' }]]);
  p.run(`s.adaptive = false; techMsg(s, { t: 'res-ok', r: { ok: false, msg: 'monitor no encontrado' } })`);
  assert.deepEqual(p.toasts, [p.t('resFail') + ' · monitor no encontrado']);
});

test('hello and perm set control from what the host allows and the technician wants', () => {
  const p = recorder();
  p.setTimeout = () => 0;
  p.sessionNote = () => {};
  p.refreshSession = () => {};
  p.run(`var s = newSession('tech', { k: 't1', peer: '123 456 789', wantControl: true })`);
  p.run(`techMsg(s, { t: 'hello', name: 'Caja 2', control: false, audio: true, hasAudio: true, mons: [{ i: 0, name: 'DP-1', w: 1920, h: 1080, primary: true }, { i: 1, w: 1280, h: 1024 }], mon: 0, monsw: true, quality: 'raro', fps: 500 })`);
  assert.deepEqual(plain(p.run(`[s.peer, s.control, s.canControl, s.hostAudio, s.mons.length, s.quality, s.fps]`)), ['Caja 2', false, false, true, 2, 'auto', 60]);
  assert.deepEqual(p.toasts, ['Caja 2: ' + p.t('ctlDenied')]);

  p.run(`techMsg(s, { t: 'perm', control: true, audio: false, hasAudio: true, monsw: false })`);
  assert.deepEqual(plain(p.run(`[s.control, s.hostAudio, s.mons.length, s.monsw]`)), [true, false, 2, true], 'missing monitors keep the old list; monsw stays on');
  p.run(`techMsg(s, { t: 'perm', control: false })`);
  assert.deepEqual(plain(p.run(`[s.control, s.canControl]`)), [false, false]);
  assert.equal(p.toasts.at(-1), p.t('ctlDenied'));
  p.run(`s.wantControl = false; techMsg(s, { t: 'perm', control: true })`);
  assert.equal(p.run('s.control'), false, 'control the technician switched off stays off');
});

test('the screen menu lists modes, marks the current one and tags the original', () => {
  const p = loadPage();
  p.run(`I18N.es = {}; I18N.en = {}`); // texts show as their keys, so the markup reads plainly
  p.run(`var s = newSession('tech', { k: 't1', canControl: true, adaptive: false, resInfo: { ok: true, cambiada: true,
    actual: { w: 1280, h: 720, hz: 60 }, original: { w: 1920, h: 1080, hz: 60 },
    modos: [{ w: 1920, h: 1080, hz: 60 }, { w: 1280, h: 720, hz: 60 }, { w: '<b>', h: 1 }].concat(Array.from({ length: 20 }, (_, i) => ({ w: 800 - i, h: 600, hz: 60 }))) } })`);
  const html = p.run(`screenMenuHtml(s, 'fit')`);
  assert.match(html, /data-act="mode:1920x1080">1920×1080 · 60 Hz · resOrigTag</);
  assert.match(html, /data-act="mode:1280x720">● 1280×720/);
  assert.match(html, /data-act="orig">resOriginal</, 'changed: original is not marked');
  assert.equal((html.match(/data-act="mode:/g) || []).length, 14, 'at most 14 modes; a broken one is left out');
  assert.doesNotMatch(html, /<b>/);
  p.run(`s.adaptive = true`);
  assert.doesNotMatch(p.run(`screenMenuHtml(s, 'fit')`), /● 1280×720/, 'no current mode while adaptive');
  p.run(`s.canControl = false`);
  const noCtl = p.run(`screenMenuHtml(s, 'real')`);
  assert.match(noCtl, /resNeedCtl/);
  assert.doesNotMatch(noCtl, /data-act="mode:/);
  assert.match(noCtl, /data-act="real">● scaleReal/);
});
