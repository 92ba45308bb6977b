// The viewer's rules: where the pointer lands on a letterboxed picture, the wheel, key
// combinations and the screen menu, on a stand-in document.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeDocument, fakeFetch } from '../../lib/web_modules.mjs';

const VIEWER = ['ui/viewer.js', 'ui/dom.js', 'net/session.js'];
const page = await load(VIEWER);
const plain = (v) => JSON.parse(JSON.stringify(v));

async function viewer() {
  const p = await load(VIEWER);
  p.doc = fakeDocument();
  p.dom.document = () => p.doc;
  return p;
}

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

test('combinations need control; the menu sends one batch', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout'] });
  const p = await viewer();
  const s = p.newSession('tech', { k: 't1', control: false, canControl: true });
  const sent = [];
  s.dc.ctl = { readyState: 'open', send: (m) => sent.push(JSON.parse(m)) };
  for (const [control, canControl, want] of [[false, true, 'noCtlYet'], [false, false, 'ctlDenied']]) {
    p.doc.toasts.length = 0;
    Object.assign(s, { control, canControl });
    p.sendCombo(s, 'alttab');
    assert.deepEqual(p.doc.toasts, [p.t(want)]);
  }
  assert.deepEqual(sent, []);
  Object.assign(s, { control: true, canControl: true });
  p.sendCombo(s, 'alttab');
  assert.deepEqual(sent, [{ t: 'in', ev: [{ k: 'kd', c: 'AltLeft' }, { k: 'kd', c: 'Tab' }, { k: 'ku', c: 'Tab' }, { k: 'ku', c: 'AltLeft' }] }]);
});

test('the screen menu lists modes, marks the current one and tags the original', async () => {
  // Texts show as their keys, so the markup reads plainly.
  const p = await viewer();
  const s = p.newSession('tech', { k: 't1', canControl: true, adaptive: false, resInfo: { ok: true, cambiada: true,
    actual: { w: 1280, h: 720, hz: 60 }, original: { w: 1920, h: 1080, hz: 60 },
    modos: [{ w: 1920, h: 1080, hz: 60 }, { w: 1280, h: 720, hz: 60 }, { w: '<b>', h: 1 }].concat(Array.from({ length: 20 }, (_, i) => ({ w: 800 - i, h: 600, hz: 60 }))) } });
  const html = p.screenMenuHtml(s, 'fit');
  assert.match(html, /data-act="mode:1920x1080">1920×1080 · 60 Hz · resOrigTag</);
  assert.match(html, /data-act="mode:1280x720">● 1280×720/);
  assert.match(html, /data-act="orig">resOriginal</, 'changed: original is not marked');
  assert.equal((html.match(/data-act="mode:/g) || []).length, 14, 'at most 14 modes; a broken one is left out');
  assert.doesNotMatch(html, /<b>/);
  s.adaptive = true;
  assert.doesNotMatch(p.screenMenuHtml(s, 'fit'), /● 1280×720/, 'no current mode while adaptive');
  s.canControl = false;
  const noCtl = p.screenMenuHtml(s, 'real');
  assert.match(noCtl, /resNeedCtl/);
  assert.doesNotMatch(noCtl, /data-act="mode:/);
  assert.match(noCtl, /data-act="real">● scaleReal/);
});

test("the technician's sound button says what the helped PC shares, and follows it when its sound fails", async () => {
  const p = await load([...VIEWER, 'net/host.js', 'net/tech.js']);
  p.doc = fakeDocument();
  p.dom.document = () => p.doc;
  // The local API gives no sound stream, as on a PC whose output can't be captured.
  p.http.fetch = fakeFetch().fetch;
  p.doc.querySelector('#viewer').hidden = false;
  const track = () => ({ enabled: true, stop() {} });
  const h = (p.ST.HSES = p.newSession('host', { k: 'h1', audio: true, audioTrack: track() }));
  const s = p.newSession('tech', { k: 't1', peer: 'PC de Ana', peerId: '123456789', connected: true });
  p.TS.set(s.k, s);
  p.ST.CUR = s.k;
  // What the host says on its control channel reaches the technician's handler.
  h.dc.ctl = { readyState: 'open', send: (m) => p.techMsg(s, JSON.parse(m)) };
  const flush = () => new Promise((r) => setImmediate(r));
  const button = () => {
    p.renderViewerBar();
    const a = p.doc.querySelector('#vAud');
    return [a.textContent, a.disabled, p.doc.querySelector('#vVol').disabled];
  };
  const steps = [
    ['hello while sharing', () => p.hostHello(h), ['audOn', false, false]],
    ['the technician mutes it here', () => { s.audioOn = false; }, ['audOff', false, false]],
    ['and hears it again', () => { s.audioOn = true; }, ['audOn', false, false]],
    ['the host turns it off in its bar', () => p.hostSetAudio(false), ['audNone', true, true]],
    ['the host turns it on: the stream fails and the host bar goes back to off', async () => {
      h.audioTrack = null;
      p.hostSetAudio(true);
      for (let i = 0; i < 20 && h.audio; i++) await flush();
      assert.equal(h.audio, false, 'the host bar says off');
    }, ['audNone', true, true]],
    ['the host turns it on and the stream runs', () => {
      h.audioPipe = { ctrl: new AbortController(), ctx: null };
      h.audioTrack = track();
      p.hostSetAudio(true);
    }, ['audOn', false, false]],
  ];
  for (const [name, act, want] of steps) {
    await act();
    assert.deepEqual(button(), want, name);
  }
});
