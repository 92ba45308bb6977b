'use strict';
// Kelvora's page. Sections, in order: core, session, host, technician. Protocol code (sockets,
// peer connections, channels) touches no DOM; each region is drawn by one render* function
// from the state objects below.

// ── core ─────────────────────────────────────────────────────────────────────────────────

/** @type {any} last GET /api/estado: admin, portatil, recientes, sesiones, actualizacion, servidor, monitores, inicio_windows */
let S = {};
/** @type {any} POST /api/identidad: id, id_bonito, clave, llave, nombre, servidor */
let ID = null;
/** @type {{general: Object<string,string>, recibir: Object<string,string>, llamada: Object<string,string>}} settings */
let AJ = { general: {}, recibir: {}, llamada: {} };
/** @type {'es'|'en'} */
let LANG = 'es';
/** @type {{turn?: string, v?: string}} the signalling server's /health */
let SRV = {};

const $ = (/** @type {string} */ sel) => /** @type {any} */ (document.querySelector(sel));

/** Text for markup: every value put into HTML passes through here. */
function esc(v) {
  if (v === null || v === undefined) return '';
  return String(v).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

const sleep = (/** @type {number} */ ms) => new Promise((r) => setTimeout(r, ms));

/** A settings switch: off only for "no", "0", "false" or "off", in any case and spacing. */
function yes(v) {
  return !['no', '0', 'false', 'off'].includes(String(v ?? '').trim().toLowerCase());
}

/** A setting's text, '' when missing. */
function setting(/** @type {'general'|'recibir'|'llamada'} */ sec, /** @type {string} */ key) {
  const v = AJ[sec] && AJ[sec][key];
  return typeof v === 'string' ? v : '';
}

/** localStorage / sessionStorage that never throws (storage can be disabled or full). */
function store(/** @type {string} */ key, /** @type {string=} */ value, session = false) {
  try {
    const st = session ? sessionStorage : localStorage;
    if (value === undefined) return st.getItem(key);
    st.setItem(key, value);
  } catch {}
  return null;
}

// Texts ---------------------------------------------------------------------------------

/** The text of key in the page's language, else Spanish, else the key; "{n}" → args[n]. */
function t(/** @type {string} */ key, /** @type {any[]} */ ...args) {
  /** @type {any} */
  const tables = typeof I18N === 'undefined' ? {} : I18N;
  let v = tables[LANG] && key in tables[LANG] ? tables[LANG][key] : tables.es && key in tables.es ? tables.es[key] : key;
  if (typeof v !== 'string') return v;
  return v.replace(/\{(\d+)\}/g, (m, i) => (Number(i) < args.length ? String(args[Number(i)]) : m));
}

function applyI18n() {
  document.documentElement.lang = LANG;
  document.querySelectorAll('[data-i]').forEach((e) => { e.textContent = t(/** @type {any} */ (e).dataset.i); });
  document.querySelectorAll('[data-ip]').forEach((e) => { /** @type {any} */ (e).placeholder = t(/** @type {any} */ (e).dataset.ip); });
  document.querySelectorAll('[data-it]').forEach((e) => { /** @type {any} */ (e).title = t(/** @type {any} */ (e).dataset.it); });
  $('#langBtn').textContent = LANG === 'es' ? 'EN' : 'ES';
}

async function toggleLang() {
  LANG = LANG === 'es' ? 'en' : 'es';
  AJ.general.idioma = LANG;
  post('/api/ajustes', { general: { idioma: LANG } }).catch(() => {});
  applyI18n();
  renderAll();
  if (typeof reloadManual === 'function') reloadManual();
}

// Local API -----------------------------------------------------------------------------

async function get(/** @type {string} */ url) {
  const r = await fetch(url, { cache: 'no-store' });
  return r.json();
}

async function post(/** @type {string} */ url, /** @type {any=} */ body) {
  const r = await fetch(url, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', 'X-Token': TOKEN },
    body: JSON.stringify(body ?? {}),
  });
  if (r.status === 403 && reloadAfter403(Date.now(), Number(store('kv403', undefined, true)) || 0, anySession())) {
    store('kv403', String(Date.now()), true);
    location.reload();
  }
  return r.json();
}

/**
 * A page left open from an earlier run holds a dead token: reload for the new one, but
 * never in the middle of a session and at most once a minute (a reload loop would hide
 * whatever keeps refusing).
 */
function reloadAfter403(/** @type {number} */ now, /** @type {number} */ last, /** @type {boolean} */ busy) {
  return !busy && now - last > 60000;
}

/** Writes one line to kelvora.log; the line starts with its area tag. */
function diag(/** @type {string} */ line) {
  return post('/api/diag', { texto: line }).catch(() => {});
}

function openUrl(/** @type {string} */ u) { post('/api/abrir', { what: 'url', url: u }).catch(() => {}); }
function openWhat(/** @type {string} */ w) { post('/api/abrir', { what: w }).catch(() => {}); }

// Small helpers -------------------------------------------------------------------------

/** m:ss, or h:mm:ss from one hour on. */
function mmss(/** @type {number} */ seconds) {
  const s = Math.max(0, Math.floor(seconds || 0));
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = s % 60;
  const p = (/** @type {number} */ n) => String(n).padStart(2, '0');
  return h ? `${h}:${p(m)}:${p(r)}` : `${m}:${p(r)}`;
}

