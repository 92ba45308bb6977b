// Microphones and speakers: the lists, the choice kept by id and by name, opening the
// microphone with its fallbacks, and the players of remote voices on the chosen speaker.

import { diag, putSettings } from '../core/api.js';
import { DEVS, LINES, RING, setting, SPK_WARNED, ST, TS } from '../core/state.js';
import { t } from '../core/texts.js';
import { sleep, yes } from '../core/util.js';

/** @typedef {import('../core/state.js').Line} Line */
/** @typedef {import('../core/state.js').CallState} CallState */

/**
 * What a failed getUserMedia gives: a DOMException in the browser, a like object from a
 * stand-in; either field may be missing.
 * @typedef {{name?: string, message?: string}} MicError
 */

/** The toast key for a microphone that could not open. */
export function micFailKey(/** @type {string|null|undefined} */ name) {
  if (name === 'NotAllowedError' || name === 'SecurityError') return 'micDenied2';
  if (name === 'NotFoundError' || name === 'OverconstrainedError') return 'micNone';
  if (name === 'NotReadableError' || name === 'AbortError') return 'micBusy';
  return 'micErr';
}

/** A device's name without the role word the system puts before the default one. */
export function devName(/** @type {unknown} */ label) {
  return String(label || '').replace(/^(default|predeterminad[oa]|communications|comunicaciones)\s*-\s*/i, '').trim();
}

/** A stored device in a list: by id, else by name (then `moved` says its id changed). */
export function findDev(/** @type {{id: string, name: string}[]} */ list, /** @type {string} */ id, /** @type {string} */ name) {
  const byId = id ? list.find((d) => d.id === id) : undefined;
  if (byId) return { dev: byId, moved: false };
  const byName = name ? list.find((d) => d.name === name) : undefined;
  return { dev: byName || null, moved: !!byName };
}

/** A meter's level 0..100 from the samples' RMS. */
export function levelOfSamples(/** @type {Float32Array} */ d) {
  let sum = 0;
  for (let i = 0; i < d.length; i++) sum += d[i] * d[i];
  return Math.min(100, Math.sqrt(sum / (d.length || 1)) * 400);
}

/**
 * The browser's microphones and players. A test hands in stand-ins with the same shape.
 * @type {{open: (c: MediaStreamConstraints) => Promise<MediaStream>, list: () => Promise<MediaDeviceInfo[]>, player: () => HTMLAudioElement, voice: () => HTMLAudioElement}}
 */
export const userMedia = {
  voice: () => new Audio(),
  open: (c) => navigator.mediaDevices.getUserMedia(c),
  list: () => navigator.mediaDevices.enumerateDevices(),
  player: () => {
    const a = document.createElement('audio');
    a.autoplay = true;
    a.hidden = true;
    document.body.appendChild(a);
    return a;
  },
};

/**
 * What the devices tell the page and the group call; app.js sets these.
 * @type {{onchange: () => void, onnotice: (text: string, ms?: number) => void, onswapcall: (call: CallState) => Promise<void>}}
 * onchange: the device lists or choices changed; onswapcall: the group call takes the newly chosen microphone.
 */
export const devicesOn = { onchange: () => {}, onnotice: () => {}, onswapcall: async () => {} };

// Devices ----------------------------------------------------------------------------------------

export async function loadDevices() {
  /** @type {MediaDeviceInfo[]} */
  let list = [];
  try {
    list = await userMedia.list();
  } catch {}
  const mine = (/** @type {string} */ kind) => list
    .filter((d) => d.kind === kind && d.deviceId && d.deviceId !== 'default' && d.deviceId !== 'communications')
    .slice(0, 64)
    .map((d) => ({ id: d.deviceId, name: devName(d.label).slice(0, 120) }));
  DEVS.mics = mine('audioinput');
  DEVS.outs = mine('audiooutput');
  DEVS.labels = list.some((d) => !!d.label);
  const def = list.find((d) => d.kind === 'audioinput' && d.deviceId === 'default');
  DEVS.defMic = def ? devName(def.label) : '';
  devicesOn.onchange();
}

/**
 * The stored device of a kind as it is now: found by id, else by name (a USB device that came
 * back with a new id: the id is corrected in the settings).
 */
export function wantedDev(/** @type {'mic'|'spk'} */ kind) {
  const [idKey, nameKey, list, tag] = kind === 'mic' ? ['microfono', 'microfono_nombre', DEVS.mics, 'MICROFONO'] : ['bocina', 'bocina_nombre', DEVS.outs, 'BOCINA'];
  const id = setting('llamada', idKey), name = setting('llamada', nameKey);
  if (!id && !name) return { dev: null, name: '', missing: false };
  const { dev, moved } = findDev(list, id, name);
  // A device listed without its label (no permission yet) keeps the stored name.
  if (dev && (moved || (dev.name && dev.name !== name))) {
    if (moved) diag(`[${tag}] «${dev.name}» volvió con otro identificador; lo actualizo`);
    saveDev(idKey, nameKey, dev);
  }
  return { dev, name: name || id, missing: !dev };
}

export function saveDev(/** @type {string} */ idKey, /** @type {string} */ nameKey, /** @type {{id: string, name: string}|null} */ dev) {
  ST.AJ.llamada[idKey] = dev ? dev.id : '';
  ST.AJ.llamada[nameKey] = dev ? dev.name : '';
  return putSettings({ llamada: { [idKey]: ST.AJ.llamada[idKey], [nameKey]: ST.AJ.llamada[nameKey] } }).catch(() => {});
}

