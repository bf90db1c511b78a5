#!/usr/bin/env bash
# The demo's server scaled out on one machine: a PostgreSQL of its own, three
# qsnservers on loopback behind an nginx of its own, and many headless
# qsnclient processes at once, each adding, renaming, completing and listing
# tasks. Every run is checked against the database (scale.tcl check).
#
#   demo/scale.sh      installs what is missing, builds into build/ and runs
#                      in full: the measurement, then the faults; rewrites the
#                      scale-out section of docs/PERFORMANCE.md and docs/scale.png
#   demo/scale.sh --build DIR [--clients N] [--rounds N] [--samples N] [--report DIR]
#                      the same with the programs already built in DIR
#
# The measurement runs the same clients through nginx against one server on
# SQLite, then one, two and three servers on PostgreSQL, --samples times
# each in turn, from an empty database each time. The faults: a server
# hangs and is killed while requests wait on it, then PostgreSQL stops and
# starts again. Everything started here is stopped by its pid. The run's
# folder, with every log and client record, is removed at the end, unless
# the run failed or QSN_SCALE_KEEP is set. --samples 0 skips the measurement.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
source "$root/scripts/loopback.sh"

build="" clients=16 rounds=20 samples=3 report=$root/docs
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd) ;;
    --clients) clients=$2 ;;
    --rounds) rounds=$2 ;;
    --samples) samples=$2 ;;
    --report) report=$2 ;;
    *) echo "usage: demo/scale.sh [--build DIR] [--clients N] [--rounds N]" \
            "[--samples N] [--report DIR]" >&2
       exit 2 ;;
  esac
  shift 2
done
if [ -z "$build" ]; then
  "$root/scripts/install-deps.sh"
  echo "== building into build/"
  "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  build=$root/build
fi
mkdir -p "$report"
report=$(cd "$report" && pwd)
qsnclient=$build/qsnclient qsnserver=$build/server/qsnserver
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)

