#!/usr/bin/env bash
# Every benchmark in turn: one that fails does not stop the others. At the end, each
# bench's figures again (its standard output lines) under its name, and the exit status
# says whether any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
failed=()
for b in bench/*.sh; do
  [ "$b" = bench/all.sh ] && continue
  echo "== $b"
  out=$(mktemp)
  bash "$b" | tee "$out"
  rc=${PIPESTATUS[0]}
  { echo "== $b$([ "$rc" -ne 0 ] && echo " (falló: código $rc)")"; cat "$out"; } >> "$summary"
  rm -f "$out"
  [ "$rc" -ne 0 ] && failed+=("$b")
done
echo
echo "==== resumen de todas las cifras"
cat "$summary"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fallaron: ${failed[*]}"
  exit 1
fi
