// Any monitor but the main capture's comes from the capture window, a second browser
// window started by the native side, whose page offers its screen over a local peer
// connection. The two pages meet in the mailbox: we write to "cap" and read "main".
//
// A try with screen number n: none → starting (the window runs, waiting for its offer) →
// live (the track arrived) → kept (another monitor is shown; the link stays up, its
// capture at a frame a second) → live again at the next showing, with no negotiation →
// closed with the session. A wrong monitor, an error or 15 s without a track fail the
// try; a live link whose capture ends is dropped, so the monitor can be asked for again.

import { captureWindow, diag, mailboxPut, mailboxRead } from '../core/api.js';
import { CAPN, CAPR, ST } from '../core/state.js';
import { errText, sleep } from '../core/util.js';
import { Peer } from './peer.js';

const CAP_TRY_MS = 15000;
/** How long a kept window has to say it shows its screen again before it counts as gone. */
const CAP_WAKE_MS = 3000;

/** @typedef {import('../core/state.js').Monitor} Monitor */
/** @typedef {import('../core/state.js').Session} Session */

/**
 * @typedef {Object} CapLink the link to one capture window
 * @property {RTCPeerConnection} pc the receiving side
 * @property {import('./peer.js').Peer} rtc its negotiation
 * @property {number} n screen number the window was started for
 * @property {number} mon index of the monitor wanted
 * @property {boolean} live the track arrived
 * @property {MediaStreamTrack|null} track the track, once it arrived
 * @property {(m: Object<string, unknown>) => void} onMsg a message from the capture page
 */

/**
 * Links that carried their screen, kept while another monitor is shown: showing the screen
 * again only wakes its window's capture. By session, then by screen number.
 * @type {WeakMap<Session, Map<number, CapLink>>}
 */
const KEPT = new WeakMap();

function keptOf(/** @type {Session} */ s) {
  let m = KEPT.get(s);
  if (!m) KEPT.set(s, (m = new Map()));
  return m;
}

/** Whether a link can show its screen again as it is. */
function usable(/** @type {CapLink} */ link) {
  return link.live && !!link.track && link.track.readyState === 'live' && link.pc.connectionState === 'connected';
}

function capPut(/** @type {Object<string, unknown>} */ m) {
  return mailboxPut({ a: 'cap', m }).catch(() => {});
}

/** Screen numbers to try for a monitor: the one learnt for it, else those not learnt for others. */
export function capNumbers(/** @type {Monitor[]} */ mons, /** @type {string} */ name, /** @type {Object<string, number>} */ table) {
  if (table[name]) return [table[name]];
  const taken = new Set(Object.keys(table).filter((k) => k !== name).map((k) => table[k]));
  const out = [];
  for (let n = 1; n <= Math.min(16, mons.length); n++) if (!taken.has(n)) out.push(n);
  return out;
}

/** The monitor a capture window's offer shows: by its label, else by its size. */
function capOfferMonitor(/** @type {Monitor[]} */ mons, /** @type {Object<string, unknown>} */ m) {
  return labelMonitor(mons, typeof m.label === 'string' ? m.label : '') || matchMonitor(mons, Number(m.w) || 0, Number(m.h) || 0);
}

/** Reads "main" while a capture link exists and hands each message to it. */
async function capRead() {
  if (CAPR.reading) return;
  CAPR.reading = true;
  try {
    for (;;) {
      const s = ST.HSES;
      if (!s || !s.cap || s.dead) break;
      /** @type {Awaited<ReturnType<typeof mailboxRead>>|null} */
      let r = null;
      try {
        r = await mailboxRead({ de: 'main' });
      } catch {
        await sleep(500);
      }
      const link = ST.HSES === s ? s.cap : null;
      if (!link || !r || !Array.isArray(r.m)) continue;
      for (const m of r.m.slice(0, 200)) if (m && typeof m === 'object') link.onMsg(m);
    }
  } finally {
    CAPR.reading = false;
  }
}

/**
 * Once the main picture flows, asks the native side to start the other monitors' capture
 * windows in the background, so that a switch starts no browser; they end with the session.
 * A session that never connects (or ends first) asks nothing.
 */
export async function hostCapWarm(/** @type {Session} */ s) {
  for (let i = 0; i < 240 && !s.connected; i++) {
    if (s.dead) return;
    await sleep(250);
  }
  if (s.dead || !s.connected || !s.monsw || s.mons.length < 2) return;
  // A session that ended while this was on its way must not leave the windows behind.
  captureWindow({ precalentar: true })
    .then(() => {
      if (s.dead) return captureWindow({ cerrar: true });
    })
    .catch(() => {});
}

/**
 * Lets go of the shown capture link on this side: kept when it can show its screen again,
 * else closed; a dead session's kept links all close.
 */
