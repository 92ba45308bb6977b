// The Settings tab (a form built from GET /api/ajustes each time the tab opens), the Help
// tab (the manual with its contents, the update panel), and the update banner under the
// header, which follows the native updater in every tab.
//
// Update polling: while a check or an installation is at work the page asks GET
// /api/update every second. A poll left unanswered for 3 s means the program is replacing
// itself: the overlay covers the page and the page keeps asking every 1.5 s; the first
// answer in a phase other than "installing" comes from the new program, whose page is
// loaded in place of this one.

import { getManual, getNews, getUpdate, http, makeShortcuts, newIdentity, openUrl, openWhat, PAGE, putSettings, readSettings, setAutostart, uninstallProgram, updateAction } from '../core/api.js';
import { DEVS, HOST, MAN, MICT, setting, ST, UPDP } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { prettyId, record, records, yes } from '../core/util.js';
import { devName, findDev, loadDevices } from '../media/devices.js';
import { levelOf } from '../media/mixer.js';
import { toneBurst } from '../media/tones.js';
import { hostConnect, hostDisconnect, monNames, qualityName } from '../net/host.js';
import { cleanMons } from '../net/wire.js';
import { $, dom } from './dom.js';
import { applyI18n, checkServer, closeModal, loadIdentity, loadState, modal, renderAll, setHeaderHeight, toast } from './shell.js';

/** Phases in which the updater works on a package. */
const UPD_BUSY = ['downloading', 'verifying', 'waiting', 'installing'];
const UPD_PHASES = ['idle', 'checking', 'done', 'error', ...UPD_BUSY];
const UPD_POLL_MS = 1000;
const UPD_LOST_MS = 1500;
const UPD_ANSWER_MS = 3000;
const MIC_TEST_MS = 15000;
const SERVER_TEST_MS = 8000;
/** Text limits for what the local server hands over: a broken reply must not flood the page. */
const UPD_TEXT_MAX = 600;
const NOTES_MAX = 20000;
const NOTES_ENTRIES_MAX = 40;
const MANUAL_MAX = 2000000;
const TOC_MAX = 200;

// Pure rules -----------------------------------------------------------------------------------

/** A bounded text, or '' when the value is no text. */
function boundText(/** @type {unknown} */ v, /** @type {number} */ max) {
  return typeof v === 'string' ? v.slice(0, max) : '';
}

/** A version text of the update state ("1.3.2"): digits and dots only, else ''. */
function verText(/** @type {unknown} */ v) {
  return typeof v === 'string' && /^\d{1,10}(\.\d{1,10}){0,5}$/.test(v) ? v : '';
}

/** A number that is finite, else NaN (which fails every comparison). */
function num(/** @type {unknown} */ v) {
  return typeof v === 'number' && Number.isFinite(v) ? v : NaN;
}

/**
 * The update state the screens can trust (see cleanUpd).
 * @typedef {Object} UpdState
 * @property {string} phase idle, checking, done, error, downloading, verifying, waiting or installing
 * @property {string} msg
 * @property {number} pct 0..100
 * @property {boolean} available a newer version is offered
 * @property {{version: string, changes: {version: string, date: string, md: string}[]}|null} latest
 * @property {string} current the running version
 * @property {string|null} dismissed the version whose banner was put off
 * @property {boolean} can_install
 * @property {string} page the version's web page (http or https), or ''
 * @property {number} last_check seconds since 1970 of the last check, 0 never
 * @property {boolean} auto updates install by themselves
 * @property {{version: string, ok: boolean, error: string}|null} result of the last installation, until seen
 * @property {string} anterior the kept previous version, or ''
 * @property {number} stale_days whole days since a check last succeeded
 * @property {boolean} by_system the system's package manager installed this copy and updates it
 */

/**
 * The update state in a shape the screens can trust, from /api/estado's `actualizacion` or
 * an /api/update reply; null when it is no object.
 * @returns {UpdState|null}
 */
export function cleanUpd(/** @type {unknown} */ raw) {
  const st = record(raw);
  if (!st) return null;
  const latest = record(st.latest);
  const changes = records(latest && latest.changes);
  const result = record(st.result);
  const page = boundText(st.page, 500);
  const pct = num(st.pct), lastCheck = num(st.last_check), stale = num(st.dias_sin_buscar);
  return {
    phase: typeof st.phase === 'string' && UPD_PHASES.includes(st.phase) ? st.phase : 'idle',
    msg: boundText(st.msg, UPD_TEXT_MAX),
    pct: Number.isFinite(pct) ? Math.max(0, Math.min(100, Math.round(pct))) : 0,
    available: st.available === true && !!latest && !!verText(latest.version),
    latest: latest && {
      version: verText(latest.version),
      changes: changes
        .slice(0, NOTES_ENTRIES_MAX)
        .map((c) => ({ version: boundText(c.version, 40), date: boundText(c.date, 40), md: boundText(c.md, NOTES_MAX) })),
    },
    current: verText(st.current) || PAGE.version,
    dismissed: typeof st.dismissed === 'string' ? st.dismissed.slice(0, 40) : null,
    can_install: st.can_install === true,
    page: /^https?:\/\//.test(page) ? page : '',
    last_check: lastCheck > 0 ? lastCheck : 0,
    auto: st.auto === true,
    result: result && boundText(result.version, 40) ? { version: boundText(result.version, 40), ok: result.ok === true, error: boundText(result.error, UPD_TEXT_MAX) } : null,
    anterior: verText(st.anterior) || '',
    stale_days: Number.isInteger(stale) && stale >= 0 ? stale : 0,
    by_system: st.portable === false,
  };
}

