#!/usr/bin/env bash
# windows.sh [--smoke DIR]: the request rate of the Windows host under Wine
# against the bare libcurl program built the same way (static, mingw-w64,
# libcurl on Schannel), in one run: both alternate, a new order each round,
# against one fixed-reply nginx on 127.0.0.1; and its log, mputs against
# the same lines written with Tcl's puts and flush there. The figures are
# medians.
# Writes its own section of docs/PERFORMANCE.md (of DIR/PERFORMANCE.md with
# --smoke: tiny counts, figures that mean nothing), keeping the others.
# Needs the Windows build (scripts/windows.sh) and the Linux one in build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-lib.sh"
. "$root/scripts/loopback.sh"

out=$root/docs rounds=7 requests=3000 lines=20000
if [ "${1:-}" = --smoke ]; then
  out=${2:?--smoke DIR} rounds=1 requests=20 lines=200
fi
win=$root/build-win64
exe=$win/qsnclient.exe bare=$win/bench/bench_bare_client.exe
qsnpack=${QSNPACK:-$root/build/qsnpack}
for f in "$exe" "$bare" "$qsnpack" "$root/dist/qsnclient-win64.zip"; do
  [ -f "$f" ] || { echo "bench/windows.sh: missing $f (scripts/windows.sh, scripts/build.sh build)" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/qsnwinbench.XXXXXX)
nginx_pid='' own_session=0
cleanup() {
  [ $own_session = 0 ] || wine_session_stop
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# nginx answering every POST with the reply of a successful ping.
port=$(free_port)
mkdir -p "$scratch/nginx"
cat >"$scratch/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $scratch/nginx/nginx.pid;
error_log $scratch/nginx/error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $scratch/nginx/body;
    keepalive_requests 1000000;
    keepalive_timeout 300s;
    default_type text/plain;
    server {
        listen 127.0.0.1:$port;
        location / { return 200 "-qsnreply ok"; }
    }
}
CONF
nginx -p "$scratch/nginx" -c "$scratch/nginx/nginx.conf" -e "$scratch/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
url=http://127.0.0.1:$port/

# The host's working directory: the package's libraries and the benchmark's
# client script.
unzip -q "$root/dist/qsnclient-win64.zip" -d "$scratch"
run=$scratch/qsnclient-win64
"$qsnpack" pack "$root/bench/client_bench.tcl" "$run/init.dat"

# A session the caller keeps up (the Windows tests') is used as it is.
if [ -z "${QSN_WINE_SESSION:-}" ]; then
  wine_session_start
  own_session=1
fi
# rate OUTPUT: requests per second from "requests N seconds S ...";
# anything else (a program that failed) ends the run.
rate() {
  [[ $1 =~ ^requests\ [1-9][0-9]*\ seconds\ [0-9.]+ ]] && awk '$4 <= 0 { exit 1 } { printf "%.1f", $2 / $4 }' <<<"$1" ||
    { echo "bench/windows.sh: no figures in '$1'" >&2; exit 1; }
}
host_rates=() bare_rates=()
for ((r = 0; r < rounds; r++)); do
  for who in $( ((r % 2)) && echo "bare host" || echo "host bare"); do
    if [ "$who" = host ]; then
      line=$(cd "$run" && wine qsnclient.exe requests "$url" "$requests" 0)
      value=$(rate "$line")
      host_rates+=("$value")
    else
      line=$(wine "$bare" "$url" "$requests")
      value=$(rate "$line")
      bare_rates+=("$value")
    fi
  done
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
host=$(median "${host_rates[@]}") bare=$(median "${bare_rates[@]}")
ratio=$(awk -v h="$host" -v b="$bare" 'BEGIN { printf "%.2f", h / b }')
echo "qsnclient.exe $host requests/s, bare libcurl program $bare requests/s, ratio $ratio"

# The log: each round one run of the host writing $lines lines with mputs,
# then with puts and flush, plain and timestamped, to a CP866 file with
# CR LF. per_second OUTPUT KEY: lines per second of one writer.
per_second() {
  [[ $1 =~ ^lines\ [1-9][0-9]*\ mputs_seconds ]] &&
    awk -v key="$2" '{ for (i = 1; i < NF; i++) if ($i == key && $(i + 1) > 0) { printf "%.1f", $2 / $(i + 1); found = 1 } }
      END { exit !found }' <<<"$1" ||
    { echo "bench/windows.sh: no figures in '$1'" >&2; exit 1; }
}
mputs_rates=() puts_rates=() stamped_rates=()
for ((r = 0; r < rounds; r++)); do
  line=$(cd "$run" && wine qsnclient.exe log "$lines")
  mputs_rates+=("$(per_second "$line" mputs_seconds)")
  puts_rates+=("$(per_second "$line" puts_seconds)")
  stamped_rates+=("$(per_second "$line" stamped_seconds)")
done
mputs=$(median "${mputs_rates[@]}") puts=$(median "${puts_rates[@]}")
stamped=$(median "${stamped_rates[@]}")
ratio_of() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "mputs $mputs lines/s, puts + flush $puts, timestamped $stamped"

section=$(cat <<MD
## The Windows host under Wine

- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); $(wine --version), $(nproc) cores

Sequential requests of one small command on one session, kept alive, to
one nginx on 127.0.0.1; median of $rounds rounds of $requests requests,
the two programs alternating. Both are the cross-built Windows programs
(static, libcurl on Schannel) run under Wine on this machine.

| Contender | requests/s | ratio |
| --- | --- | --- |
| qsnclient.exe, requestQSN, loglevel 0 | $host | $ratio |
| bench_bare_client.exe | $bare | 1.00 |

The log in the same host: $lines lines of seven words, Cyrillic and
digits, to a CP866 file with CR LF line ends, flushed after each line;
median of $rounds rounds. \`mputs\` puts a timestamp in front of each
line, as the timestamped \`puts\` does with \`clock format\`.

| Writer | lines/s | ratio to puts + flush | ratio to timestamped |
| --- | --- | --- | --- |
| mputs | $mputs | $(ratio_of "$mputs" "$puts") | $(ratio_of "$mputs" "$stamped") |
| puts + flush | $puts | 1.00 | $(ratio_of "$puts" "$stamped") |
| puts + flush, timestamped | $stamped | $(ratio_of "$stamped" "$puts") | 1.00 |

\`bench/windows.sh\` reproduces this section after \`scripts/windows.sh\`
and \`scripts/build.sh build\`.
MD
)
mkdir -p "$out"
page=$out/PERFORMANCE.md
[ -f "$page" ] || printf '# Performance\n' >"$page"
# The page without this section, then the section at its end.
awk '/^## / { skip = ($0 == "## The Windows host under Wine") } !skip' "$page" >"$scratch/page"
{ sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$scratch/page"; printf '\n%s\n' "$section"; } >"$page"
echo "written to $page"
