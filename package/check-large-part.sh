#!/usr/bin/env bash
# check-large-part.sh MANIFEST ICON CERT.pem KEY.pem ClassIds.h: a package
# whose manifest is longer than three 64 KiB blocks, made and signed as the
# build makes the real one, passes the same check.
set -euo pipefail
manifest=$1 icon=$2 cert=$3 key=$4 source=$5
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{ cat "$manifest"; printf '<!-- %s -->\r\n' "$(head -c 200000 /dev/zero | tr '\0' x)"; } >"$work/AppxManifest.xml"
python3 "$here/make_msix.py" "$work/AppxManifest.xml" "$icon" "$work/unsigned.msix"
osslsigncode sign -certs "$cert" -key "$key" -in "$work/unsigned.msix" -out "$work/large.msix" >/dev/null
bash "$here/check-package.sh" "$work/large.msix" "$cert" "$source"
