#!/usr/bin/env bash
# Builds the C libraries Kelvora.exe links statically (libsodium, libzip over MinGW's zlib,
# md4c with md4c-html) from Debian's own source packages with the MinGW-w64 compiler, once,
# into a cached prefix. Prints the prefix on standard output; everything else goes to
# standard error, so cmake can read the prefix from it.
#
# The prefix is shared by every checkout of this user (a build takes a few minutes on a
# small machine) and keyed by this script's content, so a change here builds a fresh one.
# KELVORA_MINGW_PREFIX overrides where it lives.
set -euo pipefail
cd "$(dirname "$0")/.."

triplet=x86_64-w64-mingw32
key=$(sha256sum scripts/cross-deps.sh | cut -c1-12)
prefix=${KELVORA_MINGW_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvora/mingw-$key}
packages=(libsodium libzip md4c)

if [ -f "$prefix/.ready" ]; then
  echo "$prefix"
  exit 0
fi

log() { echo "cross-deps: $*" >&2; }
mkdir -p "$(dirname "$prefix")"
# Two checkouts building at once would write over each other's files.
exec 9>"$prefix.lock"
flock 9
if [ -f "$prefix/.ready" ]; then
  echo "$prefix"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvora-cross.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix"

# apt-get source needs deb-src entries. Debian 12 images often have none: add them for the
# suites the binary packages come from, so the sources match what the Linux build links.
cd "$work"
chmod 755 "$work"   # apt's download user writes here
if ! apt-get source --download-only "${packages[0]}" >&2 2>&1; then
  log "agregando las fuentes de Debian (deb-src) a apt"
  . /etc/os-release
  $sudo tee /etc/apt/sources.list.d/kelvora-deb-src.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $VERSION_CODENAME-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $sudo apt-get update -qq >&2
fi
# One package at a time: a mirror that lacks a packaging tarball still gives the upstream
# one, and none of these libraries needs Debian's patches to build for Windows.
for p in "${packages[@]}"; do
  apt-get source --download-only "$p" >&2 || log "$p: faltan archivos de empaque; se usa el original"
  dsc=$(ls "$p"_*.dsc 2>/dev/null | head -n1 || true)
  if [ -z "$dsc" ] || ! dpkg-source --no-check -x "$dsc" "$p-src" >&2; then
    rm -rf "$p-src"
    orig=$(ls "$p"_*.orig.tar.* | head -n1)
    mkdir -p "$p-src"
    tar -xf "$orig" -C "$p-src" --strip-components=1
  fi
done

cc="$triplet-gcc-posix"
opt="-O2 -fno-ident"
jobs=${JOBS:-2}

log "libsodium"
(
  cd libsodium-src
  # Debian's upstream tarball is the bare git tree: make its configure script first.
  [ -x configure ] || ./autogen.sh -s >&2
  # No tests, no shared library, no CPU-dispatch surprises: a plain static archive.
  ./configure --host=$triplet --prefix="$prefix" --disable-shared --enable-static \
    --disable-dependency-tracking --disable-pie --disable-ssp \
    CC="$cc" CFLAGS="$opt" >&2
  make -j"$jobs" -C src >&2
  make -C src install >&2
)

# The cmake-built libraries share one toolchain description.
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
common=(-DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DCMAKE_C_FLAGS="$opt")

log "libzip"
(
  cd libzip-src
  # Reading a package is all Kelvora does with zip: Deflate through zlib, nothing else.
  cmake -S . -B build "${common[@]}" \
    -DZLIB_LIBRARY=/usr/$triplet/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$triplet/include \
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
    -DENABLE_WINDOWS_CRYPTO=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF >&2
  cmake --build build -j"$jobs" --target zip >&2
  cmake --install build >&2
)

log "md4c"
(
  cd md4c-src
  cmake -S . -B build "${common[@]}" >&2
  cmake --build build -j"$jobs" --target md4c md4c-html >&2
  cmake --install build >&2 || true
  # The install step also wants md2html, which was not built; put the two libraries and
  # their headers in place ourselves.
  mkdir -p "$prefix/lib" "$prefix/include"
  cp build/src/libmd4c.a build/src/libmd4c-html.a "$prefix/lib/"
  cp src/md4c.h src/md4c-html.h "$prefix/include/"
)

touch "$prefix/.ready"
log "listo en $prefix"
echo "$prefix"
