#!/usr/bin/env bash
# `make run`: the local signalling server on loopback and Kelvora pointed at it. With a
# display Kelvora opens its app window; without one it serves and prints the address.
set -euo pipefail
cd "$(dirname "$0")/.."

port=${KELVORA_SIGNAL_PORT:-8443}
mkdir -p .cache
scripts/signal-dev.sh > .cache/signal-dev.log 2>&1 &
signal=$!
trap 'kill $signal 2>/dev/null || true' EXIT
export TRV_SERVER="https://127.0.0.1:$port"
echo "make run: kelvora-signal en $TRV_SERVER (registro: .cache/signal-dev.log)"
scripts/kelvora-here.sh