/** Is the updater working on a package. */
function updBusy(/** @type {UpdState|null} */ st) {
  return !!st && UPD_BUSY.includes(st.phase);
}

/** Can the offered version be installed now. */
function updInstallable(/** @type {UpdState|null} */ st) {
  return !!st && st.available && st.can_install && !updBusy(st) && st.phase !== 'checking';
}

/** The banner under the header for a state; '' hides it. Its texts hold markup, their arguments are escaped. */
export function updBarHtml(/** @type {UpdState|null} */ st) {
  if (!st || st.by_system) return '';
  const btn = (/** @type {string} */ act, /** @type {string} */ label, cls = 'small') => `<button class="${cls}" data-upd="${act}">${esc(label)}</button>`;
  if (st.result) {
    const text = st.result.ok ? t('updOk', esc(st.result.version)) : t('updFail', esc(st.result.error));
    return `<span class="grow">${text}</span>${btn('seen', 'OK')}`;
  }
  if (updBusy(st)) {
    return `<span class="grow">${t('updBusy', esc(st.msg))}</span><span class="upbar" title="${st.pct}%"><i style="width:${st.pct}%"></i></span><span class="muted">${st.pct}%</span>`;
  }
  if (st.available && st.latest && st.dismissed !== st.latest.version) {
    return `<span class="grow">${t('updAvail', esc('v' + st.latest.version), esc('v' + st.current))}</span>` +
      btn('news', t('updNews'), 'small ghost') +
      (st.can_install ? btn('install', t('updNow'), 'small primary') : btn('site', t('updSite'), 'small')) +
      btn('dismiss', t('updLater'), 'small ghost');
  }
  return '';
}

/** The date and time of a check in the page's locale. */
function updWhen(/** @type {number} */ secs) {
  return new Date(secs * 1000).toLocaleString(ST.LANG === 'en' ? 'en-US' : 'es-MX', { dateStyle: 'medium', timeStyle: 'short' });
}

/** The update panel of the Help tab. */
export function updPanelHtml(/** @type {UpdState|null} */ st) {
  if (!st) return `<h2>${esc(t('updTitle'))}</h2><div class="hint">${esc(t('updInstalled', 'v' + PAGE.version))}</div>`;
  const busy = updBusy(st), checking = st.phase === 'checking';
  const rows = [`<div>${esc(t('updInstalled', 'v' + st.current))}</div>`];
  // Updates come with the system's others: nothing here to check, install or go back to.
  if (st.by_system) return `<h2>${esc(t('updTitle'))}</h2><div class="upanel">${rows.join('')}<div class="hint">${esc(t('updSystem'))}</div></div>`;
  if (st.available && st.latest) rows.push(`<div class="good"><b>${esc(t('updNew', 'v' + st.latest.version))}</b></div>`);
  else if (st.msg) rows.push(`<div class="muted">${esc(st.msg)}</div>`);
  if (busy) rows.push(`<div class="row"><span class="upbar wide"><i style="width:${st.pct}%"></i></span><span class="muted">${st.pct}%</span></div>`);
  rows.push(`<div class="hint">${esc(st.last_check ? t('updLast', updWhen(st.last_check)) : t('updNever'))}</div>`);
  // A blocked or frozen update channel shows after a couple of days without a good check.
  if (st.stale_days >= 2) rows.push(`<div class="bad">${esc(t('updStale', String(st.stale_days)))}</div>`);
  rows.push(`<label class="check"><input type="checkbox" data-upd="auto"${st.auto ? ' checked' : ''}><span>${esc(t('updAuto'))}</span></label>`);
  const btns = [];
  if (st.available && !busy) btns.push(`<button data-upd="news">${esc(t('updNews'))}</button>`);
  if (updInstallable(st)) btns.push(`<button class="primary" data-upd="install">${esc(t('updNowBig'))}</button>`);
  // Nothing here can replace the program (a folder it may not write): the page of the
  // version is the way left, also once the banner was put off.
  else if (st.available && !st.can_install && !busy) btns.push(`<button data-upd="site">${esc(t('updSite'))}</button>`);
  btns.push(`<button data-upd="check"${busy || checking ? ' disabled' : ''}>${esc(t(checking ? 'updChecking' : 'updCheck'))}</button>`);
  if (st.anterior && !busy) btns.push(`<button data-upd="revert">${esc(t('updBack', 'v' + st.anterior))}</button>`);
  return `<h2>${esc(t('updTitle'))}</h2><div class="upanel">${rows.join('')}<div class="row">${btns.join('')}</div></div>`;
}

/**
 * Release notes in light markup: escaped, **bold**, "- " lines as bullets, line breaks
 * kept.
 */
export function lightMd(/** @type {string} */ md) {
  return String(md || '')
    .split(/\r?\n/)
    .map((line) => esc(line.startsWith('- ') ? '• ' + line.slice(2) : line).replace(/\*\*(.+?)\*\*/g, '<b>$1</b>'))
    .join('<br>');
}

/**
 * What a poll does with its answer (null: none within the wait): "lost" shows the overlay
 * and asks again soon; "reload" loads the new program's page; "again" asks again in a
 * second; "toast" shows the state's message; "done" stops.
 */
export function pollStep(/** @type {UpdState|null} */ st, /** @type {boolean} */ overlay) {
  if (!st) return 'lost';
  if (overlay && st.phase !== 'installing') return 'reload';
  if (st.phase === 'checking' || updBusy(st)) return 'again';
  return st.msg && st.phase !== 'idle' ? 'toast' : 'done';
}

