#!/usr/bin/env bash
# wine-run.sh [--xvfb] PROGRAM.exe [ARGS...]: runs a Windows program under
# Wine, quietly, in the cache's Wine prefix (or $QSN_WINEPREFIX), and exits
# with its exit status. --xvfb gives it an Xvfb display of its own for the
# run (Tk needs one; console programs do not), unless it runs inside a
# session of wine-lib.sh, whose display it uses. CMake uses this script to
# run the cross-built tests.
set -euo pipefail
. "$(dirname "$0")/wine-lib.sh"

xvfb=0
if [ "${1:-}" = --xvfb ]; then
  xvfb=1
  shift
fi
[ $# -ge 1 ] || { echo "usage: wine-run.sh [--xvfb] PROGRAM.exe [ARGS...]" >&2; exit 2; }

wine_env
own_display=0
if [ $xvfb = 1 ] && [ -z "${QSN_WINE_SESSION:-}" ]; then
  xvfb_start
  own_display=1
  trap xvfb_stop EXIT
fi
status=0
wine "$@" || status=$?
# Wine's helper processes hold the display until the wine server winds down.
[ $own_display = 0 ] || wineserver -w
exit $status
