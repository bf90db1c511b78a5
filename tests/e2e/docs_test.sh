#!/usr/bin/env bash
# shellcheck disable=SC2154  # scratch comes from lib.sh
# The Tcl examples of the documentation, run as written. Each ```tcl block in
# docs/GUIDE.md, README.md and server/README.md has, on the line before it,
# a mark saying how it runs:
#   <!-- run: client [APP] -->    in the host without a display
#   <!-- run: display [APP] -->   in the host on an X server of the test's
#                                 own, which closes the topmost window every
#                                 300 ms the way a window manager does
#   <!-- run: server NAME -->     an application of qsnserver's
# A client runs against server/example_app.tcl, or against the server
# example named APP; its 127.0.0.1:8080 becomes that server's address. It
# must end in time with status 0 and nothing on standard error (where the
# host shows a failing script), and its log must hold the text after `;#`
# on each of its mputs lines. A server must start without a word on
# standard error.
source "$(dirname "$0")/lib.sh"
QSNSERVER=${QSNSERVER:?path of qsnserver}
root=$(cd "$(dirname "$0")/../.." && pwd)

pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  cleanup_scratch
}
trap stop_all EXIT

# Every block, in order, as examples/N.tcl, and a line "N KIND APP WHERE".
mkdir "$scratch/examples"
awk -v out="$scratch/examples" '
  /^<!-- run: .* -->$/ { mark = substr($0, 11, length($0) - 14); marked = FNR + 1; next }
  /^```tcl$/ {
    n++; file = out "/" n ".tcl"
    kind = FNR == marked ? mark : "unmarked"
    split(kind, w, " ")
    print n, w[1], (w[2] == "" ? "-" : w[2]), FILENAME ":" FNR > (out "/index")
    inside = 1; next
  }
  /^```$/ && inside { inside = 0; close(file); next }
  inside { print > file }
' "$root/docs/GUIDE.md" "$root/README.md" "$root/server/README.md"

# start_server NAME APP: qsnserver on a free port; sets app_url[NAME].
declare -A app_url
start_server() {
  local out="$scratch/server-$1.out" err="$scratch/server-$1.err"
  "$QSNSERVER" --listen 127.0.0.1:0 "$2" >"$out" 2>"$err" &
  pids+=($!)
  app_url[$1]=$(server_url "$out" "$!") && return 0
  cat "$err" >&2
  return 1
}

start_server example "$root/server/example_app.tcl"
while read -r n kind app where; do
  [ "$kind" = server ] || continue
  check "$where: server $app starts" start_server "$app" "$scratch/examples/$n.tcl"
  check "$where: server $app says nothing on stderr" \
    equals stderr "" "$(cat "$scratch/server-$app.err")"
done <"$scratch/examples/index"

# An X server of the test's own, stopped by its pid.
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$scratch/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.05; done
display=:$(cat "$scratch/display")

# What a window manager does when the user closes the newest window, once
# it is on the screen.
closer='proc ::docsTestClose {} {
    if {[catch {winfo exists .} alive] || !$alive} return
    after 300 ::docsTestClose
    set top .
    foreach w [winfo children .] { if {[winfo toplevel $w] eq $w} { set top $w } }
    if {![winfo ismapped $top]} return
    set handler [wm protocol $top WM_DELETE_WINDOW]
    if {$handler ne ""} { uplevel #0 $handler } else { destroy $top }
}
after 300 ::docsTestClose
'

while read -r n kind app where; do
  case $kind in
    server) continue ;;
    client | display) ;;
    *)
      check "$where: the example has a run mark" false
      continue
      ;;
  esac
  [ "$app" = - ] && app=example
  url=${app_url[$app]:-}
  check "$where: its server is among the examples" test -n "$url"
  [ -n "$url" ] || continue
  address=${url#http://}
  address=${address%/}
  d=$(workdir "example$n")
  { [ "$kind" = display ] && echo "$closer"
    sed "s|127\.0\.0\.1:8080|$address|g" "$scratch/examples/$n.tcl"; } | pack_into "$d"
  rc=0
  if [ "$kind" = display ]; then
    (cd "$d" && DISPLAY=$display timeout 60 "$QSNCLIENT") 2>"$d/stderr" || rc=$?
    said_on_stderr=""
  else
    (cd "$d" && env -u DISPLAY timeout 60 "$QSNCLIENT") 2>"$d/stderr" || rc=$?
    said_on_stderr=$(no_display)
  fi
  check "$where: ends with status 0" equals status 0 "$rc"
  check "$where: nothing else on stderr" equals stderr "$said_on_stderr" "$(cat "$d/stderr")"
  while IFS= read -r said; do
    check "$where: logs $said" log_has "$d" "$said"
  done < <(sed -nE 's/^ *mputs .*;# (.*[^ ]) *$/\1/p' "$scratch/examples/$n.tcl")
done <"$scratch/examples/index"

check "examples found" test "$(grep -c . "$scratch/examples/index")" -gt 5
finish
