#!/usr/bin/env bash
# The X desktop of the tests and of `make run` on a machine without a display: Xorg with
# the dummy video driver, whose RandR modes really switch (Xvfb's don't).
#   scripts/xdesktop.sh start [N]   starts display :N (default: the first free from 50) and
#                                   prints ":N"; the server runs until `stop`
#   scripts/xdesktop.sh stop :N
# XDESKTOP_OUTPUTS=2 gives two monitors with the primary not leftmost: DUMMY1 1024x768 at
# 0,0 and the primary DUMMY0 1920x1080 at 1024,0. The dummy driver has 16 outputs; one
# counts as connected once a mode is set on it, and offers the driver's whole mode list
# after the next probe.
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
    if DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
      if [ "${XDESKTOP_OUTPUTS:-1}" = 2 ]; then
        if ! { DISPLAY=":$n" xrandr --addmode DUMMY1 1024x768 &&
          DISPLAY=":$n" xrandr --output DUMMY0 --primary --mode 1920x1080 --pos 1024x0 \
            --output DUMMY1 --mode 1024x768 --pos 0x0 &&
          DISPLAY=":$n" xrandr --query >/dev/null; } >&2; then
          echo "xdesktop: no se pudieron poner dos salidas en :$n" >&2
          "$0" stop ":$n"
          exit 1
        fi
      fi
      echo ":$n"
      exit 0
    fi
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
