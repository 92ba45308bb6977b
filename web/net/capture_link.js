// Any monitor but the main capture's comes from the capture window, a second browser
// window started by the native side, whose page offers its screen over a local peer
// connection. The two pages meet in the mailbox: we write to "cap" and read "main".
//
// A try with screen number n: none → starting (the window runs, waiting for its offer) →
// live (the track arrived) → kept (another monitor is shown; the link stays up, its
// capture at a frame a second) → live again at the next showing, with no negotiation →
// closed with the session. A wrong monitor, an error or 15 s without a track fail the
// try; a live link whose capture ends is dropped, so the monitor can be asked for again.
//
// Once the main picture flows, the links are set up ahead, one window after another while
// the main monitor is shown, and kept: the first showing of each monitor is as quick as the
// later ones. A switch asked meanwhile stops the one being set up and goes first.

import { captureWindow, diag, mailboxPut, mailboxRead } from '../core/api.js';
import { CAPN, CAPR, ST } from '../core/state.js';
import { errText, sleep } from '../core/util.js';
import { Peer } from './peer.js';

const CAP_TRY_MS = 15000;
/** How long a kept window has to say it shows its screen again before it counts as gone. */
const CAP_WAKE_MS = 3000;
/** Links set up ahead: after the session's own start, for screens 2 to 4 (the windows the native side keeps). */
const AHEAD_FIRST_MS = 2000;
const AHEAD_LAST_SCREEN = 4;
const AHEAD_TRIES = 3;
/** A window set up ahead may still be starting its browser, slowly on a busy PC. */
const AHEAD_TRY_MS = 120000;

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

/**
 * The link being set up ahead, by session: stop() ends it, done settles once the native side
 * let go of its window.
 * @typedef {{link: CapLink, stop: () => void, done: Promise<void>}} AheadJob
 * @type {WeakMap<Session, AheadJob>}
 */
const AHEAD = new WeakMap();

/** The link the capture page's messages are for: the one shown, else the one set up ahead. */
function talking(/** @type {Session} */ s) {
  return s.cap || AHEAD.get(s)?.link || null;
}

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
      if (!s || !talking(s) || s.dead) break;
      /** @type {Awaited<ReturnType<typeof mailboxRead>>|null} */
      let r = null;
      try {
        r = await mailboxRead({ de: 'main' });
      } catch {
        await sleep(500);
      }
      // The messages are for whoever talks to a window now: a read begun in an ended
      // session may bring the offer of the next session's window.
      const now = ST.HSES;
      const link = now && !now.dead ? talking(now) : null;
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
  const r = await captureWindow({ precalentar: true }).catch(() => null);
  if (s.dead) {
    await captureWindow({ cerrar: true }).catch(() => {});
    return;
  }
  if (r && r.ok) linkAhead(s);
}

/** Waits until the main monitor is shown with no switch under way; false once the session is over. */
async function quiet(/** @type {Session} */ s) {
  while (!s.dead && (s.capBusy || s.cap || s.mon !== s.mainMon)) await sleep(500);
  return !s.dead;
}

/**
 * Sets up the link to each kept window ahead, one after another, whenever the main monitor
 * is shown; a try that fails (a switch went first, a window slow to start) is made again a
 * few times.
 */
async function linkAhead(/** @type {Session} */ s) {
  await sleep(AHEAD_FIRST_MS);
  for (let n = 2; n <= Math.min(s.allMons.length, AHEAD_LAST_SCREEN); n++) {
    for (let tries = 0; tries < AHEAD_TRIES; tries++) {
      if (!(await quiet(s))) return;
      // Linked already (a switch came first), or known to show a monitor not shared.
      if (keptOf(s).has(n)) break;
      const shows = Object.keys(CAPN).find((name) => CAPN[name] === n);
      if (shows && !s.mons.some((m) => m.name === shows)) break;
      try {
        await linkOneAhead(s, n);
        break;
      } catch (e) {
        console.log('captura: enlace de antemano', n, errText(e));
        await sleep(AHEAD_FIRST_MS);
      }
    }
  }
}

