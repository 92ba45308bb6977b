// Chat and file rules of the protocol: the line cap, received names, sizes and ids,
// chunking and back-pressure, and what the file channel does with hostile frames.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, recordTimers } from '../../lib/web_modules.mjs';

const plain = (v) => JSON.parse(JSON.stringify(v));
const page = await load(['net/files.js']);

/**
 * The file modules with the native host's file endpoints, the page's answers recorded
 * (transfer lines, notices, questions) and session records whose file channel records
 * what is sent.
 */
async function bench() {
  const p = await load(['net/files.js', 'net/file_pace.js', 'net/session.js']);
  p.toasts = [];
  p.boxes = [];
  p.offers = [];
  p.dialogUp = false;
  Object.assign(p.filesOn, {
    onnotice: (text) => p.toasts.push(text),
    ontransfer: (id, s, name, text, pct) => p.boxes.push({ id, text, pct }),
    onmessage: (s, who, text, me) => p.chatPush(s.chat, { who, text, me }),
    canask: () => !p.dialogUp,
    onoffer: (s, rx) => p.offers.push(rx),
    onsaved: (id, s, name, folder) => p.boxes.push({ id, text: 'fileDone', folder }),
  });
  // The native host's file endpoints: what was opened, written, finished and cancelled.
  // Written pieces are kept as they were handed to the request.
  p.sink = { open: [], written: 0, calls: [], bytes: [] };
  p.http.fetch = async (url, init) => {
    const what = url.split('/').pop().split('?')[0];
    p.sink.calls.push(what);
    if (what === 'escribir') {
      p.sink.bytes.push(init.body);
      p.sink.written += init.body.size;
      await new Promise((r) => setImmediate(r));
      return { json: async () => ({ ok: true, recibido: p.sink.written }) };
    }
    const body = JSON.parse(init.body || '{}');
    let r = { ok: true };
    if (what === 'abrir') {
      p.sink.open.push(body);
      p.sink.written = 0;
      p.sink.bytes = [];
      r = { ok: true, id: 'sink' + p.sink.open.length, nombre: body.nombre };
    }
    if (what === 'terminar') r = { ok: true, nombre: p.sink.open.at(-1).nombre, carpeta: '/home/ana/Descargas' };
    return { status: 200, json: async () => r };
  };
  p.session = (k = 't1') => {
    const s = p.newSession('tech', { k, peer: 'PC de Ana' });
    s.sent = [];
    s.dc.file = {
      readyState: 'open', bufferedAmount: 0, bufferedAmountLowThreshold: 0,
      send: (m) => s.sent.push(typeof m === 'string' ? JSON.parse(m) : m.byteLength),
      addEventListener() {}, removeEventListener() {},
    };
    p.TS.set(k, s);
    return s;
  };
  return p;
}

test('the chat keeps the last 300 lines', () => {
  const chat = [];
  for (let i = 1; i <= 301; i++) page.chatPush(chat, { who: '', text: `línea ${i}`, me: true });
  assert.equal(chat.length, 300);
  assert.equal(chat[0].text, 'línea 2', 'the 301st line pushed out the first');
  assert.equal(chat[299].text, 'línea 301');
  page.chatPush(chat, { sys: true, text: 'sistema' });
  assert.deepEqual(chat.at(-1), { sys: true, text: 'sistema' });
  assert.equal(chat[0].text, 'línea 3', 'system lines count towards the cap too');
});

