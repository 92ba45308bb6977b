// CPU time of process trees from /proc, for "how much of the machine does it take".
import { readdirSync, readFileSync } from 'node:fs';
import { execFileSync } from 'node:child_process';

const TICK = Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }).trim()) || 100;

/** Fields after the command name of /proc/pid/stat, or null once the process is gone. */
function stat(pid) {
  try {
    const s = readFileSync(`/proc/${pid}/stat`, 'utf8');
    return s.slice(s.lastIndexOf(')') + 2).split(' ');
  } catch {
    return null;
  }
}

/** pid and all its descendants alive now. */
export function tree(pid) {
  const children = new Map();
  for (const d of readdirSync('/proc')) {
    if (!/^\d+$/.test(d)) continue;
    const f = stat(d);
    if (!f) continue;
    const ppid = Number(f[1]);
    if (!children.has(ppid)) children.set(ppid, []);
    children.get(ppid).push(Number(d));
  }
  const out = [];
  const walk = (p) => {
    out.push(p);
    for (const c of children.get(p) ?? []) walk(c);
  };
  walk(pid);
  return out;
}

/** user + system seconds of each pid (threads included), by pid. */
function cpuSeconds(pids) {
  const out = new Map();
  for (const pid of pids) {
    const f = stat(pid);
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    if (f) out.set(pid, (Number(f[11]) + Number(f[12])) / TICK);
  }
  return out;
}

/**
 * Samples the roots' trees now; the returned function gives, per tree, the share of one
 * core it used since and how many processes it has. The trees are walked again at the
 * end: a process started meanwhile counts whole, one that ended meanwhile is lost (none
 * do while a session streams).
 */
export function cpuMeter(roots) {
  const t0 = performance.now();
  const before = Object.fromEntries(Object.entries(roots).map(([k, pid]) => [k, cpuSeconds(tree(pid))]));
  return () => {
    const wall = (performance.now() - t0) / 1000;
    const out = {};
    for (const [k, pid] of Object.entries(roots)) {
      let used = 0;
      const now = cpuSeconds(tree(pid));
      for (const [p, s] of now) used += s - (before[k].get(p) ?? 0);
      out[k] = { share: used / wall, procs: now.size };
    }
    return out;
  };
}

/** The machine's load: 1-minute load average and the share of all cores busy over ms. */
export async function machineLoad(ms = 2000) {
  const read = () => readFileSync('/proc/stat', 'utf8').split('\n')[0].split(/\s+/).slice(1).map(Number);
  const a = read();
  await new Promise((r) => setTimeout(r, ms));
  const b = read();
  const d = b.map((v, i) => v - a[i]);
  const total = d.reduce((x, y) => x + y, 0);
  const idle = d[3] + (d[4] || 0);
  const load1 = Number(readFileSync('/proc/loadavg', 'utf8').split(' ')[0]);
  return { load1, busy: total ? 1 - idle / total : 0 };
}
