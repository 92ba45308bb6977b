// The remote hand for real: what the technician does over the picture arrives at an X
// client on the helped PC's display, at the right place, and only while control lasts;
// the two clipboards and the screen's resolution across the session.
import { test, before, beforeEach, after } from 'node:test';
import assert from 'node:assert/strict';
import { SessionBed, bedMissing, PRIMARY } from '../lib/session_bed.mjs';
import { waitFor } from '../lib/kelvora.mjs';

const skip = bedMissing();
let bed, host, tech, target, k;

const RECT = { x: PRIMARY.x + 1300, y: 560, w: 500, h: 400 };

before(async () => {
  if (skip) return;
  bed = await SessionBed.start({ display: 63 });
  [host, tech] = await Promise.all([bed.host('PC de Ana'), bed.tech('Técnico Beto')]);
  target = await bed.target(RECT, '#3050e0');
});

// One session with control serves the tests in turn; one that a failed test left broken
// is replaced.
beforeEach(async () => {
  if (skip) return;
  if (k && (await tech.eval((k) => !!kelvora.TS.get(k)?.control, k)) && (await host.eval(() => !!kelvora.HSES?.control))) return;
  await bed.reset();
  k = await tech.connect(host.id);
  await host.accept();
  await tech.waitPicture(k);
  await tech.page.waitForFunction((k) => kelvora.TS.get(k).control, k);
});

after(async () => {
  await bed?.stop();
});

/** Clicks the picture at a root point of the host's desktop; gives the ButtonPress the X client saw. */
async function clickAt(rx, ry) {
  const from = target.events.length;
  await tech.clickRemote(k, rx, ry);
  return target.waitFor((e) => e.e === 'down', `a click near ${rx},${ry}`, 15000, from);
}

test('a click lands where the picture shows it, and keys and text follow it', { skip, timeout: 180000 }, async () => {
  const rx = RECT.x + 120;
  const ry = RECT.y + 90;
  const down = await clickAt(rx, ry);
  assert.equal(down.b, 1);
  // One viewer pixel is 1.5 remote pixels here; the position is rounded on the way.
  assert.ok(Math.abs(down.x - rx) <= 3 && Math.abs(down.y - ry) <= 3, `clicked at ${down.x},${down.y}, not ${rx},${ry}`);
  await target.waitFor((e) => e.e === 'up' && e.b === 1, 'the button release', 15000, down.at);

  // Keys typed over the picture go by their codes.
  let from = target.events.length;
  await tech.page.keyboard.type('hola');
  await waitFor(() => target.typed(from) === 'hola', `"hola" typed (got "${target.typed(from)}")`, 45000);

  // The text dialog sends whole text, accents included, and it arrives whole at once.
  const send = (await tech.t('typeBtn')).trim();
  from = target.events.length;
  await tech.page.click('#vType');
  await tech.page.waitForSelector('#modal:not([hidden]) textarea');
  await tech.page.fill('#modal textarea', 'Año 2026');
  await tech.page.locator('#modalBox button').filter({ hasText: send }).first().click();
  await waitFor(() => target.typed(from).endsWith('6'), 'the typed text', 45000);
  assert.equal(target.typed(from), 'Año 2026');
});

test('a key combination from the menu: downs in order, ups in reverse', { skip, timeout: 180000 }, async () => {
  await clickAt(RECT.x + 200, RECT.y + 200);
  const from = target.events.length;
  await tech.menuPick('vKeys', 'kTaskmgr');
  const want = ['+Control_L', '+Shift_L', '+Escape', '-Escape', '-Shift_L', '-Control_L'];
  await waitFor(() => target.keys(from).length >= want.length, 'the six key events', 15000);
  assert.deepEqual(target.keys(from), want);
});

test('leaving the viewer releases what is held', { skip, timeout: 180000 }, async () => {
  // The X client has the keyboard once clicked.
  await clickAt(RECT.x + 200, RECT.y + 200);
  const p = await tech.viewerPoint(k, (RECT.x + 60 - PRIMARY.x) / PRIMARY.w, (RECT.y + 60) / PRIMARY.h);
  const from = target.events.length;
  await tech.page.mouse.move(p.x, p.y);
  await tech.page.mouse.down();
  await tech.page.keyboard.down('Shift');
  await target.waitFor((e) => e.e === 'key' && e.k === 'Shift_L', 'Shift held', 15000, from);
  await target.waitFor((e) => e.e === 'down', 'the button held', 15000, from);
  // The technician's focus goes elsewhere while both are still down on their side.
  await tech.eval(() => document.getElementById('vlayer').blur());
  await target.waitFor((e) => e.e === 'keyup' && e.k === 'Shift_L', 'Shift released', 15000, from);
  await target.waitFor((e) => e.e === 'up', 'the button released', 15000, from);
  await tech.page.keyboard.up('Shift');
  await tech.page.mouse.up();
});

