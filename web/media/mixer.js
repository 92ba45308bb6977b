// The local mixer of voice lines: one audio context, the microphone on air, what feeds
// each line, the level meters, and following a change of devices.

import { diag } from '../core/api.js';
import { DEVS, LINES, MIX, RING, setting, ST } from '../core/state.js';
import { t } from '../core/texts.js';
import { allAudio, applySink, devicesOn, devName, getMic, levelOfSamples, loadDevices, saveDev, sinkCtx, wantedDev } from './devices.js';

/** @typedef {import('../core/state.js').Line} Line */

/** Who takes a device away, as the log names it: on Linux it is not Windows. */
export const ON_WINDOWS = typeof navigator !== 'undefined' && /Windows/i.test(navigator.userAgent || '');

// Pure rules ----------------------------------------------------------------------------------

/** A line that hears and is heard: active and not held. */
export function onAir(/** @type {Line} */ L) {
  return L.state === 'active' && !L.held;
}

/** The remote voice of a line: the phone connection's stream, or the session's voice element's. */
function remoteOf(/** @type {Line} */ L) {
  if (L.kind === 'ses' && L.ses && L.ses.vaud && L.ses.vaud.srcObject instanceof MediaStream) return L.ses.vaud.srcObject;
  return L.remote || null;
}

/**
 * What feeds each line's outgoing mix, by line key: "mic" while the line is on air, and in a
 * conference the keys of the other members on air that have a remote voice. A line is never
 * fed its own voice.
 */
export function routePlan(/** @type {Line[]} */ lines) {
  /** @type {Map<string, string[]>} */
  const plan = new Map();
  for (const L of lines) {
    const src = [];
    if (onAir(L)) {
      src.push('mic');
      if (L.conf) for (const o of lines) if (o !== L && o.conf && onAir(o) && remoteOf(o)) src.push(o.k);
    }
    plan.set(L.k, src);
  }
  return plan;
}

// The mixer ------------------------------------------------------------------------------------

/** The mixer's context with the microphone's gain and meter, made on first use. */
function mixContext() {
  if (!MIX.ac || !MIX.micGain || !MIX.an) {
    const ac = new AudioContext({ latencyHint: 'interactive' });
    const gain = ac.createGain();
    gain.gain.value = MIX.muted ? 0 : 1;
    const an = ac.createAnalyser();
    an.fftSize = 512;
    Object.assign(MIX, { ac, micGain: gain, an });
    return { ac, gain, an };
  }
  if (MIX.ac.state === 'suspended') MIX.ac.resume().catch(() => {});
  return { ac: MIX.ac, gain: MIX.micGain, an: MIX.an };
}

/** The mixer's source node of a line's remote voice (made once there is a stream). */
function sourceOf(/** @type {Line} */ L) {
  const st = remoteOf(L);
  if (!MIX.ac || !st || !st.getAudioTracks().length) return null;
  if (!L.rsrc || L.rsrcOf !== st) {
    try {
      if (L.rsrc) L.rsrc.disconnect();
      const src = MIX.ac.createMediaStreamSource(st);
      const an = MIX.ac.createAnalyser();
      an.fftSize = 512;
      src.connect(an);
      L.rsrc = src;
      L.rsrcOf = st;
      L.an = an;
    } catch {
      return null;
    }
  }
  return L.rsrc;
}

export function unfeed(/** @type {Line} */ L) {
  for (const f of L.feeds || []) {
    try {
      f.from.disconnect(f.g);
    } catch {}
    try {
      f.g.disconnect();
    } catch {}
  }
  L.feeds = [];
}

/**
 * What line L sends: while its mix would carry the microphone alone, a copy of the
 * microphone's own track (the mixing graph adds tens of milliseconds of mouth-to-ear delay,
 * for nothing then), muted with the microphone; otherwise the mix itself.
 */
function outTrack(/** @type {Line} */ L, /** @type {string[]} */ src) {
  const mic = micTrack();
  if (src.length === 1 && src[0] === 'mic' && mic && mic.readyState === 'live') {
    if (!L.direct || L.directOf !== mic || L.direct.readyState !== 'live') {
      dropDirect(L);
      L.direct = mic.clone();
      L.directOf = mic;
    }
    L.direct.enabled = !MIX.muted;
    return L.direct;
  }
  dropDirect(L);
  return L.track;
}

function dropDirect(/** @type {Line} */ L) {
  if (L.direct) L.direct.stop();
  L.direct = L.directOf = null;
}

/** Puts what line L sends on its sender, when that changed. */
function feedSender(/** @type {Line} */ L, /** @type {MediaStreamTrack|null} */ out) {
  if (!L.sender || L.sending === out) return;
  L.sending = out;
  L.sender.replaceTrack(out).catch(() => {});
}

