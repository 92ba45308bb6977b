'use strict';
// Kelvora's page. Sections, in order: core, session, host, technician, chat and files, voice,
// settings and update, group call. Protocol code (sockets, peer connections, channels)
// touches no DOM; each region is drawn by one render* function from the state objects below.

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
/** The anchor whose press just closed its own menu: the click that follows must not reopen it. */
let menuToggled = '';
/**
 * The popup menu under an anchor. Items are buttons with data-act; onPick gets the act and
 * the button. Clicking elsewhere or Escape closes it.
 */
function openMenu(/** @type {HTMLElement} */ anchor, /** @type {string} */ html, /** @type {(act: string, el: HTMLElement) => void} */ onPick) {
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
  renderDock();
  renderDevs();
  renderScreens();
  renderCall();
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
  callLeave();
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
    menuToggled = '';
    const m = $('#menu');
    if (m.hidden || m.contains(/** @type {Node} */ (e.target))) return;
    const owner = m.dataset.owner && document.getElementById(m.dataset.owner);
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
    if (!s.started) {
      s.started = Date.now();
      if (s.role === 'host') hostCapWarm(s);
    }
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
  // A remote hand wants the newest picture now rather than a smooth one later: without a
  // target the receiver's jitter buffer holds the screen back by about 90 ms.
  if (tx[0]) {
    try {
      /** @type {any} */ (tx[0].receiver).jitterBufferTarget = 0;
    } catch {}
  }
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
    ch.onmessage = (e) => { if (!s.dead && typeof fileMsg === 'function') fileMsg(s, e.data); };
    return;
  }
  ch.onmessage = (e) => {
    const m = s.dead ? null : wireMsg(e.data, 1 << 20);
    if (!m || (ch.label === 'ctl' && sharedMsg(s, m))) return;
    if (s.role === 'host') hostMsg(s, m, ch.label);
    else techMsg(s, m);
  };
  if (ch.label === 'ctl' && s.role === 'host') {
    if (ch.readyState === 'open') hostHello(s);
    else ch.onopen = () => hostHello(s);
  }
}

/** The control messages both sides handle alike; false for the others. */
function sharedMsg(/** @type {any} */ s, /** @type {any} */ m) {
  switch (m.t) {
    case 'chat':
      if (typeof m.text === 'string' && m.text && typeof chatAdd === 'function') chatAdd(s, s.peer, m.text.slice(0, 2000), false);
      return true;
    case 'call':
    case 'hold':
      if (m.t === 'call') s.peerMic = m.on === true;
      else s.peerHold = m.on === true;
      if (typeof sesVoiceMsg === 'function') sesVoiceMsg(s, m);
      refreshSession(s);
      return true;
    case 'bye':
      endSession(s, 'peer', false);
      return true;
  }
  return false;
}

/** Tells the native side the session is open: it logs it and lets input through while a host session allows control. */
function sessionNote(/** @type {any} */ s) {
  return post('/api/sesion', {
    k: s.k, activa: true, rol: s.role, control: s.role === 'host' ? !!s.control : false,
    con: s.peer, id: s.peerId || '',
  }).catch(() => {});
}

// Wire input ----------------------------------------------------------------------------
// What arrives from the signalling server or the other page, in shapes the page can use.

/** A message from a socket or channel: a JSON object named by `t`, within max characters; else null. */
function wireMsg(/** @type {any} */ data, /** @type {number} */ max) {
  if (typeof data !== 'string' || data.length > max) return null;
  try {
    const m = JSON.parse(data);
    return m && typeof m === 'object' && typeof m.t === 'string' ? m : null;
  } catch {
    return null;
  }
}

/** The monitor list from the local API, with only the fields the page uses and checked types. */
function cleanMons(/** @type {any} */ list) {
  if (!Array.isArray(list)) return [];
  return list
    .slice(0, 16)
    .filter((m) => m && typeof m === 'object' && Number.isInteger(m.i) && m.i >= 0)
    .map((m) => ({
      i: m.i,
      name: typeof m.name === 'string' ? m.name.slice(0, 64) : '',
      w: Number.isFinite(m.w) ? m.w : 0,
      h: Number.isFinite(m.h) ? m.h : 0,
      primary: m.primary === true,
    }));
}

/**
 * ICE servers from the signalling server in the shape RTCPeerConnection takes; anything
 * else would make the connection's constructor throw.
 */
function cleanIce(/** @type {any} */ list) {
  if (!Array.isArray(list)) return [];
  const str = (/** @type {any} */ v) => typeof v === 'string' && v.length < 512;
  return list.slice(0, 16).flatMap((x) => {
    if (!x || typeof x !== 'object') return [];
    const urls = (Array.isArray(x.urls) ? x.urls : [x.urls]).filter(str).slice(0, 8);
    if (!urls.length) return [];
    /** @type {any} */
    const out = { urls };
    if (str(x.username)) out.username = x.username;
    if (str(x.credential)) out.credential = x.credential;
    return [out];
  });
}

/** A name from the network as a short single line. */
function peerName(/** @type {any} */ v, fallback = 'Kelvora') {
  const s = typeof v === 'string' ? v.replace(/[\u0000-\u001f\u007f]/g, ' ').trim().slice(0, 64) : '';
  return s || fallback;
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
//
// Registration: off → connecting → online; online or connecting → error when the socket
// closes → connecting again after the wait; → taken or replaced (no retry until the user
// acts); → off when switched off. A request: pending (58 s) → accepted, denied, timed
// out, cancelled by the peer, or dropped when the socket closes.

/**
 * @typedef {Object} HostReq the pending request
 * @property {string} sid server's id of the request
 * @property {string} name the technician's name
 * @property {number} until end of the 58 s to decide (ms); 0 while the password is checked
 * @property {any[]} ice ICE servers handed over with the request
 * @property {any[]} allMons every monitor of this PC
 * @property {boolean} picking decided: the screen is being captured
 * @property {number} shown when the dialog appeared (ms)
 * @property {any} tick the countdown's interval
 */

/** @type {{ws: WebSocket|null, state: string, retry: number, timer: any, ping: any, stop: boolean, req: HostReq|null}} the /host/ registration */
const HOST = { ws: null, state: 'off', retry: 0, timer: 0, ping: 0, stop: false, req: null };
/** @type {{q: any[], move: any, busy: boolean}} the input queue: ordered events, the one pending move, a POST under way */
const INQ = { q: [], move: null, busy: false };
/** @type {Object<string, number>} monitor name → screen number of the capture window; 1 is the main capture's */
const CAPN = {};
/** @type {{keyShown: boolean, barKey: string}} the card's eye; what the host bar was last built from */
const HUI = { keyShown: false, barKey: '' };

const REQ_MS = 58000;
const ACCEPT_GUARD_MS = 1200;
const CAPTURE_MS = 25000;
const HOST_PING_MS = 25000;
/** Events per POST to /api/input. */
const INPUT_BATCH = 200;
/** Queued events beyond this are refused: a flood must not grow the page without end. */
const INPUT_MAX = 20000;
/** Waits before the 1st…5th retry of the registration, then every later one (s). */
const RETRY_WAITS = [3, 5, 8, 13, 20, 30];
/** The close code of a signalling server that restarts: come back soon, it is no failure. */
const SERVER_GOING_AWAY = 1001;

/** Content hint, maximum bit rate and degradation preference of each quality. */
const QUALITY = {
  nitidez: { hint: 'text', bitrate: 8000000, degradation: 'maintain-resolution' },
  fluidez: { hint: 'motion', bitrate: 6000000, degradation: 'maintain-framerate' },
  auto: { hint: 'detail', bitrate: 5000000, degradation: 'balanced' },
};

// Pure rules -------------------------------------------------------------------------------

/** Wait before the next registration attempt, given how many retries came before (ms). */
function retryDelay(/** @type {number} */ retry) {
  return RETRY_WAITS[Math.max(0, Math.min(retry, RETRY_WAITS.length - 1))] * 1000;
}

/** Seconds left until `until`, rounded up, never negative. */
function secsLeft(/** @type {number} */ until, /** @type {number} */ now) {
  return Math.max(0, Math.ceil((until - now) / 1000));
}

/** A frame rate from a message or a setting: 5..60, 30 when it is not a number. */
function clampFps(/** @type {any} */ v) {
  const n = typeof v === 'string' && v.trim() !== '' ? Number(v) : v;
  if (typeof n !== 'number' || !Number.isFinite(n)) return 30;
  return Math.min(60, Math.max(5, Math.round(n)));
}

/** A quality name, or null when it is none of the three. */
function qualityName(/** @type {any} */ q) {
  return typeof q === 'string' && Object.prototype.hasOwnProperty.call(QUALITY, q) ? q : null;
}

/**
 * The monitor a "screen:<n>…" track label names, or null. On X the number is the one the
 * native side gives as the monitor's `captura`; Windows calls that monitor DISPLAY<n+1>.
 */
function labelMonitor(/** @type {any[]} */ mons, /** @type {string} */ label) {
  const m = /screen:(\d+)/.exec(String(label || ''));
  if (!m) return null;
  const k = Number(m[1]);
  if (mons.some((x) => typeof x.captura === 'number')) return mons.find((x) => x.captura === k) || null;
  const name = 'DISPLAY' + (k + 1);
  return mons.find((x) => x.name === name) || null;
}

/**
 * The monitor a capture of w×h shows: the only one; else the one of that size (the primary
 * among several); else those of nearly the same shape (16:9 without a size), primary first;
 * else the primary; else the first.
 */
function matchMonitor(/** @type {any[]} */ mons, /** @type {number} */ w, /** @type {number} */ h) {
  if (!mons.length) return null;
  if (mons.length === 1) return mons[0];
  const pick = (/** @type {any[]} */ l) => l.find((m) => m.primary) || l[0];
  const same = mons.filter((m) => m.w === w && m.h === h);
  if (same.length) return pick(same);
  const ratio = w > 0 && h > 0 ? w / h : 16 / 9;
  const near = mons.filter((m) => m.h > 0 && Math.abs(m.w / m.h - ratio) < 0.02);
  return pick(near.length ? near : mons);
}

/** Monitors the technician may see: those named, or all when none of the names matches. */
function allowedMons(/** @type {any[]} */ mons, /** @type {string[]} */ names) {
  const some = mons.filter((m) => names.includes(m.name));
  return some.length ? some : mons.slice();
}

/** The `monitores` setting as names; "todos" (or nothing) means every monitor. */
function monNames(/** @type {string} */ v) {
  const s = String(v || '').trim();
  if (!s || s.toLowerCase() === 'todos') return [];
  return s.split(',').map((x) => x.trim()).filter(Boolean).slice(0, 16);
}

/**
 * Puts input from the technician in the queue. A move batch (channel mov) only replaces
 * the pending move by its last event; an ordered batch is appended and makes the pending
 * move stale. Returns whether anything was taken.
 */
function queueInput(/** @type {any} */ ev, /** @type {boolean} */ moves) {
  if (!Array.isArray(ev)) return false;
  const list = ev.filter((e) => e && typeof e === 'object' && !Array.isArray(e));
  if (!list.length) return false;
  if (moves) {
    INQ.move = list[list.length - 1];
    return true;
  }
  if (INQ.q.length + list.length > INPUT_MAX) return false;
  for (const e of list) INQ.q.push(e);
  INQ.move = null;
  return true;
}

/** Forgets queued input: control ended, the monitor changed or the session ended. */
function clearInput() {
  INQ.q = [];
  INQ.move = null;
}

/**
 * The one input pump: while the session allows control, posts up to 200 queued events,
 * one POST at a time; with nothing queued, the pending move alone. A move that arrives
 * while ordered events are still queued came after them, so it goes out once they are
 * out instead of being lost.
 */
async function pumpInput(/** @type {any} */ s) {
  if (INQ.busy) return;
  INQ.busy = true;
  try {
    while (HSES === s && !s.dead && s.control && (INQ.q.length || INQ.move)) {
      let batch;
      if (INQ.q.length) batch = INQ.q.splice(0, INPUT_BATCH);
      else {
        batch = [INQ.move];
        INQ.move = null;
      }
      try {
        await post('/api/input', { mon: s.mon, ev: batch });
      } catch {}
    }
  } finally {
    INQ.busy = false;
  }
  if (!(HSES === s && !s.dead && s.control)) clearInput();
}

/** The permissions and monitors the technician is told about. */
function permMsg(/** @type {any} */ s) {
  return { t: 'perm', control: !!s.control, audio: !!s.audio, hasAudio: !!s.audioTrack, mon: s.mon, mons: s.mons, monsw: true, surface: s.surface };
}

/** An error as one line of text for the log. */
function errText(/** @type {any} */ e) {
  if (!e) return 'error';
  if (typeof e === 'string') return e;
  return [e.name && e.name !== 'Error' ? e.name : '', e.message || ''].filter(Boolean).join(': ') || String(e);
}

// Registration ---------------------------------------------------------------------------

function setHostState(/** @type {string} */ st) {
  HOST.state = st;
  renderHostStatus();
  renderPills();
}

/** Opens the /host/ socket under this PC's ID when available and not already open. */
function hostConnect() {
  clearTimeout(HOST.timer);
  HOST.timer = 0;
  if (!ID || !ID.id || !yes(setting('recibir', 'disponible'))) {
    setHostState('off');
    return;
  }
  if (HOST.ws && (HOST.ws.readyState === WebSocket.CONNECTING || HOST.ws.readyState === WebSocket.OPEN)) return;
  HOST.stop = false;
  setHostState('connecting');
  /** @type {WebSocket} */
  let ws;
  try {
    ws = new WebSocket(wsUrl('/host/' + ID.id));
  } catch {
    hostRetry();
    return;
  }
  HOST.ws = ws;
  ws.onopen = () => {
    if (HOST.ws === ws) ws.send(JSON.stringify({ t: 'hello', key: ID.llave, name: ID.nombre, ver: VER }));
  };
  ws.onmessage = (e) => {
    const m = HOST.ws === ws ? wireMsg(e.data, 1 << 20) : null;
    if (m) hostServerMsg(m);
  };
  ws.onclose = (e) => hostClosed(ws, e.code);
}

/** Closes the registration on the user's word: no retry until it is switched on again. */
function hostDisconnect() {
  HOST.stop = true;
  HOST.retry = 0;
  const ws = HOST.ws;
  hostLost();
  if (ws) {
    ws.onclose = ws.onmessage = ws.onopen = null;
    try {
      ws.close();
    } catch {}
  }
  setHostState('off');
}

/** The availability switch: stored, then the registration follows it. */
function setAvail(/** @type {boolean} */ on) {
  AJ.recibir.disponible = on ? 'si' : 'no';
  post('/api/ajustes', { recibir: { disponible: AJ.recibir.disponible } }).catch(() => {});
  if (on) hostConnect();
  else hostDisconnect();
}

/** JSON on the /host/ socket when open. */
function hsend(/** @type {any} */ m) {
  if (HOST.ws && HOST.ws.readyState === WebSocket.OPEN) HOST.ws.send(JSON.stringify(m));
}

/** What goes when the socket goes: the keep-alive, a pending request, a ringing call. */
function hostLost() {
  clearTimeout(HOST.timer);
  clearInterval(HOST.ping);
  HOST.timer = HOST.ping = 0;
  HOST.ws = null;
  if (HOST.req) dropReq();
  if (typeof declineRing === 'function') declineRing();
}

function hostClosed(/** @type {WebSocket} */ ws, code = 0) {
  if (HOST.ws !== ws) return;
  hostLost();
  if (HOST.stop) setHostState('off');
  else if (HOST.state === 'taken' || HOST.state === 'replaced') renderHostStatus();
  else if (code === SERVER_GOING_AWAY) hostRetry(1000 + Math.random() * 9000);
  else hostRetry();
}

/**
 * The next try after a lost registration. The waits grow with the failures; each is
 * stretched by a random factor so that PCs dropped together (a server restart, a network
 * cut) don't all come back in the same second. A server that said it is going away is
 * retried soon, without counting as a failure.
 */
function hostRetry(wait = 0) {
  HOST.ws = null;
  setHostState(wait ? 'connecting' : 'error');
  clearTimeout(HOST.timer);
  HOST.timer = setTimeout(hostConnect, wait || retryDelay(HOST.retry) * (0.5 + Math.random()));
  if (!wait) HOST.retry = Math.min(HOST.retry + 1, RETRY_WAITS.length);
}

/** Every message of the signalling server on /host/. */
function hostServerMsg(/** @type {any} */ m) {
  const sid = typeof m.sid === 'string' ? m.sid : '';
  const s = HSES && sid && HSES.sid === sid ? HSES : null;
  switch (m.t) {
    case 'ready':
      HOST.retry = 0;
      setHostState('online');
      clearInterval(HOST.ping);
      HOST.ping = setInterval(() => hsend({ t: 'ping' }), HOST_PING_MS);
      break;
    case 'taken':
    case 'replaced':
      setHostState(m.t);
      break;
    case 'locked': {
      const mins = Number.isFinite(m.mins) ? Math.max(1, Math.min(10000, Math.round(m.mins))) : 1;
      toast(t('lockedMsg', mins), 8000);
      break;
    }
    case 'req':
      onReq(m);
      break;
    case 'cancel':
      if (HOST.req && sid && HOST.req.sid === sid) {
        dropReq();
        toast(t('reqCancelled'));
      } else if (s && !s.connected) endSession(s, 'peer', false);
      break;
    case 'signal':
      if (s) onSignal(s, m.data);
      break;
    case 'left':
    case 'ended':
      if (s && !s.connected) endSession(s, m.reason === 'failed' ? 'failed' : 'peer', false);
      break;
    case 'ring':
      if (typeof onRing === 'function') onRing(m);
      break;
    case 'ringcancel':
    case 'csignal':
    case 'hangup':
      if (typeof onRingMsg === 'function') onRingMsg(m);
      break;
    case 'pong':
      break;
    default:
      console.log('host: mensaje desconocido', m.t);
  }
}

// Requests ---------------------------------------------------------------------------------

/** A technician asks to enter: busy, unavailable, wrong password, unattended or the dialog. */
async function onReq(/** @type {any} */ m) {
  const sid = typeof m.sid === 'string' ? m.sid.slice(0, 64) : '';
  if (!sid) return;
  if (HSES || HOST.req) return hsend({ t: 'answer', sid, ok: false, reason: 'busy' });
  if (!yes(setting('recibir', 'disponible'))) return hsend({ t: 'answer', sid, ok: false, reason: 'unavailable' });
  // The slot is taken at once: a second request while the password is checked is "busy".
  /** @type {HostReq} */
  const req = {
    sid, name: peerName(m.name), until: 0, ice: cleanIce(m.iceServers),
    allMons: [], picking: true, shown: 0, tick: 0,
  };
  HOST.req = req;
  const pass = typeof m.pass === 'string' ? m.pass.trim() : '';
  if (pass) {
    let ok = false;
    try {
      ok = !!(await post('/api/verificar', { clave: pass.slice(0, 256) })).ok;
    } catch {}
    if (HOST.req !== req) return;
    if (!ok) {
      HOST.req = null;
      hsend({ t: 'answer', sid, ok: false, reason: 'badkey' });
      toast(t('badKeyTry'), 6000);
      return;
    }
    if (yes(setting('recibir', 'desatendido'))) return acceptUnattended(req);
  }
  req.until = Date.now() + REQ_MS;
  req.allMons = await readMons();
  if (HOST.req !== req) return;
  req.picking = false;
  post('/api/aviso', { titulo: 'Kelvora', texto: t('reqWho', req.name) }).catch(() => {});
  get('/api/show').catch(() => {});
  if (yes(setting('recibir', 'sonido'))) beep();
  showReq(req);
}

async function readMons() {
  try {
    const raw = await get('/api/monitores');
    const list = cleanMons(raw);
    // On X a monitor also gives the number its screen captures carry in their label.
    for (const m of list) {
      const r = raw.find((/** @type {any} */ x) => x && x.i === m.i);
      if (r && Number.isInteger(r.captura)) /** @type {any} */ (m).captura = r.captura;
    }
    return list;
  } catch {
    return [];
  }
}

/** The request dialog: who, countdown, options, one box per monitor; reject has the focus. */
function showReq(/** @type {HostReq} */ req) {
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

function closeReqDialog() {
  $('#reqModal').hidden = true;
  $('#reqBox').innerHTML = '';
}

/** Forgets the pending request and closes its dialog. */
function dropReq() {
  const req = HOST.req;
  HOST.req = null;
  if (req) clearInterval(req.tick);
  closeReqDialog();
}

function rejectReq() {
  const req = HOST.req;
  if (!req || req.picking) return;
  hsend({ t: 'answer', sid: req.sid, ok: false, reason: 'denied' });
  dropReq();
}

/** Accept: the options as ticked, then the main screen; the answer waits for the capture. */
async function acceptReq() {
  const req = HOST.req;
  if (!req || req.picking || Date.now() - req.shown < ACCEPT_GUARD_MS) return;
  /** @type {string[]} */
  const mons = [];
  document.querySelectorAll('#reqBox input[data-mon]').forEach((/** @type {any} */ b) => { if (b.checked) mons.push(b.dataset.mon); });
  const opts = { control: !!$('#reqCtl').checked, audio: !!$('#reqAudio').checked, voice: !!$('#reqCall').checked, mons, unattended: false };
  req.picking = true;
  clearInterval(req.tick);
  closeReqDialog();
  let screen;
  try {
    screen = await captureFor(req);
  } catch {
    toast(t('pickerCancelled'), 6000);
    return;
  }
  if (screen) startHostSession(req, screen, opts);
}

/**
 * The main screen for a decided request, then the answer: "cancelled" when the capture
 * failed (the error is passed on), ok once it stands. Null when the request went away
 * meanwhile (its capture is stopped again).
 */
async function captureFor(/** @type {HostReq} */ req) {
  let screen;
  try {
    screen = await captureScreen();
  } catch (e) {
    if (HOST.req === req) {
      HOST.req = null;
      hsend({ t: 'answer', sid: req.sid, ok: false, reason: 'cancelled' });
    }
    throw e;
  }
  if (HOST.req !== req) {
    stopStream(screen);
    return null;
  }
  HOST.req = null;
  hsend({ t: 'answer', sid: req.sid, ok: true });
  return screen;
}

/** A right password with unattended access on: no dialog, the settings decide. */
async function acceptUnattended(/** @type {HostReq} */ req) {
  req.until = Date.now() + REQ_MS;
  req.allMons = await readMons();
  const opts = {
    control: yes(setting('recibir', 'permitir_control')), audio: yes(setting('recibir', 'compartir_audio')),
    voice: false, mons: monNames(setting('recibir', 'monitores')), unattended: true,
  };
  if (HOST.req !== req) return;
  let screen;
  try {
    screen = await captureFor(req);
  } catch (e) {
    diag(`[SESION] acceso desatendido: no se pudo capturar la pantalla (${errText(e)})`);
    return;
  }
  if (!screen) return;
  post('/api/aviso', { titulo: 'Kelvora', texto: t('uaHost', req.name) }).catch(() => {});
  toast(t('uaHost', req.name), 8000);
  diag(`[SESION] acceso desatendido de ${req.name}`);
  startHostSession(req, screen, opts);
}

// Screen capture -------------------------------------------------------------------------

/** The main screen without a picker (the window was started to pick it), or a refusal within 25 s. */
function captureScreen() {
  const fps = clampFps(setting('recibir', 'fps'));
  /** @type {any} */
  const opts = {
    video: { displaySurface: 'monitor', frameRate: { ideal: fps, max: fps }, cursor: 'always' },
    audio: false, selfBrowserSurface: 'exclude', monitorTypeSurfaces: 'include', preferCurrentTab: false,
  };
  return new Promise((resolve, reject) => {
    let late = false;
    const timer = setTimeout(() => {
      late = true;
      reject(new Error('no hubo pantalla en 25 s'));
    }, CAPTURE_MS);
    let p;
    try {
      p = navigator.mediaDevices.getDisplayMedia(opts);
    } catch (e) {
      clearTimeout(timer);
      return reject(e);
    }
    p.then(
      (st) => {
        clearTimeout(timer);
        // A screen that comes after the time-out must not stay captured.
        if (late) stopStream(st);
        else resolve(st);
      },
      (e) => {
        clearTimeout(timer);
        reject(e);
      },
    );
  });
}

/** Stops a stream's tracks without their end handlers running. */
function stopStream(/** @type {MediaStream|null} */ st) {
  if (!st) return;
  st.getTracks().forEach((tr) => {
    tr.onended = null;
    tr.stop();
  });
}

// The host session -------------------------------------------------------------------------

/** After acceptance: the record, the monitors, the peer connection and its media, the offer. */
async function startHostSession(/** @type {HostReq} */ req, /** @type {MediaStream} */ screen, /** @type {any} */ opts) {
  const track = screen.getVideoTracks()[0];
  const st = track ? track.getSettings() : {};
  const s = newSession('host', {
    k: 'h' + ++SESN, sid: req.sid, peer: req.name, ice: req.ice,
    quality: qualityName(setting('recibir', 'calidad')) || 'auto', fps: clampFps(setting('recibir', 'fps')),
    control: !!opts.control, audio: !!opts.audio, unattended: !!opts.unattended, monsw: true,
    surface: st.displaySurface || 'monitor',
    screen, vtx: null, atx: null, vaud: null, audioPipe: null, audioTrack: null,
    allMons: req.allMons, allowNames: opts.mons, mainMon: 0, cap: null, capBusy: false,
  });
  HSES = s;
  const main = labelMonitor(s.allMons, track ? track.label : '') || matchMonitor(s.allMons, st.width || 0, st.height || 0);
  if (main) {
    s.mainMon = main.i;
    CAPN[main.name] = 1;
  }
  s.mon = s.mainMon;
  s.mons = allowedMons(s.allMons, s.allowNames);
  renderHostBar();
  if (track) track.onended = () => { if (!s.dead && s.screen === screen) endSession(s, 'stopped'); };
  try {
    await buildHostPC(s, track, opts);
  } catch (e) {
    diag(`[SESION] no se pudo iniciar la sesión con ${s.peer}: ${errText(e)}`);
    endSession(s, 'local');
  }
}

/** The media layout (screen, PC audio, voice), the channels, the quality and the offer. */
async function buildHostPC(/** @type {any} */ s, /** @type {MediaStreamTrack} */ track, /** @type {any} */ opts) {
  const pc = await newPC(s);
  if (!pc || s.dead) return;
  s.vtx = pc.addTransceiver(track, { direction: 'sendonly', streams: [s.screen] });
  s.atx = pc.addTransceiver('audio', { direction: 'sendonly' });
  s.voice = pc.addTransceiver('audio', { direction: 'sendrecv' });
  preferCodecs(s.vtx);
  if (s.audio) hostStartAudio(s);
  try {
    s.vaud = new Audio();
    s.vaud.autoplay = true;
    s.vaud.srcObject = new MediaStream([s.voice.receiver.track]);
  } catch {}
  wireDC(s, pc.createDataChannel('ctl', { ordered: true }));
  wireDC(s, pc.createDataChannel('file', { ordered: true }));
  wireDC(s, pc.createDataChannel('mov', { ordered: false, maxRetransmits: 0 }));
  await applyQuality(s);
  if (s.dead) return;
  await sendOffer(s);
  sessionNote(s);
  if (opts.voice && typeof startSesLine === 'function') startSesLine(s);
  renderHostBar();
  if (typeof chatSys === 'function') chatSys(s, t('chatSys', s.peer));
  startStats(s);
  if (s.mons.length && !s.mons.some((/** @type {any} */ m) => m.i === s.mainMon)) hostShowMon(s, s.mons[0].i);
}

/** endSession's host part: the slot, the capture link, the PC audio pipe, the queue, the tracks. */
function hostForget(/** @type {any} */ s) {
  if (HSES === s) HSES = null;
  clearInput();
  if (s.cap && typeof hostCapClose === 'function') hostCapClose(s);
  hostStopAudio(s);
  stopStream(s.screen);
  if (s.vaud) {
    s.vaud.srcObject = null;
    s.vaud = null;
  }
}

/** Quality, frame rate and bit rate of the screen's sender; errors leave it as it was. */
async function applyQuality(/** @type {any} */ s) {
  const q = qualityName(s.quality) || qualityName(setting('recibir', 'calidad')) || 'auto';
  const fps = clampFps(s.fps || setting('recibir', 'fps'));
  const plan = QUALITY[/** @type {'auto'} */ (q)];
  const sender = s.vtx && s.vtx.sender;
  const track = sender && sender.track;
  if (track) {
    try {
      track.contentHint = plan.hint;
      await track.applyConstraints({ frameRate: { ideal: fps, max: fps } });
    } catch {}
  }
  if (!sender) return;
  try {
    const p = sender.getParameters();
    if (!p.encodings || !p.encodings.length) p.encodings = [{}];
    p.encodings[0].maxFramerate = fps;
    p.encodings[0].maxBitrate = plan.bitrate;
    p.degradationPreference = plan.degradation;
    try {
      await sender.setParameters(p);
    } catch {
      // Some builds refuse a degradation preference; the rate limits matter more.
      delete p.degradationPreference;
      await sender.setParameters(p);
    }
  } catch {}
}

/** `hello` when the control channel opens: who we are and what the technician may do. */
function hostHello(/** @type {any} */ s) {
  ctl(s, {
    t: 'hello', name: ID ? ID.nombre : '', id: ID ? ID.id : '', control: !!s.control, audio: !!s.audio, hasAudio: !!s.audioTrack,
    mons: s.mons, mon: s.mon, monsw: true, surface: s.surface, quality: s.quality, fps: s.fps, unattended: !!s.unattended, ver: VER,
  });
}

/** Every message from the technician; label is the channel ("ctl" or "mov"). */
function hostMsg(/** @type {any} */ s, /** @type {any} */ m, /** @type {string} */ label) {
  if (s !== HSES || s.dead) return;
  if (label === 'mov' && m.t !== 'in') return;
  switch (m.t) {
    case 'in':
      if (s.control && queueInput(m.ev, label === 'mov')) pumpInput(s);
      break;
    case 'text':
      if (s.control && typeof m.s === 'string' && m.s) post('/api/input', { mon: s.mon, ev: [{ k: 't', s: m.s }] }).catch(() => {});
      break;
    case 'clip-set':
      if (s.control && typeof m.text === 'string') {
        post('/api/portapapeles/poner', { texto: m.text })
          .then((r) => !!(r && r.ok), () => false)
          .then((ok) => ctl(s, { t: 'clip-ok', ok }));
      }
      break;
    case 'clip-get':
      if (s.control) {
        post('/api/portapapeles/leer', {})
          .catch(() => null)
          .then((r) => {
            const ok = !!(r && r.ok);
            ctl(s, { t: 'clip', text: ok && typeof r.texto === 'string' ? r.texto : '', ok });
          });
      }
      break;
    case 'res-get':
      post('/api/resolucion', { mon: s.mon })
        .catch(() => ({ ok: false, msg: 'no se pudo leer la resolución' }))
        .then((r) => ctl(s, { t: 'res-info', r }));
      break;
    case 'res-set':
      hostResSet(s, m);
      break;
    case 'quality':
      hostQuality(s, m);
      break;
    case 'mon':
      if (Number.isInteger(m.i)) hostShowMon(s, m.i);
      break;
    default:
      console.log('host: mensaje desconocido del técnico', m.t);
  }
}

/** A resolution change asked by the technician, only with control. */
async function hostResSet(/** @type {any} */ s, /** @type {any} */ m) {
  if (!s.control) return ctl(s, { t: 'res-ok', r: { ok: false, msg: 'control' } });
  /** @type {any} */
  const body = m.original === true ? { original: true } : { mon: s.mon };
  if (!body.original) {
    if (typeof m.w === 'number') body.w = m.w;
    if (typeof m.h === 'number') body.h = m.h;
    if (Array.isArray(m.fit) && typeof m.fit[0] === 'number' && typeof m.fit[1] === 'number') {
      body.ajustar_w = m.fit[0];
      body.ajustar_h = m.fit[1];
    }
  }
  /** @type {any} */
  let r;
  try {
    r = await post('/api/resolucion/poner', body);
  } catch {
    r = { ok: false, msg: 'no se pudo cambiar la resolución' };
  }
  if (!r || typeof r !== 'object') r = { ok: false, msg: 'no se pudo cambiar la resolución' };
  if (r.ok && body.original) toast(t('resBack'), 5000);
  else if (r.ok && r.actual) toast(t('resChanged', `${Number(r.actual.w) || 0}×${Number(r.actual.h) || 0}`), 7000);
  const mons = await readMons();
  if (s.dead) return;
  if (mons.length) {
    s.allMons = mons;
    s.mons = allowedMons(mons, s.allowNames);
  }
  ctl(s, permMsg(s));
  renderHostBar();
  ctl(s, { t: 'res-ok', r });
}

/** Quality and frame rate asked by the technician; a capture window gets the frame rate too. */
function hostQuality(/** @type {any} */ s, /** @type {any} */ m) {
  const q = qualityName(m.q);
  if (q) s.quality = q;
  s.fps = clampFps(typeof m.fps === 'number' ? m.fps : NaN);
  applyQuality(s);
  if (s.cap) post('/api/buzon/poner', { a: 'cap', m: { t: 'fps', fps: s.fps } }).catch(() => {});
}

/**
 * Shows another monitor. The main one is the main capture; any other comes through the
 * capture window. Ignored during a switch, for a monitor not allowed, or for the one shown
 * unless it is a secondary whose capture link is gone.
 */
async function hostShowMon(/** @type {any} */ s, /** @type {number} */ i) {
  if (s.dead || s.capBusy) return;
  const mon = s.mons.find((/** @type {any} */ m) => m.i === i);
  if (!mon) return;
  if (i === s.mon && (i === s.mainMon || s.cap)) return;
  s.capBusy = true;
  renderHostBar();
  try {
    let track;
    if (i === s.mainMon) {
      if (s.cap && typeof hostCapClose === 'function') hostCapClose(s);
      s.cap = null;
      track = s.screen.getVideoTracks()[0];
      if (!track || track.readyState === 'ended') throw new Error('la captura principal terminó');
    } else {
      if (typeof hostCapOpen !== 'function') throw new Error('monitor');
      track = await hostCapOpen(s, mon.i);
      if (!track) throw new Error('monitor');
    }
    if (s.dead) return;
    await s.vtx.sender.replaceTrack(track);
    s.mon = i;
    clearInput();
    await applyQuality(s);
    ctl(s, permMsg(s));
  } catch (e) {
    if (s.dead) return;
    toast(t('monFail'), 7000);
    diag(`[CAPTURA] no se pudo mostrar el monitor ${mon.name}: ${errText(e)}`);
    ctl(s, permMsg(s));
  } finally {
    s.capBusy = false;
    renderHostBar();
  }
}

// Capture window -------------------------------------------------------------------------
// Any monitor but the main capture's comes from the capture window, a second browser
// window started by the native side, whose page offers its screen over a local peer
// connection. The two pages meet in the mailbox: we write to "cap" and read "main".
//
// A try with screen number n: none → starting (the window runs, waiting for its offer) →
// live (the track arrived) → closed. A wrong monitor, an error or 15 s without a track
// fail the try; a live link whose capture ends is dropped, so the monitor can be asked
// for again.

const CAP_TRY_MS = 15000;
/** @type {{reading: boolean}} one read of "main" at a time, so no read takes another's messages */
const CAPR = { reading: false };

/**
 * @typedef {Object} CapLink the link to one capture window
 * @property {RTCPeerConnection} pc the receiving side
 * @property {number} n screen number the window was started for
 * @property {number} mon index of the monitor wanted
 * @property {boolean} live the track arrived
 * @property {(m: any) => void} onMsg a message from the capture page
 */

function capPut(/** @type {any} */ m) {
  return post('/api/buzon/poner', { a: 'cap', m }).catch(() => {});
}

/** Screen numbers to try for a monitor: the one learnt for it, else those not learnt for others. */
function capNumbers(/** @type {any[]} */ mons, /** @type {string} */ name, /** @type {Object<string, number>} */ table) {
  if (table[name]) return [table[name]];
  const taken = new Set(Object.keys(table).filter((k) => k !== name).map((k) => table[k]));
  const out = [];
  for (let n = 1; n <= Math.min(16, mons.length); n++) if (!taken.has(n)) out.push(n);
  return out;
}

/** The monitor a capture window's offer shows: by its label, else by its size. */
function capOfferMonitor(/** @type {any[]} */ mons, /** @type {any} */ m) {
  return labelMonitor(mons, typeof m.label === 'string' ? m.label : '') || matchMonitor(mons, Number(m.w) || 0, Number(m.h) || 0);
}

/** Reads "main" while a capture link exists and hands each message to it. */
async function capRead() {
  if (CAPR.reading) return;
  CAPR.reading = true;
  try {
    for (;;) {
      const s = /** @type {any} */ (HSES);
      if (!s || !s.cap || s.dead) break;
      /** @type {any} */
      let r = null;
      try {
        r = await post('/api/buzon/leer', { de: 'main' });
      } catch {
        await sleep(500);
      }
      const link = HSES === s ? s.cap : null;
      if (!link || !r || !Array.isArray(r.m)) continue;
      for (const m of r.m.slice(0, 200)) if (m && typeof m === 'object') link.onMsg(m);
    }
  } finally {
    CAPR.reading = false;
  }
}

/**
 * Once the main picture flows, the native side starts the other monitors' capture windows
 * in the background, so that a switch starts no browser; they end with the session.
 */
function hostCapWarm(/** @type {any} */ s) {
  if (s.dead || !s.monsw || s.mons.length < 2) return;
  post('/api/captura', { precalentar: true }).catch(() => {});
}

/** Ends the capture window and its link; the main capture is left alone. */
function hostCapClose(/** @type {any} */ s) {
  const link = s.cap;
  s.cap = null;
  if (link) {
    link.onMsg = () => {};
    try {
      link.pc.close();
    } catch {}
  }
  return capPut({ t: 'stop' })
    .then(() => post('/api/captura', { off: true }))
    .catch(() => {});
}

/** One try: the capture window for screen n, resolving its track when it shows the monitor wanted. */
async function capTry(/** @type {any} */ s, /** @type {any} */ mon, /** @type {number} */ n) {
  await hostCapClose(s);
  if (s.dead) throw new Error('la sesión terminó');
  const pc = new RTCPeerConnection({ iceServers: [] });
  /** @type {CapLink} */
  const link = { pc, n, mon: mon.i, live: false, onMsg: () => {} };
  pc.onicecandidate = (e) => {
    if (e.candidate && s.cap === link) capPut({ t: 'ice', c: e.candidate.toJSON() });
  };
  /** @type {Promise<MediaStreamTrack>} */
  const arrived = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('la ventana de captura no respondió en 15 s')), CAP_TRY_MS);
    const fail = (/** @type {Error & {wrong?: boolean}} */ e) => {
      clearTimeout(timer);
      reject(e);
    };
    pc.ontrack = (e) => {
      clearTimeout(timer);
      e.track.contentHint = 'detail';
      link.live = true;
      resolve(e.track);
    };
    link.onMsg = (m) => {
      switch (m.t) {
        case 'offer': {
          if (m.n !== n || !m.sdp || typeof m.sdp !== 'object') return;
          const who = capOfferMonitor(s.allMons, m);
          if (who) CAPN[who.name] = n;
          if (!who || who.i !== mon.i) return fail(Object.assign(new Error(`la pantalla ${n} es otro monitor`), { wrong: true }));
          pc.setRemoteDescription(m.sdp)
            .then(() => pc.createAnswer())
            .then((a) => pc.setLocalDescription(a))
            .then(() => capPut({ t: 'answer', sdp: pc.localDescription && pc.localDescription.toJSON() }))
            .catch(fail);
          break;
        }
        case 'ice':
          if (m.c && typeof m.c === 'object') pc.addIceCandidate(m.c).catch(() => {});
          break;
        case 'error':
          if (m.n !== n) return;
          if (link.live) return capLost(s, link, String(m.msg || 'ended'));
          fail(new Error(String(m.msg || 'error').slice(0, 300)));
          break;
        default:
          console.log('captura: mensaje desconocido', m.t);
      }
    };
  });
  s.cap = link;
  /** @type {any} */
  let r;
  try {
    r = await post('/api/captura', { pantalla: n });
  } catch {
    r = { ok: false, msg: 'sin respuesta del servidor local' };
  }
  if (!r || !r.ok) {
    if (s.cap === link) hostCapClose(s);
    throw new Error((r && r.msg) || 'monitor');
  }
  capRead();
  try {
    return await arrived;
  } catch (e) {
    if (s.cap === link) hostCapClose(s);
    throw e;
  }
}

