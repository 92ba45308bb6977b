// The Connect tab: the connect card, the open sessions card, recents and history.

import { forgetRecent } from '../core/api.js';
import { ST, TS } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { mmss, prettyId } from '../core/util.js';
import { sesVoiceToggle } from '../net/phone.js';
import { iceServers } from '../net/session.js';
import { connectCheck, joinOpen, techSession } from '../net/tech.js';
import { $, dom } from './dom.js';
import { fmtIdInput, showTab, toast, viewerOpen } from './shell.js';
import { endSesAsk, minViewer, openViewer, showSes, tabDot, techMedia, voiceLabel, voiceMark } from './viewer.js';

/** The Connect button, or Enter in the ID or password field. */
export function connectTo() {
  const digits = String($('#tId').value || '').replace(/\D/g, '');
  const pass = String($('#tKey').value || '').trim();
  const bad = connectCheck(digits, ST.ID ? String(ST.ID.id || '') : '', TS);
  if (bad) {
    if (bad.k) showSes(bad.k);
    toast(t(bad.key, ...bad.args));
    if (bad.key === 'badId') $('#tId').focus();
    return;
  }
  const s = techSession(digits, !!pass, !!$('#tCtl').checked);
  techMedia(s);
  TS.set(s.k, s);
  s.waitTxt = t('connecting');
  showSes(s.k);
  iceServers().catch(() => {});
  joinOpen(s, pass);
}

/** A refusal that a password may get past: back to the connect card, in the password field. */
export function askPassword() {
  minViewer();
  showTab('conectar');
  $('#tKey').focus();
}

/** The password typed for a session is not kept once the host let us in. */
export function forgetPassword() {
  $('#tKey').value = '';
}

// Connect tab: open sessions, recents, history ---------------------------------------------------

/** what the open-sessions card was last built from */
let sesSig = '';
/** The open sessions card and the chip: rows rebuilt when they change, times every tick. */
export function renderSessions(/** @type {boolean} */ force) {
  const card = $('#sesCard');
  if (!card) return;
  const rows = [...(ST.HSES ? [ST.HSES] : []), ...TS.values()];
  card.hidden = !rows.length;
  const chip = $('#sesChip');
  chip.hidden = !TS.size || viewerOpen();
  if (!chip.hidden) chip.textContent = TS.size === 1 ? t('sesChip1') : t('sesChip', TS.size);
  const voice = typeof sesVoiceToggle === 'function';
  const sig = JSON.stringify([ST.LANG, voice, rows.map((s) => [s.k, s.peer, s.peerId, s.connected, s.accepted, s.unread, voiceMark(s), s.control])]);
  if (force || sig !== sesSig) {
    sesSig = sig;
    $('#sesList').innerHTML = rows.map((s) => {
      const host = s.role === 'host';
      const who = host ? t('sesHost') : prettyId(s.peerId) + (s.control ? ' · 🖱' : '');
      const dot = host ? (s.connected ? 'ok' : 'wait') : tabDot(s);
      let h = `<div class="item ses" id="ses-${esc(s.k)}"><span class="dot ${dot}"></span>`;
      h += `<div class="grow"><b>${esc(s.peer)}</b> <span class="muted">${esc(who)}</span></div>`;
      h += `<span class="muted vtime" id="sest-${esc(s.k)}">${esc(sesTime(s))}</span>`;
      if (!host) h += `<button class="small" data-view="${esc(s.k)}">${esc(t('sesView'))}${s.unread ? ` <span class="badge">${s.unread}</span>` : ''}</button>`;
      if (voice && s.connected) h += `<button class="small" data-voice="${esc(s.k)}">${esc(voiceLabel(s))}</button>`;
      h += `<button class="small danger" data-end="${esc(s.k)}">${esc(t('sesEnd'))}</button></div>`;
      return h;
    }).join('');
    return;
  }
  for (const s of rows) {
    const el = dom.document().getElementById('sest-' + s.k);
    if (el) el.textContent = sesTime(s);
  }
}

function sesTime(/** @type {any} */ s) {
  if (s.started) return mmss((Date.now() - s.started) / 1000);
  return t(s.role === 'host' || s.accepted ? 'sesConnecting' : 'sesWaiting');
}

