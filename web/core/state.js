// The page's state: the records every layer reads, under the names the page has always
// used, and the types of sessions, requests and calls. Nothing here touches the page or
// the network; the protocol modules change these records and the page draws from them.

import { store } from './util.js';

/**
 * A role's own part of its sessions (net/host.js, net/tech.js): how signals and the goodbye
 * reach the other side, what the role releases at the end, its messages, and what it does
 * once the control channel opens.
 * @typedef {Object} SessionSide
 * @property {(s: Session, data: unknown) => void} signal
 * @property {(s: Session, why: string) => void} bye
 * @property {(s: Session) => void} forget
 * @property {(s: Session, m: WireMsg, label: string) => void} message
 * @property {((s: Session) => void)=} open
 * @property {((s: Session, rtp: RtpSample) => void)=} stats each sample of the picture's RTP statistics
 */

/**
 * The picture's RTP entry of a statistics report (outbound on the host, inbound on the
 * technician), with the fields the page reads.
 * @typedef {{type: string, kind?: string, mediaType?: string, framesPerSecond?: number, framesEncoded?: number, frameWidth?: number, frameHeight?: number, bytesSent?: number, bytesReceived?: number, qualityLimitationReason?: string}} RtpSample
 */

/**
 * A message from a socket or a data channel, as `wireMsg` lets it through: an object named
 * by `t`. Its other fields are unchecked until the handler of that `t` checks them.
 * @typedef {{t: string, [field: string]: unknown}} WireMsg
 */

/**
 * An ICE server as RTCPeerConnection takes it (see cleanIce).
 * @typedef {{urls: string|string[], username?: string, credential?: string}} IceServer
 */

/**
 * A monitor the page offers (see cleanMons); on X, captura is the number its screen
 * captures carry in their label.
 * @typedef {{i: number, name: string, w: number, h: number, primary: boolean, captura?: number}} Monitor
 */

/**
 * A chat line: a message (who, text, me) or a line of the system's own (sys).
 * @typedef {{text: string, who?: string, me?: boolean, sys?: boolean}} ChatLine
 */

/**
 * A file arriving in a session (net/files.js).
 * @typedef {Object} FileRx
 * @property {string} id
 * @property {string} name
 * @property {number} size
 * @property {boolean} ok
 * @property {boolean} opening
 * @property {boolean} ended
 * @property {boolean} failed
 * @property {boolean} pumping
 * @property {ReturnType<typeof setTimeout>|null} gather until chunks too few for a piece go to disk anyway
 * @property {ArrayBuffer[]} q chunks received, not yet written
 * @property {number} got
 * @property {number} written
 * @property {string} sink
 */

/**
 * The sender's side of a receiver's window (net/files.js).
 * @typedef {{win: number, got: number, stop: boolean, wake: (() => void)|null, acked: () => Promise<void>}} FileTx
 */

/**
 * The helped PC's sound on its way into a session (net/host.js).
 * @typedef {{ctrl: AbortController, ctx: AudioContext|null}} SoundPipe
 */

/** @typedef {ReturnType<typeof setTimeout>} Timer */

/**
 * A voice line (net/phone.js): a phone call with its own connection, or the voice of a
 * support session on the session's transceiver.
 * @typedef {Object} Line
 * @property {string} k key: "l"+n
 * @property {'phone'|'ses'} kind
 * @property {string} role phones: "caller" or "callee"
 * @property {string} cid the ring's id given by the signalling server
 * @property {import('../net/signal_socket.js').SignalSocket|null} ws phones: the /ring/ or /call/ socket
 * @property {RTCPeerConnection|null} pc phones: the line's own connection
 * @property {RTCDataChannel|null} dc phones: the `ph` channel
 * @property {Session|null} ses session lines: the session
 * @property {string} peer display name of the other side
 * @property {string} peerId the other side's ID
 * @property {string} state calling, ringing, connecting, active
 * @property {boolean} held
 * @property {boolean} conf a member of the conference
 * @property {number} vol 0..1
 * @property {HTMLAudioElement|null} audio plays the other side on the chosen speaker
 * @property {boolean} ownAudio the audio element is the line's own (removed at the end)
 * @property {MediaStream|null} remote the other side's voice
 * @property {MediaStreamAudioSourceNode|null} rsrc the mixer's node of the remote voice
 * @property {MediaStream|null} [rsrcOf] the stream rsrc was made from
 * @property {AnalyserNode|null} an the remote voice's meter
 * @property {number} level
 * @property {MediaStreamAudioDestinationNode|null} dest what this side sends on the line
 * @property {MediaStreamTrack|null} track dest's track
 * @property {{from: AudioNode, g: GainNode}[]} feeds conference feeds into dest
 * @property {RTCRtpSender|null} [sender] what carries the line to the other side (media/mixer.js)
 * @property {MediaStreamTrack|null} [sending] the track last put on sender
 * @property {MediaStreamTrack|null} [direct] a copy of the microphone's track, sent while the line carries it alone
 * @property {MediaStreamTrack|null} [directOf] the microphone track direct copies
 * @property {number} started time the line became active (ms), 0 before
 * @property {number} rtt round trip in ms, -1 unknown
 * @property {boolean} relay through a TURN server
 * @property {boolean} peerMuted
 * @property {boolean} peerHold
 * @property {IceServer[]} ice
 * @property {import('../net/peer.js').Peer|null} rtc phones: the negotiation
 * @property {{conn?: Timer, loss?: Timer, ping?: Timer, ring?: Timer, stats?: Timer}} timers
 * @property {boolean} dead
 */

