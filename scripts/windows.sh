#!/usr/bin/env bash
# windows.sh [--init FILE] [--name NAME] [--args ARGS]: builds the Windows
# host and leaves its packages in dist/: qsnclient-win64.zip (the working
# directory without init.dat) and qsnclient-win64-setup.exe (a per-user
# installer carrying FILE as init.dat; by default the demo client, packed by
# the cross-built qsnpack.exe under Wine). NAME and ARGS: see
# windows-package.sh. The static libraries are built once into a cache (see
# windows-deps.sh); the programs are built in build-win64/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-lib.sh"

init='' pass=()
while [ $# -gt 0 ]; do
  case $1 in
    --init) init=$(realpath "$2") ;;
    --name | --args) pass+=("$1" "$2") ;;
    *) sed -n '2,2p' "$0" >&2; exit 2 ;;
  esac
  shift 2
done

say() { printf '== %s\n' "$*" >&2; }
say "static libraries"
deps=$("$root/scripts/windows-deps.sh")
say "cross-building qsnclient.exe and qsnpack.exe"
build=$root/build-win64
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DQSN_WIN_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target qsnclient qsnpack

if [ -z "$init" ]; then
  say "packing the demo client into init.dat"
  init=$build/demo-init.dat
  "$root/scripts/wine-run.sh" "$build/qsnpack.exe" pack \
    "$(winpath "$root/demo/client.tcl")" "$(winpath "$init")"
fi
say "packaging"
"$root/scripts/windows-package.sh" --bin "$build" --deps "$deps" --init "$init" \
  "${pass[@]}" --out "$root/dist"
