#!/usr/bin/env bash
# Download and verification of a 60 MB update package from a local HTTPS channel: the time
# from "install" to ready to swap (downloaded, hash checked, unpacked, stored, test-run),
# against curl fetching the same file to /dev/null plus sha256sum of it, in the same run;
# wall time and CPU time (the program with the children it ran; curl with sha256sum), and
# the stages the installer logs.
#   BENCH_ROUNDS (3), BENCH_MB (60); BENCH_ALSO: another build's kelvora-anterior (say,
#   main's) timed in the same rounds, to compare two builds under the same load
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/update/run.mjs