/** Nine digits as "123 456 789"; anything else as its digits. */
function prettyId(/** @type {any} */ s) {
  const d = String(s ?? '').replace(/\D/g, '');
  return d.length === 9 ? `${d.slice(0, 3)} ${d.slice(3, 6)} ${d.slice(6)}` : d;
}

/** Keeps at most 9 digits in an ID field and groups them while typing. */
function fmtIdInput(/** @type {HTMLInputElement} */ input) {
  const d = input.value.replace(/\D/g, '').slice(0, 9);
  input.value = [d.slice(0, 3), d.slice(3, 6), d.slice(6)].filter(Boolean).join(' ');
}

async function copyText(/** @type {string} */ s) {
  try {
    await navigator.clipboard.writeText(s);
    toast(t('copied'));
  } catch {
    const r = await post('/api/portapapeles/escribir_local', { texto: s }).catch(() => null);
    toast(t(r && r.ok ? 'copied' : 'copyFail'));
  }
}

/** @type {AudioContext|null} */
let beepCtx = null;
function beep() {
  try {
    beepCtx = beepCtx || new AudioContext();
    const c = beepCtx, o = c.createOscillator(), g = c.createGain(), t0 = c.currentTime;
    o.type = 'sine';
    [880, 1175, 880, 1175].forEach((f, i) => o.frequency.setValueAtTime(f, t0 + i * 0.16));
    g.gain.setValueAtTime(0.0001, t0);
    g.gain.exponentialRampToValueAtTime(0.25, t0 + 0.03);
    g.gain.exponentialRampToValueAtTime(0.0001, t0 + 0.7);
    o.connect(g).connect(c.destination);
    o.start(t0);
    o.stop(t0 + 0.72);
  } catch {}
}

// Toast, dialog, menu -------------------------------------------------------------------

/** @type {any} */
let toastTimer = 0;
function toast(/** @type {string} */ text, ms = 3600) {
  const el = $('#toast');
  el.textContent = text;
  el.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { el.hidden = true; }, ms);
}

/** @type {(() => void)|null} */
let modalClose = null;
/** Opens the one generic dialog; onClose runs once when it closes (Escape and backdrop too). */
function modal(/** @type {string} */ html, /** @type {(() => void)=} */ onClose) {
  closeModal();
  $('#modalBox').innerHTML = html;
  $('#modal').hidden = false;
  modalClose = onClose || null;
}
function closeModal() {
  if ($('#modal').hidden) return;
  $('#modal').hidden = true;
  $('#modalBox').innerHTML = '';
  const f = modalClose;
  modalClose = null;
  if (f) f();
}

/** @type {((act: string, el: HTMLElement) => void)|null} */
let menuPick = null;
/**
 * The popup menu under an anchor. Items are buttons with data-act; onPick gets the act and
 * the button. Clicking elsewhere or Escape closes it.
 */
