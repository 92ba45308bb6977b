// kelvora-signal and coturn on loopback for tests: a certificate made for the run, the
// real binaries on free ports, WebSocket clients that trust the certificate.
import { spawn, execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import https from 'node:https';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import WebSocket from 'ws';

export const SIGNAL_BIN = path.resolve(process.env.KELVORA_SIGNAL_BIN ?? 'build/kelvora-signal');
export const missingSignal = existsSync(SIGNAL_BIN) ? false : `${SIGNAL_BIN} is not built (set KELVORA_SIGNAL_BIN)`;

let tls;
/** The run's certificate for 127.0.0.1: paths, its PEM and the base64 SHA-256 of its public key. */
export function testCert() {
    if (tls) return tls;
    const dir = mkdtempSync(path.join(tmpdir(), 'kvsig-tls-'));
    const cert = path.join(dir, 'cert.pem');
    const key = path.join(dir, 'key.pem');
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
        '-nodes', '-keyout', key, '-out', cert, '-days', '2', '-subj', '/CN=127.0.0.1',
        '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost'], { stdio: 'ignore' });
    process.on('exit', () => rmSync(dir, { recursive: true, force: true }));
    const der = execFileSync('openssl', ['pkey', '-in', key, '-pubout', '-outform', 'DER']);
    tls = { cert, key, ca: readFileSync(cert), spki: createHash('sha256').update(der).digest('base64') };
    return tls;
}

export function freePort() {
    return new Promise((res, rej) => {
        const s = createServer().listen(0, '127.0.0.1', () => {
            const { port } = s.address();
            s.close(() => res(port));
        }).on('error', rej);
    });
}

// Every test client comes from 127.0.0.1: the server's per-source limits on opening
// frames and new IDs are lifted so that tests exercise what they are about. The tests of
// those limits pass their own values, which come later and win.
const roomy = ['--open-burst', '1000', '--target-burst', '1000', '--max-pending-per-source', '1000',
    '--binds-per-hour', '1000'];

/**
 * Starts kelvora-signal with `args`; `data` reuses a database directory (to restart on
 * the same IDs); `tlsFiles` ({cert, key, ca}) serves another certificate than the run's.
 * The caller stops it with stop(), which keeps the database for a restart, then cleanup().
 */
export async function launchSignal(args = [], { data, tlsOn = true, tlsFiles } = {}) {
    const dir = data ?? mkdtempSync(path.join(tmpdir(), 'kvsig-data-'));
    const { cert, key, ca } = tlsFiles ?? testCert();
    const tlsArgs = tlsOn ? ['--cert', cert, '--key', key] : [];
    const proc = spawn(SIGNAL_BIN, ['--listen', '127.0.0.1:0', '--data', dir, '--threads', '2', ...roomy, ...tlsArgs, ...args],
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
    return {
        port, data: dir, proc, exited, ca,
        url: `http${scheme}://127.0.0.1:${port}`,
        log: () => log,
        /** Resolves with the first match of `re` in the log; fails after `ms`. */
        async waitLog(re, ms = 5000) {
            for (const until = Date.now() + ms; ; await sleep(50)) {
                const m = re.exec(log);
                if (m) return m;
                if (Date.now() > until) throw new Error(`no ${re} in the log within ${ms} ms:\n${log}`);
            }
        },
        /** Opens a WebSocket on `p` (e.g. "/host/123456789"); `opts` go to `ws`. */
        ws(p, opts = {}) {
            const c = new Client(`ws${scheme}://127.0.0.1:${port}${p}`, { ca, ...opts });
            clients.push(c);
            return c;
        },
        /** GET `p`; `opts` go to https.get (e.g. localAddress). */
        get: (p, opts = {}) => getJson(`http${scheme}://127.0.0.1:${port}${p}`, ca, opts),
        /** SIGTERM; a server still running 10 s later is killed and the stop fails. */
        async stop() {
            for (const c of clients) c.ws.terminate();
            if (proc.exitCode === null && proc.signalCode === null) proc.kill('SIGTERM');
            const ended = await Promise.race([exited, sleep(10000, null, { ref: false })]);
            if (ended) return ended;
            proc.kill('SIGKILL');
            await exited;
            throw new Error(`server still running 10 s after SIGTERM:\n${log.slice(-4000)}`);
        },
        /** Removes the database directory, unless the caller handed it in. */
        cleanup() {
            if (!data) rmSync(dir, { recursive: true, force: true });
        },
    };
}

export const missingCoturn = (() => {
    try {
        execFileSync('sh', ['-c', 'command -v turnserver'], { stdio: 'ignore' });
        return false;
    } catch {
        return 'coturn (turnserver) is not installed (scripts/deps/server.apt)';
    }
})();

/**
 * coturn on 127.0.0.1 with a REST secret (the TURN credentials kelvora-signal hands out);
 * `url` is what --turn-url takes. Stop it with stop().
 */
export async function startCoturn({ secret = 'turn-' + Math.random().toString(36).slice(2), minPort = 49300, maxPort = 49400 } = {}) {
    const port = await freePort();
    const proc = spawn('turnserver', ['-n', '--listening-ip=127.0.0.1', '--relay-ip=127.0.0.1',
        `--listening-port=${port}`, `--min-port=${minPort}`, `--max-port=${maxPort}`, '--use-auth-secret',
        `--static-auth-secret=${secret}`, '--realm=kelvora.test', '--no-tls', '--no-dtls', '--no-cli',
        '--allow-loopback-peers', '--log-file=stdout', '--simple-log', '--no-stdout-log',
        `--pidfile=/tmp/kvsig-turn-${port}.pid`], { stdio: 'ignore' });
    const exited = new Promise((res) => proc.once('exit', res));
    // Ready once it answers a STUN binding request on its port.
    for (let i = 0; i < 100 && !(await stunAnswers(port)); i++) await sleep(50);
    return {
        port, secret, proc,
        url: `turn:127.0.0.1:${port}?transport=udp`,
        async stop() {
            if (proc.exitCode === null && proc.signalCode === null) proc.kill('SIGTERM');
            await exited;
            rmSync(`/tmp/kvsig-turn-${port}.pid`, { force: true });
        },
    };
}

async function stunAnswers(port) {
    const dgram = await import('node:dgram');
    return new Promise((res) => {
        const s = dgram.createSocket('udp4');
        const req = Buffer.alloc(20);
        req.writeUInt16BE(0x0001, 0);
        req.writeUInt32BE(0x2112a442, 4);
        for (let i = 8; i < 20; i++) req[i] = (Math.random() * 256) | 0;
        const timer = setTimeout(() => { s.close(); res(false); }, 200);
        s.on('message', () => { clearTimeout(timer); s.close(); res(true); });
        s.on('error', () => { clearTimeout(timer); s.close(); res(false); });
        s.send(req, port, '127.0.0.1');
    });
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

/** Registers `id` with `key` on `srv` and waits for "ready". */
export async function registerHost(srv, id, key = KEY('a'), name = `pc-${id}`, opts = {}) {
    const h = srv.ws(`/host/${id}`, opts);
    await h.send({ t: 'hello', key, name, ver: '1.0.0' });
    await h.next('ready');
    return h;
}
