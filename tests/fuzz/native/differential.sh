#!/usr/bin/env bash
# Builds the hand-written condition parser and the Spirit grammar it replaces
# natively into one program and compares them on COUNT conditions.
#
#   differential.sh OUTPUT_DIR [COUNT] [SEED]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
out=${1:?output folder}
mkdir -p "$out"
flags=(-std=c++17 -O2 -g -I"$here/shim" -I"$here" -I"$here/.." -I"$root/logging" -I"$root/platform")
spirit=(-DevaluateConditionText=spiritEvaluateConditionText -DanalyzeConditionText=spiritAnalyzeConditionText)
clang++ "${flags[@]}" "${spirit[@]}" -c "$here/../spirit/ConditionGrammar.cpp" -o "$out/SpiritGrammar.o"
clang++ "${flags[@]}" "${spirit[@]}" -c "$here/../spirit/ConditionAnalysis.cpp" -o "$out/SpiritAnalysis.o"
clang++ "${flags[@]}" "$root/logging/ConditionParser.cpp" "$root/logging/LogConfiguration.cpp" \
    "$here/Platform.cpp" "$here/ConditionDifferential.cpp" "$out/SpiritGrammar.o" "$out/SpiritAnalysis.o" \
    -o "$out/condition-differential"
"$out/condition-differential" "${2:-1000000}" "${3:-0x5eed23}"
