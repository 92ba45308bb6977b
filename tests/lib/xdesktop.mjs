// The X test bed for node tests: Xorg with the dummy driver through scripts/xdesktop.sh,
// and small looks at it from outside (pointer, clipboard, modes).
import { execFileSync, spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

const SCRIPT = join(process.cwd(), 'scripts', 'xdesktop.sh');

function have(tool) {
  try {
    execFileSync('sh', ['-c', `command -v ${tool}`], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
}

/** Why the X test bed can't run here, or null when it can. */
export function xdesktopMissing(tools = []) {
  for (const t of ['Xorg', 'xrandr', 'xdpyinfo', ...tools]) if (!have(t)) return `falta ${t} (scripts/deps/testbeds.apt)`;
  if (!existsSync('/usr/lib/xorg/modules/drivers/dummy_drv.so')) return 'falta xserver-xorg-video-dummy';
  return null;
}

/** A running X desktop; outputs 2 gives DUMMY1 1024x768 at 0,0 and the primary DUMMY0 1920x1080 at 1024,0. */
export class XDesktop {
  /** display ':N' asks for that display number (it must be free). */
  static async start({ outputs = 1, display } = {}) {
    const x = new XDesktop();
    const args = display ? [SCRIPT, 'start', display.replace(/^:/, '')] : [SCRIPT, 'start'];
    x.display = execFileSync('bash', args, {
      env: { ...process.env, XDESKTOP_OUTPUTS: String(outputs) },
      encoding: 'utf8',
    }).trim();
    return x;
  }

  stop() {
    if (this.display) execFileSync('bash', [SCRIPT, 'stop', this.display]);
    this.display = null;
  }

  /** Runs an X client on this display and gives its standard output. */
  run(cmd, args, input) {
    return execFileSync(cmd, args, { env: { ...process.env, DISPLAY: this.display }, encoding: 'utf8', input, maxBuffer: 64 << 20, timeout: 20000 });
  }

  pointer() {
    const m = this.run('xdotool', ['getmouselocation']).match(/x:(-?\d+) y:(-?\d+)/);
    return { x: Number(m[1]), y: Number(m[2]) };
  }

  clipboard() {
    return this.run('xclip', ['-o', '-selection', 'clipboard']);
  }

  /** Puts text on the clipboard from another client, which keeps serving it until killed. */
  async offerClipboard(text) {
    const p = spawn('xclip', ['-i', '-selection', 'clipboard', '-loops', '0'], {
      env: { ...process.env, DISPLAY: this.display },
      stdio: ['pipe', 'ignore', 'ignore'],
    });
    p.stdin.end(text);
    for (let i = 0; i < 100; i++) {
      try {
        if (this.run('xclip', ['-o', '-selection', 'clipboard']) === text) break;
      } catch {}
      await sleep(50);
    }
    return p;
  }

  /** Each output's current mode as {name: "WxH", x, y}. */
  outputs() {
    const out = {};
    for (const line of this.run('xrandr', ['--query']).split('\n')) {
      const m = line.match(/^(\S+) connected (?:primary )?(\d+)x(\d+)\+(\d+)\+(\d+)/);
      if (m) out[m[1]] = { size: `${m[2]}x${m[3]}`, x: Number(m[4]), y: Number(m[5]) };
    }
    return out;
  }
}
