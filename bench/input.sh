#!/usr/bin/env bash
# Time from an /api/input request to the event reaching an X client (a batch of moves, typed
# text, and a single move as a pointer sends it), against the round trip of an empty
# /api/diag POST in the same run. Needs the X test bed (scripts/xdesktop.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/input/run.mjs
