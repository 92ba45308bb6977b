// One support session is one peer connection between two pages. The host always makes the
// offer; signals travel through the signalling server until the connection stands.
//
// States. tech: created → waiting (server said so) → accepted (peer connection built,
// queued signals replayed) → connected → dead. host: created after acceptance → offer sent
// → connected → dead. "connected" is never left for an earlier state: a later
// "disconnected" recovers within 12 s or ends the session.

import { diag, http, noteSession } from '../core/api.js';
import { srvUrl } from '../core/server.js';
import { setting, ST, TS } from '../core/state.js';
import { t } from '../core/texts.js';
import { sleep } from '../core/util.js';
import { sendLine } from '../media/mixer.js';
import { mungeOpus, mungeVideoStart, Peer, playAtOnce, selectedPair } from './peer.js';
import { cleanIce, hasTurn, wireMsg } from './wire.js';

/** @typedef {import('../core/state.js').SessionSide} SessionSide */
/** @typedef {import('../core/state.js').Session} Session */
/** @typedef {import('../core/state.js').WireMsg} WireMsg */
/** @typedef {import('../core/state.js').IceServer} IceServer */
/** @typedef {import('../core/state.js').RtpSample} RtpSample */

/** @type {SessionSide} the side of a record made without one: it reaches nobody */
const NO_SIDE = { signal() {}, bye() {}, forget() {}, message() {} };

/**
 * What sessions tell the page and the parts built on them; app.js sets these.
 * @type {{
 *   onchange: (s: Session, what?: 'stats'|'wait') => void,
 *   onnotice: (text: string, ms?: number) => void,
 *   onmessage: (s: Session, text: string) => void,
 *   onstart: (s: Session) => void,
 *   onend: (s: Session) => void,
 *   onfile: (s: Session, data: string|ArrayBuffer) => void,
 *   onvoice: (s: Session, m: WireMsg) => void,
 *   ondrop: (s: Session) => void,
 *   onlineend: (line: import('../core/state.js').Line) => void,
 * }}
 */
export const sessionOn = {
  onchange: () => {}, onnotice: () => {}, onmessage: () => {}, onstart: () => {}, onend: () => {},
  onfile: () => {}, onvoice: () => {}, ondrop: () => {}, onlineend: () => {},
};

/** Sessions in which this PC helps, at most MAX_TS. */
export const MAX_TS = 8;

const ICE_TTL = 3600000;
/** How long a failed /ice answer stands before it is asked again. */
const ICE_RETRY = 60000;
export const FALLBACK_ICE = [{ urls: 'stun:stun.cloudflare.com:3478' }, { urls: 'stun:stun.l.google.com:19302' }];

/** A fresh session record; init sets the role's own fields. */
export function newSession(/** @type {'host'|'tech'} */ role, /** @type {Partial<Session>} */ init) {
  /** @type {Session} */
  const s = {
    k: '', role, sid: '', peer: '', peerId: '', ice: [], pc: null, dc: {}, ws: null,
    accepted: false, connected: false, started: 0, created: Date.now(), dead: false,
    // The negotiation needs the record; it is made right after it.
    relayTried: false, rtc: /** @type {Peer} */ (/** @type {unknown} */ (null)),
    control: false, wantControl: false, canControl: false, audio: false, audioOn: true, vol: 1,
    hostAudio: false, quality: 'auto', fps: 30, mons: [], allMons: [], mon: 0, monsw: false, surface: '',
    chat: [], unread: 0, line: null, voice: null, peerMic: false, peerHold: false,
    timers: {}, statTxt: '', lastB: null, waitTxt: '', side: NO_SIDE, ctlWaits: [],
  };
  Object.assign(s, init);
  s.rtc = sessionPeer(s);
  return s;
}

/**
 * The signalling server's ICE list, checked like every other ICE list and cached for an
 * hour; two public STUN servers when it has none. A failed or malformed answer is kept
 * only a minute, so one bad answer does not leave every connection of the hour without
 * the server's relay.
 */