test('received names lose path and reserved characters and stay short', () => {
  for (const [name, want] of [
    ['informe.pdf', 'informe.pdf'],
    ['a/b\\c:d*e?f"g<h>i|j.txt', 'a_b_c_d_e_f_g_h_i_j.txt'],
    ['../../etc/passwd', '.._.._etc_passwd'],
    ['lí\u0000ne\u001fa\n.txt', 'lí_ne_a_.txt'],
    ['foto\u202egpj.exe', 'fotogpj.exe'],
    ['', 'archivo'],
    [null, 'archivo'],
    [42, 'archivo'],
    [{ toString: () => 'x' }, 'archivo'],
    ['ñ'.repeat(200), 'ñ'.repeat(180)],
    ['😀'.repeat(181), '😀'.repeat(180)],
  ]) assert.equal(page.cleanName(name), want, JSON.stringify(name));
  for (const [name, risky] of [['setup.EXE', true], ['x.Ps1', true], ['a.lnk', true], ['lib.dll', true], ['doc.pdf', false], ['exe', false], ['a.exe.txt', false],
    ...['x.desktop', 'x.sh', 'x.run', 'x.AppImage', 'x.url', 'x.pif', 'x.cpl', 'x.msc', 'x.wsf', 'x.psm1', 'x.msix', 'x.appx', 'x.iso', 'x.img', 'x.vhd', 'x.html', 'x.svg'].map((n) => [n, true]),
    // Bidi controls can't hide the real end of the name: "foto‮gpj.exe" shows as "fotoexe.jpg".
    ['foto\u202egpj.exe', true], ['a.sh\u200e', true], ['a.ex\u2066e', true], ['setup.exe. ', true], ['notas.txt', false]]) {
    assert.equal(page.riskyName(name), risky, name);
  }
});

test('offer ids, sizes and their limits', () => {
  const ids = new Set(Array.from({ length: 50 }, () => page.fileId()));
  for (const id of ids) assert.match(id, /^[0-9a-z]{7}$/);
  assert.ok(ids.size > 45, 'ids are random');
  for (const [id, ok] of [['abc1234', true], ['ABC1234', false], ['abc123', false], ['abc12345', false], ['__proto', false], [1234567, false], [null, false]]) {
    assert.equal(page.validId(id), ok, String(id));
  }
  for (const [n, ok] of [[1, true], [2000000000, true], [2000000001, false], [0, false], [-5, false], [1.5, false], [NaN, false], [Infinity, false], ['12', false], [null, false]]) {
    assert.equal(page.sizeOk(n), ok, String(n));
  }
  for (const [n, want] of [[0, '1 KB'], [400, '1 KB'], [1499, '1 KB'], [999499, '999 KB'], [1000000, '1.0 MB'], [52428800, '52.4 MB'], [1000000000, '1.00 GB'], [2000000000, '2.00 GB']]) {
    assert.equal(page.fmtSize(n), want, String(n));
  }
});

test('chunks of 64 KiB, and when the sender waits', () => {
  for (const [size, want] of [
    [1, [[0, 1]]],
    [65536, [[0, 65536]]],
    [65537, [[0, 65536], [65536, 65537]]],
    [200000, [[0, 65536], [65536, 131072], [131072, 196608], [196608, 200000]]],
  ]) assert.deepEqual(plain(page.chunkRanges(size)), want, String(size));
  for (const [buffered, wait] of [[0, false], [1048576, false], [1048577, true], [20000000, true]]) assert.equal(page.mustWait(buffered), wait, String(buffered));
  for (const [rx, n, want] of [
    [null, 10, 'drop'],
    [{ ok: false, got: 0, size: 100 }, 10, 'drop'],
    [{ ok: true, got: 0, size: 100 }, 100, 'keep'],
    [{ ok: true, got: 90, size: 100 }, 10, 'keep'],
    [{ ok: true, got: 90, size: 100 }, 11, 'cut'],
  ]) assert.equal(page.rxTake(rx, n), want, JSON.stringify([rx, n]));
});

/** Lets the page's pending requests and their answers run. */
const settle = async () => { for (let i = 0; i < 20; i++) await new Promise((r) => setImmediate(r)); };

