#!/usr/bin/env bash
# The torture run: every fallible call that qsnclient and qsnpack make in a
# representative run is made to fail in turn, one call per run, through the
# seam they are linked with (seam.h). A first run of each scenario counts its
# calls N; then run k fails call k, for k from 1 to N, two runs at a time.
# Every run must end by itself, leave no sanitizer report, and leave a sound
# trace (judge_client, judge_packer). Prints one line per program last.
#
# Environment: QSNCLIENT, QSNPACK, QSNSERVER; TORTURE_JOBS (default 2).
set -u
here=$(cd "$(dirname "$0")" && pwd)
QSNCLIENT=${QSNCLIENT:?} QSNPACK=${QSNPACK:?} QSNSERVER=${QSNSERVER:?}
jobs=${TORTURE_JOBS:-2}
# Far above a run's few seconds: a run that takes this long hangs.
run_limit=60

scratch=$(mktemp -d /tmp/qsntorture.XXXXXX)
server_pid=
stop_all() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  [ -n "${TORTURE_KEEP:-}" ] && echo "torture: kept $scratch" >&2 || rm -rf "$scratch"
}
trap stop_all EXIT

# The calls each scenario must make, so that a seam that stopped wrapping
# one (a changed link line, a call renamed) fails the test.
client_calls="getcwd setenv fopen fseek ftell fread fclose fwrite fflush iconv_open iconv
  OSSL_PROVIDER_try_load EVP_CIPHER_fetch EVP_CIPHER_CTX_new EVP_CipherInit_ex
  EVP_CipherUpdate EVP_CipherFinal_ex Tcl_GetEncoding curl_global_init curl_easy_init
  curl_multi_init curl_easy_setopt curl_slist_append curl_mime_init curl_mime_addpart
  curl_mime_name curl_mime_data curl_multi_add_handle curl_multi_perform curl_multi_poll
  operator_new(nothrow)"
pack_calls="fopen fread fclose iconv_open iconv OSSL_PROVIDER_try_load EVP_CIPHER_fetch
  EVP_CIPHER_CTX_new EVP_CipherInit_ex EVP_CipherUpdate EVP_CipherFinal_ex mkstemp
  fchmod write close rename"
unpack_calls="$pack_calls realpath"

# The outcome of the run that fails nothing, which every run is held to.
expected_outcome='log 0 3
waited 0 {echoed {artotal astotal rtotal stotal rspeed}}
server_error 0 {Ошибка на сервере:}
nowait 0 a
changeurl 0 {done /moved}
refused 0 refused
close 0 {Wrong session id}
end'

# A port nothing listens on: bound and released by tclsh.
free_port() {
  echo 'set s [socket -server {} -myaddr 127.0.0.1 0]; puts [lindex [fconfigure $s -sockname] 2]; close $s' | tclsh
}

