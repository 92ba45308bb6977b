// The screen a helped PC shares: captured without a picker, within its time, at the frame
// rate the settings allow.

import { setting } from '../core/state.js';

/** @typedef {import('../core/state.js').RtpSample} RtpSample */

const CAPTURE_MS = 25000;

/** A frame rate from a message or a setting: 5..60, 30 when it is not a number. */
export function clampFps(/** @type {unknown} */ v) {
  const n = typeof v === 'string' && v.trim() !== '' ? Number(v) : v;
  if (typeof n !== 'number' || !Number.isFinite(n)) return 30;
  return Math.min(60, Math.max(5, Math.round(n)));
}

// Screen capture -------------------------------------------------------------------------

/**
 * The browser's screen capture; a test hands in a stand-in. Chromium takes a few options
 * the DOM library does not list yet (no picker for the monitor, the cursor drawn).
 * @typedef {DisplayMediaStreamOptions & {video?: MediaTrackConstraints & {cursor?: string}, selfBrowserSurface?: string, monitorTypeSurfaces?: string, preferCurrentTab?: boolean}} ScreenOptions
 * @type {{open: (opts: ScreenOptions) => Promise<MediaStream>}}
 */
export const displayMedia = { open: (opts) => navigator.mediaDevices.getDisplayMedia(opts) };

/** The main screen without a picker (the window was started to pick it), or a refusal within 25 s. */
export function captureScreen() {
  const fps = clampFps(setting('recibir', 'fps'));
  /** @type {ScreenOptions} */
  const opts = {
    video: { displaySurface: 'monitor', frameRate: { ideal: fps, max: fps }, cursor: 'always' },
    audio: false, selfBrowserSurface: 'exclude', monitorTypeSurfaces: 'include', preferCurrentTab: false,
  };
  return new Promise((resolve, reject) => {
    let late = false;
    const timer = setTimeout(() => {
      late = true;
      reject(new Error('no hubo pantalla en 25 s'));
    }, CAPTURE_MS);
    let p;
    try {
      p = displayMedia.open(opts);
    } catch (e) {
      clearTimeout(timer);
      return reject(e);
    }
    p.then(
      (st) => {
        clearTimeout(timer);
        // A screen that comes after the time-out must not stay captured.
        if (late) stopStream(st);
        else resolve(st);
      },
      (e) => {
        clearTimeout(timer);
        reject(e);
      },
    );
  });
}

/** Stops a stream's tracks without their end handlers running. */
export function stopStream(/** @type {MediaStream|null} */ st) {
  if (!st) return;
  st.getTracks().forEach((tr) => {
    tr.onended = null;
    tr.stop();
  });
}

// Sending the screen -----------------------------------------------------------------------

/**
 * Each quality: the track's content hint, the sender's maximum bit rate and degradation
 * preference, whether a moving picture goes smaller (within MOTION_MAX) and the frame rate
 * a moving picture is held to. "nitidez" keeps the whole size, so that text stays sharp,
 * and lets the frame rate go instead (a 1080p frame of motion costs a loaded PC's encoder
 * over 100 ms, and frames it can't finish wait in line); "fluidez" always goes small, so
 * that motion stays current; "auto" goes small while the picture moves (null: as the
 * picture does). None asks for "motion": the encoder's camera settings it brings hold a
 * moving screen back by several hundred ms more than "detail" at the same size.
 */
export const QUALITY = {
  nitidez: { hint: 'text', bitrate: 8000000, degradation: 'maintain-resolution', small: /** @type {boolean|null} */ (false), movingFps: /** @type {number|null} */ (10) },
  fluidez: { hint: 'detail', bitrate: 6000000, degradation: 'maintain-framerate', small: /** @type {boolean|null} */ (true), movingFps: /** @type {number|null} */ (null) },
  auto: { hint: 'detail', bitrate: 5000000, degradation: 'balanced', small: /** @type {boolean|null} */ (null), movingFps: /** @type {number|null} */ (null) },
};

/**
 * The largest picture sent small: a software encoder spends about 2.25 times a 720p
 * frame's work on a 1080p one, and a frame it can't finish in time is a frame that waits.
 */
export const MOTION_MAX = { w: 1280, h: 720 };

/**
 * What the encoder spends per frame (kbit, at the picture's full size) when the picture
 * starts moving and when it has calmed down: a still desktop takes 2 to 5, one being
 * scrolled 30 and more. Between the two the picture stays as it was, so that one near a
 * threshold does not change size at every sample.
 */
const MOVING_KBIT = 16;
const CALM_KBIT = 6;