/** The `monitores` value of the boxes: "todos" when all, none or no box is checked. */
export function monValue(/** @type {{name: string, on: boolean}[]} */ boxes) {
  const on = boxes.filter((b) => b.on);
  return on.length === 0 || on.length === boxes.length ? 'todos' : on.map((b) => b.name).join(',');
}

/**
 * The `monitores` to store: the stored value while no box was touched, so that a choice
 * naming a monitor unplugged today is not widened to every monitor by an unrelated save;
 * else the value of the boxes.
 */
export function monSetting(/** @type {{name: string, on: boolean, was?: boolean}[]} */ boxes, /** @type {string=} */ stored) {
  const untouched = boxes.every((b) => b.was === undefined || b.was === b.on);
  return untouched && stored ? stored : monValue(boxes);
}

/**
 * The Settings form's values (see readForm).
 * @typedef {Object} SettingsForm
 * @property {string} nombre
 * @property {string} idioma
 * @property {boolean} buscar_actualizaciones
 * @property {string} servidor
 * @property {string} conexion
 * @property {boolean} disponible
 * @property {boolean} permitir_control
 * @property {boolean} compartir_audio
 * @property {boolean} desatendido
 * @property {{name: string, on: boolean, was?: boolean}[]} monitores the monitor boxes
 * @property {string} monStored the stored `monitores`
 * @property {string} calidad
 * @property {string} fps
 * @property {boolean} sonido
 * @property {boolean} llamadas
 * @property {string} microfono
 * @property {string} microfono_nombre
 * @property {string} bocina
 * @property {string} bocina_nombre
 * @property {boolean} procesar_voz
 * @property {boolean} autostart
 */

/**
 * The three sections that Save sends, from the form's values. Switches are "si"/"no";
 * the name and the server go trimmed.
 */
export function formSections(/** @type {SettingsForm} */ f) {
  const sw = (/** @type {boolean} */ on) => (on ? 'si' : 'no');
  return {
    general: {
      nombre: String(f.nombre || '').trim(),
      idioma: f.idioma === 'en' ? 'en' : 'es',
      buscar_actualizaciones: sw(f.buscar_actualizaciones),
      servidor: String(f.servidor || '').trim(),
      conexion: f.conexion === 'relevo' ? 'relevo' : 'auto',
    },
    recibir: {
      disponible: sw(f.disponible),
      permitir_control: sw(f.permitir_control),
      compartir_audio: sw(f.compartir_audio),
      desatendido: sw(f.desatendido),
      monitores: monSetting(f.monitores || [], f.monStored),
      calidad: ['nitidez', 'fluidez'].includes(f.calidad) ? f.calidad : 'auto',
      fps: ['15', '60'].includes(f.fps) ? f.fps : '30',
      sonido: sw(f.sonido),
      llamadas: sw(f.llamadas),
    },
    llamada: {
      microfono: String(f.microfono || ''),
      microfono_nombre: devName(f.microfono_nombre),
      bocina: String(f.bocina || ''),
      bocina_nombre: devName(f.bocina_nombre),
      procesar_voz: sw(f.procesar_voz),
    },
  };
}

/**
 * What follows a saved change for the /host/ registration: "reconnect" when the server or
 * the name changed or the PC is no longer available (connecting again stays off then);
 * "connect" when it was off; "" when it can stay as it is.
 */
export function registrationAfterSave(/** @type {{servidor: string, nombre: string}} */ before, /** @type {{servidor: string, nombre: string}} */ after, /** @type {boolean} */ available, /** @type {string} */ hostState) {
  if (before.servidor !== after.servidor || before.nombre !== after.nombre || !available) return 'reconnect';
  return hostState === 'off' ? 'connect' : '';
}

/** The address whose /health the server test reads: the field, else the default, without trailing "/". */
export function healthUrl(/** @type {string} */ field, /** @type {string} */ fallback) {
  return (String(field || '').trim() || String(fallback || '')).replace(/\/+$/, '') + '/health';
}

/** The toast of a server test from its /health reply. */
export function serverTestText(/** @type {unknown} */ raw) {
  const r = record(raw);
  if (!r || r.app !== 'kelvorasrv') return t('srvBad');
  return t('srvOk') + ' · v' + boundText(r.v, 40) + ' · ' + t(r.turn === 'si' ? 'relayTip' : 'noRelayTip');
}

// Settings form ---------------------------------------------------------------------------------

/** A switch row: checkbox, label, and a hint below when given. */
function swRow(/** @type {string} */ id, /** @type {string} */ key, /** @type {boolean} */ on, hint = '') {
  return `<div class="sfield"><label class="check"><input type="checkbox" id="${id}"${on ? ' checked' : ''}><span>${esc(t(key))}</span></label>` +
    (hint ? `<div class="hint">${esc(t(hint))}</div>` : '') + '</div>';
}

/** A labelled select of [value, text] pairs. */
function selRow(/** @type {string} */ id, /** @type {string} */ key, /** @type {[string, string][]} */ opts, /** @type {string} */ cur, hint = '') {
  const o = opts.map(([v, text]) => `<option value="${esc(v)}"${v === cur ? ' selected' : ''}>${esc(text)}</option>`).join('');
  return `<label class="field"><span>${esc(t(key))}</span><select id="${id}">${o}</select>${hint ? `<span class="hint">${esc(t(hint))}</span>` : ''}</label>`;
}

