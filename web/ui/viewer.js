// The technician's viewer: one tab per session, the picture, the remote hand, the menus.

import { readClipboard } from '../core/api.js';
import { curSes, LINES, ST, TS } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { mmss, prettyId, store } from '../core/util.js';
import { applySink } from '../media/devices.js';
import { sendFiles } from '../net/files.js';
import { sesVoiceToggle } from '../net/phone.js';
import { ctl, endSession, fitsChannel } from '../net/session.js';
import { cleanMode, QUALITIES } from '../net/tech.js';
import { pickFile, toggleChat } from './chat.js';
import { $, dom } from './dom.js';
import { closeMenu, closeModal, menuOpenFor, modal, openMenu, regions, showTab, toast, viewerOpen } from './shell.js';

/** @typedef {import('../core/state.js').Session} Session */

// Giving support: connecting by ID, the viewer with one tab per session, the remote hand,
// the menus, the open sessions card, recents and history.
//
// A session's /join/ socket: open → `join` sent → `waiting` (countdown from the server's
// timeout, shown never below 0; at −3 we give up) → `accepted` (peer connection built) →
// signals until connected. Refusals end it quietly toward the server; a lost socket after
// acceptance leaves the session to its peer connection.

/** How the picture fills the stage: "fit" (letterboxed) or "real" (one remote pixel per screen pixel). */
let SCALE = store('trv_scale', undefined) === 'real' ? 'real' : 'fit';
/** @type {{cx: number, cy: number, k: string, raf: number}} the pointer move waiting for the next frame */
export const PTR = { cx: 0, cy: 0, k: '', raf: 0 };
/** Wheel amounts not yet sent (whole multiples of 40 leave, the rest waits). */
const WHEEL = { x: 0, y: 0 };
/** @type {ReturnType<typeof setTimeout>|number} re-sends the adaptive size once the stage stops changing */
let adaptTimer = 0;
/** Identity of the open-sessions rows and of the viewer tabs: rebuilt only when it changes. */
let vtabSig = '', monSig = '';
/** Key codes whose key-up must not follow a key-down we kept for ourselves (tab switching). */
const KEPT_KEYS = new Set();

/** Key combinations of the keys menu; codes are KeyboardEvent codes, pressed in this order. */
const COMBOS = [
  ['taskmgr', ['ControlLeft', 'ShiftLeft', 'Escape'], 'kTaskmgr'],
  ['win', ['MetaLeft'], 'kWin'],
  ['run', ['MetaLeft', 'KeyR'], 'kRun'],
  ['explorer', ['MetaLeft', 'KeyE'], 'kExplorer'],
  ['settings', ['MetaLeft', 'KeyI'], 'kSettings'],
  ['desk', ['MetaLeft', 'KeyD'], 'kDesk'],
  ['alttab', ['AltLeft', 'Tab'], 'kAltTab'],
  ['altf4', ['AltLeft', 'F4'], 'kAltF4'],
  ['lock', ['MetaLeft', 'KeyL'], 'kLock'],
  ['prt', ['PrintScreen'], 'kPrt'],
];
const FPS_STEPS = [15, 30, 60];
/** Modes listed in the screen menu. */
const MAX_MODES = 14;

/**
 * Pointer position as fractions of the remote picture. The picture keeps its aspect inside
 * box (16:9 until the video knows its size) and is centred, so on the black bars the values
 * fall below 0 or above 1; they are not clamped (the host clamps to its own screen).
 */
export function ptrMap(/** @type {{left: number, top: number, width: number, height: number}} */ box, /** @type {number} */ vw, /** @type {number} */ vh, /** @type {number} */ cx, /** @type {number} */ cy) {
  if (!(vw > 0 && vh > 0)) { vw = 16; vh = 9; }
  const sc = Math.min(box.width / vw, box.height / vh);
  if (!(sc > 0) || !Number.isFinite(sc)) return null;
  const pw = vw * sc, ph = vh * sc;
  const left = box.left + (box.width - pw) / 2, top = box.top + (box.height - ph) / 2;
  const r5 = (/** @type {number} */ v) => Math.round(v * 1e5) / 1e5;
  return { x: r5((cx - left) / pw), y: r5((cy - top) / ph) };
}

/**
 * Adds one wheel event to the accumulator and takes out the whole multiples of 40.
 * mode: WheelEvent.deltaMode (0 pixels, 1 lines, 2 pages). Vertical is inverted: the host
 * takes positive as "away from the user". Returns {dy, dx} to send, or null.
 */
