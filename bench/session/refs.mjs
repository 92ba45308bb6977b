// The two references that watch the same flips as a session: x11vnc + websockify + noVNC,
// and the floor page (bare capture over a loopback peer connection). The floor page runs in
// a headful Chromium of its own on the host's display (it captures the screen), in a window
// on the secondary monitor so that the flip never covers it. noVNC runs in the browser
// given as `viewer` (the technicians' one, so that both viewers live alike), else in a
// second window of the floor's browser.
import { spawn } from 'node:child_process';
import { createReadStream, mkdtempSync, rmSync, statSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { CHROMIUM } from '../../tests/lib/browser_path.mjs';
import { waitFor } from '../../tests/lib/kelvora.mjs';
import { APP_WINDOW_MEDIA_FLAGS } from '../../tests/lib/session_bed.mjs';

const HERE = path.dirname(new URL(import.meta.url).pathname);
const NOVNC = '/usr/share/novnc';
const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.json': 'application/json' };

/**
 * Chromium's flags for a page that captures the screen or plays WebRTC on the bed: the
 * floor's browser shows its picture as the app window does.
 */
const BROWSER_ARGS = [
  ...APP_WINDOW_MEDIA_FLAGS,
  '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-gpu', '--allow-loopback-in-peer-connection', '--autoplay-policy=no-user-gesture-required',
  '--disable-renderer-backgrounding', '--disable-background-timer-throttling',
  '--disable-backgrounding-occluded-windows', '--disable-features=WebRtcHideLocalIpsWithMdns',
];

const isFile = (f) => {
  try {
    return statSync(f).isFile();
  } catch {
    return false;
  }
};

/** Serves this folder's pages and Debian's noVNC (under /novnc/) on loopback, nothing else. */
function staticServer(port) {
  const srv = http.createServer((req, res) => {
    let p = '';
    try {
      p = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    } catch {}
    const file = p.startsWith('/novnc/') ? path.join(NOVNC, p.slice(7)) : path.join(HERE, path.basename(p));
    if (!(file.startsWith(NOVNC + path.sep) || path.dirname(file) === HERE) || !isFile(file)) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream', 'Cache-Control': 'no-store' });
    createReadStream(file).pipe(res);
  });
  return new Promise((resolve, reject) => {
    srv.once('error', reject);
    srv.listen(port, '127.0.0.1', () => resolve(srv));
  });
}

/** A reference server; the end of what it said is kept for the error message. */
function run(cmd, args) {
  const p = spawn(cmd, args, { stdio: ['ignore', 'ignore', 'pipe'] });
  p.log = '';
  p.stderr.on('data', (d) => { p.log = (p.log + d).slice(-4000); });
  return p;
}

/**
 * Starts the references on display for the monitor geometry clip ("WxH+X+Y").
 * ports: {web, ws, rfb}; floorQuery ("?codec=…") and floorArgs (browser flags) try other
 * settings on the floor.
 * Gives {vnc, floor (pages), floorSize, floorLabel, pids: {x11vnc, websockify}, stop()}.
 */
export async function startRefs({ display, clip, ports, captureSource, viewer, floorQuery = '', floorArgs = [] }) {
  const parts = [];
  const stop = async () => {
    for (const p of parts.reverse()) await p().catch(() => {});
  };
  try {
    const web = await staticServer(ports.web);
    parts.push(() => new Promise((r) => {
      web.close(r);
      web.closeAllConnections();
    }));

    // x11vnc as it comes, limited to the captured monitor; websockify in front for noVNC.
    const x11vnc = run('x11vnc', ['-display', display, '-clip', clip, '-rfbport', String(ports.rfb), '-localhost',
      '-nopw', '-forever', '-shared', '-quiet']);
    parts.push(async () => x11vnc.kill('SIGTERM'));
    const wsfy = run('websockify', [`127.0.0.1:${ports.ws}`, `127.0.0.1:${ports.rfb}`]);
    parts.push(async () => wsfy.kill('SIGTERM'));

    const profile = mkdtempSync(path.join(tmpdir(), 'kelvora-bench-ref-'));
    parts.push(async () => rmSync(profile, { recursive: true, force: true }));
    const browser = await chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM,
      headless: false,
      viewport: null,
      env: { ...process.env, DISPLAY: display },
      args: [...BROWSER_ARGS, ...(process.getuid() === 0 ? ['--no-sandbox'] : []),
        `--auto-select-desktop-capture-source=${captureSource}`, '--window-position=0,0', '--window-size=1000,700', ...floorArgs],
    });
    parts.push(() => browser.close());

    const floor = browser.pages()[0] ?? (await browser.newPage());
    await floor.goto(`http://127.0.0.1:${ports.web}/floor.html${floorQuery}`);
    const f = await waitFor(() => floor.evaluate(() => {
      const f = window.floor;
      return f.state === 'starting' ? null : { state: f.state, size: f.size, label: f.label, error: f.error };
    }), 'the floor page', 30000);
    if (f.state !== 'running') throw new Error(`la página de referencia no capturó: ${f.error}`);

    await waitFor(() => new Promise((r) => {
      const s = http.get(`http://127.0.0.1:${ports.ws}/`, () => { s.destroy(); r(true); }).on('error', () => r(false));
    }), 'websockify', 15000);
    let vnc;
    if (viewer) {
      const ctx = await viewer.newContext({ viewport: { width: 1280, height: 800 } });
      parts.push(() => ctx.close());
      vnc = await ctx.newPage();
    } else vnc = await browser.newPage();
    await vnc.goto(`http://127.0.0.1:${ports.web}/vnc.html?ws=${ports.ws}`);
    const v = await waitFor(() => vnc.evaluate(() => (window.vnc.state !== 'connecting' ? window.vnc : null)), 'noVNC', 30000);
    if (v.state !== 'running') throw new Error(`noVNC no se conectó: ${v.error} ${x11vnc.log}`);
    return { vnc, floor, browser, floorSize: f.size, floorLabel: f.label, pids: { x11vnc: x11vnc.pid, websockify: wsfy.pid }, stop };
  } catch (e) {
    await stop();
    throw e;
  }
}
