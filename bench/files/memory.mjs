// Resident memory of process trees from /proc: what each process holds at idle and at its
// peak while something runs, sampled a few times a second.
import { readFileSync } from 'node:fs';
import { tree } from '../session/cpu.mjs';

export { tree };

function field(pid, file) {
  try {
    return readFileSync(`/proc/${pid}/${file}`, 'utf8');
  } catch {
    return null;
  }
}

/** Resident set in MB; 0 once the process is gone. */
function rssMb(pid) {
  const m = /VmRSS:\s+(\d+) kB/.exec(field(pid, 'status') ?? '');
  return m ? Number(m[1]) / 1024 : 0;
}

/** A short name: the program, and Chromium's process type when it has one. */
function label(pid) {
  const cmd = (field(pid, 'cmdline') ?? '').split('\0');
  const prog = (cmd[0] ?? '').split('/').pop() || String(pid);
  const type = cmd.find((a) => a.startsWith('--type='));
  const util = cmd.find((a) => a.startsWith('--utility-sub-type='));
  return type ? `${prog} ${type.slice(7)}${util ? ` (${util.split('.').pop()})` : ''}` : prog;
}

/**
 * Samples every process of the given trees (roles → root pids) every `every` ms until
 * stop(); stop() gives, per process, its role, label, first and peak RSS in MB.
 */
export function rssWatch(roots, every = 200) {
  const seen = new Map();
  const sample = () => {
    for (const [role, pids] of Object.entries(roots))
      for (const root of [pids].flat())
        for (const pid of tree(root)) {
          const mb = rssMb(pid);
          if (!mb) continue;
          const e = seen.get(pid) ?? { role, pid, label: label(pid), first: mb, peak: 0 };
          e.peak = Math.max(e.peak, mb);
          seen.set(pid, e);
        }
  };
  sample();
  const timer = setInterval(sample, every);
  return () => {
    clearInterval(timer);
    sample();
    return [...seen.values()];
  };
}
