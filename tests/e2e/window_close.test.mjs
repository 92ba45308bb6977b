// Closing the app window in a real Chromium: with a session open the browser asks first
// (Ctrl+W or Alt+F4 meant for the remote PC must not end every session silently), and
// staying keeps the session; with nothing open the window just closes.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';

const skip = bedMissing();
let bed, ana, beto;

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 86 });
  [ana, beto] = await Promise.all([bed.tech('Ana'), bed.tech('Beto')]);
  for (const pc of [ana, beto]) {
    await pc.page.waitForFunction(() => kelvora.HOST.state === 'online', null, { timeout: 30000 });
    pc.id = await pc.eval(() => kelvora.ID.id);
  }
});

after(async () => {
  await bed?.stop();
});

/** Closes the page as a window close does; gives the dialogs it raised, each dismissed (stay). */
async function tryClose(page) {
  const asked = [];
  const onDialog = (d) => {
    asked.push(d.type());
    d.dismiss().catch(() => {});
  };
  page.on('dialog', onDialog);
  // A user who typed in the page: browsers ask only on pages the user has touched.
  await page.mouse.click(5, 5);
  await page.close({ runBeforeUnload: true });
  await new Promise((r) => setTimeout(r, 1500));
  page.off('dialog', onDialog);
  return asked;
}

test('with a session open the window asks before closing, and staying keeps the session', { skip, timeout: 120000 }, async () => {
  const k = await ana.connect(beto.id);
  assert.ok(k, 'a session was opened');
  await beto.page.waitForSelector('#reqModal:not([hidden])', { timeout: 20000 });
  assert.deepEqual(await tryClose(ana.page), ['beforeunload']);
  assert.equal(ana.page.isClosed(), false);
  assert.equal(await ana.eval((k) => kelvora.TS.has(k), k), true, 'the session is still there');
  assert.equal(await beto.eval(() => !!kelvora.HOST.req), true, 'the other PC still sees the request');

  // Nothing open: no question, the page goes (and the request it made ends with it).
  await ana.endAll();
  await ana.page.waitForFunction(() => kelvora.TS.size === 0 && kelvora.LINES.size === 0, null, { timeout: 10000 });
  await beto.page.waitForFunction(() => !kelvora.HOST.req, null, { timeout: 20000 });
  assert.deepEqual(await tryClose(ana.page), []);
  assert.equal(ana.page.isClosed(), true);
});
