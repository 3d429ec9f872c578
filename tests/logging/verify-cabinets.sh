#!/bin/sh
# Checks the cabinets the archive tests left behind with an independent
# reader: each case folder holds cabinets and, under "expected", the bytes
# each cabinet must hold under the name it must hold them, dated with the
# local time (in ZONE, the tests' time zone) of the log's last write, which
# the expected file was written right after.
#
#   verify-cabinets.sh DIR ZONE
set -u
root=$1 zone=$2
status=0
[ -d "$root" ] || { echo "no cabinets in $root"; exit 1; }
for case in "$root"/*/; do
    expected=$case/expected
    cabs=$(ls "$case" | grep -c '\.cab$')
    wanted=$(ls "$expected" | wc -l)
    if [ "$cabs" -ne "$wanted" ]; then
        echo "$case: $cabs cabinets, $wanted expected"; status=1
    fi
    for cab in "$case"/*.cab; do
        [ -e "$cab" ] || continue
        name=$(basename "$cab" .cab).log
        out=$(mktemp -d)
        if ! cabextract -q -d "$out" "$cab"; then
            echo "$cab: cabextract failed"; status=1
        elif [ "$(ls "$out")" != "$name" ]; then
            echo "$cab: holds '$(ls "$out" | tr '\n' ' ')', expected $name"; status=1
        elif ! cmp -s "$out/$name" "$expected/$name"; then
            echo "$cab: $name differs from the moved log"; status=1
        elif dated=$(cabextract -l "$cab" | sed -n 's/.*| \([0-9]*\)\.\([0-9]*\)\.\([0-9]*\) \([0-9:]*\) |.*/\3-\2-\1 \4/p') &&
             [ $(( $(TZ=$zone date -d "$dated" +%s) - $(stat -c %Y "$expected/$name") )) -gt 4 ] ||
             [ $(( $(stat -c %Y "$expected/$name") - $(TZ=$zone date -d "$dated" +%s) )) -gt 4 ]; then
            echo "$cab: $name dated $dated, not the local time of the log's last write"; status=1
        else
            echo "$cab: $name ok ($(wc -c < "$out/$name") bytes)"
        fi
        rm -rf "$out"
    done
done
exit $status
