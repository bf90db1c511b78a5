# shellcheck shell=bash
# wine-lib.sh: what a script needs to run Windows programs under Wine,
# headless. Source it; it defines:
#   wine_env [PREFIX]  exports a quiet Wine set-up on PREFIX (default: the
#                      cache's prefix, or $QSN_WINEPREFIX), creating the
#                      prefix on first use
#   winpath PATH       prints the Wine path (Z:\...) of a Linux path
#   xvfb_start         starts Xvfb on a free display, exports DISPLAY and
#                      xvfb_pid
#   xvfb_stop          stops that Xvfb by its pid
#   wine_session_start for a run of many programs: the prefix's wine server
#                      kept up for the whole run (a program then starts in
#                      0.2 s rather than 2-4 s) and one Xvfb display for all
#   wine_session_stop  stops both by their pids

wine_cache=${QSN_WIN_CACHE:-$HOME/.cache/qsnclient}

# No debug chatter; no prompts to install Mono or Gecko, which nothing here
# uses.
wine_env() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  local version
  version=$(wine --version | cut -d' ' -f1)
  export WINEPREFIX=${1:-${QSN_WINEPREFIX:-$wine_cache/prefix-$version}}
  [ -e "$WINEPREFIX/.complete" ] || wine_prefix_create
}

# A prefix is complete once wineboot has set it up and the wine server has
# written its registry to disk; concurrent first users wait for one another.
wine_prefix_create() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 8
    [ -e "$WINEPREFIX/.complete" ] && exit 0
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.complete"
  ) 8>"$WINEPREFIX.lock"
}

# Wine maps drive Z: to the Linux root.
winpath() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s\n' "${path//\//\\}"
}

xvfb_start() {
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  local display
  read -r display <"$fifo" || true
  rm -f "$fifo"
  [ -n "$display" ] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=:$display
}

xvfb_stop() {
  [ -n "${xvfb_pid:-}" ] || return 0
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
}

# The session's prefix, display and server are inherited by the programs
# run in it, wine-run.sh included.
# Wine's own services (services.exe, winedevice.exe, the desktop...) start
# with the first program and live as long as the server; they are started
# here, on no output of anyone's, or they would hold the output of the first
# test open and whoever reads it (ctest, $(...)) would wait for them.
wine_session_start() {
  wine_env "$@"
  export QSN_WINEPREFIX=$WINEPREFIX
  xvfb_start
  wineserver -f -p &
  wine_server_pid=$!
  export QSN_WINE_SESSION=$wine_server_pid
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1
}

# wineserver -k ends the prefix's programs and services with the server
# (killing the server alone would leave them running), then the display.
wine_session_stop() {
  if [ -n "${wine_server_pid:-}" ]; then
    wineserver -k 2>/dev/null || true
    wait "$wine_server_pid" 2>/dev/null || true
    wine_server_pid=
  fi
  unset QSN_WINE_SESSION
  xvfb_stop
}
