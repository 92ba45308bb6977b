// Giving support, the protocol side: a session's /join/ socket from the request to the
// host's answer, the waiting countdown, and the host's messages. The viewer (ui/viewer.js)
// shows the picture and sends the remote hand.

import { addRecent, writeLocalClipboard } from '../core/api.js';
import { wsUrl } from '../core/server.js';
import { ST, TS } from '../core/state.js';
import { t } from '../core/texts.js';
import { prettyId, store } from '../core/util.js';
import { ctl, endSession, MAX_TS, newPC, newSession, onSignal, sessionNote, sessionOn, setWait, startStats } from './session.js';
import { SignalSocket } from './signal_socket.js';
import { cleanIce, cleanMons, peerName } from './wire.js';

/** @typedef {import('../core/state.js').Session} Session */
/** @typedef {import('../core/state.js').WireMsg} WireMsg */

/** The picture's qualities the host knows, with their text keys. */
export const QUALITIES = [['auto', 'qAuto'], ['nitidez', 'qText'], ['fluidez', 'qMotion']];

/**
 * Why an ID cannot be connected now, or null. digits: the field's digits; own: this PC's ID;
 * open: the sessions by key. Returns {key, args, k} (k: the session that already has it).
 */
export function connectCheck(/** @type {string} */ digits, /** @type {string} */ own, /** @type {Map<string, {k: string, peerId: string}>} */ open) {
  if (!/^[1-9]\d{8}$/.test(digits)) return { key: 'badId', args: [], k: '' };
  if (own && digits === own) return { key: 'selfId', args: [], k: '' };
  for (const s of open.values()) if (s.peerId === digits) return { key: 'sesDup', args: [], k: s.k };
  if (open.size >= MAX_TS) return { key: 'sesMax', args: [MAX_TS], k: '' };
  return null;
}

/** One second of the waiting countdown: the new count, what it shows (never below 0), and whether to give up. */
function waitTick(/** @type {number} */ left) {
  const n = left - 1;
  return { left: n, shown: Math.max(0, n), end: n <= -3 };
}

/** The server's waiting time in seconds: a sane positive number, 60 otherwise. */
export function waitSeconds(/** @type {unknown} */ v) {
  const n = Math.round(Number(v));
  return Number.isFinite(n) && n > 0 ? Math.min(n, 3600) : 60;
}