export function wheelStep(/** @type {{x: number, y: number}} */ acc, /** @type {number} */ mode, /** @type {number} */ deltaX, /** @type {number} */ deltaY) {
  const f = (mode === 1 ? 40 : mode === 2 ? 800 : 1) * 1.2;
  if (Number.isFinite(deltaY)) acc.y += -deltaY * f;
  if (Number.isFinite(deltaX)) acc.x += deltaX * f;
  const whole = (/** @type {number} */ v) => (v < 0 ? Math.ceil(v / 40) : Math.floor(v / 40)) * 40 || 0;
  const dy = whole(acc.y), dx = whole(acc.x);
  acc.y -= dy;
  acc.x -= dx;
  return dy || dx ? { dy, dx } : null;
}

/** A combination as one batch: every key down in order, then the ups in reverse order. */
export function comboEvents(/** @type {string} */ name) {
  const c = COMBOS.find((x) => x[0] === name);
  if (!c) return [];
  const keys = /** @type {string[]} */ (c[1]);
  return [...keys.map((k) => ({ k: 'kd', c: k })), ...[...keys].reverse().map((k) => ({ k: 'ku', c: k }))];
}

/** The screen menu's markup for a session (scale, resolution, modes). */
export function screenMenuHtml(/** @type {Session} */ s, /** @type {string} */ scale) {
  const on = (/** @type {boolean} */ b) => (b ? '● ' : '');
  const r = s.resInfo && s.resInfo.ok === true ? s.resInfo : null;
  const cur = r && cleanMode(r.actual), orig = r && cleanMode(r.original);
  let h = `<div class="mh">${esc(t('scaleHd'))}</div>`;
  h += `<button data-act="fit">${on(scale === 'fit')}${esc(t('scaleFit'))}</button>`;
  h += `<button data-act="real">${on(scale === 'real')}${esc(t('scaleReal'))}</button><hr>`;
  h += `<div class="mh">${esc(t('resHd', cur ? `${cur.w}×${cur.h}` : '…'))}</div>`;
  if (s.canControl) {
    h += `<button data-act="adapt">${on(!!s.adaptive)}${esc(t('resAdaptive'))}</button>`;
    h += `<button data-act="orig">${on(!!r && r.cambiada === false && !s.adaptive)}${esc(t('resOriginal'))}</button>`;
    const modes = (r && Array.isArray(r.modos) ? r.modos : []).flatMap((x) => cleanMode(x) || []).slice(0, MAX_MODES);
    for (const m of modes) {
      const mark = !s.adaptive && cur && cur.w === m.w && cur.h === m.h;
      const tag = orig && orig.w === m.w && orig.h === m.h ? ' · ' + t('resOrigTag') : '';
      h += `<button data-act="mode:${m.w}x${m.h}">${on(!!mark)}${m.w}×${m.h}${m.hz ? ` · ${m.hz} Hz` : ''}${esc(tag)}</button>`;
    }
  } else h += `<div class="mnote">${esc(t('resNeedCtl'))}</div>`;
  h += `<div class="mnote">${esc(t('resHint'))}</div>`;
  return h;
}

/** The session's video (in the viewer box) and its two audio elements: PC sound and voice. */
export function techMedia(/** @type {Session} */ s) {
  const v = dom.document().createElement('video');
  v.muted = true;
  v.autoplay = true;
  v.playsInline = true;
  v.hidden = true;
  v.dataset.k = s.k;
  const resized = () => { if (!s.dead && ST.CUR === s.k) renderViewer(); };
  v.addEventListener('loadedmetadata', resized);
  v.addEventListener('resize', resized);
  $('#vbox').appendChild(v);
  s.vid = v;
  for (const f of /** @type {const} */ (['aud', 'vaud'])) {
    const a = dom.document().createElement('audio');
    a.autoplay = true;
    a.hidden = true;
    if (f === 'aud') a.muted = true;
    $('#vbox').appendChild(a);
    if (typeof applySink === 'function') applySink(a, true);
    s[f] = a;
  }
}

/** With a password the technician chose unattended access: ask how to look at the PC. */
export function uaDialog(/** @type {Session} */ s) {
  modal(`<h3>${esc(t('uaTitle'))}</h3><p>${esc(t('uaTxt', s.peer))}</p>
<label class="check"><input type="checkbox" id="uaFullBox" checked><span>${esc(t('uaFull'))}</span></label>
<label class="check" style="margin-top:8px"><input type="checkbox" id="uaAudBox" checked><span>${esc(t('uaAud'))}</span></label>
<div class="actions"><button class="primary" id="uaGoBtn">${esc(t('uaGo'))}</button></div>`, undefined);
  $('#uaGoBtn').onclick = () => {
    const full = !!$('#uaFullBox').checked;
    s.audioOn = !!$('#uaAudBox').checked;
    closeModal();
    if (s.dead) return;
    showSes(s.k);
    if (full && !dom.document().fullscreenElement) techFull();
  };
  $('#uaGoBtn').focus();
}

