// The update banner in a real browser following a real update: a Kelvora 1.3.1 that trusts
// the test key finds 1.3.2 on a loopback HTTPS channel, downloads and verifies it, waits
// for the open session, replaces itself with the real build, and the page that watched it
// all ends on the new version's report.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { BIN, BUILD, Kelvora, readState, tempHome, waitFor } from '../lib/kelvora.mjs';
import { CHROMIUM } from '../lib/browser_path.mjs';
import { makeZip, startUpdateServer } from '../lib/update_server.mjs';

const PRIOR = join(BUILD, 'kelvora-anterior');
const skip = !existsSync(PRIOR) ? `${PRIOR} is not built` : !existsSync(CHROMIUM) ? 'Chromium is not installed (scripts/install-deps.sh installs it)' : false;
let srv, k, browser, page, newPid;

before(async () => {
  if (skip) return;
  srv = await startUpdateServer();
  const dir = join(tempHome(), 'programa');
  mkdirSync(dir, { recursive: true });
  writeFileSync(join(dir, 'kelvora'), readFileSync(PRIOR));
  chmodSync(join(dir, 'kelvora'), 0o755);
  k = new Kelvora({ bin: join(dir, 'kelvora'), env: { CURL_CA_BUNDLE: srv.caFile } });
  mkdirSync(k.data, { recursive: true });
  // No automatic checks, and a signalling server where nothing answers.
  writeFileSync(join(k.data, 'kelvora.ini'),
    `[general]\ncanal_actualizaciones = ${srv.channel}\nbuscar_actualizaciones = no\nservidor = https://127.0.0.1:9754\n`);
  await k.start();
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage({ viewport: { width: 1100, height: 800 } });
});

after(async () => {
  await browser?.close();
  await k?.stop();
  if (newPid) try { process.kill(newPid, 'SIGKILL'); } catch {}
  await srv?.close();
  k?.cleanup();
});

/**
 * Opens the page of the copy on port and notes in the tab's session storage when the
 * overlay shows (the note outlives the page's reload).
 */
async function openPage(port) {
  await page.goto(`http://127.0.0.1:${port}/`);
  await page.waitForFunction(() => typeof kelvora === 'object' && kelvora.S.app === 'kelvora');
  await page.evaluate(() => {
    const over = document.getElementById('upover');
    new MutationObserver(() => { if (!over.hidden) sessionStorage.setItem('overlay-seen', '1'); }).observe(over, { attributes: true });
  });
}
const overlaySeen = () => page.evaluate(() => sessionStorage.getItem('overlay-seen') === '1');

/** A text of the page's tables with its markup removed, as the banner shows it. */
const shown = (key, ...args) => page.evaluate(([k, a]) => kelvora.t(k, ...a).replace(/<[^>]*>/g, ''), [key, args]);
const bannerHas = (text) => page.waitForFunction((x) => !document.getElementById('updBar').hidden && document.getElementById('updBar').textContent.includes(x), text, { timeout: 40000 });

test('the banner follows a real update from the offer to the new version\'s report', { skip }, async () => {
  const program = readFileSync(BIN);
  srv.publish(srv.package('/kelvora-1.3.2.zip', makeZip([{ name: 'kelvora', data: program }]),
    { version: '1.3.2', changes: [{ version: '1.3.2', date: '2026-11-04', md: '**Ventanas** nuevas\n- una <cosa>' }] }));
  await openPage(k.port);
  assert.equal(await page.evaluate(() => document.getElementById('updBar').hidden), true, 'nothing to show before a check');

  await page.click('nav.tabs button[data-tab=ayuda]');
  await page.click('#mUpd [data-upd=check]');
  await bannerHas(await shown('updAvail', 'v1.3.2', 'v1.3.1'));
  await page.waitForSelector('#mUpd [data-upd=install]');

  await page.click('#updBar [data-upd=news]');
  await page.waitForSelector('#modal:not([hidden]) .notes .note div b');
  assert.equal(await page.textContent('#modalBox .notes .note div b'), 'Ventanas');
  assert.match(await page.textContent('#modalBox .notes'), /• una <cosa>/);
  await page.click('#modalBox [data-close]');

  // An open session holds the swap back: the banner shows the wait with its progress.
  await k.post('/api/sesion', { k: 'u1', activa: true, rol: 'tech', con: 'u1', id: '' });
  await page.click('#updBar [data-upd=install]');
  await bannerHas(await shown('updBusy', 'en cuanto termines las sesiones y llamadas abiertas'));
  assert.match(await page.innerHTML('#updBar'), /width:100%/);
  const port = k.port;
  await k.post('/api/sesion', { k: 'u1', activa: false });

  // The old program ends: the overlay covers the page until the new one answers.
  await k.exited;
  const inst = await waitFor(() => { const s = readState(k.home, 'instancia.json'); return s?.version === '1.3.2' && s; }, 'the new version', 40000);
  newPid = inst.pid;
  if (inst.port === port) {
    // Same address: the watching page loads the new program's page by itself.
    await page.waitForFunction(() => document.getElementById('upover').hidden && typeof kelvora === 'object' && kelvora.S.version === '1.3.2', null, { timeout: 40000 });
    assert.ok(await overlaySeen(), 'the overlay showed while the program was replaced');
  } else {
    // Another copy took the address meanwhile: the new program serves elsewhere.
    await page.waitForFunction(() => !document.getElementById('upover').hidden, null, { timeout: 40000 });
    await openPage(inst.port);
  }
  await bannerHas(await shown('updOk', '1.3.2'));
  await page.click('#updBar [data-upd=seen]');
  await page.waitForFunction(() => document.getElementById('updBar').hidden);
  assert.equal(readState(k.home, 'actualizacion.json').result, null);
});
