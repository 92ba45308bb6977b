// The one negotiation engine of the page's peer connections: a support session, a phone
// line, each member of a group call and the capture window's link. Signals from the other
// side are applied one after another; those that come before the connection exists, and
// candidates that come before a remote description, wait in queues of at most
// SIGNAL_CAP each. Our descriptions leave through the owner's send() after its SDP
// adjustment. The connection has a time to stand and a time to come back after a drop,
// and may be retried once through the TURN relay.

/**
 * How peer connections are made. The page uses the browser's RTCPeerConnection; a test
 * hands in a stand-in with the same shape.
 * @type {{make: (config: RTCConfiguration) => RTCPeerConnection}}
 */
export const peers = { make: (config) => new RTCPeerConnection(config) };

/** Signals waiting for the connection, and candidates waiting for a remote description: at most this many of each. */
export const SIGNAL_CAP = 200;

/**
 * What an owner gives its engine. send: a signal to the other side. local / remote: our
 * descriptions and theirs adjusted before use. accept: whether to take a remote
 * description (the owner's rules: who offers, how often). onoffer: an offer was taken,
 * before the answer is made. own: a signal the owner handles itself (true when it did).
 * The timers' outcomes: onconnected, onfailed (the connection failed), onlost (it
 * dropped and did not come back within lossMs), ontimeout (it did not stand within the
 * time armed); onchange on every change of the connection's state.
 * @typedef {Object} PeerOwner
 * @property {(data: {sdp?: RTCSessionDescriptionInit, ice?: RTCIceCandidateInit, relay?: number}) => void} send
 * @property {(sdp: string) => string} [local]
 * @property {(sdp: string) => string} [remote]
 * @property {(d: {type?: unknown, sdp?: unknown}, pc: RTCPeerConnection) => boolean} [accept]
 * @property {(pc: RTCPeerConnection) => void} [onoffer]
 * @property {(data: PeerSignal) => boolean} [own]
 * @property {number} [lossMs]
 * @property {() => void} [onconnected]
 * @property {() => void} [onfailed]
 * @property {() => void} [onlost]
 * @property {() => void} [ontimeout]
 * @property {(state: RTCPeerConnectionState) => void} [onchange]
 */

/**
 * A signal from the other side as it came off the wire: an object, nothing more known.
 * @typedef {{sdp?: unknown, ice?: unknown, relay?: unknown, [field: string]: unknown}} PeerSignal
 */
/** @typedef {import('../core/state.js').Timer} Timer */

/**
 * The few fields read from a stats entry; every one may be missing.
 * @typedef {{type?: string, state?: string, nominated?: boolean, selected?: boolean, selectedCandidatePairId?: string, localCandidateId?: string, remoteCandidateId?: string, currentRoundTripTime?: number}} PairStats
 */

const same = (/** @type {string} */ sdp) => sdp;

export class Peer {
  constructor(/** @type {PeerOwner} */ owner) {
    this.owner = owner;
    /** @type {RTCPeerConnection|null} */
    this.pc = null;
    /** @type {PeerSignal[]} signals that came before the connection */
    this.sigq = [];
    /** @type {RTCIceCandidateInit[]} candidates that came before the remote description */
    this.iceq = [];
    /** @type {Promise<void>} signals and offers, one after another */
    this.chain = Promise.resolve();
    this.closed = false;
    this.relayTried = false;
    /** @type {Timer|undefined} */
    this.connTimer = undefined;
    /** @type {Timer|undefined} */
    this.lossTimer = undefined;
  }

  /** Builds the connection, then replays the signals that were waiting for it. */
  open(/** @type {RTCConfiguration} */ config) {
    const pc = peers.make(config);
    this.pc = pc;
    pc.onicecandidate = (e) => {
      if (e.candidate && !this.closed) this.owner.send({ ice: e.candidate.toJSON() });
    };
    pc.onconnectionstatechange = () => this.stateChanged(pc);
    for (const data of this.sigq.splice(0)) this.signal(data);
    return pc;
  }

  /**
   * A signal from the other side ({sdp}, {ice} or one the owner handles), applied after
   * those before it. The promise fails with this signal's error; the chain goes on.
   */
  signal(/** @type {unknown} */ raw) {
    if (!raw || typeof raw !== 'object' || this.closed) return Promise.resolve();
    const data = /** @type {PeerSignal} */ (raw);
    if (!this.pc) {
      if (this.sigq.length < SIGNAL_CAP) this.sigq.push(data);
      return Promise.resolve();
    }
    const step = this.chain.then(() => this.apply(data));
    this.chain = step.catch((e) => console.warn('señal', e));
    return step;
  }

