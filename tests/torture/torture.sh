#!/usr/bin/env bash
# The torture run: every fallible call that qsnclient and qsnpack make in a
# representative run is made to fail in turn, one call per run, through the
# seam they are linked with (seam.h). A first run of each scenario counts its
# calls N; then run k fails call k, for k from 1 to N, two runs at a time.
# Every run must end by itself, leave no sanitizer report, and leave a sound
# trace (judge_client, judge_packer). Prints one line per program last.
#
# Environment: QSNCLIENT, QSNPACK, QSNSERVER; TORTURE_JOBS (default 2);
# TORTURE_KEEP=1 keeps the runs' folders.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/loopback.sh"
QSNCLIENT=${QSNCLIENT:?} QSNPACK=${QSNPACK:?} QSNSERVER=${QSNSERVER:?}
jobs=${TORTURE_JOBS:-2}
# Far above a run's second or so: a run that takes this long hangs.
run_limit=60
# The host runs without a display; and in the C locale, where Tcl's system
# encoding is not UTF-8, so that a conversion falling back on it shows.
unset DISPLAY
export LC_ALL=C
shopt -s nullglob

scratch=$(mktemp -d /tmp/qsntorture.XXXXXX)
server_pid=
stop_all() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  if [ -n "${TORTURE_KEEP:-}" ]; then echo "torture: kept $scratch"; else rm -rf "$scratch"; fi
}
trap stop_all EXIT

# The calls each scenario must make, so that a seam that stopped wrapping
# one (a changed link line, a call renamed) fails the test. `count` reads
# them by name.
# shellcheck disable=SC2034
client_calls="getcwd setenv fopen fseek ftell fread fclose open write iconv_open iconv
  OSSL_PROVIDER_try_load EVP_CIPHER_fetch EVP_CIPHER_CTX_new EVP_CipherInit_ex
  EVP_CipherUpdate EVP_CipherFinal_ex Tcl_GetEncoding curl_global_init curl_easy_init
  curl_multi_init curl_easy_setopt curl_slist_append curl_mime_init curl_mime_addpart
  curl_mime_name curl_mime_data curl_multi_add_handle curl_multi_perform curl_multi_poll
  operator_new(nothrow)"
pack_calls="fopen fread fclose Tcl_GetEncoding OSSL_PROVIDER_try_load EVP_CIPHER_fetch
  EVP_CIPHER_CTX_new EVP_CipherInit_ex EVP_CipherUpdate EVP_CipherFinal_ex mkstemp
  fchmod write close rename"
# shellcheck disable=SC2034
unpack_calls="$pack_calls realpath"

# The outcome of the run that fails nothing, which every run is held to.
expected_outcome=(
  'log 0 3'
  'waited 0 {echoed {artotal astotal rtotal stotal rspeed}}'
  'server_error 0 {Ошибка на сервере:}'
  'nowait 0 a'
  'changeurl 0 {done /moved}'
  'send 0 {{0 first 0 second} {artotal astotal rtotal stotal rspeed}}'
  'refused 0 refused'
  'configured 0 configured'
  'close 0 {Wrong session id}'
  'end')

start_server() {
  "$QSNSERVER" --listen 127.0.0.1:0 "$here/app.tcl" >"$scratch/server.out" 2>&1 &
  server_pid=$!
  url=$(server_url "$scratch/server.out" "$server_pid") && return 0
  echo "qsnserver did not start:" >&2
  cat "$scratch/server.out" >&2
  return 1
}

# Sets `failed` to the call the run in DIR failed, "k name", or to nothing.
read_failed() {
  failed=
  [ -e "$1/calls" ] || return 0
  local line
  while IFS= read -r line; do
    if [[ "$line" == *" failed" ]]; then
      failed=${line% failed}
      return 0
    fi
  done <"$1/calls"
}

# Says why a run did not end by itself and cleanly, and fails; or passes.
judge_end() {
  local dir=$1 rc=$2
  if [ "$rc" -eq 124 ]; then
    echo "did not end within ${run_limit}s"
  elif [ "$rc" -gt 128 ]; then
    echo "ended by signal $((rc - 128))"
  elif [ -s "$dir/stderr" ] && grep -qE 'ERROR: [A-Za-z]+Sanitizer|runtime error:' "$dir/stderr"; then
    echo "sanitizer report: $(grep -m1 -E 'Sanitizer|runtime error:' "$dir/stderr")"
  else
    return 0
  fi
  return 1
}