function releaseLink(/** @type {Session} */ s) {
  const link = s.cap;
  s.cap = null;
  const kept = keptOf(s);
  if (link) {
    link.onMsg = () => {};
    if (!s.dead && usable(link)) kept.set(link.n, link);
    else link.rtc.close();
  }
  if (s.dead) {
    for (const l of kept.values()) l.rtc.close();
    kept.clear();
  }
}

/** Ends the shown capture link (its window waits again); the main capture is left alone. */
export function hostCapClose(/** @type {Session} */ s) {
  const shown = !!s.cap;
  releaseLink(s);
  if (!shown) return Promise.resolve();
  return capPut({ t: 'stop' })
    .then(() => captureWindow({ off: true }))
    .catch(() => {});
}

/**
 * Asks the native side to show screen n through its window (which stops the window shown
 * before); the try's link must be s.cap already.
 */
async function askWindow(/** @type {Session} */ s, /** @type {CapLink} */ link, /** @type {number} */ n) {
  /** @type {import('../core/api.js').Reply} */
  let r;
  try {
    r = await captureWindow({ pantalla: n });
  } catch {
    r = { ok: false, msg: 'sin respuesta del servidor local' };
  }
  if (!r || !r.ok) {
    if (s.cap === link) hostCapClose(s);
    throw new Error((r && r.msg) || 'monitor');
  }
  // The session ended while the native side started the window: its end may have closed
  // the windows before this start, which would then outlive the session.
  if (s.dead) {
    await captureWindow({ cerrar: true }).catch(() => {});
    throw new Error('la sesión terminó');
  }
  capRead();
}

/**
 * A new link to screen n's window, which offers; our answer and candidates go back through
 * the mailbox. `arrived` resolves the track when the offer shows the monitor wanted.
 */
function newLink(/** @type {Session} */ s, /** @type {Monitor} */ mon, /** @type {number} */ n) {
  const rtc = new Peer({
    send: (data) => {
      if (s.cap !== link) return;
      if (data.ice) capPut({ t: 'ice', c: data.ice });
      else if (data.sdp) capPut({ t: 'answer', sdp: data.sdp });
    },
  });
  const pc = rtc.open({ iceServers: [] });
  /** @type {CapLink} */
  const link = { pc, rtc, n, mon: mon.i, live: false, track: null, onMsg: () => {} };
  // A link that fails while kept is of no further use; one that fails while shown (its
  // browser died) is dropped, so that the monitor can be asked for again.
  pc.addEventListener('connectionstatechange', () => {
    if (pc.connectionState !== 'failed' && pc.connectionState !== 'closed') return;
    const kept = keptOf(s);
    if (kept.get(n) === link) {
      kept.delete(n);
      rtc.close();
    } else if (s.cap === link && link.live) capLost(s, link, 'el enlace con la ventana se cayó');
  });
  /** @type {Promise<MediaStreamTrack>} */
  const arrived = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('la ventana de captura no respondió en 15 s')), CAP_TRY_MS);
    const fail = (/** @type {Error & {wrong?: boolean}} */ e) => {
      clearTimeout(timer);
      reject(e);
    };
    pc.ontrack = (e) => {
      clearTimeout(timer);
      e.track.contentHint = 'detail';
      link.live = true;
      link.track = e.track;
      resolve(e.track);
    };
    link.onMsg = (m) => {
      switch (m.t) {
        case 'offer': {
          if (m.n !== n || !m.sdp || typeof m.sdp !== 'object') return;
          const who = capOfferMonitor(s.allMons, m);
          if (who) CAPN[who.name] = n;
          if (!who || who.i !== mon.i) return fail(Object.assign(new Error(`la pantalla ${n} es otro monitor`), { wrong: true }));
          rtc.signal({ sdp: m.sdp }).catch(fail);
          break;
        }
        case 'live':
          // The window kept a link this page no longer has (a reloaded page): a new one.
          if (m.n === n && !link.live) capPut({ t: 'renew' });
          break;
        case 'ice':
          if (m.c && typeof m.c === 'object') rtc.signal({ ice: m.c });
          break;
        case 'error':
          if (m.n !== n) return;
          if (link.live) return capLost(s, link, String(m.msg || 'ended'));
          fail(new Error(String(m.msg || 'error').slice(0, 300)));
          break;
        default:
          console.log('captura: mensaje desconocido', m.t);
      }
    };
  });
  return { link, arrived };
}

/**
 * Shows a kept link's screen again: the window only raises its frame rate, and its track,
 * still live here, is the picture at once. A window that lost its end of the link (a new
 * browser for a crashed one) offers a new link instead, whose track then takes the
 * picture's place.
 */
