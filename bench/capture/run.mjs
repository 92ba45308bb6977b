// One line per figure: medians of 10 switches each way, and their ratio.
import { SessionBed, PRIMARY } from '../../tests/lib/session_bed.mjs';

const SWITCHES = 10;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

const bed = await SessionBed.start({ display: 50 });
try {
  const [host, tech] = await Promise.all([bed.host('PC de Ana'), bed.tech('Técnico Beto')]);
  const k = await tech.connect(host.id);
  await host.accept();
  await tech.waitPicture(k);
  bed.x.run('wmctrl', ['-i', '-r', host.window, '-e', `0,${PRIMARY.x + 1000},650,900,420`]);

  /** ms from the `mon` message to the first frame of shape w:h, measured in the technician's page. */
  const timeSwitch = (i, ratio) =>
    tech.eval(
      ([k, i, ratio]) =>
        new Promise((resolve, reject) => {
          const s = kelvora.TS.get(k);
          const v = s.vid;
          const t0 = performance.now();
          const timer = setTimeout(() => reject(new Error('no frame of the other monitor in 60 s')), 60000);
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
      [k, i, ratio],
    );
  const idle = () => host.page.waitForFunction(() => kelvora.HSES && !kelvora.HSES.capBusy, null, { timeout: 60000 });

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
  console.log(`monitor switch to the secondary (capture window): ${a.toFixed(0)} ms (median of ${SWITCHES})`);
  console.log(`monitor switch back to the primary (main capture, reference): ${b.toFixed(0)} ms`);
  console.log(`monitor switch secondary/primary: ${(a / b).toFixed(1)}`);
} finally {
  await bed.stop();
}
