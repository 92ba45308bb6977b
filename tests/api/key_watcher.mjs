// An xev window on a monitor of the X test bed, reading the key events it gets.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { setTimeout as sleep } from 'node:timers/promises';
import { waitFor } from '../lib/kelvora.mjs';

/** Opens the window at geometry and puts the pointer in it through k's /api/input. */
export async function keyWatcher(x, k, { geometry = '400x300+1100+100', mon = 0, at = { x: 0.1, y: 0.2 } } = {}) {
  const p = spawn('xev', ['-geometry', geometry, '-event', 'keyboard'], {
    env: { ...process.env, DISPLAY: x.display },
    stdio: ['ignore', 'pipe', 'ignore'],
  });
  let out = '';
  p.stdout.on('data', (d) => { out += d; });
  await waitFor(() => {
    try {
      return x.run('xdotool', ['search', '--onlyvisible', '--name', '^Event Tester$']).trim() !== '';
    } catch {
      return false;
    }
  }, 'the xev window');
  // Without a window manager the focus follows the pointer: put it inside the window.
  const r = await k.post('/api/input', { mon, ev: [{ k: 'm', ...at }] });
  assert.deepEqual(r.json, { ok: true });
  // xev selects its events right after mapping; give it that moment before typing.
  await sleep(300);
  const events = () =>
    [...out.matchAll(/(KeyPress|KeyRelease) event[^]*?keycode (\d+) \(keysym 0x([0-9a-f]+)/g)].map((m) => ({
      type: m[1] === 'KeyPress' ? 'down' : 'up',
      keycode: Number(m[2]),
      keysym: parseInt(m[3], 16),
    }));
  return { events, stop: () => p.kill() };
}
