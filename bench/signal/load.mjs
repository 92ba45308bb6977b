// The load generator of the cross-node throughput figure, in a process of its own so that
// its CPU time can be told apart from the servers': PAIRS PC/technician pairs, PCs on
// HOST_BASE and technicians on TECH_BASE, each technician keeping WINDOW signals in flight
// that its PC bounces back. Prints "go" when the pairs stand, then after SECONDS one JSON
// line with the signals relayed per second.
//   node load.mjs HOST_BASE TECH_BASE FIRST_ID PAIRS SECONDS
import { pair, signal, sleep } from './clients.mjs';

const [hostBase, techBase, firstId, pairsArg, secondsArg] = process.argv.slice(2);
const PAIRS = Number(pairsArg), SECONDS = Number(secondsArg), WINDOW = 8;

const pairs = [];
for (let i = 0; i < PAIRS; i++) pairs.push(await pair(hostBase, techBase, String(Number(firstId) + i)));
let count = 0, running = true;
for (const { tech } of pairs) {
    tech.onframe = () => { count++; if (running) tech.send(signal); };
    for (let i = 0; i < WINDOW; i++) tech.send(signal);
}
await sleep(500);
console.log('go');
const c0 = count, t0 = Date.now();
await sleep(SECONDS * 1000);
// Each technician's signal is relayed twice (to the PC and back): it counts twice.
console.log(JSON.stringify({ rate: ((count - c0) * 2) / ((Date.now() - t0) / 1000) }));
running = false;
for (const { host, tech } of pairs) { host.terminate(); tech.terminate(); }
process.exit(0);
