// Asking to help a PC, for real: the technician's page reaches the host's app window
// through kelvora-signal; the person at the host decides, or the password lets the
// technician in. What the technician then sees is the host's primary monitor.
import { test, before, beforeEach, after } from 'node:test';
import assert from 'node:assert/strict';
import { SessionBed, bedMissing, PRIMARY } from '../lib/session_bed.mjs';

const skip = bedMissing();
let bed, host, tech;

// A window only the host's primary monitor shows, away from the app window's corner.
const MARK = { rect: { x: PRIMARY.x + 1400, y: 600, w: 400, h: 300 }, hex: '#20d060', rgb: [0x20, 0xd0, 0x60] };

before(async () => {
  if (skip) return;
  // Three wrong passwords lock a PC; enough for the lockout case, the last in this file.
  bed = await SessionBed.start({ signalArgs: ['--lock-per-id', '3', '--lock-per-addr', '100'] });
  [host, tech] = await Promise.all([bed.host('PC de Ana'), bed.tech('Técnico Beto')]);
  await bed.target(MARK.rect, MARK.hex);
});

beforeEach(async () => {
  await bed?.reset();
});

after(async () => {
  await bed?.stop();
});

/** Waits until neither side holds a session or a request any more. */
async function settled() {
  await host.page.waitForFunction(() => !kelvora.HSES && !kelvora.HOST.req, null, { timeout: 20000 });
  await tech.page.waitForFunction(() => kelvora.TS.size === 0, null, { timeout: 20000 });
  await host.clearToasts();
  await tech.clearToasts();
}

test('accepted by the person at the PC, the technician sees its primary monitor', { skip, timeout: 180000 }, async () => {
  // Watch the dialog from the moment it shows: accept must be disabled then, a click on it
  // must do nothing, and it may come alive no earlier than 1.2 s later.
  await host.eval(() => {
    const modal = document.getElementById('reqModal');
    const w = { shownAt: 0, liveAt: 0, disabled: null, text: '' };
    // @ts-ignore
    window.__req = w;
    const accept = () => [...modal.querySelectorAll('button')].find((b) => b.textContent.trim() === kelvora.t('accept').trim());
    const look = () => {
      const acc = accept();
      if (modal.hidden || !acc) return;
      if (!w.shownAt) {
        w.shownAt = performance.now();
        w.disabled = acc.disabled;
        w.text = document.getElementById('reqBox').textContent;
        acc.click();
      }
      if (!w.liveAt && !acc.disabled) w.liveAt = performance.now();
    };
    new MutationObserver(look).observe(modal, { attributes: true, childList: true, subtree: true });
  });
  const k = await tech.connect(host.id);
  assert.ok(k, 'the technician has a session');
  await host.page.waitForFunction(() => window.__req.liveAt > 0, null, { timeout: 45000 });
  const seen = await host.eval(() => window.__req);
  assert.equal(seen.disabled, true, 'accept is disabled when the dialog appears');
  assert.ok(seen.text.includes(await host.t('reqWho', 'Técnico Beto')), `the dialog names the technician: ${seen.text}`);
  assert.ok(await host.eval(() => !kelvora.HSES && !!kelvora.HOST.req), 'the early click accepted nothing');
  assert.ok(seen.liveAt - seen.shownAt >= 1150, `accept came alive after ${seen.liveAt - seen.shownAt} ms`);

  await host.accept();
  await host.waitConnected();
  const size = await tech.waitPicture(k);
  // Chromium may scale the capture down; the shape tells the 16:9 primary from the 4:3 other.
  assert.ok(Math.abs(size.w / size.h - PRIMARY.w / PRIMARY.h) < 0.02, `the picture is the primary monitor, not ${size.w}x${size.h}`);
  const box = await tech.waitColour(k, MARK.rgb);
  const want = {
    x0: (MARK.rect.x - PRIMARY.x) / PRIMARY.w, y0: MARK.rect.y / PRIMARY.h,
    x1: (MARK.rect.x - PRIMARY.x + MARK.rect.w) / PRIMARY.w, y1: (MARK.rect.y + MARK.rect.h) / PRIMARY.h,
  };
  for (const f of ['x0', 'y0', 'x1', 'y1']) assert.ok(Math.abs(box[f] - want[f]) < 0.01, `the window's ${f} is at ${box[f]}, not ${want[f]}`);
  // On one machine the direct path works: no detour through the relay.
  const rec = await tech.session(k);
  assert.equal(rec.relayTried, false);

  // Ended by the technician: both sides let go and say so.
  await tech.page.click('#vEnd');
  await tech.toast('ended');
  await host.toast('endedPeer');
  await host.page.waitForSelector('#hostbar[hidden]', { state: 'attached' });
  await settled();
});

