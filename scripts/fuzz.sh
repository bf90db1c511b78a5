#!/usr/bin/env bash
# fuzz.sh: builds the libFuzzer targets with clang into build-fuzz, replays
# the saved regression inputs, then fuzzes each target for FUZZ_SECONDS (20
# by default) on a scratch copy of its seed corpus. Fails on any crash, leak
# or sanitizer report; what crashed is kept in build-fuzz/artifacts.
# Installs nothing: deps/fuzz.txt lists the packages it needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-20}
build=$root/build-fuzz
fuzz_dir=$root/tests/fuzz
targets=(fuzz_reply fuzz_init_file fuzz_log)

if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: FUZZ_SECONDS must be a positive whole number, not '$seconds'" >&2
  exit 2
fi
for tool in clang clang++ cmake; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool not found" >&2; exit 1; }
done

# The compilers are named here, not through CC/CXX: those only count when
# the build folder is first configured.
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQSN_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

work=$(mktemp -d /tmp/qsnfuzz-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
artifacts=$build/artifacts
mkdir -p "$artifacts"

# The targets' scratch folders go here too, so a crashed run leaves none
# behind in /tmp.
export TMPDIR=$work

# Leak checking stays on, and any UB report ends the run like a crash.
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if [ -f "$fuzz_dir/lsan.supp" ]; then
  export LSAN_OPTIONS=suppressions=$fuzz_dir/lsan.supp:print_suppressions=0
fi
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && command -v llvm-symbolizer >/dev/null; then
  ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
  export ASAN_SYMBOLIZER_PATH
fi

# A sanitizer that reports without stopping the process still fails the run.
reports='ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:|deadly signal|check failed:'
passed=0
failed=0

# run NAME COMMAND...: runs the command with its output in a log, and shows
# the end of that log when it fails or reports anything.
run() {
  local name=$1 log=$work/$1.log
  shift
  local status=0
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || grep -qE "$reports" "$log"; then
    echo "FAIL $name (exit $status)"
    grep -vE '^#[0-9]+.*(NEW|REDUCE|pulse)' "$log" | tail -60
    failed=$((failed + 1))
    return 1
  fi
  passed=$((passed + 1))
  return 0
}

for target in "${targets[@]}"; do
  bin=$build/tests/fuzz/$target
  regressions=()
  if [ -d "$fuzz_dir/regressions/$target" ]; then
    while IFS= read -r -d '' f; do regressions+=("$f"); done \
      < <(find "$fuzz_dir/regressions/$target" -type f -print0 | sort -z)
  fi
  if [ ${#regressions[@]} -gt 0 ]; then
    run "$target-regressions" "$bin" -artifact_prefix="$artifacts/$target-" \
      "${regressions[@]}" && echo "ok   $target: ${#regressions[@]} regression inputs"
  fi

  corpus=$work/corpus-$target
  cp -r "$fuzz_dir/corpus/$target" "$corpus"
  if run "$target" "$bin" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$target-" "$corpus"; then
    log=$work/$target.log
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log")
    runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log")
    echo "ok   $target: ${seconds}s, $runs runs, $rate exec/s," \
      "$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$done_line")"
  fi
done

echo "fuzzing: $passed passed, $failed failed"
if [ "$failed" -ne 0 ]; then
  echo "fuzzing found problems; inputs kept in $artifacts" >&2
  exit 1
fi