/** A labelled button row. */
function btnRow(/** @type {string} */ id, /** @type {string} */ key, /** @type {string} */ btnKey, hint = '', cls = '') {
  return `<div class="field"><span>${esc(t(key))}</span><div class="row"><button id="${id}"${cls ? ` class="${cls}"` : ''}>${esc(t(btnKey))}</button></div>` +
    (hint ? `<span class="hint">${esc(t(hint))}</span>` : '') + '</div>';
}

/**
 * Options of a device select: the system default first, then the devices. A stored device
 * is found by id, else by name; one that is not listed stays chosen (so that saving keeps
 * it): marked missing, unless the browser hides the devices until the microphone is
 * allowed and it may well be there.
 */
export function deviceOptions(/** @type {{id: string, name: string}[]} */ list, /** @type {string} */ id, /** @type {string} */ name, /** @type {boolean} */ hidden) {
  const { dev } = findDev(list, id, name);
  const o = [`<option value="" data-name="">${esc(t('dkDef'))}</option>`];
  for (const d of list) o.push(`<option value="${esc(d.id)}" data-name="${esc(d.name)}"${d === dev ? ' selected' : ''}>${esc(d.name || '…')}</option>`);
  if ((id || name) && !dev) {
    const text = hidden ? name || id : '⚠ ' + (name || id) + ' — ' + t('devGone');
    o.push(`<option value="${esc(id)}" data-name="${esc(name)}" selected>${esc(text)}</option>`);
  }
  return o.join('');
}

/** The form from the stored settings and the PC's state. */
async function loadSettings() {
  try {
    const a = await readSettings();
    if (a && typeof a === 'object') ST.AJ = { general: a.general || {}, recibir: a.recibir || {}, llamada: a.llamada || {} };
  } catch {}
  await loadState();
  await buildSettings();
}

/** Entering the Settings tab. */
export function renderSettings() {
  loadSettings();
}

async function buildSettings() {
  const g = (/** @type {string} */ k) => setting('general', k), r = (/** @type {string} */ k) => setting('recibir', k), c = (/** @type {string} */ k) => setting('llamada', k);
  const name = ST.ID && typeof ST.ID.nombre === 'string' ? ST.ID.nombre : '';
  const chosen = monNames(r('monitores'));
  const mons = cleanMons(ST.S.monitores);
  const boxes = mons
    .map((m) => `<label class="check"><input type="checkbox" data-mon="${esc(m.name)}"${!chosen.length || chosen.includes(m.name) ? ' checked' : ''}><span>${esc(`🖥 ${m.i + 1} · ${m.w}×${m.h}${m.primary ? ' ★' : ''}`)}</span></label>`)
    .join('');
  await loadDevices();

  $('#f-general').innerHTML = `<h2 data-i="setGeneral">${esc(t('setGeneral'))}</h2>` +
    `<label class="field"><span>${esc(t('sName'))}</span><input id="sfName" maxlength="32" value="${esc(g('nombre'))}" placeholder="${esc(name)}"><span class="hint">${esc(t('sNameHint'))}</span></label>` +
    selRow('sfLang', 'sLang', [['es', 'Español (México)'], ['en', 'English']], g('idioma') === 'en' ? 'en' : 'es') +
    swRow('sfAutostart', 'sAutostart', !!ST.S.inicio_windows, 'sAutostartHint') +
    swRow('sfUpd', 'sUpd', yes(g('buscar_actualizaciones'))) +
    btnRow('sfLinks', 'sLinks', 'sLinksBtn', 'sLinksHint');

  $('#f-recibir').innerHTML = `<h2 data-i="setReceive">${esc(t('setReceive'))}</h2>` +
    swRow('sfAvail', 'sAvail', yes(r('disponible'))) +
    swRow('sfCtl', 'sCtl', yes(r('permitir_control'))) +
    swRow('sfAud', 'sAud', yes(r('compartir_audio'))) +
    swRow('sfUA', 'sUA', yes(r('desatendido')), 'sUAHint') +
    `<div class="field"><span>${esc(t('sMons'))}</span><div class="smons" id="sfMons" data-stored="${esc(r('monitores'))}">${boxes}</div><span class="hint">${esc(t('sMonsHint'))}</span></div>` +
    `<div class="row spair">` +
    selRow('sfQual', 'sQual', [['auto', t('qAuto')], ['nitidez', t('qText')], ['fluidez', t('qMotion')]], qualityName(r('calidad')) || 'auto') +
    selRow('sfFps', 'sFps', [['15', '15'], ['30', '30'], ['60', '60']], ['15', '60'].includes(r('fps')) ? r('fps') : '30') +
    `</div>` +
    swRow('sfSound', 'sSound', yes(r('sonido'))) +
    swRow('sfCalls', 'sCalls', yes(r('llamadas')), 'sCallsHint') +
    btnRow('sfNewId', 'sNewId', 'sNewIdBtn', 'sNewIdHint');

  buildCallCard({ microfono: c('microfono'), microfono_nombre: c('microfono_nombre'), bocina: c('bocina'), bocina_nombre: c('bocina_nombre'), procesar: yes(c('procesar_voz')) });

  $('#f-avanzado').innerHTML = `<h2 data-i="setAdvanced">${esc(t('setAdvanced'))}</h2>` +
    `<label class="field"><span>${esc(t('sServer'))}</span><div class="row sdev"><input id="sfServer" value="${esc(g('servidor'))}" placeholder="${esc(ST.S.servidor || '')}" spellcheck="false" autocomplete="off">` +
    `<button id="sfTest">${esc(t('sTest'))}</button></div><span class="hint">${esc(t('sServerHint'))}</span></label>` +
    btnRow('sfUninst', 'sUninst', 'sUninstBtn', 'sUninstHint', 'danger') +
    selRow('sfConn', 'sConn', [['auto', t('sConnAuto')], ['relevo', t('sConnRelay')]], g('conexion') === 'relevo' ? 'relevo' : 'auto', 'sConnHint');

  $('#sfLinks').onclick = makeLinks;
  $('#sfNewId').onclick = newId;
  $('#sfTest').onclick = testServer;
  $('#sfUninst').onclick = uninstallApp;
}

