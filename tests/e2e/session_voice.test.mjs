// Session voice between real pages: each fake microphone plays its own tone, and each side
// must find the other's tone (never its own) in its voice element; holding silences the line
// both ways and the other side is told; a microphone that goes away is reopened; the native
// side logs each call's start and end; voice asked for in the request dialog reaches the
// technician even though it starts before the session's channels open.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';
import { tonesHeard, untilTones as until } from '../lib/tones.mjs';

const skip = bedMissing();
const ANA_HZ = 440;
const BETO_HZ = 990;
const TONES = [ANA_HZ, BETO_HZ];
let bed, ana, beto, k;

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 55 });
  [ana, beto] = await Promise.all([bed.host('PC de Ana', { tone: ANA_HZ }), bed.tech('Técnico Beto', { tone: BETO_HZ })]);
  // A pure tone is what voice processing is made to take out; the tests want it through.
  for (const pc of [ana, beto]) await pc.settings({ llamada: { procesar_voz: 'no' } });
  k = await beto.connect(ana.id);
  await ana.accept();
  await beto.waitPicture(k);
});

after(async () => {
  await bed?.stop();
});

const anaHears = () => tonesHeard(ana.page, 'kelvora.HSES.vaud', TONES);
const betoHears = () => tonesHeard(beto.page, `kelvora.TS.get(${JSON.stringify(k)}).vaud`, TONES);

/** Waits until the PC's log has a line matching re. */
async function waitLog(pc, re) {
  for (let i = 0; i < 50 && !re.test(pc.k.log()); i++) await new Promise((r) => setTimeout(r, 100));
  assert.match(pc.k.log(), re);
}

test('voice crosses both ways, never back to its speaker; the other side is invited and joins', { skip }, async () => {
  await beto.page.click('#vCall');
  await ana.page.waitForFunction(() => kelvora.HSES && kelvora.HSES.peerMic === true, null, { timeout: 15000 });
  await ana.toast('peerCallOn');
  // The helped person joins from the offer in the calls panel.
  await ana.page.click('#dock [data-take]', { timeout: 10000 });
  await ana.page.waitForFunction(() => kelvora.HSES.line && kelvora.HSES.line.state === 'active', null, { timeout: 15000 });
  await beto.page.waitForFunction((k) => kelvora.TS.get(k).peerMic === true, k, { timeout: 15000 });
  await until(anaHears, [BETO_HZ], 'Ana hears Beto only');
  await until(betoHears, [ANA_HZ], 'Beto hears Ana only');
  assert.equal(await beto.page.textContent('#vCall'), await beto.t('callOn'));
  assert.match(ana.k.log(), /\[LLAMADA\] empieza l\d+/);
});

test('hold silences the line both ways and the other side shows it; resuming brings the voice back', { skip }, async () => {
  await beto.eval((k) => kelvora.lineHold(kelvora.TS.get(k).line.k), k);
  await ana.page.waitForFunction(() => kelvora.HSES.peerHold === true, null, { timeout: 10000 });
  await ana.page.waitForFunction((txt) => document.getElementById('dock').textContent.includes(txt), await ana.t('lnPeerHold'), { timeout: 5000 });
  // Beto's side sends silence and no longer plays Ana.
  await until(anaHears, [], 'Ana hears nothing from a held line');
  assert.equal(await beto.eval((k) => kelvora.TS.get(k).vaud.muted, k), true);
  assert.equal(await beto.page.textContent('#vCall'), await beto.t('lnVoiceHeld'));
  // The voice button of a held line brings it back on air.
  await beto.page.click('#vCall');
  await ana.page.waitForFunction(() => kelvora.HSES.peerHold === false, null, { timeout: 10000 });
  await until(anaHears, [BETO_HZ], 'Ana hears Beto again');
  assert.equal(await beto.eval((k) => kelvora.TS.get(k).vaud.muted, k), false);
});

test('muting the microphone silences the line, which sends the microphone itself while it carries nothing else; unmuting brings the voice back', { skip }, async () => {
  await beto.page.click('#dock [data-dk="mic"]', { timeout: 10000 });
  await until(anaHears, [], 'Ana hears nothing from a muted microphone');
  await beto.page.click('#dock [data-dk="mic"]', { timeout: 10000 });
  await until(anaHears, [BETO_HZ], 'Ana hears Beto after the unmute');
});

test('a microphone that goes away mid-call is reopened and the other side hears it again', { skip }, async () => {
  const before = await beto.eval(() => kelvora.MIX.mic.id);
  // As when a USB microphone is pulled: the track ends on its own.
  await beto.eval(() => {
    const tr = kelvora.MIX.mic.getAudioTracks()[0];
    tr.stop();
    tr.dispatchEvent(new Event('ended'));
  });
  await beto.toast('micBack');
  assert.notEqual(await beto.eval(() => kelvora.MIX.mic.id), before, 'a new microphone stream');
  await until(anaHears, [BETO_HZ], 'Ana hears Beto through the reopened microphone');
  await waitLog(beto, /\[MICROFONO\] «.*» se cerró \(desconectado o el sistema lo quitó\)/);
});

test('turning the voice off tells the other side; ending the session ends its line and logs it', { skip }, async () => {
  await beto.page.click('#vCall');
  await ana.page.waitForFunction(() => kelvora.HSES.peerMic === false, null, { timeout: 10000 });
  assert.equal(await beto.eval(() => kelvora.LINES.size), 0);
  await until(anaHears, [], 'no voice once Beto turned it off');
  await bed.reset();
  await ana.page.waitForFunction(() => kelvora.LINES.size === 0 && document.getElementById('dock').hidden, null, { timeout: 10000 });
  const log = ana.k.log();
  const key = log.match(/\[LLAMADA\] empieza (l\d+)/)[1];
  assert.match(log, new RegExp(`\\[LLAMADA\\] termina ${key}`));
});

test('voice turned on in the request dialog is told to the technician once the session stands', { skip }, async () => {
  await bed.reset();
  k = await beto.connect(ana.id);
  await ana.request();
  await ana.page.check('#reqCall');
  await (await ana.acceptButton()).click({ timeout: 10000 });
  await beto.page.waitForFunction((k) => kelvora.TS.get(k)?.peerMic === true, k, { timeout: 30000 });
  await beto.toast('peerCallOn');
  await beto.page.waitForFunction(() => !document.getElementById('dock').hidden && document.querySelector('#dock [data-take]'), null, { timeout: 10000 });
  await beto.eval(() => kelvora.minViewer());
  await beto.page.click('#dock [data-take]');
  await until(anaHears, [BETO_HZ], 'Ana hears Beto');
  await until(betoHears, [ANA_HZ], 'Beto hears Ana');
  await bed.reset();
});