export async function iceServers() {
  if (ST.ICE && Date.now() - ST.ICE.at < ICE_TTL) return ST.ICE.list;
  /** @type {IceServer[]} */
  let list = [];
  try {
    const ctrl = new AbortController();
    const timer = setTimeout(() => ctrl.abort(), 8000);
    try {
      /** @type {unknown} */
      const r = await (await http.fetch(srvUrl('/ice'), { cache: 'no-store', signal: ctrl.signal })).json();
      list = cleanIce(r && typeof r === 'object' && 'iceServers' in r ? r.iceServers : undefined);
    } finally {
      clearTimeout(timer);
    }
  } catch {}
  // A fallback counts as fetched ICE_TTL - ICE_RETRY ago, so it is asked again soon.
  ST.ICE = list.length ? { list, at: Date.now() } : { list: FALLBACK_ICE, at: Date.now() - ICE_TTL + ICE_RETRY };
  return ST.ICE.list;
}

/** Sends a signal to the other side through the signalling server (dropped when the socket is not open). */
function sig(/** @type {Session} */ s, /** @type {unknown} */ data) {
  s.side.signal(s, data);
}

/** One JSON message on the control channel; nothing when it is not open. */
/** The receiving side's cap on one channel message (its wireMsg limit). */
const CHANNEL_IN_MAX = 1 << 20;

/**
 * Does a message fit one message of the session's channels: what the other side's SCTP
 * announced, and no more than it reads. A larger one would be dropped without a word.
 */
export function fitsChannel(/** @type {Session} */ s, /** @type {unknown} */ message) {
  const max = (s.pc && s.pc.sctp && s.pc.sctp.maxMessageSize) || 262144;
  return new TextEncoder().encode(JSON.stringify(message)).length <= Math.min(max, CHANNEL_IN_MAX);
}

export function ctl(/** @type {Session} */ s, /** @type {WireMsg} */ message) {
  const c = s && s.dc && s.dc.ctl;
  if (!c || c.readyState !== 'open') return;
  try {
    c.send(JSON.stringify(message));
  } catch {}
}

/**
 * The session's negotiation: the host offers (its answers get the session's video start
 * rate), the technician answers and binds the media on the offer; a second offer before
 * any connection is the host's retry through the relay. A connection must stand within
 * its time (the relay gets one more try) and comes back within 12 s of a drop.
 */
function sessionPeer(/** @type {Session} */ s) {
  return new Peer({
    send: (data) => { if (!s.dead) sig(s, data); },
    local: mungeOpus,
    remote: (sdp) => (s.role === 'host' ? mungeVideoStart(sdp) : sdp),
    own: (data) => {
      if (!data.relay) return false;
      if (s.role === 'host') tryRelay(s, 'lo pidió la otra PC');
      return true;
    },
    accept: (d, pc) => {
      if (d.type !== 'offer') return true;
      if (s.role === 'host') return false;
      if (pc.remoteDescription && !s.connected && !s.relayTried && hasTurn(s.ice)) {
        // A second offer before any connection is the host's retry through the relay.
        s.relayTried = true;
        s.rtc.useRelay();
        setWait(s, t('tryRelay'));
        s.rtc.arm(30000);
      }
      return true;
    },
    onoffer: () => bindMedia(s),
    lossMs: 12000,
    onconnected: () => {
      s.connected = true;
      if (!s.started) s.started = Date.now();
      if (s.relayTried) diag(`[CONEXION] conectado por el relevo TURN (rol ${s.role})`);
      sessionOn.onchange(s);
    },
    onfailed: () => {
      if (s.connected || !tryRelay(s, 'falló la directa')) endSession(s, 'lost');
    },
    onlost: () => endSession(s, 'lost'),
    ontimeout: () => {
      if (!s.connected && !tryRelay(s, 'sin respuesta')) endSession(s, 'lost');
    },
  });
}