/**
 * The Call card: device lists, their tests, voice processing. Built apart from the rest so
 * that the lists can be filled again once device names show, without losing other edits.
 */
function buildCallCard(/** @type {{microfono: string, microfono_nombre: string, bocina: string, bocina_nombre: string, procesar: boolean}} */ v) {
  const hidden = !DEVS.labels;
  MICT.rebuild = hidden || DEVS.mics.length <= 1;
  $('#f-llamada').innerHTML = `<h2 data-i="setCall">${esc(t('setCall'))}</h2>` +
    `<label class="field"><span>${esc(t('sMic'))}</span><div class="row sdev"><select id="sfMic">${deviceOptions(DEVS.mics, v.microfono, v.microfono_nombre, hidden)}</select>` +
    `<button id="sfMicTest">${esc(t('sMicTest'))}</button></div><meter id="sfMicMeter" min="0" max="100" value="0" hidden></meter></label>` +
    `<label class="field"><span>${esc(t('dkSpk'))}</span><div class="row sdev"><select id="sfSpk">${deviceOptions(DEVS.outs, v.bocina, v.bocina_nombre, hidden)}</select>` +
    `<button id="sfSpkTest">${esc(t('spkTest'))}</button></div></label>` +
    swRow('sfProc', 'sProc', v.procesar);
  $('#sfMicTest').onclick = micTest;
  $('#sfSpkTest').onclick = speakerTest;
}

/**
 * The form's values as formSections takes them.
 * @returns {SettingsForm}
 */
function readForm() {
  const on = (/** @type {string} */ id) => !!$('#' + id).checked;
  const pick = (/** @type {string} */ id) => {
    const sel = $('#' + id);
    const opt = sel.selectedOptions && sel.selectedOptions[0];
    return { id: sel.value, name: opt ? opt.dataset.name || '' : '' };
  };
  const mic = pick('sfMic'), spk = pick('sfSpk');
  return {
    nombre: $('#sfName').value, idioma: $('#sfLang').value, buscar_actualizaciones: on('sfUpd'),
    servidor: $('#sfServer').value, conexion: $('#sfConn').value,
    disponible: on('sfAvail'), permitir_control: on('sfCtl'), compartir_audio: on('sfAud'), desatendido: on('sfUA'),
    monitores: [...dom.document().querySelectorAll('#sfMons input[data-mon]')].map((el) => {
      const b = /** @type {HTMLInputElement} */ (el);
      return { name: b.dataset.mon || '', on: b.checked, was: b.defaultChecked };
    }),
    monStored: $('#sfMons').dataset.stored || '',
    calidad: $('#sfQual').value, fps: $('#sfFps').value, sonido: on('sfSound'), llamadas: on('sfCalls'),
    microfono: mic.id, microfono_nombre: mic.name, bocina: spk.id, bocina_nombre: spk.name, procesar_voz: on('sfProc'),
    autostart: on('sfAutostart'),
  };
}

async function saveSettings() {
  if (!$('#sfName')) return;
  const f = readForm();
  const before = { servidor: ST.ID ? String(ST.ID.servidor || '') : '', nombre: ST.ID ? String(ST.ID.nombre || '') : '' };
  const wasLang = ST.LANG, hostState = HOST.state;
  /** @type {Awaited<ReturnType<typeof putSettings>>|null} */
  let r = null;
  try {
    r = await putSettings(formSections(f));
  } catch {}
  if (!r || r.ok !== true) {
    if (r && typeof r.msg === 'string') toast(r.msg.slice(0, UPD_TEXT_MAX), 6000);
    return;
  }
  // What the start-with-the-system switch had to say goes with the final toast, which
  // would otherwise replace it at once.
  let note = '';
  if (f.autostart !== !!ST.S.inicio_windows) {
    try {
      const a = await setAutostart({ on: f.autostart });
      if (a && typeof a.msg === 'string') note = a.msg.slice(0, UPD_TEXT_MAX);
    } catch {}
  }
  const a = r.ajustes && typeof r.ajustes === 'object' ? r.ajustes : {};
  ST.AJ = { general: a.general || {}, recibir: a.recibir || {}, llamada: a.llamada || {} };
  await loadIdentity();
  await loadState();
  ST.LANG = setting('general', 'idioma') === 'en' ? 'en' : 'es';
  if (ST.LANG !== wasLang) {
    applyI18n();
    renderAll();
    reloadManual();
  }
  const after = { servidor: ST.ID ? String(ST.ID.servidor || '') : '', nombre: ST.ID ? String(ST.ID.nombre || '') : '' };
  const step = registrationAfterSave(before, after, yes(setting('recibir', 'disponible')), hostState);
  if (step === 'reconnect') {
    hostDisconnect();
    ST.ICE = null;
    hostConnect();
  } else if (step === 'connect') hostConnect();
  if (before.servidor !== after.servidor) checkServer();
  if (note) toast(t('saved') + ' ' + note, 6000);
  else toast(t('saved'));
}

