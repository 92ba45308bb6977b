import { diag, post } from '../core/api.js';
import { srvUrl } from '../core/server.js';
import { setting, ST, TS } from '../core/state.js';
import { t } from '../core/texts.js';
import { sleep } from '../core/util.js';
import { mungeOpus, mungeVideoStart } from './peer.js';
import { hasTurn, wireMsg } from './wire.js';

// ── session ──────────────────────────────────────────────────────────────────────────────
// One support session is one peer connection between two pages. The host always makes the
// offer; signals travel through the signalling server until the connection stands.
//
// States. tech: created → waiting (server said so) → accepted (peer connection built,
// queued signals replayed) → connected → dead. host: created after acceptance → offer sent
// → connected → dead. "connected" is never left for an earlier state: a later
// "disconnected" recovers within 12 s or ends the session.

/** @typedef {import('../core/state.js').SessionSide} SessionSide */


/** @type {SessionSide} the side of a record made without one: it reaches nobody */
const NO_SIDE = { signal() {}, bye() {}, forget() {}, message() {} };

/**
 * What sessions tell the page and the parts built on them; app.js sets these.
 * @type {{
 *   onchange: (s: any, what?: 'stats'|'wait') => void,
 *   onnotice: (text: string, ms?: number) => void,
 *   onmessage: (s: any, text: string) => void,
 *   onstart: (s: any) => void,
 *   onend: (s: any) => void,
 *   onfile: (s: any, data: any) => void,
 *   onvoice: (s: any, m: any) => void,
 *   ondrop: (s: any) => void,
 *   onlineend: (line: any) => void,
 * }}
 */
export const sessionOn = {
  onchange: () => {}, onnotice: () => {}, onmessage: () => {}, onstart: () => {}, onend: () => {},
  onfile: () => {}, onvoice: () => {}, ondrop: () => {}, onlineend: () => {},
};

/** Sessions in which this PC helps, at most MAX_TS. */
export const MAX_TS = 8;

const ICE_TTL = 3600000;
export const FALLBACK_ICE = [{ urls: 'stun:stun.cloudflare.com:3478' }, { urls: 'stun:stun.l.google.com:19302' }];

/** A fresh session record; init sets the role's own fields. */
export function newSession(/** @type {'host'|'tech'} */ role, /** @type {any} */ init) {
  /** @type {any} */
  const s = {
    k: '', role, sid: '', peer: '', peerId: '', ice: [], pc: null, dc: {}, ws: null,
    accepted: false, connected: false, started: 0, created: Date.now(), dead: false,
    relayTried: false, sigq: [], iceq: [], sigChain: Promise.resolve(),
    control: false, wantControl: false, canControl: false, audio: false, audioOn: true, vol: 1,
    hostAudio: false, quality: 'auto', fps: 30, mons: [], mon: 0, monsw: false, surface: '',
    chat: [], unread: 0, line: null, voice: null, peerMic: false, peerHold: false,
    timers: {}, statTxt: '', lastB: null, waitTxt: '', side: NO_SIDE,
  };
  return Object.assign(s, init);
}

/** The signalling server's ICE list, cached for an hour; two public STUN servers when it has none. */
export async function iceServers() {
  if (ST.ICE && Date.now() - ST.ICE.at < ICE_TTL) return ST.ICE.list;
  let list = FALLBACK_ICE;
  try {
    const ctrl = new AbortController();
    const timer = setTimeout(() => ctrl.abort(), 8000);
    const r = await (await fetch(srvUrl('/ice'), { cache: 'no-store', signal: ctrl.signal })).json();
    clearTimeout(timer);
    if (r && Array.isArray(r.iceServers) && r.iceServers.length) list = r.iceServers;
  } catch {}
  ST.ICE = { list, at: Date.now() };
  return list;
}

/** Sends a signal to the other side through the signalling server (dropped when the socket is not open). */
function sig(/** @type {any} */ s, /** @type {any} */ data) {
  s.side.signal(s, data);
}

/** One JSON message on the control channel; nothing when it is not open. */
export function ctl(/** @type {any} */ s, /** @type {any} */ message) {
  const c = s && s.dc && s.dc.ctl;
  if (!c || c.readyState !== 'open') return;
  try {
    c.send(JSON.stringify(message));
  } catch {}
}