/** @returns {Promise<MediaStreamTrack>} */
async function capReuse(/** @type {Session} */ s, /** @type {Monitor} */ mon, /** @type {CapLink} */ kept) {
  /** @type {() => void} */
  let answered = () => {};
  /** @type {Promise<boolean>} */
  const awake = new Promise((resolve) => {
    answered = () => resolve(true);
    setTimeout(() => resolve(false), CAP_WAKE_MS);
  });
  kept.onMsg = (m) => {
    // The rest of the read that brought the new offer (its candidates) is the new link's.
    if (s.cap !== kept) return s.cap && s.cap.n === kept.n ? s.cap.onMsg(m) : undefined;
    if (m.n !== kept.n) return;
    if (m.t === 'live') return answered();
    if (m.t === 'error') return capLost(s, kept, String(m.msg || 'ended'));
    if (m.t !== 'offer') return;
    answered();
    kept.live = false;
    kept.rtc.close();
    const { link, arrived } = newLink(s, mon, kept.n);
    s.cap = link;
    link.onMsg(m);
    arrived.then(
      (track) => {
        if (s.cap === link && !s.dead && s.vtx) s.vtx.sender.replaceTrack(track).catch(() => {});
      },
      (e) => capLost(s, link, errText(e)),
    );
  };
  s.cap = kept;
  await askWindow(s, kept, kept.n);
  if ((await awake) || s.cap !== kept || s.dead) return /** @type {MediaStreamTrack} */ (kept.track);
  // Silence: its browser died so recently that the native side woke a window that is no
  // more, and our end of the link has not noticed yet. The windows are closed, so that
  // asking again starts a new one.
  diag(`[CAPTURA] la ventana de la pantalla ${kept.n} no respondió: se abre otra`);
  kept.live = false;
  releaseLink(s);
  await captureWindow({ cerrar: true }).catch(() => {});
  return capTry(s, mon, kept.n);
}

/**
 * One try: the capture window for screen n, resolving its track when it shows the monitor wanted.
 * @returns {Promise<MediaStreamTrack>}
 */
async function capTry(/** @type {Session} */ s, /** @type {Monitor} */ mon, /** @type {number} */ n) {
  // The native side stops the window shown before when it shows the next: here only our
  // end of its link is let go.
  releaseLink(s);
  if (s.dead) throw new Error('la sesión terminó');
  const kept = keptOf(s);
  const before = kept.get(n);
  kept.delete(n);
  if (before && before.mon === mon.i && usable(before)) return capReuse(s, mon, before);
  if (before) before.rtc.close();
  const { link, arrived } = newLink(s, mon, n);
  s.cap = link;
  await askWindow(s, link, n);
  try {
    return await arrived;
  } catch (e) {
    if (s.cap === link) hostCapClose(s);
    throw e;
  }
}

/** A live capture window's picture ended: the link goes, so asking for the monitor again reopens it. */
function capLost(/** @type {Session} */ s, /** @type {CapLink} */ link, /** @type {string} */ why) {
  if (s.cap !== link) return;
  diag(`[CAPTURA] la ventana de captura dejó de mandar la pantalla ${link.n}: ${why}`);
  link.live = false; // not kept: it closes
  hostCapClose(s);
}

/**
 * The capture window's track for monitor i: tries the screen number learnt for it, or each
 * number not learnt for another monitor, until one shows it.
 */
export async function hostCapOpen(/** @type {Session} */ s, /** @type {number} */ i) {
  const mon = s.allMons.find((m) => m.i === i);
  if (!mon) throw new Error('monitor');
  for (const n of capNumbers(s.allMons, mon.name, CAPN)) {
    if (s.dead) break;
    try {
      return await capTry(s, mon, n);
    } catch (e) {
      if (s.dead) break;
      console.log('captura: pantalla', n, errText(e));
    }
  }
  throw new Error('monitor');
}

/**
 * The monitor a "screen:<n>…" track label names, or null. On X the number is the one the
 * native side gives as the monitor's `captura`; Windows calls that monitor DISPLAY<n+1>.
 */
export function labelMonitor(/** @type {Monitor[]} */ mons, /** @type {string} */ label) {
  const m = /screen:(\d+)/.exec(String(label || ''));
  if (!m) return null;
  const k = Number(m[1]);
  if (mons.some((x) => typeof x.captura === 'number')) return mons.find((x) => x.captura === k) || null;
  const name = 'DISPLAY' + (k + 1);
  return mons.find((x) => x.name === name) || null;
}

/**
 * The monitor a capture of w×h shows: the only one; else the one of that size (the primary
 * among several); else those of nearly the same shape (16:9 without a size), primary first;
 * else the primary; else the first.
 */
export function matchMonitor(/** @type {Monitor[]} */ mons, /** @type {number} */ w, /** @type {number} */ h) {
  if (!mons.length) return null;
  if (mons.length === 1) return mons[0];
  const pick = (/** @type {Monitor[]} */ l) => l.find((m) => m.primary) || l[0];
  const same = mons.filter((m) => m.w === w && m.h === h);
  if (same.length) return pick(same);
  const ratio = w > 0 && h > 0 ? w / h : 16 / 9;
  const near = mons.filter((m) => m.h > 0 && Math.abs(m.w / m.h - ratio) < 0.02);
  return pick(near.length ? near : mons);
}
