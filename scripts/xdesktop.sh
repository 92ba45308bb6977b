#!/usr/bin/env bash
# The X desktop of the tests and of `make run` on a machine without a display: Xorg with
# the dummy video driver, whose RandR modes really switch (Xvfb's don't).
#   scripts/xdesktop.sh start [N]   starts display :N (default: the first free from 50) and
#                                   prints ":N"; the server runs until `stop`
#   scripts/xdesktop.sh stop :N
set -euo pipefail
cmd=${1:-start}
state=${XDESKTOP_STATE:-/tmp/kelvora-xdesktop}
mkdir -p "$state"

case "$cmd" in
start)
  n=${2:-}
  if [ -z "$n" ]; then
    n=50
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  fi
  conf="$state/xorg-$n.conf"
  cat > "$conf" <<CONF
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 5120 2160
  EndSubSection
EndSection
CONF
  Xorg ":$n" -config "$conf" -noreset -nolisten tcp -logfile "$state/xorg-$n.log" \
    >/dev/null 2>&1 &
  echo $! > "$state/xorg-$n.pid"
  for _ in $(seq 100); do
    if DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then echo ":$n"; exit 0; fi
    sleep 0.1
  done
  echo "xdesktop: Xorg :$n no arrancó; ver $state/xorg-$n.log" >&2
  exit 1
  ;;
stop)
  n=${2#:}
  if [ -f "$state/xorg-$n.pid" ]; then
    kill "$(cat "$state/xorg-$n.pid")" 2>/dev/null || true
    rm -f "$state/xorg-$n.pid"
  fi
  ;;
*)
  echo "uso: $0 start [N] | stop :N" >&2
  exit 2
  ;;
esac
