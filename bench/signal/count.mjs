// A fixed amount of relay work for instruction counts (callgrind) and syscall counts
// (strace -c) of a server run under a profiler: PAIRS PC/technician pairs on BASE, each
// technician sending SIGNALS signals with WINDOW in flight, each bounced back by its PC.
// Prints one JSON line: the signals relayed (each counted once per hop through the server).
//   node count.mjs BASE PAIRS SIGNALS [WINDOW] [FIRST_ID]
import { pair, signal } from './clients.mjs';

const [base, pairsArg, signalsArg, windowArg = '8', firstId = '930000000'] = process.argv.slice(2);
const PAIRS = Number(pairsArg), SIGNALS = Number(signalsArg), WINDOW = Number(windowArg);

const pairs = [];
for (let i = 0; i < PAIRS; i++) pairs.push(await pair(base, base, String(Number(firstId) + i)));
await Promise.all(pairs.map(({ tech }) => new Promise((res) => {
    let sent = 0, back = 0;
    tech.onframe = () => {
        if (++back === SIGNALS) return res();
        if (sent < SIGNALS) { sent++; tech.send(signal); }
    };
    for (; sent < Math.min(WINDOW, SIGNALS); sent++) tech.send(signal);
})));
console.log(JSON.stringify({ relayed: PAIRS * SIGNALS * 2 }));
for (const { host, tech } of pairs) { host.terminate(); tech.terminate(); }
process.exit(0);
