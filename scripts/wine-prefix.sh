#!/usr/bin/env bash
# The Wine test bed: a 64-bit prefix that belongs to no user, made once with wineboot and
# cached, so each test run starts in a second instead of half a minute.
#   scripts/wine-prefix.sh         prints the cached prefix (making it on first use)
#   scripts/wine-prefix.sh new     prints a throw-away copy of it, for a test that changes
#                                  the registry; the caller removes it
#   scripts/wine-prefix.sh clean   removes the cache
# Mono and Gecko are left out: nothing here uses .NET or an embedded browser, and their
# installers would want a window and the network.
set -euo pipefail
cache=${KELVORA_WINE_CACHE:-/tmp/kelvora-wine-$(id -u)}
prefix="$cache/prefix"
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="

make_prefix() {
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9
  if [ ! -f "$prefix/.kelvora-ready" ]; then
    rm -rf "$prefix"
    # wineboot needs no display; without one it just can't show its progress window.
    if ! env -u DISPLAY WINEPREFIX="$prefix" wineboot --init >"$cache/wineboot.log" 2>&1; then
      echo "wine-prefix: wineboot falló; ver $cache/wineboot.log" >&2
      exit 1
    fi
    WINEPREFIX="$prefix" wineserver -w
    touch "$prefix/.kelvora-ready"
  fi
  exec 9>&-
}

case "${1:-path}" in
path)
  make_prefix
  echo "$prefix"
  ;;
new)
  make_prefix
  copy=$(mktemp -d /tmp/kelvora-wineprefix.XXXXXX)
  cp -a "$prefix/." "$copy/"
  echo "$copy"
  ;;
clean)
  rm -rf "$cache"
  ;;
*)
  echo "uso: $0 [path|new|clean]" >&2
  exit 2
  ;;
esac