# A sound trace of the host: it ends with status 0, and either
# - the script ran to its end, every unit as in the run that fails nothing
#   but at most one, and that one raised a Tcl error with a clear message:
#   one line, neither empty nor the host's "undefined error"; or
# - the script did not run, and the log holds exactly one line after the
#   one on the missing display: the start-up's level-1 message of why; or
# - the last block of init.dat did not decipher: the text before it ran, as
#   for a damaged file, and the interpreter's error is in the log.
# Prints why not, or nothing.
judge_client() {
  local dir=$1 rc=$2
  judge_end "$dir" "$rc" || return
  [ "$rc" -eq 0 ] || { echo "exit status $rc"; return; }
  read_failed "$dir"
  local log=
  [ -e "$dir/qsnclient.log" ] && IFS= read -r -d '' log <"$dir/qsnclient.log"
  # The host runs without a display and says so before anything else.
  log=${log#"Tk_Init: "*$'\r\n'}
  if [ ! -e "$dir/outcome.txt" ]; then
    local breaks=${log//[!$'\n']/}
    if [ "${#breaks}" -ne 1 ] || [[ "$log" != *$'\r\n' ]]; then
      echo "the script did not run and the log holds ${#breaks} lines, not one"
    elif [ -z "$failed" ]; then
      echo "the script did not run, yet no call failed"
    fi
    return
  fi
  local outcome
  mapfile -t outcome <"$dir/outcome.txt"
  if [ "${outcome[-1]-}" != end ]; then
    [[ "$failed" == *" EVP_CipherFinal_ex" && "$log" == *$'\n    while executing'* ]] && return
    echo "the script stopped after: ${outcome[-1]-nothing}"
    return
  fi
  local differ=() i
  for i in "${!outcome[@]}"; do
    [ "${outcome[i]}" != "${expected_outcome[i]-}" ] && differ+=("${outcome[i]}")
  done
  [ "${#differ[@]}" -eq 0 ] && return
  if [ "${#differ[@]}" -gt 1 ] || [ "${#outcome[@]}" -ne "${#expected_outcome[@]}" ]; then
    echo "units differ: $(printf '%s|' "${differ[@]}")"
  elif [ -z "$failed" ]; then
    echo "a unit differs, yet no call failed: ${differ[0]}"
  else
    # The unit's name, code and result as a Tcl list element.
    local unit code result
    read -r unit code result <<<"${differ[0]}"
    if [ "$code" != 1 ]; then
      echo "unit $unit: code $code, result changed to: $result"
    elif [ "$result" = "{}" ] || [ "$result" = "{Неопределённая ошибка}" ]; then
      echo "unit $unit failed without a clear message: $result"
    fi
  fi
}

# A sound trace of the packer: either exit status 0 and the output of the
# run that fails nothing, with its permissions; or exit status 1, one line
# "qsnpack: ..." on standard error, and the output as it was before (none,
# or the old file untouched). Either way no file is left beside it, and an
# output reached through a symbolic link keeps the link.
judge_packer() {
  local dir=$1 rc=$2 verb=$3
  judge_end "$dir" "$rc" || return
  local path
  for path in "$dir"/* "$dir"/.[!.]*; do
    case ${path##*/} in
      in | calls | stdout | stderr | verdict | out | target | before) ;;
      *) echo "left behind: ${path##*/}" ;;
    esac
  done
  local file=$dir/out want mode=644
  if [ "$verb" = unpack ]; then
    [ "$(readlink "$dir/out")" = target ] || { echo "the link to the output was replaced"; return; }
    file=$dir/target mode=640
  fi
  local message
  mapfile -t message <"$dir/stderr"
  case $rc in
    0)
      [ "${#message[@]}" -eq 0 ] || { echo "exit status 0 with a message: ${message[0]}"; return; }
      want=$scratch/expected.$verb
      ;;
    1)
      if [ "${#message[@]}" -ne 1 ] || [[ "${message[0]}" != "qsnpack: "* ]]; then
        echo "exit status 1 without one line of message: $(printf '%s|' "${message[@]}")"
        return
      fi
      read_failed "$dir"
      [ -z "$failed" ] && { echo "failed, yet no call failed: ${message[0]}"; return; }
      if [ "$verb" = pack ]; then
        [ -e "$file" ] && echo "an output file was left"
        return
      fi
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
  (cd "$dir" && QSN_FAIL_CALL=$k QSN_CALL_TRACE=calls exec timeout -s KILL "$run_limit" \
    "$QSNCLIENT" "$url" "$refused" "run$k" >stdout 2>stderr) || rc=$?
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
    exec timeout -s KILL "$run_limit" "$QSNPACK" "$verb" in out >stdout 2>stderr) || rc=$?
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
    echo "torture: $name: the run that fails nothing is not sound: $(cat "$dir/verdict")"
    return 1
  fi
  local made missing='' call
  made=$(sed -E 's/^[0-9]+ //; s/ /_/g' "$dir/calls")
  for call in $(eval echo "\$${name}_calls"); do
    grep -qxF "$call" <<<"$made" || missing+=" $call"
  done
  if [ -n "$missing" ]; then
    echo "torture: $name: the seam saw no call of:$missing"
    return 1
  fi
  n=$(wc -l <"$dir/calls")
}

