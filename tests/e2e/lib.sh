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

# Two instances of the host writing one folder's log: each writes 300
# numbered lines named after its first argument. The first, A, after 100
# waits for the file its second argument names: "go", which the second, B,
# makes once it has started, or "done", which B makes at its end.
# shellcheck disable=SC2034  # for the scripts that source this
two_instances_script='lassign $argv me until
for {set i 0} {$i < 300} {incr i} {
    mputs $me $i [string repeat x 40]
    if {$me eq "B" && $i == 0} { close [open go w] }
    if {$me eq "A" && $i == 99} {
        for {set w 0} {$w < 3000 && ![file exists $until]} {incr w} { after 10 }
    }
    after 1
}
if {$me eq "B"} { close [open done w] }'

# two_instances DIR HOW COMMAND...: runs `COMMAND A` in DIR (packed with
# two_instances_script) and, once it has logged 100 lines, `COMMAND B` there
# too; waits for both. HOW: "renamed", the two then write at once; "held",
# a folder named qsnclient.log.1 makes the second instance's rename and
# copy fail, as a program holding the log open without letting it be
# renamed does on Windows, so that it empties the log in place and both
# write it at once; "held-in-turn", the same, but the first goes on only
# once the second has ended.
two_instances() {
  local dir=$1 how=$2 first until=go
  shift 2
  [ "$how" = held-in-turn ] && until='done'
  (cd "$dir" && exec "$@" A "$until" >/dev/null 2>&1) &
  first=$!
  for _ in $(seq 600); do
    LC_ALL=C grep -qa ']:A 99 ' "$dir/qsnclient.log" 2>/dev/null && break
    sleep 0.05
  done
  [ "$how" != renamed ] && mkdir -p "$dir/qsnclient.log.1/held"
  (cd "$dir" && exec "$@" B >/dev/null 2>&1)
  wait "$first"
}

# whole_lines FILE: FILE holds lines of two_instances_script only, each
# whole with its CR LF: no hole of zeros, no line cut by another. A host
# with no display also logs why Tk did not start.
whole_lines() {
  local bad
  bad=$(LC_ALL=C grep -cavE '^(\[[0-9. :]{19}\]:[AB] [0-9]+ x{40}|Tk_Init: .*)'$'\r''$' "$1")
  [ "$bad" -eq 0 ] && return 0
  echo "  $1: $bad lines are not whole" >&2
  return 1
}

# numbers_of FILE WHO: the numbers of WHO's lines in FILE, in file order.
numbers_of() { LC_ALL=C grep -aoE "\]:$2 [0-9]+ " "$1" | cut -d' ' -f2 | paste -sd' '; }