/** Resolves once pc is connected; fails when it fails, closes or takes longer than ms. */
function connected(/** @type {RTCPeerConnection} */ pc, /** @type {number} */ ms) {
  return new Promise((resolve, reject) => {
    const done = (/** @type {Error|null} */ e) => {
      clearTimeout(timer);
      pc.removeEventListener('connectionstatechange', look);
      if (e) reject(e);
      else resolve(undefined);
    };
    const timer = setTimeout(() => done(new Error('el enlace con la ventana no se conectó')), ms);
    const look = () => {
      if (pc.connectionState === 'connected') done(null);
      else if (pc.connectionState === 'failed' || pc.connectionState === 'closed') done(new Error('el enlace con la ventana se cayó'));
    };
    pc.addEventListener('connectionstatechange', look);
    look();
  });
}

/**
 * The link to screen n's window, set up without showing it and kept as a shown one is when
 * let go; the native side lets the window's page talk to this page meanwhile.
 */
function linkOneAhead(/** @type {Session} */ s, /** @type {number} */ n) {
  const { link, arrived } = newLink(s, null, n, AHEAD_TRY_MS);
  arrived.catch(() => {});
  /** @type {() => void} */
  let stop = () => {};
  /** @type {Promise<never>} */
  const stopped = new Promise((_, reject) => {
    stop = () => reject(new Error('un cambio de monitor va primero'));
  });
  stopped.catch(() => {});
  /** @type {AheadJob} */
  const job = { link, stop, done: Promise.resolve() };
  AHEAD.set(s, job);
  job.done = (async () => {
    let asked = false;
    try {
      // A switch may have begun while this waited for its turn.
      if (s.dead || s.capBusy || s.cap) throw new Error('un cambio de monitor va primero');
      // Awaited even when stopped meanwhile, so that the native side lets go of the window
      // before the switch asks for its own.
      const r = await captureWindow({ pantalla: n, enlazar: true });
      if (!r || !r.ok) throw new Error((r && r.msg) || 'monitor');
      asked = true;
      capRead();
      await Promise.race([arrived, stopped]);
      await Promise.race([connected(link.pc, AHEAD_TRY_MS), stopped]);
      if (s.dead) throw new Error('la sesión terminó');
      link.onMsg = () => {};
      keptOf(s).set(n, link);
      diag(`[CAPTURA] enlace listo de antemano con la pantalla ${n}`);
    } catch (e) {
      link.rtc.close();
      throw e;
    } finally {
      if (AHEAD.get(s) === job) AHEAD.delete(s);
      // Let go as after a showing: the window waits again, its link (when made) kept.
      if (asked && !s.dead) await captureWindow({ off: true }).catch(() => {});
    }
  })();
  return job.done;
}

/** Stops the link being set up ahead, once the native side let go of its window. */
async function stopAhead(/** @type {Session} */ s) {
  const job = AHEAD.get(s);
  if (!job) return;
  job.stop();
  await job.done.catch(() => {});
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
    AHEAD.get(s)?.stop();
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
 * the mailbox. `arrived` resolves the track when the offer shows the monitor wanted (with
 * no monitor given, any shared one), or fails after ms.
 */
function newLink(/** @type {Session} */ s, /** @type {Monitor|null} */ mon, /** @type {number} */ n, ms = CAP_TRY_MS) {
  const rtc = new Peer({
    send: (data) => {
      if (talking(s) !== link) return;
      if (data.ice) capPut({ t: 'ice', c: data.ice });
      else if (data.sdp) capPut({ t: 'answer', sdp: data.sdp });
    },
  });
  const pc = rtc.open({ iceServers: [] });
  /** @type {CapLink} */
  const link = { pc, rtc, n, mon: mon ? mon.i : -1, live: false, track: null, onMsg: () => {} };
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
    const timer = setTimeout(() => reject(new Error(`la ventana de captura no respondió en ${ms / 1000} s`)), ms);
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
          const wanted = mon ? who && who.i === mon.i : who && s.mons.some((x) => x.i === who.i);
          if (!who || !wanted) return fail(Object.assign(new Error(`la pantalla ${n} es otro monitor`), { wrong: true }));
          link.mon = who.i;
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
  // Only that window goes; the other monitors' stay ready.
  await captureWindow({ cerrar: true, pantalla: kept.n }).catch(() => {});
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
  await stopAhead(s);
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
