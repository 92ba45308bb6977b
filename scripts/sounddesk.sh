#!/usr/bin/env bash
# The sound test bed: a PulseAudio daemon of its own with a null sink as the default
# output, so that what is played into it can be captured back from its monitor.
#   scripts/sounddesk.sh start DIR   starts a daemon whose runtime lives in DIR and prints
#                                    its server address (unix:DIR/native)
#   scripts/sounddesk.sh stop DIR
# Give the address to clients as PULSE_SERVER. As root, PulseAudio refuses to run as a
# per-user daemon unless it is told that this is meant.
set -euo pipefail
cmd=${1:-}
dir=${2:-}
[ -n "$dir" ] || { echo "uso: $0 start|stop DIR" >&2; exit 2; }

case "$cmd" in
start)
  mkdir -p "$dir/runtime" "$dir/state"
  chmod 700 "$dir" "$dir/runtime" "$dir/state"
  export XDG_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state"
  export HOME="$dir"
  root=(); [ "$(id -u)" -ne 0 ] || root=(--system=false --disallow-exit)
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=false --log-target=file:"$dir/pulse.log" \
    "${root[@]}" \
    --load="module-null-sink sink_name=kv_null rate=48000 channels=2" \
    --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
    >/dev/null 2>&1 &
  echo $! > "$dir/pulse.pid"
  for _ in $(seq 100); do
    if PULSE_SERVER="unix:$dir/native" pactl info >/dev/null 2>&1; then
      PULSE_SERVER="unix:$dir/native" pactl set-default-sink kv_null
      echo "unix:$dir/native"
      exit 0
    fi
    sleep 0.1
  done
  echo "sounddesk: PulseAudio no arrancó; ver $dir/pulse.log" >&2
  "$0" stop "$dir"
  exit 1
  ;;
stop)
  if [ -f "$dir/pulse.pid" ]; then
    kill "$(cat "$dir/pulse.pid")" 2>/dev/null || true
    rm -f "$dir/pulse.pid"
  fi
  ;;
*)
  echo "uso: $0 start|stop DIR" >&2
  exit 2
  ;;
esac
