#!/usr/bin/env bash
# The whole test suite: set-up, build, then every test under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORN_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
cd "$build"
exec ctest --output-on-failure -j"${ORN_TEST_JOBS:-2}" "$@"