function openMenu(/** @type {HTMLElement} */ anchor, /** @type {string} */ html, /** @type {(act: string, el: HTMLElement) => void} */ onPick) {
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
function closeMenu() {
  $('#menu').hidden = true;
  $('#menu').dataset.owner = '';
  menuPick = null;
}
/** Whether the menu opened from this anchor is showing (menus rebuild on news while open). */
function menuOpenFor(/** @type {string} */ anchorId) {
  return !$('#menu').hidden && $('#menu').dataset.owner === anchorId;
}

// Tabs, header, state -------------------------------------------------------------------

function showTab(/** @type {string} */ name) {
  document.querySelectorAll('nav.tabs button').forEach((b) => b.classList.toggle('on', /** @type {any} */ (b).dataset.tab === name));
  document.querySelectorAll('main > .tab').forEach((s) => { /** @type {any} */ (s).hidden = s.id !== 'tab-' + name; });
  $('main').scrollTop = 0;
  if (name === 'ayuda' && typeof reloadManual === 'function') reloadManual();
  if (name === 'ajustes' && typeof renderSettings === 'function') renderSettings();
  if (name === 'llamada' && typeof loadDevices === 'function') loadDevices();
}

function renderPills() {
  /** @type {[string, string, string?][]} class, text key, tooltip key */
  const pills = [];
  pills.push(HOST.state === 'online' ? ['ok', 'pillSrvOk'] : [HOST.state === 'off' ? '' : 'bad', 'pillSrvBad']);
  pills.push(S.admin ? ['ok', 'pillAdmin'] : ['warn', 'pillNoAdmin', 'adminNote']);
  if (S.portatil) pills.push(['', 'pillPortable', 'portTip']);
  if (SRV.turn !== undefined) {
    if (SRV.turn === 'si') pills.push(['ok', 'pillRelay', 'relayTip']);
    else pills.push([SRV.turn === 'no' ? 'warn' : 'bad', 'pillNoRelay', 'noRelayTip']);
  }
  $('#pills').innerHTML = pills
    .map(([c, k, tip]) => `<span class="pill ${c}"${tip ? ` title="${esc(t(tip))}"` : ''}><span class="dot ${c}"></span>${esc(t(k))}</span>`)
    .join('');
}

/** The signalling server's address with http(s) turned into ws(s), plus path. */
function wsUrl(/** @type {string} */ path) {
  return String(ID && ID.servidor ? ID.servidor : S.servidor || '').replace(/^http/, 'ws') + path;
}
function srvUrl(/** @type {string} */ path) {
  return String(ID && ID.servidor ? ID.servidor : S.servidor || '') + path;
}

async function checkServer() {
  try {
    const r = await (await fetch(srvUrl('/health'), { cache: 'no-store' })).json();
    SRV = { turn: r.turn || 'no', v: r.v };
  } catch {
    SRV = {};
  }
  renderPills();
}

async function loadState() {
  try {
    S = await get('/api/estado');
  } catch {
    return;
  }
  $('#adminNote').hidden = !!S.admin;
  renderRecents();
  renderHistory();
  renderPills();
  if (typeof updateShow === 'function') updateShow(S.actualizacion);
}

async function loadIdentity() {
  try {
    const r = await post('/api/identidad');
    if (r && r.id) ID = r;
  } catch {}
  renderIdCard();
}

/** Is any session open, given or received. */
function anySession() {
  return !!HSES || TS.size > 0;
}

/** Every region again, as after a language change. */
function renderAll() {
  renderPills();
  renderIdCard();
  renderHostStatus();
  renderHostBar();
  renderSessions(true);
  renderViewer();
  renderRecents();
  renderHistory();
  setHeaderHeight();
}

/** --hh is the header's height, for overlays that sit under it. */
function setHeaderHeight() {
  const h = $('header');
  const hh = (h ? h.offsetHeight : 70) + ($('#updBar').hidden ? 0 : $('#updBar').offsetHeight) + ($('#hostbar').hidden ? 0 : $('#hostbar').offsetHeight);
  document.documentElement.style.setProperty('--hh', (hh || 70) + 'px');
}

async function quitApp() {
  if (!confirm(t('quitAsk'))) return;
  for (const s of [...TS.values(), ...(HSES ? [HSES] : [])]) endSession(s, 'local');
  await post('/api/salir').catch(() => {});
  document.body.innerHTML = `<div class="tab"><div class="card"><h2>Kelvora</h2><p>${esc(t('closedTxt'))}</p></div></div>`;
}

/** Refreshes the elapsed times once a second; rows rebuild only when they change. */
function tick() {
  renderHostBar();
  renderSessions(false);
  renderViewerBar();
}

function wireCore() {
  document.querySelectorAll('nav.tabs button').forEach((b) => b.addEventListener('click', () => showTab(/** @type {any} */ (b).dataset.tab)));
  $('#langBtn').onclick = toggleLang;
  $('#quitBtn').onclick = quitApp;
  $('#creditBtn').onclick = () => openWhat('sitio');
  $('#modal').addEventListener('mousedown', (/** @type {MouseEvent} */ e) => { if (e.target === $('#modal')) closeModal(); });
  document.addEventListener('mousedown', (e) => {
    if (!$('#menu').hidden && !$('#menu').contains(/** @type {Node} */ (e.target))) closeMenu();
  }, true);
  $('#menu').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button[data-act]'));
    if (!b || !menuPick) return;
    const pick = menuPick;
    closeMenu();
    pick(b.dataset.act || '', b);
  });
  document.addEventListener('keydown', (e) => {
    if (e.key !== 'Escape') return;
    if (!$('#menu').hidden) closeMenu();
    else if (!$('#modal').hidden) closeModal();
  });
  addEventListener('resize', setHeaderHeight);
}

async function start() {
  wireCore();
  try {
    const a = await get('/api/ajustes');
    if (a && typeof a === 'object') AJ = { general: a.general || {}, recibir: a.recibir || {}, llamada: a.llamada || {} };
  } catch {}
  post('/api/sesion', { activa: false }).catch(() => {});
  LANG = setting('general', 'idioma') === 'en' ? 'en' : 'es';
  applyI18n();
  setHeaderHeight();
  wireHost();
  wireTech();
  await loadIdentity();
  await loadState();
  renderHostStatus();
  hostConnect();
  iceServers().catch(() => {});
  checkServer();
  if (typeof updateStartPolling === 'function') updateStartPolling(S.actualizacion);
  setInterval(() => { if (!anySession()) loadState(); }, 30000);
  setInterval(tick, 1000);
}

addEventListener('beforeunload', () => {
  for (const s of [...TS.values(), ...(HSES ? [HSES] : [])]) ctl(s, { t: 'bye', why: 'closed' });
  try {
    fetch('/api/sesion', { method: 'POST', keepalive: true, headers: { 'Content-Type': 'application/json', 'X-Token': TOKEN }, body: '{"activa":false}' });
  } catch {}
});
if (typeof document !== 'undefined' && document.readyState !== 'loading') start();
else addEventListener('DOMContentLoaded', start);

// ── session ──────────────────────────────────────────────────────────────────────────────
// One support session is one peer connection between two pages. The host always makes the
// offer; signals travel through the signalling server until the connection stands.
//
// States. tech: created → waiting (server said so) → accepted (peer connection built,
// queued signals replayed) → connected → dead. host: created after acceptance → offer sent
// → connected → dead. "connected" is never left for an earlier state: a later
// "disconnected" recovers within 12 s or ends the session.

