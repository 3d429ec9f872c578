#!/usr/bin/env bash
# Checks what the rotation stress run left: every cabinet extracts with
# cabextract; every line, in the live logs, the extracted cabinets and any
# moved log kept beside them, is whole and in its own line; no line is
# there twice; every line of the file sink is in the shared log exactly
# once, whether the sink answered "written" or kept it after its retries to
# write it later, and so is every line of a logging call: none is lost. The
# kept lines are counted for each kind of writer: the threads of process 4,
# which ran alone, and the four processes 0 to 3, which ran at once. The
# threads of one process take turns and keep none.
set -uo pipefail
dir=$1
[ -f "$dir/result.0" ] && [ -f "$dir/result.4" ] || { echo "no stress output in $dir"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for family in shared second background; do
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
# A line the sink did not write at once was kept and written later: every
# sink line is found, once.
sort "$work/written" "$work/dropped" > "$work/made"
missing=$(comm -23 "$work/made" "$work/shared.sink" | head -3)
if [ -n "$missing" ]; then
    echo "sink lines lost: $missing"; status=1
fi
stray=$(comm -13 "$work/made" "$work/shared.sink" | head -3)
if [ -n "$stray" ]; then
    echo "sink lines found more often than made, or never made: $stray"; status=1
fi
# Lines of one kind of writer in a sorted list: "alone" is process 4.
kind() { if [ "$1" = alone ]; then awk '$2 == 4'; else awk '$2 != 4'; fi; }
for family in shared second background; do
    grep '^M' "$work/$family.found" > "$work/$family.calls"
    extra=$(comm -13 "$work/called" "$work/$family.calls" | wc -l)
    [ "$extra" -eq 0 ] || { echo "$family: $extra logged lines found more often than logged, or never logged"; status=1; }
    comm -23 "$work/called" "$work/$family.calls" > "$work/$family.lost"
    lostAlone=$(kind alone < "$work/$family.lost" | wc -l)
    lostTogether=$(kind together < "$work/$family.lost" | wc -l)
    # Calls made while another thread read the manager's first properties
    # wait for them: counted apart to show they too arrive.
    early=$(kind alone < "$work/$family.lost" | comm -12 - "$work/early" | wc -l)
    lostLines=$(head -3 "$work/$family.lost")
    [ -z "$lostLines" ] || { echo "$family: lines of logging calls lost: $lostLines"; status=1; }
    echo "$family: logging calls' lines not found: $lostAlone of $(kind alone < "$work/called" | wc -l) by the threads of one process alone ($early of them made before the manager's first properties), $lostTogether of $(kind together < "$work/called" | wc -l) by four processes at once"
done
droppedAlone=$(kind alone < "$work/dropped" | wc -l)
[ "$droppedAlone" -eq 0 ] || { echo "threads of one process dropped sink lines: $(kind alone < "$work/dropped" | head -3)"; status=1; }
echo "sink lines: $(wc -l < "$work/made") made, all found once; kept after three retries and written later: $droppedAlone of $(kind alone < "$work/results.sink" | wc -l) by the threads of one process alone, $(kind together < "$work/dropped" | wc -l) of $(kind together < "$work/results.sink" | wc -l) by four processes at once"
[ $status -eq 0 ] && echo ok
exit $status