start_server() {
  "$QSNSERVER" --listen 127.0.0.1:0 "$here/app.tcl" >"$scratch/server.out" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    local line
    line=$(head -n 1 "$scratch/server.out" 2>/dev/null)
    if [[ "$line" == "listening on "* ]]; then
      url=${line#listening on }
      return 0
    fi
    sleep 0.05
  done
  echo "qsnserver did not start:" >&2
  cat "$scratch/server.out" >&2
  return 1
}

# The calls a run made, one name per line (the names of the trace, with
# blanks made underscores).
calls_of() { sed -E 's/^[0-9]+ //; s/ failed$//; s/ /_/g' "$1/calls"; }

# The call a run failed, "k name", or nothing.
failed_call() { sed -n 's/ failed$//p' "$1/calls" 2>/dev/null; }

# Why a run did not end by itself and cleanly, or nothing.
judge_end() {
  local dir=$1 rc=$2
  if [ "$rc" -eq 124 ]; then
    echo "did not end within ${run_limit}s"
  elif [ "$rc" -gt 128 ]; then
    echo "ended by signal $((rc - 128))"
  elif grep -qE 'ERROR: [A-Za-z]+Sanitizer|runtime error:' "$dir/stderr"; then
    echo "sanitizer report: $(grep -m1 -E 'Sanitizer|runtime error:' "$dir/stderr")"
  fi
}

# A sound trace of the host: it ends with status 0, and either
# - the script ran to its end, every unit as in the run that fails nothing
#   but at most one, and that one raised a Tcl error with a clear message:
#   one line, neither empty nor the host's "undefined error"; or
# - the script did not run, and the log holds exactly one line: the
#   start-up's level-1 message of why.
# Prints why not, or nothing.
judge_client() {
  local dir=$1 rc=$2
  local why
  why=$(judge_end "$dir" "$rc")
  [ -n "$why" ] && { echo "$why"; return; }
  [ "$rc" -eq 0 ] || { echo "exit status $rc"; return; }
  if [ ! -e "$dir/outcome.txt" ]; then
    local lines
    lines=$(tr -cd '\n' <"$dir/qsnclient.log" 2>/dev/null | wc -c)
    if [ "$lines" -ne 1 ] || [ "$(tail -c 2 "$dir/qsnclient.log" | od -An -c | tr -d ' ')" != '\r\n' ]; then
      echo "the script did not run and the log holds $lines lines, not one"
    elif [ -z "$(failed_call "$dir")" ]; then
      echo "the script did not run, yet no call failed"
    fi
    return
  fi
  if [ "$(tail -n 1 "$dir/outcome.txt")" != end ]; then
    # A last block that does not decipher is left out, as for a damaged
    # file, and the text before it runs: the interpreter's error goes to
    # the log.
    if [[ "$(failed_call "$dir")" == *" EVP_CipherFinal_ex" ]] &&
      tail -n 2 "$dir/qsnclient.log" | grep -q '^    while executing'; then
      return
    fi
    echo "the script stopped after: $(tail -n 1 "$dir/outcome.txt")"
    return
  fi
  local differ
  differ=$(diff --text <(echo "$expected_outcome") "$dir/outcome.txt" | grep -a '^>' | sed 's/^> //')
  [ -z "$differ" ] && return
  if [ "$(echo "$differ" | wc -l)" -gt 1 ]; then
    echo "units differ: $(echo "$differ" | tr '\n' '|')"
  elif [ -z "$(failed_call "$dir")" ]; then
    echo "a unit differs, yet no call failed: $differ"
  else
    echo "$differ" >"$dir/differ"
    judge_unit "$dir/differ"
  fi
}

# Why the unit whose outcome line is in FILE did not fail soundly, or
# nothing. The host's "undefined error" (Неопределённая ошибка) says
# nothing of what failed.
judge_unit() {
  tclsh /dev/stdin "$1" <<'TCL'
set f [open [lindex $argv 0]]
fconfigure $f -encoding utf-8
lassign [read -nonewline $f] name code result
set undefined "\u041d\u0435\u043e\u043f\u0440\u0435\u0434\u0435\u043b\u0451\u043d\u043d\u0430\u044f \u043e\u0448\u0438\u0431\u043a\u0430"
if {$code != 1} {
    puts "unit $name: code $code, result changed to: $result"
} elseif {$result eq "" || [string match *\n* $result] || $result eq $undefined} {
    puts "unit $name failed without a clear message: $result"
}
TCL
}

# A sound trace of the packer: either exit status 0 and the output of the
# run that fails nothing, with its permissions; or exit status 1, one line
# "qsnpack: ..." on standard error, and the output as it was before (none,
# or the old file untouched). Either way no file is left beside it, and an
# output reached through a symbolic link keeps the link.
judge_packer() {
  local dir=$1 rc=$2 verb=$3
  local why
  why=$(judge_end "$dir" "$rc")
  [ -n "$why" ] && { echo "$why"; return; }
  local stray
  stray=$(ls -A "$dir" | grep -vxE 'in|calls|stdout|stderr|verdict|out|target|before')
  [ -n "$stray" ] && { echo "left behind: $stray"; return; }
  local file=$dir/out want mode=644
  if [ "$verb" = unpack ]; then
    [ "$(readlink "$dir/out")" = target ] || { echo "the link to the output was replaced"; return; }
    file=$dir/target mode=640
  fi
  case $rc in
    0)
      [ -s "$dir/stderr" ] && { echo "exit status 0 with a message: $(head -n 1 "$dir/stderr")"; return; }
      want=$scratch/expected.$verb
      ;;
    1)
      if [ "$(wc -l <"$dir/stderr")" -ne 1 ] || ! grep -q '^qsnpack: ' "$dir/stderr"; then
        echo "exit status 1 without one line of message: $(tr '\n' '|' <"$dir/stderr")"
        return
      fi
      [ -z "$(failed_call "$dir")" ] && { echo "failed, yet no call failed: $(cat "$dir/stderr")"; return; }
      [ "$verb" = pack ] && { [ -e "$file" ] && echo "an output file was left"; return; }
      want=$dir/before
      ;;
    *)
      echo "exit status $rc"
      return
      ;;
  esac
  if ! cmp -s "$file" "$want"; then
    echo "exit status $rc with another output"
  elif [ "$(stat -c %a "$file")" != "$mode" ]; then
    echo "exit status $rc with the output's mode $(stat -c %a "$file"), not $mode"
  fi
}

# run_client DIR K: one run of the host failing call K (0: none).
run_client() {
  local dir=$1 k=$2
  mkdir -p "$dir"
  cp "$scratch/init.dat" "$dir/"
  local rc=0
  # In the C locale Tcl's system encoding is not UTF-8, so a conversion
  # that falls back on it changes the text.
  (cd "$dir" && QSN_FAIL_CALL=$k QSN_CALL_TRACE=calls LC_ALL=C timeout -s KILL \
    "$run_limit" env -u DISPLAY "$QSNCLIENT" "$url" "$refused" "run$k" >stdout 2>stderr) ||
    rc=$?
  [ "$rc" -eq 137 ] && rc=124
  judge_client "$dir" "$rc" >"$dir/verdict"
}

