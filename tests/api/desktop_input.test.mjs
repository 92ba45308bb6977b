// Remote input on a real X server with two monitors, the primary on the right.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';
import { XDesktop, xdesktopMissing } from '../lib/xdesktop.mjs';
import { startControlled, endSession, HOST_SESSION } from '../lib/xdesktop_session.mjs';
import { waitFor } from '../lib/kelvora.mjs';
import { keyWatcher as watcher } from './key_watcher.mjs';

/** An xev window on the primary monitor, reading its key events. */
const keyWatcher = () => watcher(x, k);

const missing = xdesktopMissing(['xdotool', 'xev']) ?? false;
let x, k;

before(async () => {
  if (missing) return;
  x = await XDesktop.start({ outputs: 2 });
  k = await startControlled(x);
});
after(async () => {
  await k?.stop();
  k?.cleanup();
  x?.stop();
});

test('the monitor list puts the primary first, then by x', { skip: missing }, async () => {
  const list = (await k.get('/api/monitores')).json;
  // `captura` is the X atom of the output's name, whatever number the server gave it.
  assert.deepEqual(list.map(({ captura, ...m }) => (assert.ok(Number.isInteger(captura) && captura > 0), m)), [
    { i: 0, x: 1024, y: 0, w: 1920, h: 1080, primary: true, name: 'DUMMY0' },
    { i: 1, x: 0, y: 0, w: 1024, h: 768, primary: false, name: 'DUMMY1' },
  ]);
  assert.deepEqual((await k.post('/api/estado')).json.monitores, list);
});

test('absolute moves land on the pixel of the shown monitor', { skip: missing }, async () => {
  const cases = [
    { mon: 1, x: 1.0, y: 1.0, at: { x: 1023, y: 767 } },
    { mon: 0, x: 1.0, y: 1.0, at: { x: 2943, y: 1079 } },
    { mon: 0, x: 0, y: 0, at: { x: 1024, y: 0 } },
    { mon: 1, x: 0.5, y: 0.5, at: { x: 512, y: 384 } },
    { mon: 7, x: 0, y: 0, at: { x: 1024, y: 0 } }, // not in the list: the first monitor
    { mon: 'dos', x: -3, y: 9, at: { x: 1024, y: 1079 } }, // mon counts as 0, fractions clamp
  ];
  for (const c of cases) {
    const r = await k.post('/api/input', { mon: c.mon, ev: [{ k: 'm', x: c.x, y: c.y }] });
    assert.deepEqual(r.json, { ok: true });
    assert.deepEqual(x.pointer(), c.at, JSON.stringify(c));
  }
});

test('keys by physical code and typed text reach an X client', { skip: missing }, async () => {
  // Characters of the layout go through their own keys (with Shift when shifted); the
  // others through spare key codes bound for the keystroke.
  const w = await keyWatcher();
  try {
    const r = await k.post('/api/input', {
      mon: 0,
      ev: [
        { k: 'kd', c: 'KeyA' },
        { k: 'ku', c: 'KeyA' },
        { k: 'kd', c: 'Fn' },
        { k: 't', s: 'aA!ñ😀\r\n' },
      ],
    });
    assert.deepEqual(r.json, { ok: true });
    await waitFor(() => w.events().filter((e) => e.type === 'up').length >= 9, 'the key events');
    const downs = w.events().filter((e) => e.type === 'down');
    assert.equal(downs[0].keycode, 38); // KEY_A + 8
    assert.deepEqual(downs.slice(1).map((e) => e.keysym), [0x61, 0xffe1, 0x41, 0xffe1, 0x21, 0xf1, 0x0101f600, 0xff0d]);
    // a, A and ! on the layout's own keys (A, A with Shift, 1 with Shift), never rebound.
    assert.deepEqual(downs.slice(1, 6).map((e) => e.keycode), [38, 50, 38, 50, 10]);
  } finally {
    w.stop();
  }
});

/** The keysym a typed character arrives as: Latin-1 as itself, Enter for LF, else its Unicode keysym. */
function keysymOf(ch) {
  const cp = ch.codePointAt(0);
  if (ch === '\n') return 0xff0d;
  if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return cp;
  return 0x01000000 | cp;
}

test('a long mixed text arrives whole, in order, at the first try', { skip: missing }, async () => {
  // A client reads the key map when it gets to a key, which on a busy machine is long
  // after the key was typed: a spare key must still carry that key's character then. The
  // watcher is a new client: it loads its key map at the first character, while the
  // spare keys of the text would be bound if they were bound as they come.
  const pool = [...'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:!?@#$%&*()[]{}<>/\\|_-+=~^"\'`'
    + 'áéíóúÁñÑü¿¡€😀🎉\n'];
  let seed = 7;
  const text = Array.from({ length: 1000 }, () => {
    seed = (seed * 1103515245 + 12345) % 2147483648;
    return pool[seed % pool.length];
  }).join('');
  const w = await keyWatcher();
  try {
    assert.deepEqual((await k.post('/api/input', { mon: 0, ev: [{ k: 't', s: text }] })).json, { ok: true });
    const typed = () => w.events().filter((e) => e.type === 'down' && e.keysym !== 0xffe1);
    await waitFor(() => w.events().filter((e) => e.type === 'up').length >= typed().length && typed().length >= 1000, 'the thousand characters', 120000);
    const want = [...text].map(keysymOf);
    const got = typed().map((e) => e.keysym);
    const first = got.findIndex((g, i) => g !== want[i]);
    assert.equal(first, -1, `character ${first} (${JSON.stringify([...text][first])}) arrived as keysym 0x${got[first]?.toString(16)}`);
    assert.equal(got.length, want.length);
  } finally {
    w.stop();
  }
});