/**
 * @typedef {Object} Session
 * @property {string} k key: "h"+n on the host, "t"+n on the technician
 * @property {'host'|'tech'} role
 * @property {string} sid server's id of the request (host)
 * @property {string} peer display name of the other side
 * @property {string} peerId tech only: the other side's 9-digit ID
 * @property {any[]} ice ICE servers handed over by the signalling server
 * @property {RTCPeerConnection|null} pc
 * @property {Object<string, RTCDataChannel>} dc data channels by label
 * @property {WebSocket|null} ws tech only: its /join/ socket
 * @property {boolean} accepted tech: the host accepted
 * @property {boolean} connected the peer connection reached "connected" once
 * @property {number} started time of the first connection (ms), 0 before
 * @property {number} created time the record was made (ms)
 * @property {boolean} dead
 * @property {boolean} relayTried relay-only mode is or was in force
 * @property {any[]} sigq signals that arrived before the peer connection existed
 * @property {any[]} iceq candidates that arrived before the remote description
 * @property {Promise<void>} sigChain signals are applied one after another
 * @property {boolean} control input allowed now
 * @property {boolean} wantControl tech: control wanted by the technician
 * @property {boolean} canControl tech: control allowed by the host
 * @property {boolean} audio host: PC audio shared
 * @property {boolean} audioOn tech: PC audio heard
 * @property {number} vol tech: PC audio volume 0..1
 * @property {boolean} hostAudio tech: the host shares audio
 * @property {string} quality "auto", "nitidez" or "fluidez"
 * @property {number} fps
 * @property {any[]} mons monitors the technician may see: {i, name, w, h, primary}
 * @property {number} mon the monitor shown
 * @property {boolean} monsw monitor switching offered
 * @property {string} surface the captured surface
 * @property {any[]} chat chat lines
 * @property {number} unread
 * @property {any} line the session's voice line, if any
 * @property {RTCRtpTransceiver|null} voice the voice transceiver
 * @property {boolean} peerMic the other side has its voice on
 * @property {boolean} peerHold the other side holds the voice line
 * @property {{conn?: any, loss?: any, stats?: any, wait?: any, ping?: any}} timers
 * @property {string} statTxt statistics line
 * @property {{bytes: number, at: number}|null} lastB previous statistics sample
 * @property {string} waitTxt the viewer's waiting text ('' = none)
 * @property {any} [x] the section's own fields (host: screen, vtx, atx…; tech: vid, aud…)
 */

/** Sessions in which this PC helps, at most MAX_TS. */
const MAX_TS = 8;
/** @type {Session|null} the session in which this PC is helped */
let HSES = null;
/** @type {Map<string, any>} sessions in which this PC helps, by key */
const TS = new Map();
/** @type {string|null} key of the session shown in the viewer */
let CUR = null;
/** running number for session keys */
let SESN = 0;
/** @type {{list: any[], at: number}|null} cached ICE server list */
let ICE = null;

const ICE_TTL = 3600000;
const FALLBACK_ICE = [{ urls: 'stun:stun.cloudflare.com:3478' }, { urls: 'stun:stun.l.google.com:19302' }];

/** A fresh session record; init sets the role's own fields. */
function newSession(/** @type {'host'|'tech'} */ role, /** @type {any} */ init) {
  /** @type {any} */
  const s = {
    k: '', role, sid: '', peer: '', peerId: '', ice: [], pc: null, dc: {}, ws: null,
    accepted: false, connected: false, started: 0, created: Date.now(), dead: false,
    relayTried: false, sigq: [], iceq: [], sigChain: Promise.resolve(),
    control: false, wantControl: false, canControl: false, audio: false, audioOn: true, vol: 1,
    hostAudio: false, quality: 'auto', fps: 30, mons: [], mon: 0, monsw: false, surface: '',
    chat: [], unread: 0, line: null, voice: null, peerMic: false, peerHold: false,
    timers: {}, statTxt: '', lastB: null, waitTxt: '',
  };
  return Object.assign(s, init);
}

/** Does an ICE server list hold a TURN server (turn: or turns:). */
function hasTurn(/** @type {any} */ list) {
  return Array.isArray(list) && list.some((srv) => [].concat((srv && (srv.urls || srv.url)) || []).some((u) => /^turns?:/i.test(String(u))));
}

/** The signalling server's ICE list, cached for an hour; two public STUN servers when it has none. */
async function iceServers() {
  if (ICE && Date.now() - ICE.at < ICE_TTL) return ICE.list;
  let list = FALLBACK_ICE;
  try {
    const ctrl = new AbortController();
    const timer = setTimeout(() => ctrl.abort(), 8000);
    const r = await (await fetch(srvUrl('/ice'), { cache: 'no-store', signal: ctrl.signal })).json();
    clearTimeout(timer);
    if (r && Array.isArray(r.iceServers) && r.iceServers.length) list = r.iceServers;
  } catch {}
  ICE = { list, at: Date.now() };
  return list;
}

/** Sends a signal to the other side through the signalling server (dropped when the socket is not open). */
function sig(/** @type {any} */ s, /** @type {any} */ data) {
  if (s.role === 'host') hsend({ t: 'signal', sid: s.sid, data });
  else if (s.ws && s.ws.readyState === WebSocket.OPEN) s.ws.send(JSON.stringify({ t: 'signal', data }));
}

/** One JSON message on the control channel; nothing when it is not open. */
function ctl(/** @type {any} */ s, /** @type {any} */ message) {
  const c = s && s.dc && s.dc.ctl;
  if (!c || c.readyState !== 'open') return;
  try {
    c.send(JSON.stringify(message));
  } catch {}
}

