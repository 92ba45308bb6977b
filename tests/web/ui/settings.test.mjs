// The rules of the settings, help and update screens: what
// Save sends, when the registration starts again, what the server test says, how the
// update state from the local server is cleaned and which banner, panel and poll step
// follow from it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeDocument } from '../../lib/web_modules.mjs';

const plain = (v) => JSON.parse(JSON.stringify(v));
const SETTINGS = ['ui/settings.js', 'ui/dom.js'];
const page = await load(SETTINGS, { texts: true });
const call = (fn, ...args) => plain(page[fn](...args));

test('the monitor value: "todos" for all, none or no box; else the checked names', () => {
  const box = (name, on) => ({ name, on });
  for (const [boxes, want] of [
    [[], 'todos'],
    [[box('DP-1', false), box('HDMI-1', false)], 'todos'],
    [[box('DP-1', true), box('HDMI-1', true)], 'todos'],
    [[box('DP-1', true), box('HDMI-1', false), box('DVI-0', true)], 'DP-1,DVI-0'],
    [[box('DP-1', false), box('HDMI-1', true)], 'HDMI-1'],
  ]) assert.equal(page.monValue(boxes), want, JSON.stringify(boxes));
});

test('an untouched set of boxes keeps the stored choice, also one naming a monitor not plugged in today', () => {
  const box = (name, on, was) => ({ name, on, was });
  for (const [boxes, stored, want] of [
    [[box('DP-1', false, false)], 'DP-9', 'DP-9'],
    [[box('DP-1', true, false)], 'DP-9', 'todos'],
    [[box('DP-1', true, true), box('HDMI-1', true, true)], 'todos', 'todos'],
    [[box('DP-1', false, true), box('HDMI-1', false, false)], 'DP-1', 'todos'],
    [[box('DP-1', true, true), box('HDMI-1', true, false)], 'DP-1', 'todos'],
    [[box('DP-1', true, true), box('HDMI-1', false, true)], 'todos', 'DP-1'],
    [[], '', 'todos'],
  ]) assert.equal(page.monSetting(boxes, stored), want, JSON.stringify([boxes, stored]));
});

test('Save sends the three sections with switches as si/no, trimmed texts and known choices only', () => {
  const form = {
    nombre: '  Caja 3  ', idioma: 'en', buscar_actualizaciones: false, servidor: ' https://kv.example.org/ ', conexion: 'relevo',
    disponible: true, permitir_control: false, compartir_audio: true, desatendido: false,
    monitores: [{ name: 'DP-1', on: true }, { name: 'HDMI-1', on: false }],
    calidad: 'nitidez', fps: '60', sonido: false, llamadas: true,
    microfono: 'abc', microfono_nombre: 'Predeterminado - Micrófono (USB)', bocina: '', bocina_nombre: '', procesar_voz: false,
    autostart: true,
  };
  assert.deepEqual(call('formSections', form), {
    general: { nombre: 'Caja 3', idioma: 'en', buscar_actualizaciones: 'no', servidor: 'https://kv.example.org/', conexion: 'relevo' },
    recibir: {
      disponible: 'si', permitir_control: 'no', compartir_audio: 'si', desatendido: 'no', monitores: 'DP-1',
      calidad: 'nitidez', fps: '60', sonido: 'no', llamadas: 'si',
    },
    llamada: { microfono: 'abc', microfono_nombre: 'Micrófono (USB)', bocina: '', bocina_nombre: '', procesar_voz: 'no' },
  });
  // A tampered form cannot send values the settings do not know.
  const odd = call('formSections', { idioma: 'fr', conexion: 'x', calidad: '<b>', fps: '1000' });
  assert.deepEqual([odd.general.idioma, odd.general.conexion, odd.recibir.calidad, odd.recibir.fps, odd.recibir.monitores], ['es', 'auto', 'auto', '30', 'todos']);
});

