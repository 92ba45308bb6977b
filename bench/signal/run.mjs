// Measures kelvora-signal against a WebSocket echo server run side by side: relay round
// trip, memory per held /host/ socket, relayed signals per second and the server's CPU time
// per signal, and TLS connections accepted per second against a plain Node TLS server. One
// line per figure. The relay figures are also given against the same relay path through
// the plainest Node relay (echo.mjs /pair/): four TCP hops and the host's bounce, as ours.
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import tls from 'node:tls';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { cpu, frame, open, pair, rss, signal as sig, sleep } from './clients.mjs';

const BIN = path.resolve(process.env.KELVORA_SIGNAL_BIN ?? 'build/kelvora-signal');
const HOLD = Number(process.env.BENCH_HOLD ?? 5000);
const PAIRS = Number(process.env.BENCH_PAIRS ?? 200);
const RTT_N = Number(process.env.BENCH_RTT ?? 2000);
const SECONDS = Number(process.env.BENCH_SECONDS ?? 3);
const TLS_N = Number(process.env.BENCH_TLS ?? 2000);
const WINDOW = 8; // signals in flight per pair

function startProc(cmd, args, pattern, stream) {
    const p = spawn(cmd, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    return new Promise((res, rej) => {
        let out = '';
        p[stream].on('data', (d) => {
            out += d;
            const m = pattern.exec(out);
            if (m) res({ proc: p, port: Number(m[1]) });
        });
        p.once('exit', (c) => rej(new Error(`${cmd} exited ${c}: ${out}`)));
    });
}

// Round trips with one message in flight, the servers taking turns sample by sample so
// that a busy machine slows all alike; medians in microseconds, in the order given.
async function rtts(...targets) {
    const one = async ({ send, sock }) => {
        const t0 = process.hrtime.bigint();
        await new Promise((res) => { sock.onframe = () => res(); send(); });
        return Number(process.hrtime.bigint() - t0) / 1000;
    };
    const times = targets.map(() => []);
    for (let i = 0; i < RTT_N; i++)
        for (const [k, x] of targets.entries()) times[k].push(await one(x));
    for (const x of targets) x.sock.onframe = null;
    const median = (t) => t.sort((x, y) => x - y)[Math.floor(t.length / 2)];
    return times.map(median);
}

// Two sockets linked by the reference relay (echo.mjs /pair/), the second bouncing every
// message back as the host does above.
async function nodePair(base, key) {
    const tech = await open(`${base}/pair/${key}`);
    const host = await open(`${base}/pair/${key}`);
    host.onframe = (m) => host.send(JSON.stringify(m));
    return { host, tech };
}

// TLS connections set up per second: 8 at a time, each through the handshake and one
// request/response, then closed.
async function tlsRate(port, request, ca) {
    let done = 0;
    const t0 = process.hrtime.bigint();
    const worker = async () => {
        while (done < TLS_N) {
            done++;
            await new Promise((res, rej) => {
                const s = tls.connect({ port, host: '127.0.0.1', ca, servername: 'localhost' }, () => s.write(request));
                s.once('data', () => { s.destroy(); res(); });
                s.once('error', rej);
            });
        }
    };
    await Promise.all(Array.from({ length: 8 }, worker));
    return TLS_N / (Number(process.hrtime.bigint() - t0) / 1e9);
}

// Throughput: every socket keeps WINDOW messages in flight for SECONDS. Also the CPU time
// the server (`pid`) spent per message meanwhile: unlike the rate, it hardly moves with
// what else the machine is running.
async function throughput(socks, send, pid) {
    let count = 0, running = true;
    for (const s of socks) {
        s.onframe = () => { count++; if (running) send(s); };
        for (let i = 0; i < WINDOW; i++) send(s);
    }
    await sleep(500);
    const c0 = count, t0 = Date.now(), u0 = cpu(pid);
    await sleep(SECONDS * 1000);
    const n = count - c0, used = cpu(pid) - u0;
    const rate = n / ((Date.now() - t0) / 1000);
    running = false;
    await sleep(300);
    return { rate, cpuUs: (used / n) * 1e6 };
}

async function hold(base, n, path) {
    const socks = [];
    for (let i = 0; i < n; i += 100) {
        const batch = [];
        for (let j = i; j < Math.min(n, i + 100); j++) batch.push(open(`${base}${path(j)}`));
        socks.push(...(await Promise.all(batch)));
    }
    return socks;
}

const data = mkdtempSync(path.join(tmpdir(), 'kvsig-bench-'));
// Every client of the benchmark is one source: the abuse limits are lifted for it.
const serverArgs = ['--data', data, '--threads', process.env.BENCH_THREADS ?? '2', '--msg-rate', '1000000', '--msg-burst', '1000000',
    '--max-conn-per-addr', '1000000', '--max-conn', '1000000', '--max-pending', '1000', '--idle-timeout', '600', '--hello-timeout', '600',
    '--open-rate', '1000000', '--open-burst', '1000000', '--target-rate', '1000000', '--target-burst', '1000000',
    '--max-pending-per-source', '100000', '--binds-per-hour', '1000000'];
const srv = await startProc(BIN, ['--listen', '127.0.0.1:0', ...serverArgs], /ev=listening .*port=(\d+)/, 'stderr');
srv.proc.stderr.resume();
const cert = path.join(data, 'cert.pem'), key = path.join(data, 'key.pem');
execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
    '-keyout', key, '-out', cert, '-days', '1', '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost'],
    { stdio: 'ignore' });
