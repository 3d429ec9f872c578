#!/usr/bin/env bash
# Fails when product code (platform, logging, language, extension) is not
# formatted as .clang-format says; lists the files and how many lines each
# would change. With file arguments, checks those instead.
#
#   scripts/format-check.sh [FILE...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "format-check: clang-format is missing"; exit 2; }
if (($#)); then
    files=("$@")
else
    mapfile -t files < <(git ls-files 'platform/*.cpp' 'platform/*.h' 'logging/*.cpp' 'logging/*.h' \
                                      'language/*.cpp' 'language/*.h' 'extension/*.cpp' 'extension/*.h')
fi
status=0
for f in "${files[@]}"; do
    changed=$(clang-format --style=file "$f" | diff "$f" - | grep -c '^>' || true)
    if [ "$changed" -ne 0 ]; then
        echo "$f: $changed lines not formatted (clang-format -i $f)"
        status=1
    fi
done
exit $status
