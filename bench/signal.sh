#!/usr/bin/env bash
# Benchmarks kelvora-signal against a plain WebSocket echo server run in the same run,
# both on loopback without TLS so that only the server's own work differs:
#   relay round trip of a signal technician → host → technician vs. one echo round trip,
#   memory per held /host/ connection (RSS delta / N) vs. per held echo connection,
#   signals relayed per second with 200 active pairs vs. messages echoed per second,
#   and the server's CPU time per relayed signal vs. the echo's per echoed message
#   (the figure that a loaded machine disturbs least),
#   TLS connections accepted per second vs. a plain Node TLS server (bench/signal/tls.mjs).
# The relay figures are given twice: against the echo (two hops) and against a plain Node
# relay of the same four hops (the echo process's /pair/<key>), which is the fairer one.
# The node client drives both sides, so the throughput ratio is bounded by it.
#   KELVORA_SIGNAL_BIN (default build/kelvora-signal), BENCH_HOLD (5000),
#   BENCH_PAIRS (200), BENCH_RTT (2000), BENCH_SECONDS (3), BENCH_TLS (2000),
#   BENCH_THREADS (the server's --threads, 2)
set -euo pipefail
cd "$(dirname "$0")/.."
# Every held socket costs a descriptor on both ends.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 65536 2>/dev/null || true
if [ "$(ulimit -n)" -lt $(( ${BENCH_HOLD:-5000} * 2 + 1000 )) ]; then
  echo "bench/signal: fd limit $(ulimit -n) is too low for ${BENCH_HOLD:-5000} held sockets" >&2
  exit 1
fi
node bench/signal/run.mjs
# Three nodes on one Redis against one node (bench/signal/cluster.mjs).
node bench/signal/cluster.mjs
