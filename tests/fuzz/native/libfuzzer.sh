#!/usr/bin/env bash
# Builds the readers that compile natively (the condition grammar, the
# configuration-file reader, the registry-script processor) into one program
# with clang's libFuzzer and AddressSanitizer, and runs each from its seed
# corpus for a fixed number of inputs and a fixed seed (reproducible).
#
#   libfuzzer.sh OUTPUT_DIR [CONDITION_RUNS] [READER_RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
out=${1:?output folder}
condition_runs=${2:-300000}
reader_runs=${3:-100000}
command -v clang++ >/dev/null || { echo "clang++ is missing (scripts/setup.sh installs it)"; exit 1; }
mkdir -p "$out/obj"

flags=(-std=c++17 -O2 -g -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       -I"$here/shim" -I"$here" -I"$here/.." -I"$root/logging" -I"$root/extension/lib" -I"$root/platform")
objects=()
# Each source is compiled again only when it or a header beside it changed:
# the file reader and the script processor take a while.
for source in "$root/logging/ConditionParser.cpp" "$root/logging/ConditionAnalysis.cpp" "$root/logging/LogConfiguration.cpp" \
              "$root/logging/IniConfiguration.cpp" "$root/extension/lib/RegistryScript.cpp" \
              "$root/extension/lib/RegistryScriptParser.cpp" \
              "$here/ConditionFuzzer.cpp" "$here/ReaderFuzzers.cpp" "$here/Platform.cpp" "$here/Driver.cpp"; do
    object="$out/obj/$(basename "$source" .cpp).o"
    newer=$(find "$(dirname "$source")" "$root/platform" "$here" "$here/shim" -maxdepth 1 -name '*.h' -newer "$object" 2>/dev/null | head -1 || true)
    if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ -n "$newer" ]; then
        # The stand-ins and the input decoding are only sanitized: the
        # fuzzer's coverage and comparison tracing belongs to the readers.
        # The file reader's character loops run over texts of up to 32767
        # characters: tracing each comparison there would cost most of the run.
        case $source in
            "$here/Platform.cpp"|"$here/ReaderFuzzers.cpp")
                clang++ "${flags[@]/fuzzer-no-link,/}" -c "$source" -o "$object" ;;
            "$root/logging/IniConfiguration.cpp")
                clang++ "${flags[@]}" -fno-sanitize-coverage=trace-cmp -c "$source" -o "$object" ;;
            *)  clang++ "${flags[@]}" -c "$source" -o "$object" ;;
        esac
    fi
    objects+=("$object")
done
clang++ -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$out/reader-fuzzer"

# Seed corpora, fresh each time so that the same seed makes the same run.
seed_dir() { rm -rf "$out/corpus-$1"; mkdir -p "$out/corpus-$1"; echo "$out/corpus-$1"; }
corpus=$(seed_dir condition)
i=0
for c in '<activity>=="zuInstall" or <activity>=="zuUninstall"' \
         'not (<activity>=="zuInstall" or <activity>=="zuUninstall")' \
         'true and false or not(true)' '"x"=="X"' '< activity >==<dt>' '((true))' \
         "<$(printf 'n%.0s' $(seq 128))>==\"x\""; do
    printf '%s' "$c" | iconv -f UTF-8 -t UTF-16LE > "$corpus/seed$i"
    i=$((i + 1))
done
corpus=$(seed_dir ini)
printf '\x00[a]\ntype=file\nfilter=*.Info\nfilename=<activity>.log\n[b]\nmaxsize=100\nno separator\n' > "$corpus/seed0"
printf '\x00[S]\ntype=file\x01x=y\ncondition=true\nk=v\x02\x40\n[T]\nformat=%%D %%m\n' > "$corpus/seed1"
printf '\xff[one]\nkey=value\n[two]\n=\n' > "$corpus/seed2"
printf '\x00[n\x02\x08]\na=b\n[x]\nv=\x02\xff\x02\xff\x02\xff\x02\xff\n' > "$corpus/seed3"
corpus=$(seed_dir regscript)
printf '\x01HKCR\n{\n\tNoRemove AppID\n\t{\n\t\t'"'"'%%APPID%%'"'"' = s '"'"'OrnShExt'"'"'\n\t\t'"'"'OrnShExt.DLL'"'"'\n\t\t{\n\t\t\tval AppID = s '"'"'%%APPID%%'"'"'\n\t\t}\n\t}\n}\n' > "$corpus/seed0"
printf '\x00HKCR\n{\n\tNoRemove CLSID\n\t{\n\t\tForceRemove {7C1D52B0} = s '"'"'ShellExt Class'"'"'\n\t\t{\n\t\t\tInprocServer32 = s '"'"'%%MODULE%%'"'"'\n\t\t\t{\n\t\t\t\tval ThreadingModel = s '"'"'Apartment'"'"'\n\t\t\t}\n\t\t}\n\t}\n}\n' > "$corpus/seed1"
printf '\x01HKLM { Software { Delete Old x = d 42 { val n = m '"'"'a\\0b'"'"' val b = b 0aFF val !no = s x } } }' > "$corpus/seed2"
printf '\x01HKCU { !denied { } }' > "$corpus/seed3"

# Each target's count and time on one line; the sanitizer's report, if any,
# is shown in full.
run() {
    local target=$1 runs=$2 max_len=$3 log="$out/$1.log" start end
    start=$(date +%s.%N)
    if ! ORN_FUZZ_TARGET=$target ASAN_OPTIONS=detect_leaks=1 "$out/reader-fuzzer" -seed=1 -runs="$runs" \
            -max_len="$max_len" -timeout=10 "$out/corpus-$target" > "$log" 2>&1; then
        tail -40 "$log"
        echo "$target: FAILED"
        return 1
    fi
    end=$(date +%s.%N)
    awk -v t="$target" -v s="$start" -v e="$end" '/^Done [0-9]+ runs/ {
        printf "%s: %d inputs in %.1f s (%.0f per second)\n", t, $2, e - s, $2 / (e - s) }' "$log"
}
status=0
run condition "$condition_runs" 512 || status=1
run ini "$reader_runs" 1024 || status=1
run regscript "$reader_runs" 4096 || status=1
exit $status