# torture SCENARIO N RUNNER ARGS: runs 1..N, `jobs` at a time.
torture() {
  local name=$1 total=$2 runner=$3
  shift 3
  local running=() k pid
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
  local name=$1 total=$2 k dir
  for k in $(seq 1 "$total"); do
    dir=$scratch/$name/$k
    read_failed "$dir"
    if [ -n "$failed" ]; then
      failed_calls=$((failed_calls + 1))
      echo "${failed#* }" >>"$scratch/failed_names"
    else
      # Waits vary with timing: this run made fewer than k calls.
      short=$((short + 1))
    fi
    if [ -s "$dir/verdict" ]; then
      unsound=$((unsound + 1))
      echo "torture: $name run $k (${failed:-no call failed}): $(cat "$dir/verdict")"
      echo "  stderr: $(head -c 600 "$dir/stderr" | tr '\n' '|')"
    elif [ -n "$failed" ]; then
      clean=$((clean + 1))
    fi
  done
}

# summary PROGRAM N: the program's line of which calls failed; fails the
# test on a run not sound, or on many runs short of the count.
summary() {
  local program=$1 total=$2
  echo "torture: $program: $total runs, $short made fewer calls than the count;" \
    "calls failed: $(sort "$scratch/failed_names" 2>/dev/null | uniq -c |
      sed -E 's/^ *([0-9]+) (.*)/\2 x\1/' | paste -sd, | sed 's/,/, /g')"
  [ "$unsound" -eq 0 ] && [ "$short" -le $((total / 10)) ] || status=1
  final+=("torture: $failed_calls calls failed in turn, $clean ended cleanly ($program)")
  failed_calls=0 clean=0 short=0 unsound=0
  rm -f "$scratch/failed_names"
}

start=$(date +%s)
start_server || exit 1
refused=http://127.0.0.1:$(free_port)/
"$QSNPACK" pack "$here/client.tcl" "$scratch/init.dat" || exit 1
# What a run that fails nothing writes: qsnpack's cipher has a fixed key and
# vector, so the same source packs to the same bytes.
cp "$scratch/init.dat" "$scratch/expected.pack"
cp "$here/client.tcl" "$scratch/expected.unpack"

count client run_client || exit 1
client_n=$n
count pack run_packer pack || exit 1
pack_n=$n
count unpack run_packer unpack || exit 1
unpack_n=$n

torture client "$client_n" run_client
torture pack "$pack_n" run_packer pack
torture unpack "$unpack_n" run_packer unpack

status=0 final=() failed_calls=0 clean=0 short=0 unsound=0
tally client "$client_n"
summary qsnclient "$client_n"
tally pack "$pack_n"
tally unpack "$unpack_n"
summary qsnpack $((pack_n + unpack_n))
echo "torture: $(($(date +%s) - start)) s"
printf '%s\n' "${final[@]}"
exit $status
