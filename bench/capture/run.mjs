// One line per figure: the first switch to the secondary of each of a few sessions (its
// link set up ahead) against the switch back; medians of 10 later switches each way and
// their ratio, on a quiet machine and again with two busy processes beside it; and the
// memory the capture window started ahead holds while it waits.
//   BENCH_FIRST (3): sessions whose first switch is timed
import { spawn, spawnSync } from 'node:child_process';
import { readFileSync, readdirSync } from 'node:fs';
import { SessionBed, PRIMARY } from '../../tests/lib/session_bed.mjs';
import { waitFor } from '../../tests/lib/kelvora.mjs';

const SWITCHES = 10;
const FIRSTS = Number(process.env.BENCH_FIRST ?? 3);
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
  /** A new session with its picture flowing; from: where its part of the host's log begins. */
  async function session() {
    const from = host.k.log().length;
    const k = await tech.connect(host.id);
    await host.accept();
    await tech.waitPicture(k);
    bed.x.run('wmctrl', ['-i', '-r', host.window, '-e', `0,${PRIMARY.x + 1000},650,900,420`]);
    return { k, from };
  }
  let { k, from } = await session();

  /** ms from the `mon` message to the first frame of shape w:h, measured in the technician's page. */
  const timeSwitch = (i, ratio, limit = 60000) =>
    tech.eval(
      ([k, i, ratio, limit]) =>
        new Promise((resolve, reject) => {
          const s = kelvora.TS.get(k);
          const v = s.vid;
          const t0 = performance.now();
          const e0 = performance.timeOrigin + t0;
          const timer = setTimeout(() => reject(new Error(`no frame of the other monitor in ${limit / 1000} s`)), limit);
          const look = () =>
            v.requestVideoFrameCallback((now, meta) => {
              if (Math.abs(meta.width / meta.height - ratio) < 0.02) {
                clearTimeout(timer);
                resolve({ ms: performance.now() - t0, e0, e1: performance.timeOrigin + performance.now() });
              } else look();
            });
          look();
          kelvora.ctl(s, { t: 'mon', i });
        }),
      [k, i, ratio, limit],
    );
  // Stage marks in the helped PC's page, as wall-clock ms (the pages share one clock): the
  // first local call of the switch, the native reply to the capture request, the capture
  // page's offer (a new link) or its word that a kept link is live again, read from the
  // mailbox, the track of a new local link, and its first frame decoded in the main page. Observed from outside the code: fetch and the peer
  // connection are wrapped, nothing else changes.
  await host.eval(() => {
    if (window.__stages) return;
    const now = () => performance.timeOrigin + performance.now();
    const marks = (window.__stages = []);
    const mark = (what) => marks.push([what, now()]);
    const fetch0 = window.fetch;
    window.fetch = async function (url, init) {
      const u = String(url);
      const body = typeof init?.body === 'string' ? init.body : '';
      if (/\/api\/(captura|buzon)/.test(u)) mark('call');
      const r = await fetch0.call(this, url, init);
      if (/\/api\/captura/.test(u) && /pantalla/.test(body)) mark('native');
      if (/\/api\/buzon\/leer/.test(u))
        r.clone().json().then((j) => {
          for (const t of ['offer', 'live']) if (j?.m?.some?.((m) => m?.t === t)) mark(t);
        }, () => {});
      return r;
    };
    const PC0 = window.RTCPeerConnection;
    window.RTCPeerConnection = class extends PC0 {
      constructor(...a) {
        super(...a);
        this.addEventListener('track', (e) => {
          if (e.track.kind !== 'video') return;
          mark('track');
          const v = document.createElement('video');
          v.muted = true;
          v.srcObject = new MediaStream([e.track]);
          v.style.cssText = 'position:fixed;width:1px;height:1px;opacity:0';
          document.body.appendChild(v);
          v.requestVideoFrameCallback(() => { mark('decoded'); v.srcObject = null; v.remove(); });
          v.play().catch(() => {});
        });
      }
    };
  });
  const stagesSince = (t0) =>
    host.eval((t0) => window.__stages.filter(([, t]) => t >= t0), t0);

  const idle = () => host.page.waitForFunction(() => kelvora.HSES && !kelvora.HSES.capBusy, null, { timeout: 60000 });

  const STAGES = [
    ['call', 'the request reaches the page and its first local call'],
    ['native', 'the capture request answered by the native side'],
    ['offer', "the waiting window's offer read from the mailbox (a new link)"],
    ['live', "the waiting window's word that its kept link is live again"],
    ['track', 'the local link\'s track'],
    ['decoded', 'its first frame decoded in the main page'],
  ];

  /** One switch to the secondary with its stages: ms from the request to each mark, then the technician's frame. */
  async function awayWithStages() {
    const r = await timeSwitch(1, 1024 / 768);
    const marks = await stagesSince(r.e0);
    const at = {};
    for (const [what, t] of marks) if (at[what] === undefined) at[what] = t - r.e0;
    return { ms: r.ms, at };
  }

  async function series(what) {
    const away = [];
    const back = [];
    for (let n = 0; n < SWITCHES; n++) {
      away.push(await awayWithStages());
      await idle();
      back.push((await timeSwitch(0, 1920 / 1080)).ms);
      await idle();
    }
    report(what, away, back);
  }

  /** The figures of switches away (with their stages) and back. */
  function report(what, away, back) {
    const a = median(away.map((x) => x.ms));
    const b = median(back);
    console.log(`monitor switch to the secondary (capture window)${what}: ${a.toFixed(0)} ms (median of ${away.length})`);
    let before = 0;
    for (const [key, text] of STAGES) {
      const xs = away.map((x) => x.at[key]).filter((x) => x !== undefined);
      if (!xs.length) continue;
      const m = median(xs);
      console.log(`  stage: ${text}: at ${m.toFixed(0)} ms (+${(m - before).toFixed(0)})`);
      before = m;
    }
    console.log(`  stage: the first frame of the secondary at the technician: at ${a.toFixed(0)} ms (+${(a - before).toFixed(0)})`);
    console.log(`monitor switch back to the primary (main capture, reference)${what}: ${b.toFixed(0)} ms`);
    console.log(`monitor switch secondary/primary${what}: ${(a / b).toFixed(1)} (target 2)`);
  }

  // The first switch of each session, once its link was set up ahead.
  const first = [];
  const firstBack = [];
  for (let i = 0; i < FIRSTS; i++) {
    if (i > 0) {
      await bed.reset();
      ({ k, from } = await session());
    }
    await waitFor(() => /\[CAPTURA\] enlace listo de antemano/.test(host.k.log().slice(from)), 'the link set up ahead', 180000).catch((e) => {
      console.log(host.k.log().slice(from).split('\n').filter((l) => /CAPTURA/.test(l)).join('\n'));
      throw e;
    });
    first.push(await awayWithStages());
    await idle();
    firstBack.push((await timeSwitch(0, 1920 / 1080)).ms);
    await idle();
  }
  if (FIRSTS > 0) report(' (the first of a session, its link set up ahead)', first, firstBack);

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
