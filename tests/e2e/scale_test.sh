#!/usr/bin/env bash
# The scale-out run with small counts: PostgreSQL of its own, three
# qsnservers behind nginx, headless clients, a server killed and PostgreSQL
# restarted mid-run. demo/scale.sh judges every run from the database and
# fails on a lost or doubled write, an error no fault explains, or a server
# without its share. Besides: the database check itself catches a doubled,
# a lost and a repeated write, and the connection string is read in both
# of PostgreSQL's forms.
source "$(dirname "$0")/lib.sh"
QSNSERVER=${QSNSERVER:?path of qsnserver}
root=$(cd "$(dirname "$0")/../.." && pwd)

# The server this test starts is stopped by its pid however the test ends.
server=
stop_server() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  server=
}
trap 'stop_server; cleanup_scratch' EXIT

# --- The run ----------------------------------------------------------------

d=$(workdir scale)
bash "$root/demo/scale.sh" --build "$(dirname "$QSNCLIENT")" --clients 4 --rounds 2 \
  --samples 1 --report "$d" >"$d/run.txt" 2>&1
status=$?
check "the scale run and its checks pass" equals status 0 "$status"
[ "$status" -eq 0 ] || tail -n 20 "$d/run.txt" >&2
check "a server was killed mid-run" grep -q "Шлюз: сервер приложений не ответил" "$d/run.txt"
page=$(cat "$d/PERFORMANCE.md" 2>/dev/null)
for setup in "1 server, SQLite" "1 server, PostgreSQL" "2 servers, PostgreSQL" \
  "3 servers, PostgreSQL"; do
  check "figures for $setup" matches "$setup" '^\| [0-9]+ \| [0-9.]+ \| [0-9.]+ \| [0-9.]+ \|$' \
    "$(grep -F "| $setup |" <<<"$page" | head -n 1 | sed "s/^| $setup //")"
done
magic=$(head -c 8 "$d/scale.png" 2>/dev/null | od -An -tx1 | tr -d ' \n')
check "the chart is a PNG" equals magic 89504e470d0a1a0a "$magic"
run_tmp=$(sed -n 's/^== PostgreSQL of its own in \(.*\)\/pg, .*/\1/p' "$d/run.txt")
check "the run said where it worked" test -n "$run_tmp"
check "nothing of the run is left running" equals processes "" \
  "$(pgrep -af "${run_tmp:-/nonexistent}/" || true)"
check "its folder is gone" test ! -e "${run_tmp:-/nonexistent}"

# --- The database check catches what it is there for ---------------------------------

c=$(workdir check)
QSN_DEMO_DB=$c/tasks.db "$QSNSERVER" --listen 127.0.0.1:0 "$root/demo/server.tcl" \
  >"$c/server.log" 2>&1 &
server=$!
url=$(server_url "$c/server.log" "$server") || true
mkdir "$c/client"
"$QSNPACK" pack "$root/demo/scale_client.tcl" "$c/client/init.dat"
(cd "$c/client" && timeout 60 env -u DISPLAY "$QSNCLIENT" "$url" "Проверка" 2)
check "one client against one server on SQLite" equals status 0 "$?"
stop_server

judge() { QSN_DEMO_DB=$c/tasks.db tclsh "$root/demo/scale.tcl" check "$c/client" 2>&1; }
# tamper NAME SQL: the check must fail on the database changed by SQL, and
# pass again once the change is undone (the database is restored from a copy).
tamper() {
  cp "$c/tasks.db" "$c/saved.db"
  tclsh <<<"package require sqlite3; sqlite3 db {$c/tasks.db}; db eval {$2}"
  check "the check fails: $1" matches "$1" 'scale: ' "$(judge && echo passed)"
  cp "$c/saved.db" "$c/tasks.db"
}
check "the check passes on the database as the run left it" matches check \
  'requests 10 .*errors 0' "$(judge)"
tamper "a doubled add" "INSERT INTO tasks(title, done, author) SELECT title, done, author FROM tasks LIMIT 1"
tamper "a lost rename" "UPDATE tasks SET title = 'x' WHERE id = 1"
tamper "a toggle applied twice" "UPDATE tasks SET done = 0 WHERE id = 1"
tamper "a write applied without its request id" "DELETE FROM writes WHERE rid = 'e1'"

# --- Connection strings ---------------------------------------------------------------

options=$(tclsh <<TCL
source $root/demo/store.tcl
foreach conninfo {
    {host=127.0.0.1 port=5433 dbname=tasks user=qsn password='a b\\'c'}
    {postgresql://qsn:p%40ss@%2Ftmp%2Fpg:5433/%D0%B7%D0%B0%D0%B4%D0%B0%D1%87%D0%B8?sslmode=disable}
    {postgres://[::1]/tasks}
    {host=h nonsense}
    {host=h colour=blue}
} {
    if {[catch {demo::pgoptions \$conninfo} result]} { set result "error: \$result" }
    puts \$result
}
TCL
)
check "connection strings" equals options "-host 127.0.0.1 -port 5433 -db tasks -user qsn -password {a b'c}
-user qsn -password p@ss -host /tmp/pg -port 5433 -db задачи -sslmode disable
-host ::1 -db tasks
error: QSN_DEMO_PG: cannot read \"nonsense\"
error: QSN_DEMO_PG: unknown setting \"colour\"" "$options"

finish
