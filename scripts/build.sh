#!/usr/bin/env bash
# Set-up, configure and build: the shared first half of the README's commands.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORN_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" >/dev/null
fi
cmake --build "$build" -- -j"${ORN_JOBS:-$(nproc)}" "$@"
