#!/usr/bin/env bash
# Monitor switch through a real session: from the technician's `mon` message to the first
# frame of the other monitor, to the secondary (the capture window started ahead wakes) and
# back to the primary (the main capture again, the reference), quiet and under load; and
# the memory the waiting capture window holds. Needs the session test bed.
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/capture/run.mjs