/** Builds the session's peer connection, then replays the signals that were waiting for it. */
async function newPC(/** @type {any} */ s) {
  const list = Array.isArray(s.ice) && s.ice.length ? s.ice : await iceServers();
  if (s.dead) return null;
  const relayOnly = setting('general', 'conexion') === 'relevo' && hasTurn(list);
  if (relayOnly) s.relayTried = true;
  const pc = new RTCPeerConnection({ iceServers: list, bundlePolicy: 'max-bundle', iceTransportPolicy: relayOnly ? 'relay' : 'all' });
  s.pc = pc;
  pc.onicecandidate = (e) => { if (e.candidate && !s.dead) sig(s, { ice: e.candidate.toJSON() }); };
  pc.ondatachannel = (e) => wireDC(s, e.channel);
  pc.onconnectionstatechange = () => onPCState(s, pc);
  armConnTimer(s, hasTurn(s.ice) && !s.relayTried ? 18000 : 35000);
  for (const data of s.sigq.splice(0)) onSignal(s, data);
  return pc;
}

function onPCState(/** @type {any} */ s, /** @type {RTCPeerConnection} */ pc) {
  if (s.dead || s.pc !== pc) return;
  const st = pc.connectionState;
  if (st === 'connected') {
    s.connected = true;
    clearTimeout(s.timers.loss);
    clearTimeout(s.timers.conn);
    if (!s.started) s.started = Date.now();
    if (s.relayTried) diag(`[CONEXION] conectado por el relevo TURN (rol ${s.role})`);
    refreshSession(s);
  } else if (st === 'failed') {
    if (s.connected || !tryRelay(s, 'falló la directa')) endSession(s, 'lost');
  } else if (st === 'disconnected') {
    clearTimeout(s.timers.loss);
    s.timers.loss = setTimeout(() => {
      if (!s.dead && s.pc === pc && pc.connectionState !== 'connected') endSession(s, 'lost');
    }, 12000);
  }
}

function armConnTimer(/** @type {any} */ s, /** @type {number} */ ms) {
  clearTimeout(s.timers.conn);
  const pc = s.pc;
  s.timers.conn = setTimeout(() => {
    if (s.dead || s.pc !== pc || s.connected) return;
    if (!tryRelay(s, 'sin respuesta')) endSession(s, 'lost');
  }, ms);
}

/** Relay-only from now on, keeping the rest of the configuration. */
function useRelayOnly(/** @type {any} */ s) {
  try {
    s.pc.setConfiguration({ ...s.pc.getConfiguration(), iceTransportPolicy: 'relay' });
  } catch (e) {
    console.warn('relevo', e);
  }
}

/**
 * The one retry through the TURN relay, before the first connection and only when the
 * server handed over a TURN server. The host restarts ICE with a new offer; the technician
 * asks the host to. Returns whether a retry started.
 */
function tryRelay(/** @type {any} */ s, /** @type {string} */ why) {
  if (s.dead || s.relayTried || s.connected || !hasTurn(s.ice) || !s.pc) return false;
  s.relayTried = true;
  diag(`[CONEXION] la conexión directa no se logró (${why}, rol ${s.role}): reintento por el relevo TURN`);
  useRelayOnly(s);
  if (s.role === 'host') {
    sendOffer(s, true);
    toast(t('tryRelay'), 6000);
  } else {
    sig(s, { relay: 1 });
    setWait(s, t('tryRelay'));
  }
  armConnTimer(s, 30000);
  return true;
}

/** Host: makes, adjusts, sets and sends an offer. */
async function sendOffer(/** @type {any} */ s, iceRestart = false) {
  try {
    const o = await s.pc.createOffer(iceRestart ? { iceRestart: true } : {});
    await s.pc.setLocalDescription({ type: o.type, sdp: mungeOpus(o.sdp || '') });
    if (!s.dead) sig(s, { sdp: s.pc.localDescription.toJSON() });
  } catch (e) {
    console.warn('señal', e);
  }
}

/** Applies a signal from the other side; signals are applied in arrival order. */
function onSignal(/** @type {any} */ s, /** @type {any} */ data) {
  if (!data || typeof data !== 'object' || s.dead) return;
  if (!s.pc) {
    if (s.sigq.length < 1000) s.sigq.push(data);
    return;
  }
  s.sigChain = s.sigChain.then(() => applySignal(s, data)).catch((e) => console.warn('señal', e));
}

async function applySignal(/** @type {any} */ s, /** @type {any} */ data) {
  const pc = s.pc;
  if (s.dead || !pc) return;
  if (data.relay) {
    if (s.role === 'host') tryRelay(s, 'lo pidió la otra PC');
    return;
  }
  if (data.sdp && typeof data.sdp === 'object') {
    const d = data.sdp;
    if (d.type === 'offer') {
      if (s.role === 'host') return;
      if (pc.remoteDescription && !s.connected && !s.relayTried && hasTurn(s.ice)) {
        // A second offer before any connection is the host's retry through the relay.
        s.relayTried = true;
        useRelayOnly(s);
        setWait(s, t('tryRelay'));
        armConnTimer(s, 30000);
      }
    }
    await pc.setRemoteDescription({ type: d.type, sdp: String(d.sdp || '') });
    for (const c of s.iceq.splice(0)) pc.addIceCandidate(c).catch(() => {});
    if (d.type === 'offer') {
      bindMedia(s);
      const a = await pc.createAnswer();
      await pc.setLocalDescription({ type: a.type, sdp: mungeOpus(a.sdp || '') });
      sig(s, { sdp: pc.localDescription.toJSON() });
    }
  } else if (data.ice && typeof data.ice === 'object') {
    if (!pc.remoteDescription) {
      if (s.iceq.length < 1000) s.iceq.push(data.ice);
    } else pc.addIceCandidate(data.ice).catch(() => {});
  }
}