test('hostile frames on the file channel', async () => {
  const p = await bench();
  const s = p.session();
  const bytes = (n) => new ArrayBuffer(n);
  const msg = (m) => p.fileMsg(s, JSON.stringify(m));

  // Nothing offered: data, bad JSON, unknown kinds and bad ids do nothing and answer nothing.
  p.fileMsg(s, bytes(10));
  for (const junk of ['{', '[]', '"fs"', 'null', JSON.stringify({ t: 'fs', id: 'a'.repeat(5000), size: 1 }), new Uint8Array(3), 12]) p.fileMsg(s, junk);
  for (const id of ['__proto__', 'ABCDEFG', 'abc', 7]) msg({ t: 'fs', id, name: 'a', size: 5 });
  msg({ t: 'fe', id: 'abcdefg' });
  msg({ t: 'fa', id: 'abcdefg', ok: false });
  msg({ t: 'fa', id: '__proto__', ok: true });
  assert.deepEqual(s.sent, []);
  // A yes to an offer this side no longer waits for is ended at once, so the other side is free again.
  msg({ t: 'fa', id: 'abcdefg', ok: true });
  assert.deepEqual(s.sent, [{ t: 'fe', id: 'abcdefg' }]);
  s.sent.length = 0;
  assert.equal(s.rx ?? null, null);

  // Sizes out of range are refused at once, without a dialog.
  for (const size of [0, -1, 2000000001, 1.5, 'x', null]) msg({ t: 'fs', id: 'aaaaaaa', name: 'a', size });
  assert.deepEqual(s.sent, Array(6).fill({ t: 'fa', id: 'aaaaaaa', ok: false }));
  assert.equal(p.offers.length, 0);
  s.sent.length = 0;

  // An offer with a hostile name: the dialog shows it cleaned, with the risk note.
  msg({ t: 'fs', id: 'bbbbbbb', name: 'a/b:c?<d>\u0007.exe', size: 5 });
  assert.equal(s.rx.name, 'a_b_c__d__.exe');
  assert.equal(p.offers[0].name, 'a_b_c__d__.exe', 'the question shows it cleaned');
  assert.ok(p.riskyName(p.offers[0].name), 'with the risk note');
  // A second offer meanwhile is refused without a dialog; data before the yes is dropped.
  msg({ t: 'fs', id: 'ccccccc', name: 'b', size: 5 });
  assert.deepEqual(s.sent, [{ t: 'fa', id: 'ccccccc', ok: false }]);
  assert.equal(p.offers.length, 1);
  p.fileMsg(s, bytes(3));
  assert.equal(s.rx.got, 0);

  // Yes: the file is opened on disk first, and the answer tells the sender how far ahead
  // of the disk it may go; data counts up to the announced size; one byte more ends the
  // transfer, removes the partial file and stops the sender.
  const answered = p.fileAnswer(s.k, 'bbbbbbb', true);
  p.fileAnswer(s.k, 'bbbbbbb', false);
  await answered;
  assert.deepEqual(plain(p.sink.open.at(-1)), { nombre: 'a_b_c__d__.exe', tamano: 5 });
  assert.deepEqual(plain(s.sent.at(-1)), { t: 'fa', id: 'bbbbbbb', ok: true, win: 4194304 }, 'closing after the yes does not take it back');
  p.fileMsg(s, bytes(3));
  p.fileMsg(s, bytes(3));
  await settle();
  assert.equal(s.rx, null, 'the transfer was cut');
  assert.equal(p.boxes.at(-1).text, 'fileNo');
  assert.equal(p.sink.calls.at(-1), 'cancelar');
  assert.deepEqual(plain(s.sent.at(-1)), { t: 'fc', id: 'bbbbbbb' });
  msg({ t: 'fe', id: 'bbbbbbb' });
  p.fileMsg(s, bytes(1));
  await settle();
  assert.ok(!p.sink.calls.includes('terminar'), 'nothing is saved after the cut');

  // An end before all the bytes came saves nothing; a complete one is written, finished and
  // shown with its folder, each written piece acknowledged to the sender.
  for (const [id, chunks, saved] of [['ddddddd', [2, 2], false], ['eeeeeee', [2, 3], true]]) {
    p.sink.calls.length = 0;
    msg({ t: 'fs', id, name: 'x:y.txt', size: 5 });
    await p.fileAnswer(s.k, id, true);
    for (const n of chunks) p.fileMsg(s, bytes(n));
    msg({ t: 'fe', id: 'zzzzzzz' });
    assert.ok(s.rx, 'an end for another id is ignored');
    msg({ t: 'fe', id });
    await settle();
    assert.equal(s.rx, null);
    assert.equal(p.sink.calls.includes('terminar'), saved, id);
    assert.equal(p.sink.calls.at(-1), saved ? 'terminar' : 'cancelar', id);
    assert.equal(p.boxes.at(-1).text, saved ? 'fileDone' : 'fileNo');
  }
  assert.equal(p.sink.written, 5);
  assert.deepEqual(plain(s.sent.filter((m) => m.t === 'fk').at(-1)), { t: 'fk', id: 'eeeeeee', got: 5 });
  assert.equal(s.chat.at(-1).text, '📁 x_y.txt');
  assert.equal(s.chat.at(-1).me, false);

  // Refusing answers no and forgets the offer.
  s.sent.length = 0;
  msg({ t: 'fs', id: 'fffffff', name: 'a', size: 5 });
  p.fileAnswer(s.k, 'fffffff', false);
  assert.deepEqual(s.sent, [{ t: 'fa', id: 'fffffff', ok: false }]);
  assert.equal(s.rx, null);
  // A question already up refuses the offer.
  p.dialogUp = true;
  msg({ t: 'fs', id: 'ggggggg', name: 'a', size: 5 });
  assert.deepEqual(s.sent.at(-1), { t: 'fa', id: 'ggggggg', ok: false });
});

