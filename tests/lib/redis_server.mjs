// redis-server on a free loopback port for the cluster tests: its own directory, an
// append-only file so that a restart keeps what was written, stopped by the test.
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { freePort } from './signal_server.mjs';

export const missingRedis = (() => {
    try {
        execFileSync('sh', ['-c', 'command -v redis-server'], { stdio: 'ignore' });
        return false;
    } catch {
        return 'redis-server is not installed (scripts/deps/server.apt)';
    }
})();

/** Starts redis-server; `url` is what --redis takes. stop() keeps the data for start() again. */
export async function launchRedis() {
    const dir = mkdtempSync(path.join(tmpdir(), 'kvsig-redis-'));
    const port = await freePort();
    let proc = null;
    let exited = null;
    const r = {
        port, dir,
        url: `redis://127.0.0.1:${port}`,
        get pid() { return proc?.pid; },
        async start() {
            proc = spawn('redis-server', ['--port', String(port), '--bind', '127.0.0.1', '--dir', dir,
                '--save', '', '--appendonly', 'yes', '--appendfsync', 'always', '--logfile', ''],
            { stdio: ['ignore', 'pipe', 'ignore'] });
            exited = new Promise((res) => proc.once('exit', res));
            let out = '';
            const timer = setTimeout(() => proc.kill('SIGKILL'), 10000);
            try {
                await new Promise((res, rej) => {
                    proc.stdout.on('data', (d) => {
                        out = (out + d).slice(-8000);
                        if (/Ready to accept connections/.test(out)) res();
                    });
                    exited.then(() => rej(new Error(`redis-server not ready within 10 s or ended:\n${out}`)));
                });
            } finally {
                clearTimeout(timer);
            }
            proc.stdout.resume();
        },
        /** SIGTERM, then SIGKILL when it is still there 10 s later. */
        async stop() {
            if (!proc || proc.exitCode !== null || proc.signalCode !== null) return;
            proc.kill('SIGTERM');
            if (!(await Promise.race([exited.then(() => true), sleep(10000, false, { ref: false })]))) {
                proc.kill('SIGKILL');
                await exited;
            }
        },
        async cleanup() {
            await r.stop();
            rmSync(dir, { recursive: true, force: true });
        },
    };
    await r.start();
    return r;
}

export const missingHaproxy = (() => {
    try {
        execFileSync('sh', ['-c', 'command -v haproxy'], { stdio: 'ignore' });
        return false;
    } catch {
        return 'haproxy is not installed (scripts/deps/server.apt)';
    }
})();

/**
 * HAProxy on a free loopback port in front of `backends` (plain HTTP ports), checking
 * each on /health as the cluster recipe does. Stop it with stop().
 */
export async function launchHaproxy(backends) {
    const dir = mkdtempSync(path.join(tmpdir(), 'kvsig-haproxy-'));
    const port = await freePort();
    const cfg = path.join(dir, 'haproxy.cfg');
    writeFileSync(cfg, [
        'defaults',
        '  mode http',
        '  timeout connect 2s',
        '  timeout client 30s',
        '  timeout server 30s',
        '  timeout tunnel 60s',
        '  option forwardfor',
        'frontend signal',
        `  bind 127.0.0.1:${port}`,
        '  default_backend nodes',
        'backend nodes',
        '  balance roundrobin',
        '  option httpchk GET /health',
        '  http-check expect status 200',
        ...backends.map((p, i) => `  server n${i} 127.0.0.1:${p} check inter 300ms fall 1 rise 1`),
        '',
    ].join('\n'));
    const proc = spawn('haproxy', ['-db', '-f', cfg], { stdio: 'ignore' });
    const exited = new Promise((res) => proc.once('exit', res));
    return {
        port,
        url: `http://127.0.0.1:${port}`,
        async stop() {
            if (proc.exitCode === null && proc.signalCode === null) {
                proc.kill('SIGTERM');
                if (!(await Promise.race([exited.then(() => true), sleep(10000, false, { ref: false })]))) {
                    proc.kill('SIGKILL');
                    await exited;
                }
            }
            rmSync(dir, { recursive: true, force: true });
        },
    };
}
