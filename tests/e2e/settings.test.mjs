// The Settings and Help tabs in a real browser on a real Kelvora: what Save writes into
// kelvora.ini, a language change, a refused server address, the server test and a new
// server that the registration follows, and the manual and release history as the local
// server gives them.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { BIN, Kelvora, dataDir, tempHome } from '../lib/kelvora.mjs';
import { CHROMIUM } from '../lib/browser_path.mjs';
import { launchSignal, missingSignal, testCert } from '../lib/signal_server.mjs';

const skip = !existsSync(BIN) ? `${BIN} is not built` : !existsSync(CHROMIUM) ? 'Chromium is not installed (scripts/install-deps.sh installs it)' : missingSignal;
// An address where nothing answers: the page starts registered nowhere, and the maker's
// real server is never asked (nor, with automatic checks off, its update channel).
const DEAD = 'https://127.0.0.1:9752';
let k, sig, browser, page;

before(async () => {
  if (skip) return;
  const home = tempHome();
  mkdirSync(dataDir(home), { recursive: true });
  writeFileSync(join(dataDir(home), 'kelvora.ini'), `[general]\nservidor = ${DEAD}\nbuscar_actualizaciones = no\n`);
  sig = await launchSignal();
  // Shortcuts and the autostart entry go below the throw-away home, never the runner's.
  k = await new Kelvora({ home, env: { HOME: home, XDG_CONFIG_HOME: join(home, 'config'), XDG_DATA_HOME: join(home, 'share') } }).start();
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), `--ignore-certificate-errors-spki-list=${testCert().spki}`,
      '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
      // Chromium's own fake microphone (a beeping tone) and no permission prompt.
      '--use-fake-device-for-media-stream', '--use-fake-ui-for-media-stream'],
  });
  page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  await page.goto(`http://127.0.0.1:${k.port}/`);
  await page.waitForFunction(() => typeof kelvora === 'object' && kelvora.S.app === 'kelvora' && kelvora.ID && kelvora.ID.id);
  await page.evaluate(() => {
    const el = document.getElementById('toast');
    // @ts-ignore
    window.__toasts = [];
    new MutationObserver(() => {
      // @ts-ignore
      if (!el.hidden && el.textContent) window.__toasts.push(el.textContent);
    }).observe(el, { childList: true, characterData: true, subtree: true, attributes: true });
  });
});

after(async () => {
  await browser?.close();
  await k?.stop();
  k?.cleanup();
  await sig?.stop();
  sig?.cleanup();
});

const ini = () => readFileSync(join(k.data, 'kelvora.ini'), 'utf8');
const settingLine = (key) => new RegExp(`^${key} = (.*)$`, 'm').exec(ini())?.[1];

/** Waits for a toast with exactly this text, or matching this pattern; gives its text. */
async function toast(want) {
  const arg = want instanceof RegExp ? { src: want.source } : { text: want };
  try {
    const got = await page.waitForFunction((w) => window.__toasts.find((x) => (w.src ? new RegExp(w.src).test(x) : x === w.text)), arg, { timeout: 20000, polling: 50 });
    await page.evaluate(() => (window.__toasts.length = 0));
    return got.jsonValue();
  } catch (e) {
    throw new Error(`no toast ${want}; seen: ${JSON.stringify(await page.evaluate(() => window.__toasts))}`, { cause: e });
  }
}
const t = (key, ...args) => page.evaluate(([k, a]) => kelvora.t(k, ...a), [key, args]);

async function openSettings() {
  await page.click('nav.tabs button[data-tab=conectar]');
  await page.click('nav.tabs button[data-tab=ajustes]');
  await page.waitForSelector('#sfName');
}

test('a changed setting is saved into kelvora.ini, and a new language turns the page', { skip }, async () => {
  await openSettings();
  await page.fill('#sfName', '  Caja 3 ');
  await page.uncheck('#sfCtl');
  await page.selectOption('#sfFps', '60');
  await page.selectOption('#sfConn', 'relevo');
  await page.selectOption('#sfLang', 'en');
  await page.check('#sfAutostart');
  await page.click('#saveBtn');
  await toast('Settings saved.');
  for (const [key, want] of [['nombre', 'Caja 3'], ['permitir_control', 'no'], ['fps', '60'], ['conexion', 'relevo'], ['idioma', 'en'], ['servidor', DEAD]]) {
    assert.equal(settingLine(key), want, key);
  }
  assert.equal(await page.evaluate(() => document.documentElement.lang), 'en');
  assert.equal(await page.textContent('nav.tabs button[data-tab=ajustes]'), await t('tabSettings'));
  await page.waitForFunction((h) => document.querySelector('#f-general h2').textContent === h && document.getElementById('sfName'), await t('setGeneral'));
  assert.equal(await page.evaluate(() => kelvora.ID.nombre), 'Caja 3', 'the identity carries the new name');
  assert.equal(await page.inputValue('#sfName'), 'Caja 3', 'the form was built again from what was stored');
  assert.equal(await page.isChecked('#sfCtl'), false);
  assert.ok(existsSync(join(k.home, 'config', 'autostart', 'kelvora.desktop')), 'the autostart entry');
  assert.equal(await page.isChecked('#sfAutostart'), true, 'the switch follows what the system has');
});