/**
 * The sender that carries line L from now on (null: none any more, and what it sent is
 * let go); it is handed what the line sends now and follows every change of it.
 */
export function sendLine(/** @type {Line} */ L, /** @type {RTCRtpSender|null} */ sender) {
  L.sender = sender;
  L.sending = undefined;
  if (!sender) return dropDirect(L);
  feedSender(L, outTrack(L, routePlan([...LINES.values()]).get(L.k) || []));
}

/** Mutes or unmutes the microphone on every line. */
export function muteMic(/** @type {boolean} */ on) {
  MIX.muted = on;
  if (MIX.micGain) MIX.micGain.gain.value = on ? 0 : 1;
  for (const L of LINES.values()) if (L.direct) L.direct.enabled = !on;
}

/** Rebuilds every line's outgoing mix from scratch and mutes the held lines' playback. */
export function mixRoute() {
  const lines = [...LINES.values()];
  const plan = routePlan(lines);
  for (const L of lines) {
    unfeed(L);
    const src = plan.get(L.k) || [];
    if (MIX.ac && L.dest) {
      for (const key of src) {
        const other = LINES.get(key);
        const from = key === 'mic' ? MIX.micGain : other && sourceOf(other);
        if (!from) continue;
        const g = MIX.ac.createGain();
        from.connect(g);
        g.connect(L.dest);
        L.feeds.push({ from, g });
      }
    }
    feedSender(L, outTrack(L, src));
    sourceOf(L);
    if (L.audio) {
      L.audio.muted = !!L.held;
      L.audio.volume = Math.min(1, L.vol);
    }
  }
}

/** Puts an opened microphone into the mixer in place of the old one. */
export function useMic(/** @type {MediaStream} */ st) {
  const mix = mixContext();
  const old = MIX.mic;
  if (MIX.src) {
    try {
      MIX.src.disconnect();
    } catch {}
  }
  MIX.mic = st;
  const src = mix.ac.createMediaStreamSource(st);
  src.connect(mix.gain);
  src.connect(mix.an);
  MIX.src = src;
  MIX.watch = { since: 0, max: 0, posted: false };
  MIX.silent = MIX.blocked = false;
  const tr = st.getAudioTracks()[0];
  if (tr) tr.addEventListener('ended', () => micEnded(st, tr.label));
  if (old && old !== st) old.getTracks().forEach((x) => { x.stop(); });
  // Lines that send the microphone itself take the new one.
  if (old && old !== st) mixRoute();
}

/** The mixer's microphone, opened once for all lines; false when it can't open. */
export async function openMic() {
  mixContext();
  if (MIX.mic && MIX.mic.getAudioTracks().some((/** @type {MediaStreamTrack} */ x) => x.readyState === 'live')) return true;
  const st = await getMic({});
  if (!st) return false;
  if (MIX.mic && MIX.mic.getAudioTracks().some((/** @type {MediaStreamTrack} */ x) => x.readyState === 'live')) {
    st.getTracks().forEach((x) => x.stop());
    return true;
  }
  useMic(st);
  return true;
}

/** The microphone opened for a line that did not come to be. */
export function closeUnusedMic() {
  if (!LINES.size) closeMic();
}

export function closeMic() {
  if (MIX.src) {
    try {
      MIX.src.disconnect();
    } catch {}
  }
  if (MIX.mic) MIX.mic.getTracks().forEach((/** @type {MediaStreamTrack} */ x) => x.stop());
  MIX.mic = MIX.src = null;
  MIX.silent = MIX.blocked = false;
  // With no line left nothing plays through the mixer: a running context would keep the
  // sound device and a thread busy for nothing. The next microphone makes a new one.
  if (!LINES.size && MIX.ac) {
    const ac = MIX.ac;
    MIX.ac = MIX.micGain = MIX.an = null;
    ac.close().catch(() => {});
  }
}

export function micTrack() {
  return MIX.mic ? MIX.mic.getAudioTracks()[0] || null : null;
}

/** A stream's level 0..100 from an analyser. */
export function levelOf(/** @type {AnalyserNode|null} */ an) {
  if (!an) return 0;
  const d = new Float32Array(an.fftSize);
  an.getFloatTimeDomainData(d);
  return levelOfSamples(d);
}

// Meters and the silent microphone ------------------------------------------------------------------

export function startVoiceTick() {
  if (!ST.VOICE_TICK) ST.VOICE_TICK = setInterval(voiceTick, 200);
}

/**
 * What the mixer tells the page; app.js sets it.
 * @type {{ontick: (level: number) => void}} ontick: every 200 ms while lines exist, the own microphone's level (0..100)
 */
export const mixerOn = { ontick: () => {} };