test('a stored device stays chosen: by id, else by name; missing, or just not shown before the microphone is allowed', () => {
  const list = [{ id: 'a1', name: 'Headset' }, { id: 'b2', name: 'USB <Mic>' }];
  const chosen = (html) => /<option value="([^"]*)" data-name="([^"]*)" selected>([^<]*)</.exec(html)?.slice(1);
  for (const [id, name, hidden, want] of [
    ['b2', 'USB <Mic>', false, ['b2', 'USB &lt;Mic&gt;', 'USB &lt;Mic&gt;']],
    ['old-id', 'Headset', false, ['a1', 'Headset', 'Headset']],
    ['zz', 'Jabra', false, ['zz', 'Jabra', '⚠ Jabra — ' + page.t('devGone')]],
    ['zz', 'Jabra', true, ['zz', 'Jabra', 'Jabra']],
    ['', '', false, undefined],
  ]) assert.deepEqual(chosen(page.deviceOptions(list, id, name, hidden)), want, JSON.stringify([id, name, hidden]));
});

test('after a save the registration starts again only when its server or name changed or the PC went unavailable', () => {
  const a = { servidor: 'https://a', nombre: 'Caja' };
  for (const [before, after, available, state, want] of [
    [a, a, true, 'online', ''],
    [a, a, true, 'connecting', ''],
    [a, a, true, 'off', 'connect'],
    [a, { ...a, servidor: 'https://b' }, true, 'online', 'reconnect'],
    [a, { ...a, nombre: 'Caja 2' }, true, 'online', 'reconnect'],
    [a, a, false, 'online', 'reconnect'],
  ]) assert.equal(page.registrationAfterSave(before, after, available, state), want, JSON.stringify([after, available, state]));
});

test('the server test reads /health of the field or the default, and names what answered', () => {
  assert.equal(page.healthUrl(' https://kv.example.org/// ', 'https://default'), 'https://kv.example.org/health');
  assert.equal(page.healthUrl('   ', 'https://default/'), 'https://default/health');
  const ok = (turn) => page.t('srvOk') + ' · v2.1 · ' + page.t(turn);
  for (const [reply, want] of [
    [{ app: 'kelvorasrv', v: '2.1', turn: 'si' }, ok('relayTip')],
    [{ app: 'kelvorasrv', v: '2.1', turn: 'no' }, ok('noRelayTip')],
    [{ app: 'kelvorasrv', v: '2.1' }, ok('noRelayTip')],
    [{ app: 'otro', v: '2.1', turn: 'si' }, page.t('srvBad')],
    [null, page.t('srvBad')],
    ['kelvorasrv', page.t('srvBad')],
  ]) assert.equal(page.serverTestText(reply), want, JSON.stringify(reply));
});

const state = (over = {}) => ({
  current: '1.3.2', phase: 'idle', pct: 0, msg: '', auto: true, last_check: 1765000000, available: false, latest: null,
  dismissed: null, can_install: true, portable: true, waiting: false, result: null, page: 'https://example.org/kelvora/', canal: '',
  ...over,
});
const newer = { available: true, latest: { version: '1.4.0', changes: [{ version: '1.4.0', date: '2026-12-01', md: 'x' }] } };

test('the update state from the local server is checked before it is shown', () => {
  assert.equal(page.cleanUpd(null), null);
  assert.equal(page.cleanUpd('idle'), null);
  assert.equal(page.cleanUpd([]), null);
  const odd = call('cleanUpd', {
    phase: 'exploding', pct: 250, msg: 'x'.repeat(100000), available: true, latest: { version: '1.4<img>' },
    page: 'javascript:alert(1)', result: { ok: 'yes' }, last_check: 'ayer', current: 5,
  });
  assert.equal(odd.phase, 'idle');
  assert.equal(odd.pct, 100);
  assert.ok(odd.msg.length <= 600);
  assert.equal(odd.available, false, 'a version that is no version offers nothing');
  assert.equal(odd.page, '');
  assert.equal(odd.result, null, 'a result without a version says nothing');
  assert.equal(odd.last_check, 0);
  assert.equal(odd.current, page.PAGE.version, 'not a version: the running one');
  const notes = call('cleanUpd', state({ ...newer, latest: { version: '1.4.0', changes: Array(500).fill({ version: '1', date: 'd', md: 'm'.repeat(50000) }) } }));
  assert.ok(notes.latest.changes.length <= 40 && notes.latest.changes.every((c) => c.md.length <= 20000));
});