test('without control no input reaches the PC, even when a page sends it anyway', { skip, timeout: 180000 }, async () => {
  await host.page.waitForSelector('#hostbar:not([hidden])');
  // The person at the PC takes control back.
  await (await host.buttonIn('#hostbar', 'hbCtl')).click();
  await tech.toast('ctlDenied');
  await tech.page.waitForFunction((k) => !kelvora.TS.get(k).control, k);

  const pointer = bed.x.pointer();
  const from = target.events.length;
  // The viewer sends nothing now; a page that ignores that reaches the host's gate.
  await tech.clickRemote(k, RECT.x + 300, RECT.y + 300);
  await tech.page.keyboard.type('nada');
  await tech.eval((k) => {
    const s = kelvora.TS.get(k);
    s.resInfo = null;
    kelvora.ctl(s, { t: 'in', ev: [{ k: 'd', b: 0, x: 0.5, y: 0.5 }, { k: 'u', b: 0, x: 0.5, y: 0.5 }, { k: 'kd', c: 'KeyZ' }, { k: 'ku', c: 'KeyZ' }] });
    kelvora.ctl(s, { t: 'text', s: 'zzz' });
    if (s.dc.mov && s.dc.mov.readyState === 'open') s.dc.mov.send(JSON.stringify({ t: 'in', ev: [{ k: 'm', x: 0.05, y: 0.05 }] }));
    kelvora.ctl(s, { t: 'res-get' });
  }, k);
  // The host answers res-get after it has read what came before it on the same channel.
  await tech.page.waitForFunction((k) => kelvora.TS.get(k).resInfo, k);
  assert.deepEqual(bed.x.pointer(), pointer, 'the pointer did not move');

  // Control given back: the next click is the first thing the X client sees.
  await (await host.buttonIn('#hostbar', 'hbCtl')).click();
  await tech.page.waitForFunction((k) => kelvora.TS.get(k).control, k);
  const down = await clickAt(RECT.x + 400, RECT.y + 100);
  assert.deepEqual(target.events.slice(from, down.at), [], 'nothing arrived before it');
});

test('the clipboard both ways, with the X clipboards of the two PCs', { skip, timeout: 180000 }, async () => {
  const out = 'del técnico · ñ ✓';
  const mine = await bed.techOfferClipboard(out);
  try {
    await tech.clearToasts();
    await tech.menuPick('vClip', 'clipSend');
    await tech.toast('clipSent');
    await waitFor(() => bed.x.clipboard() === out, 'the text on the host clipboard');
  } finally {
    mine.kill();
  }

  const back = 'del host · á é';
  const owner = await bed.x.offerClipboard(back);
  try {
    await tech.menuPick('vClip', 'clipGet');
    await tech.toast('clipGot');
    await waitFor(() => bed.techClipboard() === back, 'the text on the technician clipboard');
  } finally {
    owner.kill();
  }
});

test('a resolution chosen by the technician, and the original back when the session ends', { skip, timeout: 180000 }, async () => {
  const before = bed.x.outputs();
  assert.equal(before.DUMMY0.size, '1920x1080');
  await tech.page.click('#vScreen');
  // The menu fills in with the PC's modes once the host has answered.
  const other = tech.page.locator('#menu button[data-act^="mode:"]:not([data-act="mode:1920x1080"])').first();
  await other.waitFor({ timeout: 15000 });
  const size = (await other.getAttribute('data-act')).slice(5);
  await other.click();
  await waitFor(() => bed.x.outputs().DUMMY0?.size === size, `DUMMY0 at ${size}`, 15000);
  await tech.toast('resNow', [size.replace('x', '×')]);

  await tech.page.click('#vEnd');
  await host.waitNoSession();
  await waitFor(() => bed.x.outputs().DUMMY0?.size === '1920x1080', 'DUMMY0 back at 1920x1080', 15000);
  assert.deepEqual(bed.x.outputs(), before);
});