/**
 * Opens a microphone: the chosen one, else the default, else with no options at all. A busy
 * device gets two more tries; a refusal stops everything. Gives the stream or null.
 */
export async function getMic(/** @type {{proc?: boolean, quiet?: boolean, silent?: boolean}} */ opts = {}) {
  const proc = opts.proc ?? yes(setting('llamada', 'procesar_voz'));
  if (!DEVS.labels) await loadDevices();
  const want = wantedDev('mic');
  const base = { echoCancellation: proc, noiseSuppression: proc, autoGainControl: proc };
  /** @type {[string, MediaStreamConstraints, string][]} */
  const tries = [];
  if (want.dev) tries.push(['elegido', { audio: { ...base, deviceId: { exact: want.dev.id } } }, want.dev.name]);
  tries.push(['predeterminado', { audio: base }, '']);
  tries.push(['sin opciones', { audio: true }, '']);
  /** @type {MicError|null} */
  let first = null;
  /** @type {MicError|null} */
  let last = null;
  for (const [name, c, label] of tries) {
    for (let n = 0; n < 3; n++) {
      try {
        const st = await userMedia.open(c);
        const tr = st.getAudioTracks()[0];
        if (first) diag(`[MICROFONO] abierto con «${tr ? tr.label : ''}» (${name}) después de: ${first.name}`);
        if (want.name && name !== 'elegido' && !opts.quiet) devicesOn.onnotice(t('micFallback', want.name), 8000);
        if (!DEVS.labels) loadDevices();
        return st;
      } catch (e) {
        const err = /** @type {MicError} */ (e || {});
        first = first || err;
        last = err;
        diag(`[MICROFONO] no abrió (${name}${label ? ` «${label}»` : ''}): ${err.name} ${err.message}`);
        if (err.name === 'NotAllowedError' || err.name === 'SecurityError') return micFailed(err, opts);
        if ((err.name === 'NotReadableError' || err.name === 'AbortError') && n < 2) {
          await sleep(800);
          continue;
        }
        break;
      }
    }
  }
  return micFailed(last, opts);
}

function micFailed(/** @type {MicError|null} */ err, /** @type {{silent?: boolean}} */ opts) {
  if (!opts.silent) {
    const key = micFailKey(err && err.name);
    devicesOn.onnotice(key === 'micErr' ? t('micErr', (err && err.message) || '') : t(key), 9000);
  }
  return null;
}

/** Every element that plays sound: the sessions' and the lines'. */
export function allAudio() {
  const set = new Set(/** @type {HTMLMediaElement[]} */ ([...document.querySelectorAll('audio')]));
  for (const s of [...TS.values(), ...(ST.HSES ? [ST.HSES] : [])]) for (const el of [s.vaud, s.aud]) if (el) set.add(el);
  for (const L of LINES.values()) if (L.audio) set.add(L.audio);
  return [...set];
}

/** The chosen speaker's id ('' = the system's default); a missing one is told once per name. */
function speakerId(/** @type {boolean} */ quiet) {
  const want = wantedDev('spk');
  if (want.missing && !quiet && !SPK_WARNED.has(want.name)) {
    SPK_WARNED.add(want.name);
    devicesOn.onnotice(t('spkFallback', want.name), 8000);
  }
  return want.dev ? want.dev.id : '';
}

/** Plays an element on the chosen speaker; a failure falls back to the default one. */
export function applySink(/** @type {HTMLMediaElement} */ el, quiet = false) {
  if (!el || typeof el.setSinkId !== 'function') return;
  const id = speakerId(quiet);
  if (el.sinkId === id) return;
  el.setSinkId(id).catch((/** @type {MicError|null} */ e) => {
    diag(`[BOCINA] «${setting('llamada', 'bocina_nombre') || id}» no se pudo usar: ${e && e.name}; uso la predeterminada`);
    el.setSinkId('').catch(() => {});
  });
}

// Chromium's AudioContext can choose its speaker; the DOM library does not list setSinkId yet.
export function sinkCtx(/** @type {(AudioContext & {setSinkId?: (id: string) => Promise<void>})|null} */ ac) {
  const setSink = ac && ac.setSinkId;
  if (typeof setSink === 'function') setSink.call(ac, speakerId(true)).catch(() => setSink.call(ac, '').catch(() => {}));
}

export async function setSpeaker(/** @type {string} */ id) {
  const dev = DEVS.outs.find((d) => d.id === id) || null;
  await saveDev('bocina', 'bocina_nombre', dev);
  allAudio().forEach((el) => applySink(el, true));
  if (RING.ac) sinkCtx(RING.ac);
  devicesOn.onnotice(t('spkSet'));
  devicesOn.onchange();
}

/** A hidden element in the page that plays a remote voice. */
export function hiddenAudio() {
  return userMedia.player();
}

/** The element that plays a phone line's remote voice, on the chosen speaker. */
export function lineAudio(/** @type {Line} */ L) {
  const a = hiddenAudio();
  a.dataset.line = L.k;
  applySink(a);
  L.audio = a;
  L.ownAudio = true;
}

/**
 * An element, kept out of the page, that plays the technician's voice in a helped session,
 * on the chosen speaker from the first word (not only once this side turns its own voice on).
 */
export function voicePlayer() {
  const a = userMedia.voice();
  applySink(a, true);
  return a;
}
