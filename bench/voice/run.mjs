// Mouth to ear of session voice: the technician's fake microphone plays bursts of a tone;
// the time from each burst's onset at its microphone to the onset found in the helped PC's
// voice element, against a bare loopback RTCPeerConnection carrying the same microphone in
// the technician's page and against a bare connection from the technician's page to the
// helped PC's, all three over the same seconds. Every end finds onsets with the same
// AudioWorklet, so the finder's own delay cancels out. One line per figure, then where each
// receiver's audio waited (its getStats).
//   BENCH_ONSETS (20), BENCH_DISPLAY (58)
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { cpus, tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { SessionBed, bedMissing } from '../../tests/lib/session_bed.mjs';
import { waitFor } from '../../tests/lib/kelvora.mjs';
import { machineLoad } from '../session/cpu.mjs';

const ONSETS = Number(process.env.BENCH_ONSETS ?? 20);
const BURST_HZ = 1000;
// A burst a second: 250 ms of tone, 750 ms of silence.
const PERIOD_MS = 1000;
const LIMIT_MS = 10 * 60 * 1000;

const missing = bedMissing();
if (missing) {
  console.error(`bench/voice: no se puede montar la sesión de prueba: ${missing}`);
  process.exit(1);
}

// Delays on a shared machine follow its load: the figures come with it.
const load = await machineLoad();
console.log(`machine: ${cpus().length} cores, load average ${load.load1.toFixed(1)}, ${Math.round(load.busy * 100)}% busy before the run`);

const dir = mkdtempSync(join(tmpdir(), 'kelvora-bench-voice-'));
const wav = join(dir, 'rafagas.wav');
const sox = spawnSync('sox', ['-n', '-r', '48000', '-c', '1', '-b', '16', wav, 'synth', '0.25', 'sine', String(BURST_HZ), 'vol', '0.5', 'pad', '0', '0.75', 'repeat', '119']);
if (sox.status !== 0) {
  console.error(`bench/voice: sox no hizo las ráfagas: ${sox.stderr}`);
  process.exit(1);
}

let bed;
let cleaning = null;
const cleanup = () => (cleaning ??= (async () => {
  await bed?.stop().catch(() => {});
  rmSync(dir, { recursive: true, force: true });
})());
const abort = async (why) => {
  console.error(`bench/voice: ${why}; limpiando`);
  await cleanup();
  process.exit(1);
};
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.once(sig, () => abort(`señal ${sig}`));
const limit = setTimeout(() => abort(`pasaron ${LIMIT_MS / 60000} minutos`), LIMIT_MS);

/**
 * Installs window.__watch(name, stream): an AudioWorklet that notes (on one clock shared by
 * every page of this machine) each onset, a block loud after at least 160 ms of quiet. The
 * time is the block's own, from the audio thread: stamped when the page's main thread got
 * the message, an onset found in the helped PC's page (busy capturing and encoding the
 * screen) would come later than the same onset in the technician's.
 */
function installWatcher(page) {
  return page.evaluate(() => {
    const code = `class Onset extends AudioWorkletProcessor {
      constructor() { super(); this.quiet = 0; }
      process(inputs) {
        const ch = inputs[0] && inputs[0][0];
        if (!ch) return true;
        let sum = 0;
        for (let i = 0; i < ch.length; i++) sum += ch[i] * ch[i];
        const rms = Math.sqrt(sum / ch.length);
        if (rms > 0.05) { if (this.quiet >= 60) this.port.postMessage(currentTime); this.quiet = 0; }
        else if (rms < 0.01) this.quiet++;
        return true;
      }
    }
    registerProcessor('onset', Onset);`;
    const url = URL.createObjectURL(new Blob([code], { type: 'text/javascript' }));
    window.__onsets = {};
    // What a receiver's getStats says about where its audio waits, cumulative: a second
    // reading minus the first gives the window between them.
    window.__rxStats = async (rx) => {
      const out = {};
      const rep = await rx.getStats();
      rep.forEach((r) => {
        if (r.type === 'inbound-rtp' && r.kind === 'audio') {
          for (const f of ['jitterBufferDelay', 'jitterBufferTargetDelay', 'jitterBufferMinimumDelay', 'jitterBufferEmittedCount', 'totalSamplesReceived', 'concealedSamples', 'insertedSamplesForDeceleration', 'removedSamplesForAcceleration', 'packetsReceived']) out[f] = r[f] ?? 0;
          out.codecId = r.codecId;
        }
        if (r.type === 'media-playout') { out.playoutDelay = r.totalPlayoutDelay ?? 0; out.playoutSamples = r.totalSamplesCount ?? 0; }
        if (r.type === 'candidate-pair' && r.nominated && r.currentRoundTripTime !== undefined) out.rtt = r.currentRoundTripTime;
      });
      out.fmtp = (rep.get(out.codecId) || {}).sdpFmtpLine || '';
      out.at = performance.now();
      return out;
    };
    window.__watch = async (name, stream) => {
      const ac = new AudioContext({ latencyHint: 'interactive' });
      await ac.audioWorklet.addModule(url);
      const node = new AudioWorkletNode(ac, 'onset');
      const sink = ac.createGain();
      sink.gain.value = 0;
      const times = (window.__onsets[name] = []);
      // Context time to the page's clock: the output's latest timestamp pairs the two (the
      // same output latency for every watcher, so it cancels out).
      node.port.onmessage = (e) => {
        const ts = ac.getOutputTimestamp();
        times.push(performance.timeOrigin + ts.performanceTime + (e.data - ts.contextTime) * 1000);
      };
      ac.createMediaStreamSource(stream).connect(node).connect(sink).connect(ac.destination);
    };
  });
}

/**
 * Where a receiver's audio waited between two readings of window.__rxStats, in ms per
 * sample: jitter buffer, its target, its minimum, playout (the output's own delay), and
 * the share of concealed / stretched samples; the packet rate (50/s is 20 ms frames) and
 * the connection's round trip.
 */
function rxStages(a, b) {
  const n = Math.max(1, b.jitterBufferEmittedCount - a.jitterBufferEmittedCount);
  const per = (f) => (((b[f] ?? 0) - (a[f] ?? 0)) / n) * 1000;
  const samples = Math.max(1, b.totalSamplesReceived - a.totalSamplesReceived);
  const play = b.playoutSamples - a.playoutSamples > 0 ? ((b.playoutDelay - a.playoutDelay) / (b.playoutSamples - a.playoutSamples)) * 1000 : NaN;
  const pps = ((b.packetsReceived - a.packetsReceived) / Math.max(1, b.at - a.at)) * 1000;
  const pct = (f) => (((b[f] ?? 0) - (a[f] ?? 0)) / samples) * 100;
  return `[${b.fmtp}] ${pps.toFixed(0)} packets/s, jitter buffer ${per('jitterBufferDelay').toFixed(1)} ms (target ${per('jitterBufferTargetDelay').toFixed(1)}, minimum ${per('jitterBufferMinimumDelay').toFixed(1)}), playout ${play.toFixed(1)} ms, rtt ${((b.rtt ?? NaN) * 1000).toFixed(1)} ms, concealed ${pct('concealedSamples').toFixed(1)}%, slowed ${pct('insertedSamplesForDeceleration').toFixed(1)}%, sped ${pct('removedSamplesForAcceleration').toFixed(1)}%`;
}

/** Reads the stats of the receiver `pick` finds in the page. */
const readRx = (page, pick) => page.evaluate(`window.__rxStats(${pick})`);

/**
 * Each sent onset's delay to the first received one within a period after it; the first few
 * dropped. Two watchers of one track (each its own audio context) see an onset a few ms
 * apart either way: EARLY_MS before the sent one still counts, or such a pair would match
 * the next burst half the time.
 */
const EARLY_MS = 50;
function delays(sent, got) {
  const out = [];
  for (const s of sent) {
    const r = got.find((x) => x >= s - EARLY_MS && x < s + PERIOD_MS - EARLY_MS);
    if (r !== undefined) out.push(r - s);
  }
  return out.slice(3, 3 + ONSETS);
}

const median = (xs) => {
  const v = [...xs].sort((a, b) => a - b);
  return v.length ? (v.length % 2 ? v[(v.length - 1) / 2] : (v[v.length / 2 - 1] + v[v.length / 2]) / 2) : NaN;
};
const ms = (v) => `${v.toFixed(1)} ms`;

/**
 * The microphone of page `a` sent over a bare connection to page `b`, both watched as
 * acrossSent / acrossGot. Signals pass through this script.
 */
async function bareAcross(a, b) {
  await a.evaluate(async () => {
    const mic = await navigator.mediaDevices.getUserMedia({ audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false } });
    const pc = new RTCPeerConnection();
    window.__across = { pc, mic, ice: [] };
    pc.onicecandidate = (e) => e.candidate && window.__across.ice.push(e.candidate.toJSON());
    pc.addTrack(mic.getAudioTracks()[0], mic);
    await pc.setLocalDescription(await pc.createOffer());
    await window.__watch('acrossSent', mic);
  });
  const offer = await a.evaluate(() => window.__across.pc.localDescription.toJSON());
  const answer = await b.evaluate(async (offer) => {
    const pc = new RTCPeerConnection();
    window.__across = { pc, ice: [] };
    pc.onicecandidate = (e) => e.candidate && window.__across.ice.push(e.candidate.toJSON());
    const got = new Promise((r) => (pc.ontrack = (e) => r(e.streams[0] || new MediaStream([e.track]))));
    await pc.setRemoteDescription(offer);
    await pc.setLocalDescription(await pc.createAnswer());
    got.then((remote) => {
      const el = new Audio();
      el.muted = true;
      el.srcObject = remote;
      el.play().catch(() => {});
      window.__across.el = el;
      return window.__watch('acrossGot', remote);
    });
    return pc.localDescription.toJSON();
  }, offer);
  await a.evaluate((answer) => window.__across.pc.setRemoteDescription(answer), answer);
  // Candidates both ways until the connection stands.
  await waitFor(async () => {
    for (const [from, to] of [[a, b], [b, a]]) {
      const ice = await from.evaluate(() => window.__across.ice.splice(0));
      await to.evaluate((ice) => Promise.all(ice.map((c) => window.__across.pc.addIceCandidate(c).catch(() => {}))), ice);
    }
    return a.evaluate(() => window.__across.pc.connectionState === 'connected');
  }, 'the bare connection between the two pages', 30000);
}