/**
 * @typedef {Object} Session
 * @property {string} k key: "h"+n on the host, "t"+n on the technician
 * @property {'host'|'tech'} role
 * @property {string} sid server's id of the request (host)
 * @property {string} peer display name of the other side
 * @property {string} peerId tech only: the other side's 9-digit ID
 * @property {IceServer[]} ice ICE servers handed over by the signalling server
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
 * @property {Monitor[]} mons monitors the technician may see
 * @property {number} mon the monitor shown
 * @property {boolean} monsw monitor switching offered
 * @property {string} surface the captured surface
 * @property {ChatLine[]} chat chat lines
 * @property {number} unread
 * @property {Line|null} line the session's voice line, if any
 * @property {RTCRtpTransceiver|null} voice the voice transceiver
 * @property {boolean} peerMic the other side has its voice on
 * @property {boolean} peerHold the other side holds the voice line
 * @property {{conn?: Timer, loss?: Timer, stats?: Timer, wait?: Timer, ping?: Timer}} timers
 * @property {string} statTxt statistics line
 * @property {{bytes: number, at: number}|null} lastB previous statistics sample
 * @property {string} waitTxt the viewer's waiting text ('' = none)
 * @property {SessionSide} side the role's own part: signals, goodbye, messages
 * @property {(() => void)[]} ctlWaits what waits for the control channel to open
 * @property {boolean} [relay] the connection runs through a TURN server
 *
 * The host's own fields:
 * @property {boolean} [unattended] opened with the password, nobody asked
 * @property {MediaStream} [screen] the captured screen
 * @property {RTCRtpTransceiver|null} [vtx] the picture's transceiver
 * @property {RTCRtpTransceiver|null} [atx] the PC sound's transceiver
 * @property {HTMLAudioElement|null} [vaud] plays the technician's voice
 * @property {SoundPipe|null} [audioPipe] the PC sound's pipeline while it runs
 * @property {MediaStreamTrack|null} [audioTrack] the PC sound's track while it runs
 * @property {Monitor[]} allMons host: every monitor of this PC (none on the technician)
 * @property {string[]} [allowNames] monitors the technician may see, by name
 * @property {number} [mainMon] the monitor of the main capture
 * @property {import('../net/capture_link.js').CapLink|null} [cap] the capture window of another monitor
 * @property {boolean} [capBusy] a monitor switch is under way
 *
 * The technician's own fields:
 * @property {boolean} [withPass] connecting with the password
 * @property {Object<string, unknown>|null} [resInfo] the remote screen's sizes as the host last told (unchecked)
 * @property {boolean} [adaptive] the picture follows the viewer's size
 * @property {boolean} [clipWait] a remote clipboard read is under way
 * @property {boolean} [uaAsked] the host was asked for its own sound once
 * @property {number} [waitLeft] seconds the host has left to decide
 * @property {HTMLVideoElement} [vid] the picture
 * @property {HTMLAudioElement} [aud] the PC's sound
 *
 * Files, both sides:
 * @property {FileRx|null} [rx] the file arriving
 * @property {Map<string, FileTx>} [tx] files leaving, by transfer id
 * @property {Map<string, (ok: boolean) => void>} [ask] offers waiting for their answer
 * @property {Promise<void>} [fileChain] files leave one after another
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
 * @property {IceServer[]} ice ICE list from `welcome`
 * @property {import('../net/signal_socket.js').SignalSocket|null} ws the room's socket
 * @property {boolean} joined a `welcome` came
 * @property {number} draws codes drawn for a new room (a drawn code may be in use)
 * @property {number} rejoins reconnections after a server restart, since the last `welcome`
 * @property {{ping?: Timer, meter?: Timer, rejoin?: Timer}} timers
 * @property {AudioContext|null} ac
 * @property {AnalyserNode|null} an
 * @property {MediaStreamAudioSourceNode|null} [src] the microphone's node feeding the analyser
 */

