// Starts the real kelvora binary on a throw-away data directory and talks HTTP to it.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, existsSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import http from 'node:http';
import { setTimeout as sleep } from 'node:timers/promises';

export const BUILD = process.env.KELVORA_BUILD || join(process.cwd(), 'build');
export const BIN = join(BUILD, 'kelvora');

export function tempHome() {
  return mkdtempSync(join(tmpdir(), 'kelvora-test-'));
}

export function dataDir(home) {
  return join(home, 'Kelvora', 'data');
}

/** Reads a JSON file of the data directory; null when missing or broken. */
export function readState(home, name) {
  try {
    return JSON.parse(readFileSync(join(dataDir(home), name), 'utf8'));
  } catch {
    return null;
  }
}

export async function waitFor(fn, what, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

/**
 * One raw HTTP request. headers may set Host freely (fetch would not).
 * @returns {Promise<{status:number, headers:object, body:string, json:any}>}
 */
export function request(port, method, path, { headers = {}, body, hostHeader } = {}) {
  return new Promise((resolve, reject) => {
    const h = { Host: hostHeader ?? `127.0.0.1:${port}`, ...headers };
    if (hostHeader === null) delete h.Host;
    const data = body === undefined ? undefined : typeof body === 'string' || Buffer.isBuffer(body) ? body : JSON.stringify(body);
    if (data !== undefined) h['Content-Length'] = Buffer.byteLength(data);
    const req = http.request({ host: '127.0.0.1', port, method, path, headers: h, setHost: false, agent: false }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const text = Buffer.concat(chunks).toString('utf8');
        let json;
        try { json = JSON.parse(text); } catch { json = undefined; }
        resolve({ status: res.statusCode, headers: res.headers, body: text, json });
      });
    });
    req.on('error', reject);
    if (data !== undefined) req.write(data);
    req.end();
  });
}

/**
 * Talks to a running copy on this.port with its token; subclasses set port and `data`
 * (the data directory).
 */
export class LocalClient {
  /** The session token, read from the main page as the app window would. */
  async readToken() {
    const page = await this.get('/');
    const m = page.body.match(/const TOKEN = "([0-9a-f]{32})"/);
    this.token = m ? m[1] : null;
  }

  get(path, opts = {}) {
    return request(this.port, 'GET', path, opts);
  }

  post(path, body = {}, { headers = {}, ...opts } = {}) {
    return request(this.port, 'POST', path, {
      ...opts,
      body,
      headers: { 'Content-Type': 'application/json', 'X-Token': this.token, ...headers },
    });
  }

  log() {
    try {
      return readFileSync(join(this.data, 'kelvora.log'), 'utf8');
    } catch {
      return '';
    }
  }
}

/** A running kelvora: start(), then get/post, then stop(). */
export class Kelvora extends LocalClient {
  constructor({ args = ['--no-window', '--no-tray'], env = {}, home, bin = BIN } = {}) {
    super();
    this.home = home ?? tempHome();
    this.args = args;
    this.bin = bin;
    this.env = { ...process.env, LOCALAPPDATA: this.home, ...env };
    this.output = '';
  }

  /** The data directory this copy uses. */
  get data() {
    return dataDir(this.home);
  }

  async start() {
    this.proc = spawn(this.bin, this.args, { env: this.env, stdio: ['ignore', 'pipe', 'pipe'] });
    this.proc.stdout.on('data', (d) => { this.output += d; });
    this.proc.stderr.on('data', (d) => { this.output += d; });
    this.exited = new Promise((r) => this.proc.on('exit', (code) => r(code)));
    const inst = await waitFor(() => {
      const s = readState(this.home, 'instancia.json');
      return s && s.pid === this.proc.pid ? s : null;
    }, 'instancia.json');
    this.port = inst.port;
    await this.readToken();
    return this;
  }

  async stop() {
    if (this.proc && this.proc.exitCode === null && this.proc.signalCode === null) {
      this.proc.kill('SIGKILL');
      await this.exited;
    }
  }

  cleanup() {
    if (existsSync(this.home)) rmSync(this.home, { recursive: true, force: true });
  }
}
