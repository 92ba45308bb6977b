#!/usr/bin/env bash
# Starts build/kelvora for a person at this machine: with a display, its app window; without
# one, serving only, with the address to open printed. The environment (TRV_SERVER,
# LOCALAPPDATA) is the caller's.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ]; then
  build/kelvora --no-window --no-tray &
  app=$!
  trap 'kill $app 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    if port_line=$(grep -o '"port": [0-9]*' "${LOCALAPPDATA:-${XDG_DATA_HOME:-$HOME/.local/share}}/Kelvora/data/instancia.json" 2>/dev/null); then
      echo "kelvora: sin pantalla; abre http://127.0.0.1:${port_line#*: }/ en Chromium (Ctrl+C para salir)"
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
  exec build/kelvora --no-elevate
fi
