// Shared fixture of the signalling server tests: a certificate made for the run, the
// real binary on a free loopback port over TLS, and WebSocket clients that trust it.
import { spawn, execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import https from 'node:https';
import { tmpdir } from 'node:os';
import path from 'node:path';
import WebSocket from 'ws';

export const BIN = path.resolve(process.env.KELVORA_SIGNAL_BIN ?? 'build/kelvora-signal');
export const missingBin = existsSync(BIN) ? false : `${BIN} is not built (set KELVORA_SIGNAL_BIN)`;

/** Writes a fresh self-signed certificate for 127.0.0.1 to `cert` and `key`. */
export function makeCert(cert, key) {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
        '-nodes', '-keyout', key, '-out', cert, '-days', '2', '-subj', '/CN=127.0.0.1',
        '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost'], { stdio: 'ignore' });
    return { cert, key, ca: readFileSync(cert) };
}

let tls;
function testCert() {
    if (tls) return tls;
    const dir = mkdtempSync(path.join(tmpdir(), 'kvsig-tls-'));
    process.on('exit', () => rmSync(dir, { recursive: true, force: true }));
    tls = makeCert(path.join(dir, 'cert.pem'), path.join(dir, 'key.pem'));
    return tls;
}

// The opening-frame and binding limits are generous here so that tests that open many
// sockets from 127.0.0.1 test what they are about; the limit tests set their own.
const roomy = ['--open-burst', '1000', '--target-burst', '1000', '--binds-per-hour', '1000'];

/**
 * Starts kelvora-signal with `args` and stops it when test `t` ends. `data` reuses a
 * database directory (to restart on the same IDs); `tlsFiles` ({cert, key, ca}) serves
 * another certificate than the shared one.
 */
export async function startServer(t, args = [], { data, tlsOn = true, tlsFiles } = {}) {
    const dir = data ?? mkdtempSync(path.join(tmpdir(), 'kvsig-data-'));
    const { cert, key, ca } = tlsFiles ?? testCert();
    const tlsArgs = tlsOn ? ['--cert', cert, '--key', key] : [];
    const proc = spawn(BIN, ['--listen', '127.0.0.1:0', '--data', dir, '--threads', '2', ...roomy, ...tlsArgs, ...args],
        { stdio: ['ignore', 'ignore', 'pipe'] });
    let log = '';
    const exited = new Promise((res) => proc.once('exit', (code, sig) => res({ code, sig })));
    const port = await new Promise((res, rej) => {
        proc.stderr.on('data', (d) => {
            log += d;
            const m = /ev=listening .*port=(\d+)/.exec(log);
            if (m) res(Number(m[1]));
        });
        exited.then((e) => rej(new Error(`server exited (${JSON.stringify(e)}):\n${log}`)));
    });
    const clients = [];
    const scheme = tlsOn ? 's' : '';
    const srv = {
        port, data: dir, proc, exited, ca,
        log: () => log,
        /** Resolves with the first match of `re` in the log; fails after `ms`. */
        async waitLog(re, ms = 5000) {
            const until = Date.now() + ms;
            for (;;) {
                const m = re.exec(log);
                if (m) return m;
                if (Date.now() > until) throw new Error(`no ${re} in the log within ${ms} ms:\n${log}`);
                await sleep(50);
            }
        },
        /** Opens a WebSocket on `p` (e.g. "/host/123456789"); `opts` go to `ws`. */
        ws(p, opts = {}) {
            const c = new Client(`ws${scheme}://127.0.0.1:${port}${p}`, { ca, ...opts });
            clients.push(c);
            return c;
        },
        get: (p, opts = {}) => getJson(`http${scheme}://127.0.0.1:${port}${p}`, ca, opts),
        async stop() {
            for (const c of clients) c.ws.terminate();
            if (proc.exitCode === null && proc.signalCode === null) proc.kill('SIGTERM');
            const e = await exited;
            return e;
        },
    };
    t.after(async () => {
        await srv.stop();
        if (!data) rmSync(dir, { recursive: true, force: true });
    });
    return srv;
}

export function getJson(url, ca, opts = {}) {
    return new Promise((res, rej) => {
        https.get(url, { ca, ...opts }, (r) => {
            let body = '';
            r.on('data', (d) => (body += d));
            r.on('end', () => {
                try { res({ status: r.statusCode, headers: r.headers, body: JSON.parse(body) }); }
                catch { res({ status: r.statusCode, headers: r.headers, body }); }
            });
        }).on('error', rej);
    });
}

/** A WebSocket client that queues received frames and lets a test wait for one by `t`. */
export class Client {
    constructor(url, opts) {
        this.ws = new WebSocket(url, opts);
        this.frames = [];
        this.waiters = new Set();
        this.opened = new Promise((res, rej) => {
            this.ws.once('open', res);
            this.ws.once('error', rej);
            this.ws.once('unexpected-response', (_req, r) => rej(new Error(`HTTP ${r.statusCode}`)));
        });
        this.opened.catch(() => {});
        this.closed = new Promise((res) => this.ws.once('close', (code, reason) => res({ code, reason: String(reason) })));
        this.closed.catch(() => {});
        this.ws.on('error', () => {});
        this.ws.on('message', (d, binary) => {
            let m;
            try { m = JSON.parse(String(d)); } catch { m = { t: '<unparsable>', raw: String(d), binary }; }
            this.frames.push(m);
            for (const w of this.waiters) w();
        });
    }

    async send(obj) {
        await this.opened;
        this.ws.send(typeof obj === 'string' || Buffer.isBuffer(obj) ? obj : JSON.stringify(obj));
    }

    /** Resolves with the first queued frame named `t` (removing it); fails after `ms`. */
    next(t, ms = 4000) {
        return new Promise((res, rej) => {
            const look = () => {
                const i = this.frames.findIndex((f) => f.t === t);
                if (i < 0) return false;
                const [f] = this.frames.splice(i, 1);
                this.waiters.delete(look);
                clearTimeout(timer);
                res(f);
                return true;
            };
            const timer = setTimeout(() => {
                this.waiters.delete(look);
                rej(new Error(`no "${t}" within ${ms} ms; got ${JSON.stringify(this.frames)}`));
            }, ms);
            if (!look()) this.waiters.add(look);
        });
    }

    /** Frames named `t` received so far. */
    seen(t) { return this.frames.filter((f) => f.t === t); }

    close() { this.ws.close(); return this.closed; }
}

export const KEY = (n) => String(n).repeat(64).slice(0, 64);
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

/** Registers `id` with `key` and waits for "ready". */
export async function registerHost(srv, id, key = KEY('a'), name = `pc-${id}`, opts = {}) {
    const h = srv.ws(`/host/${id}`, opts);
    await h.send({ t: 'hello', key, name, ver: '1.0.0' });
    await h.next('ready');
    return h;
}
