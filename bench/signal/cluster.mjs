// kelvora-signal as three nodes on one Redis, against itself on one node in the same run:
//   relay round trip between a technician and a PC on different nodes vs. on one node;
//   memory per held /host/ socket on each of three nodes (BENCH_HOLD spread over them)
//   vs. per socket on a lone node without Redis holding as many;
//   signals relayed per second across nodes vs. on one node, the load generator in a
//   process of its own (bench/signal/load.mjs), with the CPU each process used meanwhile
//   and which of them is the limit.
// One line per figure. Plain WebSockets on loopback, no TLS.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import os, { tmpdir } from 'node:os';
import path from 'node:path';
import { launchRedis } from '../../tests/lib/redis_server.mjs';
import { cpu, frame, open, pair, rss, signal, sleep } from './clients.mjs';

const BIN = path.resolve(process.env.KELVORA_SIGNAL_BIN ?? 'build/kelvora-signal');
const HOLD = Number(process.env.BENCH_HOLD ?? 5000);
const PAIRS = Number(process.env.BENCH_PAIRS ?? 200);
const RTT_N = Number(process.env.BENCH_RTT ?? 2000);
const SECONDS = Number(process.env.BENCH_SECONDS ?? 3);
const here = path.dirname(new URL(import.meta.url).pathname);

// Every client of the benchmark is one source: the abuse limits are lifted for it.
const lifted = ['--threads', '2', '--msg-rate', '1000000', '--msg-burst', '1000000',
    '--max-conn-per-addr', '1000000', '--max-conn', '1000000', '--max-pending', '1000', '--idle-timeout', '600',
    '--hello-timeout', '600', '--open-rate', '1000000', '--open-burst', '1000000', '--target-rate', '1000000',
    '--target-burst', '1000000', '--pair-burst', '1000000', '--max-pending-per-source', '100000',
    '--binds-per-hour', '1000000'];

