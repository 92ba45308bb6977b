// Voice runs as lines, like a small switchboard: a phone call to or from an ID (its own peer
// connection and `ph` channel) or the voice of a support session (the session's transceiver
// 2). Only the line, or the conference, on air hears and is heard; the others are held. A
// conference is mixed on this PC: each member is sent the microphone plus the other members,
// never its own voice back, so the other PCs need nothing special.
//
// Phone line states: calling → ringing → connecting → active (caller); connecting → active
// (callee). Every line ends through lineEnd, once.

import { addRecent, noteCall, notice, showWindow } from '../core/api.js';
import { wsUrl } from '../core/server.js';
import { LINES, MIX, RINGS_GONE, setting, ST } from '../core/state.js';
import { t } from '../core/texts.js';
import { mmss, prettyId, yes } from '../core/util.js';
import { applySink, lineAudio } from '../media/devices.js';
import { closeMic, closeUnusedMic, mixRoute, muteMic, onAir, openMic, sendLine, startVoiceTick, unfeed } from '../media/mixer.js';
import { ringTone } from '../media/tones.js';
import { mungeVoice, Peer, playAtOnce } from './peer.js';
import { ctl, iceServers, pathOf, whenCtl } from './session.js';
import { SignalSocket } from './signal_socket.js';
import { cleanIce, peerName, wireMsg } from './wire.js';

/** @typedef {import('../core/state.js').Line} Line */
/** @typedef {import('../core/state.js').Session} Session */
/** @typedef {import('../core/state.js').WireMsg} WireMsg */

const MAX_LINES = 8;
const RING_SHOW_MS = 44000;
const PHONE_CONNECT_MS = 40000;
const PHONE_LOSS_MS = 12000;
const RING_PING_MS = 25000;
/** Messages on `ph` are a few bytes; anything longer is not ours. */
const PH_MAX = 4096;

/** Why an ID can't be called ('' when it can). */
export function ringCheck(/** @type {string} */ id, /** @type {string} */ own) {
  if (!/^[1-9]\d{8}$/.test(id)) return 'badId';
  return id === own ? 'selfId' : '';
}

/** The caller's toast for a declined ring. */
export function declineKey(/** @type {unknown} */ reason) {
  return { busy: 'phBusy', limit: 'phLimit', offline: 'phOffline', timeout: 'phNoAnswer', unavailable: 'phUnavailable' }[String(reason)] || 'phDeclined';
}

/** The answer an incoming ring gets without asking anyone ('' = show it). */
export function ringVerdict(/** @type {boolean} */ accepting, /** @type {boolean} */ showing, /** @type {number} */ lines, /** @type {boolean} */ known) {
  if (!accepting) return 'unavailable';
  return showing || lines >= MAX_LINES || known ? 'busy' : '';
}

// Lines: hold, focus, merge ---------------------------------------------------------------------

export function newLine(/** @type {'phone'|'ses'} */ kind, /** @type {Partial<Line>} */ init) {
  /** @type {Line} */
  const L = {
    k: 'l' + ++ST.LINEN, kind, role: '', cid: '', ws: null, pc: null, dc: null, ses: null, peer: '', peerId: '',
    state: 'connecting', held: false, conf: false, vol: 1, audio: null, ownAudio: false, remote: null, rsrc: null,
    an: null, level: 0, dest: null, track: null, feeds: [], started: 0, rtt: -1, relay: false, peerMuted: false,
    peerHold: false, ice: [], rtc: null, timers: {}, dead: false,
  };
  Object.assign(L, init);
  if (kind === 'phone') L.rtc = phonePeer(L);
  if (MIX.ac) {
    L.dest = MIX.ac.createMediaStreamDestination();
    L.track = L.dest.stream.getAudioTracks()[0] || null;
  }
  LINES.set(L.k, L);
  return L;
}

/** Tells the peer whether this side holds the line (and, for phones, whether it is muted). */
function tellHold(/** @type {Line} */ L) {
  if (L.kind === 'ses') {
    if (L.ses) ctl(L.ses, { t: 'hold', on: !!L.held });
  } else {
    phSend(L, { t: 'hold', on: !!L.held });
    phSend(L, { t: 'mute', on: !!L.held || MIX.muted });
  }
}

function setHeld(/** @type {Line} */ L, /** @type {boolean} */ on) {
  if (!!L.held === on) return;
  L.held = on;
  tellHold(L);
  if (L.kind === 'ses') phoneOn.onchange('session', L.ses);
}

/** After any change of hold or conference: route the mixer, the tones, the views. */
function linesChanged() {
  mixRoute();
  ringTone();
  phoneOn.onchange('lines');
}

