#!/usr/bin/env bash
# A real session on the test bed (tests/lib/session_bed.mjs) against references in the same
# run, on the same picture:
#   glass to glass: a window over the host's primary monitor flips colour (still, then under
#   full-screen motion, then under motion in each quality); the time until the technician's
#   <video> shows it, against x11vnc + noVNC and against bare Chromium capture over a
#   loopback peer connection (the floor), all together and each pipeline alone, with where
#   each one's time goes and how its encoder moved;
#   the remote hand: viewer mousedown → ButtonPress on the host, against a WebSocket echo;
#   the host's CPU (kelvora + its browser) against x11vnc's while the picture moves.
#   BENCH_FLIPS (30), BENCH_QUALITY_FLIPS (15), BENCH_CLICKS (100), BENCH_DISPLAY (70),
#   BENCH_PORT (9750..9752), BENCH_PARTS (still,hand,busy,quality); BENCH_FLOOR_QUERY,
#   BENCH_FLOOR_FLAGS try other settings on the floor (see run.mjs)
set -euo pipefail
cd "$(dirname "$0")/.."
# The flip program is built with the tests (make build); a bench run straight after editing
# it builds it here.
bin=${KELVORA_BUILD:-build}/bench/flip
if [ ! -x "$bin" ] || [ bench/session/flip.c -nt "$bin" ]; then
  mkdir -p "$(dirname "$bin")"
  cc -O2 -Wall -o "$bin" bench/session/flip.c -lX11 -lm
fi
BENCH_FLIP_BIN=$(realpath "$bin") exec node bench/session/run.mjs
