// Mouth to ear of session voice: the technician's fake microphone plays bursts of a tone;
// the time from each burst's onset at its microphone to the onset found in the helped PC's
// voice element, against a bare loopback RTCPeerConnection carrying the same microphone in
// the technician's page, run side by side in the same run. Both ends find onsets with the
// same AudioWorklet, so the finder's own delay cancels out. One line per figure.
//   BENCH_ONSETS (20), BENCH_DISPLAY (58)
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { cpus, tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { SessionBed, bedMissing } from '../../tests/lib/session_bed.mjs';
import { machineLoad } from '../session/cpu.mjs';

const ONSETS = Number(process.env.BENCH_ONSETS ?? 20);
const BURST_HZ = 1000;
// A burst a second: 250 ms of tone, 750 ms of silence.
const PERIOD_MS = 1000;
const LIMIT_MS = 6 * 60 * 1000;

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
 * every page of this machine) each onset, a block loud after at least 160 ms of quiet.
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
        if (rms > 0.05) { if (this.quiet >= 60) this.port.postMessage(0); this.quiet = 0; }
        else if (rms < 0.01) this.quiet++;
        return true;
      }
    }
    registerProcessor('onset', Onset);`;
    const url = URL.createObjectURL(new Blob([code], { type: 'text/javascript' }));
    window.__onsets = {};
    window.__watch = async (name, stream) => {
      const ac = new AudioContext({ latencyHint: 'interactive' });
      await ac.audioWorklet.addModule(url);
      const node = new AudioWorkletNode(ac, 'onset');
      const sink = ac.createGain();
      sink.gain.value = 0;
      const times = (window.__onsets[name] = []);
      node.port.onmessage = () => times.push(performance.timeOrigin + performance.now());
      ac.createMediaStreamSource(stream).connect(node).connect(sink).connect(ac.destination);
    };
  });
}

/** Each sent onset's delay to the first received one within a period after it; the first few dropped. */
function delays(sent, got) {
  const out = [];
  for (const s of sent) {
    const r = got.find((x) => x >= s && x < s + PERIOD_MS);
    if (r !== undefined) out.push(r - s);
  }
  return out.slice(3, 3 + ONSETS);
}

const median = (xs) => {
  const v = [...xs].sort((a, b) => a - b);
  return v.length ? (v.length % 2 ? v[(v.length - 1) / 2] : (v[v.length / 2 - 1] + v[v.length / 2]) / 2) : NaN;
};
const ms = (v) => `${v.toFixed(1)} ms`;

async function collect(page, sentName, gotName) {
  const end = Date.now() + (ONSETS + 10) * PERIOD_MS * 2;
  for (;;) {
    const o = await page.evaluate(([a, b]) => [window.__onsets[a] || [], window.__onsets[b] || []], [sentName, gotName]);
    const d = delays(o[0], o[1]);
    if (d.length >= ONSETS || Date.now() > end) return d;
    await sleep(500);
  }
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
  const floor = await collect(tech.page, 'floorSent', 'floorGot');
  await tech.page.evaluate(() => {
    window.__floor.a.close();
    window.__floor.b.close();
    window.__floor.mic.getTracks().forEach((x) => x.stop());
  });

  // Ours: the technician turns its voice on; the helped PC's voice element receives it.
  await tech.page.evaluate((k) => kelvora.sesVoiceToggle(kelvora.TS.get(k)), k);
  await tech.page.waitForFunction(() => kelvora.MIX.mic, null, { timeout: 60000 });
  await tech.page.evaluate(() => window.__watch('sent', kelvora.MIX.mic));
  await host.page.waitForFunction(() => kelvora.HSES && kelvora.HSES.vaud && kelvora.HSES.vaud.srcObject, null, { timeout: 60000 });
  await host.page.evaluate(() => window.__watch('got', kelvora.HSES.vaud.srcObject));
  // Both pages' onsets are on the same clock: gather them in one place.
  const end = Date.now() + (ONSETS + 10) * PERIOD_MS * 2;
  let ours = [];
  while (Date.now() < end) {
    const sent = await tech.page.evaluate(() => window.__onsets.sent || []);
    const got = await host.page.evaluate(() => window.__onsets.got || []);
    ours = delays(sent, got);
    if (ours.length >= ONSETS) break;
    await sleep(500);
  }
  if (ours.length < ONSETS || floor.length < ONSETS) throw new Error(`pocas ráfagas encontradas: nuestra ${ours.length}, directa ${floor.length}`);
  const o = median(ours), f = median(floor);
  const p = (xs, q) => [...xs].sort((a, b) => a - b)[Math.floor(q * (xs.length - 1))];
  console.log(`voice mouth to ear (technician's microphone → helped PC's voice element), ours/bare loopback RTCPeerConnection: ${(o / f).toFixed(2)}x (ours ${ms(o)}, p10–p90 ${ms(p(ours, 0.1))}–${ms(p(ours, 0.9))}; bare ${ms(f)}, p10–p90 ${ms(p(floor, 0.1))}–${ms(p(floor, 0.9))}; medians of ${ONSETS} onsets)`);
} catch (e) {
  clearTimeout(limit);
  console.error(`bench/voice: ${e && e.stack ? e.stack : e}`);
  await cleanup();
  process.exit(1);
}
clearTimeout(limit);
await cleanup();
