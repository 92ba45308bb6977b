// A voice call of up to 8 people who meet in a /call/ room by a 6-character code, apart
// from sessions and voice lines. Every member holds one peer connection to every other
// (a full mesh): a newcomer offers to everyone the server's `welcome` lists, the members
// already there answer. The server names the room's host, who may kick; when the host
// leaves it names the longest-present member.

import { diag, noteCall } from '../core/api.js';
import { wsUrl } from '../core/server.js';
import { ST } from '../core/state.js';
import { t } from '../core/texts.js';
import { applySink, getMic, hiddenAudio } from '../media/devices.js';
import { mungeVoice, Peer, playAtOnce } from './peer.js';
import { FALLBACK_ICE } from './session.js';
import { SignalSocket } from './signal_socket.js';
import { cleanIce, peerName } from './wire.js';

/** @typedef {import('../core/state.js').CallState} CallState */
/** @typedef {import('../core/state.js').CallPeer} CallPeer */
/** @typedef {import('../core/state.js').IceServer} IceServer */
/** @typedef {import('../core/state.js').WireMsg} WireMsg */

/**
 * The room's frames after callClean, one shape per kind it checks; any other kind comes
 * back as {t} alone, so callMsg reads each shape under its own case.
 * @typedef {{id: string, name: string, talk: boolean, muted: boolean}} CallMember
 * @typedef {{sdp: {type: 'offer'|'answer', sdp: string}}|{ice: RTCIceCandidateInit}} CallSignal
 * @typedef {{t: 'welcome', id: string, host: string, token: string, ice: IceServer[], peers: CallMember[]}} CallWelcome
 * @typedef {{t: 'peer-join', peer: CallMember}} CallJoin
 * @typedef {{t: 'signal', from: string, name: string, data: CallSignal}} CallSignalFrame
 * @typedef {{t: 'state', id: string, talk: boolean, muted: boolean}} CallStateFrame
 * @typedef {{t: 'peer-leave', id: string, host: string}} CallLeaveFrame
 * @typedef {{t: 'host', id: string}} CallHostFrame
 * @typedef {CallWelcome|CallJoin|CallSignalFrame|CallStateFrame|CallLeaveFrame|CallHostFrame|{t: string}} CallFrame
 */

const CALL_CHARS = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';
/** Members of one room, oneself included. */
const CALL_MAX = 8;

/**
 * A new room code: 6 characters of CALL_CHARS from a cryptographic source (32 divides 2^32:
 * no bias). rnd stands in for the source.
 * @param {ArrayLike<number>} [rnd]
 */
export function callNewCode(rnd) {
  const r = rnd || crypto.getRandomValues(new Uint32Array(6));
  let code = '';
  for (let i = 0; i < 6; i++) code += CALL_CHARS[r[i] % 32];
  return code;
}

/** The code a person typed, trimmed and upper-cased; '' unless it is 6 letters or digits. */
export function callCodeOf(/** @type {unknown} */ text) {
  const c = typeof text === 'string' ? text.trim().toUpperCase() : '';
  return /^[A-Z0-9]{6}$/.test(c) ? c : '';
}

// Server and peer input -----------------------------------------------------------------

/** A member id as the server makes them; anything else is not a member. */
function callId(/** @type {unknown} */ v) {
  return typeof v === 'string' && /^[A-Za-z0-9_-]{1,32}$/.test(v) ? v : '';
}

/**
 * A member from `welcome` or `peer-join`, with checked fields; null when it has no usable id.
 * @returns {CallMember|null}
 */
function callMember(/** @type {unknown} */ raw) {
  if (!raw || typeof raw !== 'object') return null;
  const v = /** @type {{[field: string]: unknown}} */ (raw);
  const id = callId(v.id);
  return id ? { id, name: peerName(v.name, '?').slice(0, 32), talk: v.talk === true, muted: v.muted === true } : null;
}

/**
 * A WebRTC signal from another member: an offer or answer, or a candidate; null otherwise.
 * @returns {CallSignal|null}
 */