say() { printf '== %s\n' "$*"; }
# Often called inside $(...), whose variables die with it: the mark that
# keeps the logs is a file, which the trap of the script itself sees.
fail() {
  echo "scale: $*; logs and client records kept in $tmp" >&2
  : >"$tmp/keep"
  exit 1
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

tmp=$(mktemp -d /tmp/qsnscale.XXXXXX)
chmod 711 "$tmp"
pg_pid="" nginx_pid="" sqlite_pid=""
servers=() server_ports=() client_pids=()

# stop PID...: TERM, then KILL for whatever is still there after 3 seconds.
stop() {
  local pid
  for pid; do kill "$pid" 2>/dev/null || true; done
  for pid; do
    for _ in $(seq 30); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

cleanup() {
  local pids=(${servers[@]+"${servers[@]}"} ${client_pids[@]+"${client_pids[@]}"})
  [ -z "$nginx_pid" ] || pids+=("$nginx_pid")
  [ -z "$sqlite_pid" ] || pids+=("$sqlite_pid")
  [ ${#pids[@]} -eq 0 ] || stop "${pids[@]}"
  pg_stop
  [ -n "${QSN_SCALE_KEEP:-}" ] || [ -e "$tmp/keep" ] || rm -rf "$tmp"
}
trap cleanup EXIT

# --- PostgreSQL, as the user postgres when run as root ----------------------

as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

pg_init() {
  mkdir "$tmp/pg"
  pg_password=$(openssl rand -hex 12)
  echo "$pg_password" >"$tmp/pg/password"
  [ "$(id -u)" -ne 0 ] || chown -R postgres: "$tmp/pg"
  as_pg "$pgbin/initdb" -D "$tmp/pg/data" -U qsn --pwfile="$tmp/pg/password" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C >"$tmp/pg/initdb.log" ||
    fail "initdb failed: $(cat "$tmp/pg/initdb.log")"
  pg_port=$(free_port)
}

# Listens on 127.0.0.1 and on a socket in its own folder, nowhere else.
pg_start() {
  as_pg "$pgbin/pg_ctl" -D "$tmp/pg/data" -l "$tmp/pg/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -c port=$pg_port -c unix_socket_directories=$tmp/pg" \
    start >/dev/null || fail "PostgreSQL did not start: $(tail -n 5 "$tmp/pg/server.log")"
  pg_pid=$(head -n 1 "$tmp/pg/data/postmaster.pid")
}

# Fast shutdown: open transactions are rolled back, connections closed.
# One that takes over 10 seconds becomes an immediate shutdown.
pg_stop() {
  [ -n "$pg_pid" ] || return 0
  local signal
  for signal in INT QUIT; do
    pg_running || break
    kill -"$signal" "$pg_pid"
    for _ in $(seq 100); do
      pg_running || break 2
      sleep 0.1
    done
  done
  pg_pid=
}

# Whether $pg_pid is still our postmaster (pg_ctl started it; it is not
# our child, so its pid could be taken by another process once it ends).
pg_running() { grep -qF "$tmp/pg/data" "/proc/$pg_pid/cmdline" 2>/dev/null; }

pg_sql() {
  psql -X -q -v ON_ERROR_STOP=1 -h "$tmp/pg" -p "$pg_port" -U qsn -d "$1" -c "$2" >/dev/null
}

# --- qsnserver and nginx ------------------------------------------------------------

# server_start LOG VAR=VALUE...: a qsnserver with the demo in that
# environment; sets started_pid and started_port.
server_start() {
  local log=$1 url
  shift
  env -u QSN_DEMO_PG -u QSN_DEMO_DB "$@" "$qsnserver" --listen 127.0.0.1:0 \
    "$here/server.tcl" >"$log" 2>&1 &
  started_pid=$!
  url=$(server_url "$log" "$started_pid" 200) || true
  [[ "$url" =~ ^http://127\.0\.0\.1:([0-9]+)/$ ]] ||
    fail "qsnserver did not start: $(cat "$log")"
  started_port=${BASH_REMATCH[1]}
}

# nginx_start PORT...: nginx in front of the servers on those ports.
nginx_start() {
  local dir=$tmp/nginx port
  rm -rf "$dir"
  mkdir -p "$dir"
  nginx_port=$(free_port)
  for port; do echo "server 127.0.0.1:$port max_fails=1 fail_timeout=10s;"; done \
    >"$dir/servers.conf"
  sed -e "s|@DIR@|$dir|g" -e "s|@PORT@|$nginx_port|g" "$here/nginx.conf" >"$dir/nginx.conf"
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" &
  nginx_pid=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null && return 0
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.05
  done
  fail "nginx did not start: $(cat "$dir/error.log")"
}

nginx_stop() {
  stop "$nginx_pid"
  nginx_pid=
}

# requests LOG: how many requests the server logged so far.
requests() { grep -c ' POST ' "$1" || true; }

# --- Clients ------------------------------------------------------------------------

# clients_run NAME ROUNDS ?STOPFILE?: starts the clients, each in its own
# folder under $tmp/runs/NAME, through nginx.
clients_run() {
  run_dir=$tmp/runs/$1
  client_pids=()
  local i
  for ((i = 1; i <= clients; i++)); do
    mkdir -p "$run_dir/c$i"
    ln -s "$tmp/init.dat" "$run_dir/c$i/init.dat"
    (cd "$run_dir/c$i" &&
      exec env -u DISPLAY "$qsnclient" "http://127.0.0.1:$nginx_port/" "Клиент $i" "$2" \
        ${3:+"$3"} >out.txt 2>&1) &
    client_pids+=($!)
  done
}

clients_wait() {
  local pid failed=0
  for pid in "${client_pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
  client_pids=()
  [ "$failed" -eq 0 ] || fail "$failed clients failed"
}

# succeeded: requests the clients of the current run completed so far.
succeeded() { cat "$run_dir"/c*/record.txt 2>/dev/null | grep -c '^req ' || true; }

# wait_progress N WHAT: waits until the clients complete N more requests.
wait_progress() {
  local target=$(($(succeeded) + $1))
  for _ in $(seq 600); do
    [ "$(succeeded)" -ge "$target" ] && return 0
    sleep 0.05
  done
  fail "no progress $2"
}

judge() {
  local env=$1
  shift
  env -u QSN_DEMO_PG -u QSN_DEMO_DB "$env" tclsh "$here/scale.tcl" check "$@" "$run_dir"/c* ||
    fail "the check failed"
}

# --- The measurement ---------------------------------------------------------------

# measure CONFIG SAMPLE: one run of the clients against sqlite, pg1, pg2 or pg3.
measure() {
  local config=$1 ports=() pids=() env before=() i log
  if [ "$config" = sqlite ]; then
    server_start "$tmp/sqlite.log" QSN_DEMO_DB="$tmp/tasks-$2.db"
    sqlite_pid=$started_pid
    pids=("$sqlite_pid") ports=("$started_port") logs=("$tmp/sqlite.log")
    env=QSN_DEMO_DB=$tmp/tasks-$2.db
  else
    local n=${config#pg}
    pg_sql tasks "TRUNCATE writes, tasks, users RESTART IDENTITY"
    pids=("${servers[@]:0:n}") ports=("${server_ports[@]:0:n}")
    logs=()
    for ((i = 1; i <= n; i++)); do logs+=("$tmp/server$i.log"); done
    env=QSN_DEMO_PG=$pg_dsn
  fi
  for log in "${logs[@]}"; do before+=("$(requests "$log")"); done
  nginx_start "${ports[@]}"
  say "measuring $config, sample $2: $clients clients x $rounds rounds"
  local cpu0 cpu1 t0 t1
  cpu0=$(cpu_sample "${pids[*]}")
  t0=$(now_ms)
  clients_run "$config-$2" "$rounds"
  clients_wait
  t1=$(now_ms)
  cpu1=$(cpu_sample "${pids[*]}")
  nginx_stop
  [ "$config" != sqlite ] || { stop "$sqlite_pid"; sqlite_pid=""; }

  local stats used
  stats=$(judge "$env") || exit 1
  shares "${#logs[@]}" "${logs[@]}" "${before[@]}"
  used=$(tclsh "$here/scale.tcl" used "$(getconf CLK_TCK)" "$cpu0" "$cpu1") ||
    fail "the CPU figures could not be read"
  echo "config $config sample $2 clients $clients rounds $rounds $stats" \
    "wall_ms $((t1 - t0)) $used" >>"$results"
}

# cpu_sample SERVER_PIDS: the CPU figures of the servers, nginx, PostgreSQL
# and the machine now (scale.tcl sample).
cpu_sample() {
  tclsh "$here/scale.tcl" sample "$1" "$nginx_pid" "$pg_pid" ||
    fail "the CPU figures could not be read"
}

# shares N LOG... BEFORE...: every server answered at least half its even share.
shares() {
  local n=$1 i total=0 counts=()
  shift
  for ((i = 0; i < n; i++)); do
    counts+=("$(($(requests "${@:i+1:1}") - ${@:n+i+1:1}))")
    total=$((total + counts[i]))
  done
  for ((i = 0; i < n; i++)); do
    [ $((counts[i] * 2 * n)) -ge "$total" ] ||
      fail "server $((i + 1)) answered ${counts[i]} of $total requests: ${counts[*]}"
  done
  say "requests per server: ${counts[*]}"
}

# --- Faults ---------------------------------------------------------------------------

# A server hangs with requests on it and is killed: those requests fail
# with the gateway's error reply, later ones go to the two others. Then
# PostgreSQL stops: requests fail with the server's error reply until it is
# back. The clients send a failed request again, the same request id with
# it, and the check finds every write once.
faults() {
  say "faults: $clients clients; a server killed, then PostgreSQL restarted"
  pg_sql tasks "TRUNCATE writes, tasks, users RESTART IDENTITY"
  nginx_start "${server_ports[@]}"
  clients_run faults 2 "$tmp/runs/faults.stop"
  wait_progress $((2 * clients)) "before the faults"
  kill -STOP "${servers[2]}"
  sleep 1
  kill -KILL "${servers[2]}"
  wait "${servers[2]}" 2>/dev/null || true
  servers=("${servers[@]:0:2}")
  wait_progress $((2 * clients)) "after the server was killed"
  pg_stop
  sleep 1
  pg_start
  wait_progress $((2 * clients)) "after PostgreSQL came back"
  touch "$tmp/runs/faults.stop"
  clients_wait
  nginx_stop
  # A reply the killed server was sending is cut short: nginx had passed
  # its headers on and can only close the connection.
  judge "QSN_DEMO_PG=$pg_dsn" -expect "Шлюз: *" -expect "База данных недоступна: *" \
    -allow "transfer closed with *" >/dev/null
  say "errors the clients saw and sent again:"
  cat "$run_dir"/c*/record.txt | sed -n 's/^error [^ ]* //p' | sed 's/[0-9][0-9]*/N/g' |
    sort | uniq -c
}

# --- The run ----------------------------------------------------------------------------

say "PostgreSQL of its own in $tmp/pg, on 127.0.0.1"
pg_init
pg_start
pg_sql postgres "CREATE DATABASE tasks"
pg_dsn="host=127.0.0.1 port=$pg_port dbname=tasks user=qsn password=$pg_password"

say "three qsnservers on PostgreSQL"
for i in 1 2 3; do
  server_start "$tmp/server$i.log" QSN_DEMO_PG="$pg_dsn"
  servers+=("$started_pid") server_ports+=("$started_port")
done
"$build/qsnpack" pack "$here/scale_client.tcl" "$tmp/init.dat"

results=$tmp/results.txt
: >"$results"
configs=(sqlite pg1 pg2 pg3)
for ((sample = 1; sample <= samples; sample++)); do
  for ((k = 0; k < 4; k++)); do measure "${configs[(k + sample - 1) % 4]}" "$sample"; done
done
if [ "$samples" -gt 0 ]; then
  tclsh "$here/scale.tcl" report "$report" "$results"
  say "wrote the scale-out section of $report/PERFORMANCE.md and $report/scale.png"
fi

faults
say "all checks passed"