test('a text with more characters outside the layout than spare keys still goes through', { skip: missing }, async () => {
  // 300 different ideographs: spare keys must be rebound within the request, and what one
  // request may wait for them is bounded, so other input is not held for minutes.
  const text = Array.from({ length: 300 }, (_, i) => String.fromCodePoint(0x4e00 + i)).join('');
  const w = await keyWatcher();
  try {
    assert.deepEqual((await k.post('/api/input', { mon: 0, ev: [{ k: 't', s: text }] })).json, { ok: true });
    await waitFor(() => w.events().filter((e) => e.type === 'up').length >= 300, 'the 300 key presses', 30000);
    // The next request is served at once, not behind minutes of waiting.
    assert.deepEqual((await k.post('/api/input', { mon: 0, ev: [{ k: 'm', x: 0.25, y: 0.25 }] })).json, { ok: true });
    assert.deepEqual(x.pointer(), { x: 1024 + 480, y: 270 });
  } finally {
    w.stop();
  }
});

test('held keys are let go by "rel" and by the end of the session', { skip: missing }, async () => {
  const w = await keyWatcher();
  try {
    // ShiftLeft twice: X sees a repeat (a release and a press), and the release is owed once.
    await k.post('/api/input', { ev: [{ k: 'kd', c: 'ShiftLeft' }, { k: 'kd', c: 'ShiftLeft' }, { k: 'kd', c: 'ControlRight' }] });
    await waitFor(() => w.events().filter((e) => e.type === 'down').length >= 3, 'the presses');
    const before = w.events().filter((e) => e.type === 'up').length;
    await k.post('/api/input', { ev: [{ k: 'rel' }] });
    await waitFor(() => w.events().filter((e) => e.type === 'up').length >= before + 2, 'the releases');
    // From the last pressed to the first, each once.
    assert.deepEqual(w.events().filter((e) => e.type === 'up').slice(before).map((e) => e.keycode), [105, 50]);

    await k.post('/api/input', { ev: [{ k: 'kd', c: 'AltLeft' }] });
    await endSession(k);
    await waitFor(() => w.events().filter((e) => e.type === 'up').length >= before + 3, 'the release at session end');
    assert.equal(w.events().at(-1).keycode, 64);
    assert.equal(w.events().at(-1).type, 'up');
  } finally {
    w.stop();
    await startControlledAgain();
  }
});

test('a key held down repeats in the X client as it does when typed', { skip: missing }, async () => {
  const w = await keyWatcher();
  try {
    // The page sends one "kd" per repeat the technician's keyboard makes.
    await k.post('/api/input', { ev: [{ k: 'kd', c: 'KeyJ' }] });
    await k.post('/api/input', { ev: [{ k: 'kd', c: 'KeyJ' }, { k: 'kd', c: 'KeyJ' }] });
    await k.post('/api/input', { ev: [{ k: 'ku', c: 'KeyJ' }] });
    await waitFor(() => w.events().filter((e) => e.keycode === 44 && e.type === 'up').length >= 3, 'three presses and releases');
    const j = w.events().filter((e) => e.keycode === 44);
    assert.deepEqual(j.map((e) => e.type), ['down', 'up', 'down', 'up', 'down', 'up']);
  } finally {
    w.stop();
  }
});

async function startControlledAgain() {
  await k.post('/api/sesion', HOST_SESSION);
}

test('without a controlling host session nothing is injected', { skip: missing }, async () => {
  await endSession(k);
  try {
    const before = x.pointer();
    const r = await k.post('/api/input', { mon: 1, ev: [{ k: 'm', x: 0.9, y: 0.9 }] });
    assert.deepEqual(r.json, { ok: false, msg: 'control' });
    await sleep(100);
    assert.deepEqual(x.pointer(), before);
  } finally {
    await startControlledAgain();
  }
});

test('bad bodies are answered, never crash', { skip: missing }, async () => {
  const bodies = [
    'nada',
    { ev: 'x' },
    { ev: [1, null, 'm', { k: 'm' }, { k: 'm', x: 'a', y: 1 }, { k: 'w', dy: 0, dx: 0 }, { k: 'zz' }] },
    { ev: [{ k: 'd', b: -4 }, { k: 'u', b: -4 }, { k: 'd', b: 99, x: 0.5, y: 0.5 }, { k: 'w', dy: 1e300 }] },
  ];
  for (const b of bodies) assert.equal((await k.post('/api/input', b)).json.ok, true, JSON.stringify(b));
  const many = await k.post('/api/input', { ev: Array.from({ length: 5000 }, () => ({ k: 'zz' })) });
  assert.equal(many.json.ok, false);
  const long = await k.post('/api/input', { ev: [{ k: 't', s: 'x'.repeat(1_000_000) }] });
  assert.equal(long.json.ok, false);
  assert.equal((await k.get('/api/version')).status, 200);
});
