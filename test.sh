#!/usr/bin/env bash
# Sets up what the tests need, then: fuzzes the parsers for a bounded time,
# builds the project plain and runs every test (soak and valgrind included),
# and builds it again with AddressSanitizer and UndefinedBehaviorSanitizer
# (leak checking on) and the seam that fails any one fallible call, and runs
# the tests there, the torture run among them. Last, the Windows host:
# cross-built, packaged, and tested under Wine against the plain build's
# server (its libraries are built once into a cache, which later runs reuse).
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
# The Windows libraries build meanwhile when the cache lacks them (some ten
# minutes, mostly while the Linux tests wait on their peers); a failure
# shows with its log when the Windows part needs them.
deps_log=$(mktemp /tmp/qsnwindeps.XXXXXX)
setsid -w scripts/windows-deps.sh >"$deps_log" 2>&1 &
deps=$!
# A failing step ends the run: the builds of that group end with it.
trap 'kill -- -"$deps" 2>/dev/null || true; rm -f "$deps_log"' EXIT
echo "== fuzzing"
scripts/fuzz.sh
echo "== plain build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j2)
echo "== sanitizer build"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DQSN_SANITIZE=ON -DQSN_TORTURE=ON
(cd build-asan && ctest --output-on-failure -j2)
echo "== Windows host under Wine"
deps_status=0
wait "$deps" || deps_status=$?
trap - EXIT
[ "$deps_status" = 0 ] || tail -n 40 "$deps_log" >&2
rm -f "$deps_log"
[ "$deps_status" = 0 ] || exit 1
tests/win/run.sh
