#!/usr/bin/env bash
# Set-up, configure and build: the shared first half of the README's commands.
# Both builds from the same sources: the 32-bit tree in the build folder and
# the 64-bit tree in its "x64" folder (which uses the first tree's Wine
# prefixes). Arguments go to ninja in both trees; a target name one tree
# does not have is left out there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORN_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"

configure() {
    local dir=$1 toolchain=$2
    shift 2
    [ -f "$dir/build.ninja" ] && return 0
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" "$@" >/dev/null
}
configure "$build" toolchain-i686-mingw.cmake
configure "$build/x64" toolchain-x86_64-mingw.cmake -DORN_WINE_ROOT="$build"

for dir in "$build" "$build/x64"; do
    args=()
    for arg in "$@"; do
        if [[ $arg == -* ]] || ninja -C "$dir" -t query "$arg" >/dev/null 2>&1; then
            args+=("$arg")
        fi
    done
    # Named targets that are all missing here leave nothing to build.
    if (($# > 0)) && ((${#args[@]} == 0)); then
        continue
    fi
    cmake --build "$dir" -- -j"${ORN_JOBS:-$(nproc)}" "${args[@]}"
done