test('the banner follows the first rule that applies, with its arguments escaped', () => {
  const bar = (over) => page.updBarHtml(page.cleanUpd(state(over)));
  const buttons = (html) => [...html.matchAll(/data-upd="(\w+)"/g)].map((m) => m[1]);

  const failed = bar({ ...newer, phase: 'downloading', result: { ok: false, version: '1.4.0', error: 'la firma <no> coincide' } });
  assert.ok(failed.includes(page.t('updFail', 'la firma &lt;no&gt; coincide')), failed);
  assert.deepEqual(buttons(failed), ['seen']);
  const done = bar({ result: { ok: true, version: '1.4.0', from: '1.3.2' } });
  assert.ok(done.includes(page.t('updOk', '1.4.0')));

  const busy = bar({ ...newer, phase: 'downloading', pct: 42, msg: 'descargando la v1.4.0… <b>' });
  assert.ok(busy.includes(page.t('updBusy', 'descargando la v1.4.0… &lt;b&gt;')), busy);
  assert.match(busy, /width:42%/);
  assert.deepEqual(buttons(busy), []);

  const offer = bar(newer);
  assert.ok(offer.includes(page.t('updAvail', 'v1.4.0', 'v1.3.2')));
  assert.deepEqual(buttons(offer), ['news', 'install', 'dismiss']);
  assert.deepEqual(buttons(bar({ ...newer, can_install: false })), ['news', 'site', 'dismiss']);

  for (const [over, shown] of [
    [{ ...newer, dismissed: '1.4.0' }, false],
    [{ ...newer, dismissed: '1.3.9' }, true],
    [{ ...newer, latest: { version: '1.5.0' }, dismissed: '1.4.0' }, true],
    [{ phase: 'checking' }, false],
    [{ phase: 'done', msg: 'Tienes la versión más reciente (v1.3.2).' }, false],
    [{}, false],
    // A copy the package manager installed is updated by it.
    [{ ...newer, portable: false }, false],
  ]) assert.equal(bar(over) !== '', shown, JSON.stringify(over));
  assert.equal(page.updBarHtml(null), '');
});

test('the update panel offers installing only when it can happen, and no check while one runs', () => {
  const panel = (over) => page.updPanelHtml(page.cleanUpd(state(over)));
  const buttons = (html) => [...html.matchAll(/<button[^>]*data-upd="(\w+)"([^>]*)>/g)].map((m) => m[1] + (m[2].includes('disabled') ? ':off' : ''));
  for (const [over, want] of [
    [{}, ['check']],
    [newer, ['news', 'install', 'check']],
    [{ ...newer, can_install: false }, ['news', 'site', 'check']],
    [{ ...newer, phase: 'checking' }, ['news', 'check:off']],
    [{ ...newer, phase: 'waiting', pct: 100 }, ['check:off']],
    // The way back while the previous version is kept, never in the middle of an update.
    [{ anterior: '1.3.1' }, ['check', 'revert']],
    [{ anterior: '1.3.1', phase: 'installing', pct: 100 }, ['check:off']],
    [{ anterior: '1.3.1<b>' }, ['check']],
    [{ ...newer, anterior: '1.3.1', portable: false }, []],
  ]) assert.deepEqual(buttons(panel(over)), want, JSON.stringify(over));
  assert.ok(panel({ portable: false }).includes(page.t('updSystem')));
  assert.ok(!panel({ portable: true }).includes(page.t('updSystem')));
  assert.ok(panel({ anterior: '1.3.1' }).includes(page.t('updBack', 'v1.3.1')));
  // Days without a good check: said from the second day on.
  assert.ok(panel({ dias_sin_buscar: 5 }).includes(page.t('updStale', '5')));
  for (const days of [1, null, -3, 'muchos']) assert.ok(!panel({ dias_sin_buscar: days }).includes(page.t('updStale', String(days))), String(days));
  assert.ok(panel({ phase: 'checking' }).includes(page.t('updChecking')));
  assert.ok(panel({ last_check: null }).includes(page.t('updNever')));
  assert.ok(panel({ msg: 'No se pudo <buscar>', phase: 'error' }).includes('No se pudo &lt;buscar&gt;'));
});

