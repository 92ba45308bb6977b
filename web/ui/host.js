// Receiving support, the page side: the registration status, the "this PC" card, the
// request dialog and the host bar.

import { newPassword, setPassword } from '../core/api.js';
import { HOST, setting, ST } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { mmss, prettyId, yes } from '../core/util.js';
import { sendFiles } from '../net/files.js';
import { ACCEPT_GUARD_MS, acceptReq, dropReq, hostConnect, hostSetAudio, hostSetControl, hostSetMon, hsend, rejectReq, secsLeft, setAvail } from '../net/host.js';
import { sesVoiceToggle } from '../net/phone.js';
import { endSession } from '../net/session.js';
import { pickFile } from './chat.js';
import { $, dom } from './dom.js';
import { closeModal, copyText, modal, setHeaderHeight, toast } from './shell.js';
import { openChatFor } from './viewer.js';

/** @typedef {import('../core/state.js').HostReq} HostReq */

/** @type {{keyShown: boolean, barKey: string}} the card's eye; what the host bar was last built from */
const HUI = { keyShown: false, barKey: '' };

/** The options as ticked in the request dialog. */
function reqTicked() {
  /** @type {string[]} */
  const mons = [];
  dom.document().querySelectorAll('#reqBox input[data-mon]').forEach((el) => {
    const b = /** @type {HTMLInputElement} */ (el);
    if (b.checked && b.dataset.mon) mons.push(b.dataset.mon);
  });
  return { control: !!$('#reqCtl').checked, audio: !!$('#reqAudio').checked, voice: !!$('#reqCall').checked, mons };
}

/** The request dialog: who, countdown, options, one box per monitor; reject has the focus. */
export function showReq(/** @type {HostReq} */ req) {
  const box = (/** @type {string} */ id, /** @type {boolean} */ on, /** @type {string} */ key) =>
    `<label class="check"><input type="checkbox" id="${id}"${on ? ' checked' : ''}><span>${esc(t(key))}</span></label>`;
  const mons = req.allMons.length > 1
    ? `<div class="reqMons"><div class="hint">${esc(t('reqMons'))}</div>${req.allMons
      .map((m) => `<label class="check"><input type="checkbox" data-mon="${esc(m.name)}" checked><span>🖥 ${m.i + 1} · ${m.w}×${m.h}${m.primary ? ' ★' : ''}</span></label>`)
      .join('')}</div>`
    : '';
  $('#reqBox').innerHTML = `<h3>${esc(t('reqTitle'))}</h3>
<p class="reqWho">${esc(t('reqWho', req.name))}</p>
<div id="reqLeft" class="reqLeft"></div>
<div class="reqWarn">${esc(t('reqWarn'))}</div>
<div class="reqOpts">${box('reqCtl', yes(setting('recibir', 'permitir_control')), 'reqCtl')}${box('reqAudio', yes(setting('recibir', 'compartir_audio')), 'reqAudio')}${box('reqCall', false, 'reqCall')}</div>
${mons}
<div class="hint reqPicker">${esc(t('reqPicker'))}</div>
<div class="actions"><button id="reqNo">${esc(t('reject'))}</button><button id="reqYes" class="primary" disabled>${esc(t('accept'))}</button></div>`;
  $('#reqModal').hidden = false;
  req.shown = Date.now();
  $('#reqNo').focus();
  setTimeout(() => {
    if (HOST.req === req && !req.picking && $('#reqYes')) $('#reqYes').disabled = false;
  }, ACCEPT_GUARD_MS);
  reqTick(req);
  req.tick = setInterval(() => reqTick(req), 500);
}

function reqTick(/** @type {HostReq} */ req) {
  if (HOST.req !== req || req.picking) return clearInterval(req.tick);
  const left = secsLeft(req.until, Date.now());
  const el = $('#reqLeft');
  if (el) el.textContent = t('reqLeft', left);
  if (left > 0) return;
  hsend({ t: 'answer', sid: req.sid, ok: false, reason: 'timeout' });
  dropReq();
}

export function closeReqDialog() {
  $('#reqModal').hidden = true;
  $('#reqBox').innerHTML = '';
}

// Page: status line, ID card, request dialog, host bar -------------------------------------