test('sending: limits, the offer\'s answer, its time-out, chunks', async (t) => {
  const p = await bench();
  const s = p.session();
  const file = (size) => ({ name: 'datos.bin', size, slice: (a, b) => new Blob([new Uint8Array(Math.max(0, Math.min(size, b) - a))]) });
  const offers = () => s.sent.filter((m) => m.t === 'fs');

  await p.sendFile(file(2000000001), s);
  assert.deepEqual(p.toasts, ['fileTooBig']);
  assert.equal(s.sent.length, 0, 'nothing is offered over the limit');
  const none = p.session('t2');
  none.dc.file.readyState = 'closed';
  await p.sendFile(file(10), none);
  assert.deepEqual(p.toasts, ['fileTooBig', 'fileNoSession']);
  p.TS.delete('t2');

  // Accepted: 200000 bytes go as chunks of 65536, then the end mark and a chat line.
  let sending = p.sendFile(file(200000), s);
  await new Promise((r) => setImmediate(r));
  const [fs] = offers();
  assert.deepEqual({ ...fs, id: 'x' }, { t: 'fs', id: 'x', name: 'datos.bin', size: 200000 });
  assert.equal(p.boxes.at(-1).text, 'fileAsk');
  p.fileMsg(s, JSON.stringify({ t: 'fa', id: fs.id, ok: true }));
  await sending;
  assert.deepEqual(s.sent.slice(1), [65536, 65536, 65536, 3392, { t: 'fe', id: fs.id }]);
  assert.equal(p.boxes.at(-1).text, 'fileSent');
  assert.equal(s.chat.at(-1).text, '📁 datos.bin');

  // Refused, and unanswered for 90 s: nothing is sent.
  const timers = recordTimers(t);
  for (const answer of ['no', 'silence']) {
    s.sent.length = 0;
    sending = p.sendFile(file(10), s);
    await new Promise((r) => setImmediate(r));
    const id = offers()[0].id;
    if (answer === 'no') p.fileMsg(s, JSON.stringify({ t: 'fa', id, ok: false }));
    else timers.findLast((x) => x.ms === 90000).f();
    await sending;
    assert.deepEqual(s.sent, [{ t: 'fs', id, name: 'datos.bin', size: 10 }], answer);
    assert.equal(p.boxes.at(-1).text, 'fileNo', answer);
  }
});

