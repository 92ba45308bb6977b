// The page's frame: texts applied, tabs, pills, toast, dialog and menu, the regions table,
// and what concerns the whole page (state loads, the language, quitting, the tick).

import { getStatus, identity, openWhat, putSettings, quitProgram, writeLocalClipboard } from '../core/api.js';
import { srvUrl } from '../core/server.js';
import { HOST, ST, TS } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { loadDevices } from '../media/devices.js';
import { callLeave } from '../net/group_call.js';
import { endAllLines } from '../net/phone.js';
import { endSession } from '../net/session.js';
import { $, dom } from './dom.js';

/** @typedef {import('../core/state.js').Session} Session */

export function applyI18n() {
  dom.document().documentElement.lang = ST.LANG;
  const all = (/** @type {string} */ sel) => /** @type {NodeListOf<HTMLInputElement>} */ (dom.document().querySelectorAll(sel));
  all('[data-i]').forEach((e) => { e.textContent = t(e.dataset.i || ''); });
  all('[data-ip]').forEach((e) => { e.placeholder = t(e.dataset.ip || ''); });
  all('[data-it]').forEach((e) => { e.title = t(e.dataset.it || ''); });
  // A field whose placeholder is an example ("123 456 789") gets its name from here.
  all('[data-ia]').forEach((e) => { e.setAttribute('aria-label', t(e.dataset.ia || '')); });
  $('#langBtn').textContent = ST.LANG === 'es' ? 'EN' : 'ES';
}

async function toggleLang() {
  ST.LANG = ST.LANG === 'es' ? 'en' : 'es';
  ST.AJ.general.idioma = ST.LANG;
  putSettings({ general: { idioma: ST.LANG } }).catch(() => {});
  applyI18n();
  renderAll();
  regions.manual();
}

/** Keeps at most 9 digits in an ID field and groups them while typing. */
export function fmtIdInput(/** @type {HTMLInputElement} */ input) {
  const d = input.value.replace(/\D/g, '').slice(0, 9);
  input.value = [d.slice(0, 3), d.slice(3, 6), d.slice(6)].filter(Boolean).join(' ');
}

export async function copyText(/** @type {string} */ s) {
  try {
    await navigator.clipboard.writeText(s);
    toast(t('copied'));
  } catch {
    const r = await writeLocalClipboard(s).catch(() => null);
    toast(t(r && r.ok ? 'copied' : 'copyFail'));
  }
}

// Regions ------------------------------------------------------------------------------

const nothing = () => {};
/**
 * Every region of the page by name, drawn from state by its render function; app.js
 * fills the table. Code that must redraw a region it does not own (a language change
 * redraws them all) goes through here, so that ui/ modules import one another one way.
 * @type {{
 *   idCard: () => void, hostStatus: () => void, hostBar: () => void, sessions: (force: boolean) => void,
 *   viewer: () => void, viewerBar: () => void, recents: () => void, history: () => void, chat: () => void,
 *   dock: (force?: boolean) => void, devices: () => void, screens: () => void, call: () => void,
 *   settings: () => void, manual: () => void, update: (st: unknown) => void,
 * }}
 */
export const regions = {
  idCard: nothing, hostStatus: nothing, hostBar: nothing, sessions: nothing, viewer: nothing, viewerBar: nothing,
  recents: nothing, history: nothing, chat: nothing, dock: nothing, devices: nothing, screens: nothing, call: nothing,
  settings: nothing, manual: nothing, update: nothing,
};

// Toast, dialog, menu -------------------------------------------------------------------

/** @type {ReturnType<typeof setTimeout>|number} */
let toastTimer = 0;
export function toast(/** @type {string} */ text, ms = 3600) {
  const el = $('#toast');
  el.textContent = text;
  el.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { el.hidden = true; }, ms);
}