  /** @private */
  async apply(/** @type {PeerSignal} */ data) {
    const pc = this.pc;
    if (this.closed || !pc) return;
    if (this.owner.own && this.owner.own(data)) return;
    if (data.sdp && typeof data.sdp === 'object') {
      const d = /** @type {{type?: unknown, sdp?: unknown}} */ (data.sdp);
      if (this.owner.accept && !this.owner.accept(d, pc)) return;
      // A type the browser does not know fails here, as the signal's error.
      await pc.setRemoteDescription({ type: /** @type {RTCSdpType} */ (d.type), sdp: (this.owner.remote || same)(String(d.sdp || '')) });
      for (const c of this.iceq.splice(0)) pc.addIceCandidate(c).catch(() => {});
      if (d.type === 'offer') {
        if (this.owner.onoffer) this.owner.onoffer(pc);
        const a = await pc.createAnswer();
        await pc.setLocalDescription({ type: a.type, sdp: (this.owner.local || same)(a.sdp || '') });
        if (!this.closed && pc.localDescription) this.owner.send({ sdp: pc.localDescription.toJSON() });
      }
    } else if (data.ice && typeof data.ice === 'object') {
      if (!pc.remoteDescription) {
        if (this.iceq.length < SIGNAL_CAP) this.iceq.push(data.ice);
      } else pc.addIceCandidate(data.ice).catch(() => {});
    }
  }

  /** Makes, adjusts, sets and sends an offer, after the signals being applied; iceRestart for fresh candidates. */
  offer(iceRestart = false) {
    const pc = this.pc;
    if (!pc || this.closed) return Promise.resolve();
    const step = this.chain.then(async () => {
      const o = await pc.createOffer(iceRestart ? { iceRestart: true } : {});
      await pc.setLocalDescription({ type: o.type, sdp: (this.owner.local || same)(o.sdp || '') });
      if (!this.closed && pc.localDescription) this.owner.send({ sdp: pc.localDescription.toJSON() });
    });
    this.chain = step.catch((e) => console.warn('señal', e));
    return this.chain;
  }

  /** The time the connection has to stand from now on; ontimeout when it did not. */
  arm(/** @type {number} */ ms) {
    clearTimeout(this.connTimer);
    const pc = this.pc;
    this.connTimer = setTimeout(() => {
      if (this.closed || this.pc !== pc || (pc && pc.connectionState === 'connected')) return;
      if (this.owner.ontimeout) this.owner.ontimeout();
    }, ms);
  }

  /** Relay-only from now on, keeping the rest of the configuration. */
  useRelay() {
    try {
      if (this.pc) this.pc.setConfiguration({ ...this.pc.getConfiguration(), iceTransportPolicy: 'relay' });
    } catch (e) {
      console.warn('relevo', e);
    }
  }

  /**
   * The one retry through the TURN relay: relay-only from now on; the offering side
   * restarts ICE with a new offer, the other asks it to. False when it was tried already.
   */
  retryRelay(/** @type {boolean} */ offerer) {
    if (this.relayTried || !this.pc || this.closed) return false;
    this.relayTried = true;
    this.useRelay();
    if (offerer) this.offer(true);
    else this.owner.send({ relay: 1 });
    return true;
  }

  /** @private */
  stateChanged(/** @type {RTCPeerConnection} */ pc) {
    if (this.closed || this.pc !== pc) return;
    const st = pc.connectionState;
    const o = this.owner;
    if (st === 'connected') {
      clearTimeout(this.lossTimer);
      clearTimeout(this.connTimer);
      if (o.onconnected) o.onconnected();
    } else if (st === 'failed') {
      if (o.onfailed) o.onfailed();
    } else if (st === 'disconnected' && o.lossMs) {
      clearTimeout(this.lossTimer);
      this.lossTimer = setTimeout(() => {
        if (!this.closed && this.pc === pc && pc.connectionState !== 'connected' && o.onlost) o.onlost();
      }, o.lossMs);
    }
    if (o.onchange && !this.closed) o.onchange(st);
  }

  /** No more signals, timers or reports; the connection itself is closed by close(), now or later. */
  stop() {
    this.closed = true;
    clearTimeout(this.connTimer);
    clearTimeout(this.lossTimer);
    this.sigq.length = 0;
    this.iceq.length = 0;
  }

  /** Stops and closes the connection after ms (so that a goodbye on a channel still leaves). */
  close(ms = 0) {
    this.stop();
    const pc = this.pc;
    if (!pc) return;
    const end = () => {
      try {
        pc.close();
      } catch {}
    };
    if (ms) setTimeout(end, ms);
    else end();
  }
}

// SDP ------------------------------------------------------------------------------------

const OPUS_PC_AUDIO = [['stereo', '1'], ['sprop-stereo', '1'], ['maxaveragebitrate', '192000'], ['useinbandfec', '1']];
const OPUS_VOICE = [['minptime', '10'], ['useinbandfec', '1'], ['usedtx', '0']];

/**
 * Sets fmtp parameters of payload type `pt` in one media section: existing parameters keep
 * their order and take the new values, new ones are appended; a missing fmtp line is added
 * after the payload's rtpmap.
 */
