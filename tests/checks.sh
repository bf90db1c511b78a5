# shellcheck shell=bash
# Assertions for the shell tests: `check NAME COMMAND...` counts one, and
# `finish` prints the tally and fails when any failed. The tests that start
# servers of their own also get `free_port` and `server_url`.

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/loopback.sh"

passed=0
failed=0

# check NAME COMMAND...: runs COMMAND and counts its success.
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name" >&2
  fi
}

# equals WHAT EXPECTED ACTUAL
equals() {
  [[ "$2" == "$3" ]] && return 0
  echo "  $1: expected [$2], got [$3]" >&2
  return 1
}

# matches WHAT REGEX ACTUAL
matches() {
  [[ "$3" =~ $2 ]] && return 0
  echo "  $1: [$3] does not match [$2]" >&2
  return 1
}

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