test('ended by the person at the PC', { skip, timeout: 180000 }, async () => {
  const k = await tech.connect(host.id);
  await host.accept();
  await tech.waitPicture(k);
  await host.page.waitForSelector('#hostbar:not([hidden])');
  await (await host.buttonIn('#hostbar', 'hbEnd')).click();
  await host.toast('ended');
  await tech.toast('endedPeer');
  await tech.page.waitForSelector('#viewer[hidden]', { state: 'attached' });
  await settled();
});

test('rejected, timed out, cancelled: each side says what happened', { skip, timeout: 180000 }, async (t) => {
  await t.test('rejected', async () => {
    await tech.connect(host.id);
    await host.reject();
    await tech.toast('denDenied');
    await host.page.waitForSelector('#reqModal[hidden]', { state: 'attached' });
    await settled();
  });

  await t.test('timed out', async () => {
    await tech.connect(host.id);
    await host.request();
    // The 58 s of the request, cut short.
    await host.eval(() => { kelvora.HOST.req.until = Date.now(); });
    await tech.toast('denTimeout');
    await host.page.waitForSelector('#reqModal[hidden]', { state: 'attached' });
    await settled();
  });

  await t.test('cancelled by the technician', async () => {
    const k = await tech.connect(host.id);
    await host.request();
    await tech.page.waitForSelector('#vWaitCancel', { state: 'visible' });
    await tech.page.click('#vWaitCancel');
    await host.toast('reqCancelled');
    await host.page.waitForSelector('#reqModal[hidden]', { state: 'attached' });
    await tech.waitGone(k);
    await settled();
  });
});

test('the password: unattended access, the normal dialog, wrong ones, lockout', { skip, timeout: 180000 }, async (t) => {
  const pass = host.identity.clave;

  await t.test('right password with unattended access on: in without a dialog', async () => {
    await host.settings({ recibir: { desatendido: 'si' } });
    const k = await tech.connect(host.id, { pass });
    await host.toast('uaHost', null);
    await tech.waitPicture(k);
    assert.equal(await host.eval(() => document.getElementById('reqModal').hidden), true, 'no request dialog');
    // The technician is asked how to view; either way the session goes on.
    const go = (await tech.t('uaGo')).trim();
    await tech.page.locator('#modalBox button').filter({ hasText: go }).first().click();
    await tech.page.click('#vEnd');
    await settled();
  });

  await t.test('right password with unattended access off: the dialog as without one', async () => {
    await host.settings({ recibir: { desatendido: 'no' } });
    await tech.connect(host.id, { pass });
    await host.reject();
    await tech.toast('denDenied');
    await settled();
  });

  await t.test('wrong password', async () => {
    await tech.connect(host.id, { pass: 'no-es-esta' });
    await tech.toast('denBadKey');
    await host.toast('badKeyTry', null);
    assert.equal(await host.eval(() => document.getElementById('reqModal').hidden), true, 'no request dialog');
    await settled();
  });

  await t.test('repeated wrong passwords lock the PC', async () => {
    // One wrong try above; the server locks after three, and tells the PC.
    for (let i = 0; i < 2; i++) {
      await tech.connect(host.id, { pass: `mala-${i}` });
      await tech.toast('denBadKey');
      await tech.page.waitForFunction(() => kelvora.TS.size === 0);
      await tech.clearToasts();
    }
    await host.toast('lockedMsg', null);
    // Now even the right password is turned away by the server.
    await tech.connect(host.id, { pass });
    await tech.toast('denLocked', null);
    assert.equal(await host.eval(() => !kelvora.HOST.req && document.getElementById('reqModal').hidden), true);
  });
});
