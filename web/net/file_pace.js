// How much of the link a file on its way may take: all of it while the session sits still,
// a trickle while the person uses it. Every file byte costs CPU in both browsers (DTLS,
// SCTP, the network process that carries each packet, the page) that the picture and the
// remote hand need too; on a busy PC no channel priority gives that back, so the file
// yields. Whether the session is in use is read from its own statistics, which both
// roles have: the picture's bytes and the messages on the input channels.

/** While the session is in use a file goes this fast (bytes a second)... */
export const BUSY_RATE = 131072;
/** ...in messages this small, so that a click never waits behind much of one. */
export const BUSY_CHUNK = 16384;
/** The session counts as in use this long after its last input or moving picture (ms). */
export const QUIET_MS = 1500;
/** A sending session's statistics are read at most this often (ms). */
export const LOOK_MS = 250;
/**
 * A look sees a moving picture when the video grew by more than this many bytes (a still
 * screen sends about a hundred a look, a moving pointer a few hundred).
 */
const MOVING_BYTES = 2000;
/** Looks that judge the picture (2 s). */
const LOOKS = 8;
const INPUT_CHANNELS = ['ctl', 'mov'];
/** The clock the looks go by (ms). */
export const paceClock = { now: () => performance.now() };

/**
 * Video bytes sent and received, and messages both ways on the input channels, from a
 * statistics report.
 * @returns {{video: number, input: number}}
 */
export function useCounts(/** @type {Iterable<[string, any]>|{forEach: Function}} */ report) {
  let video = 0, input = 0;
  /** @param {any} x */
  const add = (x) => {
    if (!x || typeof x !== 'object') return;
    if ((x.type === 'outbound-rtp' || x.type === 'inbound-rtp') && x.kind === 'video') video += Number(x.bytesSent ?? x.bytesReceived) || 0;
    if (x.type === 'data-channel' && INPUT_CHANNELS.includes(x.label)) input += (Number(x.messagesSent) || 0) + (Number(x.messagesReceived) || 0);
  };
  /** @type {{forEach: Function}} */ (report).forEach(add);
  return { video, input };
}

/**
 * Whether the picture moves, from the video bytes of each look (oldest first): 2 of the
 * last 8 grew by more than a still screen sends. A still screen also sends a larger
 * refresh frame every few seconds, which alone does not count.
 */
export function pictureMoving(/** @type {number[]} */ grew) {
  return grew.slice(-LOOKS).filter((b) => b > MOVING_BYTES).length >= 2;
}

/**
 * Watches whether a session is in use while a file leaves it: look() reads the statistics
 * when a look is due, inUse() says whether the person used it within QUIET_MS. A session
 * without statistics (no connection yet, or a browser that can't give them) is never in use.
 */
export function useWatch(/** @type {{pc?: RTCPeerConnection|null}} */ s) {
  const now = () => paceClock.now();
  /** @type {number[]} */
  const grew = [];
  /** @type {{video: number, input: number}|null} */
  let last = null;
  let lookedAt = -Infinity, usedAt = -Infinity;
  return {
    async look() {
      const t = now();
      if (t - lookedAt < LOOK_MS || !s.pc || typeof s.pc.getStats !== 'function') return;
      lookedAt = t;
      let c;
      try {
        c = useCounts(await s.pc.getStats());
      } catch {
        return;
      }
      if (last) {
        grew.push(Math.max(0, c.video - last.video));
        if (grew.length > LOOKS) grew.shift();
        if (c.input !== last.input || pictureMoving(grew)) usedAt = now();
      }
      last = c;
    },
    inUse: () => now() - usedAt < QUIET_MS,
  };
}
