// The test bed of a real remote session on this machine, started once per test file:
// an Xorg dummy desktop with two monitors (the primary not leftmost) and openbox, where
// the helped PC's app window runs; kelvora-signal over TLS and coturn on loopback; host
// Kelvoras that open their own app window (Chromium reached over CDP); technician
// Kelvoras whose page runs in one headless Chromium driven by playwright-core. The
// technician side has its own small X server, so that the two clipboards are two.
import { spawn, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { chmodSync, existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { BIN, Kelvora, waitFor } from './kelvora.mjs';
import { launchSignal, missingCoturn, missingSignal, registerHost, startCoturn, testCert } from './signal_server.mjs';
import { XDesktop, xdesktopMissing } from './xdesktop.mjs';
import { XTarget } from './x_target.mjs';
import { SoundDesk } from './sounddesk.mjs';
import { CHROMIUM } from './browser_path.mjs';

/** The primary monitor of the two-output desktop, in root coordinates. */
export const PRIMARY = { x: 1024, y: 0, w: 1920, h: 1080 };

const TRUST_FLAGS = () => [
  '--allow-loopback-in-peer-connection',
  `--ignore-certificate-errors-spki-list=${testCert().spki}`,
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

/**
 * What the app window's Chromium is started with for media (app/app_window.cpp): the
 * technicians' headless browser shows a remote screen as a real technician's app window does.
 */
export const APP_WINDOW_MEDIA_FLAGS = ['--force-fieldtrials=WebRTC-ForcePlayoutDelay/min_ms:0,max_ms:0/'];

/** Why the session bed can't run here, or false when it can. */
export function bedMissing() {
  if (!existsSync(BIN)) return `${BIN} is not built`;
  if (missingSignal) return missingSignal;
  if (missingCoturn) return missingCoturn;
  if (!existsSync(CHROMIUM)) return 'Chromium is not installed (scripts/install-deps.sh installs it)';
  const x = xdesktopMissing(['openbox', 'xdotool', 'xclip', 'Xvfb', 'python3']);
  if (x) return x;
  if (spawnSync('python3', ['-c', 'import tkinter']).status !== 0) return 'falta python3-tk (scripts/deps/testbeds.apt)';
  return false;
}

function freeDisplay(from) {
  for (let n = from; n < from + 10; n++) if (!existsSync(`/tmp/.X11-unix/X${n}`) && !existsSync(`/tmp/.X${n}-lock`)) return n;
  throw new Error(`no free X display from :${from}`);
}

/**
 * The switches that make a browser's microphone play a WAV file of a pure tone of `hz`
 * (sox makes it in `dir`), so that tests find each speaker by its frequency; `hz` may
 * also be the path of a WAV file to play as it is.
 */
function toneFlags(dir, hz) {
  if (typeof hz === 'string') return ['--use-fake-device-for-media-stream', `--use-file-for-fake-audio-capture=${hz}`];
  const wav = join(dir, `tono-${hz}.wav`);
  const r = spawnSync('sox', ['-n', '-r', '48000', '-c', '1', '-b', '16', wav, 'synth', '20', 'sine', String(hz), 'vol', '0.5']);
  if (r.status !== 0) throw new Error(`sox could not make a ${hz} Hz tone: ${r.stderr}`);
  return ['--use-fake-device-for-media-stream', `--use-file-for-fake-audio-capture=${wav}`];
}

/**
 * A directory whose `chromium` adds what the app window needs in tests, then runs Debian's;
 * with `tone`, its microphone plays that tone.
 */
function hostBrowserPath(tone = 0) {
  const dir = mkdtempSync(join(tmpdir(), 'kelvora-bed-browser-'));
  const flags = [
    ...(process.getuid() === 0 ? ['--no-sandbox'] : []),
    ...TRUST_FLAGS(),
    '--remote-debugging-port=0',
    '--disable-gpu',
    ...(tone ? toneFlags(dir, tone) : []),
  ];
  writeFileSync(join(dir, 'chromium'), `#!/bin/sh\nexec ${CHROMIUM} ${flags.join(' ')} "$@"\n`);
  chmodSync(join(dir, 'chromium'), 0o755);
  return dir;
}

/** What both kinds of PC share: the page, its texts and toasts, its settings. */
class PC {
  constructor(bed, name) {
    this.bed = bed;
    this.name = name;
  }

  /** t(key, ...args) evaluated in the page. */
  t(key, ...args) {
    return this.page.evaluate(([k, a]) => kelvora.t(k, ...a), [key, args]);
  }

  /** Records every text the page's toast shows, so a toast replaced quickly is not missed. */
  async watchToasts() {
    await this.page.evaluate(() => {
      const el = document.getElementById('toast');
      // @ts-ignore
      window.__toasts = [];
      const note = () => {
        const text = el.textContent.trim();
        // @ts-ignore
        if (!el.hidden && text) window.__toasts.push(text);
      };
      new MutationObserver(note).observe(el, { childList: true, characterData: true, subtree: true, attributes: true });
    });
  }

  /** Forgets the toasts seen so far. */
  async clearToasts() {
    await this.page.evaluate(() => (window.__toasts.length = 0));
  }

  /**
   * Waits until the toast has shown t(key, ...args) since the last clearToasts(); args
   * null takes any arguments in the text's "{n}" places. A session's toast may start with
   * its peer's name and ": " while other sessions are open.
   */
  async toast(key, args = [], { ms = 45000 } = {}) {
    const want = await this.page.evaluate(([k, a]) => {
      const text = (a ? kelvora.t(k, ...a) : kelvora.t(k)).trim();
      const quote = (x) => x.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
      return '^(?:.*: )?' + (a ? quote(text) : text.split(/\{\d+\}/).map(quote).join('.*')) + '$';
    }, [key, args]);
    try {
      await this.page.waitForFunction((w) => window.__toasts.some((x) => new RegExp(w).test(x)), want, { timeout: ms, polling: 50 });
    } catch (e) {
      const got = await this.page.evaluate(() => window.__toasts).catch(() => '?');
      throw new Error(`${this.name}: no toast ${key} /${want}/ (toasts: ${JSON.stringify(got)})`, { cause: e });
    }
  }

  /** Stores settings through the local API and gives them to the running page. */
  async settings(sections) {
    const r = await this.k.post('/api/ajustes', sections);
    if (!r.json?.ok) throw new Error(`${this.name}: ajustes refused: ${r.body}`);
    await this.page.evaluate((a) => {
      kelvora.AJ = { general: a.general || {}, recibir: a.recibir || {}, llamada: a.llamada || {} };
    }, r.json.ajustes);
  }

  /**
   * Waits until the downloads folder holds `name` and no file still being received; gives
   * its size and SHA-256.
   */
  async received(name, ms = 60000) {
    const path = join(this.downloads, name);
    await waitFor(() => existsSync(path) && !readdirSync(this.downloads).some((n) => n.endsWith('.part')), `${this.name}: ${path} saved`, ms);
    const bytes = readFileSync(path);
    return { name, size: bytes.length, sha256: createHash('sha256').update(bytes).digest('hex') };
  }

  /** What the downloads folder holds, by name. */
  downloaded() {
    return existsSync(this.downloads) ? readdirSync(this.downloads).sort() : [];
  }

  /** Received files go to a folder of this PC's own (xdg-user-dir reads it), never the user's. */
  ownDownloads(k) {
    const conf = join(k.home, 'config');
    mkdirSync(conf, { recursive: true });
    this.downloads = join(k.home, 'Descargas');
    this.setDownloads(this.downloads, k);
    k.env.XDG_CONFIG_HOME = conf;
  }

  /** Points this PC's downloads folder at dir from the next file on. */
  setDownloads(dir, k = this.k) {
    writeFileSync(join(k.home, 'config', 'user-dirs.dirs'), `XDG_DOWNLOAD_DIR="${dir}"\n`);
  }

  /** Runs act(), which opens a file picker, and picks files (paths) in it. */
  async pickFiles(act, files) {
    const [chooser] = await Promise.all([this.page.waitForEvent('filechooser', { timeout: 10000 }), act()]);
    await chooser.setFiles(files, { timeout: 60000 });
  }

  /** Runs fn(arg) in the page. */
  eval(fn, arg) {
    return this.page.evaluate(fn, arg);
  }
}

/** A helped PC: Kelvora with its own app window on the bed's X desktop. */
export class HostPC extends PC {
  async start() {
    if (this.tone) this.browserDir = hostBrowserPath(this.tone);
    this.k = new Kelvora({
      args: ['--no-tray'],
      env: {
        DISPLAY: this.bed.x.display,
        PATH: `${this.browserDir ?? this.bed.browserDir}:/usr/local/bin:/usr/bin:/bin`,
        TRV_SERVER: this.bed.sig.url,
        ...this.bed.sound?.env,
      },
    });
    nameIt(this.k, this.name);
    this.ownDownloads(this.k);
    await this.k.start();
    const profile = join(this.k.data, 'ventana');
    this.profile = profile;
    const port = await waitFor(() => {
      try {
        return Number(readFileSync(join(profile, 'DevToolsActivePort'), 'utf8').split('\n')[0]) || null;
      } catch {
        return null;
      }
    }, `${this.name}: the app window's DevToolsActivePort`, 30000);
    this.browser = await chromium.connectOverCDP(`http://127.0.0.1:${port}`);
    this.page = await waitFor(() => this.browser.contexts().flatMap((c) => c.pages()).find((p) => p.url().startsWith(`http://127.0.0.1:${this.k.port}/`)), `${this.name}: the app window's page`, 30000);
    // The person would allow the microphone once in the app window; its fake one plays the tone.
    if (this.tone) await this.page.context().grantPermissions(['microphone'], { origin: `http://127.0.0.1:${this.k.port}` });
    await this.page.waitForFunction(() => typeof kelvora === 'object' && kelvora.HOST.state === 'online' && kelvora.ID && kelvora.ID.id, null, { timeout: 30000 });
    await this.watchToasts();
    await this.placeWindow();
    this.identity = await this.page.evaluate(() => ({ id: kelvora.ID.id, clave: kelvora.ID.clave }));
    this.id = this.identity.id;
    return this;
  }

  /**
   * Moves the app window onto the left monitor, so that the primary one shows only what a
   * test puts there (the window comes to the front on every request).
   */
  async placeWindow() {
    const pid = this.browserPids()[0];
    const win = await waitFor(() => {
      const r = spawnSync('xdotool', ['search', '--onlyvisible', '--pid', String(pid)], { env: { ...process.env, DISPLAY: this.bed.x.display }, encoding: 'utf8' });
      return r.stdout.split('\n').filter(Boolean).pop();
    }, `${this.name}: the app window on the desktop`, 20000);
    this.bed.x.run('wmctrl', ['-i', '-r', win, '-e', '0,0,0,1000,740']);
    this.window = win;
  }

  /** Waits for the request dialog and gives its text. */
  async request() {
    await this.page.waitForSelector('#reqModal:not([hidden])', { timeout: 20000 });
    return this.page.textContent('#reqBox');
  }

  acceptButton() {
    return this.buttonIn('#reqBox', 'accept');
  }

  async buttonIn(scope, key) {
    const text = (await this.t(key)).trim();
    return this.page.locator(`${scope} button`).filter({ hasText: text }).first();
  }

  /** Accepts the pending request as soon as the dialog lets it. */
  async accept() {
    await this.request();
    await (await this.acceptButton()).click({ timeout: 10000 });
  }

  async reject() {
    await this.request();
    await (await this.buttonIn('#reqBox', 'reject')).click();
  }

  /** The host session once its peer connection stands. */
  async waitConnected() {
    await this.page.waitForFunction(() => kelvora.HSES && kelvora.HSES.connected, null, { timeout: 90000 });
  }

  async waitNoSession() {
    await this.page.waitForFunction(() => !kelvora.HSES, null, { timeout: 30000 });
  }

  /** The secondary's capture window started ahead, its page loaded (its title is on the X desktop). */
  async waitCaptureAhead(ms) {
    await waitFor(() => /\[CAPTURA\] ventana auxiliar para la pantalla 2/.test(this.k.log()), `${this.name}: the capture window started ahead`, ms);
    await waitFor(() => {
      try {
        return this.bed.x.run('xdotool', ['search', '--name', '^Captura Kv']).trim() !== '';
      } catch {
        return false;
      }
    }, 'the capture page loaded', ms);
  }

  /** Chromium's processes of this app window, the browser (the oldest) first. */
  browserPids() {
    const r = spawnSync('pgrep', ['-f', '--', `--user-data-dir=${this.profile}`], { encoding: 'utf8' });
    return r.stdout.split('\n').filter(Boolean).map(Number).sort((a, b) => startTime(a) - startTime(b));
  }

  /** Kills the app window's browser outright, as a crash would. */
  killBrowser() {
    const [pid] = this.browserPids();
    if (pid) process.kill(pid, 'SIGKILL');
  }

  async stop() {
    await this.browser?.close().catch(() => {});
    await this.k?.stop();
    for (const pid of this.browserPids()) {
      try {
        process.kill(pid, 'SIGKILL');
      } catch {}
    }
    await waitFor(() => this.browserPids().length === 0, `${this.name}: its browser gone`, 10000).catch(() => {});
    this.k?.cleanup();
    if (this.browserDir) rmSync(this.browserDir, { recursive: true, force: true });
  }
}

function startTime(pid) {
  try {
    return Number(readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ')[19]);
  } catch {
    return Infinity;
  }
}

/** The display name in the settings file, so that the page has it from its first moment. */
function nameIt(k, name) {
  mkdirSync(k.data, { recursive: true });
  writeFileSync(join(k.data, 'kelvora.ini'), `[general]\nnombre = ${name}\n`);
}

/** A helping PC: Kelvora without a window, its page in the bed's headless Chromium. */
export class TechPC extends PC {
  async start() {
    this.k = new Kelvora({ env: { DISPLAY: this.bed.techDisplay, TRV_SERVER: this.bed.sig.url } });
    nameIt(this.k, this.name);
    this.ownDownloads(this.k);
    await this.k.start();
    const browser = this.tone ? await (this.ownBrowser = this.bed.launchBrowser(toneFlags(this.bed.toneDir(), this.tone))) : await this.bed.browser();
    this.ctx = await browser.newContext({ viewport: { width: 1280, height: 800 }, permissions: this.tone ? ['microphone'] : [] });
    this.page = await this.ctx.newPage();
    await this.page.goto(`http://127.0.0.1:${this.k.port}/`);
    await this.page.waitForFunction(() => typeof kelvora === 'object' && kelvora.ID && kelvora.ID.id, null, { timeout: 30000 });
    await this.watchToasts();
    return this;
  }

  /** Types the ID (and password) in the connect card and clicks Connect; gives the new session's key. */
  async connect(id, { pass = '', control = true } = {}) {
    const before = await this.page.evaluate(() => [...kelvora.TS.keys()]);
    await this.page.evaluate(() => {
      if (!document.getElementById('viewer').hidden) kelvora.minViewer();
      kelvora.showTab('conectar');
    });
    await this.page.fill('#tId', String(id));
    await this.page.fill('#tKey', pass);
    await this.page.setChecked('#tCtl', control);
    await this.page.click('#btnConnect');
    return this.page
      .waitForFunction((b) => [...kelvora.TS.keys()].find((k) => !b.includes(k)) || null, before, { timeout: 5000 })
      .then((h) => h.jsonValue())
      .catch(() => null);
  }

  /** Waits until session k's video shows a picture; gives its intrinsic size. */
  async waitPicture(k) {
    const h = await this.page.waitForFunction((k) => {
      const s = kelvora.TS.get(k);
      return s && s.connected && s.vid && s.vid.videoWidth > 0 && s.vid.readyState >= 2 && { w: s.vid.videoWidth, h: s.vid.videoHeight };
    }, k, { timeout: 90000, polling: 100 });
    return h.jsonValue();
  }

  /**
   * Where session k's current frame shows a colour: the bounding box of the pixels within
   * `tol` of rgb, as fractions of the frame, or null. Scanned at a quarter of the size.
   */
  findColour(k, rgb, tol = 40) {
    return this.page.evaluate(([k, rgb, tol]) => {
      const v = kelvora.TS.get(k)?.vid;
      if (!v || !v.videoWidth) return null;
      const w = Math.max(1, Math.round(v.videoWidth / 4));
      const h = Math.max(1, Math.round(v.videoHeight / 4));
      const c = document.createElement('canvas');
      c.width = w;
      c.height = h;
      const g = c.getContext('2d', { willReadFrequently: true });
      g.drawImage(v, 0, 0, w, h);
      const d = g.getImageData(0, 0, w, h).data;
      let x0 = w, y0 = h, x1 = -1, y1 = -1, n = 0;
      for (let y = 0; y < h; y++) {
        for (let x = 0; x < w; x++) {
          const i = (y * w + x) * 4;
          if (Math.abs(d[i] - rgb[0]) <= tol && Math.abs(d[i + 1] - rgb[1]) <= tol && Math.abs(d[i + 2] - rgb[2]) <= tol) {
            n++;
            if (x < x0) x0 = x;
            if (x > x1) x1 = x;
            if (y < y0) y0 = y;
            if (y > y1) y1 = y;
          }
        }
      }
      if (n < 16) return null;
      return { x0: x0 / w, y0: y0 / h, x1: (x1 + 1) / w, y1: (y1 + 1) / h, n };
    }, [k, rgb, tol]);
  }

  /** Waits until a frame of session k shows the colour; gives where (see findColour). */
  async waitColour(k, rgb, tol) {
    return waitFor(() => this.findColour(k, rgb, tol), `${this.name}: the colour ${rgb} in the video`, 20000);
  }

  /**
   * Page coordinates of the point (fx, fy), as fractions of the remote picture, on the
   * viewer: the video's box with the picture centred in it, as the viewer shows it.
   */
  async viewerPoint(k, fx, fy) {
    return this.page.evaluate(([k, fx, fy]) => {
      const v = kelvora.TS.get(k).vid;
      const r = v.getBoundingClientRect();
      const vw = v.videoWidth || 16;
      const vh = v.videoHeight || 9;
      const sc = Math.min(r.width / vw, r.height / vh);
      const left = r.left + (r.width - vw * sc) / 2;
      const top = r.top + (r.height - vh * sc) / 2;
      return { x: left + fx * vw * sc, y: top + fy * vh * sc };
    }, [k, fx, fy]);
  }

  /** Clicks the viewer where the remote picture shows the root point (rx, ry) of the primary monitor. */
  async clickRemote(k, rx, ry, { button = 'left' } = {}) {
    const p = await this.viewerPoint(k, (rx - PRIMARY.x) / PRIMARY.w, (ry - PRIMARY.y) / PRIMARY.h);
    await this.page.mouse.click(p.x, p.y, { button });
    return p;
  }

  /** Picks item `act`'s text t(key) in the menu opened by the viewer bar's button `barId`. */
  async menuPick(barId, key, ...args) {
    await this.page.click(`#${barId}`);
    await this.page.waitForSelector('#menu:not([hidden])', { timeout: 5000 });
    const text = (await this.t(key, ...args)).trim();
    await this.page.locator('#menu button').filter({ hasText: text }).first().click();
  }

  /** Session k's record fields (plain values only). */
  session(k) {
    return this.page.evaluate((k) => {
      const s = kelvora.TS.get(k);
      if (!s) return null;
      const out = {};
      for (const [f, v] of Object.entries(s)) if (v === null || ['string', 'number', 'boolean'].includes(typeof v)) out[f] = v;
      return out;
    }, k);
  }

  /** Waits until session k is gone from the map. */
  async waitGone(k, ms = 40000) {
    await this.page.waitForFunction((k) => !kelvora.TS.has(k), k, { timeout: ms });
  }

  /** Ends every session this page holds, without waiting on the peers. */
  async endAll() {
    await this.page.evaluate(() => {
      for (const s of [...kelvora.TS.values()]) kelvora.endSession(s, 'local');
    });
  }

  async stop() {
    await this.ctx?.close().catch(() => {});
    if (this.ownBrowser) await (await this.ownBrowser).close().catch(() => {});
    await this.k?.stop();
    this.k?.cleanup();
  }
}

/** The bed: start() once per file, then hosts, technicians and targets; stop() in after(). */
export class SessionBed {
  /**
   * signalArgs go to kelvora-signal (e.g. lockout limits); display is the first X display
   * number to try; with sound, the helped PCs play into a PulseAudio null sink (bed.sound).
   */
  static async start({ signalArgs = [], display = 60, sound = false } = {}) {
    const bed = new SessionBed();
    bed.pcs = [];
    bed.targets = [];
    bed.fakes = [];
    try {
      bed.x = await XDesktop.start({ outputs: 2, display: `:${freeDisplay(display)}` });
      bed.wm = spawn('openbox', ['--sm-disable'], { env: { ...process.env, DISPLAY: bed.x.display }, stdio: 'ignore' });
      await waitFor(() => bed.x.run('xprop', ['-root', '_NET_SUPPORTING_WM_CHECK']).includes('window id'), 'openbox');
      const n = freeDisplay(Number(bed.x.display.slice(1)) + 1);
      bed.techX = spawn('Xvfb', [`:${n}`, '-screen', '0', '1280x800x24', '-nolisten', 'tcp'], { stdio: 'ignore' });
      bed.techDisplay = `:${n}`;
      // The technician's X server, for its clipboard.
      bed.techX11 = Object.assign(new XDesktop(), { display: bed.techDisplay });
      await waitFor(() => spawnSync('xdpyinfo', [], { env: { ...process.env, DISPLAY: bed.techDisplay } }).status === 0, 'the technician X server');
      bed.turn = await startCoturn();
      bed.sig = await launchSignal(['--turn-url', bed.turn.url, '--turn-secret', bed.turn.secret, ...signalArgs]);
      bed.browserDir = hostBrowserPath();
      if (sound) bed.sound = SoundDesk.start();
    } catch (e) {
      await bed.stop();
      throw e;
    }
    return bed;
  }

  /** The one headless Chromium of the technicians' pages that need no microphone. */
  browser() {
    this.techBrowser ??= this.launchBrowser();
    return this.techBrowser;
  }

  /** A headless Chromium for technicians' pages, with extra switches. */
  launchBrowser(extra = []) {
    return chromium.launch({
      executablePath: CHROMIUM,
      headless: true,
      args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), ...TRUST_FLAGS(), ...APP_WINDOW_MEDIA_FLAGS, '--disable-features=WebRtcHideLocalIpsWithMdns', '--autoplay-policy=no-user-gesture-required', ...extra],
    });
  }

  /** Where the tones of technicians' microphones are kept until stop(). */
  toneDir() {
    this.tones ??= mkdtempSync(join(tmpdir(), 'kelvora-bed-tones-'));
    return this.tones;
  }

  /** A helped PC; with `tone` (Hz) its microphone plays that tone, with permission given. */
  async host(name = 'PC de Ana', { tone = 0 } = {}) {
    const h = Object.assign(new HostPC(this, name), { tone });
    this.pcs.push(h);
    return h.start();
  }

  /** A helping PC; with `tone` (Hz, or a WAV file's path) its page gets its own browser whose microphone plays it. */
  async tech(name = 'Técnico Beto', { tone = 0 } = {}) {
    const t = Object.assign(new TechPC(this, name), { tone });
    this.pcs.push(t);
    return t.start();
  }

  /** A window of colour "#rrggbb" at rect (root coordinates) on the host's desktop. */
  async target(rect, colour) {
    const t = await XTarget.open(this.x.display, rect, colour);
    this.targets.push(t);
    return t;
  }

  /** A PC registered under `id` by a plain WebSocket client that never answers a request. */
  async fakeHost(id) {
    const h = await registerHost(this.sig, id);
    this.fakes.push(h);
    return h;
  }

  /**
   * Back to no session and no request anywhere, whatever a test left behind, so that one
   * failure does not take the next tests with it; toasts seen so far are forgotten.
   */
  async reset() {
    for (const pc of this.pcs) {
      if (!pc.page || pc.page.isClosed()) continue;
      await pc.page.evaluate(() => {
        for (const s of [...kelvora.TS.values()]) kelvora.endSession(s, 'local');
        if (kelvora.HSES) kelvora.endSession(kelvora.HSES, 'local');
        if (kelvora.HOST.req) kelvora.rejectReq();
      });
    }
    for (const pc of this.pcs) {
      if (!pc.page || pc.page.isClosed()) continue;
      await pc.page.waitForFunction(() => kelvora.TS.size === 0 && !kelvora.HSES && !kelvora.HOST.req, null, { timeout: 30000 });
      await pc.clearToasts();
    }
  }

  /** Puts text on the technician's clipboard; kill() the returned owner when done. */
  techOfferClipboard(text) {
    return this.techX11.offerClipboard(text);
  }

  techClipboard() {
    return this.techX11.clipboard();
  }

  /** The focused window of the host's desktop, as a decimal id. */
  focused() {
    return Number(this.x.run('xdotool', ['getwindowfocus']).trim());
  }

  async stop() {
    for (const t of this.targets ?? []) await t.close();
    for (const f of this.fakes ?? []) f.ws.terminate();
    for (const pc of this.pcs ?? []) await pc.stop().catch(() => {});
    if (this.techBrowser) await (await this.techBrowser).close().catch(() => {});
    await this.sig?.stop();
    this.sig?.cleanup();
    await this.turn?.stop();
    if (this.techX) {
      this.techX.kill();
      await new Promise((r) => (this.techX.exitCode !== null ? r() : this.techX.once('exit', r)));
    }
    this.wm?.kill();
    this.x?.stop();
    this.sound?.stop();
    if (this.browserDir) rmSync(this.browserDir, { recursive: true, force: true });
    if (this.tones) rmSync(this.tones, { recursive: true, force: true });
  }
}
