#!/usr/bin/env bash
# The manual pages: groff, mandoc and man render them without a warning,
# and every verb, option and default the programs' usage texts name is in
# their page, so a new option cannot ship undocumented.
set -u
source "$(dirname "$0")/../checks.sh"
man_dir=$(cd "$(dirname "$0")/../../man" && pwd)
QSNPACK=${QSNPACK:?path of qsnpack}
QSNSERVER=${QSNSERVER:?path of qsnserver}

# silent WHAT COMMAND...: COMMAND succeeds and prints nothing at all.
silent() {
  local what=$1 output
  shift
  output=$("$@" 2>&1) || { echo "  $what failed: $output" >&2; return 1; }
  [ -z "$output" ] && return 0
  echo "  $what: $output" >&2
  return 1
}

# man_warnings PAGE: renders PAGE as a reader sees it; the page itself is
# dropped, what man and groff complain about is kept.
man_warnings() { { MANWIDTH=80 man --warnings=w -l "$1" >/dev/null; } 2>&1; }

for page in qsnclient.1 qsnpack.1 qsnserver.8; do
  check "$page: groff -ww" silent groff groff -ww -z -man "$man_dir/$page"
  check "$page: mandoc lint" silent mandoc mandoc -T lint "$man_dir/$page"
  check "$page: man -l" silent man man_warnings "$man_dir/$page"
done

# documents PAGE WORD: the page's source holds WORD, its dashes written as
# the roff minus sign.
documents() {
  local source_word=${2//-/\\-}
  grep -qF -- "$source_word" "$man_dir/$1" && return 0
  echo "  $1 lacks $2" >&2
  return 1
}

# usage_of PROGRAM: its usage text.
usage_of() { "$1" --help 2>&1; }

for program in "$QSNPACK:qsnpack.1" "$QSNSERVER:qsnserver.8"; do
  binary=${program%%:*} page=${program##*:}
  usage=$(usage_of "$binary")
  for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$usage" | sort -u); do
    check "$page documents $option" documents "$page" "$option"
  done
  for default in $(grep -oE 'default [0-9]+' <<<"$usage" | cut -d' ' -f2); do
    check "$page states the default $default" documents "$page" "$default"
  done
done
for verb in $(usage_of "$QSNPACK" | sed -nE 's/^(Usage:)? *qsnpack ([a-z]+).*/\2/p'); do
  check "qsnpack.1 documents the verb $verb" documents qsnpack.1 ".B qsnpack $verb"
done

finish
