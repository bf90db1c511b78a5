#!/usr/bin/env bash
# package.sh [BUILD_DIR [DIST_DIR]]: builds the programs for /usr with
# Debian's build flags into BUILD_DIR (build-package by default) and makes
# the Debian packages qsnclient and qsnserver in DIST_DIR (dist by default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-package}
dist=${2:-$root/dist}

# Debian's hardening and optimisation flags; CMake reads no CPPFLAGS, so
# they join the compiler flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qsnclient qsnpack qsnserver qsn_compressed_docs
(cd "$build" && cpack -G DEB >/dev/null)

mkdir -p "$dist"
rm -f "$dist"/qsnclient_*.deb "$dist"/qsnserver_*.deb
cp "$build"/*.deb "$dist"/
ls "$dist"/*.deb
