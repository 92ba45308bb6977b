// The page's state: the records every layer reads, under the names the page has always
// used, and the types of sessions, requests and calls. Nothing here touches the page or
// the network; the protocol modules change these records and the page draws from them.

import { store } from './util.js';

/**
 * A role's own part of its sessions (net/host.js, net/tech.js): how signals and the goodbye
 * reach the other side, what the role releases at the end, its messages, and what it does
 * once the control channel opens.
 * @typedef {Object} SessionSide
 * @property {(s: any, data: any) => void} signal
 * @property {(s: any, why: string) => void} bye
 * @property {(s: any) => void} forget
 * @property {(s: any, m: any, label: string) => void} message
 * @property {((s: any) => void)=} open
 */

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
 * @property {import('../net/signal_socket.js').SignalSocket|null} ws tech only: its /join/ socket
 * @property {boolean} accepted tech: the host accepted
 * @property {boolean} connected the peer connection reached "connected" once
 * @property {number} started time of the first connection (ms), 0 before
 * @property {number} created time the record was made (ms)
 * @property {boolean} dead
 * @property {boolean} relayTried relay-only mode is or was in force
 * @property {import('../net/peer.js').Peer} rtc the negotiation: signal queues, timers, relay retry
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
 * @property {SessionSide} side the role's own part: signals, goodbye, messages
 * @property {any} [x] the section's own fields (host: screen, vtx, atx…; tech: vid, aud…)
 */

/**
 * @typedef {Object} CallPeer
 * @property {string} id member id given by the server
 * @property {string} name
 * @property {RTCPeerConnection} pc
 * @property {import('../net/peer.js').Peer} rtc the negotiation: signals one after another, queued candidates
 * @property {boolean} offerer this side made the offer (the other side only answers)
 * @property {boolean} restarted the one retry with fresh candidates was made
 * @property {boolean} talk
 * @property {boolean} muted
 * @property {number} vol 0..1
 * @property {HTMLAudioElement} audio plays the member's voice on the chosen speaker
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
 * @property {import('../net/signal_socket.js').SignalSocket|null} ws the room's socket
 * @property {boolean} joined a `welcome` came
 * @property {number} draws codes drawn for a new room (a drawn code may be in use)
 * @property {number} rejoins reconnections after a server restart, since the last `welcome`
 * @property {{ping?: any, meter?: any, rejoin?: any}} timers
 * @property {AudioContext|null} ac
 * @property {AnalyserNode|null} an
 * @property {MediaStreamAudioSourceNode|null} [src] the microphone's node feeding the analyser
 */

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

/** @type {Map<string, any>} sessions in which this PC helps, by key */
export const TS = new Map();
/** @type {{ws: import('../net/signal_socket.js').SignalSocket|null, state: string, retry: number, timer: any, stop: boolean, req: HostReq|null}} the /host/ registration */
export const HOST = { ws: null, state: 'off', retry: 0, timer: 0, stop: false, req: null };
/** @type {{q: any[], move: any, busy: boolean}} the input queue: ordered events, the one pending move, a POST under way */
export const INQ = { q: [], move: null, busy: false };
/** @type {Object<string, number>} monitor name → screen number of the capture window; 1 is the main capture's */
export const CAPN = {};
/** @type {{reading: boolean}} one read of "main" at a time, so no read takes another's messages */
export const CAPR = { reading: false };

/** @type {Map<string, {el: HTMLElement, k: string, busy: boolean, timer: any}>} transfer boxes by transfer id */
export const XFER = new Map();

/** @type {Map<string, any>} voice lines by key ("l" + n) */
export const LINES = new Map();
/**
 * The local mixer: one audio context, the open microphone and its source, the gain that
 * mutes it, an analyser for the own meter, and the queue that serializes reopening.
 * @type {any}
 */