test('the shortcuts button makes the shortcuts and says so', { skip }, async () => {
  await openSettings();
  await page.click('#sfLinks');
  await toast(await t('linksOk'));
  assert.ok(existsSync(join(k.home, 'share', 'applications', 'kelvora.desktop')));
});

test('a server address that is not https is refused with the message and nothing is stored', { skip }, async () => {
  await openSettings();
  const before = ini();
  await page.fill('#sfName', 'Otro nombre');
  await page.fill('#sfServer', 'http://127.0.0.1:9753');
  await page.click('#saveBtn');
  await toast('El servidor debe empezar con https://');
  assert.equal(ini(), before);
  assert.equal(await page.inputValue('#sfServer'), 'http://127.0.0.1:9753', 'what was typed stays to be corrected');
});

test('the server test names what answers; a saved new server takes the registration along', { skip }, async () => {
  await openSettings();
  assert.notEqual(await page.evaluate(() => kelvora.HOST.state), 'online');
  await page.fill('#sfServer', sig.url + '/');
  await page.click('#sfTest');
  const ok = await toast(/ · v/);
  assert.ok(ok.startsWith(await t('srvOk')), ok);
  await page.fill('#sfServer', 'https://127.0.0.1:9753');
  await page.click('#sfTest');
  await toast(await t('srvBad'));

  await page.fill('#sfServer', sig.url + '/');
  await page.click('#saveBtn');
  await toast('Settings saved.');
  assert.equal(settingLine('servidor'), sig.url);
  await page.waitForFunction(() => kelvora.HOST.state === 'online', null, { timeout: 20000 });
  assert.equal(await page.evaluate(() => kelvora.ID.servidor), sig.url);
});

test('the microphone test shows the level; once allowed, devices show by name and the chosen one is saved', { skip }, async () => {
  await openSettings();
  await page.click('#sfMicTest');
  await page.waitForFunction(() => !document.getElementById('sfMicMeter').hidden && document.getElementById('sfMicMeter').value > 0, null, { timeout: 20000 });
  const mics = await page.$$eval('#sfMic option', (os) => os.map((o) => ({ value: o.value, name: o.dataset.name })));
  assert.ok(mics.length >= 2 && mics.slice(1).every((m) => m.value && m.name), JSON.stringify(mics));
  await page.click('#sfMicTest');
  await page.waitForFunction(() => document.getElementById('sfMicMeter').hidden && !kelvora.MICT.stream);

  const mic = mics.at(-1);
  await page.selectOption('#sfMic', mic.value);
  await page.uncheck('#sfProc');
  await page.click('#saveBtn');
  await toast(await t('saved'));
  assert.equal(settingLine('microfono'), mic.value);
  assert.equal(settingLine('microfono_nombre'), mic.name);
  assert.equal(settingLine('procesar_voz'), 'no');
});

test('the Help tab shows the manual in the language of its chips, prints it, and shows the release history', { skip }, async () => {
  await page.click('nav.tabs button[data-tab=ayuda]');
  for (const lang of ['es', 'en']) {
    const reply = (await k.get(`/api/manual?lang=${lang}`)).json;
    await page.click(`#manual [data-man=${lang}]`);
    if (reply.ok) {
      await page.waitForFunction((l) => document.querySelector('#manual .mbody')?.getAttribute('lang') === l, lang);
      const toc = await page.$$eval('#manual .mtoc > ol > li > a', (as) => as.map((a) => a.getAttribute('href')));
      assert.deepEqual(toc, reply.toc.map((e) => '#' + e.id), lang);
      assert.ok(await page.$(`#manual [id="${reply.toc.at(-1).id}"]`), `${lang}: the anchors of the contents are in the text`);
      assert.match(await page.textContent('#manual'), /Powered by Arquena/);
    } else {
      await page.waitForFunction((msg) => document.getElementById('manual').textContent.includes(msg), reply.msg);
    }
    const [popup] = await Promise.all([page.waitForEvent('popup'), page.click('#manual [data-man=print]')]);
    assert.equal(new URL(popup.url()).pathname + new URL(popup.url()).search, `/manual/imprimir?lang=${lang}`);
    await popup.close();
  }
  const notes = (await k.get('/api/novedades')).json;
  await page.click('#verBtn');
  if (notes.ok) {
    await page.waitForSelector('#modal:not([hidden]) .notes');
    assert.equal(await page.textContent('#modalBox h3'), await t('histTitle'));
    await page.keyboard.press('Escape');
  } else await toast(notes.msg);
});
