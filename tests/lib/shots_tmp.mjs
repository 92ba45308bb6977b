// Temporary (not committed): screenshots of the connect tab and a live viewer.
import { SessionBed, PRIMARY } from './session_bed.mjs';
const bed = await SessionBed.start({});
try {
  const [host, tech] = await Promise.all([bed.host('PC de Ana'), bed.tech('Técnico Beto')]);
  await bed.target({ x: PRIMARY.x + 1400, y: 600, w: 400, h: 300 }, '#20d060');
  await tech.page.screenshot({ path: '/tmp/wm/shot_connect.png' });
  const k = await tech.connect(host.id);
  await host.accept();
  await host.waitConnected();
  await tech.waitPicture(k);
  await new Promise((r) => setTimeout(r, 3000));
  await tech.page.screenshot({ path: '/tmp/wm/shot_viewer.png' });
  console.log('SHOTS OK', await tech.page.evaluate(() => JSON.stringify({ k: kelvora.CUR, n: kelvora.TS.size, stat: [...kelvora.TS.values()][0].statTxt })));
} finally {
  await bed.stop();
}
process.exit(0);