/** Builds the session's peer connection; the signals that were waiting for it follow. */
export async function newPC(/** @type {Session} */ s) {
  const list = Array.isArray(s.ice) && s.ice.length ? s.ice : await iceServers();
  if (s.dead) return null;
  const relayOnly = setting('general', 'conexion') === 'relevo' && hasTurn(list);
  if (relayOnly) s.relayTried = true;
  const pc = s.rtc.open({ iceServers: list, bundlePolicy: 'max-bundle', iceTransportPolicy: relayOnly ? 'relay' : 'all' });
  s.pc = pc;
  pc.ondatachannel = (e) => wireDC(s, e.channel);
  s.rtc.arm(hasTurn(s.ice) && !s.relayTried ? 18000 : 35000);
  return pc;
}

/**
 * The one retry through the TURN relay, before the first connection and only when the
 * server handed over a TURN server. The host restarts ICE with a new offer; the technician
 * asks the host to. Returns whether a retry started.
 */
function tryRelay(/** @type {Session} */ s, /** @type {string} */ why) {
  if (s.dead || s.relayTried || s.connected || !hasTurn(s.ice) || !s.pc) return false;
  s.relayTried = true;
  diag(`[CONEXION] la conexión directa no se logró (${why}, rol ${s.role}): reintento por el relevo TURN`);
  s.rtc.retryRelay(s.role === 'host');
  if (s.role === 'host') sessionOn.onnotice(t('tryRelay'), 6000);
  else setWait(s, t('tryRelay'));
  s.rtc.arm(30000);
  return true;
}

/** Host: makes, adjusts, sets and sends an offer. */
export function sendOffer(/** @type {Session} */ s, iceRestart = false) {
  return s.rtc.offer(iceRestart);
}

/** A signal from the other side; signals are applied in arrival order. */
export function onSignal(/** @type {Session} */ s, /** @type {unknown} */ data) {
  s.rtc.signal(data);
}

/**
 * Technician, on the offer: transceiver 0 plays in the video element, 1 in the PC-audio
 * element, 2 (voice) in the voice element and sends the voice line's track, if any.
 */
function bindMedia(/** @type {Session} */ s) {
  if (!s.pc) return;
  const tx = s.pc.getTransceivers();
  const els = [s.vid, s.aud, s.vaud];
  tx.slice(0, 3).forEach((/** @type {RTCRtpTransceiver} */ x, /** @type {number} */ i) => {
    const el = els[i];
    if (el && x.receiver && x.receiver.track && !el.srcObject) el.srcObject = new MediaStream([x.receiver.track]);
  });
  // Without a target the receiver's jitter buffer holds the screen back by about 90 ms.
  if (tx[0]) playAtOnce(tx[0].receiver);
  if (tx[2]) {
    playAtOnce(tx[2].receiver);
    tx[2].direction = 'sendrecv';
    s.voice = tx[2];
    if (s.line && s.line.track) sendLine(s.line, tx[2].sender);
  }
}

/**
 * Keeps a data channel under its label. `file` carries binary chunks for the file
 * handler; the others carry JSON for the host or technician handler.
 */
export function wireDC(/** @type {Session} */ s, /** @type {RTCDataChannel} */ ch) {
  s.dc[ch.label] = ch;
  if (ch.label === 'file') {
    ch.binaryType = 'arraybuffer';
    ch.onmessage = (e) => { if (!s.dead) sessionOn.onfile(s, e.data); };
    return;
  }
  ch.onmessage = (e) => {
    const m = s.dead ? null : wireMsg(e.data, CHANNEL_IN_MAX);
    if (!m || (ch.label === 'ctl' && sharedMsg(s, m))) return;
    s.side.message(s, m, ch.label);
  };
  if (ch.label === 'ctl') {
    const opened = () => {
      if (s.dead) return;
      if (s.side.open) s.side.open(s);
      for (const fn of s.ctlWaits.splice(0)) fn();
    };
    if (ch.readyState === 'open') opened();
    else ch.onopen = opened;
  }
}

