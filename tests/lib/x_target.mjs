// A window of a known colour at a known place on an X display that records the clicks and
// keys the X server delivers to it (tests/lib/x_target.py), for checking the remote hand
// from outside the page.
import { spawn } from 'node:child_process';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

const SCRIPT = join(process.cwd(), 'tests', 'lib', 'x_target.py');

export class XTarget {
  /** rect {x, y, w, h} in root coordinates; colour as "#rrggbb". */
  static async open(display, { x, y, w, h }, colour, name = 'kvtarget') {
    const t = new XTarget();
    t.rect = { x, y, w, h };
    t.colour = colour;
    t.events = [];
    t.waiters = new Set();
    t.proc = spawn('python3', [SCRIPT, `${w}x${h}+${x}+${y}`, colour, name], {
      env: { ...process.env, DISPLAY: display },
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    t.exited = new Promise((r) => t.proc.once('exit', r));
    createInterface({ input: t.proc.stdout }).on('line', (line) => {
      try {
        t.events.push(JSON.parse(line));
      } catch {
        return;
      }
      for (const w of t.waiters) w();
    });
    const ready = await t.waitFor((e) => e.e === 'ready', 'the target window', 15000);
    t.id = ready.id;
    t.events.length = 0;
    return t;
  }

  /** The first recorded event (from `from` on) that satisfies pred; its index is in `.at`. */
  waitFor(pred, what, ms = 15000, from = 0) {
    return new Promise((res, rej) => {
      const look = () => {
        const i = this.events.findIndex((e, n) => n >= from && pred(e));
        if (i < 0) return false;
        this.waiters.delete(look);
        clearTimeout(timer);
        res({ ...this.events[i], at: i });
        return true;
      };
      const timer = setTimeout(() => {
        this.waiters.delete(look);
        rej(new Error(`the X client got no ${what}; it got ${JSON.stringify(this.events)}`));
      }, ms);
      if (!look()) this.waiters.add(look);
    });
  }

  /** Key names of the key events (downs as "+Name", ups as "-Name") from index `from`. */
  keys(from = 0) {
    return this.events.slice(from).filter((e) => e.e === 'key' || e.e === 'keyup').map((e) => (e.e === 'key' ? '+' : '-') + e.k);
  }

  /** The characters typed (key downs with a printable character) from index `from`. */
  typed(from = 0) {
    return this.events.slice(from).filter((e) => e.e === 'key' && e.c && e.c >= ' ').map((e) => e.c).join('');
  }

  clear() {
    this.events.length = 0;
  }

  async close() {
    if (this.proc.exitCode === null && this.proc.signalCode === null) {
      this.proc.stdin.end();
      const killer = setTimeout(() => this.proc.kill('SIGKILL'), 3000);
      await this.exited;
      clearTimeout(killer);
    }
  }
}