# run_packer DIR K VERB: one run of `qsnpack VERB in out` failing call K. A
# pack makes a new file; an unpack replaces one, of mode 640, through a
# symbolic link.
run_packer() {
  local dir=$1 k=$2 verb=$3
  mkdir -p "$dir"
  if [ "$verb" = pack ]; then
    cp "$here/client.tcl" "$dir/in"
  else
    cp "$scratch/init.dat" "$dir/in"
    echo "the file before" >"$dir/target"
    chmod 640 "$dir/target"
    cp -p "$dir/target" "$dir/before"
    ln -s target "$dir/out"
  fi
  local rc=0
  (cd "$dir" && umask 022 && QSN_FAIL_CALL=$k QSN_CALL_TRACE=calls \
    timeout -s KILL "$run_limit" "$QSNPACK" "$verb" in out >stdout 2>stderr) || rc=$?
  [ "$rc" -eq 137 ] && rc=124
  judge_packer "$dir" "$rc" "$verb" >"$dir/verdict"
}

# count SCENARIO RUNNER ARGS: the run that fails nothing; checks it and
# sets `n` to the number of calls it made.
count() {
  local name=$1 runner=$2 dir=$scratch/$1/0
  shift 2
  "$runner" "$dir" 0 "$@"
  if [ -s "$dir/verdict" ]; then
    echo "torture: $name: the run that fails nothing is not sound: $(cat "$dir/verdict")" >&2
    return 1
  fi
  local missing=
  for call in $(eval echo "\$${name}_calls"); do
    calls_of "$dir" | grep -qxF "$call" || missing+=" $call"
  done
  if [ -n "$missing" ]; then
    echo "torture: $name: the seam saw no call of:$missing" >&2
    return 1
  fi
  n=$(wc -l <"$dir/calls")
}

# torture SCENARIO N RUNNER ARGS: runs 1..N, `jobs` at a time.
torture() {
  local name=$1 total=$2 runner=$3
  shift 3
  local running=()
  for k in $(seq 1 "$total"); do
    "$runner" "$scratch/$name/$k" "$k" "$@" &
    running+=($!)
    if [ "${#running[@]}" -ge "$jobs" ]; then
      wait "${running[0]}"
      running=("${running[@]:1}")
    fi
  done
  for pid in "${running[@]}"; do wait "$pid"; done
}

# tally SCENARIO N: adds its runs to `failed_calls`, `clean`, `short` and
# `unsound`, and prints each run that was not sound.
tally() {
  local name=$1 total=$2
  for k in $(seq 1 "$total"); do
    local dir=$scratch/$name/$k call
    call=$(failed_call "$dir")
    if [ -n "$call" ]; then
      failed_calls=$((failed_calls + 1))
    else
      # Waits vary with timing: this run made fewer than k calls.
      short=$((short + 1))
    fi
    [ -n "$call" ] && echo "${call#* }" >>"$scratch/failed_names"
    if [ -s "$dir/verdict" ]; then
      unsound=$((unsound + 1))
      echo "torture: $name run $k (${call:-no call failed}): $(cat "$dir/verdict")"
      echo "  stderr: $(head -c 600 "$dir/stderr" | tr '\n' '|')"
    elif [ -n "$call" ]; then
      clean=$((clean + 1))
    fi
  done
}

start=$(date +%s)
start_server || exit 1
refused=http://127.0.0.1:$(free_port)/
"$QSNPACK" pack "$here/client.tcl" "$scratch/init.dat" || exit 1
# What a run that fails nothing writes: qsnpack's cipher has a fixed key and
# vector, so the same source packs to the same bytes.
cp "$scratch/init.dat" "$scratch/expected.pack"
cp "$here/client.tcl" "$scratch/expected.unpack"
status=0

count client run_client || exit 1
client_n=$n
cp "$scratch/client/0/calls" "$scratch/client.calls"
count pack run_packer pack || exit 1
pack_n=$n
count unpack run_packer unpack || exit 1
unpack_n=$n

torture client "$client_n" run_client
torture pack "$pack_n" run_packer pack
torture unpack "$unpack_n" run_packer unpack

summary() {
  local program=$1 total=$2
  echo "torture: $program: $total runs, $short made fewer calls than the count;" \
    "calls failed: $(sort "$scratch/failed_names" 2>/dev/null | uniq -c |
      sed -E 's/^ *([0-9]+) (.*)/\2 x\1/' | paste -sd, | sed 's/,/, /g')"
  [ "$unsound" -eq 0 ] && [ "$short" -le $((total / 10)) ] || status=1
  final+=("torture: $failed_calls calls failed in turn, $clean ended cleanly ($program)")
}
final=()
failed_calls=0 clean=0 short=0 unsound=0
rm -f "$scratch/failed_names"
tally client "$client_n"
summary qsnclient "$client_n"
failed_calls=0 clean=0 short=0 unsound=0
rm -f "$scratch/failed_names"
tally pack "$pack_n"
tally unpack "$unpack_n"
summary qsnpack $((pack_n + unpack_n))
echo "torture: $(($(date +%s) - start)) s"
printf '%s\n' "${final[@]}"
exit $status
