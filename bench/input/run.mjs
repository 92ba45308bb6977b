// One line per figure: the median of several runs, raw and as a ratio to /api/diag.
import { spawn } from 'node:child_process';
import { setTimeout as sleep } from 'node:timers/promises';
import { XDesktop } from '../../tests/lib/xdesktop.mjs';
import { startControlled } from '../../tests/lib/xdesktop_session.mjs';

const RUNS = 7;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

const x = await XDesktop.start({ outputs: 2 });
const k = await startControlled(x);
const xev = spawn('xev', ['-geometry', '1900x1000+1030+10', '-event', 'keyboard', '-event', 'mouse'], {
  env: { ...process.env, DISPLAY: x.display },
  stdio: ['ignore', 'pipe', 'ignore'],
});
const xdotool = spawn('xdotool', ['-'], {
  env: { ...process.env, DISPLAY: x.display },
  stdio: ['pipe', 'ignore', 'ignore'],
});
let out = '';
const waiting = new Set();
xev.stdout.on('data', (d) => {
  out += d;
  for (const w of waiting) if (w.done()) { waiting.delete(w); w.resolve(); }
});
/** Resolves as soon as done() holds after xev's output grew (checked on every piece of it). */
function until(done, what) {
  return new Promise((resolve, reject) => {
    const w = { done, resolve };
    if (done()) return resolve();
    waiting.add(w);
    setTimeout(() => { if (waiting.delete(w)) reject(new Error(`no ${what} in 30 s`)); }, 30000);
  });
}
/** Resolves when xev reports the pointer at root (x, y) after this call. */
function motionAt(x, y) {
  const from = out.length;
  return until(() => out.includes(`root:(${x},${y})`, from), `motion at ${x},${y}`);
}
try {
  await sleep(800);
  await k.post('/api/input', { mon: 0, ev: [{ k: 'm', x: 0.5, y: 0.5 }] });
  await k.post('/api/input', { mon: 0, ev: [{ k: 't', s: 'calentar' }] });
  await sleep(300);

  /** Counts the matches of re (a /g expression) in what xev printed, reading each part once. */
  function counter(re) {
    let n = 0;
    re.lastIndex = out.length;
    return () => {
      for (;;) {
        const at = re.lastIndex;
        if (!re.exec(out)) {
          re.lastIndex = at;
          return n;
        }
        n++;
      }
    };
  }
  async function timed(body, re, n) {
    const count = counter(re);
    const t0 = performance.now();
    const seen = until(() => count() >= n, 'events');
    await k.post('/api/input', body);
    await seen;
    return performance.now() - t0;
  }

  const diag = [], moves = [], text = [];
  for (let r = 0; r < RUNS; r++) {
    let t0 = performance.now();
    await k.post('/api/diag', {});
    diag.push(performance.now() - t0);

    // 200 moves; the last one lands on a pixel none of the others touched.
    const ev = Array.from({ length: 200 }, (_, i) => ({ k: 'm', x: 0.1 + (i % 100) / 200, y: 0.3 + r / 50 }));
    ev.push({ k: 'm', x: 0.9, y: 0.9 });
    const marker = /root:\(2752,972\)/g;
    out = '';
    moves.push(await timed({ mon: 0, ev }, marker, 1));

    const chars = [...'abcdefghijñ😀xyz'];
    const s = Array.from({ length: 1000 }, (_, i) => chars[i % chars.length]).join('');
    out = '';
    text.push(await timed({ mon: 0, ev: [{ k: 't', s }] }, /KeyRelease event/g, [...s].length));
    await sleep(500);
  }
  // One move per request, against an empty POST, each alternating with the other so both
  // see the same machine. The move's time ends when xev prints the motion.
  // The floor of any X injector: xdotool, already running and reading its commands from a
  // pipe, moving the pointer the same way, timed the same way (from the write to xev's line).
  const SINGLES = 200;
  const emptyPosts = [], singleMoves = [], singleReplies = [], xdotoolMoves = [];
  for (let i = 0; i < SINGLES; i++) {
    let t0 = performance.now();
    await k.post('/api/diag', {});
    emptyPosts.push(performance.now() - t0);

    const px = 1030 + 20 + (i % 400), py = 10 + 20 + Math.floor(i / 400) + (i % 2) * 300;
    let seen = motionAt(px, py);
    t0 = performance.now();
    await k.post('/api/input', { mon: 0, ev: [{ k: 'm', x: (px - 1024 + 0.5) / 1920, y: (py + 0.5) / 1080 }] });
    singleReplies.push(performance.now() - t0);
    await seen;
    singleMoves.push(performance.now() - t0);

    seen = motionAt(px, py + 150);
    t0 = performance.now();
    xdotool.stdin.write(`mousemove ${px} ${py + 150}\n`);
    await seen;
    xdotoolMoves.push(performance.now() - t0);
  }
  const e = median(emptyPosts), m = median(singleMoves), xd = median(xdotoolMoves);
  console.log(`empty_post_ms ${e.toFixed(2)}`);
  console.log(`input_single_move_ms ${m.toFixed(2)} ratio ${(m / e).toFixed(2)}`);
  // The same move up to our reply, which comes once the X server has taken the event: the
  // rest of the figure above is the X client's turn to run and print.
  const mr = median(singleReplies);
  console.log(`input_single_move_reply_ms ${mr.toFixed(2)} ratio ${(mr / e).toFixed(2)}`);
  console.log(`xdotool_move_ms ${xd.toFixed(2)} ratio ${(xd / e).toFixed(2)}`);
  // What is ours: the move past the floor, against the empty POST it contains.
  console.log(`input_single_move_over_xdotool ${(m / xd).toFixed(2)} beyond_floor_ms ${(m - xd).toFixed(2)} ratio ${((m - xd) / e).toFixed(2)}`);

  const d = median(diag);
  console.log(`diag_post_ms ${d.toFixed(2)}`);
  console.log(`input_200_moves_ms ${median(moves).toFixed(2)} ratio ${(median(moves) / d).toFixed(1)}`);
  console.log(`input_text_1000_chars_ms ${median(text).toFixed(2)} ratio ${(median(text) / d).toFixed(1)}`);
} finally {
  xev.kill();
  xdotool.stdin.end();
  xdotool.kill();
  await k.stop();
  k.cleanup();
  x.stop();
}