test('the sender waits while more than 1 MiB is queued', async () => {
  const p = await bench();
  const s = p.session();
  const ch = s.dc.file;
  let waits = 0;
  // Each wait lets the queue drain a little; the sender must not send while it is above 1 MiB.
  ch.bufferedAmount = 1800000;
  ch.addEventListener = (ev, done) => {
    if (ev !== 'bufferedamountlow') return;
    waits++;
    ch.bufferedAmount -= 400000;
    setImmediate(done);
  };
  const send = ch.send;
  ch.send = (m) => {
    if (typeof m !== 'string') assert.ok(ch.bufferedAmount <= 1048576, `sent with ${ch.bufferedAmount} queued`);
    send(m);
  };
  const sending = p.sendFile({ name: 'a', size: 65536, slice: () => new Blob([new Uint8Array(65536)]) }, s);
  await new Promise((r) => setImmediate(r));
  p.fileMsg(s, JSON.stringify({ t: 'fa', id: s.sent[0].id, ok: true }));
  await sending;
  assert.equal(waits, 2);
  assert.equal(ch.bufferedAmountLowThreshold, 262144);
  assert.equal(s.sent[1], 65536);
});

test('received chunks reach the disk whole and in order, a piece at a time', async () => {
  const p = await bench();
  const s = p.session();
  // Chunks of every size a peer may send, each byte telling its place in the file, some
  // arriving while a piece is on its way.
  const sizes = [65536, 1, 65535, 262144, ...Array(30).fill(65536), 1048576, 1048577, 3];
  const size = sizes.reduce((a, b) => a + b, 0);
  const byteAt = (i) => (i * 7 + (i >> 16)) & 255;
  p.fileMsg(s, JSON.stringify({ t: 'fs', id: 'hhhhhhh', name: 'grande.bin', size }));
  await p.fileAnswer(s.k, 'hhhhhhh', true);
  let at = 0;
  for (const n of sizes) {
    const chunk = new Uint8Array(n);
    for (let i = 0; i < n; i++) chunk[i] = byteAt(at + i);
    at += n;
    p.fileMsg(s, chunk.buffer);
    if (n === 1) await settle();
  }
  p.fileMsg(s, JSON.stringify({ t: 'fe', id: 'hhhhhhh' }));
  for (let i = 0; i < 50 && s.rx; i++) await settle();
  assert.equal(s.rx, null);
  assert.equal(p.boxes.at(-1).text, 'fileDone');
  const pieces = await Promise.all(p.sink.bytes.map(async (b) => new Uint8Array(await b.arrayBuffer())));
  assert.ok(pieces.every((b) => b.byteLength < 2 * 1048576), 'pieces stay within what one write takes');
  const got = new Uint8Array(size);
  let n = 0;
  for (const b of pieces) { got.set(b, n); n += b.byteLength; }
  assert.equal(n, size);
  const wrong = got.findIndex((v, i) => v !== byteAt(i));
  assert.equal(wrong, -1, `byte ${wrong} is wrong`);
  const acks = s.sent.filter((m) => m.t === 'fk').map((m) => m.got);
  assert.deepEqual(acks, pieces.map((_, i) => pieces.slice(0, i + 1).reduce((a, b) => a + b.byteLength, 0)), 'each piece is acknowledged once written');
});

