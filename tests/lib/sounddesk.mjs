// The sound test bed for node tests: a PulseAudio daemon with a null sink as the default
// output (scripts/sounddesk.sh), tones played into it, and a look at a PCM stream's pitch.
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const SCRIPT = join(process.cwd(), 'scripts', 'sounddesk.sh');

/** Why the sound bed can't run here, or null when it can. */
export function sounddeskMissing() {
  for (const t of ['pulseaudio', 'pactl', 'paplay', 'sox'])
    if (spawnSync('sh', ['-c', `command -v ${t}`]).status !== 0) return `falta ${t} (scripts/deps/testbeds.apt)`;
  return null;
}

export class SoundDesk {
  static start() {
    const d = new SoundDesk();
    d.dir = mkdtempSync(join(tmpdir(), 'kelvora-sound-'));
    d.server = execFileSync('bash', [SCRIPT, 'start', d.dir], { encoding: 'utf8' }).trim();
    return d;
  }

  /** What a client of this daemon needs in its environment. */
  get env() {
    return { PULSE_SERVER: this.server };
  }

  /**
   * Plays a sine tone into the null sink for seconds (sox makes it, paplay plays it);
   * resolves when it has been played. delay puts that much silence first.
   */
  tone(hz, seconds, { delay = 0, volume = 0.5 } = {}) {
    return new Promise((resolve, reject) => {
      const sox = spawn('sox', ['-n', '-r', '48000', '-c', '2', '-b', '16', '-e', 'signed', '-t', 'raw', '-',
        'synth', String(seconds), 'sine', String(hz), 'vol', String(volume), 'pad', String(delay), '0']);
      const play = spawn('paplay', ['--raw', '--rate=48000', '--channels=2', '--format=s16le', '--latency-msec=10'], {
        env: { ...process.env, ...this.env },
      });
      sox.stdout.pipe(play.stdin);
      play.on('error', reject);
      play.on('exit', (code) => (code === 0 ? resolve() : reject(new Error(`paplay ended with ${code}`))));
    });
  }

  stop() {
    if (!this.dir) return;
    spawnSync('bash', [SCRIPT, 'stop', this.dir]);
    rmSync(this.dir, { recursive: true, force: true });
    this.dir = null;
  }
}

/** The left channel of interleaved s16le stereo as numbers in -1..1. */
export function leftChannel(buf) {
  const n = Math.floor(buf.length / 4);
  const out = new Float64Array(n);
  for (let i = 0; i < n; i++) out[i] = buf.readInt16LE(i * 4) / 32768;
  return out;
}

/** The strength of one frequency in samples (Goertzel), normalised by their count. */
export function power(samples, hz, rate) {
  const w = (2 * Math.PI * hz) / rate;
  const c = 2 * Math.cos(w);
  let s1 = 0;
  let s2 = 0;
  for (const x of samples) {
    const s = x + c * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return (s1 * s1 + s2 * s2 - c * s1 * s2) / (samples.length * samples.length);
}

/** Whether hz stands out of samples: far stronger there than at its neighbours. */
export function hasTone(samples, hz, rate) {
  const at = power(samples, hz, rate);
  const around = Math.max(power(samples, hz * 0.7, rate), power(samples, hz * 1.4, rate), power(samples, hz * 2.3, rate));
  return at > 1e-4 && at > 50 * around;
}