/** Every 200 ms while lines exist: statuses, the own meter, who is talking, a silent microphone. */
function voiceTick() {
  if (!LINES.size) {
    clearInterval(ST.VOICE_TICK);
    ST.VOICE_TICK = 0;
    return;
  }
  const lvl = levelOf(MIX.an);
  for (const L of LINES.values()) L.level = levelOf(L.an);
  watchMic(lvl);
  mixerOn.ontick(lvl);
}

/** After 6 s of a live microphone: one line for the log, and the warning when it stayed silent. */
function watchMic(/** @type {number} */ lvl) {
  const tr = micTrack();
  const w = MIX.watch;
  if (!tr || !w || tr.readyState !== 'live') return;
  if (!w.since) w.since = Date.now();
  w.max = Math.max(w.max, lvl);
  if (MIX.silent && lvl > 2) MIX.silent = MIX.blocked = false;
  if (w.posted || Date.now() - w.since < 6000) return;
  w.posted = true;
  /** @type {MediaTrackSettings} */
  const st = tr.getSettings ? tr.getSettings() : {};
  const want = wantedDev('mic');
  diag(`[MICROFONO] «${tr.label}» · ${tr.readyState}${tr.muted ? ` · SIN DATOS ${ON_WINDOWS ? 'DE WINDOWS' : 'DEL SISTEMA'} (muted)` : ''} · nivel máx ${w.max.toFixed(1)} en 6 s · ${st.sampleRate || (MIX.ac && MIX.ac.sampleRate) || '?'} Hz · canales ${st.channelCount || '?'} · elegido ${want.dev ? 'sí' : 'predeterminado'} · procesar ${setting('llamada', 'procesar_voz') || 'si'}`);
  if (w.max < 0.6) {
    MIX.silent = true;
    MIX.blocked = tr.muted;
  }
}

const DEV_SETTLE_MS = 900;

/** The microphone in use went away: reopen it everywhere a moment later. */
export function micEnded(/** @type {MediaStream} */ st, /** @type {string} */ label) {
  if (MIX.mic !== st || !LINES.size) return;
  diag(`[MICROFONO] «${label}» se cerró (desconectado o ${ON_WINDOWS ? 'Windows' : 'el sistema'} lo quitó)`);
  setTimeout(async () => {
    await loadDevices();
    const ok = await swapAll();
    const want = wantedDev('mic');
    devicesOn.onnotice(!ok ? t('micLost') : want.missing ? t('micFallback', want.name) : t('micBack'), 8000);
  }, DEV_SETTLE_MS);
}

/** The group call under way, whose microphone follows a change of device too. */
function groupCallNow() {
  return ST.CALLX || null;
}

/**
 * Reopens the microphone for every line, one reopening at a time in request order; withCall
 * reopens the group call's too (its own watcher already handles a microphone that ends).
 */
function swapAll(withCall = false) {
  const run = async () => {
    const call = withCall ? groupCallNow() : null;
    if (call) await devicesOn.onswapcall(call);
    if (!LINES.size) return !!call;
    const st = await getMic({ quiet: true, silent: true });
    if (!st) return false;
    if (!LINES.size) {
      st.getTracks().forEach((x) => x.stop());
      return false;
    }
    useMic(st);
    return true;
  };
  const p = MIX.swapq.then(run, run);
  MIX.swapq = p.catch(() => false);
  return p;
}

/** Devices came or went: reload, re-apply the speaker, and reopen the microphone if it fell. */
/** @type {ReturnType<typeof setTimeout>|undefined} */
let devTimer;
export function onDevChange() {
  clearTimeout(devTimer);
  devTimer = setTimeout(async () => {
    await loadDevices();
    allAudio().forEach((el) => applySink(el, true));
    if (RING.ac) sinkCtx(RING.ac);
    const call = groupCallNow();
    if (!LINES.size && !call) return;
    const tr = micTrack() || (call && call.mic ? call.mic.getAudioTracks()[0] : null);
    const want = wantedDev('mic');
    const dead = LINES.size > 0 && (!tr || tr.readyState !== 'live');
    const cur = tr ? devName(tr.label) : '';
    const wrong = !!want.dev && cur !== want.dev.name;
    if (dead || wrong) {
      diag(`[MICROFONO] cambio de dispositivos: en uso «${cur}»${dead ? ' (caído)' : ''}, toca «${want.dev ? want.dev.name : DEVS.defMic}»`);
      swapAll(wrong);
    }
  }, DEV_SETTLE_MS);
}

export async function setMicDev(/** @type {string} */ id) {
  const dev = DEVS.mics.find((d) => d.id === id) || null;
  await saveDev('microfono', 'microfono_nombre', dev);
  devicesOn.onnotice(t('micSet'));
  if (LINES.size || groupCallNow()) swapAll(true);
  devicesOn.onchange();
}

/** Devices came or went: reload, re-apply the speaker, and reopen the microphone if it fell. */
