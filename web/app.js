// Kelvora's page: the composition root. It builds nothing itself; it connects the protocol
// objects of net/ and media/ to the page drawn by ui/, starts every part once the document
// is there, and gives tests and benches their one way in (globalThis.kelvora, below).
// Layers, each importing only the ones to its right: app.js → ui/ → net/, media/ → core/ → i18n.js.

import { endedAsPageGoes, noteCall, noteSession, readSettings } from './core/api.js';
import { anySession, CAPN, HOST, INQ, LINES, MICT, MIX, setting, ST, TS } from './core/state.js';
import { t } from './core/texts.js';
import { I18N } from './i18n.js';
import { devicesOn } from './media/devices.js';
import { mixerOn } from './media/mixer.js';
import { fileMsg, filesOn, rxDrop, rxFail, sendFile, xferCancel } from './net/files.js';
import { callLeave, callOn, callStart, callSwapMic } from './net/group_call.js';
import { hostConnect, hostOn, hsend, rejectReq } from './net/host.js';
import { declineRing, endAllLines, endLine, lineEnd, lineHold, lineMerge, lineSplit, phoneOn, phoneVia, sesVoiceMsg, sesVoiceToggle } from './net/phone.js';
import { ctl, endSession, iceServers, sessionOn } from './net/session.js';
import { techOn } from './net/tech.js';
import { renderDevs, renderDock, renderMeters, renderRing, renderRingLeft, ringClosed, wireVoice } from './ui/calls.js';
import { chatAdd, chatShown, chatSys, dialogUp, fileQuestion, renderChat, toggleChat, wireChat, xferBox, xferSaved } from './ui/chat.js';
import { askPassword, forgetPassword, renderHistory, renderRecents, renderSessions, wireConnect } from './ui/connect.js';
import { renderCall, renderCallLevel, wireCall } from './ui/group_call.js';
import { closeReqDialog, renderHostBar, renderHostStatus, renderIdCard, showReq, wireHost } from './ui/host.js';
import { reloadManual, renderScreens, renderSettings, updateShow, updateStartPolling, wireSettings } from './ui/settings.js';
import { applyI18n, checkServer, closeModal, loadIdentity, loadState, menuOpenFor, refreshSession, regions, renderPills, setHeaderHeight, showTab, tick, toast, viewerOpen, wireCore } from './ui/shell.js';
import { dockMin, focusLayer, minViewer, renderViewer, renderViewerBar, resAdaptive, screenMenu, showSes, techGone, uaDialog, wireTech } from './ui/viewer.js';

/** @typedef {import('./core/state.js').Session} Session */

// The page's regions, for the code that redraws one it does not own.
Object.assign(regions, {
  idCard: renderIdCard, hostStatus: renderHostStatus, hostBar: renderHostBar, sessions: renderSessions,
  viewer: renderViewer, viewerBar: renderViewerBar, recents: renderRecents, history: renderHistory, chat: renderChat,
  dock: renderDock, devices: renderDevs, screens: renderScreens, call: renderCall, settings: renderSettings,
  manual: reloadManual, update: updateShow,
});

// Sessions: what they tell the page, and the parts built on them (files, voice lines).
Object.assign(sessionOn, {
  onchange: (/** @type {Session} */ s, /** @type {string=} */ what) => {
    if (what === 'stats') {
      if (s.role === 'host') renderHostBar();
      else if (ST.CUR === s.k) renderViewerBar();
    } else if (what === 'wait') {
      if (s.role === 'tech' && ST.CUR === s.k) renderViewer();
    } else refreshSession(s);
  },
  onnotice: toast,
  onmessage: (/** @type {Session} */ s, /** @type {string} */ text) => chatAdd(s, s.peer, text, false),
  onstart: (/** @type {Session} */ s) => chatSys(s, t('chatSys', s.peer)),
  onend: (/** @type {Session} */ s) => {
    refreshSession(s);
    loadState();
  },
  onfile: fileMsg,
  onvoice: sesVoiceMsg,
  ondrop: rxDrop,
  onlineend: endLine,
});

// Receiving support.
Object.assign(hostOn, {
  onchange: (/** @type {string} */ what) => {
    if (what === 'registration') {
      renderHostStatus();
      renderPills();
    } else renderHostBar();
  },
  onnotice: toast,
  onrequest: showReq,
  onrequestend: closeReqDialog,
});

// Giving support.
Object.assign(techOn, {
  onchange: (/** @type {Session} */ s, /** @type {string=} */ what) => {
    if (what === 'recents') renderRecents();
    else if (what === 'sessions') renderSessions(false);
    else if (what === 'screen') {
      if (ST.CUR === s.k && menuOpenFor('vScreen')) screenMenu();
    } else refreshSession(s);
  },
  onnotice: toast,
  onaskpass: askPassword,
  onaccepted: forgetPassword,
  onunattended: uaDialog,
  oncontrol: focusLayer,
  onadapt: (/** @type {Session} */ s) => resAdaptive(s, true),
  onforget: techGone,
});

