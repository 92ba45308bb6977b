// Instructions kelvora-signal spends per relayed signal, the figure a loaded machine does
// not move: the server runs under callgrind twice, once relaying a few signals and once
// many (count.mjs), and the difference of the two totals over the difference of the
// signals leaves out start-up, registration and shutdown. With BENCH_STRACE=1 the same two
// runs go under `strace -c -f` instead and give system calls per relayed signal.
//   KELVORA_SIGNAL_BIN (build/kelvora-signal), BENCH_PAIRS (20), BENCH_SIGNALS (500),
//   BENCH_THREADS (2)
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

const BIN = path.resolve(process.env.KELVORA_SIGNAL_BIN ?? 'build/kelvora-signal');
const PAIRS = Number(process.env.BENCH_PAIRS ?? 20);
const SIGNALS = Number(process.env.BENCH_SIGNALS ?? 500);
const STRACE = process.env.BENCH_STRACE === '1';
const here = path.dirname(new URL(import.meta.url).pathname);

const serverArgs = ['--threads', process.env.BENCH_THREADS ?? '2', '--msg-rate', '1000000', '--msg-burst', '1000000',
    '--idle-timeout', '600', '--hello-timeout', '600', '--open-rate', '1000000', '--open-burst', '1000000',
    '--target-rate', '1000000', '--target-burst', '1000000', '--binds-per-hour', '1000000'];

// One server run under the profiler relaying `signals` per pair; answers the profile's
// total (instructions, or system calls by name).
async function run(signals) {
    const dir = mkdtempSync(path.join(tmpdir(), 'kvsig-count-'));
    const out = path.join(dir, 'profile');
    const tool = STRACE ? ['strace', '-c', '-f', '-o', out] : ['valgrind', '--tool=callgrind', `--callgrind-out-file=${out}`];
    const srv = spawn(tool[0], [...tool.slice(1), BIN, '--listen', '127.0.0.1:0', '--data', dir, ...serverArgs],
        { stdio: ['ignore', 'ignore', 'pipe'] });
    try {
        const port = await new Promise((res, rej) => {
            let err = '';
            srv.stderr.on('data', (d) => {
                err += d;
                const m = /ev=listening .*port=(\d+)/.exec(err);
                if (m) res(Number(m[1]));
            });
            srv.once('exit', (c) => rej(new Error(`server exited ${c}: ${err.slice(-2000)}`)));
        });
        const relayed = JSON.parse(execFileSync(process.execPath,
            [path.join(here, 'count.mjs'), `ws://127.0.0.1:${port}`, String(PAIRS), String(signals)], { encoding: 'utf8' })).relayed;
        const exited = new Promise((res) => srv.once('exit', res));
        // strace hands a SIGTERM of its own to nobody: the server under it is stopped.
        const server = STRACE ? Number(readFileSync(`/proc/${srv.pid}/task/${srv.pid}/children`, 'utf8').trim()) : srv.pid;
        process.kill(server, 'SIGTERM');
        await exited;
        const text = readFileSync(out, 'utf8');
        if (!STRACE) return { relayed, total: { instructions: Number(/^summary: (\d+)/m.exec(text)[1]) } };
        const total = {};
        for (const m of text.matchAll(/^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$/gm)) total[m[2]] = Number(m[1]);
        return { relayed, total };
    } finally {
        srv.kill('SIGKILL');
        rmSync(dir, { recursive: true, force: true });
    }
}

const few = await run(Math.max(1, Math.floor(SIGNALS / 10)));
const many = await run(SIGNALS);
const n = many.relayed - few.relayed;
const per = Object.entries(many.total)
    .map(([k, v]) => [k, (v - (few.total[k] ?? 0)) / n])
    .filter(([, v]) => Math.abs(v) >= 0.01)
    .sort((x, y) => y[1] - x[1]);
console.log(`${STRACE ? 'system calls' : 'instructions'} per relayed signal (${PAIRS} pairs, ${n} signals): ` +
    per.map(([k, v]) => `${k} ${v.toFixed(STRACE ? 2 : 0)}`).join(', '));