/** Builds the session's peer connection, then replays the signals that were waiting for it. */
export async function newPC(/** @type {any} */ s) {
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
    sessionOn.onchange(s);
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
    sessionOn.onnotice(t('tryRelay'), 6000);
  } else {
    sig(s, { relay: 1 });
    setWait(s, t('tryRelay'));
  }
  armConnTimer(s, 30000);
  return true;
}

/** Host: makes, adjusts, sets and sends an offer. */
export async function sendOffer(/** @type {any} */ s, iceRestart = false) {
  try {
    const o = await s.pc.createOffer(iceRestart ? { iceRestart: true } : {});
    await s.pc.setLocalDescription({ type: o.type, sdp: mungeOpus(o.sdp || '') });
    if (!s.dead) sig(s, { sdp: s.pc.localDescription.toJSON() });
  } catch (e) {
    console.warn('señal', e);
  }
}

/** Applies a signal from the other side; signals are applied in arrival order. */
export function onSignal(/** @type {any} */ s, /** @type {any} */ data) {
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
    const remote = String(d.sdp || '');
    await pc.setRemoteDescription({ type: d.type, sdp: s.role === 'host' ? mungeVideoStart(remote) : remote });
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
export function wireDC(/** @type {any} */ s, /** @type {RTCDataChannel} */ ch) {
  s.dc[ch.label] = ch;
  if (ch.label === 'file') {
    ch.binaryType = 'arraybuffer';
    ch.onmessage = (e) => { if (!s.dead) sessionOn.onfile(s, e.data); };
    return;
  }
  ch.onmessage = (e) => {
    const m = s.dead ? null : wireMsg(e.data, 1 << 20);
    if (!m || (ch.label === 'ctl' && sharedMsg(s, m))) return;
    s.side.message(s, m, ch.label);
  };
  if (ch.label === 'ctl' && s.side.open) {
    const open = s.side.open;
    if (ch.readyState === 'open') open(s);
    else ch.onopen = () => open(s);
  }
}

/** The control messages both sides handle alike; false for the others. */
function sharedMsg(/** @type {any} */ s, /** @type {any} */ m) {
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
export function sessionNote(/** @type {any} */ s) {
  return post('/api/sesion', {
    k: s.k, activa: true, rol: s.role, control: s.role === 'host' ? !!s.control : false,
    con: s.peer, id: s.peerId || '',
  }).catch(() => {});
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
export function selectedPair(/** @type {RTCStatsReport} */ rep) {
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
  sessionOn.onchange(s, 'stats');
}

export function startStats(/** @type {any} */ s) {
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
export function endSession(/** @type {any} */ s, /** @type {string} */ why, notify = true) {
  if (!s || s.dead) return;
  s.dead = true;
  s.side.forget(s);
  sessionOn.ondrop(s);
  if (notify) {
    const w = wireWhy(why, s.connected);
    ctl(s, { t: 'bye', why: w });
    s.side.bye(s, w);
  }
  Object.values(s.timers).forEach((x) => { clearTimeout(x); clearInterval(x); });
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
  if (s.ws) {
    const ws = s.ws;
    ws.onclose = ws.onerror = ws.onmessage = null;
    // Let a queued bye or cancel leave before the socket closes.
    setTimeout(() => { try { ws.close(); } catch {} }, 200);
  }
  post('/api/sesion', { k: s.k, activa: false }).catch(() => {});
  sessionOn.onend(s);
  const key = endToast(why, s.connected, hasTurn(s.ice));
  if (key) {
    const others = TS.size + (ST.HSES ? 1 : 0) > 0;
    const text = (others && s.peer ? s.peer + ': ' : '') + t(key);
    sessionOn.onnotice(text, key === 'connFail' || key === 'connFailTurn' ? 14000 : 5000);
  }
}

/** The viewer's waiting text of a session ('' shows none). */
export function setWait(/** @type {any} */ s, /** @type {string} */ text) {
  s.waitTxt = text;
  sessionOn.onchange(s, 'wait');
}