// Viewer -----------------------------------------------------------------------------------


/** Shows a session in the viewer. */
export function showSes(/** @type {string} */ k) {
  const s = TS.get(k);
  if (!s) return;
  const prev = curSes();
  if (prev && prev !== s) release(prev);
  ST.CUR = k;
  s.unread = 0;
  WHEEL.x = WHEEL.y = 0;
  openViewer();
  regions.chat();
  if (s.control) setTimeout(() => focusLayer(s), 60);
}

export function openViewer() {
  if (!TS.size) return;
  if (!ST.CUR || !TS.has(ST.CUR)) ST.CUR = [...TS.keys()].pop() || null;
  if (!viewerOpen()) {
    $('#viewer').hidden = false;
    // The calls panel would cover the picture: fold it whenever the viewer comes up.
    try {
      if (typeof LINES !== 'undefined' && LINES && LINES.size && typeof dockMin === 'function') dockMin(true);
    } catch {}
  }
  renderViewer();
  regions.sessions(false);
}

/** Hides the viewer; the sessions go on (the chip and the card bring it back). */
export function minViewer() {
  if (dom.document().fullscreenElement) dom.document().exitFullscreen().catch(() => {});
  const s = curSes();
  if (s) release(s);
  $('#viewer').hidden = true;
  regions.sessions(false);
  regions.chat();
}

/** The tab "＋": back to the Connect form for another PC. */
function newConn() {
  minViewer();
  showTab('conectar');
  $('#tId').value = '';
  $('#tKey').value = '';
  $('#tId').focus();
  toast(t('sesNewHint'), 5000);
}

/** The next (+1) or previous (−1) tab, cyclically. */
function sesStep(/** @type {number} */ d) {
  const keys = [...TS.keys()];
  if (keys.length < 2) return;
  const i = Math.max(0, keys.indexOf(ST.CUR || ''));
  showSes(keys[(i + d + keys.length) % keys.length]);
}

/** The ✕ of a tab or row: a session that stands is ended only after a second word. */
export function endSesAsk(/** @type {string} */ k) {
  const s = TS.get(k) || (ST.HSES && ST.HSES.k === k ? ST.HSES : null);
  if (!s) return;
  if (!s.connected) return endSession(s, 'local');
  modal(`<h3>${esc(s.peer)}</h3><div class="hint">${esc(s.role === 'host' ? t('sesHost') : prettyId(s.peerId))}</div>
<div class="actions"><button id="endNoBtn">${esc(t('cancel'))}</button><button class="danger" id="endYesBtn">${esc(t('sesEnd'))}</button></div>`, undefined);
  $('#endNoBtn').onclick = closeModal;
  $('#endYesBtn').onclick = () => { closeModal(); endSession(s, 'local'); };
  $('#endYesBtn').focus();
}

/** What the waiting overlay says for a session ('' = the picture shows). */
function waitFor(/** @type {Session|null} */ s) {
  if (!s) return '';
  // The texts set along the way (waiting, connecting, relay) end with the connection.
  if (!s.connected) return s.waitTxt || '';
  return s.vid && s.vid.videoWidth ? '' : t('waitScreen');
}

/** Closes the viewer once no session is left in it. */
export function closeViewer() {
  if (dom.document().fullscreenElement) dom.document().exitFullscreen().catch(() => {});
  $('#viewer').hidden = true;
  if (typeof toggleChat === 'function') toggleChat(false);
}

export function renderViewer() {
  if (!$('#viewer')) return;
  if (!TS.size) {
    if (viewerOpen()) closeViewer();
    return;
  }
  if (!ST.CUR || !TS.has(ST.CUR)) ST.CUR = [...TS.keys()].pop() || null;
  const s = curSes();
  for (const x of TS.values()) if (x.vid) x.vid.hidden = x.k !== ST.CUR;
  const w = waitFor(s);
  $('#vwait').hidden = !w;
  $('#vWaitTxt').textContent = w;
  $('#vlayer').classList.toggle('ctl', !!(s && s.control));
  applyScale();
  audioFocus();
  renderViewerBar();
}