/** @type {(() => void)|null} */
let modalClose = null;
/** Opens the one generic dialog; onClose runs once when it closes (Escape and backdrop too). */
export function modal(/** @type {string} */ html, /** @type {(() => void)=} */ onClose) {
  closeModal();
  $('#modalBox').innerHTML = html;
  $('#modal').hidden = false;
  modalClose = onClose || null;
}
export function closeModal() {
  if ($('#modal').hidden) return;
  $('#modal').hidden = true;
  $('#modalBox').innerHTML = '';
  const f = modalClose;
  modalClose = null;
  if (f) f();
}

/** @type {((act: string, el: HTMLElement) => void)|null} */
let menuPick = null;
/** The anchor whose press just closed its own menu: the click that follows must not reopen it. */
let menuToggled = '';
/**
 * The popup menu under an anchor. Items are buttons with data-act; onPick gets the act and
 * the button. Clicking elsewhere or Escape closes it.
 */
export function openMenu(/** @type {HTMLElement} */ anchor, /** @type {string} */ html, /** @type {(act: string, el: HTMLElement) => void} */ onPick) {
  if (menuToggled && menuToggled === anchor.id) {
    menuToggled = '';
    return;
  }
  const m = $('#menu');
  m.innerHTML = html;
  m.hidden = false;
  m.dataset.owner = anchor.id || '';
  menuPick = onPick;
  const r = anchor.getBoundingClientRect();
  const w = m.offsetWidth, h = m.offsetHeight;
  m.style.left = Math.max(8, Math.min(r.left, innerWidth - w - 8)) + 'px';
  m.style.top = (r.bottom + 4 + h > innerHeight ? Math.max(8, r.top - h - 4) : r.bottom + 4) + 'px';
}
export function closeMenu() {
  $('#menu').hidden = true;
  $('#menu').dataset.owner = '';
  menuPick = null;
}
/** Whether the menu opened from this anchor is showing (menus rebuild on news while open). */
export function menuOpenFor(/** @type {string} */ anchorId) {
  return !$('#menu').hidden && $('#menu').dataset.owner === anchorId;
}

// Tabs, header, state -------------------------------------------------------------------

export function showTab(/** @type {string} */ name) {
  dom.document().querySelectorAll('nav.tabs button').forEach((b) => b.classList.toggle('on', /** @type {HTMLElement} */ (b).dataset.tab === name));
  dom.document().querySelectorAll('main > .tab').forEach((s) => { /** @type {HTMLElement} */ (s).hidden = s.id !== 'tab-' + name; });
  $('main').scrollTop = 0;
  if (name === 'ayuda') regions.manual();
  if (name === 'ajustes') regions.settings();
  if (name === 'llamada' && typeof loadDevices === 'function') loadDevices();
}

export function renderPills() {
  /** @type {[string, string, string?][]} class, text key, tooltip key */
  const pills = [];
  pills.push(HOST.state === 'online' ? ['ok', 'pillSrvOk'] : [HOST.state === 'off' ? '' : 'bad', 'pillSrvBad']);
  pills.push(ST.S.admin ? ['ok', 'pillAdmin'] : ['warn', 'pillNoAdmin', 'adminNote']);
  if (ST.S.portatil) pills.push(['', 'pillPortable', 'portTip']);
  if (ST.SRV.turn !== undefined) {
    if (ST.SRV.turn === 'si') pills.push(['ok', 'pillRelay', 'relayTip']);
    else pills.push([ST.SRV.turn === 'no' ? 'warn' : 'bad', 'pillNoRelay', 'noRelayTip']);
  }
  // On a narrow window a chip shows only its dot: the tooltip then names it too.
  $('#pills').innerHTML = pills
    .map(([c, k, tip]) => `<span class="pill ${c}" title="${esc(t(k) + (tip ? ' · ' + t(tip) : ''))}"><span class="dot ${c}"></span><span class="ptx">${esc(t(k))}</span></span>`)
    .join('');
}

