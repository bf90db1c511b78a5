#!/usr/bin/env bash
# run.sh QSNCLIENT QSNPACK QSNSERVER RUNDIR [--headless]
# Packs the demo client into RUNDIR/init.dat, starts qsnserver with the
# demo's server script on 127.0.0.1 (its database in RUNDIR), and runs
# qsnclient in RUNDIR. With a display the window is yours to use; without
# one (or with --headless) the client walks through its tasks by itself
# under Xvfb and a screenshot is saved. The server stops when the client
# exits.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/loopback.sh"
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
client=$(abs "$1") pack=$(abs "$2") qsnserver=$(abs "$3")
mkdir -p "$4"
run=$(cd "$4" && pwd)
mode=${5:-}

say() { printf '== %s\n' "$*"; }

say "packing demo/client.tcl into $run/init.dat"
"$pack" pack "$here/client.tcl" "$run/init.dat"

say "starting qsnserver with demo/server.tcl (database $run/tasks.db)"
(cd "$run" && exec "$qsnserver" --listen 127.0.0.1:0 \
  "$here/server.tcl" >"$run/server.log" 2>&1) &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null' EXIT
if ! url=$(server_url "$run/server.log" "$server"); then
  echo "qsnserver did not start:" >&2
  cat "$run/server.log" >&2
  exit 1
fi
say "qsnserver listens on $url"

if [ -n "${DISPLAY:-}" ] && [ "$mode" != "--headless" ]; then
  say "opening the client window on $DISPLAY; close it to end the demo"
  (cd "$run" && "$client" "$url")
else
  say "no display: the client walks through its tasks under Xvfb"
  xvfb-run -a -s "-screen 0 1024x768x24" "$here/walkthrough.sh" "$client" "$url" "$run"
  say "screenshot: $run/screenshot.png"
fi

kill "$server" 2>/dev/null
wait "$server" 2>/dev/null || true
trap - EXIT
say "server stopped"
say "client log (CP866, shown in UTF-8): $run/qsnclient.log"
iconv -f CP866 -t UTF-8 "$run/qsnclient.log" | tr -d '\r' | grep '^\[' | tail -n 20
say "database: $run/tasks.db"
tclsh /dev/stdin "$run/tasks.db" <<'TCL'
package require sqlite3
sqlite3 db [lindex $argv 0]
db eval {SELECT t.id, t.title, t.done, u.name FROM tasks t JOIN users u ON u.id = t.author} {
    puts [format "   %3d  %-3s %-40s %s" $id [expr {$done ? {[x]} : {[ ]}}] $title $name]
}
TCL
say "server log: $run/server.log"
