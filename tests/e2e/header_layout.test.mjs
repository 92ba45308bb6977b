// The page's header in a real Chromium at the window widths people use, in both languages:
// nothing runs off the window, nothing overlaps, Quit stays on the tabs' row, and the
// header takes one row on a wide window and never more than two on a narrow one. With
// KELVORA_SHOTS=<folder> it also leaves a picture of each case there, to look at.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';

const skip = bedMissing();
const SHOTS = process.env.KELVORA_SHOTS || '';
let bed, pc;

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 84 });
  pc = await bed.tech('Ana');
  // Every chip the header can show once the server has answered.
  await pc.page.waitForFunction(() => kelvora.HOST.state === 'online' && kelvora.SRV.turn !== undefined, null, { timeout: 30000 });
  if (SHOTS) mkdirSync(SHOTS, { recursive: true });
});

after(async () => {
  await bed?.stop();
});

/** The header's parts as boxes: brand, tabs, chips, language, Quit, and the header itself. */
function boxes() {
  const box = (el) => {
    const r = el.getBoundingClientRect();
    return { left: r.left, right: r.right, top: r.top, bottom: r.bottom, width: r.width, height: r.height };
  };
  const h = document.querySelector('header');
  return {
    header: { ...box(h), scroll: h.scrollWidth, client: h.clientWidth },
    parts: Object.fromEntries([['brand', '.brand'], ['tabs', 'nav.tabs'], ['chips', '#pills'], ['lang', '#langBtn'], ['quit', '#quitBtn']]
      .map(([k, sel]) => [k, box(document.querySelector(sel))])),
    chips: [...document.querySelectorAll('#pills .pill')].map((c) => ({ ...box(c), label: c.textContent, title: c.title })),
    tabsScroll: document.querySelector('nav.tabs').scrollWidth - document.querySelector('nav.tabs').clientWidth,
    winW: innerWidth,
  };
}

const overlap = (a, b) => a.left < b.right - 0.5 && b.left < a.right - 0.5 && a.top < b.bottom - 0.5 && b.top < a.bottom - 0.5;
/** Rows of parts: parts whose vertical spans overlap share a row. */
function rows(parts) {
  const out = [];
  for (const p of Object.values(parts).sort((a, b) => a.top - b.top)) {
    const row = out.find((r) => p.top < r.bottom && r.top < p.bottom);
    if (row) Object.assign(row, { top: Math.min(row.top, p.top), bottom: Math.max(row.bottom, p.bottom) });
    else out.push({ top: p.top, bottom: p.bottom });
  }
  return out.length;
}

for (const lang of ['es', 'en']) {
  test(`${lang}: the header lays out cleanly from 480 px up`, { skip }, async () => {
    if ((await pc.eval(() => kelvora.LANG)) !== lang) await pc.page.click('#langBtn');
    await pc.page.waitForFunction((l) => kelvora.LANG === l, lang, { timeout: 5000 });
    // [window width, most rows the header may take]
    for (const [width, most] of [[1400, 1], [1181, 1], [1180, 1], [1000, 1], [861, 1], [860, 2], [760, 2], [561, 2], [560, 2], [480, 2]]) {
      await pc.page.setViewportSize({ width, height: 800 });
      await pc.page.waitForTimeout(150);
      const b = await pc.page.evaluate(boxes);
      const name = `${lang} ${width} px`;
      assert.ok(b.header.scroll <= b.header.client + 1, `${name}: the header runs off the window (${b.header.scroll} > ${b.header.client})`);
      assert.ok(b.tabsScroll <= 1, `${name}: the tabs need scrolling`);
      for (const [k, p] of Object.entries(b.parts)) {
        assert.ok(p.width > 0 && p.left >= -0.5 && p.right <= b.winW + 0.5, `${name}: ${k} is not wholly in the window`);
      }
      const keys = Object.keys(b.parts);
      for (const [i, k] of keys.entries()) {
        for (const o of keys.slice(i + 1)) assert.ok(!overlap(b.parts[k], b.parts[o]), `${name}: ${k} overlaps ${o}`);
      }
      const q = b.parts.quit, tabs = b.parts.tabs;
      assert.ok(q.top < tabs.bottom && tabs.top < q.bottom, `${name}: Quit is not on the tabs' row`);
      assert.ok(rows(b.parts) <= most, `${name}: the header takes ${rows(b.parts)} rows`);
      // A chip that shows only its dot still names itself, to the pointer and to a screen reader.
      for (const c of b.chips) assert.ok(c.label && c.title.startsWith(c.label), `${name}: a chip without its name`);
      if (SHOTS) await pc.page.screenshot({ path: join(SHOTS, `header-${lang}-${width}.png`), clip: { x: 0, y: 0, width, height: Math.ceil(b.header.bottom) + 40 } });
    }
  });
}