/** Runs `cmd` until `pattern` shows in `stream`; fails when it ends first or after 20 s. */
function startProc(cmd, args, pattern, stream) {
    const proc = spawn(cmd, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    return new Promise((res, rej) => {
        let out = '';
        const timer = setTimeout(() => { proc.kill('SIGKILL'); rej(new Error(`${cmd}: no ${pattern} within 20 s: ${out}`)); }, 20000);
        proc[stream].on('data', (d) => {
            out = (out + d).slice(-20000);
            const m = pattern.exec(out);
            if (m) { clearTimeout(timer); res({ proc, m }); }
        });
        proc.once('exit', (c) => { clearTimeout(timer); rej(new Error(`${cmd} exited ${c}: ${out}`)); });
    });
}

const dirs = [];
const procs = [];
async function node(extra) {
    const data = mkdtempSync(path.join(tmpdir(), 'kvsig-bench-'));
    dirs.push(data);
    const { proc, m } = await startProc(BIN, ['--listen', '127.0.0.1:0', '--data', data, ...lifted, ...extra],
        /ev=listening .*port=(\d+)/, 'stderr');
    procs.push(proc);
    // Read the log on, or a full pipe would stall the node.
    proc.stderr.resume();
    return { proc, base: `ws://127.0.0.1:${m[1]}` };
}

const line = (name, value, ref, unit, refName) =>
    console.log(`${name}: ${(value / ref).toFixed(2)}x reference (${value.toFixed(1)} ${unit}, ${refName} ${ref.toFixed(1)} ${unit})`);
const median = (t) => t.sort((x, y) => x - y)[Math.floor(t.length / 2)];

// One round trip technician → PC → technician with nothing else in flight, in µs.
async function roundTrip(tech) {
    const t0 = process.hrtime.bigint();
    await new Promise((res) => { tech.onframe = () => res(); tech.send(signal); });
    return Number(process.hrtime.bigint() - t0) / 1000;
}

async function holdHosts(base, first, n) {
    const socks = [];
    for (let i = 0; i < n; i += 100) {
        const batch = [];
        for (let j = i; j < Math.min(n, i + 100); j++) {
            batch.push(open(`${base}/host/${first + j}`).then(async (h) => {
                h.send(JSON.stringify({ t: 'hello', key: 'h'.repeat(64), name: `pc${j}`, ver: '0' }));
                await frame(h, 'ready');
                return h;
            }));
        }
        socks.push(...(await Promise.all(batch)));
    }
    return socks;
}

// The generator's run between two bases, with the CPU seconds per second of wall time
// each watched process used while it counted.
async function generate(hostBase, techBase, firstId, watched) {
    const gen = spawn(process.execPath, [path.join(here, 'load.mjs'), hostBase, techBase, String(firstId), String(PAIRS), String(SECONDS)],
        { stdio: ['ignore', 'pipe', 'inherit'] });
    procs.push(gen);
    const all = { generator: gen.pid, ...watched };
    let out = '';
    const result = await new Promise((res, rej) => {
        const timer = setTimeout(() => { gen.kill('SIGKILL'); rej(new Error(`load generator: no result within 120 s: ${out}`)); }, 120000);
        let before = null, t0 = 0;
        gen.stdout.on('data', (d) => {
            out += d;
            if (!before && out.includes('go\n')) {
                t0 = Date.now();
                before = Object.fromEntries(Object.entries(all).map(([k, pid]) => [k, cpu(pid)]));
            }
            const m = /(\{.*\})\n/.exec(out);
            if (m && before) {
                const secs = (Date.now() - t0) / 1000;
                const cores = Object.fromEntries(Object.entries(all).map(([k, pid]) => [k, (cpu(pid) - before[k]) / secs]));
                clearTimeout(timer);
                res({ rate: JSON.parse(m[1]).rate, cores });
            }
        });
        gen.once('exit', (c) => { if (c) { clearTimeout(timer); rej(new Error(`load generator exited ${c}: ${out}`)); } });
    });
    return result;
}

const redis = await launchRedis();
try {
    const nodes = [];
    for (let i = 0; i < 3; i++) nodes.push(await node(['--redis', redis.url]));
    const [a, b, c] = nodes;
    await sleep(500);

    // 1. Round trips, the two placements taking turns sample by sample.
    const cross = await pair(a.base, b.base, '900000001');
    const same = await pair(a.base, a.base, '900000002');
    const tc = [], ts = [];
    for (let i = 0; i < RTT_N; i++) {
        tc.push(await roundTrip(cross.tech));
        ts.push(await roundTrip(same.tech));
    }
    line('relay round trip across nodes (median)', median(tc), median(ts), 'µs', 'one node');
    for (const q of [cross, same]) { q.host.terminate(); q.tech.terminate(); }

    // 2. Memory per held, registered /host/ socket on each node vs. a lone node.
    const per = Math.ceil(HOLD / 3);
    const lone = await node([]);
    const r0 = nodes.map((n) => rss(n.proc.pid)), l0 = rss(lone.proc.pid);
    const held = [];
    for (const [i, n] of nodes.entries()) held.push(...(await holdHosts(n.base, 800000000 + i * per, per)));
    const alone = await holdHosts(lone.base, 800000000, per);
    await sleep(500);
    const loneKiB = (rss(lone.proc.pid) - l0) / per / 1024;
    for (const [i, n] of nodes.entries()) {
        line(`memory per held /host/ socket on node ${'ABC'[i]} (${per} of ${per * 3})`,
            (rss(n.proc.pid) - r0[i]) / per / 1024, loneKiB, 'KiB', 'lone node');
    }
    for (const s of [...held, ...alone]) s.terminate();
    lone.proc.kill('SIGTERM');
    await sleep(1000);

    // 3. Signals per second, PCs on A, technicians on B, against all on A.
    const watched = { 'node A': a.proc.pid, 'node B': b.proc.pid, redis: redis.pid };
    const across = await generate(a.base, b.base, 910000000, watched);
    const local = await generate(a.base, a.base, 920000000, watched);
    line(`signals relayed per second across nodes (${PAIRS} pairs)`, across.rate, local.rate, 'msg/s', 'one node');
    // Each process's share of what it can use (the generator and Redis one core, a node
    // its two threads, all of them together the machine's cores) says which side is the
    // limit; when none comes near its share, the machine's other work left them too little.
    const caps = { generator: 1, 'node A': 2, 'node B': 2, redis: 1 };
    const machine = os.availableParallelism();
    for (const [name, r] of [['across nodes', across], ['one node', local]]) {
        const use = Object.entries(r.cores).map(([k, v]) => `${k} ${v.toFixed(2)}`).join(', ');
        const [top, topUse] = Object.entries(r.cores).sort(([k1, v1], [k2, v2]) => v2 / caps[k2] - v1 / caps[k1])[0];
        const total = Object.values(r.cores).reduce((x, y) => x + y, 0);
        const limit = topUse / caps[top] >= 0.8 ? top
            : total >= 0.8 * machine ? 'the machine\'s cores, shared by all four'
            : `other work on the machine (load ${os.loadavg()[0].toFixed(1)})`;
        console.log(`CPU cores used ${name}: ${use} (together ${total.toFixed(2)} of ${machine}); limit: ${limit}`);
    }
} finally {
    for (const p of procs) if (p.exitCode === null && p.signalCode === null) p.kill('SIGTERM');
    await redis.cleanup();
    for (const d of dirs) rmSync(d, { recursive: true, force: true });
}
