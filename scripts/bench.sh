#!/usr/bin/env bash
# Builds the benchmarks and runs them under Wine in a prefix of their own
# (bench-wine64 in the build tree: they register the module and write the
# product's registry values and log files there), then prints the table;
# figures 4 (the context menu) and 8 (the start to the first menu, five rows)
# are measured for both builds of the module.
#
# gzip -6 runs here on the Linux side on the same 2 MiB the rotation packs,
# timed right before and right after the benchmark program; its median goes
# to the program, which divides its own rotation times by it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORN_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" orn_bench OrnShExt >/dev/null

prefix=bench-wine64
dir=$build/$prefix
if [ ! -f "$dir/.orn-ready" ]; then
    echo "bench: creating the benchmark's Wine prefix in $dir"
    rm -rf "$dir"
    WINEPREFIX=$dir WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        wineboot -i >/dev/null 2>&1
    WINEPREFIX=$dir wineserver -w
    touch "$dir/.orn-ready"
fi
"$build/wine-session" start $prefix
trap '"$build/wine-session" stop $prefix' EXIT

# The C locale gives Wine's English user-interface language: the strings file
# is set up for 0409.
export ORN_PREFIX=$prefix LC_ALL=C.UTF-8
bench() { "$build/wine-run" "$build/bench/orn_bench.exe" "$@"; }

bench --write-sample
sample=$build/bench/bench-data/rotation-sample.log
gzip_times() {
    for _ in 1 2 3 4 5; do
        local t0 t1
        t0=$(date +%s%N)
        gzip -6 -c "$sample" >/dev/null
        t1=$(date +%s%N)
        echo $(( (t1 - t0) / 1000 ))
    done
}
before=$(gzip_times)
output=$(bench --gzip-ms=0 --only=12345789sb)
after=$(gzip_times)
# Figure 4 again with the 64-bit build of the program and the module.
menu64=$("$build/wine-run" "$build/x64/bench/orn_bench.exe" --only=4 | sed -n '2p')
cold64=$("$build/wine-run" "$build/x64/bench/orn_bench.exe" --only=8 | sed -n '2,6p')
gzip_ms=$(printf '%s\n' $before $after | sort -n | awk '{ v[NR] = $1 } END { printf "%.3f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2000 }')
rotation=$(bench --gzip-ms="$gzip_ms" --only=6 | sed -n '2p')

export cold64
echo "$output" | awk -v rot="$rotation" -v menu64="$menu64" '
    NR == 1 { print; next }
    /^4 QueryContextMenu/ { print; print menu64; next }
    /^8 load vs an empty module/ { print; print ENVIRON["cold64"]; next }
    /^$/ && !done { print rot; done = 1 }
    { print }
    END { if (!done) print rot }'
echo "   6 gzip -6 of the same 2 MiB (median of 10 runs, process start included): $gzip_ms ms"

# The cabinet the last rotation left must hold the sample, byte for byte.
work=$(mktemp -d)
cab=$(ls "$build"/bench/bench-data/rotation/*.cab 2>/dev/null | tail -1 || true)
if [ -n "$cab" ] && cabextract -q -d "$work" "$cab" && cmp -s "$work"/*.log "$sample"; then
    echo "   6 $(basename "$cab") extracts with cabextract to the 2 MiB sample, byte for byte"
else
    echo "   6 the last cabinet does not extract to the sample"
fi
rm -rf "$work"
