#!/usr/bin/env bash
# Builds the condition grammar natively with clang's libFuzzer and
# AddressSanitizer and runs it from a seed corpus of well-formed conditions,
# for a fixed number of inputs and a fixed seed (reproducible).
#
#   libfuzzer.sh OUTPUT_DIR [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
out=${1:?output folder}
runs=${2:-200000}
# A fresh corpus each time: the same seed then makes the same run.
rm -rf "$out/corpus"
mkdir -p "$out/corpus"
command -v clang++ >/dev/null || { echo "clang++ is missing (scripts/setup.sh installs it)"; exit 1; }
if [ ! -x "$out/condition-fuzzer" ] || [ "$root/logging/ConditionGrammar.cpp" -nt "$out/condition-fuzzer" ]; then
    clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -I"$here/shim" -I"$root/logging" -I"$here/.." \
        "$root/logging/ConditionGrammar.cpp" "$root/logging/LogConfiguration.cpp" \
        "$here/ConditionFuzzer.cpp" -o "$out/condition-fuzzer"
fi
# Seeds: the built-in table's conditions and a few of every shape, as UTF-16.
i=0
for c in '<activity>=="zuInstall" or <activity>=="zuUninstall"' \
         'not (<activity>=="zuInstall" or <activity>=="zuUninstall")' \
         'true and false or not(true)' '"x"=="X"' '< activity >==<dt>' '((true))'; do
    printf '%s' "$c" | iconv -f UTF-8 -t UTF-16LE > "$out/corpus/seed$i"
    i=$((i + 1))
done
ASAN_OPTIONS=detect_leaks=1 "$out/condition-fuzzer" -seed=1 -runs="$runs" -max_len=512 \
    -timeout=10 "$out/corpus" 2>&1 | tail -5