function setFmtp(/** @type {string} */ part, /** @type {string} */ pt, /** @type {string[][]} */ want) {
  const fmtp = new RegExp(`a=fmtp:${pt} ([^\\r\\n]*)`);
  const have = part.match(fmtp);
  if (!have) return part.replace(new RegExp(`(a=rtpmap:${pt} [^\\r\\n]*)`), `$1\r\na=fmtp:${pt} ${want.map((p) => p.join('=')).join(';')}`);
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
}

/**
 * Opus parameters per audio section: the first (the PC's sound) in stereo at a high rate,
 * the others (voice) with short frames and no DTX. voiceOnly gives every section the
 * voice form.
 */
export function mungeOpus(/** @type {string} */ sdp, voiceOnly = false) {
  let n = 0;
  return sdp
    .split(/(?=\r\nm=)/)
    .map((part) => {
      if (!/^\r\nm=audio/.test(part)) return part;
      const idx = n++;
      const m = part.match(/a=rtpmap:(\d+) opus\/48000/i);
      if (!m) return part;
      return setFmtp(part, m[1], !voiceOnly && idx === 0 ? OPUS_PC_AUDIO : OPUS_VOICE);
    })
    .join('');
}

/** Bit rate the screen's encoder starts at, in kbit/s. */
export const VIDEO_START_KBPS = 4000;

/**
 * The host applies this to the technician's answer: its encoder then starts at
 * VIDEO_START_KBPS instead of the few hundred kbit/s the bandwidth estimate begins with,
 * which held a 1080p picture blurred and slow for seconds. The estimate still lowers the
 * rate at once on a link that can't carry it.
 */
export function mungeVideoStart(/** @type {string} */ sdp) {
  return sdp
    .split(/(?=\r\nm=)/)
    .map((part) => {
      if (!/^\r\nm=video/.test(part)) return part;
      for (const [, pt, name] of part.matchAll(/a=rtpmap:(\d+) ([\w-]+)\/90000/g)) {
        if (!/^(rtx|red|ulpfec|flexfec-03)$/i.test(name)) part = setFmtp(part, pt, [['x-google-start-bitrate', String(VIDEO_START_KBPS)]]);
      }
      return part;
    })
    .join('');
}

/** The voice form on every audio section, for voice lines. */
export function mungeVoice(/** @type {string} */ sdp) {
  return mungeOpus(sdp, true);
}

/** Rank of a video codec for the host's preference: H.264 (packetization 1 first), VP9, AV1, VP8, the rest. */
function codecRank(/** @type {RTCRtpCodec} */ c) {
  const m = String(c.mimeType || '').toLowerCase();
  if (m === 'video/h264') return /packetization-mode=1/.test(c.sdpFmtpLine || '') ? 0 : 1;
  return { 'video/vp9': 2, 'video/av1': 3, 'video/vp8': 4 }[m] ?? 5;
}
/** Codecs sorted by rank, keeping their order within a rank. */
export function sortCodecs(/** @type {RTCRtpCodec[]} */ codecs) {
  return codecs.map((c, i) => ({ c, i })).sort((a, b) => codecRank(a.c) - codecRank(b.c) || a.i - b.i).map((x) => x.c);
}
export function preferCodecs(/** @type {RTCRtpTransceiver} */ tx) {
  try {
    const caps = RTCRtpReceiver.getCapabilities('video');
    if (caps) tx.setCodecPreferences(sortCodecs(caps.codecs));
  } catch {}
}

/**
 * A receiver that plays what arrives at once: a remote hand and a conversation want the
 * newest picture and voice now rather than smooth ones later (jitterBufferTarget, and the
 * older playoutDelayHint where a browser has only that).
 */
export function playAtOnce(/** @type {RTCRtpReceiver} */ receiver) {
  // Optional both: older Chromium has only playoutDelayHint, which the DOM library does not list.
  const r = /** @type {{jitterBufferTarget?: number|null, playoutDelayHint?: number|null}} */ (receiver);
  try {
    if ('jitterBufferTarget' in r) r.jitterBufferTarget = 0;
    else r.playoutDelayHint = 0;
  } catch {}
}

/**
 * The candidate pair in use: the transport's selected one, else a nominated or selected one that succeeded.
 * @returns {PairStats|null}
 */
export function selectedPair(/** @type {RTCStatsReport} */ rep) {
  /** @type {PairStats|null} */
  let pair = null;
  rep.forEach((/** @type {PairStats} */ r) => {
    if (r.type === 'transport' && r.selectedCandidatePairId && rep.get(r.selectedCandidatePairId)) pair = rep.get(r.selectedCandidatePairId);
  });
  if (!pair) rep.forEach((/** @type {PairStats} */ r) => { if (!pair && r.type === 'candidate-pair' && r.state === 'succeeded' && (r.nominated || r.selected)) pair = r; });
  return pair;
}
