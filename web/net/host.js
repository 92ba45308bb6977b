import { checkPassword, diag, getMonitors, getResolution, mailboxPut, notice, PAGE, putSettings, readClipboard, sendInput, setClipboard, setResolution, showWindow } from '../core/api.js';
import { wsUrl } from '../core/server.js';
import { CAPN, HOST, INQ, setting, ST } from '../core/state.js';
import { t } from '../core/texts.js';
import { errText, records, yes } from '../core/util.js';
import { voicePlayer } from '../media/devices.js';
import { closePcSound, openPcSound, pumpPcSound } from '../media/pc_sound.js';
import { captureScreen, clampFps, followMotion, newMotion, qualityName, stopStream, tuneScreen } from '../media/screen.js';
import { beep } from '../media/tones.js';
import { hostCapClose, hostCapOpen, hostCapWarm, labelMonitor, matchMonitor } from './capture_link.js';
import { playAtOnce, preferCodecs } from './peer.js';
import { declineRing, onRing, onRingMsg, startSesLine } from './phone.js';
import { ctl, endSession, fitsChannel, newPC, newSession, onSignal, sendOffer, sessionNote, sessionOn, startStats, wireDC } from './session.js';
import { SignalSocket } from './signal_socket.js';
import { cleanIce, cleanMons, peerName } from './wire.js';

// The settings page names the qualities the host knows.
export { qualityName };

// Receiving support, the protocol side: the /host/ registration, the technician's requests
// and their answers, the host session with its captured screen, quality and monitors, the
// input pump and the PC's sound. The page (ui/host.js) shows the dialog, the bar and the card.
//
// Registration: off → connecting → online; online or connecting → error when the socket
// closes → connecting again after the wait; → taken or replaced (no retry until the user
// acts); → off when switched off. A request: pending (58 s) → accepted, denied, timed
// out, cancelled by the peer, or dropped when the socket closes.

/** @typedef {import('../core/state.js').HostReq} HostReq */
/** @typedef {import('../core/state.js').Session} Session */
/** @typedef {import('../core/state.js').WireMsg} WireMsg */
/** @typedef {import('../core/state.js').Monitor} Monitor */
/** @typedef {import('../core/state.js').RtpSample} RtpSample */
/** @typedef {{control: boolean, audio: boolean, voice: boolean, mons: string[], unattended: boolean}} AcceptOpts what the helped person (or the settings) allowed */

/**
 * What the host side tells the page; app.js sets these.
 * @type {{
 *   onchange: (what: 'registration'|'session') => void,
 *   onnotice: (text: string, ms?: number) => void,
 *   onrequest: (req: HostReq) => void,
 *   onrequestend: () => void,
 * }}
 */
export const hostOn = { onchange: () => {}, onnotice: () => {}, onrequest: () => {}, onrequestend: () => {} };

const REQ_MS = 58000;
export const ACCEPT_GUARD_MS = 1200;
const HOST_PING_MS = 25000;
/** Events per POST to /api/input. */
const INPUT_BATCH = 200;
/** Queued events beyond this are refused: a flood must not grow the page without end. */
const INPUT_MAX = 20000;
/** Waits before the 1st…5th retry of the registration, then every later one (s). */
const RETRY_WAITS = [3, 5, 8, 13, 20, 30];
/** The close code of a signalling server that restarts: come back soon, it is no failure. */
const SERVER_GOING_AWAY = 1001;

// Pure rules -------------------------------------------------------------------------------

/** Wait before the next registration attempt, given how many retries came before (ms). */
export function retryDelay(/** @type {number} */ retry) {
  return RETRY_WAITS[Math.max(0, Math.min(retry, RETRY_WAITS.length - 1))] * 1000;
}

/** Seconds left until `until`, rounded up, never negative. */
export function secsLeft(/** @type {number} */ until, /** @type {number} */ now) {
  return Math.max(0, Math.ceil((until - now) / 1000));
}

/** Monitors the technician may see: those named, or all when none of the names matches. */
export function allowedMons(/** @type {Monitor[]} */ mons, /** @type {string[]} */ names) {
  const some = mons.filter((m) => names.includes(m.name));
  return some.length ? some : mons.slice();
}

/** The `monitores` setting as names; "todos" (or nothing) means every monitor. */
export function monNames(/** @type {string} */ v) {
  const s = String(v || '').trim();
  if (!s || s.toLowerCase() === 'todos') return [];
  return s.split(',').map((x) => x.trim()).filter(Boolean).slice(0, 16);
}