/** A live capture window's picture ended: the link goes, so asking for the monitor again reopens it. */
function capLost(/** @type {any} */ s, /** @type {CapLink} */ link, /** @type {string} */ why) {
  if (s.cap !== link) return;
  diag(`[CAPTURA] la ventana de captura dejó de mandar la pantalla ${link.n}: ${why}`);
  hostCapClose(s);
}

/**
 * The capture window's track for monitor i: tries the screen number learnt for it, or each
 * number not learnt for another monitor, until one shows it.
 */
async function hostCapOpen(/** @type {any} */ s, /** @type {number} */ i) {
  const mon = s.allMons.find((/** @type {any} */ m) => m.i === i);
  if (!mon) throw new Error('monitor');
  for (const n of capNumbers(s.allMons, mon.name, CAPN)) {
    if (s.dead) break;
    try {
      return await capTry(s, mon, n);
    } catch (e) {
      if (s.dead) break;
      console.log('captura: pantalla', n, errText(e));
    }
  }
  throw new Error('monitor');
}

// Host bar controls ----------------------------------------------------------------------

function hostSetControl(/** @type {boolean} */ on) {
  const s = HSES;
  if (!s) return;
  // The queue goes first, so that nothing queued is injected after the native side let go.
  if (!on) clearInput();
  s.control = on;
  sessionNote(s);
  ctl(s, permMsg(s));
  renderHostBar();
}

function hostSetAudio(/** @type {boolean} */ on) {
  const s = /** @type {any} */ (HSES);
  if (!s) return;
  s.audio = on;
  if (on && !s.audioPipe) hostStartAudio(s);
  if (s.audioTrack) s.audioTrack.enabled = on;
  ctl(s, permMsg(s));
  renderHostBar();
}

function hostSetMon(/** @type {number} */ i) {
  if (HSES) hostShowMon(HSES, i);
}

// PC audio -------------------------------------------------------------------------------

/**
 * The worklet that plays the PC's 16-bit stereo samples. It keeps at most half a second
 * queued (dropping the oldest buffers), so the delay cannot grow when the page is slow.
 */
const PCM_WORKLET = `class KvPcm extends AudioWorkletProcessor {
  constructor() {
    super();
    this.q = []; this.n = 0; this.o = 0; this.max = sampleRate * 0.5 * 2;
    this.port.onmessage = (e) => {
      const a = e.data;
      if (!(a instanceof Int16Array) || !a.length) return;
      this.q.push(a); this.n += a.length;
      while (this.n > this.max && this.q.length > 1) { this.n -= this.q.shift().length - this.o; this.o = 0; }
    };
  }
  process(inputs, outputs) {
    const out = outputs[0], L = out[0], R = out[1] || out[0];
    for (let i = 0; i < L.length; i++) {
      const a = this.q[0];
      if (!a) { L[i] = 0; R[i] = 0; continue; }
      L[i] = a[this.o] / 32768; R[i] = (this.o + 1 < a.length ? a[this.o + 1] : 0) / 32768;
      this.o += 2; this.n -= 2;
      if (this.o >= a.length) { this.q.shift(); this.o = 0; }
    }
    return true;
  }
}
registerProcessor('kv-pcm', KvPcm);`;

/** Joins a chunk to the previous remainder: the whole stereo frames (4 bytes each) and what is left. */
function splitPcm(/** @type {Uint8Array} */ rest, /** @type {Uint8Array} */ chunk) {
  const all = new Uint8Array(rest.length + chunk.length);
  all.set(rest, 0);
  all.set(chunk, rest.length);
  const n = all.length - (all.length % 4);
  return { whole: all.slice(0, n), rest: all.slice(n) };
}

/** The PC's sound from the native side as the session's PC-audio track (transceiver 1). */
async function hostStartAudio(/** @type {any} */ s) {
  if (s.audioPipe || s.dead) return;
  const pipe = { ctrl: new AbortController(), ctx: /** @type {AudioContext|null} */ (null) };
  s.audioPipe = pipe;
  try {
    const r = await fetch('/api/audio?t=' + encodeURIComponent(TOKEN), { cache: 'no-store', signal: pipe.ctrl.signal });
    if (!r.ok || !r.body || !String(r.headers.get('Content-Type') || '').includes('octet')) throw new Error('sin audio');
    const hz = Number(r.headers.get('X-Hz'));
    // AudioContext refuses rates far outside what sound cards use.
    const rate = Number.isFinite(hz) && hz >= 8000 && hz <= 192000 ? hz : 48000;
    const ctx = new AudioContext({ sampleRate: rate, latencyHint: 'interactive' });
    pipe.ctx = ctx;
    const url = URL.createObjectURL(new Blob([PCM_WORKLET], { type: 'text/javascript' }));
    try {
      await ctx.audioWorklet.addModule(url);
    } finally {
      URL.revokeObjectURL(url);
    }
    const node = new AudioWorkletNode(ctx, 'kv-pcm', { numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [2] });
    const dest = ctx.createMediaStreamDestination();
    dest.channelCount = 2;
    node.connect(dest);
    ctx.resume().catch(() => {});
    const track = dest.stream.getAudioTracks()[0];
    if (s.audioPipe !== pipe || s.dead) throw new Error('sin audio');
    track.enabled = !!s.audio;
    s.audioTrack = track;
    if (s.atx) await s.atx.sender.replaceTrack(track);
    ctl(s, permMsg(s));
    renderHostBar();
    readPcm(s, pipe, r.body.getReader(), node);
  } catch (e) {
    if (s.audioPipe !== pipe) return;
    hostStopAudio(s);
    diag(`[AUDIO] no se pudo mandar el audio de la PC: ${errText(e)}`);
  }
}

async function readPcm(/** @type {any} */ s, /** @type {any} */ pipe, /** @type {ReadableStreamDefaultReader<Uint8Array>} */ reader, /** @type {AudioWorkletNode} */ node) {
  let rest = new Uint8Array(0);
  try {
    for (;;) {
      const { done, value } = await reader.read();
      if (done || s.audioPipe !== pipe) break;
      const x = splitPcm(rest, value);
      rest = x.rest;
      if (x.whole.length) {
        const pcm = new Int16Array(x.whole.buffer);
        node.port.postMessage(pcm, [pcm.buffer]);
      }
    }
  } catch {}
  // The native stream ended: the technician is told that there is no PC audio any more.
  if (s.audioPipe === pipe && !s.dead) {
    hostStopAudio(s);
    ctl(s, permMsg(s));
    renderHostBar();
  }
}

function hostStopAudio(/** @type {any} */ s) {
  const pipe = s.audioPipe;
  s.audioPipe = null;
  if (pipe) {
    try {
      pipe.ctrl.abort();
    } catch {}
    if (pipe.ctx) pipe.ctx.close().catch(() => {});
  }
  if (s.audioTrack) {
    s.audioTrack.stop();
    s.audioTrack = null;
    if (s.atx && !s.dead) s.atx.sender.replaceTrack(null).catch(() => {});
  }
}

// Page: status line, ID card, request dialog, host bar -------------------------------------

function renderHostStatus() {
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

function renderIdCard() {
  const has = !!(ID && ID.id);
  $('#myId').textContent = has ? ID.id_bonito || prettyId(ID.id) : '— — —';
  $('#myKey').textContent = has && HUI.keyShown ? ID.clave : '••••••••';
  $('#myKey').classList.toggle('shown', has && HUI.keyShown);
  $('#keyEye').textContent = HUI.keyShown ? '🙈' : '👁';
  for (const id of ['#copyIdBtn', '#copyBothBtn', '#editKeyBtn', '#newKeyBtn', '#keyEye']) $(id).disabled = !has;
}

function editKey() {
  if (!ID) return;
  modal(`<h3>${esc(t('keyEditT'))}</h3>
<p class="hint">${esc(t('keyEditTxt'))}</p>
<input id="keyIn" class="keyIn" maxlength="32" autocomplete="off" spellcheck="false" value="${esc(ID.clave)}">
<div class="actions"><button id="keyCancel">${esc(t('cancel'))}</button><button id="keySave" class="primary">${esc(t('keySave'))}</button></div>`, () => {});
  const input = $('#keyIn');
  input.focus();
  input.select();
  const save = async () => {
    $('#keySave').disabled = true;
    /** @type {any} */
    let r = null;
    try {
      r = await post('/api/clave/poner', { clave: input.value });
    } catch {}
    if (!$('#keySave')) return;
    $('#keySave').disabled = false;
    if (!r || !r.ok || typeof r.clave !== 'string') {
      toast(r && typeof r.msg === 'string' ? r.msg : 'No se pudo guardar la contraseña.', 6000);
      return;
    }
    ID.clave = r.clave;
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
  if (!ID || !confirm(t('newKeyAsk'))) return;
  try {
    const r = await post('/api/clave/nueva', {});
    if (r && r.ok && typeof r.clave === 'string') {
      ID.clave = r.clave;
      renderIdCard();
      toast(t('newKeyDone', r.clave), 6000);
    }
  } catch {}
}

/** The ID and password as one line to paste into a message. */
function idAndKey() {
  return `Kelvora · ID: ${ID.id_bonito || prettyId(ID.id)} · ${LANG === 'en' ? 'Password' : 'Contraseña'}: ${ID.clave}`;
}

/**
 * The bar of the session in which this PC is helped. It is rebuilt only when what it
 * shows changes; the one-second tick only refreshes the time and the statistics.
 */
function renderHostBar() {
  const bar = $('#hostbar');
  if (!bar) return;
  const s = /** @type {any} */ (HSES);
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
  const key = JSON.stringify([LANG, s.peer, s.connected, s.control, s.audio, voice && voiceKey, chat && s.unread, file, s.mons, s.mon, s.capBusy]);
  if (key !== HUI.barKey) {
    HUI.barKey = key;
    const onoff = (/** @type {boolean} */ v) => esc(t(v ? 'yes' : 'no'));
    const mons = s.mons.length > 1
      ? `<label class="hbMon"><span>${esc(t('hbScreen'))}</span><select data-hb="mon"${s.capBusy ? ' disabled' : ''}>${s.mons
        .map((/** @type {any} */ m) => `<option value="${m.i}"${m.i === s.mon ? ' selected' : ''}>🖥 ${m.i + 1} · ${m.w}×${m.h}${m.primary ? ' ★' : ''}</option>`)
        .join('')}</select></label>`
      : '';
    bar.innerHTML = `<span class="hbLive"><span class="dot ${s.connected ? 'ok' : 'wait'}"></span><b>${esc(t('hbLive', s.peer))}</b></span>
<span id="hbTime" class="hbTime"></span><span id="hbStat" class="hbStat"></span><span class="spacer"></span>
<button data-hb="ctl" class="small ${s.control ? 'on' : ''}">${esc(t('hbCtl'))}: ${onoff(s.control)}</button>
<button data-hb="aud" class="small ${s.audio ? 'on' : ''}">${esc(t('hbAudio'))}: ${onoff(s.audio)}</button>
${voice ? `<button data-hb="voice" class="small ${s.line && !held ? 'on' : ''}">${esc(t(voiceKey))}</button>` : ''}
${chat ? `<button data-hb="chat" class="small">${esc(t('hbChat'))}${s.unread ? ` <span class="badge">${s.unread}</span>` : ''}</button>` : ''}
${file ? `<button data-hb="file" class="small">${esc(t('hbFile'))}</button>` : ''}
${mons}<button data-hb="end" class="small danger">${esc(t('hbEnd'))}</button>`;
  }
  $('#hbTime').textContent = s.started ? mmss((Date.now() - s.started) / 1000) : '…';
  $('#hbStat').textContent = s.statTxt || '';
  if (bar.hidden) {
    bar.hidden = false;
    setHeaderHeight();
  }
}

function wireHost() {
  $('#avail').onchange = () => setAvail(!!$('#avail').checked);
  $('#hostStatus').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    if (/** @type {HTMLElement} */ (e.target).closest('#hostReconnect')) hostConnect();
  });
  $('#copyIdBtn').onclick = () => { if (ID) copyText(ID.id_bonito || prettyId(ID.id)); };
  $('#copyBothBtn').onclick = () => { if (ID) copyText(idAndKey()); };
  $('#keyEye').onclick = () => {
    HUI.keyShown = !HUI.keyShown;
    renderIdCard();
  };
  $('#editKeyBtn').onclick = editKey;
  $('#newKeyBtn').onclick = newKey;
  $('#reqBox').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement} */ (e.target).closest('button');
    if (b && b.id === 'reqYes') acceptReq();
    else if (b && b.id === 'reqNo') rejectReq();
  });
  const bar = $('#hostbar');
  bar.addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button[data-hb]'));
    const s = HSES;
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

