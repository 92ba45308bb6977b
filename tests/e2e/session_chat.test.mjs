// Chat and files between real pages: lines cross both ways and a line for a session out of
// view counts as unread; files cross both ways byte for byte into each PC's downloads
// folder; a refused offer; sizes at and over the 2 GB limit.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, randomBytes } from 'node:crypto';
import { mkdtempSync, rmSync, truncateSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';

const skip = bedMissing();
let bed, ana, caro, tech, ka, kc, dir;

before(async () => {
  if (skip) return;
  dir = mkdtempSync(join(tmpdir(), 'kelvora-chat-'));
  bed = await SessionBed.start({ display: 80 });
  [ana, caro, tech] = await Promise.all([bed.host('PC de Ana'), bed.host('PC de Caro'), bed.tech('Técnico Beto')]);
  ka = await tech.connect(ana.id);
  await ana.accept();
  await tech.waitPicture(ka);
  kc = await tech.connect(caro.id);
  await caro.accept();
  await tech.waitPicture(kc);
  for (const pc of [ana, tech]) await watchBoxes(pc);
});

after(async () => {
  await bed?.stop();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

/** A file of n known random bytes; gives its path and SHA-256. */
function randomFile(name, n) {
  const path = join(dir, name);
  const bytes = randomBytes(n);
  writeFileSync(path, bytes);
  return { path, sha256: createHash('sha256').update(bytes).digest('hex'), size: n };
}

/** Types a line in the open chat panel and sends it with Enter. */
async function say(pc, text) {
  await pc.page.waitForSelector('#chat:not([hidden])', { timeout: 5000 });
  await pc.page.fill('#chatIn', text);
  await pc.page.press('#chatIn', 'Enter');
}

/** Waits until the chat panel shows the session of `who` with a line holding text. */
async function seeLine(pc, who, text) {
  await pc.page.waitForFunction(([who, text]) => {
    const chat = document.getElementById('chat');
    return !chat.hidden && document.getElementById('chatWho').textContent.includes(who) && document.getElementById('chatlog').textContent.includes(text);
  }, [who, text], { timeout: 15000 });
}

/** Records every text the transfer boxes show: a finished box goes after a few seconds. */
function watchBoxes(pc) {
  return pc.eval(() => {
    const el = document.getElementById('xfer');
    window.__boxes = [];
    new MutationObserver(() => window.__boxes.push(el.textContent)).observe(el, { childList: true, characterData: true, subtree: true });
  });
}

/** Waits until a transfer box has said t(key). */
async function seeBox(pc, key, ...args) {
  const text = await pc.t(key, ...args);
  await pc.page.waitForFunction((text) => window.__boxes.some((b) => b.includes(text)), text, { timeout: 30000, polling: 50 });
}

test('chat lines cross both ways; a line for a session out of view counts as unread', { skip }, async () => {
  await tech.eval((k) => kelvora.showSes(k), ka);
  await tech.page.click('#vChat');
  await say(tech, 'Hola Ana, ¿ves mi mensaje? <b>no</b>');
  // The helped PC's panel opens by itself on the line.
  await seeLine(ana, 'Técnico Beto', 'Hola Ana, ¿ves mi mensaje? <b>no</b>');
  await say(ana, 'Sí, te leo');
  await seeLine(tech, 'PC de Ana', 'Sí, te leo');
  assert.equal((await tech.session(ka)).unread, 0, 'the line in view is read');

  // Caro writes while the technician looks at Ana.
  await tech.clearToasts();
  await caro.page.click('#hostbar [data-hb=chat]');
  await say(caro, 'Soy Caro');
  await tech.page.waitForFunction((k) => kelvora.TS.get(k).unread === 1, kc, { timeout: 15000 });
  await tech.toast('sesNewChat', ['PC de Caro', 'Soy Caro']);
  const badge = await tech.page.textContent(`#vtabs .vt[data-k="${kc}"] .badge`);
  assert.equal(badge.trim(), '1', 'Caro\'s tab shows the count');
  await seeLine(tech, 'PC de Ana', 'Sí, te leo');

  // Caro's tab: her line, and the count is gone.
  await tech.page.click(`#vtabs .vt[data-k="${kc}"] .vtn`);
  await seeLine(tech, 'PC de Caro', 'Soy Caro');
  assert.equal((await tech.session(kc)).unread, 0);
  assert.equal(await tech.page.locator(`#vtabs .vt[data-k="${kc}"] .badge`).count(), 0);
  await tech.eval(() => kelvora.toggleChat(false));
});

test('files cross both ways byte for byte into the downloads folder', { skip }, async () => {
  await tech.eval((k) => kelvora.showSes(k), ka);
  const toAna = randomFile('informe de Beto.bin', 3 * 1048576 + 12345);
  await tech.pickFiles(() => tech.page.click('#vFile'), [toAna.path]);
  await ana.page.waitForSelector('#fileYesBtn', { timeout: 15000 });
  const dialog = await ana.page.textContent('#modalBox');
  assert.ok(dialog.includes('informe de Beto.bin') && dialog.includes('3.2 MB') && dialog.includes('Técnico Beto'), dialog);
  assert.ok(!dialog.includes(await ana.t('fileRisky')), 'a .bin is not marked risky');
  await ana.page.click('#fileYesBtn');
  const got = await ana.received('informe de Beto.bin');
  assert.deepEqual(got, { name: 'informe de Beto.bin', size: toAna.size, sha256: toAna.sha256 });
  await seeBox(tech, 'fileSent');
  await seeBox(ana, 'fileDone', ana.downloads);

  const toBeto = randomFile('registro:ana?.log', 2 * 1048576 + 7);
  await ana.pickFiles(() => ana.page.click('#hostbar [data-hb=file]'), [toBeto.path]);
  await tech.page.waitForSelector('#fileYesBtn', { timeout: 15000 });
  await tech.page.click('#fileYesBtn');
  const back = await tech.received('registro_ana_.log');
  assert.deepEqual(back, { name: 'registro_ana_.log', size: toBeto.size, sha256: toBeto.sha256 });
  await seeBox(ana, 'fileSent');
  // Each side's chat keeps a line for the file, under the name that side knows it by.
  for (const [pc, name] of [[tech, 'informe de Beto.bin'], [tech, 'registro_ana_.log'], [ana, 'registro:ana?.log']]) {
    await pc.page.waitForFunction((name) => kelvora.chatShown() && kelvora.chatShown().chat.some((l) => l.text === '📁 ' + name), name);
  }
});

test('a refused offer, a file of exactly 2 GB offered, one byte more refused before sending', { skip }, async () => {
  await tech.eval((k) => kelvora.showSes(k), ka);
  for (const pc of [ana, tech]) await pc.eval(() => kelvora.closeModal());
  // Sparse files: the sizes are real, the disk stays empty.
  const limit = join(dir, 'limite.iso');
  const over = join(dir, 'grande.iso');
  writeFileSync(limit, '');
  truncateSync(limit, 2000000000);
  writeFileSync(over, '');
  truncateSync(over, 2000000001);

  await tech.clearToasts();
  await tech.eval(() => (window.__boxes.length = 0));
  await tech.pickFiles(() => tech.page.click('#vFile'), [limit, over]);
  await ana.page.waitForSelector('#fileNoBtn', { timeout: 15000 });
  const dialog = await ana.page.textContent('#modalBox');
  assert.ok(dialog.includes('limite.iso') && dialog.includes('2.00 GB'), dialog);
  await ana.page.click('#fileNoBtn');
  await seeBox(tech, 'fileNo');
  await tech.toast('fileTooBig');
  // The second file was never offered.
  assert.equal(await ana.eval(() => document.getElementById('modal').hidden && !kelvora.HSES.rx), true);
  assert.equal(await tech.eval((k) => kelvora.TS.get(k).ask.size, ka), 0);

  // A risky name is marked in the question.
  const exe = randomFile('setup.EXE', 1000);
  await tech.eval(() => (window.__boxes.length = 0));
  await tech.pickFiles(() => tech.page.click('#vFile'), [exe.path]);
  await ana.page.waitForSelector('#fileNoBtn', { timeout: 15000 });
  assert.ok((await ana.page.textContent('#modalBox')).includes(await ana.t('fileRisky')));
  await ana.page.keyboard.press('Escape');
  await seeBox(tech, 'fileNo');
});