/** The tabs of the viewer, rebuilt only when something they show changed. */
function renderVTabs() {
  const list = [...TS.values()];
  const sig = JSON.stringify([ST.LANG, ST.CUR, list.map((s) => [s.k, s.peer, tabDot(s), voiceMark(s), s.unread])]);
  if (sig === vtabSig) return;
  vtabSig = sig;
  $('#vtabs').innerHTML = list.map((s) => `<div class="vt${s.k === ST.CUR ? ' on' : ''}" data-k="${esc(s.k)}" title="${esc(prettyId(s.peerId))}">
<span class="dot ${tabDot(s)}"></span><span class="vtn">${esc(s.peer)}</span>${voiceMark(s) ? `<span class="vtv">${voiceMark(s)}</span>` : ''}${s.unread ? `<span class="badge">${s.unread}</span>` : ''}<button class="vtx" data-end="${esc(s.k)}" title="${esc(t('end'))}">✕</button></div>`).join('')
    + `<button class="ghost vtb" data-act="new">${esc(t('vtNew'))}</button><span class="spacer"></span><button class="ghost vtb" data-act="min">${esc(t('vtMin'))}</button>`;
}

export function tabDot(/** @type {Session} */ s) {
  return s.connected ? 'ok' : s.accepted ? 'warn' : 'wait';
}
export function voiceMark(/** @type {Session} */ s) {
  return s.line ? (s.line.held ? '⏸' : '📞') : '';
}
/** The voice button's text for a session: off, on, or held. */
export function voiceLabel(/** @type {Session} */ s) {
  return t(s.line ? (s.line.held ? 'lnVoiceHeld' : 'callOn') : 'callOff');
}

/** The PC sound button's text: not shared by the PC, else heard or not as the technician chose. */
export function soundKey(/** @type {Session} */ s) {
  if (!s.hostAudio) return 'audNone';
  return s.audioOn ? 'audOn' : 'audOff';
}

/** The bar over the picture: who, time, statistics, switches and monitor buttons. */
export function renderViewerBar() {
  if (!$('#viewer') || !viewerOpen()) return;
  renderVTabs();
  const s = curSes();
  if (!s) return;
  const time = s.started ? mmss((Date.now() - s.started) / 1000) : '…';
  const id = prettyId(s.peerId);
  $('#vWho').innerHTML = `<b>${esc(s.peer)}</b>${s.peer !== id ? ` <span class="muted">${esc(id)}</span>` : ''} <span class="vtime">${esc(time)}</span>`;
  $('#vStat').textContent = s.statTxt || '';
  const c = $('#vCtl');
  c.textContent = t(s.control ? 'ctlOn' : 'ctlOff');
  c.disabled = !s.canControl;
  c.title = s.canControl ? '' : t('ctlDenied');
  c.classList.toggle('on', !!s.control);
  // The PC's own word decides: while it shares no sound there is nothing to switch on.
  const a = $('#vAud');
  a.textContent = t(soundKey(s));
  a.disabled = !s.hostAudio;
  a.title = s.hostAudio ? '' : t('audNoneTip');
  a.classList.toggle('on', s.hostAudio && s.audioOn);
  $('#vVol').disabled = !s.hostAudio;
  if (dom.document().activeElement !== $('#vVol')) $('#vVol').value = String(Math.round(s.vol * 100));
  $('#vCall').hidden = typeof sesVoiceToggle !== 'function';
  $('#vCall').textContent = voiceLabel(s);
  $('#vCall').disabled = !s.connected;
  $('#vChat').hidden = typeof openChatFor !== 'function';
  $('#vChat').textContent = t('hbChat') + (s.unread ? ` (${s.unread})` : '');
  $('#vFile').hidden = typeof sendFiles !== 'function';
  $('#vMons').hidden = !(s.monsw && s.mons.length > 1);
  const sig = JSON.stringify([ST.LANG, s.k, s.mon, s.mons, s.monsw]);
  if (sig !== monSig) {
    monSig = sig;
    $('#vMons').innerHTML = s.mons.map((m) => {
      const tip = [t('monTip'), m.w && m.h ? `${m.w}×${m.h}` : '', m.primary ? t('monMain') : ''].filter(Boolean).join(' · ');
      return `<button class="small${m.i === s.mon ? ' on' : ''}" data-mon="${m.i}" title="${esc(tip)}">🖥 ${m.i + 1}</button>`;
    }).join('');
  }
}

/** Scale of the picture: fitted into the stage, or real size (with scroll bars). */
function applyScale() {
  const s = curSes();
  const stage = $('#vstage'), box = $('#vbox'), layer = $('#vlayer');
  const real = SCALE === 'real' && !!s && !!s.vid && s.vid.videoWidth > 0;
  stage.classList.toggle('real', real);
  if (!real) {
    for (const el of [box, layer]) el.style.left = el.style.top = el.style.width = el.style.height = '';
    return;
  }
  if (!s || !s.vid) return;
  const dpr = devicePixelRatio || 1;
  const w = s.vid.videoWidth / dpr, h = s.vid.videoHeight / dpr;
  const left = Math.max(0, (stage.clientWidth - w) / 2), top = Math.max(0, (stage.clientHeight - h) / 2);
  for (const el of [box, layer]) {
    el.style.left = left + 'px';
    el.style.top = top + 'px';
    el.style.width = w + 'px';
    el.style.height = h + 'px';
  }
}

