#!/usr/bin/env bash
# run.sh: the Windows checks in one call. Builds the programs and packages
# (scripts/windows.sh), then, with one wine server and one Xvfb display kept
# up for the run, builds and runs the cross-built tests under Wine (CMake
# runs each through scripts/wine-run.sh), and checks the packages: the
# installed host, started from its folder with the demo's init.dat and no
# server address, must end with status 2 and say so in its log.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine-lib.sh"

"$root/scripts/windows.sh"

wine_session_start
trap wine_session_stop EXIT
echo "== cross-built tests under Wine"
cmake --build "$root/build-win64" -j2
(cd "$root/build-win64" && ctest --output-on-failure -j2)
wine_session_stop
trap - EXIT

echo "== packages"
"$root/tests/win/package_test.sh" "$root/dist/qsnclient-win64.zip" \
  "$root/dist/qsnclient-win64-setup.exe" 2 "Не указан адрес сервера"
