// The Call tab and the calls dock: lines, rings, devices and the microphone test.

import { openWhat } from '../core/api.js';
import { DEVS, LINES, MIX, setting, ST, TS } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { mmss, prettyId } from '../core/util.js';
import { findDev, getMic, setSpeaker } from '../media/devices.js';
import { levelOf, onAir, onDevChange, setMicDev } from '../media/mixer.js';
import { devSpeakerTest } from '../media/tones.js';
import { answerRing, declineRing, lineEnd, lineHold, lineMerge, lineMergeAll, lineSplit, lineVol, micMuteAll, phoneCall, startSesLine } from '../net/phone.js';
import { $, dom } from './dom.js';
import { fmtIdInput, showTab, toast, viewerOpen } from './shell.js';
import { dockMin, minViewer } from './viewer.js';

/** @typedef {import('../core/state.js').Line} Line */
/** @typedef {import('../core/state.js').Session} Session */

/** A line's status in the dock: state, or hold/conference/active, time, round trip, relay, the peer's state. */
export function lineStatus(/** @type {Line} */ L, /** @type {number} */ now) {
  const st = { calling: 'phCalling', ringing: 'phRinging', connecting: 'phConnecting' }[/** @type {'calling'} */ (L.state)];
  const parts = [];
  if (st) parts.push(t(st));
  else {
    parts.push(t(L.held ? 'lnHeld' : L.conf ? 'lnConf' : 'phActive'));
    if (L.started) parts.push(mmss((now - L.started) / 1000));
    if (!L.held && L.rtt >= 0) parts.push(`${Math.round(L.rtt)} ms`);
    if (L.relay) parts.push('TURN');
  }
  const peerHold = L.kind === 'ses' ? L.ses && L.ses.peerHold : L.peerHold;
  if (peerHold) parts.push(t('lnPeerHold'));
  else if (L.kind === 'phone' && L.peerMuted) parts.push(t('dkPeerMuted'));
  if (L.kind === 'ses') parts.push(t('lnSesTag'));
  return parts.join(' · ');
}

// Drawing --------------------------------------------------------------------------------------------

let dockSig = '';


/** Sessions whose peer has its voice on while this side has none: offered to join. */
function voiceOffers() {
  return [...(ST.HSES ? [ST.HSES] : []), ...TS.values()].filter((s) => s && !s.dead && s.connected && s.peerMic && !s.line);
}

/** One line's row (dock and Call tab). */
function lineRow(/** @type {Line} */ L, /** @type {number} */ now) {
  const active = L.state === 'active';
  const air = [...LINES.values()].some((o) => o !== L && onAir(o));
  const btn = (/** @type {string} */ act, /** @type {string} */ key, cls = '') => `<button class="small ${cls}" data-ln="${esc(L.k)}" data-act="${act}">${esc(t(key))}</button>`;
  let b = '';
  if (active) b += L.held ? btn('resume', 'lnResume') : btn('hold', 'lnHold');
  if (active && L.held && air) b += btn('merge', 'lnMerge');
  if (L.conf && !L.held) b += btn('split', 'lnSplit');
  if (active && L.kind === 'phone' && L.peerId && ![...TS.values()].some((s) => s.peerId === L.peerId)) b += btn('connect', 'dkConnect');
  b += btn('hang', L.kind === 'ses' ? 'dkHangSes' : 'dkHang', 'danger');
  return `<div class="item ln${L.held ? ' held' : ''}${L.conf ? ' conf' : ''}" data-row="${esc(L.k)}">
<span class="dot ${active ? (L.held ? 'warn' : 'ok') : 'wait'}"></span>
<div class="grow"><b>${esc(L.peer)}</b>${L.peerId && L.peer !== prettyId(L.peerId) ? ` <span class="muted">${esc(prettyId(L.peerId))}</span>` : ''} <span class="talk" data-talk="${esc(L.k)}" hidden>🔊</span>
<div class="lnSt muted" data-st="${esc(L.k)}">${esc(lineStatus(L, now))}</div></div>
<input type="range" min="0" max="100" value="${Math.round(L.vol * 100)}" data-vol="${esc(L.k)}" title="${esc(t('dkVol'))}" aria-label="${esc(t('dkVol') + ' · ' + L.peer)}">
<span class="lnBtns">${b}</span></div>`;
}

function offerRow(/** @type {Session} */ s) {
  return `<div class="item ln offer"><span class="dot wait"></span><div class="grow"><b>${esc(s.peer)}</b><div class="muted">${esc(t('lnOffer'))}</div></div>
<button class="small primary" data-take="${esc(s.k)}">${esc(t('lnTake'))}</button></div>`;
}

