// The screen a helped PC shares: captured without a picker, within its time, at the frame
// rate the settings allow.

import { setting } from '../core/state.js';

const CAPTURE_MS = 25000;

/** A frame rate from a message or a setting: 5..60, 30 when it is not a number. */
export function clampFps(/** @type {any} */ v) {
  const n = typeof v === 'string' && v.trim() !== '' ? Number(v) : v;
  if (typeof n !== 'number' || !Number.isFinite(n)) return 30;
  return Math.min(60, Math.max(5, Math.round(n)));
}

// Screen capture -------------------------------------------------------------------------

/**
 * The browser's screen capture; a test hands in a stand-in.
 * @type {{open: (opts: any) => Promise<MediaStream>}}
 */
export const displayMedia = { open: (opts) => navigator.mediaDevices.getDisplayMedia(opts) };

/** The main screen without a picker (the window was started to pick it), or a refusal within 25 s. */
export function captureScreen() {
  const fps = clampFps(setting('recibir', 'fps'));
  /** @type {any} */
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