test('the receiver\'s window paces the sender: what is unwritten stays bounded, and an old peer still gets its file', async (t) => {
  recordTimers(t); // only the receiver's word wakes a waiting sender: no 500 ms rechecks
  const WIN = 4194304, PIECE = 1048576;
  const size = 20 * PIECE + 12345;
  // A pattern whose period (a prime) matches no chunk or piece size: a piece out of place shows.
  const data = new Uint8Array(size);
  for (let i = 0; i < 65521; i++) data[i] = (i * 31 + (i >> 8)) & 255;
  for (let at = 65521; at < size; at *= 2) data.copyWithin(at, 0, Math.min(at, size - at));
  const file = { name: 'grande.bin', size, slice: (a, b) => new Blob([data.subarray(a, Math.min(size, b))]) };
  const cases = [
    { name: 'a receiver that writes', old: false, stall: false },
    { name: 'a receiver whose disk stops taking pieces', old: false, stall: true },
    { name: 'a receiver of the version before windows (no win, no fk)', old: true, stall: false },
    // A real file is read into one buffer, reused for every block.
    { name: 'a file read through the browser\'s own reader', old: false, stall: false, file: new File([data], 'grande.bin') },
  ];
  for (const c of cases) {
    const tx = await bench(), rx = await bench();
    const a = tx.session('a'), b = rx.session('b');
    // The channel between the two pages, in order; the older receiver neither gives a
    // window nor tells what it has written.
    let sent = 0, acked = 0, worst = 0;
    a.dc.file.send = (m) => {
      if (typeof m !== 'string') {
        sent += m.byteLength;
        worst = Math.max(worst, sent - acked);
        m = m.slice().buffer;
      }
      setImmediate(() => rx.fileMsg(b, m));
    };
    b.dc.file.send = (m) => {
      const msg = JSON.parse(m);
      if (c.old && msg.t === 'fk') return;
      if (c.old) delete msg.win;
      if (msg.t === 'fk') acked = msg.got;
      setImmediate(() => tx.fileMsg(a, JSON.stringify(msg)));
    };
    rx.dialogUp = false;
    tx.filesOn.onoffer = () => {};
    rx.filesOn.onoffer = (s, r) => setImmediate(() => rx.fileAnswer(s.k, r.id, true));
    // The receiver's disk: with `stall`, the writes after the second hang until released.
    let release = () => {}, writes = 0;
    const write = rx.http.fetch;
    rx.http.fetch = async (url, init) => {
      if (c.stall && url.includes('escribir') && ++writes > 2) await new Promise((r) => (release = r));
      return write(url, init);
    };
    const sending = tx.sendFile(c.file ?? file, a);
    if (c.stall) {
      for (let i = 0; i < 40; i++) await settle();
      const queued = b.rx.got - b.rx.written;
      assert.ok(sent < size, `${c.name}: the sender stopped (${sent} of ${size} bytes sent)`);
      assert.ok(sent - 2 * PIECE <= WIN && queued <= WIN, `${c.name}: ${sent - 2 * PIECE} bytes unwritten, ${queued} queued in the receiving page`);
      c.stall = false;
      release();
    }
    await sending;
    for (let i = 0; i < 200 && b.rx; i++) await settle();
    assert.equal(b.rx, null, c.name);
    assert.equal(rx.boxes.at(-1).text, 'fileDone', c.name);
    const got = new Uint8Array(await new Blob(rx.sink.bytes).arrayBuffer());
    assert.equal(got.length, size, c.name);
    assert.ok(Buffer.from(got).equals(Buffer.from(data)), `${c.name}: the bytes on disk are the bytes sent`);
    if (!c.old) assert.ok(worst <= WIN, `${c.name}: ${worst} bytes were sent beyond what the receiver had written`);
  }
});