/**
 * Runs fn once the session's control channel is open: now if it is, else when it opens,
 * even if the channel has not arrived yet (the technician gets it from the host's offer),
 * so that what is said early (voice on) is not dropped.
 */
export function whenCtl(/** @type {Session} */ s, /** @type {() => void} */ fn) {
  const c = s.dc.ctl;
  if (c && c.readyState === 'open') fn();
  else if (!s.dead) s.ctlWaits.push(fn);
}

/** The control messages both sides handle alike; false for the others. */
function sharedMsg(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  switch (m.t) {
    case 'chat':
      if (typeof m.text === 'string' && m.text) sessionOn.onmessage(s, m.text.slice(0, 2000));
      return true;
    case 'call':
    case 'hold':
      if (m.t === 'call') s.peerMic = m.on === true;
      else s.peerHold = m.on === true;
      sessionOn.onvoice(s, m);
      sessionOn.onchange(s);
      return true;
    case 'bye':
      endSession(s, 'peer', false);
      return true;
  }
  return false;
}

/** Tells the native side the session is open: it logs it and lets input through while a host session allows control. */
export function sessionNote(/** @type {Session} */ s) {
  return noteSession({
    k: s.k, activa: true, rol: s.role, control: s.role === 'host' ? !!s.control : false,
    con: s.peer, id: s.peerId || '',
  }).catch(() => {});
}

// Statistics ------------------------------------------------------------------------------

/** The statistics line: path, round trip, frame rate, size and bit rate, empty parts left out. */
export function statText(/** @type {{relay?: boolean, rtt?: number, fps?: number, w?: number, h?: number, kbps?: number, path?: boolean}} */ x) {
  const parts = [];
  if (x.path) parts.push(x.relay ? 'TURN' : 'P2P');
  if (x.rtt !== undefined && x.rtt >= 0) parts.push(`${Math.round(x.rtt)} ms`);
  if (x.fps) parts.push(`${Math.round(x.fps)} fps`);
  if (x.w && x.h) parts.push(`${x.w}×${x.h}`);
  if (x.kbps !== undefined && x.kbps > 0) parts.push(x.kbps >= 1000 ? `${(x.kbps / 1000).toFixed(1)} Mbps` : `${Math.round(x.kbps)} kbps`);
  return parts.join(' · ');
}

/**
 * Where a connection's chosen candidate pair runs: through a TURN relay or not, and its
 * round trip in ms (-1 unknown); null while no pair stands. Sessions and phone lines alike.
 * @returns {{relay: boolean, rtt: number}|null}
 */
export function pathOf(/** @type {RTCStatsReport} */ rep) {
  const pair = selectedPair(rep);
  if (!pair) return null;
  /** @type {{candidateType?: string}|undefined} */
  const lc = rep.get(pair.localCandidateId || '');
  /** @type {{candidateType?: string}|undefined} */
  const rc = rep.get(pair.remoteCandidateId || '');
  return {
    relay: !!((lc && lc.candidateType === 'relay') || (rc && rc.candidateType === 'relay')),
    rtt: typeof pair.currentRoundTripTime === 'number' ? pair.currentRoundTripTime * 1000 : -1,
  };
}