/**
 * Technician, on the offer: transceiver 0 plays in the video element, 1 in the PC-audio
 * element, 2 (voice) in the voice element and sends the voice line's track, if any.
 */
function bindMedia(/** @type {any} */ s) {
  const tx = s.pc.getTransceivers();
  const els = [s.vid, s.aud, s.vaud];
  tx.slice(0, 3).forEach((/** @type {RTCRtpTransceiver} */ x, /** @type {number} */ i) => {
    const el = els[i];
    if (el && x.receiver && x.receiver.track && !el.srcObject) el.srcObject = new MediaStream([x.receiver.track]);
  });
  if (tx[2]) {
    tx[2].direction = 'sendrecv';
    s.voice = tx[2];
    if (s.line && s.line.track) tx[2].sender.replaceTrack(s.line.track).catch(() => {});
  }
}

/**
 * Keeps a data channel under its label. `file` carries binary chunks for the file
 * handler; the others carry JSON for the host or technician handler.
 */
function wireDC(/** @type {any} */ s, /** @type {RTCDataChannel} */ ch) {
  s.dc[ch.label] = ch;
  if (ch.label === 'file') {
    ch.binaryType = 'arraybuffer';
    ch.onmessage = (e) => { if (!s.dead && typeof onFileMsg === 'function') onFileMsg(s, e.data); };
    return;
  }
  ch.onmessage = (e) => {
    if (s.dead || typeof e.data !== 'string' || e.data.length > 1 << 20) return;
    let m;
    try {
      m = JSON.parse(e.data);
    } catch {
      return;
    }
    if (!m || typeof m !== 'object' || typeof m.t !== 'string') return;
    if (s.role === 'host') hostMsg(s, m, ch.label);
    else techMsg(s, m);
  };
  if (ch.label === 'ctl' && s.role === 'host') {
    if (ch.readyState === 'open') hostHello(s);
    else ch.onopen = () => hostHello(s);
  }
}

/** Tells the native side the session is open: it logs it and lets input through while a host session allows control. */
function sessionNote(/** @type {any} */ s) {
  return post('/api/sesion', {
    k: s.k, activa: true, rol: s.role, control: s.role === 'host' ? !!s.control : false,
    con: s.peer, id: s.peerId || '',
  }).catch(() => {});
}

// SDP ------------------------------------------------------------------------------------

const OPUS_PC_AUDIO = [['stereo', '1'], ['sprop-stereo', '1'], ['maxaveragebitrate', '192000'], ['useinbandfec', '1']];
const OPUS_VOICE = [['minptime', '10'], ['useinbandfec', '1'], ['usedtx', '0']];

/**
 * Opus parameters per audio section: the first (the PC's sound) in stereo at a high rate,
 * the others (voice) with short frames and no DTX. voiceOnly gives every section the
 * voice form. Existing fmtp parameters keep their order; new ones are appended.
 */
function mungeOpus(/** @type {string} */ sdp, voiceOnly = false) {
  let n = 0;
  return sdp
    .split(/(?=\r\nm=)/)
    .map((part) => {
      if (!/^\r\nm=audio/.test(part)) return part;
      const idx = n++;
      const m = part.match(/a=rtpmap:(\d+) opus\/48000/i);
      if (!m) return part;
      const pt = m[1];
      const want = !voiceOnly && idx === 0 ? OPUS_PC_AUDIO : OPUS_VOICE;
      const fmtp = new RegExp(`a=fmtp:${pt} ([^\\r\\n]*)`);
      const have = part.match(fmtp);
      if (!have) return part.replace(/(a=rtpmap:\d+ opus\/48000[^\r\n]*)/i, `$1\r\na=fmtp:${pt} ${want.map((p) => p.join('=')).join(';')}`);
      /** @type {[string, string|null][]} */
      const pairs = have[1].split(';').map((x) => x.trim()).filter(Boolean).map((x) => {
        const i = x.indexOf('=');
        return i < 0 ? [x, null] : [x.slice(0, i), x.slice(i + 1)];
      });
      for (const [k, v] of want) {
        const e = pairs.find((p) => p[0] === k);
        if (e) e[1] = v;
        else pairs.push([k, v]);
      }
      return part.replace(fmtp, `a=fmtp:${pt} ${pairs.map(([k, v]) => (v === null ? k : `${k}=${v}`)).join(';')}`);
    })
    .join('');
}
/** The voice form on every audio section, for voice lines. */
function mungeVoice(/** @type {string} */ sdp) {
  return mungeOpus(sdp, true);
}

