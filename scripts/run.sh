#!/usr/bin/env bash
# `make run`: the local signalling server on loopback and Kelvora pointed at it. With a
# display Kelvora opens its app window; without one it serves and prints the address.
set -euo pipefail
cd "$(dirname "$0")/.."

port=${KELVORA_SIGNAL_PORT:-8443}
# A fresh clone has no .cache yet, and the shell would refuse the redirect below.
mkdir -p .cache
scripts/signal-dev.sh > .cache/signal-dev.log 2>&1 &
signal=$!
trap 'kill $signal 2>/dev/null || true' EXIT
export TRV_SERVER="https://127.0.0.1:$port"
echo "make run: kelvora-signal en $TRV_SERVER (registro: .cache/signal-dev.log)"

if [ -z "${DISPLAY:-}" ]; then
  build/kelvora --no-window --no-tray &
  app=$!
  for _ in $(seq 50); do
    if port_line=$(grep -o '"port": [0-9]*' "${LOCALAPPDATA:-${XDG_DATA_HOME:-$HOME/.local/share}}/Kelvora/data/instancia.json" 2>/dev/null); then
      echo "make run: sin pantalla; abre http://127.0.0.1:${port_line#*: }/ en Chromium (Ctrl+C para salir)"
      break
    fi
    sleep 0.1
  done
  wait $app
else
  # Chromium refuses to run as root with its sandbox on; a development machine run as
  # root gets a PATH where `chromium` turns it off.
  if [ "$(id -u)" -eq 0 ] && [ -x /usr/bin/chromium ]; then
    wrap=$(mktemp -d)
    printf '#!/bin/sh\nexec /usr/bin/chromium --no-sandbox "$@"\n' > "$wrap/chromium"
    chmod +x "$wrap/chromium"
    export PATH="$wrap:$PATH"
  fi
  build/kelvora --no-elevate
fi
