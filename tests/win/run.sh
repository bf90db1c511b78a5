#!/usr/bin/env bash
# run.sh: the Windows checks in one call, after the Linux build in build/
# (or $QSN_LINUX_BUILD), whose qsnserver, qsnpack and qsnclient serve as
# peers and yardstick. Builds the Windows programs and packages
# (scripts/windows.sh); then, with one wine server and one Xvfb display kept
# up for the run, runs under Wine the cross-built unit tests, the script
# tests against the Linux qsnserver (plain, TLS, through tinyproxy), the
# host's end-to-end cases, the demo and a smoke run of the Windows
# benchmark; finally checks the packages: the zip's layout, the installer
# run silently, the installed host started once from its folder (the demo's
# init.dat and no server address: status 2 and a line in its log), and the
# uninstaller. Every part runs; the status says whether all passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
linux=${QSN_LINUX_BUILD:-$root/build}
. "$root/scripts/wine-lib.sh"

"$root/scripts/windows.sh"

scratch=$(mktemp -d /tmp/qsnwin.XXXXXX)
trap 'wine_session_stop; rm -rf "$scratch"' EXIT
unzip -q "$root/dist/qsnclient-win64.zip" -d "$scratch"
export QSNCLIENT_EXE=$root/build-win64/qsnclient.exe
export QSNLIB=$scratch/qsnclient-win64/lib
export QSNCLIENT=$linux/qsnclient QSNPACK=$linux/qsnpack QSNSERVER=$linux/server/qsnserver
export TEST_DATA=$root/tests/data

status=0
part() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  if ! "$@"; then
    status=1
    echo "-- $name FAILED"
  fi
  echo "-- $name: $((SECONDS - start)) s"
}

units() {
  cmake --build "$root/build-win64" -j2
  (cd "$root/build-win64" && ctest --output-on-failure -j2)
}

# The script tests as on Linux, but for those that start Linux programs
# themselves (constraint unix); TLS to localhost, the name Schannel checks.
scripts() {
  QSNCLIENT=$QSNCLIENT_EXE QSNTLSHOST=localhost QSNWRAP="env DISPLAY=$DISPLAY wine" \
    bash "$root/tests/script/run.sh" "$root"/tests/script/{commands,callback,transport,faults,log}.test
}

wine_session_start
part "unit tests" units
part "script tests" scripts
part "host" bash "$root/tests/win/host_test.sh"
part "demo" bash "$root/tests/win/demo_test.sh"
part "benchmark smoke" "$root/bench/windows.sh" --smoke "$scratch/bench"
wine_session_stop

part "packages" "$root/tests/win/package_test.sh" "$root/dist/qsnclient-win64.zip" \
  "$root/dist/qsnclient-win64-setup.exe" 2 "Не указан адрес сервера"
exit $status