export function renderHostStatus() {
  const el = $('#hostStatus');
  if (!el) return;
  /** @type {Object<string, [string, string]>} */
  const look = {
    online: ['online', 'ok'], connecting: ['connecting', 'wait'], error: ['offlineSrv', 'bad'],
    off: ['unavailable', ''], taken: ['srvTaken', 'bad'], replaced: ['srvReplaced', 'bad'],
  };
  const [key, cls] = look[HOST.state] || look.off;
  el.innerHTML = `<span class="dot ${cls}"></span><span>${esc(t(key))}</span>` +
    (HOST.state === 'replaced' ? ` <button id="hostReconnect" class="small">${esc(t('reconnect'))}</button>` : '');
  el.className = 'hint hoststat ' + cls;
  $('#avail').checked = yes(setting('recibir', 'disponible'));
}

export function renderIdCard() {
  const me = ST.ID;
  const has = !!(me && me.id);
  $('#myId').textContent = me && has ? me.id_bonito || prettyId(me.id) : '— — —';
  $('#myKey').textContent = me && has && HUI.keyShown ? me.clave : '••••••••';
  $('#myKey').classList.toggle('shown', has && HUI.keyShown);
  $('#keyEye').textContent = HUI.keyShown ? '🙈' : '👁';
  for (const id of ['#copyIdBtn', '#copyBothBtn', '#editKeyBtn', '#newKeyBtn', '#keyEye']) $(id).disabled = !has;
}

function editKey() {
  if (!ST.ID) return;
  modal(`<h3>${esc(t('keyEditT'))}</h3>
<p class="hint">${esc(t('keyEditTxt'))}</p>
<input id="keyIn" class="keyIn" maxlength="32" autocomplete="off" spellcheck="false" value="${esc(ST.ID.clave)}">
<div class="actions"><button id="keyCancel">${esc(t('cancel'))}</button><button id="keySave" class="primary">${esc(t('keySave'))}</button></div>`, () => {});
  const input = $('#keyIn');
  input.focus();
  input.select();
  const save = async () => {
    $('#keySave').disabled = true;
    /** @type {Awaited<ReturnType<typeof setPassword>>|null} */
    let r = null;
    try {
      r = await setPassword({ clave: input.value });
    } catch {}
    if (!$('#keySave')) return;
    $('#keySave').disabled = false;
    if (!r || !r.ok || typeof r.clave !== 'string' || !ST.ID) {
      toast(r && typeof r.msg === 'string' ? r.msg : 'No se pudo guardar la contraseña.', 6000);
      return;
    }
    ST.ID.clave = r.clave;
    HUI.keyShown = true;
    closeModal();
    renderIdCard();
    toast(t('keySaved'));
  };
  $('#keySave').onclick = save;
  $('#keyCancel').onclick = closeModal;
  input.onkeydown = (/** @type {KeyboardEvent} */ e) => { if (e.key === 'Enter') save(); };
}

async function newKey() {
  if (!ST.ID || !confirm(t('newKeyAsk'))) return;
  try {
    const r = await newPassword();
    if (r && r.ok && typeof r.clave === 'string') {
      ST.ID.clave = r.clave;
      renderIdCard();
      toast(t('newKeyDone', r.clave), 6000);
    }
  } catch {}
}

/** The ID and password as one line to paste into a message. */
function idAndKey() {
  const me = ST.ID;
  if (!me) return '';
  return `Kelvora · ID: ${me.id_bonito || prettyId(me.id)} · ${ST.LANG === 'en' ? 'Password' : 'Contraseña'}: ${me.clave}`;
}

/**
 * The bar of the session in which this PC is helped. It is rebuilt only when what it
 * shows changes; the one-second tick only refreshes the time and the statistics.
 */
