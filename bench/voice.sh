#!/usr/bin/env bash
# Mouth to ear of session voice on the test bed (tests/lib/session_bed.mjs): tone bursts at
# the technician's fake microphone, found in the helped PC's voice element, against a bare
# loopback peer connection run side by side. BENCH_ONSETS (20), BENCH_DISPLAY (58)
set -euo pipefail
cd "$(dirname "$0")/.."
exec node bench/voice/run.mjs
