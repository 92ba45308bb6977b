// One line per figure: medians of 10 switches each way and their ratio, on a quiet machine
// and again with two busy processes beside it; and the memory the capture window started
// ahead holds while it waits.
import { spawn, spawnSync } from 'node:child_process';
import { readFileSync, readdirSync } from 'node:fs';
import { SessionBed, PRIMARY } from '../../tests/lib/session_bed.mjs';

const SWITCHES = 10;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

/** Proportional set size, in MB, of every process in the session of the browser whose command line names dir. */
function browserMemoryMB(dir) {
  const r = spawnSync('pgrep', ['-f', '--', `--user-data-dir=${dir}`], { encoding: 'utf8' });
  const sids = new Set();
  for (const pid of r.stdout.split('\n').filter(Boolean)) {
    try {
      sids.add(readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ')[3]);
    } catch {}
  }
  let kb = 0;
  for (const pid of readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      const sid = readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ')[3];
      if (!sids.has(sid)) continue;
      kb += Number(readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8').match(/^Pss:\s+(\d+)/m)?.[1] || 0);
    } catch {}
  }
  return kb / 1024;
}

const bed = await SessionBed.start({ display: 50 });
const busy = [];
try {
  const [host, tech] = await Promise.all([bed.host('PC de Ana'), bed.tech('Técnico Beto')]);
  const k = await tech.connect(host.id);
  await host.accept();
  await tech.waitPicture(k);
  bed.x.run('wmctrl', ['-i', '-r', host.window, '-e', `0,${PRIMARY.x + 1000},650,900,420`]);

  /** ms from the `mon` message to the first frame of shape w:h, measured in the technician's page. */
  const timeSwitch = (i, ratio, limit = 60000) =>
    tech.eval(
      ([k, i, ratio, limit]) =>
        new Promise((resolve, reject) => {
          const s = kelvora.TS.get(k);
          const v = s.vid;
          const t0 = performance.now();
          const timer = setTimeout(() => reject(new Error(`no frame of the other monitor in ${limit / 1000} s`)), limit);
          const look = () =>
            v.requestVideoFrameCallback((now, meta) => {
              if (Math.abs(meta.width / meta.height - ratio) < 0.02) {
                clearTimeout(timer);
                resolve(performance.now() - t0);
              } else look();
            });
          look();
          kelvora.ctl(s, { t: 'mon', i });
        }),
      [k, i, ratio, limit],
    );
  const idle = () => host.page.waitForFunction(() => kelvora.HSES && !kelvora.HSES.capBusy, null, { timeout: 60000 });

  async function series(what) {
    const away = [];
    const back = [];
    for (let n = 0; n < SWITCHES; n++) {
      away.push(await timeSwitch(1, 1024 / 768));
      await idle();
      back.push(await timeSwitch(0, 1920 / 1080));
      await idle();
    }
    const a = median(away);
    const b = median(back);
    console.log(`monitor switch to the secondary (capture window)${what}: ${a.toFixed(0)} ms (median of ${SWITCHES})`);
    console.log(`monitor switch back to the primary (main capture, reference)${what}: ${b.toFixed(0)} ms`);
    console.log(`monitor switch secondary/primary${what}: ${(a / b).toFixed(1)} (target 2)`);
  }

  // Measured once the window started ahead has its page loaded, after one switch each way
  // that is not: the first learns which screen number the secondary has, and on a busy
  // machine a browser's cold start takes minutes.
  await host.waitCaptureAhead(180000);
  await timeSwitch(1, 1024 / 768, 180000);
  await idle();
  await timeSwitch(0, 1920 / 1080, 180000);
  await idle();
  await series('');
  // The window waiting between switches: what keeping it costs.
  await new Promise((ok) => setTimeout(ok, 3000));
  console.log(`capture window kept waiting: ${browserMemoryMB(`${host.k.data}/captura`).toFixed(0)} MB (PSS of its browser's processes)`);

  for (let i = 0; i < 2; i++) busy.push(spawn(process.execPath, ['-e', 'for (;;) {}'], { stdio: 'ignore' }));
  await series(' under load (two busy processes)');
} finally {
  for (const p of busy) p.kill();
  await bed.stop();
}