test('a file trickles while the session is in use and takes the whole link again once it sits still', async (t) => {
  const timers = recordTimers(t);
  const p = await bench();
  const s = p.session();
  // The session's statistics, read once a look: the clock moves a look each time, and the
  // technician's pointer moves (a message on mov) on the looks the script says.
  const moving = [false, true, true, true, true, false, false, false, false, false, false, false, false, false, false, false];
  let clock = 0, looks = 0, moves = 0, lastMove = -Infinity;
  p.paceClock.now = () => clock;
  s.pc = /** @type {any} */ ({
    getStats: async () => {
      clock += 250;
      if (moving[looks++]) [moves, lastMove] = [moves + 1, clock];
      return new Map([['d', { type: 'data-channel', label: 'mov', messagesSent: moves, messagesReceived: 0 }], ['v', { type: 'inbound-rtp', kind: 'video', bytesReceived: 88 * looks }]]);
    },
  });
  const sent = [];
  const send = s.dc.file.send;
  s.dc.file.send = (m) => {
    if (typeof m !== 'string') sent.push({ n: m.byteLength, sinceMove: clock - lastMove });
    send(m);
  };
  const size = 10 * 65536;
  const sending = p.sendFile({ name: 'a', size, slice: (a, b) => new Blob([new Uint8Array(Math.min(size, b) - a)]) }, s);
  await settle();
  p.fileMsg(s, JSON.stringify({ t: 'fa', id: s.sent[0].id, ok: true }));
  // The pauses between small messages are run by hand, each checked to keep the trickle's rate.
  let pauses = 0;
  for (let i = 0; i < 200 && sent.reduce((a, x) => a + x.n, 0) < size; i++) {
    await settle();
    const pause = timers.findIndex((x) => !x.every && x.ms < 1000);
    if (pause < 0) continue;
    const [{ f, ms }] = timers.splice(pause, 1);
    assert.ok(ms >= (sent.at(-1).n / p.BUSY_RATE) * 1000, `a pause of ${ms} ms after ${sent.at(-1).n} bytes`);
    pauses++;
    f();
  }
  await sending;
  assert.equal(sent.reduce((a, x) => a + x.n, 0), size, 'the whole file went');
  const inUse = sent.filter((x) => x.sinceMove < p.QUIET_MS);
  assert.ok(inUse.length >= 4 && inUse.every((x) => x.n <= p.BUSY_CHUNK), `small messages while in use: ${inUse.map((x) => x.n)}`);
  assert.equal(pauses, sent.filter((x) => x.n <= p.BUSY_CHUNK).length, 'a pause after each small message');
  const still = sent.filter((x) => x.sinceMove >= p.QUIET_MS + 250);
  assert.ok(still.length >= 4 && still.slice(0, -1).every((x) => x.n === 65536), `whole chunks once it sits still (the file's end aside): ${still.map((x) => x.n)}`);
  assert.equal(p.boxes.at(-1).text, 'fileSent');
});

test('chunks too few for a piece go to disk together, within a second; a piece\'s worth at once', async (t) => {
  const timers = recordTimers(t);
  const p = await bench();
  const s = p.session();
  p.fileMsg(s, JSON.stringify({ t: 'fs', id: 'kkkkkkk', name: 'a.bin', size: 3 * 16384 + 1048576 }));
  await p.fileAnswer(s.k, 'kkkkkkk', true);
  for (let i = 0; i < 3; i++) p.fileMsg(s, new ArrayBuffer(16384));
  await settle();
  assert.equal(p.sink.bytes.length, 0, 'a trickle is not written chunk by chunk');
  const gather = timers.filter((x) => !x.every && x.ms <= 1000);
  assert.equal(gather.length, 1, 'one wait for the chunks together');
  gather[0].f();
  await settle();
  assert.deepEqual(p.sink.bytes.map((b) => b.size), [3 * 16384]);
  assert.deepEqual(plain(s.sent.at(-1)), { t: 'fk', id: 'kkkkkkk', got: 3 * 16384 });
  for (let i = 0; i < 16; i++) p.fileMsg(s, new ArrayBuffer(65536));
  await settle();
  assert.deepEqual(p.sink.bytes.map((b) => b.size), [3 * 16384, 1048576], 'a whole piece goes without waiting');
});
