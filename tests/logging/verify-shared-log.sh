#!/bin/sh
# Checks the log several processes wrote at once: every line is whole, ends
# in CR LF, and the lines found (live log, cabinets, moved logs left beside
# them) are exactly the lines the writers made, each once: those the sink
# kept after its retries too.
set -u
dir=$1
[ -f "$dir/written.0" ] || { echo "no shared log in $dir"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
n=0
for cab in "$dir"/*.cab; do
    [ -e "$cab" ] || continue
    n=$((n + 1))
    mkdir "$work/$n"
    cabextract -q -d "$work/$n" "$cab" || { echo "$cab: cabextract failed"; exit 1; }
done
echo "$n cabinets"
cat "$dir"/*.log "$work"/*/* 2>/dev/null > "$work/all"
bad=$(awk '!/^child [0-9]+ line [0-9]+ x+ end\r$/' "$work/all" | head -3)
if [ -n "$bad" ]; then
    echo "damaged lines:"; echo "$bad"; exit 1
fi
awk '{ print $2, $4 }' "$work/all" | sort > "$work/found"
# Every line the writers made, kept ones included: none may be lost.
cat "$dir"/written.* | awk '{ print $1, $2 }' | sort > "$work/written"
kept=$(cat "$dir"/written.* | grep -c ' kept$' || true)
echo "$(wc -l < "$work/written") lines made ($kept kept for a later write), $(wc -l < "$work/found") found"
dups=$(uniq -d "$work/found" | head -3)
[ -z "$dups" ] || { echo "lines found twice: $dups"; exit 1; }
diff "$work/written" "$work/found" > "$work/diff" || { echo "written and found differ:"; head "$work/diff"; exit 1; }
echo ok