// ── technician ───────────────────────────────────────────────────────────────────────────
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
const PTR = { cx: 0, cy: 0, k: '', raf: 0 };
/** Wheel amounts not yet sent (whole multiples of 40 leave, the rest waits). */
const WHEEL = { x: 0, y: 0 };
/** @type {any} re-sends the adaptive size once the stage stops changing */
let adaptTimer = 0;
/** Identity of the open-sessions rows and of the viewer tabs: rebuilt only when it changes. */
let sesSig = '', vtabSig = '', monSig = '';
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
const QUALITIES = [['auto', 'qAuto'], ['nitidez', 'qText'], ['fluidez', 'qMotion']];
const FPS_STEPS = [15, 30, 60];
/** Modes listed in the screen menu. */
const MAX_MODES = 14;

// Pure rules -------------------------------------------------------------------------------

/**
 * Why an ID cannot be connected now, or null. digits: the field's digits; own: this PC's ID;
 * open: the sessions by key. Returns {key, args, k} (k: the session that already has it).
 */
function connectCheck(/** @type {string} */ digits, /** @type {string} */ own, /** @type {Map<string, any>} */ open) {
  if (!/^[1-9]\d{8}$/.test(digits)) return { key: 'badId', args: [], k: '' };
  if (own && digits === own) return { key: 'selfId', args: [], k: '' };
  for (const s of open.values()) if (s.peerId === digits) return { key: 'sesDup', args: [], k: s.k };
  if (open.size >= MAX_TS) return { key: 'sesMax', args: [MAX_TS], k: '' };
  return null;
}

/**
 * Pointer position as fractions of the remote picture. The picture keeps its aspect inside
 * box (16:9 until the video knows its size) and is centred, so on the black bars the values
 * fall below 0 or above 1; they are not clamped (the host clamps to its own screen).
 */
function ptrMap(/** @type {{left: number, top: number, width: number, height: number}} */ box, /** @type {number} */ vw, /** @type {number} */ vh, /** @type {number} */ cx, /** @type {number} */ cy) {
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
function wheelStep(/** @type {{x: number, y: number}} */ acc, /** @type {number} */ mode, /** @type {number} */ deltaX, /** @type {number} */ deltaY) {
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
function comboEvents(/** @type {string} */ name) {
  const c = COMBOS.find((x) => x[0] === name);
  if (!c) return [];
  const keys = /** @type {string[]} */ (c[1]);
  return [...keys.map((k) => ({ k: 'kd', c: k })), ...[...keys].reverse().map((k) => ({ k: 'ku', c: k }))];
}

/** One second of the waiting countdown: the new count, what it shows (never below 0), and whether to give up. */
function waitTick(/** @type {number} */ left) {
  const n = left - 1;
  return { left: n, shown: Math.max(0, n), end: n <= -3 };
}

/** The server's waiting time in seconds: a sane positive number, 60 otherwise. */
function waitSeconds(/** @type {any} */ v) {
  const n = Math.round(Number(v));
  return Number.isFinite(n) && n > 0 ? Math.min(n, 3600) : 60;
}

/** The toast for a refusal on /join/: {key, args, ms, askPass} or null for other messages. */
function refusalNote(/** @type {any} */ m, /** @type {boolean} */ withPass) {
  if (m.t === 'denied') {
    const r = m.reason;
    if (r === 'badkey' && !withPass) return { key: 'denNeedPass', args: [], ms: 7000, askPass: true };
    const key = ownValue({ badkey: 'denBadKey', denied: 'denDenied', timeout: 'denTimeout', cancelled: 'denCancelled', busy: 'denBusy', unavailable: 'denUnavailable' }, r, 'denDenied');
    return { key, args: [], ms: 7000, askPass: false };
  }
  if (m.t === 'offline') return { key: 'denOffline', args: [], ms: 7000, askPass: false };
  if (m.t === 'busy') return { key: 'denBusy', args: [], ms: 6000, askPass: false };
  if (m.t === 'locked') {
    const mins = Math.max(1, Math.min(10000, Math.round(Number(m.mins)) || 1));
    return { key: 'denLocked', args: [mins], ms: 7000, askPass: false };
  }
  return null;
}

/** How the server's `ended` before connection reads locally. */
function endedWhy(/** @type {any} */ reason) {
  return ownValue({ hostgone: 'lost', failed: 'failed', stopped: 'stopped' }, reason, 'peer');
}

/** table[key] for a key the table itself holds ("constructor" from the wire is no key), else dflt. */
function ownValue(/** @type {Object<string, string>} */ table, /** @type {any} */ key, /** @type {string} */ dflt) {
  return typeof key === 'string' && Object.hasOwn(table, key) ? table[key] : dflt;
}

/**
 * What a `res-ok` tells the technician: [key, ...args] or null. A refused size while
 * adaptive stays quiet: the stage re-sends its size on every resize and control may come later.
 */
function resOkNote(/** @type {any} */ r, /** @type {boolean} */ adaptive) {
  if (!r || typeof r !== 'object') return null;
  if (r.ok !== true) {
    const msg = typeof r.msg === 'string' ? r.msg.slice(0, 200) : '';
    if (msg === 'control') return adaptive ? null : ['ctlDenied'];
    return ['resFail', msg];
  }
  const a = r.actual;
  if (!adaptive && a && a.w > 0 && a.h > 0) return ['resNow', `${Math.round(a.w)}×${Math.round(a.h)}`];
  return null;
}

/** A mode record {w, h, hz} with whole positive numbers, or null. */
function cleanMode(/** @type {any} */ m) {
  if (!m || typeof m !== 'object') return null;
  const w = Math.round(Number(m.w)), h = Math.round(Number(m.h)), hz = Math.round(Number(m.hz)) || 0;
  return w > 0 && h > 0 && w <= 100000 && h <= 100000 ? { w, h, hz } : null;
}

/** The screen menu's markup for a session (scale, resolution, modes). */
function screenMenuHtml(/** @type {any} */ s, /** @type {string} */ scale) {
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
    const modes = (r && Array.isArray(r.modos) ? r.modos : []).map(cleanMode).filter(Boolean).slice(0, MAX_MODES);
    for (const m of /** @type {any[]} */ (modes)) {
      const mark = !s.adaptive && cur && cur.w === m.w && cur.h === m.h;
      const tag = orig && orig.w === m.w && orig.h === m.h ? ' · ' + t('resOrigTag') : '';
      h += `<button data-act="mode:${m.w}x${m.h}">${on(!!mark)}${m.w}×${m.h}${m.hz ? ` · ${m.hz} Hz` : ''}${esc(tag)}</button>`;
    }
  } else h += `<div class="mnote">${esc(t('resNeedCtl'))}</div>`;
  h += `<div class="mnote">${esc(t('resHint'))}</div>`;
  return h;
}

// Connecting -------------------------------------------------------------------------------

/** The session shown in the viewer, if any. */
function curSes() {
  return (CUR && TS.get(CUR)) || null;
}

/** The Connect button, or Enter in the ID or password field. */
function connectTo() {
  const digits = String($('#tId').value || '').replace(/\D/g, '');
  const pass = String($('#tKey').value || '').trim();
  const bad = connectCheck(digits, ID ? String(ID.id || '') : '', TS);
  if (bad) {
    if (bad.k) showSes(bad.k);
    toast(t(bad.key, ...bad.args));
    if (bad.key === 'badId') $('#tId').focus();
    return;
  }
  const s = newSession('tech', {
    k: 't' + ++SESN, peer: prettyId(digits), peerId: digits, wantControl: !!$('#tCtl').checked, withPass: !!pass,
    resInfo: null, adaptive: false, clipWait: false, uaAsked: false, waitLeft: 0,
  });
  techMedia(s);
  TS.set(s.k, s);
  s.waitTxt = t('connecting');
  showSes(s.k);
  iceServers().catch(() => {});
  joinOpen(s, pass);
}

/** The session's video (in the viewer box) and its two audio elements: PC sound and voice. */
function techMedia(/** @type {any} */ s) {
  const v = document.createElement('video');
  v.muted = true;
  v.autoplay = true;
  v.playsInline = true;
  v.hidden = true;
  v.dataset.k = s.k;
  const resized = () => { if (!s.dead && CUR === s.k) renderViewer(); };
  v.addEventListener('loadedmetadata', resized);
  v.addEventListener('resize', resized);
  $('#vbox').appendChild(v);
  s.vid = v;
  for (const f of ['aud', 'vaud']) {
    const a = document.createElement('audio');
    a.autoplay = true;
    a.hidden = true;
    if (f === 'aud') a.muted = true;
    $('#vbox').appendChild(a);
    if (typeof applySink === 'function') applySink(a, true);
    s[f] = a;
  }
}

/** Opens the session's /join/ socket and follows the server until the host answers. */
function joinOpen(/** @type {any} */ s, /** @type {string} */ pass) {
  /** @type {WebSocket} */
  let ws;
  try {
    ws = new WebSocket(wsUrl('/join/' + s.peerId));
  } catch {
    toast(t('srvDown'));
    endSession(s, 'local', false);
    return;
  }
  s.ws = ws;
  ws.onopen = () => {
    ws.send(JSON.stringify({ t: 'join', name: ID ? ID.nombre || '' : '', pass }));
    clearInterval(s.timers.ping);
    s.timers.ping = setInterval(() => { if (ws.readyState === WebSocket.OPEN) ws.send('{"t":"ping"}'); }, 25000);
  };
  // Before acceptance the socket is the session: an error or a close ends it (a close
  // without a word from the server is shown like an error, not swallowed). Afterwards
  // the peer connection carries on alone.
  const lost = () => {
    clearInterval(s.timers.ping);
    if (s.dead || s.accepted) return;
    toast(t('srvDown'), 6000);
    endSession(s, 'local', false);
  };
  ws.onerror = lost;
  ws.onclose = lost;
  ws.onmessage = (e) => {
    const m = s.dead ? null : wireMsg(e.data, 1 << 18);
    if (m) joinMsg(s, m);
  };
}

/** One message of the signalling server on a session's /join/ socket. */
function joinMsg(/** @type {any} */ s, /** @type {any} */ m) {
  switch (m.t) {
    case 'waiting':
      if (!s.accepted) startWait(s, waitSeconds(m.timeout));
      break;
    case 'accepted':
      if (!s.accepted) onAccepted(s, m);
      break;
    case 'signal':
      onSignal(s, m.data);
      break;
    case 'denied':
    case 'offline':
    case 'busy':
    case 'locked': {
      if (s.accepted) break;
      const n = /** @type {any} */ (refusalNote(m, !!s.withPass));
      endSession(s, 'local', false);
      toast(t(n.key, ...n.args), n.ms);
      if (n.askPass) setTimeout(() => { minViewer(); showTab('conectar'); $('#tKey').focus(); }, 300);
      break;
    }
    case 'ended':
      if (!s.connected) endSession(s, endedWhy(m.reason), false);
      break;
    case 'pong':
      break;
    default:
      console.log('join: mensaje desconocido', m.t);
  }
}

/** The waiting countdown: the host has the request and a person has to answer. */
function startWait(/** @type {any} */ s, /** @type {number} */ secs) {
  clearInterval(s.timers.wait);
  s.waitLeft = secs;
  setWait(s, waitLine(secs));
  s.timers.wait = setInterval(() => {
    if (s.dead || s.accepted) return clearInterval(s.timers.wait);
    const w = waitTick(s.waitLeft);
    s.waitLeft = w.left;
    if (!w.end) return setWait(s, waitLine(w.shown));
    clearInterval(s.timers.wait);
    toast(t('denTimeout'), 6000);
    endSession(s, 'local');
  }, 1000);
}

function waitLine(/** @type {number} */ n) {
  return t('waitAccept') + ' ' + t('waitSecs', Math.max(0, n));
}

/** The host said yes: build the connection and wait for its offer. */
async function onAccepted(/** @type {any} */ s, /** @type {any} */ m) {
  s.accepted = true;
  clearInterval(s.timers.wait);
  s.peer = peerName(m.name, s.peer);
  s.ice = cleanIce(m.iceServers);
  setWait(s, t('connectingPeer'));
  post('/api/recientes/agregar', { id: s.peerId, nombre: s.peer })
    .then((r) => { if (Array.isArray(r)) { S.recientes = r; renderRecents(); } })
    .catch(() => {});
  $('#tKey').value = '';
  try {
    await newPC(s);
  } catch (e) {
    console.warn('conexión', e);
    endSession(s, 'lost');
    return;
  }
  if (s.dead) return;
  sessionNote(s);
  if (typeof chatSys === 'function') chatSys(s, t('chatSys', s.peer));
  startStats(s);
  renderSessions(false);
}

// Host messages ----------------------------------------------------------------------------

/** A message of the host on the ctl or mov channel. */
function techMsg(/** @type {any} */ s, /** @type {any} */ m) {
  switch (m.t) {
    case 'hello':
      onHello(s, m);
      break;
    case 'perm':
      onPerm(s, m);
      break;
    case 'clip':
      if (!s.clipWait) break;
      s.clipWait = false;
      if (m.ok === true && typeof m.text === 'string' && m.text) {
        post('/api/portapapeles/escribir_local', { texto: m.text })
          .then((r) => toast(t(r && r.ok ? 'clipGot' : 'copyFail')))
          .catch(() => toast(t('copyFail')));
      } else toast(t('clipEmpty'));
      break;
    case 'clip-ok':
      toast(t(m.ok === true ? 'clipSent' : 'copyFail'));
      break;
    case 'res-info':
      s.resInfo = m.r && typeof m.r === 'object' ? m.r : null;
      if (CUR === s.k && menuOpenFor('vScreen')) screenMenu();
      break;
    case 'res-ok': {
      const n = resOkNote(m.r, !!s.adaptive);
      if (n) toast(n[0] === 'resFail' ? t('resFail') + (n[1] ? ' · ' + n[1] : '') : t(n[0], ...n.slice(1)));
      ctl(s, { t: 'res-get' });
      break;
    }
    default:
      console.log('ctl: mensaje desconocido', m.t);
  }
}

/** Fields that hello and perm share: permissions, monitors, captured surface. */
function takePerm(/** @type {any} */ s, /** @type {any} */ m) {
  s.canControl = m.control === true;
  s.hostAudio = m.hasAudio === true && m.audio === true;
  // A perm without a list keeps the one we have.
  if (Array.isArray(m.mons)) s.mons = cleanMons(m.mons);
  if (Number.isInteger(m.mon) && m.mon >= 0) s.mon = m.mon;
  s.monsw = s.monsw || m.monsw === true;
  if (typeof m.surface === 'string') s.surface = m.surface.slice(0, 32);
}

function onHello(/** @type {any} */ s, /** @type {any} */ m) {
  const name = peerName(m.name, s.peer);
  const renamed = name !== s.peer;
  s.peer = name;
  takePerm(s, m);
  s.quality = QUALITIES.some((q) => q[0] === m.quality) ? m.quality : 'auto';
  s.fps = Number.isFinite(m.fps) ? Math.max(5, Math.min(60, Math.round(m.fps))) : 30;
  if (s.withPass && !s.uaAsked) {
    s.uaAsked = true;
    setTimeout(() => { if (!s.dead) uaDialog(s); }, 400);
  }
  s.control = s.canControl && s.wantControl;
  if (s.wantControl && !s.canControl) toast(s.peer + ': ' + t('ctlDenied'), 5000);
  if (s.control && CUR === s.k) setTimeout(() => focusLayer(s), 300);
  if (store('trv_adapt', undefined) === '1' && s.canControl) {
    setTimeout(() => { if (!s.dead && CUR === s.k && !s.adaptive) resAdaptive(s, true); }, 1500);
  }
  if (renamed) sessionNote(s);
  refreshSession(s);
}

function onPerm(/** @type {any} */ s, /** @type {any} */ m) {
  takePerm(s, m);
  if (!s.canControl && s.control) {
    s.control = false;
    toast(t('ctlDenied'));
  } else if (s.canControl && s.wantControl && !s.control) s.control = true;
  refreshSession(s);
  if (CUR === s.k && menuOpenFor('vScreen')) screenMenu();
}

/** With a password the technician chose unattended access: ask how to look at the PC. */
function uaDialog(/** @type {any} */ s) {
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
    if (full && !document.fullscreenElement) techFull();
  };
  $('#uaGoBtn').focus();
}

// Viewer -----------------------------------------------------------------------------------

function viewerOpen() {
  return !$('#viewer').hidden;
}

/** Shows a session in the viewer. */
function showSes(/** @type {string} */ k) {
  const s = TS.get(k);
  if (!s) return;
  const prev = curSes();
  if (prev && prev !== s) release(prev);
  CUR = k;
  s.unread = 0;
  WHEEL.x = WHEEL.y = 0;
  openViewer();
  if (typeof renderChat === 'function') renderChat();
  if (s.control) setTimeout(() => focusLayer(s), 60);
}

function openViewer() {
  if (!TS.size) return;
  if (!CUR || !TS.has(CUR)) CUR = [...TS.keys()].pop() || null;
  if (!viewerOpen()) {
    $('#viewer').hidden = false;
    // The calls panel would cover the picture: fold it whenever the viewer comes up.
    try {
      if (typeof LINES !== 'undefined' && LINES && LINES.size && typeof dockMin === 'function') dockMin(true);
    } catch {}
  }
  renderViewer();
  renderSessions(false);
}

/** Hides the viewer; the sessions go on (the chip and the card bring it back). */
function minViewer() {
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  const s = curSes();
  if (s) release(s);
  $('#viewer').hidden = true;
  renderSessions(false);
  if (typeof renderChat === 'function') renderChat();
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
  const i = Math.max(0, keys.indexOf(CUR || ''));
  showSes(keys[(i + d + keys.length) % keys.length]);
}

/** The ✕ of a tab or row: a session that stands is ended only after a second word. */
function endSesAsk(/** @type {string} */ k) {
  const s = TS.get(k) || (HSES && HSES.k === k ? HSES : null);
  if (!s) return;
  if (!s.connected) return endSession(s, 'local');
  modal(`<h3>${esc(s.peer)}</h3><div class="hint">${esc(s.role === 'host' ? t('sesHost') : prettyId(s.peerId))}</div>
<div class="actions"><button id="endNoBtn">${esc(t('cancel'))}</button><button class="danger" id="endYesBtn">${esc(t('sesEnd'))}</button></div>`, undefined);
  $('#endNoBtn').onclick = closeModal;
  $('#endYesBtn').onclick = () => { closeModal(); endSession(s, 'local'); };
  $('#endYesBtn').focus();
}

/** What the waiting overlay says for a session ('' = the picture shows). */
function waitFor(/** @type {any} */ s) {
  if (!s) return '';
  // The texts set along the way (waiting, connecting, relay) end with the connection.
  if (!s.connected) return s.waitTxt || '';
  return s.vid && s.vid.videoWidth ? '' : t('waitScreen');
}

/** Closes the viewer once no session is left in it. */
function closeViewer() {
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  $('#viewer').hidden = true;
  if (typeof toggleChat === 'function') toggleChat(false);
}

function renderViewer() {
  if (!$('#viewer')) return;
  if (!TS.size) {
    if (viewerOpen()) closeViewer();
    return;
  }
  if (!CUR || !TS.has(CUR)) CUR = [...TS.keys()].pop() || null;
  const s = curSes();
  for (const x of TS.values()) if (x.vid) x.vid.hidden = x.k !== CUR;
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
  const sig = JSON.stringify([LANG, CUR, list.map((s) => [s.k, s.peer, tabDot(s), voiceMark(s), s.unread])]);
  if (sig === vtabSig) return;
  vtabSig = sig;
  $('#vtabs').innerHTML = list.map((s) => `<div class="vt${s.k === CUR ? ' on' : ''}" data-k="${esc(s.k)}" title="${esc(prettyId(s.peerId))}">
<span class="dot ${tabDot(s)}"></span><span class="vtn">${esc(s.peer)}</span>${voiceMark(s) ? `<span class="vtv">${voiceMark(s)}</span>` : ''}${s.unread ? `<span class="badge">${s.unread}</span>` : ''}<button class="vtx" data-end="${esc(s.k)}" title="${esc(t('end'))}">✕</button></div>`).join('')
    + `<button class="ghost vtb" data-act="new">${esc(t('vtNew'))}</button><span class="spacer"></span><button class="ghost vtb" data-act="min">${esc(t('vtMin'))}</button>`;
}

function tabDot(/** @type {any} */ s) {
  return s.connected ? 'ok' : s.accepted ? 'warn' : 'wait';
}
function voiceMark(/** @type {any} */ s) {
  return s.line ? (s.line.held ? '⏸' : '📞') : '';
}
/** The voice button's text for a session: off, on, or held. */
function voiceLabel(/** @type {any} */ s) {
  return t(s.line ? (s.line.held ? 'lnVoiceHeld' : 'callOn') : 'callOff');
}