/** Only the session shown is heard, and only while its sound is on. */
function audioFocus() {
  for (const s of TS.values()) {
    if (!s.aud) continue;
    s.aud.muted = !(s.k === ST.CUR && s.audioOn);
    s.aud.volume = Math.max(0, Math.min(1, s.vol));
  }
}

function setScale(/** @type {string} */ v) {
  SCALE = v === 'real' ? 'real' : 'fit';
  store('trv_scale', SCALE);
  applyScale();
}

function techToggleCtl() {
  const s = curSes();
  if (!s || !s.canControl) return;
  if (s.control) release(s);
  s.control = s.wantControl = !s.control;
  renderViewer();
  regions.sessions(false);
  if (s.control) focusLayer(s);
}

function techToggleAudio() {
  const s = curSes();
  if (!s) return;
  s.audioOn = !s.audioOn;
  audioFocus();
  renderViewerBar();
}

function techVol(/** @type {number} */ v) {
  const s = curSes();
  if (!s) return;
  s.vol = Math.max(0, Math.min(1, Number(v) / 100 || 0));
  if (v > 0) s.audioOn = true;
  audioFocus();
  renderViewerBar();
}

/**
 * The Keyboard Lock API of Chromium, which the DOM types don't hold yet.
 * @returns {{lock?: () => Promise<void>, unlock?: () => void}|undefined}
 */
function keyboardLock() {
  return /** @type {Navigator & {keyboard?: {lock?: () => Promise<void>, unlock?: () => void}}} */ (navigator).keyboard;
}

/**
 * Full screen of the viewer; inside it the keyboard is locked so that system keys reach the
 * page. The whole page goes full screen and the viewer covers it: only the full-screen
 * element's own subtree is drawn, and menus, dialogs, toasts and the chat live outside the viewer.
 */
function techFull() {
  if (dom.document().fullscreenElement) {
    dom.document().exitFullscreen().catch(() => {});
    return;
  }
  dom.document().documentElement.requestFullscreen().then(() => {
    const kb = keyboardLock();
    if (kb && kb.lock) kb.lock().catch(() => {});
  }).catch(() => {});
}

function techMon(/** @type {number} */ i) {
  const s = curSes();
  if (!s) return;
  ctl(s, { t: 'mon', i });
  toast(t('monSwitching'), 2500);
}

// Remote hand ------------------------------------------------------------------------------

/** Lets go of every key and button held on the session's PC. */
function release(/** @type {Session} */ s) {
  if (PTR.k === s.k) PTR.k = '';
  if (s.control) ctl(s, { t: 'in', ev: [{ k: 'rel' }] });
}

export function focusLayer(/** @type {Session} */ s) {
  if (!s.dead && ST.CUR === s.k && viewerOpen()) $('#vlayer').focus({ preventScroll: true });
}

/** The pointer over the picture as fractions of the remote screen. */
function ptrAt(/** @type {Session} */ s, /** @type {number} */ cx, /** @type {number} */ cy) {
  if (!s.vid) return null;
  return ptrMap(s.vid.getBoundingClientRect(), s.vid.videoWidth, s.vid.videoHeight, cx, cy);
}

/** Sends an ordered input batch (buttons, wheel, keys) on ctl. */
function sendIn(/** @type {Session} */ s, /** @type {Object<string, unknown>[]} */ ev) {
  ctl(s, { t: 'in', ev });
}

/** Moves go out once per frame on the unreliable channel; the latest position wins. */
function queueMove(/** @type {Session} */ s, /** @type {number} */ cx, /** @type {number} */ cy) {
  PTR.cx = cx;
  PTR.cy = cy;
  PTR.k = s.k;
  if (PTR.raf) return;
  PTR.raf = requestAnimationFrame(() => {
    PTR.raf = 0;
    const x = PTR.k ? TS.get(PTR.k) : null;
    PTR.k = '';
    const mov = x && x.dc.mov;
    if (!x || !x.control || !mov || mov.readyState !== 'open') return;
    const p = ptrAt(x, PTR.cx, PTR.cy);
    if (!p) return;
    try {
      mov.send(JSON.stringify({ t: 'in', ev: [{ k: 'm', x: p.x, y: p.y }] }));
    } catch {}
  });
}