async function sampleStats(/** @type {Session} */ s) {
  if (s.dead || !s.pc) return;
  let rep;
  try {
    rep = await s.pc.getStats();
  } catch {
    return;
  }
  const path = pathOf(rep);
  /** @type {RtpSample|null} */
  let rtp = null;
  const kind = s.role === 'host' ? 'outbound-rtp' : 'inbound-rtp';
  for (const r of /** @type {Iterable<RtpSample>} */ (rep.values())) {
    if (r.type === kind && (r.kind || r.mediaType) === 'video' && (!rtp || (r.bytesSent || r.bytesReceived || 0) > (rtp.bytesSent || rtp.bytesReceived || 0))) rtp = r;
  }
  /** @type {Parameters<typeof statText>[0]} */
  const x = {};
  if (path) {
    x.path = true;
    x.relay = path.relay;
    x.rtt = path.rtt;
    // The session's voice line rides the same connection: its row shows the same path.
    if (s.line) Object.assign(s.line, path);
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
  if (rtp && s.side.stats) s.side.stats(s, rtp);
  s.relay = !!x.relay;
  s.statTxt = statText(x);
  sessionOn.onchange(s, 'stats');
}

export function startStats(/** @type {Session} */ s) {
  clearInterval(s.timers.stats);
  s.timers.stats = setInterval(() => sampleStats(s), 2000);
}

/** Counts of a failed attempt's candidates for the log: what each side offered and how the pairs went. */
export function failureLine(/** @type {Session} */ s, /** @type {string} */ why, /** @type {{type: string, candidateType?: string, state?: string}[]} */ reports, /** @type {string} */ iceState) {
  /** @type {Object<string, number>} */
  const local = {};
  /** @type {Object<string, number>} */
  const remote = {};
  let pairs = 0, failed = 0;
  for (const r of reports) {
    const type = String(r.candidateType);
    if (r.type === 'local-candidate') local[type] = (local[type] || 0) + 1;
    else if (r.type === 'remote-candidate') remote[type] = (remote[type] || 0) + 1;
    else if (r.type === 'candidate-pair') {
      pairs++;
      if (r.state === 'failed') failed++;
    }
  }
  return `[CONEXION] no se logró (${why}, rol ${s.role}) · TURN ${hasTurn(s.ice) ? 'sí' : 'no'}${s.relayTried ? ' (se probó el relevo)' : ''} · locales ${JSON.stringify(local)} · remotos ${JSON.stringify(remote)} · pares ${pairs} (fallidos ${failed}) · estado ICE ${iceState}`;
}

// Ending ---------------------------------------------------------------------------------

/** The reason as the other side is told it. */
export function wireWhy(/** @type {string} */ why, /** @type {boolean} */ connected) {
  if (why === 'lost') return connected ? 'closed' : 'failed';
  return why === 'stopped' ? 'stopped' : 'bye';
}

/** The toast key for an ended session; null when none is due. */
export function endToast(/** @type {string} */ why, /** @type {boolean} */ connected, /** @type {boolean} */ turn) {
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
export function endSession(/** @type {Session} */ s, /** @type {string} */ why, notify = true) {
  if (!s || s.dead) return;
  s.dead = true;
  if (s.rtc) s.rtc.stop();
  s.side.forget(s);
  sessionOn.ondrop(s);
  if (notify) {
    const w = wireWhy(why, s.connected);
    ctl(s, { t: 'bye', why: w });
    s.side.bye(s, w);
  }
  Object.values(s.timers).forEach((x) => { clearTimeout(x); clearInterval(x); });
  s.ctlWaits.length = 0;
  if (s.line) sessionOn.onlineend(s.line);
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
  // Let a queued bye or cancel leave before the socket closes.
  if (s.ws) s.ws.close(200);
  noteSession({ k: s.k, activa: false }).catch(() => {});
  sessionOn.onend(s);
  const key = endToast(why, s.connected, hasTurn(s.ice));
  if (key) {
    const others = TS.size + (ST.HSES ? 1 : 0) > 0;
    const text = (others && s.peer ? s.peer + ': ' : '') + t(key);
    sessionOn.onnotice(text, key === 'connFail' || key === 'connFailTurn' ? 14000 : 5000);
  }
}

/** The viewer's waiting text of a session ('' shows none). */
export function setWait(/** @type {Session} */ s, /** @type {string} */ text) {
  s.waitTxt = text;
  sessionOn.onchange(s, 'wait');
}
