// CPU time per process of process trees from /proc: which process a transfer keeps busy
// (both Kelvoras, each browser's processes by type), against the same processes with no
// file, and the machine's share that none of them took (other work beside the bench).
import { readFileSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import { label, tree } from './memory.mjs';

const TICK = Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }).trim()) || 100;

/** user + system seconds of pid (threads included), or null once it is gone. */
function seconds(pid) {
  try {
    const s = readFileSync(`/proc/${pid}/stat`, 'utf8');
    const f = s.slice(s.lastIndexOf(')') + 2).split(' ');
    return (Number(f[11]) + Number(f[12])) / TICK;
  } catch {
    return null;
  }
}

/** Busy jiffies of all cores together. */
function machine() {
  const v = readFileSync('/proc/stat', 'utf8').split('\n')[0].split(/\s+/).slice(1).map(Number);
  return { busy: v.reduce((a, b) => a + b, 0) - v[3] - (v[4] || 0) };
}

/**
 * Starts counting the CPU of every process of the given trees (roles → root pids); the
 * returned function gives, per process, its role, label and the share of one core it used
 * since, the largest first, and `others`: the share of one core the rest of the machine used.
 * The trees are walked at the start and again at the end, so a process started meanwhile
 * counts whole.
 */
export function cpuWatch(roots) {
  const walk = () => {
    const byPid = new Map();
    for (const [role, root] of Object.entries(roots)) for (const r of [root].flat()) for (const pid of tree(r)) if (!byPid.has(pid)) byPid.set(pid, role);
    return [...byPid].map(([pid, role]) => [role, pid]);
  };
  const t0 = performance.now(), m0 = machine();
  const before = new Map(walk().map(([, pid]) => [pid, seconds(pid)]));
  return () => {
    const wall = (performance.now() - t0) / 1000, m1 = machine();
    const cores = (m1.busy - m0.busy) / TICK / wall;
    const procs = [];
    for (const [role, pid] of walk()) {
      const now = seconds(pid);
      if (now === null) continue;
      procs.push({ role, pid, label: label(pid), share: (now - (before.get(pid) ?? 0)) / wall });
    }
    procs.sort((a, b) => b.share - a.share);
    const ours = procs.reduce((a, p) => a + p.share, 0);
    return { procs, ours, others: Math.max(0, cores - ours), wall };
  };
}
