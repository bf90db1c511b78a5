# shellcheck shell=bash
# Helpers for the tests of the Windows host under Wine, on top of the
# end-to-end helpers (tests/e2e/lib.sh): a test script sources this inside
# a session of scripts/wine-lib.sh. QSNCLIENT_EXE is the Windows host,
# QSNLIB the Windows package's lib folder.
# shellcheck source-path=SCRIPTDIR source=../e2e/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
# shellcheck source=../../scripts/wine-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-lib.sh"
QSNCLIENT_EXE=${QSNCLIENT_EXE:?path of qsnclient.exe}
QSNLIB=${QSNLIB:?lib folder of the Windows package}
# Unattended: a failure at start-up shows no message box to wait on.
export QSNCLIENT_NO_MESSAGE_BOX=1

# windir NAME: a fresh working directory holding the host's libraries.
windir() {
  local dir
  dir=$(workdir "$1")
  ln -s "$QSNLIB" "$dir/lib"
  echo "$dir"
}

# run_win DIR ARGS...: runs the Windows host in DIR, its standard output
# and error into DIR/stdout and DIR/stderr; sets $rc.
# shellcheck disable=SC2034  # rc is the caller's
run_win() {
  local dir=$1
  shift
  rc=0
  (cd "$dir" && wine "$QSNCLIENT_EXE" "$@") >"$dir/stdout" 2>"$dir/stderr" || rc=$?
}

# box_run DIR SHOT TITLE [ENV...]: runs the host in DIR under `env ENV`
# without QSNCLIENT_NO_MESSAGE_BOX, waits for a window whose title matches
# TITLE (a message box), shoots it into SHOT and closes it with Enter; sets
# $rc and $box (the box's window, empty when none came).
# shellcheck disable=SC2034  # rc and box are the caller's
box_run() {
  local dir=$1 shot=$2 title=$3
  shift 3
  (cd "$dir" && exec env -u QSNCLIENT_NO_MESSAGE_BOX "$@" wine "$QSNCLIENT_EXE") \
    >/dev/null 2>&1 &
  local host=$!
  box=
  for _ in $(seq 150); do
    box=$(xdotool search --name "$title" 2>/dev/null | head -n 1) && [ -n "$box" ] && break
    sleep 0.1
  done
  if [ -n "$box" ]; then
    sleep 0.5
    import -window "$box" "$shot"
    xdotool windowfocus --sync "$box" key Return
  fi
  rc=0
  timeout 30 tail --pid="$host" -f /dev/null || kill "$host"
  wait "$host" || rc=$?
}

# Where box_run's pictures go.
shots=${QSN_SHOTS:-$scratch}
mkdir -p "$shots"