function callSignalData(/** @type {unknown} */ raw) {
  if (!raw || typeof raw !== 'object') return null;
  const d = /** @type {{[field: string]: unknown}} */ (raw);
  if (d.sdp && typeof d.sdp === 'object') {
    const sd = /** @type {{[field: string]: unknown}} */ (d.sdp);
    if ((sd.type !== 'offer' && sd.type !== 'answer') || typeof sd.sdp !== 'string' || sd.sdp.length > 60000) return null;
    return { sdp: { type: sd.type, sdp: sd.sdp } };
  }
  const c = /** @type {{[field: string]: unknown}} */ (d.ice && typeof d.ice === 'object' ? d.ice : {});
  if (typeof c.candidate === 'string' && c.candidate.length <= 1024) {
    /** @type {RTCIceCandidateInit} */
    const ice = { candidate: c.candidate };
    if (typeof c.sdpMid === 'string' && c.sdpMid.length <= 64) ice.sdpMid = c.sdpMid;
    const line = c.sdpMLineIndex;
    if (typeof line === 'number' && Number.isInteger(line) && line >= 0 && line < 64) ice.sdpMLineIndex = line;
    if (typeof c.usernameFragment === 'string' && c.usernameFragment.length <= 256) ice.usernameFragment = c.usernameFragment;
    if (ice.sdpMid === undefined && ice.sdpMLineIndex === undefined) return null;
    return { ice };
  }
  return null;
}

/**
 * A frame of the /call/ socket in the shape the page uses, with checked types and bounded
 * lists; null for anything unusable. Unknown kinds come back as {t} alone.
 * @returns {CallFrame|null}
 */
