#!/usr/bin/env bash
# Installs the cross toolchains (i686 and x86-64), Wine and test tools from
# Debian's packages and creates the two Wine prefixes in the build tree. Safe
# to run again: every step first checks whether its result is already there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORN_BUILD_DIR:-$root/build}

packages=(wine wine64 wine32:i386 libwine-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
          googletest cmake ninja-build cabextract gcab clang libclang-rt-14-dev)
# The installer package's build tools (wixl, and msibuild for what wixl
# cannot write) and the syslog collector of the tests, with its TLS driver
# and its acknowledged transport.
packages+=(wixl msitools rsyslog rsyslog-gnutls rsyslog-relp)
# The style check of the test command.
packages+=(clang-format)
# The Explorer command's package: its script, its test certificate, its
# checks; osslsigncode signs it (below).
packages+=(python3 openssl unzip)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# osslsigncode signs an .msix from version 2.6 on: bookworm has it in its
# backports.
if ! dpkg-query -W -f='${Status}' osslsigncode 2>/dev/null | grep -q 'install ok installed'; then
    echo "setup: installing osslsigncode from bookworm-backports"
    sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
    list=/etc/apt/sources.list.d/bookworm-backports.list
    # The machine's own Debian mirror, as its sources name it.
    mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
    [ -f "$list" ] || echo "deb $mirror bookworm-backports main" | $sudo tee "$list" >/dev/null
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -t bookworm-backports osslsigncode >/dev/null
fi

mkdir -p "$build"

make_prefix() {
    local dir=$1 arch=$2
    [ -f "$dir/system.reg" ] && [ -f "$dir/.orn-ready" ] && return 0
    echo "setup: creating $arch Wine prefix in $dir"
    rm -rf "$dir"
    # No Mono or Gecko: nothing here needs them, and they cannot be downloaded.
    WINEPREFIX=$dir WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        wineboot -i >/dev/null 2>&1
    WINEPREFIX=$dir wineserver -w
    touch "$dir/.orn-ready"
}
make_prefix "$build/wine64" win64
make_prefix "$build/wine32" win32
