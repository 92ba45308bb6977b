// Shared fixture of the signalling server tests: the real binary on a free loopback port
// over TLS (tests/lib/signal_server.mjs), stopped when the test ends.
import { launchSignal, missingSignal, SIGNAL_BIN } from '../lib/signal_server.mjs';

export { Client, getJson, KEY, registerHost } from '../lib/signal_server.mjs';
export const BIN = SIGNAL_BIN;
export const missingBin = missingSignal;

/**
 * Starts kelvora-signal with `args` and stops it when test `t` ends. `data` reuses a
 * database directory (to restart on the same IDs).
 */
export async function startServer(t, args = [], opts = {}) {
    const srv = await launchSignal(args, opts);
    t.after(async () => {
        await srv.stop();
        srv.cleanup();
    });
    return srv;
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
