// The group call between four real pages through the real kelvora-signal and coturn: each
// page's fake microphone plays its own tone, so every page must find the three others'
// tones in what it plays; a muted member falls silent for all; the room's host removes a
// member; the host leaving hands the room over; a ninth member is refused; a restart of
// the server brings the room back together.
import { test, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';
import { launchSignal } from '../lib/signal_server.mjs';
import { tonesHeard, untilTones } from '../lib/tones.mjs';

const skip = bedMissing();
const PEOPLE = [['Ana', 440], ['Beto', 660], ['Caro', 990], ['Dani', 1320]];
const TONES = PEOPLE.map(([, hz]) => hz);
const toneOf = Object.fromEntries(PEOPLE);
let bed, pcs;

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 60 });
  pcs = await Promise.all(PEOPLE.map(([name, tone]) => bed.tech(name, { tone })));
  for (const pc of pcs) await pc.eval(() => kelvora.showTab('llamada'));
});

after(async () => {
  await bed?.stop();
});

afterEach(async () => {
  if (skip) return;
  for (const pc of pcs) await pc.eval(() => kelvora.callLeave());
  for (const pc of pcs) await pc.clearToasts();
});

/** Creates a room with the button; gives its code once the server welcomed the page. */
async function create(pc) {
  await pc.page.click('#callCreateBtn');
  await pc.page.waitForFunction(() => kelvora.CALLX && kelvora.CALLX.joined, null, { timeout: 20000 });
  return pc.eval(() => kelvora.CALLX.code);
}

/** Types the code as a person might (lower case, blanks around it) and presses Join. */
async function typeCode(pc, code) {
  await pc.page.fill('#callCode', `  ${code.toLowerCase()} `);
  await pc.page.click('#callJoinBtn');
}

async function join(pc, code) {
  await typeCode(pc, code);
  await pc.page.waitForFunction(() => kelvora.CALLX && kelvora.CALLX.joined, null, { timeout: 20000 });
}

/** Waits until each page holds a connected peer for each of the others; fails with where each page stands. */
async function meshUp(group) {
  try {
    await Promise.all(
      group.map((pc) =>
        pc.page.waitForFunction(
          (n) => kelvora.CALLX && kelvora.CALLX.peers.size === n && [...kelvora.CALLX.peers.values()].every((p) => p.pc.connectionState === 'connected' && p.audio.srcObject),
          group.length - 1,
          { timeout: 90000 },
        ),
      ),
    );
  } catch (e) {
    const where = await Promise.all(
      group.map((pc) => pc.eval(() => kelvora.CALLX && [...kelvora.CALLX.peers.values()].map((p) => `${p.name}: ${p.pc.connectionState}/${p.pc.iceConnectionState}/${p.pc.signalingState}${p.audio.srcObject ? '' : ' (no sound)'}`))),
    );
    throw new Error(`the mesh did not come up: ${JSON.stringify(Object.fromEntries(group.map((pc, i) => [pc.name, where[i]])))}`, { cause: e });
  }
}

/** What a page should hear from each other member of group: its tone, or nothing from those in silent. */
function expected(pc, silent = [], group = pcs) {
  const names = group.map((g) => g.name);
  return Object.fromEntries(PEOPLE.filter(([n]) => n !== pc.name && names.includes(n)).map(([n, hz]) => [n, silent.includes(n) ? [] : [hz]]));
}

/** Each member's tones as one page hears them, by the member's name (in name order). */
async function heardBy(pc) {
  const peers = await pc.eval(() => [...kelvora.CALLX.peers.values()].map((p) => [p.id, p.name]).sort((a, b) => a[1].localeCompare(b[1])));
  const out = {};
  for (const [id, name] of peers) out[name] = await tonesHeard(pc.page, `kelvora.CALLX.peers.get(${JSON.stringify(id)}).audio`, TONES);
  return out;
}

/** Where a page stands in the call: own id, host, and each peer's name → {talk, muted}. */
function view(pc) {
  return pc.eval(() => ({
    me: kelvora.CALLX && kelvora.CALLX.me,
    host: kelvora.CALLX && kelvora.CALLX.host,
    peers: kelvora.CALLX ? Object.fromEntries([...kelvora.CALLX.peers.values()].map((p) => [p.name, { id: p.id, talk: p.talk, muted: p.muted }])) : null,
    kicks: document.querySelectorAll('#callPeople .ckick').length,
  }));
}

