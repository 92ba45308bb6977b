// Shared fixture of the signalling server tests: the real binary on a free loopback port
// over TLS (tests/lib/signal_server.mjs), stopped when the test ends.
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { launchSignal, missingSignal, SIGNAL_BIN } from '../lib/signal_server.mjs';

export { Client, getJson, KEY, registerHost } from '../lib/signal_server.mjs';
export const BIN = SIGNAL_BIN;
export const missingBin = missingSignal;

/**
 * Starts kelvora-signal with `args` and stops it when test `t` ends. `data` reuses a
 * database directory (to restart on the same IDs); `tlsFiles` ({cert, key, ca}) serves
 * another certificate than the run's.
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

/** Writes a fresh self-signed certificate for 127.0.0.1 to `cert` and `key`. */
export function makeCert(cert, key) {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
        '-nodes', '-keyout', key, '-out', cert, '-days', '2', '-subj', '/CN=127.0.0.1',
        '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost'], { stdio: 'ignore' });
    return { cert, key, ca: readFileSync(cert) };
}

/** Resolves as `promise` does, or fails saying `what` did not happen within `ms`. */
export function within(promise, ms, what) {
    let timer;
    const late = new Promise((_res, rej) => {
        timer = setTimeout(() => rej(new Error(`${what}: not within ${ms} ms`)), ms);
    });
    return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}
