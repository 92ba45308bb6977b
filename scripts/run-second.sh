#!/usr/bin/env bash
# A second Kelvora on this machine, for trying a session between two copies: its own data
# directory (.cache/second, so its own ID, port and app window), pointed at the signalling
# server that `make run` started. Run it while `make run` is running.
set -euo pipefail
cd "$(dirname "$0")/.."

port=${KELVORA_SIGNAL_PORT:-8443}
export TRV_SERVER="https://127.0.0.1:$port"
export LOCALAPPDATA="$PWD/.cache/second"
mkdir -p "$LOCALAPPDATA"
curl -fsk "$TRV_SERVER/health" >/dev/null 2>&1 ||
  echo "run-second: no answer from $TRV_SERVER; start \`make run\` first" >&2
echo "run-second: segundo Kelvora con datos en $LOCALAPPDATA"
exec scripts/kelvora-here.sh
