#!/usr/bin/env bash
# A benchmark run with tiny counts, so the benchmark cannot rot: every
# contender runs against the real nginx, the report and chart are written
# (to a scratch folder, never to docs/), and every figure is a number.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/checks.sh"
out=$(mktemp -d /tmp/qsnbench-smoke.XXXXXX)
trap 'rm -rf "$out"' EXIT

# run.sh execs tclsh, so the run's pid names its scratch folder
# (/tmp/qsnbench.PID): the nginx checked for below is this run's, not that
# of a benchmark running beside it.
QSN_BUILD=${QSN_BUILD:?} bash "$here/run.sh" --smoke "$out" >"$out/printed.txt" 2>&1 &
run_pid=$!
wait "$run_pid"
status=$?
printed=$(cat "$out/printed.txt")
check "the run succeeds" equals status 0 "$status"
[ "$status" -eq 0 ] || tail -n 20 <<<"$printed" >&2
page=$(cat "$out/PERFORMANCE.md" 2>/dev/null)

for row in "requestQSN, loglevel 0" "requestQSN, loglevel 3" "bare libcurl program" \
           "TclCurl in tclsh" "http package, keep-alive" "http package, new connections" \
           "qsnclient, display" "wish, display" "qsnclient, no display" \
           "mputs" "puts + flush" "growth" "sendQSN, 4 sessions at once" \
           "requestQSN, 4 sessions one after another" "50 ms server" "nginx"; do
  # Each row names its contender and gives it a figure.
  check "row '$row'" matches "$row" '\| [0-9][0-9,.]*( kB)? \|' \
    "$(grep -F "| $row |" <<<"$page" | head -n 1)"
done
targets=$(sed -n '/^### Targets/,/^## /p' <<<"$page" | grep -cE '\| (met|\*\*missed\*\*) \|$')
check "every target judged" equals targets 12 "$targets"
check "the poll's figures" matches poll \
  'took -?[0-9.]+ ms more each .* took -?[0-9.]+ ms more each; .* ran [0-9.]+% of the time' "$(tr '\n' ' ' <<<"$page")"
check "the table is printed" matches stdout '### Targets' "$printed"
check "no figure is missing" equals "nan or inf" "" "$(grep -oiE '\b(nan|inf)\b' <<<"$page")"
check "machine described" matches machine 'CPU: .*cores' "$page"
magic=$(head -c 8 "$out/performance.png" 2>/dev/null | od -An -tx1 | tr -d ' \n')
check "the chart is a PNG" equals magic 89504e470d0a1a0a "$magic"
check "the chart is not empty" test "$(stat -c %s "$out/performance.png" 2>/dev/null || echo 0)" -gt 10000
check "nginx stopped" equals "nginx left" "" "$(pgrep -f "qsnbench\.$run_pid/nginx" || true)"
finish
