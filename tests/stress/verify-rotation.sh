#!/usr/bin/env bash
# Checks what the rotation stress run left: every cabinet extracts with
# cabextract; every line, in the live logs, the extracted cabinets and any
# moved log kept beside them, is whole and in its own line; no line is
# there twice; every line whose file sink answered "written" is in the
# shared log exactly once, and no line it answered "dropped" is. Lines of
# logging calls (whose sink answer the caller never sees) found missing are
# counted, as are the dropped ones, for each kind of writer: the threads of
# process 4, which ran alone, and the four processes 0 to 3, which ran at
# once. The threads of one process take turns and must lose none.
set -uo pipefail
dir=$1
[ -f "$dir/result.0" ] && [ -f "$dir/result.4" ] || { echo "no stress output in $dir"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for family in shared second; do
    n=0
    for cab in "$dir"/$family.*.cab; do
        [ -e "$cab" ] || continue
        n=$((n + 1))
        mkdir -p "$work/$family/$n"
        if ! cabextract -q -d "$work/$family/$n" "$cab"; then
            echo "$cab: cabextract failed"; status=1
        fi
    done
    cat "$dir"/$family.log "$dir"/$family.2*.log "$work/$family"/*/* 2>/dev/null > "$work/$family.all"
    # Date, time, process:id, then "kind process thread number x... end";
    # the run of x's has the length the writer gave it.
    bad=$(awk '
        !/^[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] +[^ ]+:[0-9a-f]+ [MS] [0-9]+ [0-9]+ [0-9]+ x+ end\r$/ { print; next }
        length($8) != 20 + ($7 * 7 + $6) % 60 { print }' "$work/$family.all" | head -3)
    if [ -n "$bad" ]; then
        echo "$family: damaged or interleaved lines:"; echo "$bad" | cut -c1-160; status=1
    fi
    awk '{ print $4, $5, $6, $7 }' "$work/$family.all" | sort > "$work/$family.found"
    dups=$(uniq -d "$work/$family.found" | head -3)
    if [ -n "$dups" ]; then
        echo "$family: lines found twice: $dups"; status=1
    fi
    echo "$family: $n cabinets extracted, $(wc -l < "$work/$family.found") lines"
done

cat "$dir"/result.* > "$work/results"
awk '$1 == "S" && $5 == 1 { print $1, $2, $3, $4 }' "$work/results" | sort > "$work/written"
awk '$1 == "S" && $5 == 0 { print $1, $2, $3, $4 }' "$work/results" | sort > "$work/dropped"
awk '$1 == "M" { print $1, $2, $3, $4 }' "$work/results" | sort > "$work/called"
awk '$1 == "M" && $5 == "early" { print $1, $2, $3, $4 }' "$work/results" | sort > "$work/early"
awk '$1 == "S" { print $1, $2, $3, $4 }' "$work/results" > "$work/results.sink"
grep '^S' "$work/shared.found" > "$work/shared.sink"
missing=$(comm -23 "$work/written" "$work/shared.sink" | head -3)
if [ -n "$missing" ]; then
    echo "sink lines answered written but not found: $missing"; status=1
fi
phantom=$(comm -12 "$work/dropped" "$work/shared.sink" | head -3)
if [ -n "$phantom" ]; then
    echo "sink lines answered dropped but found: $phantom"; status=1
fi
stray=$(comm -13 "$work/written" "$work/shared.sink" | head -3)
if [ -n "$stray" ]; then
    echo "sink lines found more often than written, or never written: $stray"; status=1
fi
# Lines of one kind of writer in a sorted list: "alone" is process 4.
kind() { if [ "$1" = alone ]; then awk '$2 == 4'; else awk '$2 != 4'; fi; }
for family in shared second; do
    grep '^M' "$work/$family.found" > "$work/$family.calls"
    extra=$(comm -13 "$work/called" "$work/$family.calls" | wc -l)
    [ "$extra" -eq 0 ] || { echo "$family: $extra logged lines found more often than logged, or never logged"; status=1; }
    comm -23 "$work/called" "$work/$family.calls" > "$work/$family.lost"
    lostAlone=$(kind alone < "$work/$family.lost" | wc -l)
    lostTogether=$(kind together < "$work/$family.lost" | wc -l)
    # Calls made while another thread read the manager's first properties
    # wait for them: counted apart to show they too arrive.
    early=$(kind alone < "$work/$family.lost" | comm -12 - "$work/early" | wc -l)
    lostLines=$(kind alone < "$work/$family.lost" | head -3)
    [ -z "$lostLines" ] || { echo "$family: threads of one process lost lines of logging calls: $lostLines"; status=1; }
    echo "$family: logging calls' lines not found (dropped after three retries): $lostAlone of $(kind alone < "$work/called" | wc -l) by the threads of one process alone ($early of them made before the manager's first properties), $lostTogether of $(kind together < "$work/called" | wc -l) by four processes at once"
done
droppedAlone=$(kind alone < "$work/dropped" | wc -l)
[ "$droppedAlone" -eq 0 ] || { echo "threads of one process dropped sink lines: $(kind alone < "$work/dropped" | head -3)"; status=1; }
echo "sink lines: $(wc -l < "$work/written") answered written, all found once; dropped after three retries: $droppedAlone of $(kind alone < "$work/results.sink" | wc -l) by the threads of one process alone, $(kind together < "$work/dropped" | wc -l) of $(kind together < "$work/results.sink" | wc -l) by four processes at once"
[ $status -eq 0 ] && echo ok
exit $status