const tsrv = await startProc(BIN, ['--listen', '127.0.0.1:0', '--cert', cert, '--key', key, ...serverArgs, '--data', path.join(data, 't')],
    /ev=listening .*port=(\d+)/, 'stderr');
tsrv.proc.stderr.resume();
const here = path.dirname(new URL(import.meta.url).pathname);
const echo = await startProc(process.execPath, [path.join(here, 'echo.mjs')], /(\d+)/, 'stdout');
const sbase = `ws://127.0.0.1:${srv.port}`, ebase = `ws://127.0.0.1:${echo.port}`;
const line = (name, value, ref, unit, refName = 'echo') =>
    console.log(`${name}: ${(value / ref).toFixed(2)}x reference (kelvora-signal ${value.toFixed(1)} ${unit}, ${refName} ${ref.toFixed(1)} ${unit})`);

try {
    // 1. Relay round trip technician → host → technician vs. one echo round trip, and vs.
    // the same four hops through the reference relay.
    const p = await pair(sbase, sbase, '900000000');
    const e = await open(ebase);
    const np = await nodePair(ebase, 'rtt');
    const [relayUs, echoUs, nodeUs] = await rtts({ send: () => p.tech.send(sig), sock: p.tech },
        { send: () => e.send(sig), sock: e }, { send: () => np.tech.send(sig), sock: np.tech });
    line('signal relay round trip (median)', relayUs, echoUs, 'µs');
    line('signal relay round trip (median)', relayUs, nodeUs, 'µs', 'node relay');
    for (const s of [e, np.host, np.tech]) s.close();

    // 2. Memory per held, registered /host/ socket vs. per held echo socket.
    const s0 = rss(srv.proc.pid), e0 = rss(echo.proc.pid);
    const hosts = await hold(sbase, HOLD, (i) => `/host/${800000000 + i}`);
    await Promise.all(hosts.map((h, i) => {
        h.send(JSON.stringify({ t: 'hello', key: 'h'.repeat(64), name: `pc${i}`, ver: '0' }));
        return frame(h, 'ready', 120000);
    }));
    const echoes = await hold(ebase, HOLD, () => '/');
    await sleep(500);
    line(`memory per held /host/ socket (${HOLD})`, (rss(srv.proc.pid) - s0) / HOLD / 1024,
        (rss(echo.proc.pid) - e0) / HOLD / 1024, 'KiB');
    for (const s of [...hosts, ...echoes]) s.terminate();
    await sleep(500);

    // 3. Signals relayed per second with PAIRS pairs (each counted once, both ways), vs.
    // messages echoed and vs. the reference relay's pairs.
    const pairs = [];
    for (let i = 0; i < PAIRS; i++) pairs.push(await pair(sbase, sbase, String(910000000 + i)));
    // Each technician's signal is relayed twice (to the host and back), so it counts twice.
    const relayed = await throughput(pairs.map((q) => q.tech), (s) => s.send(sig), srv.proc.pid);
    const esocks = await hold(ebase, PAIRS, () => '/');
    const echoed = await throughput(esocks, (s) => s.send(sig), echo.proc.pid);
    for (const s of esocks) s.terminate();
    const npairs = [];
    for (let i = 0; i < PAIRS; i++) npairs.push(await nodePair(ebase, `t${i}`));
    const nrelayed = await throughput(npairs.map((q) => q.tech), (s) => s.send(sig), echo.proc.pid);
    line(`signals relayed per second (${PAIRS} pairs)`, relayed.rate * 2, echoed.rate, 'msg/s');
    line(`signals relayed per second (${PAIRS} pairs)`, relayed.rate * 2, nrelayed.rate * 2, 'msg/s', 'node relay');
    line('server CPU time per relayed signal', relayed.cpuUs / 2, echoed.cpuUs, 'µs');
    line('server CPU time per relayed signal', relayed.cpuUs / 2, nrelayed.cpuUs / 2, 'µs', 'node relay');
    for (const q of [...pairs, ...npairs]) { q.host.terminate(); q.tech.terminate(); }

    // 4. TLS connections per second: kelvora-signal (handshake, GET /health) vs. Node's
    // own TLS server answering one line, both on the same certificate.
    const ca = readFileSync(cert);
    const ref = await startProc(process.execPath, [path.join(here, 'tls.mjs'), cert, key], /(\d+)/, 'stdout');
    const health = 'GET /health HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n';
    const ours = await tlsRate(tsrv.port, health, ca);
    const theirs = await tlsRate(ref.port, health, ca);
    line(`TLS connections accepted per second (${TLS_N}, 8 at a time)`, ours, theirs, 'conn/s', 'node tls');
    ref.proc.kill('SIGTERM');
} finally {
    srv.proc.kill('SIGTERM');
    tsrv.proc.kill('SIGTERM');
    echo.proc.kill('SIGTERM');
    rmSync(data, { recursive: true, force: true });
}
