# shellcheck shell=bash
# Helpers for the tests of the Windows host under Wine, on top of the
# end-to-end helpers (tests/e2e/lib.sh): a test script sources this inside
# a session of scripts/wine-lib.sh. QSNCLIENT_EXE is the Windows host,
# QSNLIB the Windows package's lib folder.
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