export const MIX = { ac: null, mic: null, src: null, micGain: null, an: null, muted: false, swapq: Promise.resolve(), watch: null, silent: false, blocked: false };
/** @type {{mics: {id: string, name: string}[], outs: {id: string, name: string}[], labels: boolean, defMic: string}} */
export const DEVS = { mics: [], outs: [], labels: false, defMic: '' };
/** @type {any} the tone player */
export const RING = { ac: null, kind: '', timer: 0 };
/** Speakers already reported missing, so the toast shows once per name. */
export const SPK_WARNED = new Set();
/** Rings the caller gave up while this side was still opening its microphone to answer. */
export const RINGS_GONE = new Set();
/** @type {{poll: any, gen: number}} the pending poll and the generation of the running loop */
export const UPDP = { poll: 0, gen: 0 };
/**
 * @type {{lang: string, pageLang: string, ok: boolean, gen: number}} the manual shown: its
 * language, the page language it was loaded under, whether it loaded, the newest request
 */
export const MAN = { lang: '', pageLang: '', ok: false, gen: 0 };
/** @type {{stream: MediaStream|null, opening: boolean, timer: any, stop: any, ctx: AudioContext|null, rebuild: boolean}} the running microphone test */
export const MICT = { stream: null, opening: false, timer: 0, stop: 0, ctx: null, rebuild: false };

/**
 * The page's values that several modules change, under the names the page has always
 * used: a module reads and writes ST.HSES where the page once had a global HSES (a binding
 * imported from another module cannot be assigned).
 */
export const ST = {
  /** @type {any} last GET /api/estado: admin, portatil, recientes, sesiones, actualizacion, servidor, monitores, inicio_windows */
  S: {},
  /** @type {any} POST /api/identidad: id, id_bonito, clave, llave, nombre, servidor */
  ID: null,
  /** @type {{general: Object<string,string>, recibir: Object<string,string>, llamada: Object<string,string>}} settings */
  AJ: { general: {}, recibir: {}, llamada: {} },
  /** @type {'es'|'en'} */
  LANG: 'es',
  /** @type {{turn?: string, v?: string}} the signalling server's /health */
  SRV: {},
  /** @type {Session|null} the session in which this PC is helped */
  HSES: null,
  /** @type {string|null} key of the session shown in the viewer */
  CUR: null,
  /** running number for session keys */
  SESN: 0,
  /** @type {{list: any[], at: number}|null} cached ICE server list */
  ICE: null,
  /** @type {string|null} key of the session whose chat was opened last */
  CHATS: null,
  /** @type {any} the session the file picker sends to */
  PICKS: null,
  /** running number for voice line keys */
  LINEN: 0,
  /** @type {any} the incoming ring on show: cid, name, from, claimed, ice, until, timer */
  RINGIN: null,
  /** the calls dock is folded (kept across runs) */
  DOCKMIN: store('trv_dockmin', undefined) === '1',
  /** @type {any} the 200 ms refresh of statuses and meters while lines exist */
  VOICE_TICK: 0,
  /** @type {any} the Call tab's microphone test */
  MICTEST: null,
  /** @type {any} the update state last shown (cleaned), or null before the first one */
  UPD: null,
  /** @type {CallState|null} the group call, or null */
  CALLX: null,
};

/** The open session with this key, given or received; null when it is gone. */
export function sesByKey(/** @type {string|null} */ k) {
  if (!k) return null;
  return TS.get(k) || (ST.HSES && ST.HSES.k === k ? ST.HSES : null);
}

/** Several sessions at once: boxes and notes name the peer. */
export function manySessions() {
  return TS.size + (ST.HSES ? 1 : 0) > 1;
}

/** A setting's text, '' when missing. */
export function setting(/** @type {'general'|'recibir'|'llamada'} */ sec, /** @type {string} */ key) {
  const v = ST.AJ[sec] && ST.AJ[sec][key];
  return typeof v === 'string' ? v : '';
}

/** Is any session open, given or received. */
export function anySession() {
  return !!ST.HSES || TS.size > 0;
}

/** The session shown in the viewer, if any. */
export function curSes() {
  return (ST.CUR && TS.get(ST.CUR)) || null;
}