test('a poll without an answer shows the overlay; the first answer outside "installing" loads the new page', () => {
  for (const [st, overlay, want] of [
    [null, false, 'lost'],
    [null, true, 'lost'],
    [state({ phase: 'installing', pct: 100 }), true, 'again'],
    [state({ phase: 'idle' }), true, 'reload'],
    [state({ phase: 'downloading', pct: 10 }), true, 'reload'],
    [state({ phase: 'checking' }), false, 'again'],
    [state({ phase: 'verifying', pct: 100 }), false, 'again'],
    [state({ phase: 'done', msg: 'Hay una versión nueva: v1.4.0' }), false, 'toast'],
    [state({ phase: 'error', msg: 'No se pudo buscar actualizaciones: x' }), false, 'toast'],
    [state({ phase: 'idle', msg: 'Hay una versión nueva: v1.4.0' }), false, 'done'],
    [state({ phase: 'done' }), false, 'done'],
  ]) assert.equal(page.pollStep(st && page.cleanUpd(st), overlay), want, JSON.stringify([st && st.phase, overlay]));
});

test('polling drives the overlay and the reload through the real poll loop', async () => {
  const p = await load(SETTINGS, { texts: true });
  const doc = fakeDocument();
  p.dom.document = () => doc;
  const els = doc.els;
  let reloads = 0;
  p.http.reload = () => reloads++;
  const replies = [];
  p.http.fetch = async () => {
    const r = replies.shift();
    if (!r) throw new Error('no answer');
    return { json: async () => r };
  };
  const poll = async (reply) => {
    replies.push(reply);
    await p.updPoll();
    clearTimeout(p.UPDP.poll);
  };
  await poll(state({ phase: 'installing', pct: 100, msg: 'instalando…' }));
  assert.equal(els['#upover'].hidden, false, 'installing covers the page');
  assert.match(els['#updBar'].innerHTML, /instalando…/);
  await poll(null);
  assert.equal(els['#upover'].hidden, false);
  assert.equal(reloads, 0);
  await poll(state({ phase: 'idle', current: '1.4.0', result: { ok: true, version: '1.4.0' } }));
  assert.equal(reloads, 1, 'the new program answered: its page is loaded');
  // A polled state shows as the local server gave it: the days without a good check too.
  els['#upover'].hidden = true;
  await poll(state({ phase: 'checking', dias_sin_buscar: 4 }));
  assert.equal(p.ST.UPD.stale_days, 4);
  assert.ok(els['#mUpd'].innerHTML.includes(p.t('updStale', '4')), 'the panel warns of the stale channel');
});

test('release notes are escaped, with bold text, bullets and line breaks', () => {
  assert.equal(page.lightMd('**Nuevo** en <v1.4>\n- llamadas\n- *una* cosa & otra\r\nfin'),
    '<b>Nuevo</b> en &lt;v1.4&gt;<br>• llamadas<br>• *una* cosa &amp; otra<br>fin');
  assert.equal(page.lightMd('**<img src=x onerror=alert(1)>**'), '<b>&lt;img src=x onerror=alert(1)&gt;</b>');
  assert.equal(page.lightMd(''), '');
});