test('four pages: everyone hears the three others, and a muted member falls silent for all', { skip }, async () => {
  const code = await create(pcs[0]);
  for (const pc of pcs.slice(1)) await join(pc, code);
  await meshUp(pcs);

  await Promise.all(pcs.map((pc) => untilTones(() => heardBy(pc), expected(pc), `${pc.name} hears`)));
  // Every member's voice has the latency-first receive setting of session voice and phone
  // lines (a receiver left alone reports no target at all).
  for (const pc of pcs) {
    const targets = await pc.eval(() => [...kelvora.CALLX.peers.values()].flatMap((p) => p.pc.getReceivers().map((r) => r.jitterBufferTarget)));
    assert.deepEqual(targets, [0, 0, 0], `${pc.name}'s receivers`);
  }
  // Each page draws the room: itself and three others, everyone's tone counts as speaking.
  for (const pc of pcs) {
    await pc.page.waitForFunction(() => [...kelvora.CALLX.peers.values()].every((p) => p.talk) && kelvora.CALLX.talk, null, { timeout: 10000 });
    assert.equal(await pc.page.locator('#callPeople .item').count(), 4);
    assert.equal(await pc.page.textContent('#callInfo'), await pc.t('callPeople', 4));
  }

  const [ana, beto, caro, dani] = pcs;
  await beto.page.click('#callMuteBtn');
  assert.equal(await beto.page.textContent('#callMuteBtn'), await beto.t('callMuted'));
  for (const pc of [ana, caro, dani]) {
    await pc.page.waitForFunction(() => [...kelvora.CALLX.peers.values()].some((p) => p.name === 'Beto' && p.muted && !p.talk), null, { timeout: 10000 });
    // The tone falls silent a moment after the news of the mute.
    await untilTones(() => heardBy(pc), expected(pc, ['Beto']), `${pc.name} with Beto muted`);
    // Beto's row shows the muted mark and no longer the speaking one.
    const row = `#callPeople .item[data-id="${(await view(pc)).peers.Beto.id}"]`;
    await pc.page.waitForFunction((sel) => {
      const r = document.querySelector(sel);
      return r && !r.classList.contains('talk') && !r.querySelector('.cmuted').hidden;
    }, row, { timeout: 15000 });
  }
  await beto.page.click('#callMuteBtn');
  await ana.page.waitForFunction(() => [...kelvora.CALLX.peers.values()].some((p) => p.name === 'Beto' && !p.muted), null, { timeout: 10000 });
  await untilTones(async () => (await heardBy(ana)).Beto, [toneOf.Beto], 'Ana after Beto unmuted');

  // Sound off and volume are this page's own business.
  await dani.page.click('#callDeafBtn');
  assert.ok(await dani.eval(() => [...kelvora.CALLX.peers.values()].every((p) => p.audio.muted)));
  await dani.page.click('#callDeafBtn');
  assert.ok(await dani.eval(() => [...kelvora.CALLX.peers.values()].every((p) => !p.audio.muted)));
  const anaId = (await view(dani)).peers.Ana.id;
  await dani.page.fill(`#callPeople .cvol[data-id="${anaId}"]`, '25');
  assert.equal(await dani.eval((id) => kelvora.CALLX.peers.get(id).audio.volume, anaId), 0.25);
});

test('the host removes a member; when the host leaves the longest-present member takes over', { skip }, async () => {
  const [ana, beto, caro, dani] = pcs;
  const code = await create(ana);
  for (const pc of [beto, caro, dani]) await join(pc, code);
  await meshUp(pcs);

  // Only the host is offered the remove buttons.
  const va = await view(ana);
  assert.equal(va.host, va.me);
  assert.equal(va.kicks, 3);
  for (const pc of [beto, caro, dani]) assert.equal((await view(pc)).kicks, 0);

  await ana.page.click(`#callPeople .ckick[data-id="${va.peers.Dani.id}"]`);
  await dani.toast('callKicked');
  assert.equal(await dani.eval(() => kelvora.CALLX), null);
  for (const pc of [ana, beto, caro]) await pc.page.waitForFunction(() => kelvora.CALLX.peers.size === 2 && [...kelvora.CALLX.peers.values()].every((p) => p.name !== 'Dani'), null, { timeout: 10000 });

  await ana.page.click('#callLeaveBtn');
  assert.equal(await ana.eval(() => kelvora.CALLX), null);
  const betoId = (await view(beto)).me;
  for (const pc of [beto, caro]) await pc.page.waitForFunction((id) => kelvora.CALLX.host === id && kelvora.CALLX.peers.size === 1, betoId, { timeout: 10000 });
  assert.equal((await view(beto)).kicks, 1);
  assert.equal((await view(caro)).kicks, 0);
  // The new host may use the power it was handed.
  await beto.page.click('#callPeople .ckick');
  await caro.toast('callKicked');
  await beto.page.waitForFunction(() => kelvora.CALLX.peers.size === 0, null, { timeout: 10000 });
});