export async function checkServer() {
  try {
    const r = await (await fetch(srvUrl('/health'), { cache: 'no-store' })).json();
    ST.SRV = { turn: r.turn || 'no', v: r.v };
  } catch {
    ST.SRV = {};
  }
  renderPills();
}

export async function loadState() {
  try {
    ST.S = await getStatus();
  } catch {
    return;
  }
  $('#adminNote').hidden = !!ST.S.admin;
  regions.recents();
  regions.history();
  renderPills();
  regions.update(ST.S.actualizacion);
}

export async function loadIdentity() {
  try {
    const r = await identity();
    if (r && r.id) ST.ID = r;
  } catch {}
  regions.idCard();
}

/** Every region again, as after a language change. */
export function renderAll() {
  renderPills();
  regions.idCard();
  regions.hostStatus();
  regions.hostBar();
  regions.sessions(true);
  regions.viewer();
  regions.recents();
  regions.history();
  regions.dock();
  regions.devices();
  regions.screens();
  regions.call();
  setHeaderHeight();
}

/** --hh is the header's height, for overlays that sit under it. */
export function setHeaderHeight() {
  const h = $('header');
  const hh = (h ? h.offsetHeight : 70) + ($('#updBar').hidden ? 0 : $('#updBar').offsetHeight) + ($('#hostbar').hidden ? 0 : $('#hostbar').offsetHeight);
  dom.document().documentElement.style.setProperty('--hh', (hh || 70) + 'px');
}

async function quitApp() {
  if (!confirm(t('quitAsk'))) return;
  for (const s of [...TS.values(), ...(ST.HSES ? [ST.HSES] : [])]) endSession(s, 'local');
  endAllLines();
  callLeave();
  await quitProgram().catch(() => {});
  dom.document().body.innerHTML = `<div class="tab"><div class="card"><h2>Kelvora</h2><p>${esc(t('closedTxt'))}</p></div></div>`;
}

/** Refreshes the elapsed times once a second; rows rebuild only when they change. */
export function tick() {
  regions.hostBar();
  regions.sessions(false);
  regions.viewerBar();
}

export function wireCore() {
  dom.document().querySelectorAll('nav.tabs button').forEach((b) => b.addEventListener('click', () => showTab(/** @type {HTMLElement} */ (b).dataset.tab || 'conectar')));
  $('#langBtn').onclick = toggleLang;
  $('#quitBtn').onclick = quitApp;
  $('#creditBtn').onclick = () => openWhat('sitio');
  $('#modal').addEventListener('mousedown', (/** @type {MouseEvent} */ e) => { if (e.target === $('#modal')) closeModal(); });
  dom.document().addEventListener('mousedown', (e) => {
    menuToggled = '';
    const m = $('#menu');
    if (m.hidden || m.contains(/** @type {Node} */ (e.target))) return;
    const owner = m.dataset.owner && dom.document().getElementById(m.dataset.owner);
    if (owner && owner.contains(/** @type {Node} */ (e.target))) menuToggled = owner.id;
    closeMenu();
  }, true);
  $('#menu').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button[data-act]'));
    if (!b || !menuPick) return;
    const pick = menuPick;
    closeMenu();
    pick(b.dataset.act || '', b);
  });
  dom.document().addEventListener('keydown', (e) => {
    if (e.key !== 'Escape') return;
    if (!$('#menu').hidden) closeMenu();
    else if (!$('#modal').hidden) closeModal();
  });
  addEventListener('resize', setHeaderHeight);
}

/** Redraws what shows a session: host bar, viewer, sessions list, chat, calls panel. */
export function refreshSession(/** @type {Session} */ s) {
  if (s.role === 'host') regions.hostBar();
  else regions.viewer();
  regions.sessions(false);
  regions.chat();
  regions.dock();
}

/** Whether the viewer is up. */
export function viewerOpen() {
  return !$('#viewer').hidden;
}