/**
 * Puts input from the technician in the queue. A move batch (channel mov) only replaces
 * the pending move by its last event; an ordered batch is appended and makes the pending
 * move stale. Returns whether anything was taken.
 */
function queueInput(/** @type {unknown} */ ev, /** @type {boolean} */ moves) {
  if (!Array.isArray(ev)) return false;
  /** @type {Object<string, unknown>[]} */
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
async function pumpInput(/** @type {Session} */ s) {
  if (INQ.busy) return;
  INQ.busy = true;
  try {
    while (ST.HSES === s && !s.dead && s.control && (INQ.q.length || INQ.move)) {
      let batch;
      if (INQ.q.length) batch = INQ.q.splice(0, INPUT_BATCH);
      else {
        batch = [INQ.move];
        INQ.move = null;
      }
      try {
        await sendInput({ mon: s.mon, ev: batch });
      } catch {}
    }
  } finally {
    INQ.busy = false;
  }
  if (!(ST.HSES === s && !s.dead && s.control)) clearInput();
}

/** The permissions and monitors the technician is told about. */
export function permMsg(/** @type {Session} */ s) {
  return { t: 'perm', control: !!s.control, audio: !!s.audio, hasAudio: !!s.audioTrack, mon: s.mon, mons: s.mons, monsw: true, surface: s.surface };
}

// Registration ---------------------------------------------------------------------------

function setHostState(/** @type {string} */ st) {
  HOST.state = st;
  hostOn.onchange('registration');
}

/** Opens the /host/ socket under this PC's ID when available and not already open. */
export function hostConnect() {
  clearTimeout(HOST.timer);
  HOST.timer = 0;
  if (!ST.ID || !ST.ID.id || !yes(setting('recibir', 'disponible'))) {
    setHostState('off');
    return;
  }
  if (HOST.ws && HOST.ws.live) return;
  HOST.stop = false;
  setHostState('connecting');
  /** @type {SignalSocket} */
  let ws;
  try {
    ws = new SignalSocket(wsUrl('/host/' + ST.ID.id), 1 << 20);
  } catch {
    hostRetry();
    return;
  }
  HOST.ws = ws;
  ws.onopen = () => {
    if (HOST.ws === ws && ST.ID) ws.send({ t: 'hello', key: ST.ID.llave, name: ST.ID.nombre, ver: PAGE.version });
  };
  ws.onmessage = (m) => {
    if (HOST.ws === ws) hostServerMsg(m);
  };
  ws.onclose = (code) => hostClosed(ws, code);
}

/** Closes the registration on the user's word: no retry until it is switched on again. */
export function hostDisconnect() {
  HOST.stop = true;
  HOST.retry = 0;
  const ws = HOST.ws;
  hostLost();
  if (ws) ws.close();
  setHostState('off');
}

/** The availability switch: stored, then the registration follows it. */
export function setAvail(/** @type {boolean} */ on) {
  ST.AJ.recibir.disponible = on ? 'si' : 'no';
  putSettings({ recibir: { disponible: ST.AJ.recibir.disponible } }).catch(() => {});
  if (on) hostConnect();
  else hostDisconnect();
}

/** JSON on the /host/ socket when open. */
export function hsend(/** @type {WireMsg} */ m) {
  if (HOST.ws) HOST.ws.send(m);
}

/** What goes when the socket goes: the keep-alive, a pending request, a ringing call. */
function hostLost() {
  clearTimeout(HOST.timer);
  HOST.timer = 0;
  if (HOST.ws) HOST.ws.stopPing();
  HOST.ws = null;
  if (HOST.req) dropReq();
  if (typeof declineRing === 'function') declineRing();
}

function hostClosed(/** @type {SignalSocket} */ ws, code = 0) {
  if (HOST.ws !== ws) return;
  hostLost();
  if (HOST.stop) setHostState('off');
  else if (HOST.state === 'taken' || HOST.state === 'replaced') hostOn.onchange('registration');
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
export function hostServerMsg(/** @type {WireMsg} */ m) {
  const sid = typeof m.sid === 'string' ? m.sid : '';
  const s = ST.HSES && sid && ST.HSES.sid === sid ? ST.HSES : null;
  switch (m.t) {
    case 'ready':
      HOST.retry = 0;
      setHostState('online');
      if (HOST.ws) HOST.ws.keepAlive(HOST_PING_MS);
      break;
    case 'taken':
    case 'replaced':
      setHostState(m.t);
      break;
    case 'locked': {
      const mins = typeof m.mins === 'number' && Number.isFinite(m.mins) ? Math.max(1, Math.min(10000, Math.round(m.mins))) : 1;
      hostOn.onnotice(t('lockedMsg', mins), 8000);
      break;
    }
    case 'req':
      onReq(m);
      break;
    case 'cancel':
      if (HOST.req && sid && HOST.req.sid === sid) {
        dropReq();
        hostOn.onnotice(t('reqCancelled'));
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
export async function onReq(/** @type {WireMsg} */ m) {
  const sid = typeof m.sid === 'string' ? m.sid.slice(0, 64) : '';
  if (!sid) return;
  if (ST.HSES || HOST.req) return hsend({ t: 'answer', sid, ok: false, reason: 'busy' });
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
      ok = !!(await checkPassword(pass.slice(0, 256))).ok;
    } catch {}
    if (HOST.req !== req) return;
    if (!ok) {
      HOST.req = null;
      hsend({ t: 'answer', sid, ok: false, reason: 'badkey' });
      hostOn.onnotice(t('badKeyTry'), 6000);
      return;
    }
    if (yes(setting('recibir', 'desatendido'))) return acceptUnattended(req);
  }
  req.until = Date.now() + REQ_MS;
  req.allMons = await readMons();
  if (HOST.req !== req) return;
  req.picking = false;
  notice(t('reqWho', req.name)).catch(() => {});
  showWindow().catch(() => {});
  if (yes(setting('recibir', 'sonido'))) beep();
  hostOn.onrequest(req);
}

async function readMons() {
  try {
    const raw = records(await getMonitors());
    const list = cleanMons(raw);
    // On X a monitor also gives the number its screen captures carry in their label.
    for (const m of list) {
      const r = raw.find((x) => x.i === m.i);
      if (r && typeof r.captura === 'number' && Number.isInteger(r.captura)) m.captura = r.captura;
    }
    return list;
  } catch {
    return [];
  }
}

/** Forgets the pending request and closes its dialog. */
export function dropReq() {
  const req = HOST.req;
  HOST.req = null;
  if (req) clearInterval(req.tick);
  hostOn.onrequestend();
}

export function rejectReq() {
  const req = HOST.req;
  if (!req || req.picking) return;
  hsend({ t: 'answer', sid: req.sid, ok: false, reason: 'denied' });
  dropReq();
}

/** Accept with the options as ticked in the dialog, then the main screen; the answer waits for the capture. */
export async function acceptReq(/** @type {{control: boolean, audio: boolean, voice: boolean, mons: string[]}} */ ticked) {
  const req = HOST.req;
  if (!req || req.picking || Date.now() - req.shown < ACCEPT_GUARD_MS) return;
  const opts = { ...ticked, unattended: false };
  req.picking = true;
  clearInterval(req.tick);
  hostOn.onrequestend();
  let screen;
  try {
    screen = await captureFor(req);
  } catch {
    hostOn.onnotice(t('pickerCancelled'), 6000);
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
  notice(t('uaHost', req.name)).catch(() => {});
  hostOn.onnotice(t('uaHost', req.name), 8000);
  diag(`[SESION] acceso desatendido de ${req.name}`);
  startHostSession(req, screen, opts);
}

// The host session -------------------------------------------------------------------------

/** @type {import('../core/state.js').SessionSide} the helped side: signals and the goodbye go through the /host/ socket */
const hostSide = {
  signal: (s, data) => hsend({ t: 'signal', sid: s.sid, data }),
  bye: (s, why) => hsend({ t: 'bye', sid: s.sid, why }),
  forget: (s) => hostForget(s),
  message: (s, m, label) => hostMsg(s, m, label),
  open: (s) => hostHello(s),
  stats: (s, rtp) => hostStats(s, rtp),
};

/** After acceptance: the record, the monitors, the peer connection and its media, the offer. */
async function startHostSession(/** @type {HostReq} */ req, /** @type {MediaStream} */ screen, /** @type {AcceptOpts} */ opts) {
  const track = screen.getVideoTracks()[0];
  const st = track ? track.getSettings() : {};
  const s = newSession('host', {
    k: 'h' + ++ST.SESN, sid: req.sid, peer: req.name, ice: req.ice,
    quality: qualityName(setting('recibir', 'calidad')) || 'auto', fps: clampFps(setting('recibir', 'fps')),
    control: !!opts.control, audio: !!opts.audio, unattended: !!opts.unattended, monsw: true,
    surface: st.displaySurface || 'monitor',
    screen, vtx: null, atx: null, vaud: null, audioPipe: null, audioTrack: null,
    allMons: req.allMons, allowNames: opts.mons, mainMon: 0, cap: null, capBusy: false, side: hostSide,
  });
  ST.HSES = s;
  const main = labelMonitor(req.allMons, track ? track.label : '') || matchMonitor(req.allMons, st.width || 0, st.height || 0);
  if (main) {
    s.mainMon = main.i;
    CAPN[main.name] = 1;
  }
  s.mon = main ? main.i : 0;
  s.mons = allowedMons(req.allMons, opts.mons);
  hostOn.onchange('session');
  if (track) track.onended = () => { if (!s.dead && s.screen === screen) endSession(s, 'stopped'); };
  try {
    await buildHostPC(s, track, opts);
  } catch (e) {
    diag(`[SESION] no se pudo iniciar la sesión con ${s.peer}: ${errText(e)}`);
    endSession(s, 'local');
  }
}

/** The media layout (screen, PC audio, voice), the channels, the quality and the offer. */
async function buildHostPC(/** @type {Session} */ s, /** @type {MediaStreamTrack} */ track, /** @type {AcceptOpts} */ opts) {
  const pc = await newPC(s);
  if (!pc || s.dead || !s.screen) return;
  s.vtx = pc.addTransceiver(track, { direction: 'sendonly', streams: [s.screen] });
  s.atx = pc.addTransceiver('audio', { direction: 'sendonly' });
  s.voice = pc.addTransceiver('audio', { direction: 'sendrecv' });
  playAtOnce(s.voice.receiver);
  preferCodecs(s.vtx);
  if (s.audio) hostStartAudio(s);
  try {
    s.vaud = voicePlayer();
    s.vaud.autoplay = true;
    s.vaud.srcObject = new MediaStream([s.voice.receiver.track]);
  } catch {}
  wireDC(s, pc.createDataChannel('ctl', { ordered: true }));
  // Files yield to the control messages and the picture where the browser honours a priority.
  wireDC(s, pc.createDataChannel('file', /** @type {RTCDataChannelInit} */ ({ ordered: true, priority: 'very-low' })));
  wireDC(s, pc.createDataChannel('mov', { ordered: false, maxRetransmits: 0 }));
  await applyQuality(s);
  if (s.dead) return;
  await sendOffer(s);
  sessionNote(s);
  if (opts.voice && typeof startSesLine === 'function') startSesLine(s);
  hostOn.onchange('session');
  sessionOn.onstart(s);
  hostCapWarm(s);
  startStats(s);
  if (s.mons.length && !s.mons.some((m) => m.i === s.mainMon)) hostShowMon(s, s.mons[0].i);
}

/** endSession's host part: the slot, the capture link, the PC audio pipe, the queue, the tracks. */
export function hostForget(/** @type {Session} */ s) {
  if (ST.HSES === s) ST.HSES = null;
  clearInput();
  if (typeof hostCapClose === 'function') hostCapClose(s);
  hostStopAudio(s);
  stopStream(s.screen || null);
  if (s.vaud) {
    s.vaud.srcObject = null;
    s.vaud = null;
  }
}

/** Whether the session's picture moves, as its sender's statistics tell. */
const motionOf = (/** @type {Session & {motion?: ReturnType<typeof newMotion>}} */ s) => s.motion || (s.motion = newMotion());

/** Each sample of the screen sender's statistics: a picture that starts or stops moving may change the size "auto" sends it at. */
export function hostStats(/** @type {Session} */ s, /** @type {RtpSample} */ rtp) {
  if (followMotion(motionOf(s), rtp)) applyQuality(s);
}

/** Quality, frame rate, bit rate and size of the screen's sender (media/screen.js). */
export async function applyQuality(/** @type {Session} */ s) {
  const q = qualityName(s.quality) || qualityName(setting('recibir', 'calidad')) || 'auto';
  const mon = (s.allMons || []).find((m) => m.i === s.mon);
  await tuneScreen(s.vtx ? s.vtx.sender : null, q, clampFps(s.fps || setting('recibir', 'fps')), motionOf(s), mon);
}

/** `hello` when the control channel opens: who we are and what the technician may do. */
export function hostHello(/** @type {Session} */ s) {
  ctl(s, {
    t: 'hello', name: ST.ID ? ST.ID.nombre : '', id: ST.ID ? ST.ID.id : '', control: !!s.control, audio: !!s.audio, hasAudio: !!s.audioTrack,
    mons: s.mons, mon: s.mon, monsw: true, surface: s.surface, quality: s.quality, fps: s.fps, unattended: !!s.unattended, ver: PAGE.version,
  });
}

/** Every message from the technician; label is the channel ("ctl" or "mov"). */
export function hostMsg(/** @type {Session} */ s, /** @type {WireMsg} */ m, /** @type {string} */ label) {
  if (s !== ST.HSES || s.dead) return;
  if (label === 'mov' && m.t !== 'in') return;
  switch (m.t) {
    case 'in':
      if (s.control && queueInput(m.ev, label === 'mov')) pumpInput(s);
      break;
    case 'text':
      if (s.control && typeof m.s === 'string' && m.s) sendInput({ mon: s.mon, ev: [{ k: 't', s: m.s }] }).catch(() => {});
      break;
    case 'clip-set':
      if (s.control && typeof m.text === 'string') {
        setClipboard(m.text)
          .then((r) => !!(r && r.ok), () => false)
          .then((ok) => ctl(s, { t: 'clip-ok', ok }));
      }
      break;
    case 'clip-get':
      if (s.control) {
        readClipboard({})
          .catch(() => null)
          .then((r) => {
            const ok = !!(r && r.ok);
            const answer = { t: 'clip', text: ok && typeof r.texto === 'string' ? r.texto : '', ok };
            // Too large for the channel it would be dropped, and the technician left waiting.
            ctl(s, fitsChannel(s, answer) ? answer : { t: 'clip', text: '', ok: false, big: true });
          });
      }
      break;
    case 'res-get':
      getResolution({ mon: s.mon })
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
      if (typeof m.i === 'number' && Number.isInteger(m.i)) hostShowMon(s, m.i);
      break;
    default:
      console.log('host: mensaje desconocido del técnico', m.t);
  }
}

/** A resolution change asked by the technician, only with control. */
async function hostResSet(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  if (!s.control) return ctl(s, { t: 'res-ok', r: { ok: false, msg: 'control' } });
  /** @type {import('../core/api.js').ResSet} */
  const body = m.original === true ? { original: true } : { mon: s.mon };
  if (!body.original) {
    if (typeof m.w === 'number') body.w = m.w;
    if (typeof m.h === 'number') body.h = m.h;
    if (Array.isArray(m.fit) && typeof m.fit[0] === 'number' && typeof m.fit[1] === 'number') {
      body.ajustar_w = m.fit[0];
      body.ajustar_h = m.fit[1];
    }
  }
  /** @type {import('../core/api.js').ResReply} */
  let r;
  try {
    r = await setResolution(body);
  } catch {
    r = { ok: false, msg: 'no se pudo cambiar la resolución' };
  }
  if (!r || typeof r !== 'object') r = { ok: false, msg: 'no se pudo cambiar la resolución' };
  if (r.ok && body.original) hostOn.onnotice(t('resBack'), 5000);
  else if (r.ok && r.actual) hostOn.onnotice(t('resChanged', `${Number(r.actual.w) || 0}×${Number(r.actual.h) || 0}`), 7000);
  const mons = await readMons();
  if (s.dead) return;
  if (mons.length) {
    s.allMons = mons;
    s.mons = allowedMons(mons, s.allowNames || []);
  }
  ctl(s, permMsg(s));
  hostOn.onchange('session');
  ctl(s, { t: 'res-ok', r });
}

/** Quality and frame rate asked by the technician; a capture window gets the frame rate too. */
export function hostQuality(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  const q = qualityName(m.q);
  if (q) s.quality = q;
  s.fps = clampFps(typeof m.fps === 'number' ? m.fps : NaN);
  applyQuality(s);
  if (s.cap) mailboxPut({ a: 'cap', m: { t: 'fps', fps: s.fps } }).catch(() => {});
}

/**
 * Shows another monitor. The main one is the main capture; any other comes through the
 * capture window. Ignored during a switch, for a monitor not allowed, or for the one shown
 * unless it is a secondary whose capture link is gone.
 */
async function hostShowMon(/** @type {Session} */ s, /** @type {number} */ i) {
  if (s.dead || s.capBusy) return;
  const mon = s.mons.find((m) => m.i === i);
  if (!mon) return;
  if (i === s.mon && (i === s.mainMon || s.cap)) return;
  s.capBusy = true;
  hostOn.onchange('session');
  try {
    let track;
    if (i === s.mainMon) {
      if (s.cap && typeof hostCapClose === 'function') hostCapClose(s);
      s.cap = null;
      track = s.screen && s.screen.getVideoTracks()[0];
      if (!track || track.readyState === 'ended') throw new Error('la captura principal terminó');
    } else {
      if (typeof hostCapOpen !== 'function') throw new Error('monitor');
      track = await hostCapOpen(s, mon.i);
      if (!track) throw new Error('monitor');
    }
    if (s.dead || !s.vtx) return;
    await s.vtx.sender.replaceTrack(track);
    s.mon = i;
    clearInput();
    await applyQuality(s);
    ctl(s, permMsg(s));
  } catch (e) {
    if (s.dead) return;
    hostOn.onnotice(t('monFail'), 7000);
    diag(`[CAPTURA] no se pudo mostrar el monitor ${mon.name}: ${errText(e)}`);
    ctl(s, permMsg(s));
  } finally {
    s.capBusy = false;
    hostOn.onchange('session');
  }
}

// Host bar controls ----------------------------------------------------------------------

export function hostSetControl(/** @type {boolean} */ on) {
  const s = ST.HSES;
  if (!s) return;
  // The queue goes first, so that nothing queued is injected after the native side let go.
  if (!on) clearInput();
  s.control = on;
  sessionNote(s);
  ctl(s, permMsg(s));
  hostOn.onchange('session');
}

export function hostSetAudio(/** @type {boolean} */ on) {
  const s = ST.HSES;
  if (!s) return;
  s.audio = on;
  if (on && !s.audioPipe) hostStartAudio(s);
  if (s.audioTrack) s.audioTrack.enabled = on;
  ctl(s, permMsg(s));
  hostOn.onchange('session');
}

export function hostSetMon(/** @type {number} */ i) {
  if (ST.HSES) hostShowMon(ST.HSES, i);
}

/** The PC's sound from the native side as the session's PC-audio track (transceiver 1). */
async function hostStartAudio(/** @type {Session} */ s) {
  if (s.audioPipe || s.dead) return;
  const pipe = { ctrl: new AbortController(), ctx: /** @type {AudioContext|null} */ (null) };
  s.audioPipe = pipe;
  try {
    const { track, node, reader } = await openPcSound(pipe);
    if (s.audioPipe !== pipe || s.dead) throw new Error('sin audio');
    track.enabled = !!s.audio;
    s.audioTrack = track;
    if (s.atx) await s.atx.sender.replaceTrack(track);
    ctl(s, permMsg(s));
    hostOn.onchange('session');
    readPcm(s, pipe, reader, node);
  } catch (e) {
    if (s.audioPipe !== pipe) return;
    diag(`[AUDIO] no se pudo mandar el audio de la PC: ${errText(e)}`);
    audioGone(s);
  }
}

/**
 * The PC sound failed or its stream ended: the bar and the technician stop saying it is
 * shared (the button turns it on again, with a new try).
 */
function audioGone(/** @type {Session} */ s) {
  hostStopAudio(s);
  s.audio = false;
  if (s.dead) return;
  ctl(s, permMsg(s));
  hostOn.onchange('session');
}

async function readPcm(/** @type {Session} */ s, /** @type {import('../core/state.js').SoundPipe} */ pipe, /** @type {ReadableStreamDefaultReader<Uint8Array>} */ reader, /** @type {AudioWorkletNode} */ node) {
  await pumpPcSound(reader, node, () => s.audioPipe === pipe);
  // The native stream ended: the technician is told that there is no PC audio any more.
  if (s.audioPipe === pipe && !s.dead) audioGone(s);
}

function hostStopAudio(/** @type {Session} */ s) {
  const pipe = s.audioPipe;
  s.audioPipe = null;
  if (pipe) closePcSound(pipe);
  if (s.audioTrack) {
    s.audioTrack.stop();
    s.audioTrack = null;
    if (s.atx && !s.dead) s.atx.sender.replaceTrack(null).catch(() => {});
  }
}
