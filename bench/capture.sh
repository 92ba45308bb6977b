#!/usr/bin/env bash
# Monitor switch through a real session: from the technician's `mon` message to the first
# frame of the other monitor, to the secondary (the capture window starts) and back to the
# primary (the main capture again, the reference). Needs the session test bed.
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/capture/run.mjs