/** The device selectors; a stored device that is gone shows as such. */
function devSelects() {
  const sel = (/** @type {string} */ kind, /** @type {{id: string, name: string}[]} */ list, /** @type {string} */ idKey, /** @type {string} */ nameKey) => {
    const id = setting('llamada', idKey), name = setting('llamada', nameKey);
    const { dev } = findDev(list, id, name);
    let h = `<select data-dev="${kind}"><option value="">${esc(t('dkDef'))}</option>`;
    if ((id || name) && !dev) h += `<option value="${esc(id)}" selected disabled>⚠ ${esc(name || id)} — ${esc(t('devGone'))}</option>`;
    h += list.map((d, i) => `<option value="${esc(d.id)}"${dev && dev.id === d.id ? ' selected' : ''}>${esc(d.name || `${kind === 'mic' ? t('dkMic') : t('dkSpk')} ${i + 1}`)}</option>`).join('');
    return h + '</select>';
  };
  return `<label class="dev"><span>${esc(t('dkSpk'))}</span>${sel('spk', DEVS.outs, 'bocina', 'bocina_nombre')}</label>
<label class="dev"><span>${esc(t('dkMic'))}</span>${sel('mic', DEVS.mics, 'microfono', 'microfono_nombre')}</label>`;
}

/** The calls panel and the Call tab's line list; rebuilt when they change, statuses every tick. */
export function renderDock(force = false) {
  const dock = $('#dock');
  if (!dock) return;
  const lines = [...LINES.values()];
  const offers = voiceOffers();
  const now = Date.now();
  // The Call tab shows the same rows: the panel would only cover them there.
  const callTab = !!$('#tab-llamada') && !$('#tab-llamada').hidden;
  dock.hidden = (!lines.length && !offers.length) || callTab;
  // A peer's invitation to talk is shown there too: on the Call tab the dock is hidden.
  const card = $('#lnCard');
  if (card) card.hidden = !lines.length && !offers.length;
  const sig = JSON.stringify([ST.LANG, ST.DOCKMIN, callTab, MIX.muted, MIX.silent, MIX.blocked, DEVS, ST.AJ.llamada,
    lines.map((L) => [L.k, L.peer, L.state, L.held, L.conf, L.kind === 'phone' && !!L.peerId && [...TS.values()].some((s) => s.peerId === L.peerId)]),
    offers.map((s) => s.k)]);
  // Times, round trips and the peer's state change every tick: written in place, so that a
  // device list or a volume slider in use is not rebuilt under the pointer.
  for (const L of lines) {
    const txt = lineStatus(L, now);
    dom.document().querySelectorAll(`[data-st="${L.k}"]`).forEach((el) => { if (el.textContent !== txt) el.textContent = txt; });
  }
  const marks = () => {
    for (const L of lines) {
      const talk = L.state === 'active' && !L.held && L.level > 6;
      dom.document().querySelectorAll(`[data-talk="${L.k}"]`).forEach((el) => { /** @type {HTMLElement} */ (el).hidden = !talk; });
    }
  };
  marks();
  if (!force && sig === dockSig) return;
  dockSig = sig;
  const rows = lines.map((L) => lineRow(L, now)).join('') + offers.map(offerRow).join('');
  const act = lines.filter((L) => L.state === 'active');
  const allConf = act.length > 1 && act.every((L) => L.conf);
  const onair = lines.some(onAir);
  const micBtn = `<button class="small${MIX.muted ? ' danger' : ''}" data-dk="mic">${esc(t(MIX.muted ? 'dkMicOff' : 'dkMicOn'))}</button>`;
  const warn = MIX.silent
    ? `<div class="dkWarn">${esc(t('micSilent'))}${MIX.blocked ? ' ' + esc(t('micBlocked')) : ''}
<div class="row"><button class="small" data-dk="priv">${esc(t('micPrivBtn'))}</button><button class="small" data-dk="sound">${esc(t('micSoundBtn'))}</button></div></div>`
    : '';
  const merge = (act.length > 1 && !allConf ? `<button class="small" data-dk="mergeall">${esc(t('lnMergeAll'))}</button>` : '') +
    (allConf ? `<div class="hint">${esc(t('lnConfInfo'))}</div>` : '');
  let h = `<div class="dkHead"><span class="dot ${onair ? 'ok' : lines.length ? 'warn' : 'wait'}"></span><b>${esc(t('lnCalls', lines.length))}</b><span class="spacer"></span>
${lines.length ? micBtn : ''}<button class="ghost small" data-dk="min" title="${esc(t(ST.DOCKMIN ? 'dkMax' : 'dkMin'))}">${ST.DOCKMIN ? '▴' : '▾'}</button></div>`;
  if (!ST.DOCKMIN) {
    h += `${lines.length ? '<div class="dkMeter"><i data-meter></i></div>' : ''}${warn}<div class="list">${rows}</div>${merge}`;
    h += `<details class="dkDevs"><summary>${esc(t('lnDevs'))}</summary>${devSelects()}</details>`;
  } else if (offers.length) {
    // An invitation to talk stays in sight even in the folded panel.
    h += `<div class="list">${offers.map(offerRow).join('')}</div>`;
  }
  const open = dock.querySelector('details') && dock.querySelector('details').open;
  dock.innerHTML = h;
  dock.classList.toggle('min', ST.DOCKMIN);
  if (open && dock.querySelector('details')) dock.querySelector('details').open = true;
  const list = $('#lnList');
  if (list) list.innerHTML = (lines.length ? `<div class="row">${micBtn}<div class="dkMeter grow"><i data-meter></i></div></div>${warn}` : '') + rows + merge;
  marks();
}

