#!/usr/bin/env bash
# check-package.sh PACKAGE.msix CERT.pem ClassIds.h: the package's
# signature verifies against the certificate; its block map lists every part
# (and nothing else) by its name with backslashes, with the size, the size of
# its local header in the zip, and the SHA-256 of each 64 KiB block as the
# parts really are; the logos are whole PNG images of their sizes; the
# manifest's verbs and COM class name the class the module's source defines,
# under the verb it defines, and the class is served from the 64-bit module;
# the publisher is the certificate's subject as Windows writes it
# (publisher.py). Read with unzip, od and openssl, not with the script that
# made the package.
set -euo pipefail
msix=$1 cert=$2 source=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

osslsigncode verify -CAfile "$cert" -in "$msix" >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "signature"; }
grep -q '^Signature verification: ok' "$work/verify.log" || fail "signature not verified"

unzip -q "$msix" -d "$work/parts"
map=$work/parts/AppxBlockMap.xml
[ -f "$map" ] || { fail "no AppxBlockMap.xml"; exit 1; }
# One line per element of the map.
tr -d '\r\n' <"$map" | sed 's/></>\n</g' >"$work/map"

listed=()
current=
while IFS= read -r line; do
    case $line in
        '<File '*)
            name=$(sed -n 's/.* Name="\([^"]*\)".*/\1/p' <<<"$line")
            current=$(tr '\\' '/' <<<"$name")
            size=$(sed -n 's/.* Size="\([0-9]*\)".*/\1/p' <<<"$line")
            header=$(sed -n 's/.* LfhSize="\([0-9]*\)".*/\1/p' <<<"$line")
            listed+=("$current")
            [[ $name != */* ]] || fail "$name: the map names parts with backslashes"
            file=$work/parts/$current
            [ -f "$file" ] || { fail "$current listed but not in the package"; continue; }
            [ "$(stat -c %s "$file")" = "$size" ] || fail "$current: size $size in the map"
            # 30 bytes, the name and the extra field, as the zip holds them.
            at=$(zipinfo -v "$msix" "$current" | sed -n 's/.*offset of local header from start of archive: *\([0-9]*\).*/\1/p')
            lengths=($(od -An -tu2 -j $((at + 26)) -N4 "$msix"))
            [ "$header" = $((30 + lengths[0] + lengths[1])) ] || fail "$current: local header of $header bytes in the map"
            rm -rf "$work/blocks" && mkdir "$work/blocks"
            split -b 65536 -d -a 4 "$file" "$work/blocks/b"
            ls "$work/blocks" | sort >"$work/block-list"
            : >"$work/expected"
            while read -r block; do
                openssl dgst -sha256 -binary "$work/blocks/$block" | base64 >>"$work/expected"
            done <"$work/block-list"
            : >"$work/hashes-$$"
            ;;
        '<Block '*)
            sed -n 's/.* Hash="\([^"]*\)".*/\1/p' <<<"$line" >>"$work/hashes-$$"
            ;;
        '</File>')
            if cmp -s "$work/expected" "$work/hashes-$$"; then
                echo "$current: $(wc -l <"$work/expected") block(s) match"
            else
                fail "$current: block hashes differ"
            fi
            ;;
    esac
done <"$work/map"

# Every part but the map, the content types and the signature is in the map.
while IFS= read -r part; do
    case $part in AppxBlockMap.xml|'[Content_Types].xml'|AppxSignature.p7x) continue ;; esac
    printf '%s\n' "${listed[@]}" | grep -qxF "$part" || fail "$part not in the block map"
done < <(cd "$work/parts" && find . -type f | sed 's|^\./||')
grep -q 'PartName="/AppxSignature.p7x"' "$work/parts/[Content_Types].xml" || fail "signature part has no content type"

# Each logo a whole RGBA image of its size: its rows, each with its filter
# byte, are exactly what the image data holds.
for logo in StoreLogo:50 Square150x150Logo:150 Square44x44Logo:44; do
    python3 - "$work/parts/Assets/${logo%:*}.png" "${logo#*:}" <<'PY' || fail "Assets/${logo%:*}.png is not a whole ${logo#*:}-pixel image"
import struct, sys, zlib
data, size = open(sys.argv[1], "rb").read(), int(sys.argv[2])
assert data[:8] == b"\x89PNG\r\n\x1a\n"
chunks, at = {}, 8
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    chunks[kind] = chunks.get(kind, b"") + data[at + 8:at + 8 + length]
    at += 12 + length
assert struct.unpack(">IIBB", chunks[b"IHDR"][:10]) == (size, size, 8, 6)
assert len(zlib.decompress(chunks[b"IDAT"])) == size * (1 + 4 * size)
PY
done

manifest=$work/parts/AppxManifest.xml
clsid=$(sed -n 's/.*CLSID_ExplorerCommandText\[\] = L"{\([-0-9A-Fa-f]*\)}".*/\1/p' "$source")
[ -n "$clsid" ] || fail "no class identifier in $source"
verbs=$(grep -o '<desktop5:Verb [^>]*' "$manifest" | sed -n 's/.*Clsid="\([^"]*\)".*/\1/p' | sort -u)
verb=$(sed -n 's/.*ExplorerCommandVerbText\[\] = L"\([0-9A-Za-z]*\)".*/\1/p' "$source")
verb_ids=$(grep -o '<desktop5:Verb [^>]*' "$manifest" | sed -n 's/.*Id="\([^"]*\)".*/\1/p' | sort -u)
echo "verb: $verb_ids"
[ -n "$verb" ] && [ "$verb_ids" = "$verb" ] || fail "verbs are named \"$verb_ids\", the module defines \"$verb\""
[[ $verb_ids == 0000* ]] || fail "the verb \"$verb_ids\" does not sort first"
types=$(grep -o '<desktop5:ItemType Type="[^"]*"' "$manifest" | sed 's/.*Type="//;s/"//' | sort | tr '\n' ' ')
class=$(grep -o '<com:Class [^>]*' "$manifest")
echo "verb class: $verbs; item types: $types; COM class: $class"
[ "$verbs" = "$clsid" ] || fail "verbs name $verbs, the module defines $clsid"
[ "$types" = "* Directory " ] || fail "item types $types"
grep -q "Id=\"$clsid\"" <<<"$class" || fail "COM class is not $clsid"
grep -q 'Path="x64\\OrnShExt.dll"' <<<"$class" || fail "COM class not served from x64\\OrnShExt.dll"
grep -q '<uap10:AllowExternalContent>true</uap10:AllowExternalContent>' "$manifest" || fail "no external content"
for capability in runFullTrust unvirtualizedResources; do
    grep -q "<rescap:Capability Name=\"$capability\"/>" "$manifest" || fail "no $capability capability"
done
publisher=$(sed -n 's/.*<Identity [^>]*Publisher="\([^"]*\)".*/\1/p' "$manifest" |
    sed 's/&quot;/"/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g')
subject=$(python3 "$(dirname "$0")/publisher.py" windows-form "$cert")
echo "publisher: $publisher"
[ "$publisher" = "$subject" ] || fail "publisher \"$publisher\" is not the certificate's subject as Windows writes it, \"$subject\""
[ $failed = 0 ] && echo "package checked"
exit $failed