/** Rank of a video codec for the host's preference: H.264 (packetization 1 first), VP9, AV1, VP8, the rest. */
function codecRank(/** @type {any} */ c) {
  const m = String(c.mimeType || '').toLowerCase();
  if (m === 'video/h264') return /packetization-mode=1/.test(c.sdpFmtpLine || '') ? 0 : 1;
  return { 'video/vp9': 2, 'video/av1': 3, 'video/vp8': 4 }[m] ?? 5;
}
/** Codecs sorted by rank, keeping their order within a rank. */
function sortCodecs(/** @type {any[]} */ codecs) {
  return codecs.map((c, i) => ({ c, i })).sort((a, b) => codecRank(a.c) - codecRank(b.c) || a.i - b.i).map((x) => x.c);
}
function preferCodecs(/** @type {RTCRtpTransceiver} */ tx) {
  try {
    const caps = RTCRtpReceiver.getCapabilities('video');
    if (caps) tx.setCodecPreferences(sortCodecs(caps.codecs));
  } catch {}
}

// Statistics ------------------------------------------------------------------------------

/** The statistics line: path, round trip, frame rate, size and bit rate, empty parts left out. */
function statText(/** @type {{relay?: boolean, rtt?: number, fps?: number, w?: number, h?: number, kbps?: number, path?: boolean}} */ x) {
  const parts = [];
  if (x.path) parts.push(x.relay ? 'TURN' : 'P2P');
  if (x.rtt !== undefined && x.rtt >= 0) parts.push(`${Math.round(x.rtt)} ms`);
  if (x.fps) parts.push(`${Math.round(x.fps)} fps`);
  if (x.w && x.h) parts.push(`${x.w}×${x.h}`);
  if (x.kbps !== undefined && x.kbps > 0) parts.push(x.kbps >= 1000 ? `${(x.kbps / 1000).toFixed(1)} Mbps` : `${Math.round(x.kbps)} kbps`);
  return parts.join(' · ');
}

/** The candidate pair in use: the transport's selected one, else a nominated or selected one that succeeded. */
function selectedPair(/** @type {RTCStatsReport} */ rep) {
  /** @type {any} */
  let pair = null;
  rep.forEach((/** @type {any} */ r) => {
    if (r.type === 'transport' && r.selectedCandidatePairId && rep.get(r.selectedCandidatePairId)) pair = rep.get(r.selectedCandidatePairId);
  });
  if (!pair) rep.forEach((/** @type {any} */ r) => { if (!pair && r.type === 'candidate-pair' && r.state === 'succeeded' && (r.nominated || r.selected)) pair = r; });
  return pair;
}

async function sampleStats(/** @type {any} */ s) {
  if (s.dead || !s.pc) return;
  let rep;
  try {
    rep = await s.pc.getStats();
  } catch {
    return;
  }
  const pair = selectedPair(rep);
  /** @type {any} */
  let rtp = null;
  const kind = s.role === 'host' ? 'outbound-rtp' : 'inbound-rtp';
  rep.forEach((/** @type {any} */ r) => { if (r.type === kind && (r.kind || r.mediaType) === 'video' && (!rtp || (r.bytesSent || r.bytesReceived || 0) > (rtp.bytesSent || rtp.bytesReceived || 0))) rtp = r; });
  /** @type {any} */
  const x = {};
  if (pair) {
    x.path = true;
    const lc = rep.get(pair.localCandidateId), rc = rep.get(pair.remoteCandidateId);
    x.relay = (lc && lc.candidateType === 'relay') || (rc && rc.candidateType === 'relay');
    if (typeof pair.currentRoundTripTime === 'number') x.rtt = pair.currentRoundTripTime * 1000;
  }
  if (rtp) {
    x.fps = rtp.framesPerSecond;
    x.w = rtp.frameWidth;
    x.h = rtp.frameHeight;
    const bytes = s.role === 'host' ? rtp.bytesSent : rtp.bytesReceived;
    const now = Date.now();
    if (s.lastB && typeof bytes === 'number' && now > s.lastB.at) x.kbps = ((bytes - s.lastB.bytes) * 8) / (now - s.lastB.at);
    if (typeof bytes === 'number') s.lastB = { bytes, at: now };
  }
  s.relay = !!x.relay;
  s.statTxt = statText(x);
  if (s.role === 'host') renderHostBar();
  else if (CUR === s.k) renderViewerBar();
}

function startStats(/** @type {any} */ s) {
  clearInterval(s.timers.stats);
  s.timers.stats = setInterval(() => sampleStats(s), 2000);
}

/** Counts of a failed attempt's candidates for the log: what each side offered and how the pairs went. */
function failureLine(/** @type {any} */ s, /** @type {string} */ why, /** @type {any[]} */ reports, /** @type {string} */ iceState) {
  /** @type {Object<string, number>} */
  const local = {};
  /** @type {Object<string, number>} */
  const remote = {};
  let pairs = 0, failed = 0;
  for (const r of reports) {
    if (r.type === 'local-candidate') local[r.candidateType] = (local[r.candidateType] || 0) + 1;
    else if (r.type === 'remote-candidate') remote[r.candidateType] = (remote[r.candidateType] || 0) + 1;
    else if (r.type === 'candidate-pair') {
      pairs++;
      if (r.state === 'failed') failed++;
    }
  }
  return `[CONEXION] no se logró (${why}, rol ${s.role}) · TURN ${hasTurn(s.ice) ? 'sí' : 'no'}${s.relayTried ? ' (se probó el relevo)' : ''} · locales ${JSON.stringify(local)} · remotos ${JSON.stringify(remote)} · pares ${pairs} (fallidos ${failed}) · estado ICE ${iceState}`;
}

// Ending ---------------------------------------------------------------------------------

