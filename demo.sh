#!/usr/bin/env bash
# The demo: a shared task list. Installs what is missing, builds, and runs
# demo/run.sh in run/demo (see there). Pass --headless to force the scripted
# walk-through under Xvfb even with a display.
set -euo pipefail
cd "$(dirname "$0")"

printf '== installing what is missing\n'
scripts/install-deps.sh host server demo
printf '== building\n'
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
exec demo/run.sh build/qsnclient build/qsnpack build/server/qsnserver run/demo "$@"