/** Puts line k on air and holds every other, except the other members of its conference. */
export function lineFocus(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L) return;
  for (const o of LINES.values()) setHeld(o, !(o === L || (L.conf && o.conf)));
  linesChanged();
}

/** Hold on a held line brings it back; on a conference member it holds the whole conference. */
export function lineHold(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L) return;
  if (L.held) return lineFocus(k);
  for (const o of LINES.values()) if (o === L || (L.conf && o.conf)) setHeld(o, true);
  linesChanged();
}

/** Joins line k to the lines on air in one conference. */
export function lineMerge(/** @type {string} */ k) {
  const L = LINES.get(k);
  if (!L || L.state !== 'active') return;
  const air = [...LINES.values()].filter((o) => o !== L && onAir(o));
  if (!air.length) return phoneOn.onnotice(t('lnMergeNeed'), 6000);
  for (const o of air) o.conf = true;
  L.conf = true;
  lineFocus(k);
  phoneOn.onnotice(t('lnMerged'), 5000);
}

export function lineMergeAll() {
  const act = [...LINES.values()].filter((o) => o.state === 'active');
  if (act.length < 2) return;
  for (const o of act) o.conf = true;
  lineFocus(act[0].k);
}

/** Takes a line out of the conference and puts it on air alone; a conference of one dissolves. */
export function lineSplit(/** @type {string} */ k) {
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

export function lineVol(/** @type {string} */ k, /** @type {number} */ v) {
  const L = LINES.get(k);
  if (!L) return;
  L.vol = Math.max(0, Math.min(1, (Number(v) || 0) / 100));
  mixRoute();
}

export function micMuteAll() {
  muteMic(!MIX.muted);
  for (const L of LINES.values()) if (L.kind === 'phone') phSend(L, { t: 'mute', on: !!L.held || MIX.muted });
  phoneOn.onchange('lines');
}

// Session voice ------------------------------------------------------------------------------------

/** The session's voice on: a line that sends on the voice transceiver and plays in its voice element. */
export async function startSesLine(/** @type {Session} */ s) {
  if (!s || s.dead) return;
  if (s.line) return lineFocus(s.line.k);
  if (LINES.size >= MAX_LINES) return phoneOn.onnotice(t('lnMax'));
  if (!(await openMic())) return;
  if (s.dead || s.line) return closeUnusedMic();
  if (LINES.size >= MAX_LINES) return phoneOn.onnotice(t('lnMax'));
  const L = newLine('ses', { ses: s, peer: s.peer, peerId: s.peerId || '', state: 'active', started: Date.now(), audio: s.vaud || null });
  s.line = L;
  if (s.vaud) applySink(s.vaud);
  if (s.voice && s.voice.sender) sendLine(L, s.voice.sender);
  whenCtl(s, () => {
    if (L.dead) return;
    ctl(s, { t: 'call', on: true });
    if (L.held) ctl(s, { t: 'hold', on: true });
  });
  noteCall({ k: L.k, activa: true, tipo: 'sesion', con: s.peer }).catch(() => {});
  lineFocus(L.k);
  if (s.role === 'tech' && ST.CUR === s.k) phoneOn.ondock(true, true);
  startVoiceTick();
  phoneOn.onchange('session', s);
}

/** The voice button of a session: on, back on air when held, or off. */
export function sesVoiceToggle(/** @type {Session} */ s) {
  if (!s || s.dead) return;
  if (!s.line) startSesLine(s);
  else if (s.line.held) lineFocus(s.line.k);
  else lineEnd(s.line, 'local');
}

/** `call` and `hold` from the session's peer (the record's peerMic / peerHold are already set). */
export function sesVoiceMsg(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  if (m.t === 'call' && m.on === true && !s.line) phoneOn.onnotice(t('peerCallOn'), 6000);
  phoneOn.onchange('lines');
}

/** endSession's part: the session's line goes with it, without telling the gone peer. */
export function endLine(/** @type {Line} */ L) {
  lineEnd(L, 'local', false);
}

/** The /host/ registration's sender: answers to rings and the callee's signals go through it; app.js connects it. */
export const phoneVia = { host: (/** @type {WireMsg} */ m) => {} };

/**
 * What voice lines and rings tell the page; app.js sets these.
 * @type {{
 *   onchange: (what: 'lines'|'session'|'ring'|'ringleft'|'recents', s?: Session|null) => void,
 *   onnotice: (text: string, ms?: number) => void,
 *   ondock: (fold: boolean, overViewer: boolean) => void,
 * }}
 * onchange: the lines, a session's voice, the ring on show (or gone), its countdown, the
 * recents changed; ondock: the calls dock should fold or show, only over an open viewer
 * when overViewer.
 */
export const phoneOn = { onchange: () => {}, onnotice: () => {}, ondock: () => {} };

// Phone calls --------------------------------------------------------------------------------------

function phSend(/** @type {Line} */ L, /** @type {WireMsg} */ m) {
  if (!L.dc || L.dc.readyState !== 'open') return;
  try {
    L.dc.send(JSON.stringify(m));
  } catch {}
}

function ringSend(/** @type {Line} */ L, /** @type {WireMsg} */ m) {
  if (L.ws) L.ws.send(m);
}


/** Calls an ID: a caller line that rings through /ring/. */
export async function phoneCall(/** @type {unknown} */ text) {
  const id = String(text ?? '').replace(/\D/g, '');
  const bad = ringCheck(id, ST.ID ? ST.ID.id : '');
  if (bad) return phoneOn.onnotice(t(bad));
  const dup = [...LINES.values()].find((o) => o.kind === 'phone' && o.peerId === id);
  if (dup) {
    lineFocus(dup.k);
    return phoneOn.onnotice(t('lnDup'));
  }
  if (LINES.size >= MAX_LINES) return phoneOn.onnotice(t('lnMax'));
  if (!(await openMic())) return;
  // Other lines may have come or gone while the microphone opened.
  if (LINES.size >= MAX_LINES) return phoneOn.onnotice(t('lnMax'));
  if ([...LINES.values()].some((o) => o.kind === 'phone' && o.peerId === id)) return phoneOn.onnotice(t('lnDup'));
  const L = newLine('phone', { role: 'caller', peerId: id, peer: prettyId(id), state: 'calling' });
  lineAudio(L);
  lineFocus(L.k);
  phoneOn.ondock(false, false);
  noteCall({ k: L.k, activa: true, tipo: 'telefono', con: id }).catch(() => {});
  startVoiceTick();
  ringOpen(L);
}

function ringOpen(/** @type {Line} */ L) {
  /** @type {SignalSocket} */
  let ws;
  try {
    ws = new SignalSocket(wsUrl('/ring/' + L.peerId), 1 << 20);
  } catch {
    phoneOn.onnotice(t('srvDown'));
    return lineEnd(L, 'local', false);
  }
  L.ws = ws;
  const ringingNow = () => L.state === 'calling' || L.state === 'ringing';
  ws.onopen = () => {
    if (L.dead) return;
    ringSend(L, { t: 'ring', name: ST.ID ? ST.ID.nombre || '' : '', from: ST.ID ? ST.ID.id : '', key: ST.ID ? ST.ID.llave : '' });
    ws.keepAlive(RING_PING_MS);
  };
  ws.onmessage = (m) => {
    if (!L.dead && L.ws === ws) callerMsg(L, m);
  };
  ws.onerror = () => {
    if (L.dead || L.ws !== ws || !ringingNow()) return;
    phoneOn.onnotice(t('srvDown'));
    lineEnd(L, 'local', false);
  };
  // After the answer the call goes on without the server.
  ws.onclose = () => { if (!L.dead && L.ws === ws && ringingNow()) lineEnd(L, 'local', false); };
}

/** The server's news for a caller line. */
function callerMsg(/** @type {Line} */ L, /** @type {WireMsg} */ m) {
  switch (m.t) {
    case 'ringing': {
      if (L.state !== 'calling') break;
      L.state = 'ringing';
      const secs = typeof m.timeout === 'number' && Number.isFinite(m.timeout) ? Math.max(5, Math.min(600, m.timeout)) : 45;
      clearTimeout(L.timers.ring);
      L.timers.ring = setTimeout(() => {
        if (L.dead || L.state !== 'ringing') return;
        phoneOn.onnotice(t('phNoAnswer'), 7000);
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
      addRecent({ id: L.peerId, nombre: L.peer })
        .then((r) => { if (Array.isArray(r)) { ST.S.recientes = r; phoneOn.onchange('recents'); } })
        .catch(() => {});
      phonePC(L, true);
      linesChanged();
      break;
    case 'declined':
      phoneOn.onnotice(t(declineKey(m.reason)), 7000);
      lineEnd(L, 'peer', false);
      break;
    case 'offline':
      phoneOn.onnotice(t('phOffline'), 7000);
      lineEnd(L, 'peer', false);
      break;
    case 'hangup':
      lineEnd(L, 'peer', false);
      break;
    case 'signal':
      if (L.rtc) L.rtc.signal(m.data);
      break;
    case 'pong':
      break;
    default:
      console.log('llamada: mensaje desconocido', m.t);
  }
}

/** A phone line's signal to its peer: the caller's on /ring/, the callee's as csignal on /host/. */
function phoneSig(/** @type {Line} */ L, /** @type {unknown} */ data) {
  if (L.dead) return;
  if (L.role === 'caller') ringSend(L, { t: 'signal', data });
  else phoneVia.host({ t: 'csignal', cid: L.cid, data });
}

/**
 * A phone line's negotiation: only the caller offers, and only once; the connection must
 * stand within PHONE_CONNECT_MS and comes back within PHONE_LOSS_MS of a drop.
 */
function phonePeer(/** @type {Line} */ L) {
  return new Peer({
    send: (data) => phoneSig(L, data),
    local: mungeVoice,
    // Anything else is not our peer's.
    accept: (d, pc) => (d.type === 'offer' || d.type === 'answer') && (d.type === 'offer') === (L.role === 'callee') && !pc.remoteDescription,
    lossMs: PHONE_LOSS_MS,
    onconnected: () => {
      if (L.state !== 'active') {
        L.state = 'active';
        L.started = Date.now();
      }
      clearInterval(L.timers.stats);
      L.timers.stats = setInterval(() => lineStats(L), 2000);
      linesChanged();
    },
    onfailed: () => {
      phoneOn.onnotice(t(L.state === 'active' ? 'phLost' : 'phFail') + ' · ' + L.peer, 7000);
      lineEnd(L, 'lost');
    },
    onlost: () => {
      phoneOn.onnotice(t('phLost') + ' · ' + L.peer, 7000);
      lineEnd(L, 'lost');
    },
    ontimeout: () => {
      if (L.state === 'active') return;
      phoneOn.onnotice(t('phFail') + ' · ' + L.peer, 7000);
      lineEnd(L, 'lost');
    },
  });
}

/** The phone connection: the line's mix is the only sender; the remote voice feeds the line. */
async function phonePC(/** @type {Line} */ L, /** @type {boolean} */ offerer) {
  const list = L.ice.length ? L.ice : await iceServers();
  const rtc = L.rtc;
  if (L.dead || !rtc) return;
  const pc = rtc.open({ iceServers: list, bundlePolicy: 'max-bundle' });
  L.pc = pc;
  if (L.track && L.dest) sendLine(L, pc.addTrack(L.track, L.dest.stream));
  pc.ontrack = (e) => {
    if (L.dead) return;
    playAtOnce(e.receiver);
    L.remote = e.streams[0] || new MediaStream([e.track]);
    if (L.audio) L.audio.srcObject = L.remote;
    mixRoute();
  };
  pc.ondatachannel = (e) => { if (e.channel.label === 'ph' && !L.dc) wirePh(L, e.channel); };
  rtc.arm(PHONE_CONNECT_MS);
  if (offerer) {
    wirePh(L, pc.createDataChannel('ph', { ordered: true }));
    await rtc.offer();
  }
}

async function lineStats(/** @type {Line} */ L) {
  if (L.dead || !L.pc) return;
  try {
    const path = pathOf(await L.pc.getStats());
    if (path && !L.dead) Object.assign(L, path);
  } catch {}
}

/** The phone line's own channel: hold, mute and bye from the peer. */
function wirePh(/** @type {Line} */ L, /** @type {RTCDataChannel} */ ch) {
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
        phoneOn.onchange('lines');
        break;
      case 'mute':
        L.peerMuted = m.on === true;
        phoneOn.onchange('lines');
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
export function onRing(/** @type {WireMsg} */ m) {
  const cid = typeof m.cid === 'string' ? m.cid.slice(0, 64) : '';
  if (!cid) return;
  const known = [...LINES.values()].some((o) => o.cid === cid);
  const verdict = ringVerdict(yes(setting('recibir', 'llamadas')), !!ST.RINGIN, LINES.size, known);
  if (verdict) return phoneVia.host({ t: 'ringans', cid, ok: false, reason: verdict });
  const idOf = (/** @type {unknown} */ v) => (typeof v === 'string' && /^\d{9}$/.test(v) ? v : '');
  const from = m.verified === true ? idOf(m.from) : '';
  ST.RINGIN = { cid, name: peerName(m.name), from, claimed: from ? '' : idOf(m.claimed), ice: cleanIce(m.iceServers), until: Date.now() + RING_SHOW_MS, timer: 0 };
  ST.RINGIN.timer = setInterval(ringCountdown, 500);
  notice(t('phFrom', ST.RINGIN.name)).catch(() => {});
  showWindow().catch(() => {});
  ringTone();
  phoneOn.onchange('ring');
}

function ringCountdown() {
  const r = ST.RINGIN;
  if (!r) return;
  if (Date.now() >= r.until) {
    phoneVia.host({ t: 'ringans', cid: r.cid, ok: false, reason: 'timeout' });
    closeRing();
    phoneOn.onnotice(t('phMissed'), 8000);
    return;
  }
  phoneOn.onchange('ringleft');
}

function closeRing() {
  if (!ST.RINGIN) return;
  clearInterval(ST.RINGIN.timer);
  ST.RINGIN = null;
  phoneOn.onchange('ring');
  ringTone();
}

export function declineRing() {
  if (!ST.RINGIN) return;
  phoneVia.host({ t: 'ringans', cid: ST.RINGIN.cid, ok: false, reason: 'declined' });
  closeRing();
}

/**
 * The program quits or the page goes: the ringing call is declined and every line ends
 * with its goodbye (`bye` on the line, `hangup` to the server), so nobody is left
 * talking to a PC that is gone or ringing one that can no longer answer.
 */
export function endAllLines() {
  declineRing();
  for (const L of [...LINES.values()]) lineEnd(L, 'local');
}

/** Answers the ring on show; merge joins it to the lines on air. */
export async function answerRing(/** @type {boolean} */ merge) {
  const r = ST.RINGIN;
  if (!r) return;
  closeRing();
  RINGS_GONE.clear();
  if (LINES.size >= MAX_LINES || !(await openMic())) return phoneVia.host({ t: 'ringans', cid: r.cid, ok: false, reason: LINES.size >= MAX_LINES ? 'busy' : 'declined' });
  if (RINGS_GONE.has(r.cid)) {
    closeUnusedMic();
    return phoneOn.onnotice(t('phMissed'), 8000);
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
  phoneOn.ondock(false, false);
  startVoiceTick();
  phonePC(L, false);
  phoneVia.host({ t: 'ringans', cid: r.cid, ok: true });
  noteCall({ k: L.k, activa: true, tipo: 'telefono', con: r.from || r.name }).catch(() => {});
}

/** ringcancel, csignal and hangup on /host/, for the ring on show or a callee line. */
export function onRingMsg(/** @type {WireMsg} */ m) {
  const cid = typeof m.cid === 'string' ? m.cid : '';
  if (!cid) return;
  const L = [...LINES.values()].find((o) => o.kind === 'phone' && o.role === 'callee' && o.cid === cid);
  switch (m.t) {
    case 'ringcancel':
      if (ST.RINGIN && ST.RINGIN.cid === cid) {
        closeRing();
        phoneOn.onnotice(t('phMissed'), 8000);
      } else if (L && L.state !== 'active') lineEnd(L, 'peer', false);
      else if (!L && RINGS_GONE.size < 16) RINGS_GONE.add(cid);
      break;
    case 'csignal':
      if (L && L.rtc) L.rtc.signal(m.data);
      break;
    case 'hangup':
      if (L) lineEnd(L, 'peer', false);
      break;
  }
}

// Ending --------------------------------------------------------------------------------------------

/** Ends a line once: tells the peer (when notify), frees its sound paths, tells the native side. */
export function lineEnd(/** @type {Line} */ L, why = 'local', notify = true) {
  if (!L || L.dead) return;
  L.dead = true;
  if (L.rtc) L.rtc.stop();
  LINES.delete(L.k);
  Object.values(L.timers).forEach((x) => { clearTimeout(x); clearInterval(x); });
  const s = L.kind === 'ses' ? L.ses : null;
  if (L.kind === 'phone') {
    if (notify) {
      phSend(L, { t: 'bye' });
      if (L.role === 'caller') ringSend(L, { t: 'hangup' });
      else phoneVia.host({ t: 'hangup', cid: L.cid });
    }
    // Let the bye leave before the connection closes.
    if (L.rtc) L.rtc.close(notify ? 150 : 0);
    if (L.ws) L.ws.close(200);
    if (L.started) phoneOn.onnotice(t('phEnded', mmss((Date.now() - L.started) / 1000)) + ' · ' + L.peer, 5000);
  } else if (s) {
    if (s.line === L) s.line = null;
    if (s.voice && s.voice.sender && !s.dead) s.voice.sender.replaceTrack(null).catch(() => {});
    if (notify) {
      ctl(s, { t: 'call', on: false });
      ctl(s, { t: 'hold', on: false });
    }
    if (L.audio) L.audio.muted = false;
  }
  sendLine(L, null);
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
  noteCall({ k: L.k, activa: false }).catch(() => {});
  dissolveLoneConf();
  if (!LINES.size) closeMic();
  linesChanged();
  if (s) phoneOn.onchange('session', s);
}
