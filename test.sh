#!/usr/bin/env bash
# Sets up what the tests need, builds the project twice (plain, and with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test in
# both builds.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
echo "== plain build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j2)
echo "== sanitizer build"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DQSN_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j2)
if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing"
  scripts/fuzz.sh
fi