/** Reads /health of the address in the field (or the default) and says what answered. */
async function testServer() {
  const url = healthUrl($('#sfServer').value, ST.S.servidor || '');
  /** @type {unknown} */
  let r = null;
  if (/^https:\/\//.test(url)) {
    const ac = new AbortController();
    const timer = setTimeout(() => ac.abort(), SERVER_TEST_MS);
    try {
      const res = await fetch(url, { cache: 'no-store', signal: ac.signal });
      const text = await res.text();
      if (text.length < 4096) r = JSON.parse(text);
    } catch {} finally {
      clearTimeout(timer);
    }
  }
  toast(serverTestText(r), 8000);
}

async function newId() {
  if (!confirm(t('sNewIdAsk'))) return;
  /** @type {Awaited<ReturnType<typeof newIdentity>>|null} */
  let r = null;
  try {
    r = await newIdentity();
  } catch {}
  if (!r || r.ok !== true) {
    if (r && typeof r.msg === 'string') toast(r.msg.slice(0, UPD_TEXT_MAX), 6000);
    return;
  }
  hostDisconnect();
  await loadIdentity();
  hostConnect();
  toast(ST.ID ? `${t('yourId')}: ${prettyId(ST.ID.id)}` : t('saved'), 6000);
}

async function makeLinks() {
  const r = await makeShortcuts().catch(() => null);
  toast(t(r && r.ok === true ? 'linksOk' : 'linksFail'), 6000);
}

async function uninstallApp() {
  const r = await uninstallProgram().catch(() => null);
  toast(t(r && r.ok === true ? 'uninstOpen' : 'uninstFail'), 8000);
}

/** Ends the microphone test: the device is let go and the meter hidden. */
function stopMicTest() {
  clearInterval(MICT.timer);
  clearTimeout(MICT.stop);
  MICT.timer = MICT.stop = 0;
  if (MICT.stream) MICT.stream.getTracks().forEach((tr) => tr.stop());
  MICT.stream = null;
  if (MICT.ctx) MICT.ctx.close().catch(() => {});
  MICT.ctx = null;
  const m = $('#sfMicMeter');
  if (m) {
    m.hidden = true;
    m.value = 0;
  }
  const b = $('#sfMicTest');
  if (b) b.classList.remove('on');
}

/**
 * Toggles the microphone test: the chosen device with the chosen voice processing, its
 * level shown every 100 ms for 15 s. Before the first permission the browser hides device
 * names; once a device opened they show, so the form is built again then.
 */
async function micTest() {
  if (MICT.stream) {
    stopMicTest();
    return;
  }
  if (MICT.opening) return;
  const id = $('#sfMic').value, proc = !!$('#sfProc').checked;
  /** @type {MediaStream} */
  let st;
  MICT.opening = true;
  try {
    st = await navigator.mediaDevices.getUserMedia({
      audio: { ...(id ? { deviceId: { exact: id } } : {}), echoCancellation: proc, noiseSuppression: proc, autoGainControl: proc },
    });
  } catch (e) {
    MICT.opening = false;
    const err = /** @type {{message?: string, name?: string}} */ (e || {});
    toast(t('micErr', String(err.message || err.name || '').slice(0, 200)), 6000);
    return;
  }
  if (MICT.rebuild) {
    const f = readForm();
    await loadDevices();
    buildCallCard({ ...f, procesar: f.procesar_voz });
  }
  MICT.opening = false;
  if (!$('#sfMicMeter')) {
    st.getTracks().forEach((tr) => tr.stop());
    return;
  }
  MICT.stream = st;
  const ctx = (MICT.ctx = new AudioContext());
  const an = ctx.createAnalyser();
  an.fftSize = 512;
  ctx.createMediaStreamSource(st).connect(an);
  const meter = $('#sfMicMeter');
  meter.hidden = false;
  $('#sfMicTest').classList.add('on');
  MICT.timer = setInterval(() => {
    const m = $('#sfMicMeter');
    // Leaving the tab ends the test: the microphone is not kept open behind the user's back.
    if (m && !$('#tab-ajustes').hidden) m.value = levelOf(an);
    else stopMicTest();
  }, 100);
  MICT.stop = setTimeout(stopMicTest, MIC_TEST_MS);
  st.getAudioTracks().forEach((tr) => tr.addEventListener('ended', stopMicTest));
}

/** The speaker test's notes on the output chosen in the form, saved or not. */
function speakerTest() {
  try {
    // Chromium's AudioContext plays on a chosen output; the DOM types don't know it yet.
    const ac = /** @type {AudioContext & {setSinkId?: (id: string) => Promise<void>}} */ (new AudioContext());
    const id = $('#sfSpk').value;
    if (typeof ac.setSinkId === 'function') ac.setSinkId(id).catch(() => {});
    [523, 659, 784].forEach((f, i) => toneBurst(ac, [f], [[i * 0.18, i * 0.18 + 0.16]], 0.15));
    setTimeout(() => ac.close().catch(() => {}), 1500);
  } catch {}
}

// Manual ----------------------------------------------------------------------------------------

/** The contents list: two levels; entries are checked, bounded and escaped. */
function tocHtml(/** @type {unknown} */ toc) {
  const entries = (/** @type {unknown} */ v) => (Array.isArray(v) ? v : []).slice(0, TOC_MAX).flatMap((x) => {
    const e = record(x);
    return e ? [e] : [];
  });
  const item = (/** @type {Object<string, unknown>} */ e) => `<a href="#${esc(boundText(e.id, 200))}">${esc(boundText(e.title, 300))}</a>`;
  return '<ol>' + entries(toc).map((e) => {
    const sub = entries(e.sub);
    return `<li>${item(e)}${sub.length ? '<ol>' + sub.map((x) => `<li>${item(x)}</li>`).join('') + '</ol>' : ''}</li>`;
  }).join('') + '</ol>';
}