/** The bar over the picture: who, time, statistics, switches and monitor buttons. */
function renderViewerBar() {
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
  $('#vAud').textContent = t(s.audioOn ? 'audOn' : 'audOff');
  $('#vAud').classList.toggle('on', !!s.audioOn);
  if (document.activeElement !== $('#vVol')) $('#vVol').value = String(Math.round(s.vol * 100));
  $('#vCall').hidden = typeof sesVoiceToggle !== 'function';
  $('#vCall').textContent = voiceLabel(s);
  $('#vCall').disabled = !s.connected;
  $('#vChat').hidden = typeof openChatFor !== 'function';
  $('#vChat').textContent = t('hbChat') + (s.unread ? ` (${s.unread})` : '');
  $('#vFile').hidden = typeof sendFiles !== 'function';
  $('#vMons').hidden = !(s.monsw && s.mons.length > 1);
  const sig = JSON.stringify([LANG, s.k, s.mon, s.mons, s.monsw]);
  if (sig !== monSig) {
    monSig = sig;
    $('#vMons').innerHTML = s.mons.map((/** @type {any} */ m) => {
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
    s.aud.muted = !(s.k === CUR && s.audioOn);
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
  renderSessions(false);
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
 * Full screen of the viewer; inside it the keyboard is locked so that system keys reach the
 * page. The whole page goes full screen and the viewer covers it: only the full-screen
 * element's own subtree is drawn, and menus, dialogs, toasts and the chat live outside the viewer.
 */
function techFull() {
  if (document.fullscreenElement) {
    document.exitFullscreen().catch(() => {});
    return;
  }
  document.documentElement.requestFullscreen().then(() => {
    const kb = /** @type {any} */ (navigator).keyboard;
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
function release(/** @type {any} */ s) {
  if (PTR.k === s.k) PTR.k = '';
  if (s.control) ctl(s, { t: 'in', ev: [{ k: 'rel' }] });
}

function focusLayer(/** @type {any} */ s) {
  if (!s.dead && CUR === s.k && viewerOpen()) $('#vlayer').focus({ preventScroll: true });
}

/** The pointer over the picture as fractions of the remote screen. */
function ptrAt(/** @type {any} */ s, /** @type {number} */ cx, /** @type {number} */ cy) {
  if (!s.vid) return null;
  return ptrMap(s.vid.getBoundingClientRect(), s.vid.videoWidth, s.vid.videoHeight, cx, cy);
}

/** Sends an ordered input batch (buttons, wheel, keys) on ctl. */
function sendIn(/** @type {any} */ s, /** @type {any[]} */ ev) {
  ctl(s, { t: 'in', ev });
}

/** Moves go out once per frame on the unreliable channel; the latest position wins. */
function queueMove(/** @type {any} */ s, /** @type {number} */ cx, /** @type {number} */ cy) {
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
function noControl(/** @type {any} */ s, /** @type {boolean} */ always) {
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

function sendCombo(/** @type {any} */ s, /** @type {string} */ name) {
  if (s.dead) return;
  if (!s.control) return noControl(s, true);
  const ev = comboEvents(name);
  if (ev.length) sendIn(s, ev);
  focusLayer(s);
}

/** Whether a message fits in one data-channel message of this connection. */
function fitsChannel(/** @type {any} */ s, /** @type {any} */ msg) {
  const max = (s.pc && s.pc.sctp && s.pc.sctp.maxMessageSize) || 262144;
  return new TextEncoder().encode(JSON.stringify(msg)).length <= Math.min(max, 1 << 20);
}

function clipMenu() {
  const s = curSes();
  if (!s) return;
  const h = `<div class="mh">${esc(t('clipHd'))}</div><button data-act="send">${esc(t('clipSend'))}</button><button data-act="get">${esc(t('clipGet'))}</button>`;
  openMenu($('#vClip'), h, (act) => (act === 'send' ? clipSend(s) : clipGet(s)));
}

async function clipSend(/** @type {any} */ s) {
  if (!s.control) return noControl(s, true);
  const r = await post('/api/portapapeles/leer', { propio: true }).catch(() => null);
  if (s.dead) return;
  if (!r || r.ok !== true || typeof r.texto !== 'string' || !r.texto) return toast(t('clipEmpty'));
  const msg = { t: 'clip-set', text: r.texto };
  // A message larger than the channel takes would be dropped without a word.
  if (!fitsChannel(s, msg)) return toast(t('copyFail'));
  ctl(s, msg);
}

function clipGet(/** @type {any} */ s) {
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

function setQual(/** @type {any} */ s, /** @type {string} */ q, /** @type {number} */ fps) {
  if (s.dead) return;
  s.quality = q;
  s.fps = fps;
  ctl(s, { t: 'quality', q, fps });
}

/** The screen menu: opening it asks the host for its modes; the answer rebuilds it. */
function screenMenu() {
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

function adaptOff(/** @type {any} */ s) {
  if (!s.adaptive) return;
  s.adaptive = false;
  store('trv_adapt', '0');
}

function resSet(/** @type {any} */ s, /** @type {number} */ w, /** @type {number} */ h) {
  adaptOff(s);
  ctl(s, { t: 'res-set', w, h });
}

function resOriginal(/** @type {any} */ s) {
  adaptOff(s);
  ctl(s, { t: 'res-set', original: true });
}

/** The stage's size in device pixels: what adaptive resolution asks the host to fit. */
function stageFit() {
  const st = $('#vstage'), dpr = devicePixelRatio || 1;
  return [Math.round(st.clientWidth * dpr), Math.round(st.clientHeight * dpr)];
}

function resAdaptive(/** @type {any} */ s, /** @type {boolean} */ on) {
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

// Ending -----------------------------------------------------------------------------------

/** endSession's technician part: out of the map, its media elements gone, another one shown. */
function techForget(/** @type {any} */ s) {
  TS.delete(s.k);
  if (PTR.k === s.k) PTR.k = '';
  for (const el of [s.vid, s.aud, s.vaud]) {
    if (!el) continue;
    try { el.pause(); } catch {}
    el.srcObject = null;
    el.remove();
  }
  if (CUR === s.k) {
    CUR = [...TS.keys()].pop() || null;
    const open = $('#viewer') && viewerOpen();
    if (CUR && open) showSes(CUR);
  }
  if (!TS.size) {
    CUR = null;
    if ($('#viewer')) closeViewer();
    if (s.accepted) {
      $('#tId').value = prettyId(s.peerId);
      $('#tKey').value = '';
    }
  }
}

// Connect tab: open sessions, recents, history ---------------------------------------------------

/** The open sessions card and the chip: rows rebuilt when they change, times every tick. */
function renderSessions(/** @type {boolean} */ force) {
  const card = $('#sesCard');
  if (!card) return;
  const rows = [...(HSES ? [HSES] : []), ...TS.values()];
  card.hidden = !rows.length;
  const chip = $('#sesChip');
  chip.hidden = !TS.size || viewerOpen();
  if (!chip.hidden) chip.textContent = TS.size === 1 ? t('sesChip1') : t('sesChip', TS.size);
  const voice = typeof sesVoiceToggle === 'function';
  const sig = JSON.stringify([LANG, voice, rows.map((s) => [s.k, s.peer, s.peerId, s.connected, s.accepted, s.unread, voiceMark(s), s.control])]);
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
    const el = document.getElementById('sest-' + s.k);
    if (el) el.textContent = sesTime(s);
  }
}

function sesTime(/** @type {any} */ s) {
  if (s.started) return mmss((Date.now() - s.started) / 1000);
  return t(s.role === 'host' || s.accepted ? 'sesConnecting' : 'sesWaiting');
}

function renderRecents() {
  const el = $('#recents');
  if (!el) return;
  const list = (Array.isArray(S.recientes) ? S.recientes : []).filter((r) => r && typeof r === 'object').slice(0, 12);
  if (!list.length) {
    el.innerHTML = `<div class="empty">${esc(t('noRecents'))}</div>`;
    return;
  }
  el.innerHTML = list.map((r) => `<div class="item rec" data-id="${esc(r.id)}" tabindex="0"><b class="rid">${esc(prettyId(r.id))}</b><span class="grow">${esc(r.nombre)}</span><span class="muted small">${esc(String(r.fecha || '').slice(0, 16))}</span><button class="ghost small" data-rm="${esc(r.id)}" title="${esc(t('removeRecent'))}">✕</button></div>`).join('');
}

/** A recent entry picked: the form gets its ID, ready to connect. */
function pickRecent(/** @type {string} */ id) {
  $('#tId').value = prettyId(id);
  $('#tKey').value = '';
  $('#btnConnect').focus();
}

async function removeRecent(/** @type {string} */ id) {
  const r = await post('/api/recientes/quitar', { id }).catch(() => null);
  if (Array.isArray(r)) {
    S.recientes = r;
    renderRecents();
  }
}

const HIST_HEAD = { es: ['Fecha', 'Con', 'Duración'], en: ['Date', 'Who', 'Length'] };

function renderHistory() {
  const el = $('#history');
  if (!el) return;
  const list = (Array.isArray(S.sesiones) ? S.sesiones : []).filter((r) => r && typeof r === 'object');
  if (!list.length) {
    el.innerHTML = `<div class="empty">${esc(t('noHistory'))}</div>`;
    return;
  }
  const head = HIST_HEAD[LANG] || HIST_HEAD.es;
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
function reconnect(/** @type {string} */ id, /** @type {string} */ name) {
  minViewer();
  showTab('conectar');
  $('#tId').value = prettyId(id);
  $('#tKey').value = '';
  $('#connCard').scrollIntoView({ block: 'nearest' });
  $('#btnConnect').focus();
  toast(t('reconAsk', name || prettyId(id)), 7000);
}

// Wiring -------------------------------------------------------------------------------------

function wireTech() {
  $('#btnConnect').onclick = connectTo;
  $('#tId').addEventListener('input', () => fmtIdInput($('#tId')));
  for (const id of ['#tId', '#tKey']) $(id).addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => { if (e.key === 'Enter') connectTo(); });

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
  document.addEventListener('fullscreenchange', () => {
    if (document.fullscreenElement) return;
    const kb = /** @type {any} */ (navigator).keyboard;
    if (kb && kb.unlock) kb.unlock();
  });
  new ResizeObserver(onStageResize).observe($('#vstage'));
  wireLayer();

  // A header tab while the viewer is up means the technician wants the page behind it.
  document.querySelectorAll('nav.tabs button').forEach((b) => b.addEventListener('click', () => { if (viewerOpen()) minViewer(); }));
  $('#sesChip').onclick = openViewer;
  $('#sesList').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button'));
    if (!b) return;
    const k = b.dataset.view || b.dataset.voice || b.dataset.end || '';
    const s = TS.get(k) || (HSES && HSES.k === k ? HSES : null);
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

// ── chat and files ───────────────────────────────────────────────────────────────────────
// One chat panel serves every session. Files go on the session's `file` channel: an offer
// (fs), the other side's answer (fa), binary chunks only after a yes, then the end (fe).
// Everything that arrives on the channel is checked: a chunk nobody accepted is dropped,
// and a transfer never grows past the size it announced.

const CHAT_MAX = 300;
const CHAT_IN_MAX = 2000;
const FILE_MAX = 2000000000;
const CHUNK = 65536;
const BUF_HIGH = 8388608;
const BUF_LOW = 1048576;
const BUF_RECHECK = 500;
const OFFER_WAIT = 90000;
const NAME_MAX = 180;
/** The file is read from disk in blocks of this many chunks. */
const READ_CHUNKS = 16;
/**
 * Received chunks are handed to the browser's blob storage in pieces of this size, so the
 * page itself never holds more than one piece of a large file (the browser keeps big blobs
 * on disk).
 */
const RX_PIECE = 16777216;
const RISKY = /\.(exe|msi|bat|cmd|ps1|vbs|js|jse|scr|com|lnk|reg|hta|jar|dll)$/i;

/** @type {string|null} key of the session whose chat was opened last */
let CHATS = null;
/** @type {any} the session the file picker sends to */
let PICKS = null;
/** @type {Map<string, {el: HTMLElement, k: string, busy: boolean, timer: any}>} transfer boxes by transfer id */
const XFER = new Map();

// Pure rules ----------------------------------------------------------------------------------

/** Adds a line, dropping the oldest beyond the cap. */
function chatPush(/** @type {any[]} */ list, /** @type {any} */ line) {
  list.push(line);
  if (list.length > CHAT_MAX) list.splice(0, list.length - CHAT_MAX);
  return list;
}

/** A received file name that is safe to save: no path or reserved characters, bounded length. */
function cleanName(/** @type {any} */ v) {
  const s = typeof v === 'string' ? v.replace(/[\\/:*?"<>|\u0000-\u001f]/g, '_') : '';
  return [...s].slice(0, NAME_MAX).join('') || 'archivo';
}

/** 7 random base-36 characters. */
function fileId() {
  const abc = '0123456789abcdefghijklmnopqrstuvwxyz';
  const r = typeof crypto !== 'undefined' && crypto.getRandomValues ? crypto.getRandomValues(new Uint8Array(7)) : Array.from({ length: 7 }, () => Math.floor(Math.random() * 256));
  return Array.from(r, (b) => abc[b % 36]).join('');
}

/** A transfer id from the channel: exactly what fileId makes. */
function validId(/** @type {any} */ v) {
  return typeof v === 'string' && /^[0-9a-z]{7}$/.test(v);
}

/** An offered size: a whole number of bytes above 0 and within the limit. */
function sizeOk(/** @type {any} */ n) {
  return typeof n === 'number' && Number.isInteger(n) && n > 0 && n <= FILE_MAX;
}

/** "1.50 GB", "3.2 MB" or whole KB (at least 1). */
function fmtSize(/** @type {number} */ n) {
  if (n >= 1e9) return (n / 1e9).toFixed(2) + ' GB';
  if (n >= 1e6) return (n / 1e6).toFixed(1) + ' MB';
  return Math.max(1, Math.round(n / 1000)) + ' KB';
}

/** Names of files that can run programs when opened. */
function riskyName(/** @type {string} */ name) {
  return RISKY.test(name);
}

/** The byte ranges [start, end) of the chunks of a file. */
function chunkRanges(/** @type {number} */ size) {
  /** @type {[number, number][]} */
  const out = [];
  for (let at = 0; at < size; at += CHUNK) out.push([at, Math.min(size, at + CHUNK)]);
  return out;
}

/** Whether the sender must wait before the next chunk: too much is queued in the channel. */
function mustWait(/** @type {number} */ buffered) {
  return buffered > BUF_HIGH;
}

/** What to do with n bytes of file data: "drop" (nothing accepted), "cut" (past the announced size) or "keep". */
function rxTake(/** @type {any} */ rx, /** @type {number} */ n) {
  if (!rx || !rx.ok) return 'drop';
  return rx.got + n > rx.size ? 'cut' : 'keep';
}

/** Whole percentage of done out of size. */
function pct(/** @type {number} */ done, /** @type {number} */ size) {
  return size > 0 ? Math.min(100, Math.floor((done * 100) / size)) : 0;
}

// Sessions as the panel sees them ---------------------------------------------------------------

function sesByKey(/** @type {string|null} */ k) {
  if (!k) return null;
  return TS.get(k) || (HSES && HSES.k === k ? HSES : null);
}

/** The session in the viewer while it is open, else the helped session, else the shown technician one. */
function chatTarget() {
  const cur = curSes();
  if (viewerOpen() && cur) return cur;
  if (HSES && !HSES.dead) return HSES;
  return cur || null;
}

/** The session the panel shows: the one opened last while it still fits, else the target. */
function chatShown() {
  const s = sesByKey(CHATS);
  if (s && !s.dead && (s === chatTarget() || !viewerOpen())) return s;
  return chatTarget();
}

function chatOpen() {
  return !!$('#chat') && !$('#chat').hidden;
}

/** Several sessions at once: boxes and notes name the peer. */
function manySessions() {
  return TS.size + (HSES ? 1 : 0) > 1;
}

// Chat ------------------------------------------------------------------------------------------

/** A chat line of a session: its own (me) or the peer's; a peer's line the user can't see now is counted. */
function chatAdd(/** @type {any} */ s, /** @type {string} */ who, /** @type {string} */ text, /** @type {boolean} */ me) {
  if (!s || typeof text !== 'string' || !text) return;
  chatPush(s.chat, { who: String(who || ''), text: text.slice(0, CHAT_IN_MAX), me: !!me });
  if (!me) {
    if (s === chatTarget() && !chatOpen()) {
      CHATS = s.k;
      // Opened by the other side: the keyboard stays where the user is typing (maybe the remote PC).
      chatShow(false);
      return;
    }
    if (!chatOpen() || chatShown() !== s) {
      s.unread = (s.unread || 0) + 1;
      toast(t('sesNewChat', s.peer, text.slice(0, 80)), 5000);
      chatBadges();
    }
  }
  renderChat();
}

/** A system line (the session started, and the like). */
function chatSys(/** @type {any} */ s, /** @type {string} */ text) {
  if (!s || typeof text !== 'string') return;
  chatPush(s.chat, { sys: true, text });
  renderChat();
}

/** Where unread counts show: host bar, sessions list, viewer. */
function chatBadges() {
  renderHostBar();
  renderSessions(false);
  renderViewerBar();
}

/** Opens (true), closes (false) or flips the panel. */
function toggleChat(/** @type {boolean=} */ on) {
  const el = $('#chat');
  if (!el) return;
  if (on === undefined ? el.hidden : on) chatShow(true);
  else el.hidden = true;
}

/** Opens the panel on the session it should show; focus takes the keyboard to its input. */
function chatShow(/** @type {boolean} */ focus) {
  const el = $('#chat');
  if (!el) return;
  el.hidden = false;
  const s = chatShown();
  if (s) CHATS = s.k;
  renderChat();
  if (focus) setTimeout(() => { if (chatOpen()) $('#chatIn').focus(); }, 30);
}

/** The chat of one session; a technician session is shown in the viewer first. */
function openChatFor(/** @type {any} */ s) {
  if (!s || s.dead) return;
  if (s.role === 'tech' && (CUR !== s.k || !viewerOpen())) showSes(s.k);
  CHATS = s.k;
  toggleChat(true);
}

function sendChat() {
  const s = chatShown();
  const input = $('#chatIn');
  const text = String(input.value || '').trim().slice(0, CHAT_IN_MAX);
  if (!text || !s || s.dead) return;
  const c = s.dc && s.dc.ctl;
  if (!c || c.readyState !== 'open') return;
  ctl(s, { t: 'chat', text });
  input.value = '';
  chatAdd(s, '', text, true);
}

function renderChat() {
  xferSweep();
  if (!chatOpen()) return;
  const s = chatShown();
  $('#chatWho').textContent = '💬 ' + (s ? s.peer : 'Chat');
  if (s && s.unread) {
    s.unread = 0;
    chatBadges();
  }
  const log = $('#chatlog');
  log.innerHTML = (s ? s.chat : [])
    .map((/** @type {any} */ l) => l.sys
      ? `<div class="cl sys">${esc(l.text)}</div>`
      : `<div class="cl${l.me ? ' me' : ''}"><b>${esc(l.me ? t('you') : l.who)}</b><span>${esc(l.text)}</span></div>`)
    .join('');
  log.scrollTop = log.scrollHeight;
  $('#chatIn').disabled = $('#chatSend').disabled = !s || s.dead;
}

// Transfer boxes --------------------------------------------------------------------------------

/**
 * The box of transfer id, replaced in place. With a percentage it shows a bar and stays;
 * without one it goes after 6 s.
 */
function xferBox(/** @type {string} */ id, /** @type {any} */ s, /** @type {string} */ name, /** @type {string} */ text, /** @type {number|undefined} */ p = undefined) {
  const wrap = $('#xfer');
  if (!wrap) return;
  let x = XFER.get(id);
  if (!x) {
    const el = document.createElement('div');
    el.className = 'xf';
    wrap.appendChild(el);
    x = { el, k: s ? s.k : '', busy: false, timer: 0 };
    XFER.set(id, x);
  }
  clearTimeout(x.timer);
  x.busy = p !== undefined;
  x.el.classList.toggle('done', !x.busy);
  x.el.innerHTML = `<div class="xn" title="${esc(name)}">📁 ${esc(name)}</div><div class="xt">${esc(text)}</div>`
    + (x.busy ? `<div class="xbar"><i style="width:${Math.max(0, Math.min(100, Number(p) || 0))}%"></i></div>` : '');
  if (!x.busy) {
    const box = x;
    x.timer = setTimeout(() => {
      box.el.remove();
      if (XFER.get(id) === box) XFER.delete(id);
      wrap.hidden = !wrap.children.length;
    }, 6000);
  }
  wrap.hidden = false;
}

/** Transfers of sessions that ended stop showing progress. */
function xferSweep() {
  for (const [id, x] of XFER) {
    const s = sesByKey(x.k);
    if (x.busy && (!s || s.dead)) {
      const n = x.el.querySelector('.xn');
      xferBox(id, null, n ? n.textContent.replace(/^📁 /, '') : '', t('fileNo'));
    }
  }
}

// Sending -------------------------------------------------------------------------------------

/** The file picker for a session. */
function pickFile(/** @type {any} */ s) {
  PICKS = s;
  const input = $('#filePick');
  input.value = '';
  input.click();
}

/** Files of one pick or drop, one after another; later picks wait for earlier ones. */
function sendFiles(/** @type {FileList|File[]} */ files, /** @type {any} */ s) {
  const list = [...files];
  if (!s || !list.length) return Promise.resolve();
  s.fileChain = (s.fileChain || Promise.resolve()).then(async () => {
    for (const f of list) await sendFile(f, s).catch((e) => console.warn('archivo', e));
  });
  return s.fileChain;
}

/** A JSON message on the file channel; false when it is not open. */
function fileSend(/** @type {any} */ s, /** @type {any} */ m) {
  const ch = s && s.dc && s.dc.file;
  if (!ch || ch.readyState !== 'open') return false;
  try {
    ch.send(JSON.stringify(m));
    return true;
  } catch {
    return false;
  }
}

/** Resolves true on a yes for offer id, false on a no, after 90 s or when the session ends. */
function offerAnswer(/** @type {any} */ s, /** @type {string} */ id) {
  if (!s.ask) s.ask = new Map();
  return new Promise((resolve) => {
    const done = (/** @type {boolean} */ ok) => {
      clearTimeout(wait);
      clearInterval(alive);
      s.ask.delete(id);
      resolve(ok);
    };
    const wait = setTimeout(() => done(false), OFFER_WAIT);
    const alive = setInterval(() => { if (s.dead) done(false); }, 1000);
    s.ask.set(id, done);
  });
}

/** Until the channel's queue runs low, or 500 ms at the latest. */
function drained(/** @type {RTCDataChannel} */ ch) {
  return new Promise((resolve) => {
    const done = () => {
      clearTimeout(timer);
      ch.removeEventListener('bufferedamountlow', done);
      ch.removeEventListener('close', done);
      resolve(undefined);
    };
    const timer = setTimeout(done, BUF_RECHECK);
    ch.addEventListener('bufferedamountlow', done);
    ch.addEventListener('close', done);
  });
}

async function sendFile(/** @type {File} */ f, /** @type {any} */ s) {
  const ch = s && !s.dead && s.dc && s.dc.file;
  if (!ch || ch.readyState !== 'open') return toast(t('fileNoSession'));
  if (f.size > FILE_MAX) return toast(t('fileTooBig'));
  const id = fileId();
  const to = manySessions() ? ' → ' + s.peer : '';
  xferBox(id, s, f.name, t('fileAsk') + to, 0);
  const ok = fileSend(s, { t: 'fs', id, name: f.name, size: f.size }) && (await offerAnswer(s, id));
  if (!ok || s.dead) return xferBox(id, s, f.name, t('fileNo') + to);
  ch.bufferedAmountLowThreshold = BUF_LOW;
  let n = 0, at = 0;
  try {
    while (at < f.size) {
      const block = new Uint8Array(await f.slice(at, at + CHUNK * READ_CHUNKS).arrayBuffer());
      if (!block.length) throw new Error('el archivo se acortó');
      for (let i = 0; i < block.length; i += CHUNK) {
        while (mustWait(ch.bufferedAmount) && !s.dead && ch.readyState === 'open') await drained(ch);
        if (s.dead || ch.readyState !== 'open') return xferBox(id, s, f.name, t('fileNo') + to);
        ch.send(block.subarray(i, Math.min(block.length, i + CHUNK)));
        if (++n % 32 === 0) xferBox(id, s, f.name, t('fileSending', pct(at + i + CHUNK, f.size)) + to, pct(at + i + CHUNK, f.size));
      }
      at += block.length;
    }
  } catch (e) {
    // The file could not be read to the end: the end mark tells the other side to drop what it got.
    console.warn('archivo', e);
    fileSend(s, { t: 'fe', id });
    return xferBox(id, s, f.name, t('fileNo') + to);
  }
  fileSend(s, { t: 'fe', id });
  xferBox(id, s, f.name, t('fileSent') + to);
  chatAdd(s, '', '📁 ' + f.name, true);
}

// Receiving -------------------------------------------------------------------------------------

/** Everything on a session's file channel. */
function fileMsg(/** @type {any} */ s, /** @type {any} */ data) {
  if (!s || s.dead) return;
  if (typeof data !== 'string') {
    if (Object.prototype.toString.call(data) === '[object ArrayBuffer]') fileData(s, data);
    return;
  }
  const m = wireMsg(data, 4096);
  if (!m) return;
  switch (m.t) {
    case 'fa': {
      if (!validId(m.id)) break;
      const done = s.ask && s.ask.get(m.id);
      if (done) done(m.ok === true);
      // A yes that came after this side gave up: the end mark frees the other side's slot.
      else if (m.ok === true) fileSend(s, { t: 'fe', id: m.id });
      break;
    }
    case 'fs':
      fileOffer(s, m);
      break;
    case 'fe':
      fileEnd(s, m);
      break;
    default:
      console.log('file: mensaje desconocido', m.t);
  }
}

/** Any dialog up: a file offer would hide it or be hidden. */
function dialogUp() {
  return ['#modal', '#reqModal', '#ringModal'].some((sel) => { const el = $(sel); return !!el && !el.hidden; });
}

function fileOffer(/** @type {any} */ s, /** @type {any} */ m) {
  if (!validId(m.id)) return;
  const id = m.id;
  const size = typeof m.size === 'string' && m.size.trim() !== '' ? Number(m.size) : m.size;
  if (s.rx || !sizeOk(size) || dialogUp()) return void fileSend(s, { t: 'fa', id, ok: false });
  const name = cleanName(m.name);
  s.rx = { id, name, size, parts: [], buf: [], pend: 0, got: 0, n: 0, ok: false };
  modal(`<h3>${esc(t('fileOffer'))}</h3>
<div><b>${esc(s.peer)}</b>${esc(t('fileWants'))}</div>
<div class="fileName"><b>${esc(name)}</b> <span class="muted">(${esc(fmtSize(size))})</span></div>
${riskyName(name) ? `<div class="fileRisky">${esc(t('fileRisky'))}</div>` : ''}
<div class="hint">${esc(t('fileWhere'))}</div>
<div class="actions"><button id="fileNoBtn">${esc(t('reject'))}</button><button id="fileYesBtn" class="primary">${esc(t('accept'))}</button></div>`,
  () => {
    clearInterval(watch);
    fileAnswer(s.k, id, false);
  });
  $('#fileNoBtn').onclick = closeModal;
  $('#fileYesBtn').onclick = () => {
    fileAnswer(s.k, id, true);
    closeModal();
  };
  $('#fileNoBtn').focus();
  // The sender gives up after 90 s and with the session; so does the question.
  const until = Date.now() + OFFER_WAIT;
  const watch = setInterval(() => {
    if (s.dead || Date.now() > until || !s.rx || s.rx.id !== id) {
      clearInterval(watch);
      if (s.rx && s.rx.id === id && !s.rx.ok && $('#fileNoBtn')) closeModal();
    }
  }, 1000);
}

/** The answer to the pending offer id of session key (the dialog's buttons; a dialog closed otherwise says no). */
function fileAnswer(/** @type {string} */ key, /** @type {string} */ id, /** @type {boolean} */ ok) {
  const s = sesByKey(key);
  if (!s || !s.rx || s.rx.id !== id || s.rx.ok) return;
  if (ok && !s.dead) {
    s.rx.ok = true;
    xferBox(id, s, s.rx.name, t('fileRecv', 0), 0);
  } else s.rx = null;
  fileSend(s, { t: 'fa', id, ok: ok && !s.dead });
}

function fileData(/** @type {any} */ s, /** @type {ArrayBuffer} */ data) {
  const rx = s.rx;
  const what = rxTake(rx, data.byteLength);
  if (what === 'drop') return;
  if (what === 'cut') {
    s.rx = null;
    return xferBox(rx.id, s, rx.name, t('fileNo'));
  }
  rx.buf.push(data);
  rx.got += data.byteLength;
  rx.pend += data.byteLength;
  if (rx.pend >= RX_PIECE) {
    rx.parts.push(new Blob(rx.buf));
    rx.buf = [];
    rx.pend = 0;
  }
  if (++rx.n % 32 === 0) xferBox(rx.id, s, rx.name, t('fileRecv', pct(rx.got, rx.size)), pct(rx.got, rx.size));
}

function fileEnd(/** @type {any} */ s, /** @type {any} */ m) {
  const rx = s.rx;
  if (!rx || !rx.ok || m.id !== rx.id) return;
  s.rx = null;
  // An end before all the announced bytes came is a broken transfer, not a smaller file.
  if (rx.got !== rx.size) return xferBox(rx.id, s, rx.name, t('fileNo'));
  saveBlob(new Blob([...rx.parts, ...rx.buf]), rx.name);
  xferBox(rx.id, s, rx.name, t('fileDone'));
  chatAdd(s, s.peer, '📁 ' + rx.name, false);
}

/** Hands a blob to the browser's download under name (into the Downloads folder). */
function saveBlob(/** @type {Blob} */ blob, /** @type {string} */ name) {
  const url = URL.createObjectURL(blob);
  const a = document.createElement('a');
  a.href = url;
  a.download = name;
  a.rel = 'noopener';
  a.hidden = true;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// Wiring ----------------------------------------------------------------------------------------

function wireChat() {
  $('#chatClose').onclick = () => toggleChat(false);
  $('#chatSend').onclick = sendChat;
  $('#chatIn').addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => {
    if (e.key === 'Enter' && !e.shiftKey && !e.isComposing) {
      e.preventDefault();
      sendChat();
    } else if (e.key === 'Escape') toggleChat(false);
  });
  $('#filePick').addEventListener('change', () => {
    const input = $('#filePick');
    const files = input.files ? [...input.files] : [];
    const s = PICKS;
    PICKS = null;
    input.value = '';
    if (files.length && s && !s.dead) sendFiles(files, s);
  });
}

if (typeof document !== 'undefined' && document.readyState !== 'loading') wireChat();
else addEventListener('DOMContentLoaded', wireChat);

// ── voice ────────────────────────────────────────────────────────────────────────────────
// Voice runs as lines, like a small switchboard: a phone call to or from an ID (its own peer
// connection and `ph` channel) or the voice of a support session (the session's transceiver
// 2). Only the line, or the conference, on air hears and is heard; the others are held. A
// conference is mixed on this PC: each member is sent the microphone plus the other members,
// never its own voice back, so the other PCs need nothing special.
//
// Phone line states: calling → ringing → connecting → active (caller); connecting → active
// (callee). Every line ends through lineEnd, once.

const MAX_LINES = 8;
const RING_SHOW_MS = 44000;
const PHONE_CONNECT_MS = 40000;
const PHONE_LOSS_MS = 12000;
const RING_PING_MS = 25000;
const DEV_SETTLE_MS = 900;
/** Messages on `ph` are a few bytes; anything longer is not ours. */
const PH_MAX = 4096;

/** @type {Map<string, any>} voice lines by key ("l" + n) */
const LINES = new Map();
let LINEN = 0;
/**
 * The local mixer: one audio context, the open microphone and its source, the gain that
 * mutes it, an analyser for the own meter, and the queue that serializes reopening.
 * @type {any}
 */
const MIX = { ac: null, mic: null, src: null, micGain: null, an: null, muted: false, swapq: Promise.resolve(), watch: null, silent: false, blocked: false };
/** @type {{mics: {id: string, name: string}[], outs: {id: string, name: string}[], labels: boolean, defMic: string}} */
const DEVS = { mics: [], outs: [], labels: false, defMic: '' };
/** @type {any} the incoming ring on show: cid, name, from, claimed, ice, until, timer */
let RINGIN = null;
/** @type {any} the tone player */
const RING = { ac: null, kind: '', timer: 0 };
let DOCKMIN = store('trv_dockmin', undefined) === '1';
/** Speakers already reported missing, so the toast shows once per name. */
const SPK_WARNED = new Set();
/** @type {any} the 200 ms refresh of statuses and meters while lines exist */
let VOICE_TICK = 0;
/** @type {any} the Call tab's microphone test */
let MICTEST = null;
/** Rings the caller gave up while this side was still opening its microphone to answer. */
const RINGS_GONE = new Set();
/** Who takes a device away, as the log names it: on Linux it is not Windows. */
const ON_WINDOWS = typeof navigator !== 'undefined' && /Windows/i.test(navigator.userAgent || '');

// Pure rules ----------------------------------------------------------------------------------

/** A line that hears and is heard: active and not held. */
function onAir(/** @type {any} */ L) {
  return L.state === 'active' && !L.held;
}

/** The remote voice of a line: the phone connection's stream, or the session's voice element's. */
function remoteOf(/** @type {any} */ L) {
  if (L.kind === 'ses' && L.ses && L.ses.vaud && L.ses.vaud.srcObject) return L.ses.vaud.srcObject;
  return L.remote || null;
}

/**
 * What feeds each line's outgoing mix, by line key: "mic" while the line is on air, and in a
 * conference the keys of the other members on air that have a remote voice. A line is never
 * fed its own voice.
 */
function routePlan(/** @type {any[]} */ lines) {
  /** @type {Map<string, string[]>} */
  const plan = new Map();
  for (const L of lines) {
    const src = [];
    if (onAir(L)) {
      src.push('mic');
      if (L.conf) for (const o of lines) if (o !== L && o.conf && onAir(o) && remoteOf(o)) src.push(o.k);
    }
    plan.set(L.k, src);
  }
  return plan;
}

/** Why an ID can't be called ('' when it can). */
function ringCheck(/** @type {string} */ id, /** @type {string} */ own) {
  if (!/^[1-9]\d{8}$/.test(id)) return 'badId';
  return id === own ? 'selfId' : '';
}

/** The caller's toast for a declined ring. */
function declineKey(/** @type {any} */ reason) {
  return { busy: 'phBusy', limit: 'phLimit', offline: 'phOffline', timeout: 'phNoAnswer', unavailable: 'phUnavailable' }[String(reason)] || 'phDeclined';
}

/** The answer an incoming ring gets without asking anyone ('' = show it). */
function ringVerdict(/** @type {boolean} */ accepting, /** @type {boolean} */ showing, /** @type {number} */ lines, /** @type {boolean} */ known) {
  if (!accepting) return 'unavailable';
  return showing || lines >= MAX_LINES || known ? 'busy' : '';
}

/** The toast key for a microphone that could not open. */
function micFailKey(/** @type {string} */ name) {
  if (name === 'NotAllowedError' || name === 'SecurityError') return 'micDenied2';
  if (name === 'NotFoundError' || name === 'OverconstrainedError') return 'micNone';
  if (name === 'NotReadableError' || name === 'AbortError') return 'micBusy';
  return 'micErr';
}

/** A device's name without the role word the system puts before the default one. */
function devName(/** @type {any} */ label) {
  return String(label || '').replace(/^(default|predeterminad[oa]|communications|comunicaciones)\s*-\s*/i, '').trim();
}

/** A stored device in a list: by id, else by name (then `moved` says its id changed). */
function findDev(/** @type {{id: string, name: string}[]} */ list, /** @type {string} */ id, /** @type {string} */ name) {
  const byId = id ? list.find((d) => d.id === id) : undefined;
  if (byId) return { dev: byId, moved: false };
  const byName = name ? list.find((d) => d.name === name) : undefined;
  return { dev: byName || null, moved: !!byName };
}

/** A meter's level 0..100 from the samples' RMS. */
function levelOfSamples(/** @type {Float32Array} */ d) {
  let sum = 0;
  for (let i = 0; i < d.length; i++) sum += d[i] * d[i];
  return Math.min(100, Math.sqrt(sum / (d.length || 1)) * 400);
}

/** A line's status in the dock: state, or hold/conference/active, time, round trip, relay, the peer's state. */
function lineStatus(/** @type {any} */ L, /** @type {number} */ now) {
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

// Lines: hold, focus, merge ---------------------------------------------------------------------

function newLine(/** @type {'phone'|'ses'} */ kind, /** @type {any} */ init) {
  /** @type {any} */
  const L = {
    k: 'l' + ++LINEN, kind, role: '', cid: '', ws: null, pc: null, dc: null, ses: null, peer: '', peerId: '',
    state: 'connecting', held: false, conf: false, vol: 1, audio: null, ownAudio: false, remote: null, rsrc: null,
    an: null, level: 0, dest: null, track: null, feeds: [], started: 0, rtt: -1, relay: false, peerMuted: false,
    peerHold: false, ice: [], iceq: [], sigq: [], sigChain: Promise.resolve(), timers: {}, dead: false,
  };
  Object.assign(L, init);
  if (MIX.ac) {
    L.dest = MIX.ac.createMediaStreamDestination();
    L.track = L.dest.stream.getAudioTracks()[0] || null;
  }
  LINES.set(L.k, L);
  return L;
}

/** Tells the peer whether this side holds the line (and, for phones, whether it is muted). */
function tellHold(/** @type {any} */ L) {
  if (L.kind === 'ses') ctl(L.ses, { t: 'hold', on: !!L.held });
  else {
    phSend(L, { t: 'hold', on: !!L.held });
    phSend(L, { t: 'mute', on: !!L.held || MIX.muted });
  }
}

function setHeld(/** @type {any} */ L, /** @type {boolean} */ on) {
  if (!!L.held === on) return;
  L.held = on;
  tellHold(L);
  if (L.kind === 'ses') refreshSession(L.ses);
}

/** After any change of hold or conference: route the mixer, the tones, the views. */
function linesChanged() {
  mixRoute();
  ringTone();
  renderDock();
}

/** Puts line k on air and holds every other, except the other members of its conference. */
function lineFocus(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L) return;
  for (const o of LINES.values()) setHeld(o, !(o === L || (L.conf && o.conf)));
  linesChanged();
}

/** Hold on a held line brings it back; on a conference member it holds the whole conference. */
function lineHold(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L) return;
  if (L.held) return lineFocus(k);
  for (const o of LINES.values()) if (o === L || (L.conf && o.conf)) setHeld(o, true);
  linesChanged();
}

/** Joins line k to the lines on air in one conference. */
function lineMerge(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L || L.state !== 'active') return;
  const air = [...LINES.values()].filter((o) => o !== L && onAir(o));
  if (!air.length) return toast(t('lnMergeNeed'), 6000);
  for (const o of air) o.conf = true;
  L.conf = true;
  lineFocus(k);
  toast(t('lnMerged'), 5000);
}

function lineMergeAll() {
  const act = [...LINES.values()].filter((o) => o.state === 'active');
  if (act.length < 2) return;
  for (const o of act) o.conf = true;
  lineFocus(act[0].k);
}

/** Takes a line out of the conference and puts it on air alone; a conference of one dissolves. */
function lineSplit(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L) return;
  L.conf = false;
  dissolveLoneConf();
  lineFocus(k);
}

function dissolveLoneConf() {
  const conf = [...LINES.values()].filter((o) => o.conf);
  if (conf.length === 1) conf[0].conf = false;
}

function lineVol(/** @type {string} */ k, /** @type {number} */ v) {
  const L = LINES.get(k);
  if (!L) return;
  L.vol = Math.max(0, Math.min(1, (Number(v) || 0) / 100));
  mixRoute();
}

function micMuteAll() {
  MIX.muted = !MIX.muted;
  if (MIX.micGain) MIX.micGain.gain.value = MIX.muted ? 0 : 1;
  for (const L of LINES.values()) if (L.kind === 'phone') phSend(L, { t: 'mute', on: !!L.held || MIX.muted });
  renderDock();
}

// The mixer ------------------------------------------------------------------------------------

function mixContext() {
  if (!MIX.ac) {
    MIX.ac = new AudioContext({ latencyHint: 'interactive' });
    MIX.micGain = MIX.ac.createGain();
    MIX.micGain.gain.value = MIX.muted ? 0 : 1;
    MIX.an = MIX.ac.createAnalyser();
    MIX.an.fftSize = 512;
  }
  if (MIX.ac.state === 'suspended') MIX.ac.resume().catch(() => {});
  return MIX.ac;
}

/** The mixer's source node of a line's remote voice (made once there is a stream). */
function sourceOf(/** @type {any} */ L) {
  const st = remoteOf(L);
  if (!MIX.ac || !st || !st.getAudioTracks().length) return null;
  if (!L.rsrc || L.rsrcOf !== st) {
    try {
      if (L.rsrc) L.rsrc.disconnect();
      L.rsrc = MIX.ac.createMediaStreamSource(st);
      L.rsrcOf = st;
      L.an = MIX.ac.createAnalyser();
      L.an.fftSize = 512;
      L.rsrc.connect(L.an);
    } catch {
      return null;
    }
  }
  return L.rsrc;
}

function unfeed(/** @type {any} */ L) {
  for (const f of L.feeds || []) {
    try {
      f.from.disconnect(f.g);
    } catch {}
    try {
      f.g.disconnect();
    } catch {}
  }
  L.feeds = [];
}

/** Rebuilds every line's outgoing mix from scratch and mutes the held lines' playback. */
function mixRoute() {
  const lines = [...LINES.values()];
  const plan = routePlan(lines);
  for (const L of lines) {
    unfeed(L);
    if (MIX.ac && L.dest) {
      for (const src of plan.get(L.k) || []) {
        const from = src === 'mic' ? MIX.micGain : sourceOf(LINES.get(src));
        if (!from) continue;
        const g = MIX.ac.createGain();
        from.connect(g);
        g.connect(L.dest);
        L.feeds.push({ from, g });
      }
    }
    sourceOf(L);
    if (L.audio) {
      L.audio.muted = !!L.held;
      L.audio.volume = Math.min(1, L.vol);
    }
  }
}

/** Puts an opened microphone into the mixer in place of the old one. */
function useMic(/** @type {MediaStream} */ st) {
  mixContext();
  const old = MIX.mic;
  if (MIX.src) {
    try {
      MIX.src.disconnect();
    } catch {}
  }
  MIX.mic = st;
  MIX.src = MIX.ac.createMediaStreamSource(st);
  MIX.src.connect(MIX.micGain);
  MIX.src.connect(MIX.an);
  MIX.watch = { since: 0, max: 0, posted: false };
  MIX.silent = MIX.blocked = false;
  const tr = st.getAudioTracks()[0];
  if (tr) tr.addEventListener('ended', () => micEnded(st, tr.label));
  if (old && old !== st) old.getTracks().forEach((x) => { x.stop(); });
}

/** The mixer's microphone, opened once for all lines; false when it can't open. */
async function openMic() {
  mixContext();
  if (MIX.mic && MIX.mic.getAudioTracks().some((/** @type {MediaStreamTrack} */ x) => x.readyState === 'live')) return true;
  const st = await getMic({});
  if (!st) return false;
  if (MIX.mic && MIX.mic.getAudioTracks().some((/** @type {MediaStreamTrack} */ x) => x.readyState === 'live')) {
    st.getTracks().forEach((x) => x.stop());
    return true;
  }
  useMic(st);
  return true;
}

/** The microphone opened for a line that did not come to be. */
function closeUnusedMic() {
  if (!LINES.size) closeMic();
}

function closeMic() {
  if (MIX.src) {
    try {
      MIX.src.disconnect();
    } catch {}
  }
  if (MIX.mic) MIX.mic.getTracks().forEach((/** @type {MediaStreamTrack} */ x) => x.stop());
  MIX.mic = MIX.src = null;
  MIX.silent = MIX.blocked = false;
}

function micTrack() {
  return MIX.mic ? MIX.mic.getAudioTracks()[0] || null : null;
}

/** A stream's level 0..100 from an analyser. */
function levelOf(/** @type {AnalyserNode|null} */ an) {
  if (!an) return 0;
  const d = new Float32Array(an.fftSize);
  an.getFloatTimeDomainData(d);
  return levelOfSamples(d);
}

// Devices ----------------------------------------------------------------------------------------

async function loadDevices() {
  /** @type {MediaDeviceInfo[]} */
  let list = [];
  try {
    list = await navigator.mediaDevices.enumerateDevices();
  } catch {}
  const mine = (/** @type {string} */ kind) => list
    .filter((d) => d.kind === kind && d.deviceId && d.deviceId !== 'default' && d.deviceId !== 'communications')
    .slice(0, 64)
    .map((d) => ({ id: d.deviceId, name: devName(d.label).slice(0, 120) }));
  DEVS.mics = mine('audioinput');
  DEVS.outs = mine('audiooutput');
  DEVS.labels = list.some((d) => !!d.label);
  const def = list.find((d) => d.kind === 'audioinput' && d.deviceId === 'default');
  DEVS.defMic = def ? devName(def.label) : '';
  renderDevs();
  renderDock(true);
}

/**
 * The stored device of a kind as it is now: found by id, else by name (a USB device that came
 * back with a new id: the id is corrected in the settings).
 */
function wantedDev(/** @type {'mic'|'spk'} */ kind) {
  const [idKey, nameKey, list, tag] = kind === 'mic' ? ['microfono', 'microfono_nombre', DEVS.mics, 'MICROFONO'] : ['bocina', 'bocina_nombre', DEVS.outs, 'BOCINA'];
  const id = setting('llamada', idKey), name = setting('llamada', nameKey);
  if (!id && !name) return { dev: null, name: '', missing: false };
  const { dev, moved } = findDev(list, id, name);
  // A device listed without its label (no permission yet) keeps the stored name.
  if (dev && (moved || (dev.name && dev.name !== name))) {
    if (moved) diag(`[${tag}] «${dev.name}» volvió con otro identificador; lo actualizo`);
    saveDev(idKey, nameKey, dev);
  }
  return { dev, name: name || id, missing: !dev };
}

function saveDev(/** @type {string} */ idKey, /** @type {string} */ nameKey, /** @type {{id: string, name: string}|null} */ dev) {
  AJ.llamada[idKey] = dev ? dev.id : '';
  AJ.llamada[nameKey] = dev ? dev.name : '';
  return post('/api/ajustes', { llamada: { [idKey]: AJ.llamada[idKey], [nameKey]: AJ.llamada[nameKey] } }).catch(() => {});
}

/**
 * Opens a microphone: the chosen one, else the default, else with no options at all. A busy
 * device gets two more tries; a refusal stops everything. Gives the stream or null.
 */
async function getMic(/** @type {{proc?: boolean, quiet?: boolean, silent?: boolean}} */ opts = {}) {
  const proc = opts.proc ?? yes(setting('llamada', 'procesar_voz'));
  if (!DEVS.labels) await loadDevices();
  const want = wantedDev('mic');
  const base = { echoCancellation: proc, noiseSuppression: proc, autoGainControl: proc };
  /** @type {[string, MediaStreamConstraints, string][]} */
  const tries = [];
  if (want.dev) tries.push(['elegido', { audio: { ...base, deviceId: { exact: want.dev.id } } }, want.dev.name]);
  tries.push(['predeterminado', { audio: base }, '']);
  tries.push(['sin opciones', { audio: true }, '']);
  /** @type {any} */
  let first = null;
  /** @type {any} */
  let last = null;
  for (const [name, c, label] of tries) {
    for (let n = 0; n < 3; n++) {
      try {
        const st = await navigator.mediaDevices.getUserMedia(c);
        const tr = st.getAudioTracks()[0];
        if (first) diag(`[MICROFONO] abierto con «${tr ? tr.label : ''}» (${name}) después de: ${first.name}`);
        if (want.name && name !== 'elegido' && !opts.quiet) toast(t('micFallback', want.name), 8000);
        if (!DEVS.labels) loadDevices();
        return st;
      } catch (e) {
        const err = /** @type {any} */ (e) || {};
        first = first || err;
        last = err;
        diag(`[MICROFONO] no abrió (${name}${label ? ` «${label}»` : ''}): ${err.name} ${err.message}`);
        if (err.name === 'NotAllowedError' || err.name === 'SecurityError') return micFailed(err, opts);
        if ((err.name === 'NotReadableError' || err.name === 'AbortError') && n < 2) {
          await sleep(800);
          continue;
        }
        break;
      }
    }
  }
  return micFailed(last, opts);
}

function micFailed(/** @type {any} */ err, /** @type {any} */ opts) {
  if (!opts.silent) {
    const key = micFailKey(err && err.name);
    toast(key === 'micErr' ? t('micErr', (err && err.message) || '') : t(key), 9000);
  }
  return null;
}

/** The microphone in use went away: reopen it everywhere a moment later. */
function micEnded(/** @type {MediaStream} */ st, /** @type {string} */ label) {
  if (MIX.mic !== st || !LINES.size) return;
  diag(`[MICROFONO] «${label}» se cerró (desconectado o ${ON_WINDOWS ? 'Windows' : 'el sistema'} lo quitó)`);
  setTimeout(async () => {
    await loadDevices();
    const ok = await swapAll();
    const want = wantedDev('mic');
    toast(!ok ? t('micLost') : want.missing ? t('micFallback', want.name) : t('micBack'), 8000);
  }, DEV_SETTLE_MS);
}

/** The group call under way, whose microphone follows a change of device too. */
function groupCallNow() {
  return typeof CALLX !== 'undefined' && CALLX && typeof callSwapMic === 'function' ? CALLX : null;
}

/**
 * Reopens the microphone for every line, one reopening at a time in request order; withCall
 * reopens the group call's too (its own watcher already handles a microphone that ends).
 */
function swapAll(withCall = false) {
  const run = async () => {
    const call = withCall ? groupCallNow() : null;
    if (call) await callSwapMic(call);
    if (!LINES.size) return !!call;
    const st = await getMic({ quiet: true, silent: true });
    if (!st) return false;
    if (!LINES.size) {
      st.getTracks().forEach((x) => x.stop());
      return false;
    }
    useMic(st);
    return true;
  };
  const p = MIX.swapq.then(run, run);
  MIX.swapq = p.catch(() => false);
  return p;
}

/** Devices came or went: reload, re-apply the speaker, and reopen the microphone if it fell. */
let devTimer = /** @type {any} */ (0);
function onDevChange() {
  clearTimeout(devTimer);
  devTimer = setTimeout(async () => {
    await loadDevices();
    allAudio().forEach((el) => applySink(el, true));
    if (RING.ac) sinkCtx(RING.ac);
    const call = groupCallNow();
    if (!LINES.size && !call) return;
    const tr = micTrack() || (call && call.mic ? call.mic.getAudioTracks()[0] : null);
    const want = wantedDev('mic');
    const dead = LINES.size > 0 && (!tr || tr.readyState !== 'live');
    const cur = tr ? devName(tr.label) : '';
    const wrong = !!want.dev && cur !== want.dev.name;
    if (dead || wrong) {
      diag(`[MICROFONO] cambio de dispositivos: en uso «${cur}»${dead ? ' (caído)' : ''}, toca «${want.dev ? want.dev.name : DEVS.defMic}»`);
      swapAll(wrong);
    }
  }, DEV_SETTLE_MS);
}

/** Every element that plays sound: the sessions' and the lines'. */
function allAudio() {
  const set = new Set(/** @type {HTMLMediaElement[]} */ ([...document.querySelectorAll('audio')]));
  for (const s of [...TS.values(), ...(HSES ? [HSES] : [])]) for (const el of [s.vaud, s.aud]) if (el) set.add(el);
  for (const L of LINES.values()) if (L.audio) set.add(L.audio);
  return [...set];
}

/** The chosen speaker's id ('' = the system's default); a missing one is told once per name. */
function speakerId(/** @type {boolean} */ quiet) {
  const want = wantedDev('spk');
  if (want.missing && !quiet && !SPK_WARNED.has(want.name)) {
    SPK_WARNED.add(want.name);
    toast(t('spkFallback', want.name), 8000);
  }
  return want.dev ? want.dev.id : '';
}

/** Plays an element on the chosen speaker; a failure falls back to the default one. */
function applySink(/** @type {HTMLMediaElement} */ el, quiet = false) {
  const any = /** @type {any} */ (el);
  if (!el || typeof any.setSinkId !== 'function') return;
  const id = speakerId(quiet);
  if (any.sinkId === id) return;
  any.setSinkId(id).catch((/** @type {any} */ e) => {
    diag(`[BOCINA] «${setting('llamada', 'bocina_nombre') || id}» no se pudo usar: ${e && e.name}; uso la predeterminada`);
    any.setSinkId('').catch(() => {});
  });
}

function sinkCtx(/** @type {any} */ ac) {
  if (ac && typeof ac.setSinkId === 'function') ac.setSinkId(speakerId(true)).catch(() => ac.setSinkId('').catch(() => {}));
}

async function setSpeaker(/** @type {string} */ id) {
  const dev = DEVS.outs.find((d) => d.id === id) || null;
  await saveDev('bocina', 'bocina_nombre', dev);
  allAudio().forEach((el) => applySink(el, true));
  if (RING.ac) sinkCtx(RING.ac);
  toast(t('spkSet'));
  renderDevs();
  renderDock(true);
}

async function setMicDev(/** @type {string} */ id) {
  const dev = DEVS.mics.find((d) => d.id === id) || null;
  await saveDev('microfono', 'microfono_nombre', dev);
  toast(t('micSet'));
  if (LINES.size || groupCallNow()) swapAll(true);
  renderDevs();
  renderDock(true);
}

// Session voice ------------------------------------------------------------------------------------

/** Runs fn once the session's control channel is open (now, if it is). */
function whenCtl(/** @type {any} */ s, /** @type {() => void} */ fn) {
  const c = s.dc && s.dc.ctl;
  if (c && c.readyState === 'open') fn();
  else if (c) c.addEventListener('open', () => { if (!s.dead) fn(); }, { once: true });
}

/** The session's voice on: a line that sends on the voice transceiver and plays in its voice element. */
async function startSesLine(/** @type {any} */ s) {
  if (!s || s.dead) return;
  if (s.line) return lineFocus(s.line.k);
  if (LINES.size >= MAX_LINES) return toast(t('lnMax'));
  if (!(await openMic())) return;
  if (s.dead || s.line) return closeUnusedMic();
  if (LINES.size >= MAX_LINES) return toast(t('lnMax'));
  const L = newLine('ses', { ses: s, peer: s.peer, peerId: s.peerId || '', state: 'active', started: Date.now(), audio: s.vaud || null });
  s.line = L;
  if (s.vaud) applySink(s.vaud);
  if (s.voice && s.voice.sender) s.voice.sender.replaceTrack(L.track).catch(() => {});
  whenCtl(s, () => {
    if (L.dead) return;
    ctl(s, { t: 'call', on: true });
    if (L.held) ctl(s, { t: 'hold', on: true });
  });
  post('/api/llamada', { k: L.k, activa: true, tipo: 'sesion', con: s.peer }).catch(() => {});
  lineFocus(L.k);
  if (s.role === 'tech' && viewerOpen() && CUR === s.k) dockMin(true);
  startVoiceTick();
  refreshSession(s);
}

/** The voice button of a session: on, back on air when held, or off. */
function sesVoiceToggle(/** @type {any} */ s) {
  if (!s || s.dead) return;
  if (!s.line) startSesLine(s);
  else if (s.line.held) lineFocus(s.line.k);
  else lineEnd(s.line, 'local');
}

/** `call` and `hold` from the session's peer (the record's peerMic / peerHold are already set). */
function sesVoiceMsg(/** @type {any} */ s, /** @type {any} */ m) {
  if (m.t === 'call' && m.on === true && !s.line) toast(t('peerCallOn'), 6000);
  renderDock();
}

/** endSession's part: the session's line goes with it, without telling the gone peer. */
function endLine(/** @type {any} */ L) {
  lineEnd(L, 'local', false);
}

// Phone calls --------------------------------------------------------------------------------------

function phSend(/** @type {any} */ L, /** @type {any} */ m) {
  if (!L.dc || L.dc.readyState !== 'open') return;
  try {
    L.dc.send(JSON.stringify(m));
  } catch {}
}

function ringSend(/** @type {any} */ L, /** @type {any} */ m) {
  if (L.ws && L.ws.readyState === WebSocket.OPEN) L.ws.send(JSON.stringify(m));
}

/** The element that plays a phone line's remote voice. */
function lineAudio(/** @type {any} */ L) {
  const a = document.createElement('audio');
  a.autoplay = true;
  a.hidden = true;
  a.dataset.line = L.k;
  document.body.appendChild(a);
  applySink(a);
  L.audio = a;
  L.ownAudio = true;
}

/** Calls an ID: a caller line that rings through /ring/. */
async function phoneCall(/** @type {any} */ text) {
  const id = String(text ?? '').replace(/\D/g, '');
  const bad = ringCheck(id, ID ? ID.id : '');
  if (bad) return toast(t(bad));
  const dup = [...LINES.values()].find((o) => o.kind === 'phone' && o.peerId === id);
  if (dup) {
    lineFocus(dup.k);
    return toast(t('lnDup'));
  }
  if (LINES.size >= MAX_LINES) return toast(t('lnMax'));
  if (!(await openMic())) return;
  // Other lines may have come or gone while the microphone opened.
  if (LINES.size >= MAX_LINES) return toast(t('lnMax'));
  if ([...LINES.values()].some((o) => o.kind === 'phone' && o.peerId === id)) return toast(t('lnDup'));
  const L = newLine('phone', { role: 'caller', peerId: id, peer: prettyId(id), state: 'calling' });
  lineAudio(L);
  lineFocus(L.k);
  dockMin(false);
  post('/api/llamada', { k: L.k, activa: true, tipo: 'telefono', con: id }).catch(() => {});
  startVoiceTick();
  ringOpen(L);
}

function ringOpen(/** @type {any} */ L) {
  /** @type {WebSocket} */
  let ws;
  try {
    ws = new WebSocket(wsUrl('/ring/' + L.peerId));
  } catch {
    toast(t('srvDown'));
    return lineEnd(L, 'local', false);
  }
  L.ws = ws;
  const ringingNow = () => L.state === 'calling' || L.state === 'ringing';
  ws.onopen = () => {
    if (L.dead) return;
    ringSend(L, { t: 'ring', name: ID ? ID.nombre || '' : '', from: ID ? ID.id : '', key: ID ? ID.llave : '' });
    L.timers.ping = setInterval(() => ringSend(L, { t: 'ping' }), RING_PING_MS);
  };
  ws.onmessage = (e) => {
    const m = L.dead || L.ws !== ws ? null : wireMsg(e.data, 1 << 20);
    if (m) callerMsg(L, m);
  };
  ws.onerror = () => {
    if (L.dead || L.ws !== ws || !ringingNow()) return;
    toast(t('srvDown'));
    lineEnd(L, 'local', false);
  };
  // After the answer the call goes on without the server.
  ws.onclose = () => { if (!L.dead && L.ws === ws && ringingNow()) lineEnd(L, 'local', false); };
}

/** The server's news for a caller line. */
function callerMsg(/** @type {any} */ L, /** @type {any} */ m) {
  switch (m.t) {
    case 'ringing': {
      if (L.state !== 'calling') break;
      L.state = 'ringing';
      const secs = Number.isFinite(m.timeout) ? Math.max(5, Math.min(600, m.timeout)) : 45;
      clearTimeout(L.timers.ring);
      L.timers.ring = setTimeout(() => {
        if (L.dead || L.state !== 'ringing') return;
        toast(t('phNoAnswer'), 7000);
        lineEnd(L, 'local');
      }, (secs + 3) * 1000);
      linesChanged();
      break;
    }
    case 'answered':
      if (L.state !== 'calling' && L.state !== 'ringing') break;
      clearTimeout(L.timers.ring);
      L.state = 'connecting';
      L.peer = peerName(m.name, L.peer);
      L.ice = cleanIce(m.iceServers);
      post('/api/recientes/agregar', { id: L.peerId, nombre: L.peer })
        .then((r) => { if (Array.isArray(r)) { S.recientes = r; renderRecents(); } })
        .catch(() => {});
      phonePC(L, true);
      linesChanged();
      break;
    case 'declined':
      toast(t(declineKey(m.reason)), 7000);
      lineEnd(L, 'peer', false);
      break;
    case 'offline':
      toast(t('phOffline'), 7000);
      lineEnd(L, 'peer', false);
      break;
    case 'hangup':
      lineEnd(L, 'peer', false);
      break;
    case 'signal':
      phoneSignal(L, m.data);
      break;
    case 'pong':
      break;
    default:
      console.log('llamada: mensaje desconocido', m.t);
  }
}

/** A phone line's signal to its peer: the caller's on /ring/, the callee's as csignal on /host/. */
function phoneSig(/** @type {any} */ L, /** @type {any} */ data) {
  if (L.dead) return;
  if (L.role === 'caller') ringSend(L, { t: 'signal', data });
  else hsend({ t: 'csignal', cid: L.cid, data });
}

/** The phone connection: the line's mix is the only sender; the remote voice feeds the line. */
async function phonePC(/** @type {any} */ L, /** @type {boolean} */ offerer) {
  const list = L.ice.length ? L.ice : await iceServers();
  if (L.dead) return;
  const pc = new RTCPeerConnection({ iceServers: list, bundlePolicy: 'max-bundle' });
  L.pc = pc;
  if (L.track) pc.addTrack(L.track, L.dest.stream);
  pc.ontrack = (e) => {
    if (L.dead) return;
    L.remote = e.streams[0] || new MediaStream([e.track]);
    if (L.audio) L.audio.srcObject = L.remote;
    mixRoute();
  };
  pc.onicecandidate = (e) => { if (e.candidate) phoneSig(L, { ice: e.candidate.toJSON() }); };
  pc.ondatachannel = (e) => { if (e.channel.label === 'ph' && !L.dc) wirePh(L, e.channel); };
  pc.onconnectionstatechange = () => phoneState(L, pc);
  L.timers.conn = setTimeout(() => {
    if (L.dead || L.state === 'active') return;
    toast(t('phFail') + ' · ' + L.peer, 7000);
    lineEnd(L, 'lost');
  }, PHONE_CONNECT_MS);
  if (offerer) {
    wirePh(L, pc.createDataChannel('ph', { ordered: true }));
    try {
      const o = await pc.createOffer();
      await pc.setLocalDescription({ type: o.type, sdp: mungeVoice(o.sdp || '') });
      phoneSig(L, { sdp: /** @type {RTCSessionDescription} */ (pc.localDescription).toJSON() });
    } catch (e) {
      console.warn('señal', e);
    }
  }
  for (const data of L.sigq.splice(0)) phoneSignal(L, data);
}

function phoneSignal(/** @type {any} */ L, /** @type {any} */ data) {
  if (!data || typeof data !== 'object' || L.dead) return;
  if (!L.pc) {
    if (L.sigq.length < 200) L.sigq.push(data);
    return;
  }
  L.sigChain = L.sigChain.then(() => applyPhoneSignal(L, data)).catch((/** @type {any} */ e) => console.warn('señal', e));
}

async function applyPhoneSignal(/** @type {any} */ L, /** @type {any} */ data) {
  const pc = L.pc;
  if (L.dead || !pc) return;
  if (data.sdp && typeof data.sdp === 'object' && (data.sdp.type === 'offer' || data.sdp.type === 'answer')) {
    const d = data.sdp;
    // Only the caller offers, and only once; anything else is not our peer's.
    if ((d.type === 'offer') !== (L.role === 'callee') || pc.remoteDescription) return;
    await pc.setRemoteDescription({ type: d.type, sdp: String(d.sdp || '') });
    for (const c of L.iceq.splice(0)) pc.addIceCandidate(c).catch(() => {});
    if (d.type === 'offer') {
      const a = await pc.createAnswer();
      await pc.setLocalDescription({ type: a.type, sdp: mungeVoice(a.sdp || '') });
      phoneSig(L, { sdp: /** @type {RTCSessionDescription} */ (pc.localDescription).toJSON() });
    }
  } else if (data.ice && typeof data.ice === 'object') {
    if (!pc.remoteDescription) {
      if (L.iceq.length < 200) L.iceq.push(data.ice);
    } else pc.addIceCandidate(data.ice).catch(() => {});
  }
}

function phoneState(/** @type {any} */ L, /** @type {RTCPeerConnection} */ pc) {
  if (L.dead || L.pc !== pc) return;
  const st = pc.connectionState;
  if (st === 'connected') {
    clearTimeout(L.timers.conn);
    clearTimeout(L.timers.loss);
    if (L.state !== 'active') {
      L.state = 'active';
      L.started = Date.now();
    }
    clearInterval(L.timers.stats);
    L.timers.stats = setInterval(() => lineStats(L), 2000);
    linesChanged();
  } else if (st === 'failed') {
    toast(t(L.state === 'active' ? 'phLost' : 'phFail') + ' · ' + L.peer, 7000);
    lineEnd(L, 'lost');
  } else if (st === 'disconnected') {
    clearTimeout(L.timers.loss);
    L.timers.loss = setTimeout(() => {
      if (L.dead || L.pc !== pc || pc.connectionState === 'connected') return;
      toast(t('phLost') + ' · ' + L.peer, 7000);
      lineEnd(L, 'lost');
    }, PHONE_LOSS_MS);
  }
}

async function lineStats(/** @type {any} */ L) {
  if (L.dead || !L.pc) return;
  try {
    const rep = await L.pc.getStats();
    const pair = selectedPair(rep);
    if (!pair) return;
    const lc = rep.get(pair.localCandidateId), rc = rep.get(pair.remoteCandidateId);
    L.relay = !!((lc && lc.candidateType === 'relay') || (rc && rc.candidateType === 'relay'));
    if (typeof pair.currentRoundTripTime === 'number') L.rtt = pair.currentRoundTripTime * 1000;
  } catch {}
}

/** The phone line's own channel: hold, mute and bye from the peer. */
function wirePh(/** @type {any} */ L, /** @type {RTCDataChannel} */ ch) {
  L.dc = ch;
  ch.onopen = () => {
    if (L.held) phSend(L, { t: 'hold', on: true });
    if (L.held || MIX.muted) phSend(L, { t: 'mute', on: true });
  };
  ch.onmessage = (e) => {
    const m = L.dead ? null : wireMsg(e.data, PH_MAX);
    if (!m) return;
    switch (m.t) {
      case 'hold':
        L.peerHold = m.on === true;
        renderDock();
        break;
      case 'mute':
        L.peerMuted = m.on === true;
        renderDock();
        break;
      case 'bye':
        lineEnd(L, 'peer', false);
        break;
      default:
        console.log('llamada: mensaje desconocido', m.t);
    }
  };
}

// Incoming calls ----------------------------------------------------------------------------------

/** A `ring` on /host/: answered busy or unavailable at once, else the dialog rings for 44 s. */
function onRing(/** @type {any} */ m) {
  const cid = typeof m.cid === 'string' ? m.cid.slice(0, 64) : '';
  if (!cid) return;
  const known = [...LINES.values()].some((o) => o.cid === cid);
  const verdict = ringVerdict(yes(setting('recibir', 'llamadas')), !!RINGIN, LINES.size, known);
  if (verdict) return hsend({ t: 'ringans', cid, ok: false, reason: verdict });
  const idOf = (/** @type {any} */ v) => (typeof v === 'string' && /^\d{9}$/.test(v) ? v : '');
  const from = m.verified === true ? idOf(m.from) : '';
  RINGIN = { cid, name: peerName(m.name), from, claimed: from ? '' : idOf(m.claimed), ice: cleanIce(m.iceServers), until: Date.now() + RING_SHOW_MS, timer: 0 };
  RINGIN.timer = setInterval(ringCountdown, 500);
  post('/api/aviso', { titulo: 'Kelvora', texto: t('phFrom', RINGIN.name) }).catch(() => {});
  get('/api/show').catch(() => {});
  ringTone();
  renderRing();
}

function ringCountdown() {
  const r = RINGIN;
  if (!r) return;
  if (Date.now() >= r.until) {
    hsend({ t: 'ringans', cid: r.cid, ok: false, reason: 'timeout' });
    closeRing();
    toast(t('phMissed'), 8000);
    return;
  }
  const el = document.getElementById('ringLeft');
  if (el) el.textContent = t('reqLeft', Math.ceil((r.until - Date.now()) / 1000));
}

function closeRing() {
  if (!RINGIN) return;
  clearInterval(RINGIN.timer);
  RINGIN = null;
  const m = $('#ringModal');
  if (m) {
    m.hidden = true;
    $('#ringBox').innerHTML = '';
  }
  ringTone();
}

function declineRing() {
  if (!RINGIN) return;
  hsend({ t: 'ringans', cid: RINGIN.cid, ok: false, reason: 'declined' });
  closeRing();
}

/** Answers the ring on show; merge joins it to the lines on air. */
async function answerRing(/** @type {boolean} */ merge) {
  const r = RINGIN;
  if (!r) return;
  closeRing();
  RINGS_GONE.clear();
  if (LINES.size >= MAX_LINES || !(await openMic())) return hsend({ t: 'ringans', cid: r.cid, ok: false, reason: LINES.size >= MAX_LINES ? 'busy' : 'declined' });
  if (RINGS_GONE.has(r.cid)) {
    closeUnusedMic();
    return toast(t('phMissed'), 8000);
  }
  const L = newLine('phone', { role: 'callee', cid: r.cid, peer: r.name, peerId: r.from, ice: r.ice, state: 'connecting' });
  lineAudio(L);
  if (merge) {
    const air = [...LINES.values()].filter((o) => o !== L && onAir(o));
    if (air.length) {
      for (const o of air) o.conf = true;
      L.conf = true;
    }
  }
  lineFocus(L.k);
  dockMin(false);
  startVoiceTick();
  phonePC(L, false);
  hsend({ t: 'ringans', cid: r.cid, ok: true });
  post('/api/llamada', { k: L.k, activa: true, tipo: 'telefono', con: r.from || r.name }).catch(() => {});
}

/** ringcancel, csignal and hangup on /host/, for the ring on show or a callee line. */
function onRingMsg(/** @type {any} */ m) {
  const cid = typeof m.cid === 'string' ? m.cid : '';
  if (!cid) return;
  const L = [...LINES.values()].find((o) => o.kind === 'phone' && o.role === 'callee' && o.cid === cid);
  switch (m.t) {
    case 'ringcancel':
      if (RINGIN && RINGIN.cid === cid) {
        closeRing();
        toast(t('phMissed'), 8000);
      } else if (L && L.state !== 'active') lineEnd(L, 'peer', false);
      else if (!L && RINGS_GONE.size < 16) RINGS_GONE.add(cid);
      break;
    case 'csignal':
      if (L) phoneSignal(L, m.data);
      break;
    case 'hangup':
      if (L) lineEnd(L, 'peer', false);
      break;
  }
}

// Ending --------------------------------------------------------------------------------------------

/** Ends a line once: tells the peer (when notify), frees its sound paths, tells the native side. */
function lineEnd(/** @type {any} */ L, why = 'local', notify = true) {
  if (!L || L.dead) return;
  L.dead = true;
  LINES.delete(L.k);
  Object.values(L.timers).forEach((x) => { clearTimeout(x); clearInterval(x); });
  const s = L.kind === 'ses' ? L.ses : null;
  if (L.kind === 'phone') {
    if (notify) {
      phSend(L, { t: 'bye' });
      if (L.role === 'caller') ringSend(L, { t: 'hangup' });
      else hsend({ t: 'hangup', cid: L.cid });
    }
    const pc = L.pc;
    // Let the bye leave before the connection closes.
    if (pc) setTimeout(() => { try { pc.close(); } catch {} }, notify ? 150 : 0);
    if (L.ws) {
      const ws = L.ws;
      ws.onclose = ws.onerror = ws.onmessage = null;
      setTimeout(() => { try { ws.close(); } catch {} }, 200);
    }
    if (L.started) toast(t('phEnded', mmss((Date.now() - L.started) / 1000)) + ' · ' + L.peer, 5000);
  } else if (s) {
    if (s.line === L) s.line = null;
    if (s.voice && s.voice.sender && !s.dead) s.voice.sender.replaceTrack(null).catch(() => {});
    if (notify) {
      ctl(s, { t: 'call', on: false });
      ctl(s, { t: 'hold', on: false });
    }
    if (L.audio) L.audio.muted = false;
  }
  unfeed(L);
  for (const n of [L.rsrc, L.an]) {
    try {
      if (n) n.disconnect();
    } catch {}
  }
  if (L.ownAudio && L.audio) {
    L.audio.srcObject = null;
    L.audio.remove();
  }
  if (L.track) L.track.stop();
  post('/api/llamada', { k: L.k, activa: false }).catch(() => {});
  dissolveLoneConf();
  if (!LINES.size) closeMic();
  linesChanged();
  if (s) refreshSession(s);
}

// Tones --------------------------------------------------------------------------------------------

/** The tone that fits now: incoming while a ring shows, else outgoing while the caller line on air rings. */
function ringTone() {
  const want = RINGIN ? 'in' : [...LINES.values()].some((o) => o.role === 'caller' && o.state === 'ringing' && !o.held) ? 'out' : '';
  if (want === RING.kind) return;
  clearInterval(RING.timer);
  RING.kind = want;
  if (RING.ac) {
    const ac = RING.ac;
    RING.ac = null;
    ac.close().catch(() => {});
  }
  if (!want) return;
  try {
    RING.ac = new AudioContext();
    sinkCtx(RING.ac);
  } catch {
    return;
  }
  const play = () => {
    if (!RING.ac) return;
    if (want === 'in') toneBurst(RING.ac, [440, 480], [[0, 0.4], [0.6, 1.0]], 0.2);
    else toneBurst(RING.ac, [440, 480], [[0, 2]], 0.06);
  };
  play();
  RING.timer = setInterval(play, want === 'in' ? 3000 : 6000);
}

/** Sine tones of freqs together, on during each [from, to] second span, at gain. */
function toneBurst(/** @type {AudioContext} */ ac, /** @type {number[]} */ freqs, /** @type {number[][]} */ spans, /** @type {number} */ gain) {
  try {
    const g = ac.createGain();
    g.gain.value = 0;
    g.connect(ac.destination);
    const t0 = ac.currentTime + 0.02;
    for (const [a, b] of spans) {
      g.gain.setValueAtTime(gain, t0 + a);
      g.gain.setValueAtTime(0, t0 + b);
    }
    const end = t0 + Math.max(...spans.map((x) => x[1]));
    for (const f of freqs) {
      const o = ac.createOscillator();
      o.frequency.value = f;
      o.connect(g);
      o.start(t0);
      o.stop(end);
    }
  } catch {}
}

/** Three rising notes on the chosen speaker. */
function devSpeakerTest() {
  try {
    const ac = new AudioContext();
    sinkCtx(ac);
    [523, 659, 784].forEach((f, i) => toneBurst(ac, [f], [[i * 0.18, i * 0.18 + 0.16]], 0.15));
    setTimeout(() => ac.close().catch(() => {}), 1500);
  } catch {}
}

// Meters and the silent microphone ------------------------------------------------------------------

function startVoiceTick() {
  if (!VOICE_TICK) VOICE_TICK = setInterval(voiceTick, 200);
}

/** Every 200 ms while lines exist: statuses, the own meter, who is talking, a silent microphone. */
function voiceTick() {
  if (!LINES.size) {
    clearInterval(VOICE_TICK);
    VOICE_TICK = 0;
    return;
  }
  const lvl = levelOf(MIX.an);
  for (const L of LINES.values()) L.level = levelOf(L.an);
  watchMic(lvl);
  renderDock();
  document.querySelectorAll('[data-meter]').forEach((m) => { /** @type {HTMLElement} */ (m).style.width = Math.round(lvl) + '%'; });
}

/** After 6 s of a live microphone: one line for the log, and the warning when it stayed silent. */
function watchMic(/** @type {number} */ lvl) {
  const tr = micTrack();
  const w = MIX.watch;
  if (!tr || !w || tr.readyState !== 'live') return;
  if (!w.since) w.since = Date.now();
  w.max = Math.max(w.max, lvl);
  if (MIX.silent && lvl > 2) MIX.silent = MIX.blocked = false;
  if (w.posted || Date.now() - w.since < 6000) return;
  w.posted = true;
  const st = /** @type {any} */ (tr.getSettings ? tr.getSettings() : {});
  const want = wantedDev('mic');
  diag(`[MICROFONO] «${tr.label}» · ${tr.readyState}${tr.muted ? ` · SIN DATOS ${ON_WINDOWS ? 'DE WINDOWS' : 'DEL SISTEMA'} (muted)` : ''} · nivel máx ${w.max.toFixed(1)} en 6 s · ${st.sampleRate || (MIX.ac && MIX.ac.sampleRate) || '?'} Hz · canales ${st.channelCount || '?'} · elegido ${want.dev ? 'sí' : 'predeterminado'} · procesar ${setting('llamada', 'procesar_voz') || 'si'}`);
  if (w.max < 0.6) {
    MIX.silent = true;
    MIX.blocked = tr.muted;
  }
}

// Drawing --------------------------------------------------------------------------------------------

let dockSig = '';

function dockMin(/** @type {boolean} */ on) {
  DOCKMIN = !!on;
  store('trv_dockmin', on ? '1' : '0');
  renderDock(true);
}

/** Sessions whose peer has its voice on while this side has none: offered to join. */
function voiceOffers() {
  return [...(HSES ? [HSES] : []), ...TS.values()].filter((s) => s && !s.dead && s.connected && s.peerMic && !s.line);
}

/** One line's row (dock and Call tab). */
function lineRow(/** @type {any} */ L, /** @type {number} */ now) {
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
<input type="range" min="0" max="100" value="${Math.round(L.vol * 100)}" data-vol="${esc(L.k)}" title="${esc(t('dkVol'))}">
<span class="lnBtns">${b}</span></div>`;
}

function offerRow(/** @type {any} */ s) {
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
function renderDock(force = false) {
  const dock = $('#dock');
  if (!dock) return;
  const lines = [...LINES.values()];
  const offers = voiceOffers();
  const now = Date.now();
  // The Call tab shows the same rows: the panel would only cover them there.
  const callTab = !!$('#tab-llamada') && !$('#tab-llamada').hidden;
  dock.hidden = (!lines.length && !offers.length) || callTab;
  const card = $('#lnCard');
  if (card) card.hidden = !lines.length;
  const sig = JSON.stringify([LANG, DOCKMIN, callTab, MIX.muted, MIX.silent, MIX.blocked, DEVS, AJ.llamada,
    lines.map((L) => [L.k, L.peer, L.state, L.held, L.conf, L.kind === 'phone' && !!L.peerId && [...TS.values()].some((s) => s.peerId === L.peerId)]),
    offers.map((s) => s.k)]);
  // Times, round trips and the peer's state change every tick: written in place, so that a
  // device list or a volume slider in use is not rebuilt under the pointer.
  for (const L of lines) {
    const txt = lineStatus(L, now);
    document.querySelectorAll(`[data-st="${L.k}"]`).forEach((el) => { if (el.textContent !== txt) el.textContent = txt; });
  }
  const marks = () => {
    for (const L of lines) {
      const talk = L.state === 'active' && !L.held && L.level > 6;
      document.querySelectorAll(`[data-talk="${L.k}"]`).forEach((el) => { /** @type {HTMLElement} */ (el).hidden = !talk; });
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
${lines.length ? micBtn : ''}<button class="ghost small" data-dk="min" title="${esc(t(DOCKMIN ? 'dkMax' : 'dkMin'))}">${DOCKMIN ? '▴' : '▾'}</button></div>`;
  if (!DOCKMIN) {
    h += `${lines.length ? '<div class="dkMeter"><i data-meter></i></div>' : ''}${warn}<div class="list">${rows}</div>${merge}`;
    h += `<details class="dkDevs"><summary>${esc(t('lnDevs'))}</summary>${devSelects()}</details>`;
  } else if (offers.length) {
    // An invitation to talk stays in sight even in the folded panel.
    h += `<div class="list">${offers.map(offerRow).join('')}</div>`;
  }
  const open = dock.querySelector('details') && dock.querySelector('details').open;
  dock.innerHTML = h;
  dock.classList.toggle('min', DOCKMIN);
  if (open && dock.querySelector('details')) dock.querySelector('details').open = true;
  const list = $('#lnList');
  if (list) list.innerHTML = lines.length ? `<div class="row">${micBtn}<div class="dkMeter grow"><i data-meter></i></div></div>${warn}${rows}${merge}` : '';
  marks();
}

/** The incoming call's dialog. */
function renderRing() {
  const r = RINGIN;
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

/** The Call tab's device card: selectors, speaker test, microphone test. */
function renderDevs() {
  const card = $('#audioDevs');
  if (!card) return;
  let box = document.getElementById('devBox');
  if (!box) {
    box = document.createElement('div');
    box.id = 'devBox';
    card.appendChild(box);
  }
  box.innerHTML = `${devSelects()}
<div class="row"><button class="small" data-dev-act="spk">${esc(t('spkTest'))}</button><button class="small" data-dev-act="mic">${esc(t('sMicTest'))}</button>
<div class="dkMeter grow"><i id="micTestMeter"></i></div></div><div class="hint" id="micTestTxt">${esc(t('devsHint'))}</div>`;
}

/** 15 s of the microphone's level in the Call tab; after 5 s it says whether it hears anything. */
async function devMicTest() {
  if (MICTEST) return;
  const st = await getMic({});
  if (!st) return;
  const ac = new AudioContext();
  const an = ac.createAnalyser();
  an.fftSize = 512;
  ac.createMediaStreamSource(st).connect(an);
  const t0 = Date.now();
  let max = 0;
  MICTEST = setInterval(() => {
    const lvl = levelOf(an);
    max = Math.max(max, lvl);
    const bar = document.getElementById('micTestMeter');
    if (bar) bar.style.width = Math.round(lvl) + '%';
    const txt = document.getElementById('micTestTxt');
    if (txt && Date.now() - t0 > 5000) txt.textContent = t(max < 0.6 ? 'micSilent' : 'micOk');
    if (Date.now() - t0 > 15000) {
      clearInterval(MICTEST);
      MICTEST = null;
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
    const s = TS.get(b.dataset.take) || (HSES && HSES.k === b.dataset.take ? HSES : null);
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
      return dockMin(!DOCKMIN);
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

function wireVoice() {
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
  document.querySelector('nav.tabs').addEventListener('click', () => renderDock(true));
  $('#langBtn').addEventListener('click', () => {
    renderDock(true);
    renderRing();
    renderDevs();
  });
  renderDevs();
}

addEventListener('beforeunload', () => {
  declineRing();
  for (const L of [...LINES.values()]) lineEnd(L, 'local');
});
if (typeof document !== 'undefined' && document.readyState !== 'loading') wireVoice();
else addEventListener('DOMContentLoaded', wireVoice);

// ── settings and update ──────────────────────────────────────────────────────────────────
// The Settings tab (a form built from GET /api/ajustes each time the tab opens), the Help
// tab (the manual with its contents, the update panel), and the update banner under the
// header, which follows the native updater in every tab.
//
// Update polling: while a check or an installation is at work the page asks GET
// /api/update every second. A poll left unanswered for 3 s means the program is replacing
// itself: the overlay covers the page and the page keeps asking every 1.5 s; the first
// answer in a phase other than "installing" comes from the new program, whose page is
// loaded in place of this one.

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

/** @type {any} the update state last shown (cleaned), or null before the first one */
let UPD = null;
/** @type {{poll: any, gen: number}} the pending poll and the generation of the running loop */
const UPDP = { poll: 0, gen: 0 };
/**
 * @type {{lang: string, pageLang: string, ok: boolean, gen: number}} the manual shown: its
 * language, the page language it was loaded under, whether it loaded, the newest request
 */
const MAN = { lang: '', pageLang: '', ok: false, gen: 0 };
/** @type {{stream: MediaStream|null, opening: boolean, timer: any, stop: any, ctx: AudioContext|null, rebuild: boolean}} the running microphone test */
const MICT = { stream: null, opening: false, timer: 0, stop: 0, ctx: null, rebuild: false };

// Pure rules -----------------------------------------------------------------------------------

/** A bounded text, or '' when the value is no text. */
function boundText(/** @type {any} */ v, /** @type {number} */ max) {
  return typeof v === 'string' ? v.slice(0, max) : '';
}

/** A version text of the update state ("1.3.2"): digits and dots only, else ''. */
function verText(/** @type {any} */ v) {
  return typeof v === 'string' && /^\d{1,10}(\.\d{1,10}){0,5}$/.test(v) ? v : '';
}

/**
 * The update state in a shape the screens can trust, from /api/estado's `actualizacion` or
 * an /api/update reply; null when it is no object.
 */
function cleanUpd(/** @type {any} */ st) {
  if (!st || typeof st !== 'object' || Array.isArray(st)) return null;
  const latest = st.latest && typeof st.latest === 'object' && !Array.isArray(st.latest) ? st.latest : null;
  const changes = latest && Array.isArray(latest.changes) ? latest.changes : [];
  const result = st.result && typeof st.result === 'object' ? st.result : null;
  const page = boundText(st.page, 500);
  return {
    phase: UPD_PHASES.includes(st.phase) ? st.phase : 'idle',
    msg: boundText(st.msg, UPD_TEXT_MAX),
    pct: Number.isFinite(st.pct) ? Math.max(0, Math.min(100, Math.round(st.pct))) : 0,
    available: st.available === true && !!latest && !!verText(latest.version),
    latest: latest && {
      version: verText(latest.version),
      changes: changes
        .slice(0, NOTES_ENTRIES_MAX)
        .filter((/** @type {any} */ c) => c && typeof c === 'object')
        .map((/** @type {any} */ c) => ({ version: boundText(c.version, 40), date: boundText(c.date, 40), md: boundText(c.md, NOTES_MAX) })),
    },
    current: verText(st.current) || VER,
    dismissed: typeof st.dismissed === 'string' ? st.dismissed.slice(0, 40) : null,
    can_install: st.can_install === true,
    page: /^https?:\/\//.test(page) ? page : '',
    last_check: Number.isFinite(st.last_check) && st.last_check > 0 ? st.last_check : 0,
    auto: st.auto === true,
    result: result && boundText(result.version, 40) ? { version: boundText(result.version, 40), ok: result.ok === true, error: boundText(result.error, UPD_TEXT_MAX) } : null,
  };
}

/** Is the updater working on a package. */
function updBusy(/** @type {any} */ st) {
  return !!st && UPD_BUSY.includes(st.phase);
}

/** Can the offered version be installed now. */
function updInstallable(/** @type {any} */ st) {
  return !!st && st.available && st.can_install && !updBusy(st) && st.phase !== 'checking';
}

/** The banner under the header for a state; '' hides it. Its texts hold markup, their arguments are escaped. */
function updBarHtml(/** @type {any} */ st) {
  if (!st) return '';
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
  return new Date(secs * 1000).toLocaleString(LANG === 'en' ? 'en-US' : 'es-MX', { dateStyle: 'medium', timeStyle: 'short' });
}

/** The update panel of the Help tab. */
function updPanelHtml(/** @type {any} */ st) {
  if (!st) return `<h2>${esc(t('updTitle'))}</h2><div class="hint">${esc(t('updInstalled', 'v' + VER))}</div>`;
  const busy = updBusy(st), checking = st.phase === 'checking';
  const rows = [`<div>${esc(t('updInstalled', 'v' + st.current))}</div>`];
  if (st.available) rows.push(`<div class="good"><b>${esc(t('updNew', 'v' + st.latest.version))}</b></div>`);
  else if (st.msg) rows.push(`<div class="muted">${esc(st.msg)}</div>`);
  if (busy) rows.push(`<div class="row"><span class="upbar wide"><i style="width:${st.pct}%"></i></span><span class="muted">${st.pct}%</span></div>`);
  rows.push(`<div class="hint">${esc(st.last_check ? t('updLast', updWhen(st.last_check)) : t('updNever'))}</div>`);
  rows.push(`<label class="check"><input type="checkbox" data-upd="auto"${st.auto ? ' checked' : ''}><span>${esc(t('updAuto'))}</span></label>`);
  const btns = [];
  if (st.available && !busy) btns.push(`<button data-upd="news">${esc(t('updNews'))}</button>`);
  if (updInstallable(st)) btns.push(`<button class="primary" data-upd="install">${esc(t('updNowBig'))}</button>`);
  // Nothing here can replace the program (a folder it may not write): the page of the
  // version is the way left, also once the banner was put off.
  else if (st.available && !st.can_install && !busy) btns.push(`<button data-upd="site">${esc(t('updSite'))}</button>`);
  btns.push(`<button data-upd="check"${busy || checking ? ' disabled' : ''}>${esc(t(checking ? 'updChecking' : 'updCheck'))}</button>`);
  return `<h2>${esc(t('updTitle'))}</h2><div class="upanel">${rows.join('')}<div class="row">${btns.join('')}</div></div>`;
}

/**
 * Release notes in light markup: escaped, **bold**, "- " lines as bullets, line breaks
 * kept.
 */
function lightMd(/** @type {string} */ md) {
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
function pollStep(/** @type {any} */ st, /** @type {boolean} */ overlay) {
  if (!st) return 'lost';
  if (overlay && st.phase !== 'installing') return 'reload';
  if (st.phase === 'checking' || updBusy(st)) return 'again';
  return st.msg && st.phase !== 'idle' ? 'toast' : 'done';
}

/** The `monitores` value of the boxes: "todos" when all, none or no box is checked. */
function monValue(/** @type {{name: string, on: boolean}[]} */ boxes) {
  const on = boxes.filter((b) => b.on);
  return on.length === 0 || on.length === boxes.length ? 'todos' : on.map((b) => b.name).join(',');
}

/**
 * The `monitores` to store: the stored value while no box was touched, so that a choice
 * naming a monitor unplugged today is not widened to every monitor by an unrelated save;
 * else the value of the boxes.
 */
function monSetting(/** @type {{name: string, on: boolean, was?: boolean}[]} */ boxes, /** @type {string=} */ stored) {
  const untouched = boxes.every((b) => b.was === undefined || b.was === b.on);
  return untouched && stored ? stored : monValue(boxes);
}

/**
 * The three sections that Save sends, from the form's values. Switches are "si"/"no";
 * the name and the server go trimmed.
 */
function formSections(/** @type {any} */ f) {
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
function registrationAfterSave(/** @type {{servidor: string, nombre: string}} */ before, /** @type {{servidor: string, nombre: string}} */ after, /** @type {boolean} */ available, /** @type {string} */ hostState) {
  if (before.servidor !== after.servidor || before.nombre !== after.nombre || !available) return 'reconnect';
  return hostState === 'off' ? 'connect' : '';
}

/** The address whose /health the server test reads: the field, else the default, without trailing "/". */
function healthUrl(/** @type {string} */ field, /** @type {string} */ fallback) {
  return (String(field || '').trim() || String(fallback || '')).replace(/\/+$/, '') + '/health';
}

/** The toast of a server test from its /health reply. */
function serverTestText(/** @type {any} */ r) {
  if (!r || typeof r !== 'object' || r.app !== 'kelvorasrv') return t('srvBad');
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
function deviceOptions(/** @type {{id: string, name: string}[]} */ list, /** @type {string} */ id, /** @type {string} */ name, /** @type {boolean} */ hidden) {
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
    const a = await get('/api/ajustes');
    if (a && typeof a === 'object') AJ = { general: a.general || {}, recibir: a.recibir || {}, llamada: a.llamada || {} };
  } catch {}
  await loadState();
  await buildSettings();
}

/** Entering the Settings tab. */
function renderSettings() {
  loadSettings();
}

async function buildSettings() {
  const g = (/** @type {string} */ k) => setting('general', k), r = (/** @type {string} */ k) => setting('recibir', k), c = (/** @type {string} */ k) => setting('llamada', k);
  const name = ID && typeof ID.nombre === 'string' ? ID.nombre : '';
  const chosen = monNames(r('monitores'));
  const mons = cleanMons(S.monitores);
  const boxes = mons
    .map((m) => `<label class="check"><input type="checkbox" data-mon="${esc(m.name)}"${!chosen.length || chosen.includes(m.name) ? ' checked' : ''}><span>${esc(`🖥 ${m.i + 1} · ${m.w}×${m.h}${m.primary ? ' ★' : ''}`)}</span></label>`)
    .join('');
  await loadDevices();

  $('#f-general').innerHTML = `<h2 data-i="setGeneral">${esc(t('setGeneral'))}</h2>` +
    `<label class="field"><span>${esc(t('sName'))}</span><input id="sfName" maxlength="32" value="${esc(g('nombre'))}" placeholder="${esc(name)}"><span class="hint">${esc(t('sNameHint'))}</span></label>` +
    selRow('sfLang', 'sLang', [['es', 'Español (México)'], ['en', 'English']], g('idioma') === 'en' ? 'en' : 'es') +
    swRow('sfAutostart', 'sAutostart', !!S.inicio_windows, 'sAutostartHint') +
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
    `<label class="field"><span>${esc(t('sServer'))}</span><div class="row sdev"><input id="sfServer" value="${esc(g('servidor'))}" placeholder="${esc(S.servidor || '')}" spellcheck="false" autocomplete="off">` +
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
function buildCallCard(/** @type {any} */ v) {
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

/** The form's values as formSections takes them. */
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
    monitores: [...document.querySelectorAll('#sfMons input[data-mon]')].map((b) => ({ name: /** @type {any} */ (b).dataset.mon, on: /** @type {any} */ (b).checked, was: /** @type {any} */ (b).defaultChecked })),
    monStored: $('#sfMons').dataset.stored || '',
    calidad: $('#sfQual').value, fps: $('#sfFps').value, sonido: on('sfSound'), llamadas: on('sfCalls'),
    microfono: mic.id, microfono_nombre: mic.name, bocina: spk.id, bocina_nombre: spk.name, procesar_voz: on('sfProc'),
    autostart: on('sfAutostart'),
  };
}

async function saveSettings() {
  if (!$('#sfName')) return;
  const f = readForm();
  const before = { servidor: ID ? String(ID.servidor || '') : '', nombre: ID ? String(ID.nombre || '') : '' };
  const wasLang = LANG, hostState = HOST.state;
  /** @type {any} */
  let r = null;
  try {
    r = await post('/api/ajustes', formSections(f));
  } catch {}
  if (!r || r.ok !== true) {
    if (r && typeof r.msg === 'string') toast(r.msg.slice(0, UPD_TEXT_MAX), 6000);
    return;
  }
  // What the start-with-the-system switch had to say goes with the final toast, which
  // would otherwise replace it at once.
  let note = '';
  if (f.autostart !== !!S.inicio_windows) {
    try {
      const a = await post('/api/inicio_windows', { on: f.autostart });
      if (a && typeof a.msg === 'string') note = a.msg.slice(0, UPD_TEXT_MAX);
    } catch {}
  }
  const a = r.ajustes && typeof r.ajustes === 'object' ? r.ajustes : {};
  AJ = { general: a.general || {}, recibir: a.recibir || {}, llamada: a.llamada || {} };
  await loadIdentity();
  await loadState();
  LANG = setting('general', 'idioma') === 'en' ? 'en' : 'es';
  if (LANG !== wasLang) {
    applyI18n();
    renderAll();
    reloadManual();
  }
  const after = { servidor: ID ? String(ID.servidor || '') : '', nombre: ID ? String(ID.nombre || '') : '' };
  const step = registrationAfterSave(before, after, yes(setting('recibir', 'disponible')), hostState);
  if (step === 'reconnect') {
    hostDisconnect();
    ICE = null;
    hostConnect();
  } else if (step === 'connect') hostConnect();
  if (before.servidor !== after.servidor) checkServer();
  if (note) toast(t('saved') + ' ' + note, 6000);
  else toast(t('saved'));
}

/** Reads /health of the address in the field (or the default) and says what answered. */
async function testServer() {
  const url = healthUrl($('#sfServer').value, S.servidor);
  /** @type {any} */
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
  /** @type {any} */
  let r = null;
  try {
    r = await post('/api/id/nuevo');
  } catch {}
  if (!r || r.ok !== true) {
    if (r && typeof r.msg === 'string') toast(r.msg.slice(0, UPD_TEXT_MAX), 6000);
    return;
  }
  hostDisconnect();
  await loadIdentity();
  hostConnect();
  toast(ID ? `${t('yourId')}: ${prettyId(ID.id)}` : t('saved'), 6000);
}

async function makeLinks() {
  const r = await post('/api/accesos').catch(() => null);
  toast(t(r && r.ok === true ? 'linksOk' : 'linksFail'), 6000);
}

async function uninstallApp() {
  const r = await post('/api/desinstalar').catch(() => null);
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
    toast(t('micErr', String(/** @type {any} */ (e).message || /** @type {any} */ (e).name || '').slice(0, 200)), 6000);
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
    const ac = new AudioContext();
    const id = $('#sfSpk').value;
    if (typeof (/** @type {any} */ (ac).setSinkId) === 'function') /** @type {any} */ (ac).setSinkId(id).catch(() => {});
    [523, 659, 784].forEach((f, i) => toneBurst(ac, [f], [[i * 0.18, i * 0.18 + 0.16]], 0.15));
    setTimeout(() => ac.close().catch(() => {}), 1500);
  } catch {}
}

// Manual ----------------------------------------------------------------------------------------

/** The contents list: two levels; entries are checked, bounded and escaped. */
function tocHtml(/** @type {any} */ toc) {
  const item = (/** @type {any} */ e) => `<a href="#${esc(boundText(e.id, 200))}">${esc(boundText(e.title, 300))}</a>`;
  const list = (Array.isArray(toc) ? toc : []).slice(0, TOC_MAX).filter((e) => e && typeof e === 'object');
  return '<ol>' + list.map((e) => {
    const sub = (Array.isArray(e.sub) ? e.sub : []).slice(0, TOC_MAX).filter((/** @type {any} */ x) => x && typeof x === 'object');
    return `<li>${item(e)}${sub.length ? '<ol>' + sub.map((/** @type {any} */ x) => `<li>${item(x)}</li>`).join('') + '</ol>' : ''}</li>`;
  }).join('') + '</ol>';
}

/** The manual's head: title, version, language chips and its buttons. */
function manualHead(/** @type {any} */ txt, /** @type {string} */ version) {
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
  const want = lang === 'en' || lang === 'es' ? lang : MAN.lang || LANG;
  if (!lang && MAN.ok && want === MAN.lang) return;
  const gen = ++MAN.gen;
  MAN.lang = want;
  MAN.pageLang = LANG;
  /** @type {any} */
  let r = null;
  try {
    r = await get('/api/manual?lang=' + want);
  } catch {}
  if (gen !== MAN.gen) return;
  const box = $('#manual');
  const ok = !!r && r.ok === true && typeof r.html === 'string' && r.html.length <= MANUAL_MAX;
  MAN.ok = ok;
  if (!ok) {
    const msg = r && typeof r.msg === 'string' ? r.msg.slice(0, UPD_TEXT_MAX) : '';
    box.innerHTML = manualHead({}, '') + `<div class="mdoc empty">${esc(msg || '—')}</div>`;
    return;
  }
  const txt = r.txt && typeof r.txt === 'object' ? r.txt : {};
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
function reloadManual() {
  // After a language change the manual follows the page; otherwise it keeps the one chosen.
  if (MAN.pageLang && MAN.pageLang !== LANG) loadManual(LANG);
  else if (!$('#tab-ayuda').hidden) loadManual();
}

function printManual() {
  window.open('/manual/imprimir?lang=' + (MAN.lang || LANG), '_blank');
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
    const target = id ? document.getElementById(id) : null;
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
  /** @type {any} */
  let r = null;
  try {
    r = await get('/api/novedades');
  } catch {}
  if (!r || r.ok !== true || typeof r.html !== 'string' || r.html.length > MANUAL_MAX) {
    toast(r && typeof r.msg === 'string' ? r.msg.slice(0, UPD_TEXT_MAX) : '—', 6000);
    return;
  }
  notesModal(`<h3>${esc(t('histTitle'))}</h3><p class="muted">${esc(t('histTxt', VER, boundText(r.fecha, 40)))}</p>` +
    `<div class="notes">${r.html}</div><div class="actions"><button class="primary" data-close>${esc(t('close'))}</button></div>`);
}

// Update banner, panel and polling ---------------------------------------------------------------

function updBar(/** @type {any} */ st) {
  const html = updBarHtml(st);
  const bar = $('#updBar');
  bar.innerHTML = html;
  bar.hidden = !html;
  setHeaderHeight();
}

function renderUpd(/** @type {any} */ st) {
  $('#mUpd').innerHTML = updPanelHtml(st);
}

/** Takes a new update state (from /api/estado or /api/update) and shows it everywhere. */
function updateShow(/** @type {any} */ raw) {
  const st = cleanUpd(raw);
  if (!st) return;
  UPD = st;
  updBar(st);
  renderUpd(st);
  if (st.phase === 'installing') $('#upover').hidden = false;
}

/** At start: a check or an installation already at work is followed. */
function updateStartPolling(/** @type {any} */ raw) {
  const st = cleanUpd(raw);
  if (st && (st.phase === 'checking' || updBusy(st))) updPoll();
}

/** One update action; the reply becomes the state. A refusal is said in a toast. */
async function updAct(/** @type {string} */ action, /** @type {any} */ extra = {}) {
  /** @type {any} */
  let r = null;
  try {
    r = await post('/api/update', { ...extra, action });
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
  /** @type {any} */
  let r = null;
  try {
    r = await post('/api/update', { action: 'install' });
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
async function updPoll() {
  clearTimeout(UPDP.poll);
  UPDP.poll = 0;
  const gen = ++UPDP.gen;
  const ac = new AbortController();
  const timer = setTimeout(() => ac.abort(), UPD_ANSWER_MS);
  /** @type {any} */
  let st = null;
  try {
    const res = await fetch('/api/update', { cache: 'no-store', signal: ac.signal });
    st = cleanUpd(await res.json());
  } catch {} finally {
    clearTimeout(timer);
  }
  if (gen !== UPDP.gen) return;
  const over = $('#upover');
  const step = pollStep(st, !over.hidden);
  if (step === 'lost') {
    over.hidden = false;
    UPDP.poll = setTimeout(updPoll, UPD_LOST_MS);
    return;
  }
  if (step === 'reload') {
    location.reload();
    return;
  }
  updateShow(st);
  if (step === 'again') UPDP.poll = setTimeout(updPoll, UPD_POLL_MS);
  else if (step === 'toast') toast(st.msg, 6000);
}

/** The release notes of the offered version. */
function showNews() {
  const st = UPD;
  const list = st && st.latest ? st.latest.changes : [];
  const body = list.length
    ? list.map((/** @type {any} */ c) => `<div class="note"><b>v${esc(c.version)}</b> <span class="muted">${esc(c.date)}</span><div>${lightMd(c.md)}</div></div>`).join('')
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
    if (UPD && UPD.page) openUrl(UPD.page);
  } else if (act === 'seen' || act === 'dismiss' || act === 'check') updAct(act);
}

/** The screens again in the page's language (the settings form from what is in memory). */
function renderScreens() {
  updBar(UPD);
  renderUpd(UPD);
  if (!$('#tab-ajustes').hidden && $('#sfName')) buildSettings();
}

// Wiring ----------------------------------------------------------------------------------------

function wireSettings() {
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
  renderUpd(UPD);
}

if (typeof document !== 'undefined' && document.readyState !== 'loading') wireSettings();
else addEventListener('DOMContentLoaded', wireSettings);

// ── group call ───────────────────────────────────────────────────────────────────────────
// A voice call of up to 8 people who meet in a /call/ room by a 6-character code, apart
// from sessions and voice lines. Every member holds one peer connection to every other
// (a full mesh): a newcomer offers to everyone the server's `welcome` lists, the members
// already there answer. The server names the room's host, who may kick; when the host
// leaves it names the longest-present member.

/**
 * @typedef {Object} CallPeer
 * @property {string} id member id given by the server
 * @property {string} name
 * @property {RTCPeerConnection} pc
 * @property {boolean} offerer this side made the offer (the other side only answers)
 * @property {boolean} restarted the one retry with fresh candidates was made
 * @property {boolean} talk
 * @property {boolean} muted
 * @property {number} vol 0..1
 * @property {HTMLAudioElement} audio plays the member's voice on the chosen speaker
 * @property {any[]} iceq candidates that arrived before the remote description
 * @property {Promise<void>} chain signals are applied one after another
 */

/**
 * @typedef {Object} CallState
 * @property {string} code
 * @property {boolean} create this PC created the room
 * @property {MediaStream|null} mic
 * @property {Map<string, CallPeer>} peers by member id
 * @property {string} me own member id ('' until `welcome`)
 * @property {string} host member id of the room's host
 * @property {boolean} muted
 * @property {boolean} deaf
 * @property {boolean} talk own speaking flag, as last sent
 * @property {any[]} ice ICE list from `welcome`
 * @property {WebSocket|null} ws
 * @property {boolean} joined a `welcome` came
 * @property {number} draws codes drawn for a new room (a drawn code may be in use)
 * @property {number} rejoins reconnections after a server restart, since the last `welcome`
 * @property {{ping?: any, meter?: any, rejoin?: any}} timers
 * @property {AudioContext|null} ac
 * @property {AnalyserNode|null} an
 * @property {MediaStreamAudioSourceNode|null} [src] the microphone's node feeding the analyser
 */

const CALL_CHARS = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';
/** Members of one room, oneself included. */
const CALL_MAX = 8;
/** @type {CallState|null} the group call, or null */
let CALLX = null;

/**
 * A new room code: 6 characters of CALL_CHARS from a cryptographic source (32 divides 2^32:
 * no bias). rnd stands in for the source.
 * @param {ArrayLike<number>} [rnd]
 */
function callNewCode(rnd) {
  const r = rnd || crypto.getRandomValues(new Uint32Array(6));
  let code = '';
  for (let i = 0; i < 6; i++) code += CALL_CHARS[r[i] % 32];
  return code;
}

/** The code a person typed, trimmed and upper-cased; '' unless it is 6 letters or digits. */
function callCodeOf(/** @type {any} */ text) {
  const c = typeof text === 'string' ? text.trim().toUpperCase() : '';
  return /^[A-Z0-9]{6}$/.test(c) ? c : '';
}

// Server and peer input -----------------------------------------------------------------

/** A member id as the server makes them; anything else is not a member. */
function callId(/** @type {any} */ v) {
  return typeof v === 'string' && /^[A-Za-z0-9_-]{1,32}$/.test(v) ? v : '';
}

/** A member from `welcome` or `peer-join`, with checked fields; null when it has no usable id. */
function callMember(/** @type {any} */ v) {
  if (!v || typeof v !== 'object') return null;
  const id = callId(v.id);
  return id ? { id, name: peerName(v.name, '?').slice(0, 32), talk: v.talk === true, muted: v.muted === true } : null;
}

/** A WebRTC signal from another member: an offer or answer, or a candidate; null otherwise. */
function callSignalData(/** @type {any} */ d) {
  if (!d || typeof d !== 'object') return null;
  const sd = d.sdp;
  if (sd && typeof sd === 'object') {
    if ((sd.type !== 'offer' && sd.type !== 'answer') || typeof sd.sdp !== 'string' || sd.sdp.length > 60000) return null;
    return { sdp: { type: sd.type, sdp: sd.sdp } };
  }
  const c = d.ice;
  if (c && typeof c === 'object' && typeof c.candidate === 'string' && c.candidate.length <= 1024) {
    /** @type {any} */
    const ice = { candidate: c.candidate };
    if (typeof c.sdpMid === 'string' && c.sdpMid.length <= 64) ice.sdpMid = c.sdpMid;
    if (Number.isInteger(c.sdpMLineIndex) && c.sdpMLineIndex >= 0 && c.sdpMLineIndex < 64) ice.sdpMLineIndex = c.sdpMLineIndex;
    if (typeof c.usernameFragment === 'string' && c.usernameFragment.length <= 256) ice.usernameFragment = c.usernameFragment;
    if (ice.sdpMid === undefined && ice.sdpMLineIndex === undefined) return null;
    return { ice };
  }
  return null;
}

/**
 * A frame of the /call/ socket in the shape the page uses, with checked types and bounded
 * lists; null for anything unusable. Unknown kinds come back as {t} alone.
 */
function callClean(/** @type {any} */ m) {
  if (!m || typeof m !== 'object' || typeof m.t !== 'string') return null;
  switch (m.t) {
    case 'welcome': {
      const id = callId(m.id);
      if (!id) return null;
      /** @type {any[]} */
      const peers = [];
      for (const v of Array.isArray(m.peers) ? m.peers.slice(0, 64) : []) {
        const p = callMember(v);
        if (p && p.id !== id && !peers.some((o) => o.id === p.id) && peers.length < CALL_MAX - 1) peers.push(p);
      }
      return { t: m.t, id, host: callId(m.host), ice: cleanIce(m.iceServers), peers };
    }
    case 'peer-join': {
      const peer = callMember(m.peer);
      return peer ? { t: m.t, peer } : null;
    }
    case 'signal': {
      const from = callId(m.from), data = callSignalData(m.data);
      return from && data ? { t: m.t, from, name: peerName(m.name, '?').slice(0, 32), data } : null;
    }
    case 'state': {
      const id = callId(m.id);
      return id ? { t: m.t, id, talk: m.talk === true, muted: m.muted === true } : null;
    }
    case 'peer-leave': {
      const id = callId(m.id);
      return id ? { t: m.t, id, host: callId(m.host) } : null;
    }
    default:
      return { t: m.t.slice(0, 32) };
  }
}

/**
 * How long to wait before joining again after the socket closed, in ms; -1 to leave the
 * call. Only a server restart ("server going away") is worth coming back for; while coming
 * back (tries > 0) a server not up yet is tried again, a few times at most. The waits are
 * spread so that the whole room does not knock at once.
 */
function callRejoinWait(/** @type {number} */ code, /** @type {string} */ reason, /** @type {number} */ tries, rnd = Math.random()) {
  if (tries >= 5 || (tries === 0 && (code !== 1001 || reason !== 'server going away'))) return -1;
  return Math.round(1000 + rnd * 4000 * (tries + 1));
}

// The room ---------------------------------------------------------------------------------

function callCreate() {
  callStart(callNewCode(), true);
}

function callJoin() {
  const code = callCodeOf($('#callCode').value);
  if (!code) {
    toast(t('callBadCode'));
    return;
  }
  callStart(code, false);
}

/** Joins (or creates) the room of code; ignored while in a call. */
async function callStart(/** @type {string} */ code, /** @type {boolean} */ create) {
  if (CALLX) return;
  /** @type {CallState} */
  const x = {
    code, create, mic: null, peers: new Map(), me: '', host: '', muted: false, deaf: false, talk: false,
    ice: [], ws: null, joined: false, draws: 1, rejoins: 0, timers: {}, ac: null, an: null,
  };
  CALLX = x;
  renderCall();
  const mic = await getMic({});
  if (CALLX !== x) {
    if (mic) mic.getTracks().forEach((tr) => tr.stop());
    return;
  }
  if (!mic) {
    CALLX = null;
    renderCall();
    return;
  }
  x.mic = mic;
  callWatchMic(x, mic);
  callOpen(x, false);
  callMeterStart(x);
  post('/api/llamada', { activa: true }).catch(() => {});
  renderCall();
}

/** Opens the room's socket; rejoin after a server restart joins or creates the room again. */
function callOpen(/** @type {CallState} */ x, /** @type {boolean} */ rejoin) {
  let ws;
  try {
    ws = new WebSocket(wsUrl('/call/' + x.code));
  } catch {
    callLeave('srvDown');
    return;
  }
  x.ws = ws;
  ws.onopen = () => {
    if (CALLX !== x || x.ws !== ws) return;
    /** @type {any} */
    const join = { t: 'join', name: peerName(ID && ID.nombre, 'Kelvora').slice(0, 32), create: x.create };
    if (rejoin) join.rejoin = true;
    ws.send(JSON.stringify(join));
    clearInterval(x.timers.ping);
    x.timers.ping = setInterval(() => callSend(x, { t: 'ping' }), 25000);
  };
  ws.onmessage = (e) => {
    if (CALLX !== x || x.ws !== ws) return;
    const m = callClean(wireMsg(e.data, 1 << 16));
    if (m) callMsg(x, m);
  };
  ws.onclose = (e) => {
    if (CALLX !== x || x.ws !== ws) return;
    clearInterval(x.timers.ping);
    x.ws = null;
    const wait = callRejoinWait(e.code, e.reason, x.rejoins);
    if (wait < 0) {
      callLeave('srvDown');
      return;
    }
    x.rejoins++;
    x.timers.rejoin = setTimeout(() => { if (CALLX === x) callOpen(x, true); }, wait);
  };
}

function callSend(/** @type {CallState} */ x, /** @type {any} */ m) {
  if (x.ws && x.ws.readyState === WebSocket.OPEN) x.ws.send(JSON.stringify(m));
}

/** One frame from the room's socket (already checked by callClean). */
function callMsg(/** @type {CallState} */ x, /** @type {any} */ m) {
  switch (m.t) {
    case 'welcome':
      // After a server restart every member comes back under a new id: the mesh is built again.
      for (const p of [...x.peers.values()]) callDropPeer(x, p);
      x.me = m.id;
      x.host = m.host;
      x.ice = m.ice;
      x.joined = true;
      x.rejoins = 0;
      for (const v of m.peers) {
        const p = callPeer(x, v.id, v.name, true);
        if (p) Object.assign(p, { talk: v.talk, muted: v.muted });
      }
      callSend(x, { t: 'state', talk: x.talk, muted: x.muted });
      break;
    case 'peer-join':
      if (m.peer.id !== x.me) callPeer(x, m.peer.id, m.peer.name, false);
      break;
    case 'signal': {
      if (m.from === x.me) break;
      const p = x.peers.get(m.from) || (m.data.sdp && m.data.sdp.type === 'offer' ? callPeer(x, m.from, m.name, false) : null);
      if (p) p.chain = p.chain.then(() => callApply(x, p, m.data)).catch((e) => console.warn('señal de la llamada', e));
      break;
    }
    case 'state': {
      const p = x.peers.get(m.id);
      if (p) Object.assign(p, { talk: m.talk, muted: m.muted });
      break;
    }
    case 'peer-leave': {
      const p = x.peers.get(m.id);
      if (p) callDropPeer(x, p);
      if (m.host) x.host = m.host;
      break;
    }
    case 'notfound':
      // A drawn code that happens to be in use: draw another (a few times at most).
      if (x.create && !x.joined && x.draws < 3 && x.ws) {
        const old = x.ws;
        x.ws = null;
        old.close();
        x.code = callNewCode();
        x.draws++;
        callOpen(x, false);
        break;
      }
      callLeave('callNotFound');
      return;
    case 'full':
      callLeave('callFull');
      return;
    case 'kicked':
      callLeave('callKicked');
      return;
    case 'pong':
      return;
    default:
      console.log('llamada: mensaje desconocido', m.t);
      return;
  }
  renderCall();
}

/** The peer connection to one member; null when the room is already full on this side. */
function callPeer(/** @type {CallState} */ x, /** @type {string} */ id, /** @type {string} */ name, /** @type {boolean} */ offerer) {
  const known = x.peers.get(id);
  if (known) return known;
  if (x.peers.size >= CALL_MAX - 1 || !x.mic) return null;
  const pc = new RTCPeerConnection({ iceServers: x.ice.length ? x.ice : FALLBACK_ICE, bundlePolicy: 'max-bundle' });
  // In the page (hidden), so that a change of speaker reaches it like every other element.
  const audio = document.createElement('audio');
  audio.autoplay = true;
  audio.hidden = true;
  audio.muted = x.deaf;
  document.body.appendChild(audio);
  if (typeof applySink === 'function') applySink(audio, true);
  /** @type {CallPeer} */
  const p = { id, name, pc, offerer, restarted: false, talk: false, muted: false, vol: 1, audio, iceq: [], chain: Promise.resolve() };
  x.peers.set(id, p);
  for (const tr of x.mic.getAudioTracks()) pc.addTrack(tr, x.mic);
  pc.onicecandidate = (e) => { if (e.candidate && CALLX === x) callSend(x, { t: 'signal', to: id, data: { ice: e.candidate.toJSON() } }); };
  pc.ontrack = (e) => {
    audio.srcObject = e.streams[0] || new MediaStream([e.track]);
    audio.play().catch(() => {});
  };
  pc.onconnectionstatechange = () => {
    if (CALLX !== x || x.peers.get(id) !== p) return;
    // A pair that fails would leave two members deaf to each other while both hear the
    // rest: the side that offered tries once more with fresh candidates.
    if (pc.connectionState === 'failed' && p.offerer && !p.restarted) {
      p.restarted = true;
      callOffer(x, p, true);
    }
    renderCall();
  };
  if (offerer) callOffer(x, p, false);
  return p;
}

function callOffer(/** @type {CallState} */ x, /** @type {CallPeer} */ p, /** @type {boolean} */ iceRestart) {
  p.chain = p.chain
    .then(async () => {
      const o = await p.pc.createOffer(iceRestart ? { iceRestart: true } : {});
      await p.pc.setLocalDescription({ type: o.type, sdp: mungeVoice(o.sdp || '') });
      if (CALLX === x && x.peers.get(p.id) === p && p.pc.localDescription) callSend(x, { t: 'signal', to: p.id, data: { sdp: p.pc.localDescription.toJSON() } });
    })
    .catch((e) => console.warn('señal de la llamada', e));
}

/** Applies a signal from one member: its offer (answered) or answer, or a candidate. */
async function callApply(/** @type {CallState} */ x, /** @type {CallPeer} */ p, /** @type {any} */ data) {
  if (CALLX !== x || x.peers.get(p.id) !== p) return;
  const pc = p.pc;
  if (data.sdp) {
    // One side of each pair offers: an offer to the offerer, or an answer nobody asked for, is noise.
    if (data.sdp.type === 'offer' ? p.offerer : pc.signalingState !== 'have-local-offer') return;
    await pc.setRemoteDescription(data.sdp);
    for (const c of p.iceq.splice(0)) pc.addIceCandidate(c).catch(() => {});
    if (data.sdp.type === 'offer') {
      const a = await pc.createAnswer();
      await pc.setLocalDescription({ type: a.type, sdp: mungeVoice(a.sdp || '') });
      if (CALLX === x && pc.localDescription) callSend(x, { t: 'signal', to: p.id, data: { sdp: pc.localDescription.toJSON() } });
    }
  } else if (!pc.remoteDescription) {
    if (p.iceq.length < 200) p.iceq.push(data.ice);
  } else pc.addIceCandidate(data.ice).catch(() => {});
}

function callDropPeer(/** @type {CallState} */ x, /** @type {CallPeer} */ p) {
  x.peers.delete(p.id);
  try {
    p.pc.close();
  } catch {}
  p.audio.pause();
  p.audio.srcObject = null;
  p.audio.remove();
}

// Microphone, level, mute ----------------------------------------------------------------

/** Every 120 ms: the own level on the meter, and `state` to the room when speaking starts or stops. */
function callMeterStart(/** @type {CallState} */ x) {
  try {
    x.ac = new AudioContext();
    x.an = x.ac.createAnalyser();
    x.an.fftSize = 512;
    if (x.mic) x.src = x.ac.createMediaStreamSource(x.mic);
    if (x.src) x.src.connect(x.an);
  } catch {
    return;
  }
  const buf = new Float32Array(512);
  x.timers.meter = setInterval(() => {
    if (CALLX !== x || !x.an) return;
    if (x.ac && x.ac.state === 'suspended') x.ac.resume().catch(() => {});
    x.an.getFloatTimeDomainData(buf);
    let sum = 0;
    for (const v of buf) sum += v * v;
    const rms = Math.sqrt(sum / buf.length);
    const meter = $('#callMeter');
    if (meter) meter.value = x.muted ? 0 : Math.min(100, rms * 400) / 100;
    const talk = !x.muted && rms > 0.02;
    if (talk !== x.talk) {
      x.talk = talk;
      callSend(x, { t: 'state', talk, muted: x.muted });
      renderCall();
    }
  }, 120);
}

/** A microphone that goes away (unplugged, taken by the system) is reopened a moment later. */
function callWatchMic(/** @type {CallState} */ x, /** @type {MediaStream} */ mic) {
  for (const tr of mic.getAudioTracks()) {
    tr.addEventListener('ended', () => {
      if (CALLX !== x || x.mic !== mic) return;
      diag(`[MICROFONO] «${tr.label}» se cerró en la llamada en grupo`);
      setTimeout(() => { if (CALLX === x && x.mic === mic) callSwapMic(x); }, 900);
    });
  }
}

/** Opens the microphone again and puts it on every member's connection, keeping mute as it was. */
async function callSwapMic(/** @type {CallState} */ x) {
  const mic = await getMic({ quiet: true, silent: true });
  if (CALLX !== x || !mic) {
    if (mic) mic.getTracks().forEach((tr) => tr.stop());
    if (CALLX === x) toast(t('micLost'), 8000);
    return;
  }
  const old = x.mic;
  x.mic = mic;
  const tr = mic.getAudioTracks()[0] || null;
  if (tr) tr.enabled = !x.muted;
  for (const p of x.peers.values()) {
    for (const snd of p.pc.getSenders()) if (!snd.track || snd.track.kind === 'audio') snd.replaceTrack(tr).catch(() => {});
  }
  try {
    if (x.src) x.src.disconnect();
    x.src = x.ac && x.an ? x.ac.createMediaStreamSource(mic) : null;
    if (x.src && x.an) x.src.connect(x.an);
  } catch {}
  if (old) old.getTracks().forEach((o) => o.stop());
  callWatchMic(x, mic);
  toast(t('micBack'), 8000);
}

function callMute() {
  const x = CALLX;
  if (!x || !x.mic) return;
  x.muted = !x.muted;
  x.mic.getAudioTracks().forEach((tr) => { tr.enabled = !x.muted; });
  if (x.muted) x.talk = false;
  callSend(x, { t: 'state', talk: x.talk, muted: x.muted });
  renderCall();
}

/** Deaf: nobody in the call is heard here (only on this PC). */
function callDeaf() {
  const x = CALLX;
  if (!x) return;
  x.deaf = !x.deaf;
  for (const p of x.peers.values()) p.audio.muted = x.deaf;
  renderCall();
}

function callVol(/** @type {string} */ id, /** @type {number} */ v) {
  const p = CALLX && CALLX.peers.get(id);
  if (!p || !Number.isFinite(v)) return;
  p.vol = Math.max(0, Math.min(100, v)) / 100;
  p.audio.volume = p.vol;
}

/** The room's host removes a member (the server checks that this PC is the host). */
function callKick(/** @type {string} */ id) {
  const x = CALLX;
  if (x && x.me && x.host === x.me && x.peers.has(id)) callSend(x, { t: 'kick', id });
}

/**
 * Leaves the call; why is the key of a toast to show, if any.
 * @param {string} [why]
 */
function callLeave(why) {
  const x = CALLX;
  if (!x) return;
  CALLX = null;
  clearInterval(x.timers.ping);
  clearInterval(x.timers.meter);
  clearTimeout(x.timers.rejoin);
  for (const p of [...x.peers.values()]) callDropPeer(x, p);
  if (x.mic) x.mic.getTracks().forEach((tr) => tr.stop());
  if (x.ac) x.ac.close().catch(() => {});
  const ws = x.ws;
  x.ws = null;
  if (ws) {
    try {
      ws.close();
    } catch {}
  }
  if (x.mic) post('/api/llamada', { activa: false }).catch(() => {});
  if (why) toast(t(why), 6000);
  renderCall();
}

// View -----------------------------------------------------------------------------------

/**
 * Who the rows are: they are built again only when that changes, so that a drag on a
 * volume slider survives members who start and stop speaking; the rest is updated in place.
 */
let callDrawn = '';

function renderCall() {
  const x = CALLX;
  const dot = $('#calldot');
  if (!dot) return;
  dot.hidden = !x;
  $('#callSetup').hidden = !!x;
  $('#callRoom').hidden = !x;
  if (!x) {
    callDrawn = '';
    $('#callPeople').innerHTML = '';
    return;
  }
  $('#callCodeBig').textContent = x.code;
  $('#callCopyBtn').textContent = t('copy');
  $('#callInfo').textContent = x.joined ? t('callPeople', x.peers.size + 1) : t('connecting');
  $('#callMuteBtn').textContent = t(x.muted ? 'callMuted' : 'callUnmuted');
  $('#callMuteBtn').classList.toggle('off', x.muted);
  $('#callDeafBtn').textContent = t(x.deaf ? 'callDeafOn' : 'callDeafOff');
  $('#callDeafBtn').classList.toggle('off', x.deaf);
  const amHost = !!x.me && x.host === x.me;
  const myName = peerName(ID && ID.nombre, 'Kelvora');
  const peers = [...x.peers.values()];
  const who = JSON.stringify([LANG, myName, amHost, x.host, peers.map((p) => [p.id, p.name])]);
  const box = $('#callPeople');
  if (who !== callDrawn) {
    callDrawn = who;
    const muted = (/** @type {string} */ tip) => `<span class="cmuted" title="${esc(t(tip))}" hidden>🔇</span>`;
    box.innerHTML =
      `<div class="item cme" data-id=""><span class="ctalk"></span><span class="grow"><b>${esc(myName)}</b> · ${esc(t('callYou'))}${amHost ? ' · ' + esc(t('callHost')) : ''}</span>${muted('callMuted')}</div>` +
      peers
        .map(
          (p) =>
            `<div class="item cpeer" data-id="${esc(p.id)}"><span class="ctalk"></span>` +
            `<span class="grow"><b>${esc(p.name)}</b>${p.id === x.host ? ' · ' + esc(t('callHost')) : ''}</span>` +
            muted('dkPeerMuted') +
            '<span class="cst muted"></span>' +
            `<input type="range" class="cvol" min="0" max="100" value="${Math.round(p.vol * 100)}" title="${esc(t('dkVol'))}" data-id="${esc(p.id)}">` +
            (amHost ? `<button class="small danger ckick" data-id="${esc(p.id)}">${esc(t('callKick'))}</button>` : '') +
            '</div>',
        )
        .join('');
  }
  const states = t('pcState');
  box.querySelectorAll('.item').forEach((/** @type {HTMLElement} */ row) => {
    const p = row.dataset.id ? x.peers.get(row.dataset.id) : null;
    const talk = p ? p.talk && !p.muted : x.talk;
    row.classList.toggle('talk', talk);
    const mark = row.querySelector('.cmuted');
    if (mark) /** @type {HTMLElement} */ (mark).hidden = !(p ? p.muted : x.muted);
    const st = row.querySelector('.cst');
    if (st && p) st.textContent = (states && typeof states === 'object' && states[p.pc.connectionState]) || p.pc.connectionState;
  });
}

function wireCall() {
  $('#callCreateBtn').onclick = callCreate;
  $('#callJoinBtn').onclick = callJoin;
  $('#callCode').addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => { if (e.key === 'Enter') callJoin(); });
  $('#callMuteBtn').onclick = callMute;
  $('#callDeafBtn').onclick = callDeaf;
  $('#callLeaveBtn').onclick = () => callLeave();
  // The code is there to be passed on: a copy button beside it (the code itself copies too).
  $('#callCodeBig').insertAdjacentHTML('afterend', '<button id="callCopyBtn" class="small"></button>');
  $('#callCodeBig').onclick = $('#callCopyBtn').onclick = () => { if (CALLX) copyText(CALLX.code); };
  $('#callPeople').addEventListener('input', (/** @type {Event} */ e) => {
    const el = /** @type {HTMLInputElement} */ (e.target);
    if (el.classList.contains('cvol')) callVol(el.dataset.id || '', Number(el.value));
  });
  $('#callPeople').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button.ckick'));
    if (b) callKick(b.dataset.id || '');
  });
  renderCall();
}

// A page that goes away takes its place in the room with it; the native side must not
// count the call as still running (it holds updates back while one is).
addEventListener('beforeunload', () => {
  if (!CALLX || !CALLX.mic) return;
  try {
    fetch('/api/llamada', { method: 'POST', keepalive: true, headers: { 'Content-Type': 'application/json', 'X-Token': TOKEN }, body: '{"activa":false}' });
  } catch {}
});

if (typeof document !== 'undefined' && document.readyState !== 'loading') wireCall();
else addEventListener('DOMContentLoaded', wireCall);