export function renderRecents() {
  const el = $('#recents');
  if (!el) return;
  const list = (Array.isArray(ST.S.recientes) ? ST.S.recientes : []).filter((r) => r && typeof r === 'object').slice(0, 12);
  if (!list.length) {
    el.innerHTML = `<div class="empty">${esc(t('noRecents'))}</div>`;
    return;
  }
  el.innerHTML = list.map((r) => `<div class="item rec" data-id="${esc(r.id)}" tabindex="0"><b class="rid">${esc(prettyId(r.id))}</b><span class="grow">${esc(r.nombre)}</span><span class="muted small">${esc(String(r.fecha || '').slice(0, 16))}</span><button class="ghost small" data-rm="${esc(r.id)}" title="${esc(t('removeRecent'))}">✕</button></div>`).join('');
}

/** A recent entry picked: the form gets its ID, ready to connect. */
export function pickRecent(/** @type {string} */ id) {
  $('#tId').value = prettyId(id);
  $('#tKey').value = '';
  $('#btnConnect').focus();
}

export async function removeRecent(/** @type {string} */ id) {
  const r = await forgetRecent({ id }).catch(() => null);
  if (Array.isArray(r)) {
    ST.S.recientes = r;
    renderRecents();
  }
}

const HIST_HEAD = { es: ['Fecha', 'Con', 'Duración'], en: ['Date', 'Who', 'Length'] };

export function renderHistory() {
  const el = $('#history');
  if (!el) return;
  const list = (Array.isArray(ST.S.sesiones) ? ST.S.sesiones : []).filter((r) => r && typeof r === 'object');
  if (!list.length) {
    el.innerHTML = `<div class="empty">${esc(t('noHistory'))}</div>`;
    return;
  }
  const head = HIST_HEAD[ST.LANG] || HIST_HEAD.es;
  const rows = list.map((r) => {
    const recv = r.rol === 'recibi';
    const id = String(r.id ?? '').replace(/\D/g, '');
    let last = '';
    if (recv) last = esc(t(r.control === true ? 'histCtl' : 'histView'));
    else if (/^\d{9}$/.test(id)) last = `<button class="small" data-recon="${esc(id)}" data-name="${esc(r.con)}" title="${esc(t('reconTip'))}">${esc(t('recon'))}</button>`;
    return `<tr><td class="muted">${esc(r.fecha)}</td><td><span class="tag${recv ? '' : ' gave'}">${esc(t(recv ? 'histRecv' : 'histGave'))}</span> ${esc(r.con)} <span class="muted">${esc(prettyId(id))}</span></td><td>${esc(mmss(Number(r.segundos) || 0))}</td><td class="act">${last}</td></tr>`;
  }).join('');
  el.innerHTML = `<table class="hist"><thead><tr><th>${esc(head[0])}</th><th>${esc(head[1])}</th><th>${esc(head[2])}</th><th></th></tr></thead><tbody>${rows}</tbody></table>`;
}

/** "Connect again" from the history: the form gets the ID, the password is for the person to give. */
export function reconnect(/** @type {string} */ id, /** @type {string} */ name) {
  minViewer();
  showTab('conectar');
  $('#tId').value = prettyId(id);
  $('#tKey').value = '';
  $('#connCard').scrollIntoView({ block: 'nearest' });
  $('#btnConnect').focus();
  toast(t('reconAsk', name || prettyId(id)), 7000);
}

/** The connect card, the open sessions card and the recents and history lists. */
export function wireConnect() {
  $('#btnConnect').onclick = connectTo;
  $('#tId').addEventListener('input', () => fmtIdInput($('#tId')));
  for (const id of ['#tId', '#tKey']) $(id).addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => { if (e.key === 'Enter') connectTo(); });

  $('#sesChip').onclick = openViewer;
  $('#sesList').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button'));
    if (!b) return;
    const k = b.dataset.view || b.dataset.voice || b.dataset.end || '';
    const s = TS.get(k) || (ST.HSES && ST.HSES.k === k ? ST.HSES : null);
    if (!s) return;
    if (b.dataset.view) showSes(k);
    else if (b.dataset.voice && typeof sesVoiceToggle === 'function') sesVoiceToggle(s);
    else if (b.dataset.end) endSesAsk(k);
  });
  $('#recents').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const el = /** @type {HTMLElement} */ (e.target);
    const rm = /** @type {HTMLElement|null} */ (el.closest('[data-rm]'));
    if (rm) return void removeRecent(rm.dataset.rm || '');
    const row = /** @type {HTMLElement|null} */ (el.closest('[data-id]'));
    if (row) pickRecent(row.dataset.id || '');
  });
  $('#recents').addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => {
    const row = /** @type {HTMLElement} */ (e.target);
    if (e.key === 'Enter' && row.dataset && row.dataset.id) pickRecent(row.dataset.id);
  });
  $('#history').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('[data-recon]'));
    if (b) reconnect(b.dataset.recon || '', b.dataset.name || '');
  });
}