/** The manual's head: title, version, language chips and its buttons. */
function manualHead(/** @type {Object<string, unknown>} */ txt, /** @type {string} */ version) {
  const chip = (/** @type {string} */ l, /** @type {string} */ name) => `<button class="small chip${MAN.lang === l ? ' on' : ''}" data-man="${l}">${name}</button>`;
  return `<div class="mhead"><div><h2>${esc(boundText(txt.title, 100) || t('tabHelp'))}</h2>` +
    (version ? `<div class="muted">${esc(boundText(txt.ver, 100))} ${esc(version)}</div>` : '') + '</div><span class="spacer"></span>' +
    `<div class="row">${chip('es', 'Español')}${chip('en', 'English')}` +
    `<button class="small" data-man="print">🖨 ${esc(t('print'))}</button><button class="small" data-man="hist">${esc(t('histBtn'))}</button>` +
    `<button class="small ghost" data-man="log">${esc(t('log'))}</button></div></div>`;
}

/**
 * The manual in the language asked, else the last one shown, else the page's. It is
 * fetched again only when asked for a language explicitly or when the language differs.
 */
async function loadManual(lang = '') {
  const want = lang === 'en' || lang === 'es' ? lang : MAN.lang || ST.LANG;
  if (!lang && MAN.ok && want === MAN.lang) return;
  const gen = ++MAN.gen;
  MAN.lang = want;
  MAN.pageLang = ST.LANG;
  let r = null;
  try {
    r = record(await getManual(want));
  } catch {}
  if (gen !== MAN.gen) return;
  const box = $('#manual');
  const ok = !!r && r.ok === true && typeof r.html === 'string' && r.html.length <= MANUAL_MAX;
  MAN.ok = ok;
  if (!r || !ok) {
    const msg = r && typeof r.msg === 'string' ? r.msg.slice(0, UPD_TEXT_MAX) : '';
    box.innerHTML = manualHead({}, '') + `<div class="mdoc empty">${esc(msg || '—')}</div>`;
    return;
  }
  const txt = record(r.txt) || {};
  const contact = boundText(r.contact, 200);
  // The manual is the program's own text, rendered by the local server from what is built
  // into it: it goes in as markup.
  box.innerHTML = manualHead(txt, boundText(r.version, 40)) +
    `<div class="man"><nav class="mtoc"><h3>${esc(boundText(txt.toc, 100))}</h3>${tocHtml(r.toc)}</nav>` +
    `<div class="mdoc"><article class="mbody" lang="${want}">${r.html}</article>` +
    `<p class="mclose muted">Powered by Arquena${contact ? ' · ' + esc(contact) : ''}</p>` +
    `<div class="msign"><button class="ghost" data-man="site">Powered by Arquena</button></div></div></div>`;
}

/** The hook of the tabs and of the language button. */
export function reloadManual() {
  // After a language change the manual follows the page; otherwise it keeps the one chosen.
  if (MAN.pageLang && MAN.pageLang !== ST.LANG) loadManual(ST.LANG);
  else if (!$('#tab-ayuda').hidden) loadManual();
}

function printManual() {
  window.open('/manual/imprimir?lang=' + (MAN.lang || ST.LANG), '_blank');
}

/** Clicks inside the manual: its buttons, the contents list and the links of the text. */
function manualClick(/** @type {MouseEvent} */ e) {
  const el = /** @type {HTMLElement} */ (e.target);
  const b = /** @type {HTMLElement|null} */ (el.closest('[data-man]'));
  if (b) {
    const act = b.dataset.man || '';
    if (act === 'es' || act === 'en') loadManual(act);
    else if (act === 'print') printManual();
    else if (act === 'hist') showHistory();
    else if (act === 'log') openWhat('log');
    else if (act === 'site') openWhat('sitio');
    return;
  }
  const a = /** @type {HTMLAnchorElement|null} */ (el.closest('a[href]'));
  if (!a) return;
  e.preventDefault();
  const href = a.getAttribute('href') || '';
  if (href.startsWith('#')) {
    let id = href.slice(1);
    try {
      id = decodeURIComponent(id);
    } catch {}
    const target = id ? dom.document().getElementById(id) : null;
    if (target && $('#manual').contains(target)) target.scrollIntoView({ behavior: 'smooth', block: 'start' });
  } else openUrl(href);
}

/** The dialog with room for release notes; the room goes when it closes. */
function notesModal(/** @type {string} */ html) {
  const box = $('#modalBox');
  modal(html, () => box.classList.remove('wide'));
  box.classList.add('wide');
  box.querySelector('[data-close]').onclick = closeModal;
}

/** The version history dialog. */
async function showHistory() {
  let r = null;
  try {
    r = record(await getNews());
  } catch {}
  if (!r || r.ok !== true || typeof r.html !== 'string' || r.html.length > MANUAL_MAX) {
    toast(r && typeof r.msg === 'string' ? r.msg.slice(0, UPD_TEXT_MAX) : '—', 6000);
    return;
  }
  notesModal(`<h3>${esc(t('histTitle'))}</h3><p class="muted">${esc(t('histTxt', PAGE.version, boundText(r.fecha, 40)))}</p>` +
    `<div class="notes">${r.html}</div><div class="actions"><button class="primary" data-close>${esc(t('close'))}</button></div>`);
}

// Update banner, panel and polling ---------------------------------------------------------------

function updBar(/** @type {UpdState|null} */ st) {
  const html = updBarHtml(st);
  const bar = $('#updBar');
  bar.innerHTML = html;
  bar.hidden = !html;
  setHeaderHeight();
}