export function renderHostBar() {
  const bar = $('#hostbar');
  if (!bar) return;
  const s = ST.HSES;
  if (!s) {
    if (!bar.hidden) {
      bar.hidden = true;
      bar.innerHTML = '';
      HUI.barKey = '';
      setHeaderHeight();
    }
    return;
  }
  const voice = typeof sesVoiceToggle === 'function';
  const chat = typeof openChatFor === 'function';
  const file = typeof sendFiles === 'function';
  const held = !!(s.line && s.line.held);
  const voiceKey = s.line ? (held ? 'lnVoiceHeld' : 'callOn') : 'callOff';
  const key = JSON.stringify([ST.LANG, s.peer, s.connected, s.control, s.audio, voice && voiceKey, chat && s.unread, file, s.mons, s.mon, s.capBusy]);
  if (key !== HUI.barKey) {
    HUI.barKey = key;
    const onoff = (/** @type {boolean} */ v) => esc(t(v ? 'yes' : 'no'));
    const mons = s.mons.length > 1
      ? `<label class="hbMon"><span>${esc(t('hbScreen'))}</span><select data-hb="mon"${s.capBusy ? ' disabled' : ''}>${s.mons
        .map((m) => `<option value="${m.i}"${m.i === s.mon ? ' selected' : ''}>🖥 ${m.i + 1} · ${m.w}×${m.h}${m.primary ? ' ★' : ''}</option>`)
        .join('')}</select></label>`
      : '';
    bar.innerHTML = `<span class="hbLive"><span class="dot ${s.connected ? 'ok' : 'wait'}"></span><b>${esc(t('hbLive', s.peer))}</b></span>
<span id="hbTime" class="hbTime"></span><span id="hbStat" class="hbStat"></span>
<span class="hbActs"><button data-hb="ctl" class="small ${s.control ? 'on' : ''}">${esc(t('hbCtl'))}: ${onoff(s.control)}</button>
<button data-hb="aud" class="small ${s.audio ? 'on' : ''}">${esc(t('hbAudio'))}: ${onoff(s.audio)}</button>
${voice ? `<button data-hb="voice" class="small ${s.line && !held ? 'on' : ''}">${esc(t(voiceKey))}</button>` : ''}
${chat ? `<button data-hb="chat" class="small">${esc(t('hbChat'))}${s.unread ? ` <span class="badge">${s.unread}</span>` : ''}</button>` : ''}
${file ? `<button data-hb="file" class="small">${esc(t('hbFile'))}</button>` : ''}
${mons}<button data-hb="end" class="small danger">${esc(t('hbEnd'))}</button></span>`;
  }
  $('#hbTime').textContent = s.started ? mmss((Date.now() - s.started) / 1000) : '…';
  // Cut short on a narrow bar: the whole line shows on hover.
  $('#hbStat').textContent = $('#hbStat').title = s.statTxt || '';
  if (bar.hidden) {
    bar.hidden = false;
    setHeaderHeight();
  }
}

export function wireHost() {
  $('#avail').onchange = () => setAvail(!!$('#avail').checked);
  $('#hostStatus').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    if (/** @type {HTMLElement} */ (e.target).closest('#hostReconnect')) hostConnect();
  });
  $('#copyIdBtn').onclick = () => { if (ST.ID) copyText(ST.ID.id_bonito || prettyId(ST.ID.id)); };
  $('#copyBothBtn').onclick = () => { if (ST.ID) copyText(idAndKey()); };
  $('#keyEye').onclick = () => {
    HUI.keyShown = !HUI.keyShown;
    renderIdCard();
  };
  $('#editKeyBtn').onclick = editKey;
  $('#newKeyBtn').onclick = newKey;
  $('#reqBox').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement} */ (e.target).closest('button');
    if (b && b.id === 'reqYes') acceptReq(reqTicked());
    else if (b && b.id === 'reqNo') rejectReq();
  });
  const bar = $('#hostbar');
  bar.addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button[data-hb]'));
    const s = ST.HSES;
    if (!b || !s) return;
    const act = b.dataset.hb;
    if (act === 'ctl') hostSetControl(!s.control);
    else if (act === 'aud') hostSetAudio(!s.audio);
    else if (act === 'voice' && typeof sesVoiceToggle === 'function') sesVoiceToggle(s);
    else if (act === 'chat' && typeof openChatFor === 'function') openChatFor(s);
    else if (act === 'file' && typeof pickFile === 'function') pickFile(s);
    else if (act === 'end') endSession(s, 'local');
  });
  bar.addEventListener('change', (/** @type {Event} */ e) => {
    const el = /** @type {HTMLSelectElement} */ (e.target);
    if (el.dataset && el.dataset.hb === 'mon') hostSetMon(Number(el.value));
  });
}
