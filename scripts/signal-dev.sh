#!/usr/bin/env bash
# Runs kelvora-signal on loopback over HTTPS/WSS with a locally trusted certificate
# (mkcert), for `make run` and hand testing. Extra arguments go to the server.
#   KELVORA_SIGNAL_BIN   binary (default build/kelvora-signal)
#   KELVORA_SIGNAL_PORT  port (default 8443)
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${KELVORA_SIGNAL_BIN:-build/kelvora-signal}
port=${KELVORA_SIGNAL_PORT:-8443}
tls=.cache/tls
data=.cache/signal-data

[ -x "$bin" ] || { echo "signal-dev: $bin is not built (make)" >&2; exit 1; }
command -v mkcert >/dev/null || { echo "signal-dev: mkcert is missing (scripts/install-deps.sh)" >&2; exit 1; }

mkdir -p "$tls" "$data"
# mkcert keeps its CA under CAROOT; -install adds it to the system store and, when
# certutil (libnss3-tools) is present, to the NSS store that Chromium reads.
export CAROOT=${CAROOT:-$PWD/$tls/ca}
mkcert -install >/dev/null 2>&1 || echo "signal-dev: mkcert -install failed; the browser may not trust the certificate" >&2
if [ ! -s "$tls/signal.pem" ] || [ ! -s "$tls/signal-key.pem" ]; then
  mkcert -cert-file "$tls/signal.pem" -key-file "$tls/signal-key.pem" 127.0.0.1 localhost >/dev/null 2>&1
fi

echo "kelvora-signal: https://127.0.0.1:$port (wss://127.0.0.1:$port)"
exec "$bin" --listen "127.0.0.1:$port" --cert "$tls/signal.pem" --key "$tls/signal-key.pem" \
  --data "$data" "$@"