function renderUpd(/** @type {UpdState|null} */ st) {
  $('#mUpd').innerHTML = updPanelHtml(st);
}

/** Takes a new update state (from /api/estado or /api/update) and shows it everywhere. */
export function updateShow(/** @type {unknown} */ raw) {
  const st = cleanUpd(raw);
  if (!st) return;
  ST.UPD = st;
  updBar(st);
  renderUpd(st);
  if (st.phase === 'installing') $('#upover').hidden = false;
}

/** At start: a check or an installation already at work is followed. */
export function updateStartPolling(/** @type {unknown} */ raw) {
  const st = cleanUpd(raw);
  if (st && (st.phase === 'checking' || updBusy(st))) updPoll();
}

/** One update action; the reply becomes the state. A refusal is said in a toast. */
async function updAct(/** @type {string} */ action, /** @type {{on?: boolean}} */ extra = {}) {
  let r = null;
  try {
    r = record(await updateAction({ ...extra, action }));
  } catch {}
  if (!r) return null;
  updateShow(r);
  if (r.ok !== true) {
    if (typeof r.msg === 'string' && r.msg) toast(r.msg.slice(0, UPD_TEXT_MAX), 6000);
    return r;
  }
  if (action === 'check') {
    toast(t('searching'));
    clearTimeout(UPDP.poll);
    UPDP.poll = setTimeout(updPoll, 1200);
  }
  return r;
}

async function doUpdate() {
  let r = null;
  try {
    r = record(await updateAction({ action: 'install' }));
  } catch {}
  if (!r) return;
  if (r.ok !== true) {
    toast(typeof r.msg === 'string' ? r.msg.slice(0, UPD_TEXT_MAX) : t('updFail', ''), 6000);
    return;
  }
  closeModal();
  updateShow(r);
  toast(t('downloading'));
  updPoll();
}

/** One poll of the update state (see the top of this section); one loop at a time. */
export async function updPoll() {
  clearTimeout(UPDP.poll);
  UPDP.poll = 0;
  const gen = ++UPDP.gen;
  const ac = new AbortController();
  const timer = setTimeout(() => ac.abort(), UPD_ANSWER_MS);
  /** @type {unknown} */
  let raw = null;
  try {
    raw = await getUpdate(ac.signal);
  } catch {} finally {
    clearTimeout(timer);
  }
  const st = cleanUpd(raw);
  if (gen !== UPDP.gen) return;
  const over = $('#upover');
  const step = pollStep(st, !over.hidden);
  if (step === 'lost') {
    over.hidden = false;
    UPDP.poll = setTimeout(updPoll, UPD_LOST_MS);
    return;
  }
  if (step === 'reload') {
    http.reload();
    return;
  }
  // The answer as it came: cleaning a cleaned state again would lose what it renamed.
  updateShow(raw);
  if (step === 'again') UPDP.poll = setTimeout(updPoll, UPD_POLL_MS);
  else if (step === 'toast' && st) toast(st.msg, 6000);
}

/** The release notes of the offered version. */
function showNews() {
  const st = ST.UPD;
  const list = st && st.latest ? st.latest.changes : [];
  const body = list.length
    ? list.map((c) => `<div class="note"><b>v${esc(c.version)}</b> <span class="muted">${esc(c.date)}</span><div>${lightMd(c.md)}</div></div>`).join('')
    : `<p class="muted">${esc(t('noNotes'))}</p>`;
  notesModal(`<h3>${esc(t('newsTitle'))}</h3><div class="notes">${body}</div><div class="actions">` +
    (updInstallable(st) ? `<button class="primary" data-upd="install">${esc(t('updNowBig'))}</button>` : '') +
    `<button data-close>${esc(t('close'))}</button></div>`);
}

/** Buttons of the banner, the panel and the notes dialog (data-upd). */
function updClick(/** @type {Event} */ e) {
  const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('[data-upd]'));
  if (!b) return;
  const act = b.dataset.upd || '';
  if (act === 'auto') return;
  if (act === 'install') doUpdate();
  else if (act === 'news') showNews();
  else if (act === 'site') {
    if (ST.UPD && ST.UPD.page) openUrl(ST.UPD.page);
  } else if (act === 'revert') updRevert();
  else if (act === 'seen' || act === 'dismiss' || act === 'check') updAct(act);
}

/** Back to the kept previous version: the program restarts as it, the page follows. */
async function updRevert() {
  const r = await updAct('revert');
  if (!r || r.ok !== true) return;
  $('#upover').hidden = false;
  updPoll();
}

/** The screens again in the page's language (the settings form from what is in memory). */
export function renderScreens() {
  updBar(ST.UPD);
  renderUpd(ST.UPD);
  if (!$('#tab-ajustes').hidden && $('#sfName')) buildSettings();
}

// Wiring ----------------------------------------------------------------------------------------

export function wireSettings() {
  $('#saveBtn').onclick = saveSettings;
  $('#logBtn').onclick = () => openWhat('log');
  $('#dataBtn').onclick = () => openWhat('datos');
  $('#verBtn').onclick = showHistory;
  $('#manual').addEventListener('click', manualClick);
  for (const sel of ['#updBar', '#mUpd', '#modalBox']) $(sel).addEventListener('click', updClick);
  $('#mUpd').addEventListener('change', (/** @type {Event} */ e) => {
    const box = /** @type {HTMLInputElement} */ (e.target);
    if (box.dataset.upd === 'auto') updAct('auto', { on: box.checked });
  });
  renderUpd(ST.UPD);
}