/** Without control: a hint when the host allows it (the switch is off), else nothing is said. */
function noControl(/** @type {Session} */ s, /** @type {boolean} */ always) {
  if (s.canControl) toast(t('noCtlYet'));
  else if (always) toast(t('ctlDenied'));
}

function wireLayer() {
  const layer = $('#vlayer');
  layer.addEventListener('pointermove', (/** @type {PointerEvent} */ e) => {
    const s = curSes();
    if (s && s.control) queueMove(s, e.clientX, e.clientY);
  });
  layer.addEventListener('pointerdown', (/** @type {PointerEvent} */ e) => {
    layer.focus({ preventScroll: true });
    const s = curSes();
    if (e.button === 1) e.preventDefault();
    if (!s) return;
    if (!s.control) return noControl(s, false);
    e.preventDefault();
    try { layer.setPointerCapture(e.pointerId); } catch {}
    const p = ptrAt(s, e.clientX, e.clientY);
    sendIn(s, [p ? { k: 'd', b: e.button, x: p.x, y: p.y } : { k: 'd', b: e.button }]);
  });
  layer.addEventListener('pointerup', (/** @type {PointerEvent} */ e) => {
    const s = curSes();
    if (!s || !s.control) return;
    const p = ptrAt(s, e.clientX, e.clientY);
    sendIn(s, [p ? { k: 'u', b: e.button, x: p.x, y: p.y } : { k: 'u', b: e.button }]);
  });
  layer.addEventListener('contextmenu', (/** @type {Event} */ e) => e.preventDefault());
  layer.addEventListener('auxclick', (/** @type {MouseEvent} */ e) => { if (e.button === 1) e.preventDefault(); });
  layer.addEventListener('wheel', (/** @type {WheelEvent} */ e) => {
    const s = curSes();
    if (!s || !s.control) return;
    e.preventDefault();
    const w = wheelStep(WHEEL, e.deltaMode, e.deltaX, e.deltaY);
    if (w) sendIn(s, [{ k: 'w', dy: w.dy, dx: w.dx }]);
  }, { passive: false });
  layer.addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => {
    const s = curSes();
    if (!s) return;
    if (e.ctrlKey && e.altKey && (e.code === 'ArrowRight' || e.code === 'ArrowLeft') && TS.size > 1) {
      e.preventDefault();
      KEPT_KEYS.add(e.code);
      sesStep(e.code === 'ArrowRight' ? 1 : -1);
      return;
    }
    // A real press of that key again: its key-up must reach the PC.
    KEPT_KEYS.delete(e.code);
    if (!s.control || !e.code) return;
    e.preventDefault();
    sendIn(s, [{ k: 'kd', c: e.code }]);
  });
  layer.addEventListener('keyup', (/** @type {KeyboardEvent} */ e) => {
    const s = curSes();
    if (KEPT_KEYS.delete(e.code)) return e.preventDefault();
    if (!s || !s.control || !e.code) return;
    e.preventDefault();
    sendIn(s, [{ k: 'ku', c: e.code }]);
  });
  layer.addEventListener('blur', () => {
    const s = curSes();
    if (s) release(s);
  });
  layer.addEventListener('dragover', (/** @type {DragEvent} */ e) => e.preventDefault());
  layer.addEventListener('drop', (/** @type {DragEvent} */ e) => {
    e.preventDefault();
    const s = curSes();
    const files = e.dataTransfer && e.dataTransfer.files;
    if (s && files && files.length && typeof sendFiles === 'function') sendFiles(files, s);
  });
}

// Menus --------------------------------------------------------------------------------------

function keysMenu() {
  const s = curSes();
  if (!s) return;
  let h = `<div class="mh">${esc(t('keysHd'))}</div>`;
  h += COMBOS.map((c) => `<button data-act="${c[0]}">${esc(t(/** @type {string} */ (c[2])))}</button>`).join('');
  h += `<hr><div class="mnote">${esc(t('kCad'))}</div>`;
  if (TS.size > 1) h += `<div class="mnote">${esc(t('vtKeys'))}</div>`;
  openMenu($('#vKeys'), h, (act) => sendCombo(s, act));
}

export function sendCombo(/** @type {Session} */ s, /** @type {string} */ name) {
  if (s.dead) return;
  if (!s.control) return noControl(s, true);
  const ev = comboEvents(name);
  if (ev.length) sendIn(s, ev);
  focusLayer(s);
}

/** Whether a message fits in one data-channel message of this connection. */
function clipMenu() {
  const s = curSes();
  if (!s) return;
  const h = `<div class="mh">${esc(t('clipHd'))}</div><button data-act="send">${esc(t('clipSend'))}</button><button data-act="get">${esc(t('clipGet'))}</button>`;
  openMenu($('#vClip'), h, (act) => (act === 'send' ? clipSend(s) : clipGet(s)));
}

