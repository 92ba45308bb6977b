#!/usr/bin/env bash
# Delay the native side adds to the PC's sound: from a tone's start in a PulseAudio null
# sink to its first sound on /api/audio, against PulseAudio's own recorder (parec) on the
# same monitor in the same run. Needs the sound test bed (scripts/sounddesk.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/audio/run.mjs
