# Helpers for end-to-end tests of the real binaries. A test script sources
# this, calls `check` for each assertion and `finish` at the end.
set -u

QSNCLIENT=${QSNCLIENT:?path of qsnclient}
QSNPACK=${QSNPACK:?path of qsnpack}
TEST_DATA=${TEST_DATA:?path of tests/data}

source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"

scratch=$(mktemp -d /tmp/qsne2e.XXXXXX)
cleanup_scratch() { rm -rf "$scratch"; }
trap cleanup_scratch EXIT

# workdir NAME: a fresh working directory for one run of the host.
workdir() {
  local dir="$scratch/$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "$dir"
}

# pack_into DIR: packs the script on stdin into DIR/init.dat.
pack_into() { "$QSNPACK" pack - "$1/init.dat"; }

# no_display: what the host says, in the log and on stderr, when it starts
# without a display.
# shellcheck disable=SC2016  # $DISPLAY is the host's text, not expanded
no_display() { echo 'Tk_Init: no display name and no $DISPLAY environment variable'; }

# run_host DIR ARGS...: runs the host in DIR without a display; sets $rc.
run_host() {
  local dir=$1
  shift
  rc=0
  (cd "$dir" && env -u DISPLAY "$QSNCLIENT" "$@") || rc=$?
}

# log_of DIR: the log converted to UTF-8, with its CR LF line breaks as they are.
log_of() { iconv -f CP866 -t UTF-8 "$1/qsnclient.log"; }

# log_has DIR TEXT: the log (CR LF turned into LF) holds TEXT.
log_has() {
  local text
  text=$(log_of "$1" | tr -d '\r')
  if [[ "$text" != *"$2"* ]]; then
    echo "  log of $1 lacks: $2" >&2
    echo "  log is: $text" >&2
    return 1
  fi
}
