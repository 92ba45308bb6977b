
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
const VIDEO_START_KBPS = 4000;

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
function codecRank(/** @type {any} */ c) {
  const m = String(c.mimeType || '').toLowerCase();
  if (m === 'video/h264') return /packetization-mode=1/.test(c.sdpFmtpLine || '') ? 0 : 1;
  return { 'video/vp9': 2, 'video/av1': 3, 'video/vp8': 4 }[m] ?? 5;
}
/** Codecs sorted by rank, keeping their order within a rank. */
function sortCodecs(/** @type {any[]} */ codecs) {
  return codecs.map((c, i) => ({ c, i })).sort((a, b) => codecRank(a.c) - codecRank(b.c) || a.i - b.i).map((x) => x.c);
}
export function preferCodecs(/** @type {RTCRtpTransceiver} */ tx) {
  try {
    const caps = RTCRtpReceiver.getCapabilities('video');
    if (caps) tx.setCodecPreferences(sortCodecs(caps.codecs));
  } catch {}
}
