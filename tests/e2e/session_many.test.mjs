// Sessions in numbers and in trouble: through the TURN relay only, two helped PCs in two
// viewer tabs, the ninth session refused, and a helped PC whose browser dies.
import { test, before, beforeEach, after } from 'node:test';
import assert from 'node:assert/strict';
import { SessionBed, bedMissing, PRIMARY } from '../lib/session_bed.mjs';
import { waitFor } from '../lib/kelvora.mjs';

const skip = bedMissing();
let bed, ana, caro, tech;

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 66 });
  [ana, caro, tech] = await Promise.all([bed.host('PC de Ana'), bed.host('PC de Caro'), bed.tech('Técnico Beto')]);
});

beforeEach(async () => {
  await bed?.reset();
});

after(async () => {
  await bed?.stop();
});

async function allEnded() {
  await tech.endAll();
  for (const h of [ana, caro]) await h.waitNoSession();
  await tech.clearToasts();
}

test('with the relay setting the session goes through coturn and says so', { skip, timeout: 180000 }, async () => {
  await tech.settings({ general: { conexion: 'relevo' } });
  try {
    const k = await tech.connect(ana.id);
    await ana.accept();
    await tech.waitPicture(k);
    assert.equal((await tech.session(k)).relayTried, true);
    await tech.page.waitForFunction(() => /^TURN\b/.test(document.getElementById('vStat').textContent.trim()), null, { timeout: 15000 });
    // The host's side of the pair is a relay candidate too.
    await ana.page.waitForFunction(() => kelvora.HSES && /^TURN\b/.test(kelvora.HSES.statTxt), null, { timeout: 15000 });
  } finally {
    await tech.settings({ general: { conexion: 'auto' } });
    await allEnded();
  }
});

test('two helped PCs in two tabs; Ctrl+Alt+arrows switch without reaching either PC', { skip, timeout: 180000 }, async () => {
  const target = await bed.target({ x: PRIMARY.x + 200, y: 700, w: 300, h: 200 }, '#e0a020');
  const ka = await tech.connect(ana.id);
  await ana.accept();
  await tech.waitPicture(ka);
  const kc = await tech.connect(caro.id);
  await caro.accept();
  await tech.waitPicture(kc);
  assert.equal(await tech.eval(() => kelvora.CUR), kc, 'the newest session is shown');
  const tabs = await tech.page.textContent('#vtabs');
  assert.ok(tabs.includes('PC de Ana') && tabs.includes('PC de Caro'), `a tab each: ${tabs}`);

  // Focus the X client on the desktop both PCs share here, then switch twice.
  await tech.clickRemote(kc, PRIMARY.x + 300, 780);
  await target.waitFor((e) => e.e === 'down', 'the click', 15000);
  const from = target.events.length;
  await tech.page.keyboard.press('Control+Alt+ArrowRight');
  await tech.page.waitForFunction((ka) => kelvora.CUR === ka, ka);
  await tech.page.focus('#vlayer');
  await tech.page.keyboard.press('Control+Alt+ArrowLeft');
  await tech.page.waitForFunction((kc) => kelvora.CUR === kc, kc);
  // Let whatever was sent arrive: a round trip on each session's ordered channel.
  await tech.eval(() => { for (const s of kelvora.TS.values()) { s.resInfo = null; kelvora.ctl(s, { t: 'res-get' }); } });
  await tech.page.waitForFunction(() => [...kelvora.TS.values()].every((s) => s.resInfo));
  // The X server hands the events to the target client in its own time, after our input
  // request has answered: a release still on its way is not a key left held.
  const count = (/** @type {string[]} */ keys, /** @type {string} */ e) => keys.filter((x) => x === e).length;
  const held = (/** @type {string[]} */ keys) => [...new Set(keys.filter((x) => x[0] === '+').map((x) => x.slice(1)))].filter((k) => count(keys, '+' + k) !== count(keys, '-' + k));
  await waitFor(() => held(target.keys(from)).length === 0, 'every key released', 5000).catch(() => {});
  const keys = target.keys(from);
  assert.ok(!keys.some((k) => /Right|Left$/.test(k) && !/_L$|_R$/.test(k)), `no arrow reached the PC: ${keys}`);
  assert.deepEqual(held(keys), [], `no key is left held: ${keys}`);
  await target.close();
  await allEnded();
});

test('a ninth session is refused while eight wait', { skip, timeout: 180000 }, async () => {
  // Eight PCs that are online and never answer keep eight sessions waiting.
  const ids = Array.from({ length: 8 }, (_, i) => String(700000001 + i));
  for (const id of ids) await bed.fakeHost(id);
  for (const id of ids) {
    const k = await tech.connect(id);
    assert.ok(k, `a session for ${id}`);
    // The server has put it through: the countdown of the wait shows.
    await tech.page.waitForFunction((k) => kelvora.TS.get(k) && kelvora.TS.get(k).waitTxt.startsWith(kelvora.t('waitAccept')), k);
  }
  assert.equal(await tech.eval(() => kelvora.TS.size), 8);
  await tech.clearToasts();
  assert.equal(await tech.connect(ana.id), null, 'no ninth session');
  await tech.toast('sesMax', [8]);
  assert.equal(await tech.eval(() => kelvora.TS.size), 8);
  assert.equal(await ana.eval(() => !kelvora.HOST.req), true, 'the ninth PC was never asked');
  await allEnded();
});

test('the helped PC\'s browser dies: the technician ends the session as lost', { skip, timeout: 180000 }, async () => {
  const k = await tech.connect(ana.id);
  await ana.accept();
  await tech.waitPicture(k);
  await tech.clearToasts();
  ana.killBrowser();
  await tech.toast('endedLost', [], { ms: 60000 });
  await tech.waitGone(k, 5000);
});
