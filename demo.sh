#!/usr/bin/env bash
# Sets up, builds, packs the example script into run/demo/init.dat and runs
# qsnclient there; prints the log it wrote.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

echo "== installing what is missing"
scripts/install-deps.sh
echo "== building"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
run="$root/run/demo"
mkdir -p "$run"
echo "== packing demo/hello.tcl into $run/init.dat"
build/qsnpack pack demo/hello.tcl "$run/init.dat"
echo "== running qsnclient in $run"
(cd "$run" && "$root/build/qsnclient" "$@")
echo "== $run/qsnclient.log (CP866, shown in UTF-8):"
iconv -f CP866 -t UTF-8 "$run/qsnclient.log" | tr -d '\r'
