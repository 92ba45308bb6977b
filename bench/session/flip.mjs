// Drives the flip program (flip.c): a window over the captured monitor whose colour
// changes on command and which reports the button presses it receives.
import { spawn } from 'node:child_process';
import readline from 'node:readline';

export class Flip {
  /** bin: the compiled flip program; geometry {x, y, w, h} of the monitor to cover. */
  static async start(bin, display, { x, y, w, h }) {
    const f = new Flip();
    f.proc = spawn(bin, [x, y, w, h].map(String), { env: { ...process.env, DISPLAY: display }, stdio: ['pipe', 'pipe', 'inherit'] });
    f.presses = [];
    f.waiting = [];
    f.exited = new Promise((r) => f.proc.once('close', r));
    // A flip that died mid-run must not take the bench down with EPIPE; its wait times out.
    f.proc.stdin.on('error', () => {});
    f.proc.once('error', (e) => {
      for (const w of f.waiting.splice(0)) w.reject(new Error(`flip: ${e.message}`));
    });
    const lines = readline.createInterface({ input: f.proc.stdout });
    lines.on('line', (l) => {
      const [kind, ...rest] = l.split(' ');
      if (kind === 'press') f.presses.push({ at: Number(rest[0]), x: Number(rest[1]), y: Number(rest[2]) });
      else if (f.waiting.length && f.waiting[0].kind === kind) f.waiting.shift().resolve(rest);
    });
    try {
      await f.command('', 'ready', 15000);
    } catch (e) {
      await f.stop();
      throw e;
    }
    return f;
  }

  /** Sends a command and waits for its reply line (kind), bounded by ms. */
  command(text, kind, ms = 10000) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`flip: sin respuesta a "${text || kind}"`)), ms);
      this.waiting.push({
        kind,
        resolve: (v) => { clearTimeout(timer); resolve(v); },
        reject: (e) => { clearTimeout(timer); reject(e); },
      });
      if (text) this.proc.stdin.write(text + '\n');
    });
  }

  /**
   * Paints the colour ([r, g, b]); resolves to the wall-clock ms at which X held it. An X
   * server drawing full-screen motion on a loaded machine may take seconds to answer.
   */
  async paint(rgb) {
    const hex = rgb.map((c) => c.toString(16).padStart(2, '0')).join('');
    const [at] = await this.command(`c ${hex}`, 'flip', 30000);
    return Number(at);
  }

  /** Full-screen motion at fps frames a second (0: still again). Building the texture takes a moment. */
  busy(fps) {
    return this.command(`busy ${fps}`, 'busy', 30000);
  }

  async stop() {
    if (this.proc.pid && this.proc.exitCode === null && this.proc.signalCode === null) {
      this.proc.stdin.end('q\n');
      const t = setTimeout(() => this.proc.kill('SIGKILL'), 2000);
      await this.exited;
      clearTimeout(t);
    }
  }
}
