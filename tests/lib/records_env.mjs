// A kelvora whose per-user key directory (XDG_CONFIG_HOME) is a throw-away one too, so
// tests never touch the real account's key; pass the same configHome to play the same
// user again, another one to play another account.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Kelvora } from './kelvora.mjs';

export function tempConfigHome() {
  return mkdtempSync(join(tmpdir(), 'kelvora-config-'));
}

/** Starts kelvora on home (fresh when omitted) as the user whose config is configHome. */
export async function startAs({ home, configHome, env = {} } = {}) {
  const k = new Kelvora({ home, env: { XDG_CONFIG_HOME: configHome ?? tempConfigHome(), ...env } });
  k.configHome = k.env.XDG_CONFIG_HOME;
  await k.start();
  return k;
}

/** Stops k and removes its data and key directories. */
export async function finish(k) {
  await k.stop();
  k.cleanup();
  rmSync(k.configHome, { recursive: true, force: true });
}

/** The log's messages without their time stamps. */
export function logMessages(k) {
  return k.log().split('\n').filter(Boolean).map((l) => l.slice(20));
}