async function clipSend(/** @type {Session} */ s) {
  if (!s.control) return noControl(s, true);
  const r = await readClipboard({ propio: true }).catch(() => null);
  if (s.dead) return;
  if (!r || r.ok !== true || typeof r.texto !== 'string' || !r.texto) return toast(t('clipEmpty'));
  const msg = { t: 'clip-set', text: r.texto };
  // A message larger than the channel takes would be dropped without a word.
  if (!fitsChannel(s, msg)) return toast(t('copyFail'));
  ctl(s, msg);
}

function clipGet(/** @type {Session} */ s) {
  if (!s.control) return noControl(s, true);
  s.clipWait = true;
  ctl(s, { t: 'clip-get' });
}

function typeText() {
  const s = curSes();
  if (!s) return;
  if (!s.control) return noControl(s, true);
  modal(`<h3>${esc(t('typeTitle'))} · ${esc(s.peer)}</h3><div class="hint">${esc(t('typeHint'))}</div>
<textarea id="typeArea" rows="6" maxlength="20000" style="width:100%;margin-top:10px;resize:vertical"></textarea>
<div class="actions"><button id="typeNoBtn">${esc(t('cancel'))}</button><button class="primary" id="typeGoBtn">${esc(t('typeBtn'))}</button></div>`, undefined);
  $('#typeNoBtn').onclick = closeModal;
  $('#typeGoBtn').onclick = () => {
    const text = String($('#typeArea').value || '');
    if (!text) return;
    const msg = { t: 'text', s: text };
    if (!fitsChannel(s, msg)) return toast(t('copyFail'));
    closeModal();
    if (s.dead) return;
    ctl(s, msg);
    focusLayer(s);
  };
  $('#typeArea').focus();
}

function qualMenu() {
  const s = curSes();
  if (!s) return;
  const on = (/** @type {boolean} */ b) => (b ? '● ' : '');
  let h = `<div class="mh">${esc(t('qualHd'))}</div>`;
  h += QUALITIES.map(([q, key]) => `<button data-act="q:${q}">${on(s.quality === q)}${esc(t(key))}</button>`).join('');
  h += `<hr><div class="mh">${esc(t('fpsHd'))}</div>`;
  h += FPS_STEPS.map((f) => `<button data-act="f:${f}">${on(s.fps === f)}${f} fps</button>`).join('');
  openMenu($('#vQual'), h, (act) => {
    const [kind, v] = act.split(':');
    if (kind === 'q') setQual(s, v, s.fps);
    else setQual(s, s.quality, Number(v));
  });
}

function setQual(/** @type {Session} */ s, /** @type {string} */ q, /** @type {number} */ fps) {
  if (s.dead) return;
  s.quality = q;
  s.fps = fps;
  ctl(s, { t: 'quality', q, fps });
}

/** The screen menu: opening it asks the host for its modes; the answer rebuilds it. */
export function screenMenu() {
  const s = curSes();
  if (!s) return;
  if (!menuOpenFor('vScreen')) ctl(s, { t: 'res-get' });
  openMenu($('#vScreen'), screenMenuHtml(s, SCALE), (act) => {
    if (s.dead) return;
    if (act === 'fit' || act === 'real') setScale(act);
    else if (act === 'adapt') resAdaptive(s, !s.adaptive);
    else if (act === 'orig') resOriginal(s);
    else if (act.startsWith('mode:')) {
      const [w, h] = act.slice(5).split('x').map(Number);
      resSet(s, w, h);
    }
  });
}

function adaptOff(/** @type {Session} */ s) {
  if (!s.adaptive) return;
  s.adaptive = false;
  store('trv_adapt', '0');
}

function resSet(/** @type {Session} */ s, /** @type {number} */ w, /** @type {number} */ h) {
  adaptOff(s);
  ctl(s, { t: 'res-set', w, h });
}

function resOriginal(/** @type {Session} */ s) {
  adaptOff(s);
  ctl(s, { t: 'res-set', original: true });
}

/** The stage's size in device pixels: what adaptive resolution asks the host to fit. */
function stageFit() {
  const st = $('#vstage'), dpr = devicePixelRatio || 1;
  return [Math.round(st.clientWidth * dpr), Math.round(st.clientHeight * dpr)];
}

export function resAdaptive(/** @type {Session} */ s, /** @type {boolean} */ on) {
  if (!on) return adaptOff(s);
  s.adaptive = true;
  store('trv_adapt', '1');
  setScale('fit');
  ctl(s, { t: 'res-set', fit: stageFit() });
  toast(t('resAdaptOn'));
}