/**
 * Onsets sent in page a and received in page b (one clock for both), and with `mid` those
 * found in a between them; gives [delays sent → got, delays sent → mid, where the audio of
 * b's receiver `pick` waited meanwhile].
 */
async function collectAcross(a, b, sentName, gotName, pick, mid = '') {
  const end = Date.now() + (ONSETS + 10) * PERIOD_MS * 2;
  const first = await readRx(b, pick);
  let d = [], m = [];
  while (Date.now() < end) {
    const [sent, between] = await a.evaluate(([s, x]) => [window.__onsets[s] || [], window.__onsets[x] || []], [sentName, mid]);
    const got = await b.evaluate((g) => window.__onsets[g] || [], gotName);
    d = delays(sent, got);
    m = mid ? delays(sent, between) : [];
    if (d.length >= ONSETS) break;
    await sleep(500);
  }
  return [d, m, rxStages(first, await readRx(b, pick))];
}

try {
  bed = await SessionBed.start({ display: Number(process.env.BENCH_DISPLAY ?? 58) });
  const [host, tech] = await Promise.all([bed.host('PC de banco'), bed.tech('Técnico de banco', { tone: wav })]);
  await tech.settings({ llamada: { procesar_voz: 'no' } });
  const k = await tech.connect(host.id, { control: false });
  if (!k) throw new Error('el técnico no abrió la sesión');
  await host.accept();
  await host.waitConnected();
  for (const pc of [host, tech]) await installWatcher(pc.page);

  // The floor: the same microphone through a bare peer connection inside the technician's page.
  await tech.page.evaluate(async () => {
    const mic = await navigator.mediaDevices.getUserMedia({ audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false } });
    const a = new RTCPeerConnection(), b = new RTCPeerConnection();
    a.onicecandidate = (e) => e.candidate && b.addIceCandidate(e.candidate);
    b.onicecandidate = (e) => e.candidate && a.addIceCandidate(e.candidate);
    const got = new Promise((r) => (b.ontrack = (e) => r(e.streams[0] || new MediaStream([e.track]))));
    a.addTrack(mic.getAudioTracks()[0], mic);
    await a.setLocalDescription(await a.createOffer());
    await b.setRemoteDescription(a.localDescription);
    await b.setLocalDescription(await b.createAnswer());
    await a.setRemoteDescription(b.localDescription);
    const remote = await got;
    // A remote stream feeds Web Audio only while an element plays it.
    const el = new Audio();
    el.muted = true;
    el.srcObject = remote;
    el.play().catch(() => {});
    await window.__watch('floorSent', mic);
    await window.__watch('floorGot', remote);
    window.__floor = { a, b, mic, el };
  });

  // A bare connection between the same two pages: the microphone in the technician's page
  // straight to the helped PC's page, signalled by this script. What ours adds over it is
  // the session's own doing, not the two browsers' audio stacks.
  await bareAcross(tech.page, host.page);

  // Ours: the technician turns its voice on; the helped PC's voice element receives it.
  await tech.page.evaluate((k) => kelvora.sesVoiceToggle(kelvora.TS.get(k)), k);
  await tech.page.waitForFunction(() => kelvora.MIX.mic, null, { timeout: 60000 });
  await tech.page.evaluate(() => window.__watch('sent', kelvora.MIX.mic));
  // What the session's sender carries, after the page's mixing (if any).
  await tech.page.waitForFunction((k) => kelvora.TS.get(k).voice?.sender?.track, k, { timeout: 60000 });
  await tech.page.evaluate((k) => window.__watch('mixed', new MediaStream([kelvora.TS.get(k).voice.sender.track])), k);
  await host.page.waitForFunction(() => kelvora.HSES && kelvora.HSES.vaud && kelvora.HSES.vaud.srcObject, null, { timeout: 60000 });
  await host.page.evaluate(() => window.__watch('got', kelvora.HSES.vaud.srcObject));

  // All three at once: on a shared machine the delays follow the load from one second to
  // the next, and only pipelines measured over the same seconds compare.
  const [[ours, mixing, oursStages], [floor, , floorStages], [across, , acrossStages]] = await Promise.all([
    collectAcross(tech.page, host.page, 'sent', 'got', 'kelvora.HSES.voice.receiver', 'mixed'),
    collectAcross(tech.page, tech.page, 'floorSent', 'floorGot', 'window.__floor.b.getReceivers()[0]'),
    collectAcross(tech.page, host.page, 'acrossSent', 'acrossGot', 'window.__across.pc.getReceivers()[0]'),
  ]);
  await tech.page.evaluate(() => {
    for (const pc of [window.__floor.a, window.__floor.b, window.__across.pc]) pc.close();
    for (const mic of [window.__floor.mic, window.__across.mic]) mic.getTracks().forEach((x) => x.stop());
  });
  await host.page.evaluate(() => {
    window.__across.pc.close();
    window.__across.el.srcObject = null;
  });
  // The line sends a copy of the microphone while it carries nothing else, else the mix.
  const carries = await tech.page.evaluate((k) => {
    const s = kelvora.TS.get(k);
    return s.line && s.line.direct && s.voice.sender.track === s.line.direct ? 'the microphone itself' : 'the mix';
  }, k);
  if (ours.length < ONSETS || floor.length < ONSETS || across.length < ONSETS) {
    throw new Error(`pocas ráfagas encontradas: nuestra ${ours.length}, directa ${floor.length}, directa entre las dos páginas ${across.length}`);
  }
  const o = median(ours), f = median(floor), a = median(across);
  const p = (xs, q) => [...xs].sort((a, b) => a - b)[Math.floor(q * (xs.length - 1))];
  const spread = (xs) => `p10–p90 ${ms(p(xs, 0.1))}–${ms(p(xs, 0.9))}`;
  console.log(`voice mouth to ear (technician's microphone → helped PC's voice element), ours/bare loopback RTCPeerConnection: ${(o / f).toFixed(2)}x (ours ${ms(o)}, ${spread(ours)}; bare ${ms(f)}, ${spread(floor)}; medians of ${ONSETS} onsets)`);
  console.log(`voice mouth to ear, ours/bare RTCPeerConnection between the same two pages: ${(o / a).toFixed(2)}x (ours ${ms(o)}; bare between the pages ${ms(a)}, ${spread(across)})`);
  console.log(`voice receivers (getStats over the onsets): ours ${oursStages}`);
  console.log(`  bare loopback ${floorStages}`);
  console.log(`  bare between the pages ${acrossStages}`);
  if (mixing.length) console.log(`voice, ours, where the time goes (medians): microphone → the session sender's track (${carries}) ${ms(median(mixing))}, that track → the helped PC's voice element ${ms(o - median(mixing))}`);
} catch (e) {
  clearTimeout(limit);
  console.error(`bench/voice: ${e && e.stack ? e.stack : e}`);
  await cleanup();
  process.exit(1);
}
clearTimeout(limit);
await cleanup();
