// The remote hand: a mousedown in the technician's viewer until the X server hands the
// ButtonPress to the flip window on the helped PC, against a WebSocket echo round trip
// from the same page to a loopback server (the cheapest "there and back" a page has).
import { spawn } from 'node:child_process';
import path from 'node:path';
import readline from 'node:readline';
import { setTimeout as sleep } from 'node:timers/promises';
import { waitFor } from '../../tests/lib/kelvora.mjs';

const ECHO = path.join(path.dirname(new URL(import.meta.url).pathname), '..', 'signal', 'echo.mjs');

/**
 * n clicks at (x, y) of the page, after three that warm the path; gives the delays in ms
 * from the press's event in the page (its timeStamp) to the ButtonPress reported by flip,
 * split where the host page receives the press on its control channel (hostPage, whose
 * session is HSES). The viewer listens to pointerdown, whose default it prevents (so no
 * mousedown follows): the time is the pointerdown's.
 */
export async function clicks(page, hostPage, flip, { x, y }, n) {
  await page.evaluate(() => {
    window.kvDowns = [];
    addEventListener('pointerdown', (e) => window.kvDowns.push(performance.timeOrigin + e.timeStamp), true);
  });
  await hostPage.evaluate(() => {
    window.kvIn = [];
    kelvora.HSES.dc.ctl.addEventListener('message', (e) => {
      if (typeof e.data === 'string' && e.data.includes('"k":"d"')) window.kvIn.push(performance.timeOrigin + performance.now());
    });
  });
  await page.mouse.move(x, y);
  await sleep(300);
  const delays = [], channel = [], toX = [];
  let missed = 0;
  for (let i = -3; i < n; i++) {
    const before = flip.presses.length;
    await page.mouse.down();
    const got = await waitFor(() => flip.presses.length > before, 'the ButtonPress', 5000).catch(() => false);
    await page.mouse.up();
    const down = await page.evaluate(() => window.kvDowns.at(-1));
    const arrived = await hostPage.evaluate(() => window.kvIn.at(-1));
    if (i >= 0) {
      if (got) {
        const press = flip.presses[before].at;
        delays.push(press - down);
        if (arrived > down && arrived < press) {
          channel.push(arrived - down);
          toX.push(press - arrived);
        }
      } else missed++;
    }
    await sleep(120 + Math.random() * 200);
  }
  return { delays, missed, channel, toX };
}

/** n round trips of a message the size of a click's from the page through a loopback echo. */
export async function echoRoundTrips(page, n) {
  const echo = spawn(process.execPath, [ECHO], { stdio: ['ignore', 'pipe', 'inherit'] });
  try {
    const port = await new Promise((resolve, reject) => {
      readline.createInterface({ input: echo.stdout }).once('line', (l) => resolve(Number(l)));
      echo.once('exit', (c) => reject(new Error(`echo.mjs salió con ${c}`)));
    });
    return await page.evaluate(async ([port, n]) => {
      const ws = new WebSocket(`ws://127.0.0.1:${port}`);
      await new Promise((r, j) => { ws.onopen = r; ws.onerror = j; });
      const msg = JSON.stringify({ t: 'in', ev: [{ k: 'd', b: 0 }] });
      const out = [];
      for (let i = -3; i < n; i++) {
        const t0 = performance.now();
        await new Promise((r) => { ws.onmessage = r; ws.send(msg); });
        if (i >= 0) out.push(performance.now() - t0);
        await new Promise((r) => setTimeout(r, 20));
      }
      ws.close();
      return out;
    }, [port, n]);
  } finally {
    echo.kill('SIGTERM');
  }
}