export function callClean(/** @type {unknown} */ raw) {
  if (!raw || typeof raw !== 'object') return null;
  const m = /** @type {{[field: string]: unknown}} */ (raw);
  if (typeof m.t !== 'string') return null;
  switch (m.t) {
    case 'welcome': {
      const id = callId(m.id);
      if (!id) return null;
      /** @type {CallMember[]} */
      const peers = [];
      for (const v of Array.isArray(m.peers) ? m.peers.slice(0, 64) : []) {
        const p = callMember(v);
        if (p && p.id !== id && !peers.some((o) => o.id === p.id) && peers.length < CALL_MAX - 1) peers.push(p);
      }
      const token = typeof m.token === 'string' && /^[0-9a-f]{32}$/.test(m.token) ? m.token : '';
      return { t: m.t, id, host: callId(m.host), token, ice: cleanIce(m.iceServers), peers };
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
    case 'host': {
      const id = callId(m.id);
      return id ? { t: m.t, id } : null;
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
export function callRejoinWait(/** @type {number} */ code, /** @type {string} */ reason, /** @type {number} */ tries, rnd = Math.random()) {
  if (tries >= 5 || (tries === 0 && (code !== 1001 || reason !== 'server going away'))) return -1;
  return Math.round(1000 + rnd * 4000 * (tries + 1));
}

// The room ---------------------------------------------------------------------------------

/**
 * What the group call tells the page; app.js sets these.
 * @type {{onchange: () => void, onnotice: (text: string, ms?: number) => void, onlevel: (level: number) => void}}
 * onlevel: the own microphone's level, 0..1, several times a second.
 */
export const callOn = { onchange: () => {}, onnotice: () => {}, onlevel: () => {} };

export function callCreate() {
  callStart(callNewCode(), true);
}


/**
 * The token the server handed in `welcome`: sent again on a rejoin, it keeps a kick on the
 * kicked person only and gives the host their room back after a server restart.
 */
let callToken = '';

/** Joins (or creates) the room of code; ignored while in a call. */
export async function callStart(/** @type {string} */ code, /** @type {boolean} */ create) {
  if (ST.CALLX) return;
  callToken = '';
  /** @type {CallState} */
  const x = {
    code, create, mic: null, peers: new Map(), me: '', host: '', muted: false, deaf: false, talk: false,
    ice: [], ws: null, joined: false, draws: 1, rejoins: 0, timers: {}, ac: null, an: null,
  };
  ST.CALLX = x;
  callOn.onchange();
  const mic = await getMic({});
  if (ST.CALLX !== x) {
    if (mic) mic.getTracks().forEach((tr) => tr.stop());
    return;
  }
  if (!mic) {
    ST.CALLX = null;
    callOn.onchange();
    return;
  }
  x.mic = mic;
  callWatchMic(x, mic);
  callOpen(x, false);
  callMeterStart(x);
  noteCall({ activa: true }).catch(() => {});
  callOn.onchange();
}

/** Opens the room's socket; rejoin after a server restart joins or creates the room again. */
function callOpen(/** @type {CallState} */ x, /** @type {boolean} */ rejoin) {
  /** @type {SignalSocket} */
  let ws;
  try {
    ws = new SignalSocket(wsUrl('/call/' + x.code), 1 << 16);
  } catch {
    callLeave('srvDown');
    return;
  }
  x.ws = ws;
  ws.onopen = () => {
    if (ST.CALLX !== x || x.ws !== ws) return;
    /** @type {WireMsg} */
    const join = { t: 'join', name: peerName(ST.ID && ST.ID.nombre, 'Kelvora').slice(0, 32), create: x.create };
    if (rejoin) join.rejoin = true;
    if (callToken) join.token = callToken;
    ws.send(join);
    ws.keepAlive(25000);
  };
  ws.onmessage = (raw) => {
    if (ST.CALLX !== x || x.ws !== ws) return;
    const m = callClean(raw);
    if (m) callMsg(x, m);
  };
  ws.onclose = (code, reason) => {
    if (ST.CALLX !== x || x.ws !== ws) return;
    x.ws = null;
    const wait = callRejoinWait(code, reason, x.rejoins);
    if (wait < 0) {
      callLeave('srvDown');
      return;
    }
    x.rejoins++;
    x.timers.rejoin = setTimeout(() => { if (ST.CALLX === x) callOpen(x, true); }, wait);
  };
}

function callSend(/** @type {CallState} */ x, /** @type {WireMsg} */ m) {
  if (x.ws) x.ws.send(m);
}

/** One frame from the room's socket (already checked by callClean). */
function callMsg(/** @type {CallState} */ x, /** @type {CallFrame} */ frame) {
  switch (frame.t) {
    case 'welcome': {
      const m = /** @type {CallWelcome} */ (frame);
      // After a server restart every member comes back under a new id: the mesh is built again.
      for (const p of [...x.peers.values()]) callDropPeer(x, p);
      x.me = m.id;
      x.host = m.host;
      if (m.token) callToken = m.token;
      x.ice = m.ice;
      x.joined = true;
      x.rejoins = 0;
      for (const v of m.peers) {
        const p = callPeer(x, v.id, v.name, true);
        if (p) Object.assign(p, { talk: v.talk, muted: v.muted });
      }
      callSend(x, { t: 'state', talk: x.talk, muted: x.muted });
      break;
    }
    case 'peer-join': {
      const m = /** @type {CallJoin} */ (frame);
      if (m.peer.id !== x.me) callPeer(x, m.peer.id, m.peer.name, false);
      break;
    }
    case 'signal': {
      const m = /** @type {CallSignalFrame} */ (frame);
      if (m.from === x.me) break;
      const p = x.peers.get(m.from) || ('sdp' in m.data && m.data.sdp && m.data.sdp.type === 'offer' ? callPeer(x, m.from, m.name, false) : null);
      if (p) p.rtc.signal(m.data);
      break;
    }
    case 'state': {
      const m = /** @type {CallStateFrame} */ (frame);
      const p = x.peers.get(m.id);
      if (p) Object.assign(p, { talk: m.talk, muted: m.muted });
      break;
    }
    case 'peer-leave': {
      const m = /** @type {CallLeaveFrame} */ (frame);
      const p = x.peers.get(m.id);
      if (p) callDropPeer(x, p);
      if (m.host) x.host = m.host;
      break;
    }
    case 'host':
      x.host = /** @type {CallHostFrame} */ (frame).id;
      break;
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
      console.log('llamada: mensaje desconocido', frame.t);
      return;
  }
  callOn.onchange();
}

/** The peer connection to one member; null when the room is already full on this side. */
function callPeer(/** @type {CallState} */ x, /** @type {string} */ id, /** @type {string} */ name, /** @type {boolean} */ offerer) {
  const known = x.peers.get(id);
  if (known) return known;
  if (x.peers.size >= CALL_MAX - 1 || !x.mic) return null;
  const ours = () => ST.CALLX === x && x.peers.get(id) === p;
  const rtc = new Peer({
    send: (data) => { if (ours()) callSend(x, { t: 'signal', to: id, data }); },
    local: mungeVoice,
    // One side of each pair offers: an offer to the offerer, or an answer nobody asked for, is noise.
    accept: (d, pc) => !(d.type === 'offer' ? p.offerer : pc.signalingState !== 'have-local-offer'),
    // A pair that fails would leave two members deaf to each other while both hear the
    // rest: the side that offered tries once more with fresh candidates.
    onfailed: () => {
      if (ours() && p.offerer && !p.restarted) {
        p.restarted = true;
        rtc.offer(true);
      }
    },
    onchange: () => { if (ours()) callOn.onchange(); },
  });
  const pc = rtc.open({ iceServers: x.ice.length ? x.ice : FALLBACK_ICE, bundlePolicy: 'max-bundle' });
  // In the page (hidden), so that a change of speaker reaches it like every other element.
  const audio = hiddenAudio();
  audio.muted = x.deaf;
  applySink(audio, true);
  /** @type {CallPeer} */
  const p = { id, name, pc, rtc, offerer, restarted: false, talk: false, muted: false, vol: 1, audio };
  x.peers.set(id, p);
  for (const tr of x.mic.getAudioTracks()) pc.addTrack(tr, x.mic);
  pc.ontrack = (e) => {
    playAtOnce(e.receiver);
    audio.srcObject = e.streams[0] || new MediaStream([e.track]);
    audio.play().catch(() => {});
  };
  if (offerer) rtc.offer();
  return p;
}

function callDropPeer(/** @type {CallState} */ x, /** @type {CallPeer} */ p) {
  x.peers.delete(p.id);
  p.rtc.close();
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
    if (ST.CALLX !== x || !x.an) return;
    if (x.ac && x.ac.state === 'suspended') x.ac.resume().catch(() => {});
    x.an.getFloatTimeDomainData(buf);
    let sum = 0;
    for (const v of buf) sum += v * v;
    const rms = Math.sqrt(sum / buf.length);
    callOn.onlevel(x.muted ? 0 : Math.min(100, rms * 400) / 100);
    const talk = !x.muted && rms > 0.02;
    if (talk !== x.talk) {
      x.talk = talk;
      callSend(x, { t: 'state', talk, muted: x.muted });
      callOn.onchange();
    }
  }, 120);
}

/** A microphone that goes away (unplugged, taken by the system) is reopened a moment later. */
function callWatchMic(/** @type {CallState} */ x, /** @type {MediaStream} */ mic) {
  for (const tr of mic.getAudioTracks()) {
    tr.addEventListener('ended', () => {
      if (ST.CALLX !== x || x.mic !== mic) return;
      diag(`[MICROFONO] «${tr.label}» se cerró en la llamada en grupo`);
      setTimeout(() => { if (ST.CALLX === x && x.mic === mic) callSwapMic(x); }, 900);
    });
  }
}

/** Opens the microphone again and puts it on every member's connection, keeping mute as it was. */
export async function callSwapMic(/** @type {CallState} */ x) {
  const mic = await getMic({ quiet: true, silent: true });
  if (ST.CALLX !== x || !mic) {
    if (mic) mic.getTracks().forEach((tr) => tr.stop());
    if (ST.CALLX === x) callOn.onnotice(t('micLost'), 8000);
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
  callOn.onnotice(t('micBack'), 8000);
}

export function callMute() {
  const x = ST.CALLX;
  if (!x || !x.mic) return;
  x.muted = !x.muted;
  x.mic.getAudioTracks().forEach((tr) => { tr.enabled = !x.muted; });
  if (x.muted) x.talk = false;
  callSend(x, { t: 'state', talk: x.talk, muted: x.muted });
  callOn.onchange();
}

/** Deaf: nobody in the call is heard here (only on this PC). */
export function callDeaf() {
  const x = ST.CALLX;
  if (!x) return;
  x.deaf = !x.deaf;
  for (const p of x.peers.values()) p.audio.muted = x.deaf;
  callOn.onchange();
}

export function callVol(/** @type {string} */ id, /** @type {number} */ v) {
  const p = ST.CALLX && ST.CALLX.peers.get(id);
  if (!p || !Number.isFinite(v)) return;
  p.vol = Math.max(0, Math.min(100, v)) / 100;
  p.audio.volume = p.vol;
}

/** The room's host removes a member (the server checks that this PC is the host). */
export function callKick(/** @type {string} */ id) {
  const x = ST.CALLX;
  if (x && x.me && x.host === x.me && x.peers.has(id)) callSend(x, { t: 'kick', id });
}

/**
 * Leaves the call; why is the key of a toast to show, if any.
 * @param {string} [why]
 */
export function callLeave(why) {
  const x = ST.CALLX;
  if (!x) return;
  ST.CALLX = null;
  clearInterval(x.timers.meter);
  clearTimeout(x.timers.rejoin);
  for (const p of [...x.peers.values()]) callDropPeer(x, p);
  if (x.mic) x.mic.getTracks().forEach((tr) => tr.stop());
  if (x.ac) x.ac.close().catch(() => {});
  const ws = x.ws;
  x.ws = null;
  if (ws) ws.close();
  if (x.mic) noteCall({ activa: false }).catch(() => {});
  if (why) callOn.onnotice(t(why), 6000);
  callOn.onchange();
}
