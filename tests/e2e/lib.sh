# shellcheck shell=bash
# Helpers for end-to-end tests of the real binaries. A test script sources
# this, calls `check` for each assertion and `finish` at the end. It sets
# `scratch`, and run_host sets `rc`, for the test script.
set -u

QSNCLIENT=${QSNCLIENT:?path of qsnclient}
QSNPACK=${QSNPACK:?path of qsnpack}
TEST_DATA=${TEST_DATA:?path of tests/data}

# shellcheck source-path=SCRIPTDIR source=../checks.sh
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

# How long one run of the host may take: a host that hangs fails its test
# with status 124 instead of stopping the whole run.
host_limit=60

# run_host DIR ARGS...: runs the host in DIR without a display; sets $rc.
# shellcheck disable=SC2034  # rc is the caller's
run_host() {
  local dir=$1
  shift
  rc=0
  (cd "$dir" && env -u DISPLAY timeout "$host_limit" "$QSNCLIENT" "$@") || rc=$?
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

# Instances of the host writing one folder's log: each writes 300 numbered
# lines named after its first argument and makes the file started-NAME once
# its first line is out, done-NAME at its end. Its second argument, pairs of
# a line's number and a file's name, makes it wait after that line until
# that file exists.
# shellcheck disable=SC2034  # for the scripts that source this
instances_script='lassign $argv me waits
for {set i 0} {$i < 300} {incr i} {
    mputs $me $i [string repeat x 40]
    if {$i == 0} { close [open started-$me w] }
    if {[dict exists $waits $i]} {
        set until [dict get $waits $i]
        for {set w 0} {$w < 3000 && ![file exists $until]} {incr w} { after 10 }
    }
    after 1
}
close [open done-$me w]'

# logged DIR WHO N: waits (30 s at most) until WHO's line N is in DIR's log
# or in the copy kept of it.
logged() {
  for _ in $(seq 600); do
    LC_ALL=C grep -qa "]:$2 $3 " "$1/qsnclient.log" "$1/qsnclient.log.1" 2>/dev/null &&
      return 0
    sleep 0.05
  done
}

# two_instances DIR HOW COMMAND...: runs `COMMAND A` in DIR (packed with
# instances_script) and, once it has logged 100 lines, `COMMAND B` there
# too; waits for both. HOW: "together", A goes on once B has started and
# the two write at once; "in-turn", A goes on once B has ended; "held" and
# "held-in-turn" the same, but a folder named qsnclient.log.1 keeps B from
# keeping a copy of the log, which it empties all the same.
two_instances() {
  local dir=$1 how=$2 first until=started-B
  shift 2
  [[ "$how" = *in-turn ]] && until=done-B
  (cd "$dir" && exec "$@" A "99 $until" >/dev/null 2>&1) &
  first=$!
  logged "$dir" A 99
  [[ "$how" = held* ]] && mkdir -p "$dir/qsnclient.log.1/held"
  (cd "$dir" && exec "$@" B >/dev/null 2>&1)
  wait "$first"
}

# three_instances DIR COMMAND...: as two_instances "together", and a third,
# C, started once A has logged 200 lines, while B still runs; A goes on
# once C has started.
three_instances() {
  local dir=$1 first second
  shift
  (cd "$dir" && exec "$@" A "99 started-B 199 started-C" >/dev/null 2>&1) &
  first=$!
  logged "$dir" A 99
  (cd "$dir" && exec "$@" B >/dev/null 2>&1) &
  second=$!
  logged "$dir" A 199
  (cd "$dir" && exec "$@" C >/dev/null 2>&1)
  wait "$first" "$second"
}

# whole_lines FILE: FILE holds lines of instances_script only, each
# whole with its CR LF: no hole of zeros, no line cut by another. A host
# with no display also logs why Tk did not start.
whole_lines() {
  local bad
  bad=$(LC_ALL=C grep -cavE '^(\[[0-9. :]{19}\]:[ABC] [0-9]+ x{40}|Tk_Init: .*)'$'\r''$' "$1")
  [ "$bad" -eq 0 ] && return 0
  echo "  $1: $bad lines are not whole" >&2
  return 1
}

# numbers_of FILE WHO: the numbers of WHO's lines in FILE, in file order.
numbers_of() { LC_ALL=C grep -aoE "\]:$2 [0-9]+ " "$1" | cut -d' ' -f2 | paste -sd' '; }
