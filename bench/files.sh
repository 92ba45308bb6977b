#!/usr/bin/env bash
# Files over a real session (tests/lib/session_bed.mjs): BENCH_FILES_MB (1024) MB each way
# into the receiver's downloads folder, MB/s against a bare data channel between the same
# pages in the same run, and the peak resident memory of every process on both sides.
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/files/run.mjs