/** A quality name, or null when it is none of the three. */
export function qualityName(/** @type {unknown} */ q) {
  return typeof q === 'string' && Object.prototype.hasOwnProperty.call(QUALITY, q) ? q : null;
}

/** scaleResolutionDownBy that brings a w×h picture within MOTION_MAX; 1 when it fits or its size is unknown. */
export function motionScale(/** @type {number} */ w, /** @type {number} */ h) {
  if (!(w > 0 && h > 0)) return 1;
  return Math.max(1, w / MOTION_MAX.w, h / MOTION_MAX.h);
}

/** Whether the picture moves, from the kbit per frame of the last stretch (at full size). */
export function pictureMoves(/** @type {boolean} */ was, /** @type {number} */ kbitPerFrame) {
  if (!Number.isFinite(kbitPerFrame)) return was;
  if (kbitPerFrame >= MOVING_KBIT) return true;
  if (kbitPerFrame < CALM_KBIT) return false;
  return was;
}

/**
 * What a screen sender knows of its picture: whether it moves, the encoder's counts at the
 * last sample and the picture's full width (to bring a frame sent small back to full size).
 * @typedef {{moving: boolean, last: {frames: number, bytes: number, scale: number}|null, fullW: number}} Motion
 */

/** @returns {Motion} */
export function newMotion() {
  return { moving: false, last: null, fullW: 0 };
}

/**
 * Takes one sample of the screen sender's outbound-rtp statistics; true when the picture
 * has just started or stopped moving. Counts that go backwards (a new encoder) or a sample
 * without frames leave the motion as it was.
 */
export function followMotion(/** @type {Motion} */ m, /** @type {RtpSample|null} */ rtp) {
  const frames = Number(rtp && rtp.framesEncoded), bytes = Number(rtp && rtp.bytesSent);
  const last = m.last;
  const width = Number(rtp && rtp.frameWidth);
  m.last = Number.isFinite(frames) && Number.isFinite(bytes) ? { frames, bytes, scale: width > 0 && m.fullW > 0 ? m.fullW / width : 1 } : null;
  if (!last || !m.last || !(frames > last.frames) || !(bytes >= last.bytes)) return false;
  const kbit = (((bytes - last.bytes) * 8) / 1000 / (frames - last.frames)) * last.scale * last.scale;
  const moves = pictureMoves(m.moving, kbit);
  if (moves === m.moving) return false;
  m.moving = moves;
  return true;
}

/**
 * Sets the screen's track and sender for quality q at the frame rate asked (less for a
 * moving picture where the quality says so): content hint, frame rate, bit rate,
 * degradation preference and, when the quality sends this picture small, its scale.
 * The picture's size is the track's, or `fallback`'s ({w, h}: the monitor shown) when the
 * track does not say. Errors leave the sender as it was.
 */
export async function tuneScreen(/** @type {RTCRtpSender|null} */ sender, /** @type {string} */ q, /** @type {number} */ asked, /** @type {Motion} */ motion, /** @type {{w?: number, h?: number}|null|undefined} */ fallback) {
  const plan = QUALITY[/** @type {'auto'} */ (qualityName(q) || 'auto')];
  const fps = motion.moving && plan.movingFps ? Math.min(asked, plan.movingFps) : asked;
  const track = sender && sender.track;
  /** @type {MediaTrackSettings} */
  let size = {};
  if (track) {
    try {
      track.contentHint = plan.hint;
      // The capture keeps the rate asked; only the encoder's is held down: a capture whose
      // rate changes under motion stalled the picture for two to three seconds.
      await track.applyConstraints({ frameRate: { ideal: asked, max: asked } });
      size = track.getSettings();
    } catch {}
  }
  const sw = size.width, sh = size.height;
  const w = sw && sw > 0 ? sw : Number(fallback && fallback.w) || 0;
  const h = sh && sh > 0 ? sh : Number(fallback && fallback.h) || 0;
  motion.fullW = w;
  const scale = (plan.small ?? motion.moving) ? motionScale(w, h) : 1;
  if (!sender) return;
  try {
    const p = sender.getParameters();
    if (!p.encodings || !p.encodings.length) p.encodings = [{}];
    p.encodings[0].maxFramerate = fps;
    p.encodings[0].maxBitrate = plan.bitrate;
    p.encodings[0].scaleResolutionDownBy = scale;
    p.degradationPreference = /** @type {RTCDegradationPreference} */ (plan.degradation);
    try {
      await sender.setParameters(p);
    } catch {
      // Some builds refuse a degradation preference; the rates and the size matter more.
      delete p.degradationPreference;
      await sender.setParameters(p);
    }
  } catch {}
}
