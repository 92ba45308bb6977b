// Phone calls by ID between real pages through the real signalling server: three PCs whose
// microphones play three tones. Ringing, answer, talk and hang-up; decline; no answer;
// an offline ID; an unproven caller ID; a second call holds the first; a merge makes a conference mixed on the
// calling PC (each remote side hears the other's tone), and a split undoes it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';
import { tonesHeard, untilTones as until } from '../lib/tones.mjs';

const skip = bedMissing();
const HZ = { ana: 440, beto: 990, caro: 1320 };
const TONES = Object.values(HZ);
// Short, so the unanswered call ends soon; the page adds its own 3 s to it.
const RING_S = 6;
let bed, ana, beto, caro;

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 56, signalArgs: ['--ring-timeout', String(RING_S)] });
  [ana, beto, caro] = await Promise.all([
    bed.tech('Ana', { tone: HZ.ana }),
    bed.tech('Beto', { tone: HZ.beto }),
    bed.tech('Caro', { tone: HZ.caro }),
  ]);
  for (const pc of [ana, beto, caro]) {
    // A pure tone is what voice processing is made to take out; the tests want it through.
    await pc.settings({ llamada: { procesar_voz: 'no' } });
    await pc.page.waitForFunction(() => kelvora.HOST.state === 'online', null, { timeout: 30000 });
    pc.id = await pc.eval(() => kelvora.ID.id);
  }
});

after(async () => {
  await bed?.stop();
});

/** Ends every line and ring everywhere, so a failed test leaves nothing behind. */
async function hangAll() {
  for (const pc of [ana, beto, caro]) {
    await pc.eval(() => {
      kelvora.declineRing();
      for (const L of [...kelvora.LINES.values()]) kelvora.lineEnd(L, 'local');
    });
  }
  for (const pc of [ana, beto, caro]) {
    await pc.page.waitForFunction(() => kelvora.LINES.size === 0 && !kelvora.RINGIN, null, { timeout: 15000 });
    await pc.clearToasts();
  }
}

/** Calls `to` from the Call tab's field. */
async function call(from, to) {
  await from.eval(() => kelvora.showTab('llamada'));
  await from.page.fill('#ringId', to.id);
  await from.page.click('#ringBtn');
}

/** Waits for the ring dialog and clicks one of its buttons (yes, no, hold, merge). */
async function answer(pc, how = 'yes') {
  await pc.page.waitForSelector('#ringModal:not([hidden])', { timeout: 20000 });
  await pc.page.click(`#ringBox [data-ring="${how}"]`);
}

/** The line with peerId (or the only line), as plain fields. */
function line(pc, peerId = '') {
  return pc.eval((id) => {
    const L = [...kelvora.LINES.values()].find((o) => !id || o.peerId === id);
    return L ? { k: L.k, state: L.state, held: L.held, conf: L.conf, peerHold: L.peerHold, peer: L.peer } : null;
  }, peerId);
}

async function waitActive(pc, n = 1) {
  await pc.page.waitForFunction((n) => [...kelvora.LINES.values()].filter((L) => L.state === 'active').length === n, n, { timeout: 30000 });
}

/** The tones heard on the line with peerId (or the only line). */
function hears(pc, peerId = '') {
  const expr = `[...kelvora.LINES.values()].find((o) => ${JSON.stringify(peerId)} === '' || o.peerId === ${JSON.stringify(peerId)}).audio`;
  return tonesHeard(pc.page, expr, TONES);
}

test('a call rings, is answered, talks both ways and hangs up on both sides', { skip }, async () => {
  await hangAll();
  await call(ana, beto);
  const box = await beto.page.waitForSelector('#ringModal:not([hidden])', { timeout: 20000 });
  const text = await box.textContent();
  assert.ok(text.includes('Ana') && text.includes(`ID ${ana.id.replace(/(\d{3})(\d{3})(\d{3})/, '$1 $2 $3')}`), `the caller and its verified ID show: ${text}`);
  await ana.page.waitForFunction(() => [...kelvora.LINES.values()][0]?.state === 'ringing', null, { timeout: 10000 });
  await answer(beto);
  await waitActive(ana);
  await waitActive(beto);
  assert.equal((await line(ana)).peer, 'Beto', 'the caller learns the name of who answered');
  await until(() => hears(ana), [HZ.beto], 'Ana hears Beto');
  await until(() => hears(beto), [HZ.ana], 'Beto hears Ana');
  await ana.page.click('#lnList [data-act="hang"]');
  await beto.page.waitForFunction(() => kelvora.LINES.size === 0, null, { timeout: 10000 });
  await beto.toast('phEnded', null);
  assert.equal(await ana.eval(() => kelvora.LINES.size), 0);
  assert.match(ana.k.log(), /\[LLAMADA\] termina l\d+/);
});