/** The reason as the other side is told it. */
function wireWhy(/** @type {string} */ why, /** @type {boolean} */ connected) {
  if (why === 'lost') return connected ? 'closed' : 'failed';
  return why === 'stopped' ? 'stopped' : 'bye';
}

/** The toast key for an ended session; null when none is due. */
function endToast(/** @type {string} */ why, /** @type {boolean} */ connected, /** @type {boolean} */ turn) {
  if (!connected) {
    if (why === 'lost' || why === 'failed') return turn ? 'connFailTurn' : 'connFail';
    if (why === 'local') return null;
  }
  return { peer: 'endedPeer', lost: 'endedLost', stopped: 'endedStop' }[why] || 'ended';
}

/**
 * Ends a session once: tells the other side (when notify), logs why a connection never
 * stood, releases everything the session holds and tells the native side.
 * why: "local", "peer", "lost", "stopped" or "failed".
 */
function endSession(/** @type {any} */ s, /** @type {string} */ why, notify = true) {
  if (!s || s.dead) return;
  s.dead = true;
  if (s.role === 'host') hostForget(s);
  else techForget(s);
  if (notify) {
    const w = wireWhy(why, s.connected);
    ctl(s, { t: 'bye', why: w });
    if (s.role === 'host') hsend({ t: 'bye', sid: s.sid, why: w });
    else if (s.ws && s.ws.readyState === WebSocket.OPEN) s.ws.send(JSON.stringify({ t: s.accepted ? 'bye' : 'cancel', why: w }));
  }
  Object.values(s.timers).forEach((x) => { clearTimeout(x); clearInterval(x); });
  if (s.line && typeof endLine === 'function') endLine(s.line);
  const pc = s.pc;
  if (pc) {
    // The diagnosis needs the candidates before the connection closes.
    const close = () => { try { pc.close(); } catch {} };
    if (!s.connected) {
      const iceState = pc.iceConnectionState;
      Promise.race([pc.getStats(), sleep(1500).then(() => null)])
        .then((rep) => { if (rep) diag(failureLine(s, why, [...rep.values()], iceState)); })
        .catch(() => {})
        .finally(close);
    } else close();
  }
  if (s.ws) {
    const ws = s.ws;
    ws.onclose = ws.onerror = ws.onmessage = null;
    // Let a queued bye or cancel leave before the socket closes.
    setTimeout(() => { try { ws.close(); } catch {} }, 200);
  }
  post('/api/sesion', { k: s.k, activa: false }).catch(() => {});
  refreshSession(s);
  loadState();
  const key = endToast(why, s.connected, hasTurn(s.ice));
  if (key) {
    const others = TS.size + (HSES ? 1 : 0) > 0;
    const text = (others && s.peer ? s.peer + ': ' : '') + t(key);
    toast(text, key === 'connFail' || key === 'connFailTurn' ? 14000 : 5000);
  }
}

/** Redraws what shows a session: host bar, viewer, sessions list, chat, calls panel. */
function refreshSession(/** @type {any} */ s) {
  if (s.role === 'host') renderHostBar();
  else renderViewer();
  renderSessions(false);
  if (typeof renderChat === 'function') renderChat();
  if (typeof renderDock === 'function') renderDock();
}

/** The viewer's waiting text of a session ('' shows none). */
function setWait(/** @type {any} */ s, /** @type {string} */ text) {
  s.waitTxt = text;
  if (s.role === 'tech' && CUR === s.k) renderViewer();
}

// ── host ─────────────────────────────────────────────────────────────────────────────────
// Receiving support: the /host/ registration, the request dialog, the captured screen, the
// input pump, the requests of the technician, the host bar and the "this PC" card.

/** @type {any} the /host/ registration: ws, state, retry, timer, ping, stop, req */
const HOST = { ws: null, state: 'off', retry: 0, timer: 0, ping: 0, stop: false, req: null };
/** @type {{q: any[], move: any, busy: boolean}} the host's input queue */
const INQ = { q: [], move: null, busy: false };
/** @type {Object<number, number>} monitor index → screen number of the capture window */
const CAPN = {};

function wireHost() {}
function hostConnect() {}
function hostDisconnect() {}
/** JSON on the /host/ socket when open. */
function hsend(/** @type {any} */ m) {
  if (HOST.ws && HOST.ws.readyState === WebSocket.OPEN) HOST.ws.send(JSON.stringify(m));
}
function hostHello(/** @type {any} */ s) {}
function hostMsg(/** @type {any} */ s, /** @type {any} */ m, /** @type {string} */ label) {}
/** endSession's host part: the slot, the capture link, the PC audio pipe, the input queue. */
function hostForget(/** @type {any} */ s) {
  if (HSES === s) HSES = null;
}
function renderIdCard() {}
function renderHostStatus() {}
function renderHostBar() {}

// ── technician ───────────────────────────────────────────────────────────────────────────
// Giving support: connecting by ID, the viewer with one tab per session, the remote hand,
// the menus, the open sessions card, recents and history.

function wireTech() {}
function techMsg(/** @type {any} */ s, /** @type {any} */ m) {}
/** endSession's technician part: out of the map, its media elements gone, another one shown. */
function techForget(/** @type {any} */ s) {
  TS.delete(s.k);
}
function renderSessions(/** @type {boolean} */ force) {}
function renderViewer() {}
function renderViewerBar() {}
function renderRecents() {}
function renderHistory() {}