/** The toast for a refusal on /join/: {key, args, ms, askPass} or null for other messages. */
export function refusalNote(/** @type {WireMsg} */ m, /** @type {boolean} */ withPass) {
  if (m.t === 'denied') {
    const r = m.reason;
    if (r === 'badkey' && !withPass) return { key: 'denNeedPass', args: [], ms: 7000, askPass: true };
    const key = ownValue({ badkey: 'denBadKey', denied: 'denDenied', timeout: 'denTimeout', cancelled: 'denCancelled', busy: 'denBusy', unavailable: 'denUnavailable', rate: 'denRate' }, r, 'denDenied');
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
export function endedWhy(/** @type {unknown} */ reason) {
  return ownValue({ hostgone: 'lost', failed: 'failed', stopped: 'stopped' }, reason, 'peer');
}

/** table[key] for a key the table itself holds ("constructor" from the wire is no key), else dflt. */
function ownValue(/** @type {Object<string, string>} */ table, /** @type {unknown} */ key, /** @type {string} */ dflt) {
  return typeof key === 'string' && Object.hasOwn(table, key) ? table[key] : dflt;
}

/**
 * What a `res-ok` tells the technician: [key, ...args] or null. A refused size while
 * adaptive stays quiet: the stage re-sends its size on every resize and control may come later.
 */
export function resOkNote(/** @type {unknown} */ raw, /** @type {boolean} */ adaptive) {
  if (!raw || typeof raw !== 'object') return null;
  const r = /** @type {{ok?: unknown, msg?: unknown, actual?: {w?: unknown, h?: unknown}}} */ (raw);
  if (r.ok !== true) {
    const msg = typeof r.msg === 'string' ? r.msg.slice(0, 200) : '';
    if (msg === 'control') return adaptive ? null : ['ctlDenied'];
    return ['resFail', msg];
  }
  const a = r.actual;
  const w = a ? Number(a.w) : 0, h = a ? Number(a.h) : 0;
  if (!adaptive && w > 0 && h > 0) return ['resNow', `${Math.round(w)}×${Math.round(h)}`];
  return null;
}

/** A mode record {w, h, hz} with whole positive numbers, or null. */
export function cleanMode(/** @type {unknown} */ x) {
  if (!x || typeof x !== 'object') return null;
  const m = /** @type {Object<string, unknown>} */ (x);
  const w = Math.round(Number(m.w)), h = Math.round(Number(m.h)), hz = Math.round(Number(m.hz)) || 0;
  return w > 0 && h > 0 && w <= 100000 && h <= 100000 ? { w, h, hz } : null;
}

/**
 * What the technician's sessions tell the page; app.js sets these.
 * @type {{
 *   onchange: (s: Session, what?: 'recents'|'sessions'|'screen') => void,
 *   onnotice: (text: string, ms?: number) => void,
 *   onaskpass: () => void,
 *   onaccepted: (s: Session) => void,
 *   onunattended: (s: Session) => void,
 *   oncontrol: (s: Session) => void,
 *   onadapt: (s: Session) => void,
 *   onforget: (s: Session) => void,
 * }}
 * onaskpass: a refusal a password may get past; onaccepted: the host let us in;
 * onunattended: in by password, the picture's options are asked; oncontrol: control as
 * wanted, the remote hand takes the keys; onadapt: the remote resolution should follow
 * the window (as last chosen); onforget: the session's place on the page goes.
 */
export const techOn = {
  onchange: () => {}, onnotice: () => {}, onaskpass: () => {}, onaccepted: () => {}, onunattended: () => {},
  oncontrol: () => {}, onadapt: () => {}, onforget: () => {},
};

// Connecting -------------------------------------------------------------------------------

/** @type {import('../core/state.js').SessionSide} the helping side: signals and the goodbye go through the session's /join/ socket */
const techSide = {
  signal: (s, data) => { if (s.ws) s.ws.send({ t: 'signal', data }); },
  bye: (s, why) => { if (s.ws) s.ws.send({ t: s.accepted ? 'bye' : 'cancel', why }); },
  forget: (s) => techForget(s),
  message: (s, m) => techMsg(s, m),
};

/** A new session toward the PC with these digits; nothing is opened yet. */
export function techSession(/** @type {string} */ digits, /** @type {boolean} */ withPass, /** @type {boolean} */ wantControl) {
  return newSession('tech', {
    k: 't' + ++ST.SESN, peer: prettyId(digits), peerId: digits, wantControl, withPass,
    resInfo: null, adaptive: false, clipWait: false, uaAsked: false, waitLeft: 0, side: techSide,
  });
}

/** Opens the session's /join/ socket and follows the server until the host answers. */
export function joinOpen(/** @type {Session} */ s, /** @type {string} */ pass) {
  /** @type {SignalSocket} */
  let ws;
  try {
    ws = new SignalSocket(wsUrl('/join/' + s.peerId), 1 << 18);
  } catch {
    techOn.onnotice(t('srvDown'));
    endSession(s, 'local', false);
    return;
  }
  s.ws = ws;
  ws.onopen = () => {
    ws.send({ t: 'join', name: ST.ID ? ST.ID.nombre || '' : '', pass });
    ws.keepAlive(25000);
  };
  // Before acceptance the socket is the session: an error or a close ends it (a close
  // without a word from the server is shown like an error, not swallowed). Afterwards
  // the peer connection carries on alone.
  const lost = () => {
    ws.stopPing();
    if (s.dead || s.accepted) return;
    techOn.onnotice(t('srvDown'), 6000);
    endSession(s, 'local', false);
  };
  ws.onerror = lost;
  ws.onclose = lost;
  ws.onmessage = (m) => {
    if (!s.dead) joinMsg(s, m);
  };
}

/** One message of the signalling server on a session's /join/ socket. */
export function joinMsg(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
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
      const n = refusalNote(m, !!s.withPass);
      if (!n) break;
      endSession(s, 'local', false);
      techOn.onnotice(t(n.key, ...n.args), n.ms);
      if (n.askPass) setTimeout(() => techOn.onaskpass(), 300);
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
export function startWait(/** @type {Session} */ s, /** @type {number} */ secs) {
  clearInterval(s.timers.wait);
  s.waitLeft = secs;
  setWait(s, waitLine(secs));
  s.timers.wait = setInterval(() => {
    if (s.dead || s.accepted) return clearInterval(s.timers.wait);
    const w = waitTick(s.waitLeft || 0);
    s.waitLeft = w.left;
    if (!w.end) return setWait(s, waitLine(w.shown));
    clearInterval(s.timers.wait);
    techOn.onnotice(t('denTimeout'), 6000);
    endSession(s, 'local');
  }, 1000);
}

function waitLine(/** @type {number} */ n) {
  return t('waitAccept') + ' ' + t('waitSecs', Math.max(0, n));
}

/** The host said yes: build the connection and wait for its offer. */
async function onAccepted(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  s.accepted = true;
  clearInterval(s.timers.wait);
  s.peer = peerName(m.name, s.peer);
  s.ice = cleanIce(m.iceServers);
  setWait(s, t('connectingPeer'));
  addRecent({ id: s.peerId, nombre: s.peer })
    .then((r) => { if (Array.isArray(r)) { ST.S.recientes = r; techOn.onchange(s, 'recents'); } })
    .catch(() => {});
  techOn.onaccepted(s);
  try {
    await newPC(s);
  } catch (e) {
    console.warn('conexión', e);
    endSession(s, 'lost');
    return;
  }
  if (s.dead) return;
  sessionNote(s);
  sessionOn.onstart(s);
  startStats(s);
  techOn.onchange(s, 'sessions');
}

// Host messages ----------------------------------------------------------------------------

/** A message of the host on the ctl or mov channel. */
export function techMsg(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
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
        writeLocalClipboard(m.text)
          .then((r) => techOn.onnotice(t(r && r.ok ? 'clipGot' : 'copyFail')))
          .catch(() => techOn.onnotice(t('copyFail')));
      } else techOn.onnotice(t(m.big === true ? 'clipBig' : 'clipEmpty'));
      break;
    case 'clip-ok':
      techOn.onnotice(t(m.ok === true ? 'clipSent' : 'copyFail'));
      break;
    case 'res-info':
      s.resInfo = m.r && typeof m.r === 'object' ? /** @type {Object<string, unknown>} */ (m.r) : null;
      techOn.onchange(s, 'screen');
      break;
    case 'res-ok': {
      const n = resOkNote(m.r, !!s.adaptive);
      if (n) techOn.onnotice(n[0] === 'resFail' ? t('resFail') + (n[1] ? ' · ' + n[1] : '') : t(n[0], ...n.slice(1)));
      ctl(s, { t: 'res-get' });
      break;
    }
    default:
      console.log('ctl: mensaje desconocido', m.t);
  }
}

/** Fields that hello and perm share: permissions, monitors, captured surface. */
function takePerm(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  s.canControl = m.control === true;
  s.hostAudio = m.hasAudio === true && m.audio === true;
  // A perm without a list keeps the one we have.
  if (Array.isArray(m.mons)) s.mons = cleanMons(m.mons);
  if (typeof m.mon === 'number' && Number.isInteger(m.mon) && m.mon >= 0) s.mon = m.mon;
  s.monsw = s.monsw || m.monsw === true;
  if (typeof m.surface === 'string') s.surface = m.surface.slice(0, 32);
}

function onHello(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  const name = peerName(m.name, s.peer);
  const renamed = name !== s.peer;
  s.peer = name;
  takePerm(s, m);
  const q = QUALITIES.find((x) => x[0] === m.quality);
  s.quality = q ? q[0] : 'auto';
  s.fps = typeof m.fps === 'number' && Number.isFinite(m.fps) ? Math.max(5, Math.min(60, Math.round(m.fps))) : 30;
  if (s.withPass && !s.uaAsked) {
    s.uaAsked = true;
    setTimeout(() => { if (!s.dead) techOn.onunattended(s); }, 400);
  }
  s.control = s.canControl && s.wantControl;
  if (s.wantControl && !s.canControl) techOn.onnotice(s.peer + ': ' + t('ctlDenied'), 5000);
  if (s.control && ST.CUR === s.k) setTimeout(() => techOn.oncontrol(s), 300);
  if (store('trv_adapt', undefined) === '1' && s.canControl) {
    setTimeout(() => { if (!s.dead && ST.CUR === s.k && !s.adaptive) techOn.onadapt(s); }, 1500);
  }
  if (renamed) sessionNote(s);
  techOn.onchange(s);
}

function onPerm(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  takePerm(s, m);
  if (!s.canControl && s.control) {
    s.control = false;
    techOn.onnotice(t('ctlDenied'));
  } else if (s.canControl && s.wantControl && !s.control) s.control = true;
  techOn.onchange(s);
  techOn.onchange(s, 'screen');
}

// Ending -----------------------------------------------------------------------------------

/** endSession's technician part: out of the map; the page lets its place go. */
export function techForget(/** @type {Session} */ s) {
  TS.delete(s.k);
  techOn.onforget(s);
}
