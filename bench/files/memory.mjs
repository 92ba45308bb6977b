// Memory of process trees from /proc: what each process holds at idle and at its peak
// while something runs, sampled a few times a second. Both the resident set (RSS) and the
// proportional set (PSS: shared pages split among the processes that share them) are
// kept: Chromium's processes share much of their code, which RSS counts in each of them.
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

/** Resident and proportional sets in MB; null once the process is gone. */
function memMb(pid) {
  const rss = /VmRSS:\s+(\d+) kB/.exec(field(pid, 'status') ?? '');
  if (!rss) return null;
  const pss = /^Pss:\s+(\d+) kB/m.exec(field(pid, 'smaps_rollup') ?? '');
  return { rss: Number(rss[1]) / 1024, pss: pss ? Number(pss[1]) / 1024 : NaN };
}

/**
 * A short name: the program, and Chromium's process type when it has one (Chromium's
 * children rewrite their command line as one string joined by spaces).
 */
export function label(pid) {
  const cmd = (field(pid, 'cmdline') ?? '').replaceAll('\0', ' ');
  const prog = (cmd.split(' ')[0] ?? '').split('/').pop() || String(pid);
  const type = /--type=(\S+)/.exec(cmd)?.[1];
  const util = /--utility-sub-type=(\S+)/.exec(cmd)?.[1];
  return type ? `${prog} ${type}${util ? ` (${util.split('.').pop()})` : ''}` : prog;
}

/**
 * Samples every process of the given trees (roles → root pids) every `every` ms until
 * stop(); stop() gives, per process, its role, label, first and peak RSS and PSS in MB.
 * The trees are walked again once a second (a walk reads all of /proc).
 */
export function rssWatch(roots, every = 250) {
  const seen = new Map();
  let pids = [];
  let walked = 0;
  const sample = () => {
    if (Date.now() - walked >= 1000) {
      pids = Object.entries(roots).flatMap(([role, root]) => [root].flat().flatMap((r) => tree(r).map((pid) => [role, pid])));
      walked = Date.now();
    }
    for (const [role, pid] of pids) {
      const m = memMb(pid);
      if (!m) continue;
      const e = seen.get(pid) ?? { role, pid, label: label(pid), first: m.rss, peak: 0, firstPss: m.pss, peakPss: 0 };
      e.peak = Math.max(e.peak, m.rss);
      e.peakPss = Math.max(e.peakPss, m.pss);
      seen.set(pid, e);
    }
  };
  sample();
  const timer = setInterval(sample, every);
  return () => {
    clearInterval(timer);
    walked = 0;
    sample();
    return [...seen.values()];
  };
}
