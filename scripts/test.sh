#!/usr/bin/env bash
# The whole test suite: set-up, build, then every test under Wine.
#
# Arguments go to ctest: "-R Stress" picks tests by name, and
# "--repeat until-fail:N" runs each picked test up to N times, stopping at
# its first failure (the concurrency tests check their own output in every
# round). ORN_TEST_ROUNDS=N runs the whole selection N times in a row, each
# round with fresh Wine sessions, and stops at the first red round.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORN_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
# Product code stays in the style .clang-format states.
"$root/scripts/format-check.sh"
cd "$build"
rounds=${ORN_TEST_ROUNDS:-1}
for ((round = 1; round <= rounds; ++round)); do
    [ "$rounds" -eq 1 ] || echo "=== round $round of $rounds"
    ctest --output-on-failure -j"${ORN_TEST_JOBS:-2}" "$@" ||
        { [ "$rounds" -eq 1 ] || echo "=== round $round of $rounds failed"; exit 1; }
done
[ "$rounds" -eq 1 ] || echo "=== $rounds rounds passed"