/** While adaptive, the stage's new size goes to the host once resizing has stopped. */
function onStageResize() {
  applyScale();
  const s = curSes();
  if (!s || !s.adaptive || !s.connected) return;
  clearTimeout(adaptTimer);
  adaptTimer = setTimeout(() => {
    const x = curSes();
    if (x === s && !s.dead && s.adaptive && s.connected && viewerOpen()) ctl(s, { t: 'res-set', fit: stageFit() });
  }, 1200);
}

// Wiring -------------------------------------------------------------------------------------

export function wireTech() {
  $('#vtabs').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const el = /** @type {HTMLElement} */ (e.target);
    const end = /** @type {HTMLElement|null} */ (el.closest('[data-end]'));
    if (end) return endSesAsk(end.dataset.end || '');
    const act = /** @type {HTMLElement|null} */ (el.closest('[data-act]'));
    if (act) return act.dataset.act === 'new' ? newConn() : minViewer();
    const tab = /** @type {HTMLElement|null} */ (el.closest('[data-k]'));
    if (tab) showSes(tab.dataset.k || '');
  });
  $('#vCtl').onclick = techToggleCtl;
  $('#vAud').onclick = techToggleAudio;
  $('#vVol').addEventListener('input', () => techVol(Number($('#vVol').value)));
  $('#vCall').onclick = () => { const s = curSes(); if (s && typeof sesVoiceToggle === 'function') sesVoiceToggle(s); };
  $('#vChat').onclick = () => { const s = curSes(); if (s && typeof openChatFor === 'function') openChatFor(s); };
  $('#vFile').onclick = () => { const s = curSes(); if (s && typeof pickFile === 'function') pickFile(s); };
  $('#vMons').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('[data-mon]'));
    if (b) techMon(Number(b.dataset.mon));
  });
  const menu = (/** @type {string} */ id, /** @type {() => void} */ f) => {
    $(id).onclick = () => (menuOpenFor(id.slice(1)) ? closeMenu() : f());
  };
  menu('#vKeys', keysMenu);
  menu('#vClip', clipMenu);
  menu('#vScreen', screenMenu);
  menu('#vQual', qualMenu);
  $('#vType').onclick = typeText;
  // Not every font has a full-screen sign; four corners drawn as lines always show.
  $('#vFull').innerHTML = '<svg viewBox="0 0 16 16" fill="none" stroke="currentColor" stroke-width="1.8" stroke-linecap="round"><path d="M2 6V2h4M10 2h4v4M14 10v4h-4M6 14H2v-4"/></svg>';
  $('#vFull').onclick = techFull;
  $('#vEnd').onclick = $('#vWaitCancel').onclick = () => { const s = curSes(); if (s) endSession(s, 'local'); };
  dom.document().addEventListener('fullscreenchange', () => {
    if (dom.document().fullscreenElement) return;
    const kb = keyboardLock();
    if (kb && kb.unlock) kb.unlock();
  });
  new ResizeObserver(onStageResize).observe($('#vstage'));
  wireLayer();

  // A header tab while the viewer is up means the technician wants the page behind it.
  dom.document().querySelectorAll('nav.tabs button').forEach((b) => b.addEventListener('click', () => { if (viewerOpen()) minViewer(); }));

}

/** A technician's session ended: its pointer, its media elements and its place in the viewer go; another session shows. */
export function techGone(/** @type {Session} */ s) {
  if (PTR.k === s.k) PTR.k = '';
  for (const el of [s.vid, s.aud, s.vaud]) {
    if (!el) continue;
    try { el.pause(); } catch {}
    el.srcObject = null;
    el.remove();
  }
  if (ST.CUR === s.k) {
    ST.CUR = [...TS.keys()].pop() || null;
    const open = $('#viewer') && viewerOpen();
    if (ST.CUR && open) showSes(ST.CUR);
  }
  if (!TS.size) {
    ST.CUR = null;
    if ($('#viewer')) closeViewer();
    if (s.accepted) {
      $('#tId').value = prettyId(s.peerId);
      $('#tKey').value = '';
    }
  }
}

/** The chat of one session; a technician session is shown in the viewer first. */
export function openChatFor(/** @type {Session} */ s) {
  if (!s || s.dead) return;
  if (s.role === 'tech' && (ST.CUR !== s.k || !viewerOpen())) showSes(s.k);
  ST.CHATS = s.k;
  toggleChat(true);
}

/** Folds (true) or shows the calls dock; the choice is kept. */
export function dockMin(/** @type {boolean} */ on) {
  ST.DOCKMIN = !!on;
  store('trv_dockmin', on ? '1' : '0');
  regions.dock(true);
}