// Files on a session's channel.
Object.assign(filesOn, {
  onnotice: toast,
  ontransfer: xferBox,
  onsaved: xferSaved,
  onmessage: chatAdd,
  canask: () => !dialogUp(),
  onoffer: fileQuestion,
});

// Voice lines and rings; rings come and are answered through the /host/ registration.
phoneVia.host = hsend;
Object.assign(phoneOn, {
  onchange: (/** @type {string} */ what, /** @type {Session} */ s) => {
    if (what === 'lines') renderDock();
    else if (what === 'session') refreshSession(s);
    else if (what === 'ring') {
      if (ST.RINGIN) renderRing();
      else ringClosed();
    } else if (what === 'ringleft') renderRingLeft();
    else if (what === 'recents') renderRecents();
  },
  onnotice: toast,
  ondock: (/** @type {boolean} */ fold, /** @type {boolean} */ overViewer) => {
    if (!overViewer || viewerOpen()) dockMin(fold);
  },
});

// The group call.
Object.assign(callOn, { onchange: renderCall, onnotice: toast, onlevel: renderCallLevel });

// Microphone, speakers and the mixer.
Object.assign(devicesOn, {
  onchange: () => {
    renderDevs();
    renderDock(true);
  },
  onnotice: toast,
  onswapcall: callSwapMic,
});
Object.assign(mixerOn, {
  ontick: (/** @type {number} */ level) => {
    renderDock();
    renderMeters(level);
  },
});

async function start() {
  wireCore();
  try {
    const a = await readSettings();
    if (a && typeof a === 'object') ST.AJ = { general: a.general || {}, recibir: a.recibir || {}, llamada: a.llamada || {} };
  } catch {}
  // Whatever a previous page left running ended with it: sessions and calls alike.
  noteSession({ activa: false }).catch(() => {});
  noteCall({ k: '', activa: false }).catch(() => {});
  ST.LANG = setting('general', 'idioma') === 'en' ? 'en' : 'es';
  applyI18n();
  setHeaderHeight();
  wireHost();
  wireTech();
  wireConnect();
  await loadIdentity();
  await loadState();
  renderHostStatus();
  hostConnect();
  iceServers().catch(() => {});
  checkServer();
  if (typeof updateStartPolling === 'function') updateStartPolling(ST.S.actualizacion);
  setInterval(() => { if (!anySession()) loadState(); }, 30000);
  setInterval(tick, 1000);
}

// Ctrl+W or Alt+F4 meant for the remote PC reach this window too: while a session, a line,
// a ring or a group call is open the browser asks before the page goes.
addEventListener('beforeunload', (e) => {
  if (!anySession() && !LINES.size && !ST.RINGIN && !(ST.CALLX && ST.CALLX.mic)) return;
  e.preventDefault();
  e.returnValue = '';
});

// A page that goes away says so: sessions end with "closed", voice lines and a ringing call
// end, and the native side no longer counts a session or a group call as running (it holds
// updates back while one is). Only once it really goes: the question above may keep it.
addEventListener('pagehide', () => {
  for (const s of [...TS.values(), ...(ST.HSES ? [ST.HSES] : [])]) ctl(s, { t: 'bye', why: 'closed' });
  endedAsPageGoes('sesion');
  endAllLines();
  if (!ST.CALLX || !ST.CALLX.mic) return;
  endedAsPageGoes('llamada');
});

/**
 * The one handle of end-to-end tests and benches on the running page (they reach nothing
 * else): the page's state and the few actions a test plays instead of a user.
 * - every field of ST, read and written live: S, ID, AJ, LANG, SRV, HSES, CUR, SESN, ICE,
 *   CHATS, PICKS, LINEN, RINGIN, DOCKMIN, VOICE_TICK, MICTEST, UPD, CALLX;
 * - the state records: TS (sessions given), HOST (the /host/ registration), INQ, CAPN,
 *   LINES (voice lines), MIX (the mixer), MICT (the microphone test);
 * - t(key, ...args), the page's texts, and I18N;
 * - actions: ctl, endSession, rejectReq, showSes, minViewer, showTab, closeModal,
 *   toggleChat, chatShown, sendFile, rxFail, xferCancel, sesVoiceToggle, lineHold, lineMerge,
 *   lineSplit, lineEnd, declineRing, callStart, callLeave.
 */
const kelvora = {
  TS, HOST, INQ, CAPN, LINES, MIX, MICT, I18N, t,
  ctl, endSession, rejectReq, showSes, minViewer, showTab, closeModal, toggleChat, chatShown, sendFile, rxFail,
  xferCancel, sesVoiceToggle, lineHold, lineMerge, lineSplit, lineEnd, declineRing, callStart, callLeave,
};
for (const k of Object.keys(ST)) {
  const key = /** @type {keyof typeof ST} */ (k);
  Object.defineProperty(kelvora, key, { get: () => ST[key], set: (v) => { /** @type {Record<string, unknown>} */ (/** @type {unknown} */ (ST))[key] = v; }, enumerable: true });
}
/** @type {typeof globalThis & {kelvora?: typeof kelvora}} */ (globalThis).kelvora = kelvora;

start();
wireChat();
wireVoice();
wireSettings();
wireCall();
