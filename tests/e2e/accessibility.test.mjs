// The page as a screen reader and a low-vision user meet it: axe-core run in a real
// Chromium over every view the page has, in Spanish and in English. The four tabs; a
// technician's viewer waiting for an answer; the helped PC's request dialog; the Call
// tab's lines and the calls dock of a ringing call, and the ring dialog on the called PC. Two real PCs through the
// real signalling server give the dialogs, the viewer and the dock, nothing is faked.
// Serious and critical findings fail; minor and moderate ones are left to review.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';

const skip = bedMissing();
const AXE = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
let bed, ana, beto;

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 76 });
  // Ana calls: a call starts with the caller's microphone, so hers plays a tone.
  [ana, beto] = await Promise.all([bed.tech('Ana', { tone: 440 }), bed.tech('Beto')]);
  for (const pc of [ana, beto]) {
    await pc.page.waitForFunction(() => kelvora.HOST.state === 'online', null, { timeout: 30000 });
    pc.id = await pc.eval(() => kelvora.ID.id);
    // Evaluated through the debugging protocol, so no page policy stands in its way.
    await pc.page.evaluate(AXE);
  }
});

after(async () => {
  await bed?.stop();
});

/**
 * The serious and critical findings of axe on what the page shows now, as lines
 * "rule: target (what is wrong)" so that a failure names each element to fix.
 */
async function findings(pc) {
  // Transitions and the toast's fade would make colours read half-way.
  await pc.page.waitForTimeout(400);
  const r = await pc.page.evaluate(() => axe.run(document, { resultTypes: ['violations'], runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'best-practice'] } }));
  return r.violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .flatMap((v) => v.nodes.map((n) => `${v.id}: ${n.target.join(' ')} (${(n.failureSummary || '').replace(/\s+/g, ' ').slice(0, 200)})`));
}

async function setLang(pc, lang) {
  if ((await pc.eval(() => kelvora.LANG)) !== lang) await pc.page.click('#langBtn');
  await pc.page.waitForFunction((l) => kelvora.LANG === l && document.documentElement.lang === l, lang, { timeout: 5000 });
}

for (const lang of ['es', 'en']) {
  test(`${lang}: the four tabs, the viewer, the request dialog and the calls dock have no serious finding`, { skip }, async (t) => {
    for (const pc of [ana, beto]) await setLang(pc, lang);

    await t.test('tabs', async () => {
      for (const tab of ['conectar', 'llamada', 'ajustes', 'ayuda']) {
        await ana.eval((tab) => kelvora.showTab(tab), tab);
        if (tab === 'ayuda') await ana.page.waitForSelector('#manual h2', { timeout: 10000 }).catch(() => {});
        assert.deepEqual(await findings(ana), [], `tab ${tab}`);
      }
      await ana.eval(() => kelvora.showTab('conectar'));
    });

    await t.test('a connection request: the technician viewer and the helped PC dialog', async () => {
      const k = await ana.connect(beto.id, { control: true });
      assert.ok(k, 'a session was opened');
      try {
        await beto.page.waitForSelector('#reqModal:not([hidden])', { timeout: 20000 });
        await ana.page.waitForSelector('#viewer:not([hidden])', { timeout: 10000 });
        assert.deepEqual(await findings(beto), [], 'request dialog');
        assert.deepEqual(await findings(ana), [], 'viewer');
      } finally {
        await ana.endAll();
        await beto.eval(() => { if (kelvora.HOST.req) kelvora.rejectReq(); });
        await beto.page.waitForFunction(() => !kelvora.HOST.req, null, { timeout: 20000 });
        await ana.eval(() => kelvora.minViewer());
      }
    });

    await t.test('a ringing call: the caller lines card and dock, the called PC ring dialog', async () => {
      await ana.eval(() => kelvora.showTab('llamada'));
      await ana.page.fill('#ringId', beto.id);
      await ana.page.click('#ringBtn');
      try {
        await beto.page.waitForSelector('#ringModal:not([hidden])', { timeout: 20000 });
        assert.deepEqual(await findings(beto), [], 'ring dialog');
        await ana.page.waitForSelector('#lnCard:not([hidden])', { timeout: 10000 });
        assert.deepEqual(await findings(ana), [], 'the Call tab with a line');
        // On the Call tab the lines are in its card; everywhere else the dock shows them.
        await ana.eval(() => kelvora.showTab('conectar'));
        await ana.page.waitForSelector('#dock:not([hidden])', { timeout: 10000 });
        assert.deepEqual(await findings(ana), [], 'calls dock');
      } finally {
        await beto.eval(() => kelvora.declineRing());
        await ana.eval(() => { for (const L of [...kelvora.LINES.values()]) kelvora.lineEnd(L, 'local'); });
        await ana.page.waitForFunction(() => kelvora.LINES.size === 0, null, { timeout: 15000 });
        await beto.page.waitForFunction(() => !kelvora.RINGIN, null, { timeout: 15000 });
      }
    });
  });
}