/**
 * @typedef {Object} HostReq the pending request
 * @property {string} sid server's id of the request
 * @property {string} name the technician's name
 * @property {number} until end of the 58 s to decide (ms); 0 while the password is checked
 * @property {IceServer[]} ice ICE servers handed over with the request
 * @property {Monitor[]} allMons every monitor of this PC
 * @property {boolean} picking decided: the screen is being captured
 * @property {number} shown when the dialog appeared (ms)
 * @property {Timer|undefined} tick the countdown's interval
 */

/** @type {Map<string, Session>} sessions in which this PC helps, by key */
export const TS = new Map();
/** @type {{ws: import('../net/signal_socket.js').SignalSocket|null, state: string, retry: number, timer: Timer|number, stop: boolean, req: HostReq|null}} the /host/ registration */
export const HOST = { ws: null, state: 'off', retry: 0, timer: 0, stop: false, req: null };
/** @type {{q: Object<string, unknown>[], move: Object<string, unknown>|null, busy: boolean}} the input queue: ordered events, the one pending move, a POST under way */
export const INQ = { q: [], move: null, busy: false };
/** @type {Object<string, number>} monitor name → screen number of the capture window; 1 is the main capture's */
export const CAPN = {};
/** @type {{reading: boolean}} one read of "main" at a time, so no read takes another's messages */
export const CAPR = { reading: false };

/** @type {Map<string, {el: HTMLElement, k: string, busy: boolean, timer: Timer|undefined}>} transfer boxes by transfer id */
export const XFER = new Map();

/** @type {Map<string, Line>} voice lines by key ("l" + n) */
export const LINES = new Map();
/**
 * The local mixer: one audio context, the open microphone and its source, the gain that
 * mutes it, an analyser for the own meter, and the queue that serializes reopening.
 * @type {{ac: AudioContext|null, mic: MediaStream|null, src: MediaStreamAudioSourceNode|null, micGain: GainNode|null, an: AnalyserNode|null, muted: boolean, swapq: Promise<unknown>, watch: {since: number, max: number, posted: boolean}|null, silent: boolean, blocked: boolean}}
 */
export const MIX = { ac: null, mic: null, src: null, micGain: null, an: null, muted: false, swapq: Promise.resolve(), watch: null, silent: false, blocked: false };
/** @type {{mics: {id: string, name: string}[], outs: {id: string, name: string}[], labels: boolean, defMic: string}} */
export const DEVS = { mics: [], outs: [], labels: false, defMic: '' };
/** @type {{ac: AudioContext|null, kind: string, timer: Timer|number}} the tone player */
export const RING = { ac: null, kind: '', timer: 0 };
/** Speakers already reported missing, so the toast shows once per name. */
export const SPK_WARNED = new Set();
/** Rings the caller gave up while this side was still opening its microphone to answer. */
export const RINGS_GONE = new Set();
/** @type {{poll: Timer|number, gen: number}} the pending poll and the generation of the running loop */
export const UPDP = { poll: 0, gen: 0 };
/**
 * @type {{lang: string, pageLang: string, ok: boolean, gen: number}} the manual shown: its
 * language, the page language it was loaded under, whether it loaded, the newest request
 */
export const MAN = { lang: '', pageLang: '', ok: false, gen: 0 };
/** @type {{stream: MediaStream|null, opening: boolean, timer: Timer|number, stop: Timer|number, ctx: AudioContext|null, rebuild: boolean}} the running microphone test */
export const MICT = { stream: null, opening: false, timer: 0, stop: 0, ctx: null, rebuild: false };

/**
 * The page's values that several modules change, under the names the page has always
 * used: a module reads and writes ST.HSES where the page once had a global HSES (a binding
 * imported from another module cannot be assigned).
 */
export const ST = {
  /** @type {import('./api.js').Status} last GET /api/estado */
  S: {},
  /** @type {import('./api.js').Identity|null} POST /api/identidad */
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
  /** @type {{list: IceServer[], at: number}|null} cached ICE server list */
  ICE: null,
  /** @type {string|null} key of the session whose chat was opened last */
  CHATS: null,
  /** @type {Session|null} the session the file picker sends to */
  PICKS: null,
  /** running number for voice line keys */
  LINEN: 0,
  /** @type {{cid: string, name: string, from: string, claimed: string, ice: IceServer[], until: number, timer: Timer|number}|null} the incoming ring on show */
  RINGIN: null,
  /** the calls dock is folded (kept across runs) */
  DOCKMIN: store('trv_dockmin', undefined) === '1',
  /** @type {Timer|number} the 200 ms refresh of statuses and meters while lines exist */
  VOICE_TICK: 0,
  /** @type {Timer|number} the Call tab's microphone test */
  MICTEST: 0,
  /** @type {import('../ui/settings.js').UpdState|null} the update state last shown (cleaned), or null before the first one */
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