/** The incoming call's dialog. */
export function renderRing() {
  const r = ST.RINGIN;
  const modal = $('#ringModal');
  if (!modal) return;
  if (!r) {
    modal.hidden = true;
    return;
  }
  const others = [...LINES.values()].some((o) => o.state === 'active');
  const who = r.from ? `ID ${prettyId(r.from)}` : r.claimed ? t('phClaimed', prettyId(r.claimed)) : '';
  $('#ringBox').innerHTML = `<h3>${esc(t('phIncoming'))}</h3>
<div class="ringWho">${esc(r.name)}</div>${who ? `<div class="ringId${r.from ? '' : ' unverified'}">${esc(who)}</div>` : ''}
<div class="reqLeft" id="ringLeft">${esc(t('reqLeft', Math.ceil((r.until - Date.now()) / 1000)))}</div>
<div class="hint">${esc(t('phOnlyVoice'))}</div>${others ? `<div class="hint warning">${esc(t('lnRingBusy'))}</div>` : ''}
<div class="actions"><button class="danger" data-ring="no">${esc(t('phDecline'))}</button>
${others ? `<button data-ring="hold">${esc(t('lnAnsHold'))}</button><button class="primary" data-ring="merge">${esc(t('lnAnsMerge'))}</button>` : `<button class="primary" data-ring="yes">${esc(t('phAnswer'))}</button>`}</div>`;
  modal.hidden = false;
}

/** The own microphone's level in every meter that shows it (0..100). */
export function renderMeters(/** @type {number} */ level) {
  dom.document().querySelectorAll('[data-meter]').forEach((m) => { /** @type {HTMLElement} */ (m).style.width = Math.round(level) + '%'; });
}

/** The ring's dialog goes with its text. */
export function ringClosed() {
  const m = $('#ringModal');
  if (m) {
    m.hidden = true;
    $('#ringBox').innerHTML = '';
  }
}

/** The ring's countdown, every half second. */
export function renderRingLeft() {
  const r = ST.RINGIN;
  const el = dom.document().getElementById('ringLeft');
  if (r && el) el.textContent = t('reqLeft', Math.ceil((r.until - Date.now()) / 1000));
}

/** The Call tab's device card: selectors, speaker test, microphone test. */
export function renderDevs() {
  const card = $('#audioDevs');
  if (!card) return;
  let box = dom.document().getElementById('devBox');
  if (!box) {
    box = dom.document().createElement('div');
    box.id = 'devBox';
    card.appendChild(box);
  }
  box.innerHTML = `${devSelects()}
<div class="row"><button class="small" data-dev-act="spk">${esc(t('spkTest'))}</button><button class="small" data-dev-act="mic">${esc(t('sMicTest'))}</button>
<div class="dkMeter grow"><i id="micTestMeter"></i></div></div><div class="hint" id="micTestTxt">${esc(t('devsHint'))}</div>`;
}

/** A microphone test is opening its device: a second click must not open another one. */
let micTestOpening = false;

