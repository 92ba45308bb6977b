// The Call tab and the calls dock on a stand-in document: where a peer's invitation to talk
// shows, and what a session's voice row says about its connection.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeDocument, fakeFetch } from '../../lib/web_modules.mjs';

const CALLS = ['ui/calls.js', 'ui/dom.js', 'net/phone.js', 'net/session.js', 'net/peer.js', 'media/mixer.js'];

/** The calls modules on a stand-in document, the Call tab shown or not. */
async function calls(callTab) {
  const p = await load(CALLS);
  p.doc = fakeDocument();
  p.dom.document = () => p.doc;
  p.http.fetch = fakeFetch().fetch;
  p.doc.querySelector('#tab-llamada').hidden = !callTab;
  return p;
}

test("a peer's voice offer shows in the Call tab as well as in the dock", async () => {
  // [the Call tab is shown, the dock is folded] → where the offer shows. The Call tab's card
  // always lists it; the dock steps aside while the Call tab is shown.
  for (const [callTab, folded, want] of [
    [false, false, { dock: true, card: true }],
    [false, true, { dock: true, card: true }],
    [true, false, { dock: false, card: true }],
    [true, true, { dock: false, card: true }],
  ]) {
    const p = await calls(callTab);
    p.ST.DOCKMIN = folded;
    for (const [role, k] of [['tech', 't1'], ['host', 'h1']]) {
      const s = p.newSession(role, { k, peer: 'PC de Ana', connected: true, peerMic: true });
      if (role === 'host') p.ST.HSES = s;
      else p.TS.set(k, s);
    }
    p.renderDock(true);
    const dock = p.doc.querySelector('#dock'), card = p.doc.querySelector('#lnCard'), list = p.doc.querySelector('#lnList');
    const name = JSON.stringify({ callTab, folded });
    const shows = (html) => ['t1', 'h1'].every((k) => html.includes(`data-take="${k}"`));
    assert.equal(!dock.hidden && shows(dock.innerHTML), want.dock, `dock ${name}`);
    assert.equal(!card.hidden && shows(list.innerHTML), want.card, `Call tab ${name}`);
    // With no line yet there is no microphone to mute or meter to show.
    assert.doesNotMatch(list.innerHTML, /data-dk="mic"|data-meter/, name);

    // Taking it (or the peer turning its voice off) leaves no offer behind.
    for (const s of [...p.TS.values(), p.ST.HSES]) s.peerMic = false;
    p.renderDock(true);
    assert.equal(card.hidden, true, `no line, no offer: the card goes ${name}`);
    assert.doesNotMatch(list.innerHTML + dock.innerHTML, /data-take/, name);
  }
});

/** A stats report with a chosen pair whose local side is of type `local`, and an RTP entry for the session line. */
function report(local, rtt) {
  const entries = [
    ['T', { type: 'transport', selectedCandidatePairId: 'P' }],
    ['P', { type: 'candidate-pair', state: 'succeeded', nominated: true, localCandidateId: 'L', remoteCandidateId: 'R', ...(rtt === undefined ? {} : { currentRoundTripTime: rtt }) }],
    ['L', { type: 'local-candidate', candidateType: local }],
    ['R', { type: 'remote-candidate', candidateType: 'srflx' }],
    ['V', { type: 'inbound-rtp', kind: 'video', framesPerSecond: 30, frameWidth: 1920, frameHeight: 1080, bytesReceived: 1000 }],
  ];
  return new Map(entries);
}

test("a session's voice row shows its round trip and whether it goes through TURN, as a phone line's does", async (t) => {
  t.mock.timers.enable({ apis: ['setInterval', 'setTimeout'] });
  // [local candidate type, round trip in s] → what the row and the viewer's statistics say.
  for (const [local, rtt, row, bar] of [
    ['relay', 0.0416, 'phActive · 0:00 · 42 ms · TURN · lnSesTag', /^TURN · 42 ms · 30 fps/],
    ['host', 0.008, 'phActive · 0:00 · 8 ms · lnSesTag', /^P2P · 8 ms · 30 fps/],
    ['srflx', undefined, 'phActive · 0:00 · lnSesTag', /^P2P · 30 fps/],
  ]) {
    const p = await calls(false);
    const s = p.newSession('tech', { k: 't1', peer: 'PC de Ana', connected: true });
    p.TS.set(s.k, s);
    s.pc = { getStats: async () => report(local, rtt) };
    const L = p.newLine('ses', { ses: s, peer: s.peer, state: 'active', started: Date.now() });
    s.line = L;
    let sampled = false;
    p.sessionOn.onchange = (_, what) => { if (what === 'stats') sampled = true; };
    p.startStats(s);
    t.mock.timers.tick(2000);
    for (let i = 0; i < 20 && !sampled; i++) await new Promise((r) => setImmediate(r));
    assert.ok(sampled, 'a statistics sample was taken');
    assert.equal(p.lineStatus(L, L.started), row, local);
    assert.match(s.statTxt, bar, local);
    // Held, the round trip is left out as for any line; the path still shows.
    L.held = true;
    assert.equal(p.lineStatus(L, L.started).includes(' ms'), false, `${local} held`);
    clearInterval(s.timers.stats);
  }
});
