import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { SessionBed, PRIMARY } from '../../tests/lib/session_bed.mjs';
import { Flip } from '../session/flip.mjs';
const bed = await SessionBed.start({ display: 91 });
try {
  const host = await bed.host('PC');
  const tech = await bed.tech('Tec');
  const k = await tech.connect(host.id, { control: true });
  await host.accept(); await host.waitConnected(); await tech.waitPicture(k);
  const flip = await Flip.start(path.join('build', 'bench', 'flip'), bed.x.display, PRIMARY);
  const snap = (page, host) => page.evaluate(async (host) => {
    const s = host ? kelvora.HSES : [...kelvora.TS.values()][0];
    const r = await s.pc.getStats();
    const o = {};
    r.forEach((x) => {
      if (x.type === 'inbound-rtp' && x.kind === 'video') Object.assign(o, { dec: x.framesDecoded, rb: x.bytesReceived });
      if (x.type === 'outbound-rtp' && x.kind === 'video') Object.assign(o, { enc: x.framesEncoded, sb: x.bytesSent });
      if (x.type === 'data-channel') o[x.label] = [x.messagesSent, x.messagesReceived];
    });
    return o;
  }, host);
  let prev = null;
  const at = await tech.viewerPoint(k, 0.5, 0.5);
  for (let i = 0; i < 60; i++) {
    const phase = i < 20 ? 'still' : i < 40 ? 'flips' : 'moves';
    if (phase === 'flips' && i % 2 === 0) flip.paint(i % 4 ? [230, 40, 40] : [40, 200, 60]);
    if (phase === 'moves') await tech.page.mouse.move(at.x + (i % 5) * 10, at.y);
    const [h, t] = await Promise.all([snap(host.page, true), snap(tech.page, false)]);
    if (prev) console.log(phase, 'enc', h.enc - prev.h.enc, 'sb', h.sb - prev.h.sb, 'dec', t.dec - prev.t.dec, 'rb', t.rb - prev.t.rb, 'ctl', JSON.stringify(t.ctl), JSON.stringify(h.ctl), 'mov', JSON.stringify(t.mov), JSON.stringify(h.mov));
    prev = { h, t };
    await sleep(250);
  }
  await flip.stop();
} finally { await bed.stop(); }