/** 15 s of the microphone's level in the Call tab; after 5 s it says whether it hears anything. */
async function devMicTest() {
  if (ST.MICTEST || micTestOpening) return;
  micTestOpening = true;
  /** @type {MediaStream|null} */
  let st = null;
  try {
    st = await getMic({});
  } finally {
    micTestOpening = false;
  }
  if (!st) return;
  const ac = new AudioContext();
  const an = ac.createAnalyser();
  an.fftSize = 512;
  ac.createMediaStreamSource(st).connect(an);
  const t0 = Date.now();
  let max = 0;
  ST.MICTEST = setInterval(() => {
    const lvl = levelOf(an);
    max = Math.max(max, lvl);
    const bar = dom.document().getElementById('micTestMeter');
    if (bar) bar.style.width = Math.round(lvl) + '%';
    const txt = dom.document().getElementById('micTestTxt');
    if (txt && Date.now() - t0 > 5000) txt.textContent = t(max < 0.6 ? 'micSilent' : 'micOk');
    if (Date.now() - t0 > 15000) {
      clearInterval(ST.MICTEST);
      ST.MICTEST = 0;
      st.getTracks().forEach((x) => x.stop());
      ac.close().catch(() => {});
      if (bar) bar.style.width = '0';
    }
  }, 200);
}

/** An active phone line's PC, for a support session: the Connect tab with its ID. */
function lineConnect(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L || !L.peerId) return;
  if (typeof minViewer === 'function' && viewerOpen()) minViewer();
  showTab('conectar');
  $('#tId').value = prettyId(L.peerId);
  $('#tKey').value = '';
  $('#tKey').focus();
  toast(t('dkConnectHint'), 7000);
}

// Wiring ---------------------------------------------------------------------------------------------

function onLineAct(/** @type {MouseEvent} */ e) {
  const el = /** @type {HTMLElement} */ (e.target);
  const b = /** @type {HTMLElement|null} */ (el.closest('button'));
  if (!b) return;
  if (b.dataset.take) {
    const s = TS.get(b.dataset.take) || (ST.HSES && ST.HSES.k === b.dataset.take ? ST.HSES : null);
    if (s) startSesLine(s);
    return;
  }
  const k = b.dataset.ln || '';
  const L = LINES.get(k);
  switch (b.dataset.act) {
    case 'hold':
    case 'resume':
      return lineHold(k);
    case 'merge':
      return lineMerge(k);
    case 'split':
      return lineSplit(k);
    case 'connect':
      return lineConnect(k);
    case 'hang':
      return L && lineEnd(L, 'local');
  }
  switch (b.dataset.dk) {
    case 'mic':
      return micMuteAll();
    case 'min':
      return dockMin(!ST.DOCKMIN);
    case 'mergeall':
      return lineMergeAll();
    case 'priv':
      return openWhat('privmic');
    case 'sound':
      return openWhat('sonido');
  }
  if (b.dataset.devAct === 'spk') devSpeakerTest();
  else if (b.dataset.devAct === 'mic') devMicTest();
}

function onDevPick(/** @type {Event} */ e) {
  const el = /** @type {HTMLSelectElement} */ (e.target);
  if (el.dataset && el.dataset.dev === 'spk') setSpeaker(el.value);
  else if (el.dataset && el.dataset.dev === 'mic') setMicDev(el.value);
}

function onVol(/** @type {Event} */ e) {
  const el = /** @type {HTMLInputElement} */ (e.target);
  if (el.dataset && el.dataset.vol) lineVol(el.dataset.vol, Number(el.value));
}

export function wireVoice() {
  for (const id of ['#dock', '#lnList', '#audioDevs']) {
    const el = $(id);
    if (!el) continue;
    el.addEventListener('click', onLineAct);
    el.addEventListener('change', onDevPick);
    el.addEventListener('input', onVol);
  }
  $('#ringBox').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button[data-ring]'));
    if (!b) return;
    if (b.dataset.ring === 'no') declineRing();
    else answerRing(b.dataset.ring === 'merge');
  });
  $('#ringBtn').onclick = () => phoneCall($('#ringId').value);
  $('#btnRing').onclick = () => phoneCall($('#tId').value);
  $('#ringId').addEventListener('input', () => fmtIdInput($('#ringId')));
  $('#ringId').addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => { if (e.key === 'Enter') phoneCall($('#ringId').value); });
  if (navigator.mediaDevices) navigator.mediaDevices.addEventListener('devicechange', onDevChange);
  $('nav.tabs').addEventListener('click', () => renderDock(true));
  $('#langBtn').addEventListener('click', () => {
    renderDock(true);
    renderRing();
    renderDevs();
  });
  renderDevs();
}
