#!/usr/bin/env bash
# Installs what the benchmark needs, builds the project into build/, runs
# every measurement and rewrites docs/PERFORMANCE.md with its chart.
#   bench/run.sh            the full run (a few minutes)
#   bench/run.sh --smoke DIR  tiny counts, report written to DIR instead
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = "--smoke" ]; then
  exec tclsh "$root/bench/bench.tcl" -build "${QSN_BUILD:?}" -out "${2:?}" -smoke
fi

"$root/scripts/install-deps.sh"
echo "== building into build/"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== measuring"
tclsh "$root/bench/bench.tcl" -build "$root/build" -out "$root/docs"
