#!/usr/bin/env bash
# Sets up what the tests need, then: fuzzes the parsers for a bounded time,
# builds the project plain and runs every test (soak and valgrind included),
# and builds it again with AddressSanitizer and UndefinedBehaviorSanitizer
# (leak checking on) and the seam that fails any one fallible call, and runs
# the tests there, the torture run among them.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
echo "== fuzzing"
scripts/fuzz.sh
echo "== plain build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j2)
echo "== sanitizer build"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DQSN_SANITIZE=ON -DQSN_TORTURE=ON
(cd build-asan && ctest --output-on-failure -j2)
