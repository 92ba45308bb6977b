#!/usr/bin/env bash
# Installs every package the build, the tests and `make run` need, by name, and only
# what is missing: a second run on a ready machine does nothing but check.
# Debian packages are listed one per line in scripts/deps/*.apt (each area keeps its own
# list); npm packages are the root package.json.
set -euo pipefail
cd "$(dirname "$0")/.."

want=$(cat scripts/deps/*.apt | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)
missing=()
for p in $want; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: instalando ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Machines whose Node.js comes with its own npm must not get Debian's npm (they conflict).
if ! command -v npm >/dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends npm
fi

# npm: reinstall only when package.json or the lock changed since the last install.
stamp=node_modules/.kelvora-stamp
sum=$(cat package.json package-lock.json 2>/dev/null | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
  if [ -f package-lock.json ]; then npm ci --no-audit --no-fund --loglevel=error; else npm install --no-audit --no-fund --loglevel=error; fi
  sum=$(cat package.json package-lock.json | sha256sum | cut -d' ' -f1)
  echo "$sum" > "$stamp"
fi