test('declined, unanswered and offline calls end with their own message', { skip }, async () => {
  await hangAll();
  await call(ana, beto);
  await answer(beto, 'no');
  await ana.toast('phDeclined');
  await ana.page.waitForFunction(() => kelvora.LINES.size === 0, null, { timeout: 10000 });

  await call(ana, caro);
  await caro.page.waitForSelector('#ringModal:not([hidden])', { timeout: 20000 });
  await ana.toast('phNoAnswer', [], { ms: (RING_S + 20) * 1000 });
  await caro.toast('phMissed');
  assert.equal(await caro.eval(() => document.getElementById('ringModal').hidden), true);
  await ana.page.waitForFunction(() => kelvora.LINES.size === 0, null, { timeout: 10000 });

  await call(ana, { id: '987654321' });
  await ana.toast('phOffline');
  await ana.page.waitForFunction(() => kelvora.LINES.size === 0, null, { timeout: 10000 });

  for (const bad of ['012345678', '12345678']) {
    await call(ana, { id: bad });
    await ana.toast('badId');
  }
  await call(ana, ana);
  await ana.toast('selfId');
  assert.equal(await ana.eval(() => kelvora.LINES.size), 0);
});

test('a caller ID the server could not prove shows as claimed; the name is shown as text', { skip }, async () => {
  await hangAll();
  // No identity key with the ring: the server passes Ana's ID on only as a claim.
  const fake = bed.sig.ws(`/ring/${beto.id}`);
  await fake.send({ t: 'ring', name: '<b>Ana</b>', from: ana.id });
  await fake.next('ringing', 10000);
  await beto.page.waitForSelector('#ringModal:not([hidden])', { timeout: 20000 });
  const pretty = ana.id.replace(/(\d{3})(\d{3})(\d{3})/, '$1 $2 $3');
  assert.equal(await beto.page.textContent('#ringBox .ringId.unverified'), await beto.t('phClaimed', pretty));
  assert.equal(await beto.page.textContent('#ringBox .ringWho'), '<b>Ana</b>');
  await beto.page.click('#ringBox [data-ring="no"]');
  // A plain refusal: the server passes it on as "other", which the caller shows as declined.
  assert.equal((await fake.next('declined', 10000)).reason, 'other');
  await fake.close();
});

test('a second call holds the first; merge makes both hear each other; split undoes it', { skip }, async () => {
  await hangAll();
  await call(ana, beto);
  await answer(beto);
  await waitActive(ana);
  await call(ana, caro);
  await answer(caro);
  await waitActive(ana, 2);
  await waitActive(caro);
  // Calling Caro put Beto on hold, and Beto was told.
  assert.equal((await line(ana, beto.id)).held, true);
  await beto.page.waitForFunction(() => [...kelvora.LINES.values()][0]?.peerHold === true, null, { timeout: 10000 });
  await until(() => hears(beto), [], 'Beto on hold hears nothing');
  await until(() => hears(caro), [HZ.ana], 'Caro hears Ana');

  // Merge Beto in: each remote side hears Ana and the other remote side, never itself.
  await ana.eval((id) => kelvora.lineMerge([...kelvora.LINES.values()].find((o) => o.peerId === id).k), beto.id);
  await ana.toast('lnMerged');
  await until(() => hears(beto), [HZ.ana, HZ.caro], 'Beto hears Ana and Caro');
  await until(() => hears(caro), [HZ.ana, HZ.beto], 'Caro hears Ana and Beto');
  assert.equal((await line(ana, beto.id)).conf && (await line(ana, caro.id)).conf, true);

  // Split Caro out: the conference of one dissolves, Caro is on air alone, Beto held.
  await ana.eval((id) => kelvora.lineSplit([...kelvora.LINES.values()].find((o) => o.peerId === id).k), caro.id);
  const [b, c] = [await line(ana, beto.id), await line(ana, caro.id)];
  assert.deepEqual([b.conf, b.held, c.conf, c.held], [false, true, false, false]);
  await until(() => hears(caro), [HZ.ana], 'Caro hears only Ana again');
  await until(() => hears(beto), [], 'Beto is held again');
  await hangAll();
});