test('a ninth member is refused, a short code never reaches the server, a drawn code in use is drawn again', { skip }, async () => {
  const [ana, beto, caro] = pcs;
  const code = await create(ana);
  // Seven more members from their own loopback addresses: plain sockets, cheaper than pages.
  const fill = [];
  for (let i = 0; i < 7; i++) {
    const c = bed.sig.ws(`/call/${code}`, { localAddress: `127.0.2.${10 + i}` });
    await c.send({ t: 'join', name: `relleno ${i}`, create: false });
    c.welcome = await c.next('welcome', 10000);
    fill.push(c);
  }
  await ana.page.waitForFunction(() => kelvora.CALLX.peers.size === 7, null, { timeout: 10000 });
  assert.equal(await ana.page.textContent('#callInfo'), await ana.t('callPeople', 8));

  // What members send may be anything: the page keeps only what makes sense.
  const me = (await view(ana)).me;
  await fill[0].send({ t: 'state', talk: 'yes', muted: 1 });
  await fill[1].send({ t: 'signal', to: me, data: { sdp: { type: 'offer', sdp: 'v=0 nada' } } });
  await fill[1].send({ t: 'signal', to: me, data: { ice: { candidate: 'x'.repeat(5000), sdpMid: '0' } } });
  await fill[2].send({ t: 'signal', to: me, data: { sdp: { type: 'answer', sdp: 7 } } });
  await fill[3].send({ t: 'state', talk: true, muted: false });
  await ana.page.waitForFunction((id) => kelvora.CALLX.peers.get(id).talk === true, fill[3].welcome.id, { timeout: 10000 });
  const f0 = await ana.eval((id) => ({ talk: kelvora.CALLX.peers.get(id).talk, muted: kelvora.CALLX.peers.get(id).muted }), fill[0].welcome.id);
  assert.deepEqual(f0, { talk: false, muted: false });

  await typeCode(beto, code);
  await beto.toast('callFull');
  assert.equal(await beto.eval(() => kelvora.CALLX), null);
  assert.equal(await beto.eval(() => document.getElementById('callRoom').hidden), true);
  for (const c of fill) c.close();

  await beto.page.fill('#callCode', 'ABCDE');
  await beto.page.click('#callJoinBtn');
  await beto.toast('callBadCode');
  assert.equal(await beto.eval(() => kelvora.CALLX), null);

  // Caro "draws" the code of Ana's room: the server refuses to create it, Caro draws again
  // and ends up alone in a room of her own.
  await caro.eval((c) => kelvora.callStart(c, true), code);
  await caro.page.waitForFunction(() => kelvora.CALLX && kelvora.CALLX.joined, null, { timeout: 20000 });
  const mine = await caro.eval(() => ({ code: kelvora.CALLX.code, peers: kelvora.CALLX.peers.size, host: kelvora.CALLX.host === kelvora.CALLX.me }));
  assert.notEqual(mine.code, code);
  assert.deepEqual({ peers: mine.peers, host: mine.host }, { peers: 0, host: true });
  assert.equal(await ana.eval(() => kelvora.CALLX.peers.size), 0);
});

test('a restart of the server: the members come back into the same room and hear each other again', { skip }, async () => {
  const group = pcs.slice(0, 3);
  const code = await create(group[0]);
  for (const pc of group.slice(1)) await join(pc, code);
  await meshUp(group);
  const before = await Promise.all(group.map((pc) => pc.eval(() => kelvora.CALLX.me)));

  // Stopping says "server going away" to every socket; a new server takes the same address.
  const old = bed.sig;
  await old.stop();
  old.cleanup();
  bed.sig = await launchSignal(['--turn-url', bed.turn.url, '--turn-secret', bed.turn.secret, '--listen', `127.0.0.1:${old.port}`]);

  await Promise.all(group.map((pc, i) => pc.page.waitForFunction((old) => kelvora.CALLX && kelvora.CALLX.joined && kelvora.CALLX.me && kelvora.CALLX.me !== old, before[i], { timeout: 60000 })));
  await meshUp(group);
  for (const pc of group) {
    assert.equal(await pc.eval(() => kelvora.CALLX.code), code);
    await untilTones(() => heardBy(pc), expected(pc, [], group), `${pc.name} hears after the restart`);
  }
});
