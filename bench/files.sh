#!/usr/bin/env bash
# Files over a real session (tests/lib/session_bed.mjs): BENCH_FILES_MB (1024) MB each way
# into the receiver's downloads folder, MB/s against a bare data channel between the same
# pages in the same run; the peak memory (RSS and PSS) of every process on both sides; and
# glass to glass and the remote hand while a file is on its way, against the same with no
# file (BENCH_FILES_FLIPS, BENCH_FILES_CLICKS). BENCH_FILES_MB=200 makes a quick run;
# BENCH_FILES_MB=0 measures only the picture and the hand.
# BENCH_FILES_DEVTOOLS=1 keeps the test bed's DevTools network agent on in both pages
# (it holds every request body the page made, received pieces included).
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/files/run.mjs
