#!/usr/bin/env bash
# The package's life in a fresh 64-bit Wine prefix: silent install, the shell
# hosts show the menu and start the agent, a repair and a major upgrade leave
# one registration, the registry rows are exactly what the modules' own
# registration writes, and an uninstall leaves nothing of the package while
# the product's own files and keys stay.
#
# usage: package-test.sh PACKAGE NEXT_PACKAGE NEXT_VERSION PREFIX_DIR
# environment: ORN_BINARY_DIR (build tree), ORN_MODULE64 and ORN_SHELLHOST64
# (the 64-bit module and shell host), ORN_MSIX (the package of the Explorer
# command)
set -euo pipefail
package=$1 next=$2 next_version=$3 prefix=$4
build=${ORN_BINARY_DIR:?}

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
step() { printf "\n== [%3ss] %s\n" "$SECONDS" "$*"; }
winpath() { echo "Z:${1//\//\\}"; }

clsid='{7C1D52B0-9E3A-4F06-8B2D-5A4E61C0F3D9}'
install_win='C:\Program Files (x86)\Quarvel\Hollowmere'
install=$prefix/drive_c/Program\ Files\ \(x86\)/Quarvel/Hollowmere
sample_win='C:\users\Public\Documents\report.txt'
record=$install/Agent/zuAgtSvc.cmdline

step "Fresh 64-bit prefix in $prefix"
wineserver -k 2>/dev/null || true
rm -rf "$prefix"
WINEARCH=win64 wineboot -i >/dev/null 2>&1
wineserver -w
trap 'wineserver -k 2>/dev/null || true' EXIT

# What the registry holds of the package, from the prefix's registry file
# once the server has written it: every key whose path, and every value whose
# name or data, names the handler class, the application identity, the type
# library, the module, or the package itself (product name, upgrade code).
package_pattern='7C1D52B0-9E3A-4F06-8B2D-5A4E61C0F3D9|2B8E4F17-6D05-4C93-A1E2-7F3B90D4C658|E3A85C62-41D7-4B9E-9C05-6F2D18A7B4E1|OrnShExt|Hollowmere Shell Extension|D1A2C0F6E7B593C4E948D2167B0AF3C5'
# Stopping the server writes the registry file at once (waiting for it to
# go idle takes seconds longer).
flush_registry() { wineserver -k 2>/dev/null || true; wineserver -w; }
dump_registry() {
    flush_registry
    awk -v pattern="$package_pattern" '
        BEGIN { IGNORECASE = 1 }
        /^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key); keyHit = (key ~ pattern); next }
        /^#/ || /^$/ { next }
        keyHit || $0 ~ pattern { print key " " $0 }
    ' "$prefix/system.reg"
}
# The COM registration proper: class, application identity, type library.
com_entries() { grep -E '^\[Software\\\\Classes\\\\(Wow6432Node\\\\)?(CLSID|AppID|Typelib)\\\\' || true; }
# The shell's lists and the COM registration, without the installer's own records.
registration() { grep -v '\\\\Installer\\\\\|\\\\Uninstall\\\\' || true; }

# What any user may plant before the installer's LocalSystem actions run: a
# file in place of a level of the log folder, or of the module's subfolder in
# an install folder users could write. The actions move each aside, beside it
# as NAME.moved-STAMP, and the folder is made: the installation does not fail.
programdata=$prefix/drive_c/ProgramData
plant() { rm -rf "$1"; mkdir -p "$(dirname "$1")"; printf 'planted\r\n' > "$1"; }
expect_moved_aside() {
    local moved
    moved=$(ls -d "$1".moved-* 2>/dev/null | head -1)
    [ -d "$1" ] || fail "${1#"$prefix"/} is not a folder after the installation"
    [ -n "$moved" ] && [ "$(cat "$moved")" = $'planted\r' ] ||
        fail "what was planted at ${1#"$prefix"/} was not moved aside beside it"
    echo "planted at ${1#"$prefix"/}: moved aside to ${moved##*/}"
}

# What a user's process holds with no sharing while the package is serviced
# (HoldPaths, until hold_end): it must not make the servicing fail.
work=$(mktemp -d)
hold() {
    rm -f "$work/stop" "$work/held"
    local paths=()
    for path in "$@"; do paths+=("$(winpath "$path")"); done
    wine "$build/tests/platform/HoldPaths.exe" "$(winpath "$work/stop")" "${paths[@]}" >"$work/held" 2>&1 &
    holder=$!
    for _ in $(seq 300); do grep -q held "$work/held" 2>/dev/null && break; sleep 0.1; done
    grep -q '^held' "$work/held" || fail "could not hold $*: $(cat "$work/held")"
    echo "held with no sharing: ${*#"$prefix"/}"
}
hold_end() { touch "$work/stop"; wait "$holder" || true; }

# The demonstration product the extension belongs to: its agent, its English
# menu texts and its install location (read in the 32-bit view by both modules).
step "The product around the extension (agent stand-in, strings, install location)"
mkdir -p "$install/Agent/Res/0409" "$(dirname "$prefix/drive_c/users/Public/Documents/x")"
cp "$build/tools/agent/zuAgtSvc.exe" "$install/Agent/"
{ printf '\xff\xfe'
  printf '[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Scan with Hollowmere\r\nIDS_SCAN=Scans it\r\n' |
      iconv -f UTF-8 -t UTF-16LE; } > "$install/Agent/Res/0409/GenStrings.bin"
printf 'figures\r\n' > "$prefix/drive_c/users/Public/Documents/report.txt"
wine reg add 'HKLM\SOFTWARE\Quarvel\Hollowmere' /v szInstallDir /d "$install_win" /f /reg:32 >/dev/null
product_keys() { flush_registry; grep -c '"szInstallDir"="C:\\\\Program Files (x86)\\\\Quarvel\\\\Hollowmere"' "$prefix/system.reg"; }
[ "$(product_keys)" = 1 ] || fail "the product's install location was not written"
before=$(dump_registry)
[ -z "$before" ] || { fail "a fresh prefix already holds entries of the package:"; echo "$before"; }

hosts=("$build/tools/shellhost/shellhost.exe" "${ORN_SHELLHOST64:?}")
[ -f "$ORN_SHELLHOST64" ] || fail "no 64-bit shell host at $ORN_SHELLHOST64"
label() { [ "$1" = "${hosts[0]}" ] && echo "32-bit shell host" || echo "64-bit shell host"; }

# Each host shows the menu for a file and its command starts the agent.
hosts_show_menu() {
    for host in "${hosts[@]}"; do
        rm -f "$record"
        local out rc=0
        out=$(wine "$host" --invoke 0 "$sample_win" 2>&1) || rc=$?
        echo "$(label "$host"): exit $rc"
        echo "$out" | tr -d '\r' | sed 's/^/    /'
        [ $rc -eq 0 ] || fail "$host: exit code $rc"
        echo "$out" | grep -q 'Scan with Hollowmere' || fail "$host: no menu entry"
        for _ in $(seq 100); do [ -f "$record" ] && break; sleep 0.1; done
        if [ -f "$record" ]; then
            echo "    agent started: $(iconv -f UTF-16LE -t UTF-8 "$record")"
        else
            fail "$host: the agent was not started"
        fi
    done
}

# Both modules are versioned files to Windows Installer (wixl writes neither
# version nor language, and a hash instead), with the version and language of
# their own version resources.
step "The File table: the modules' versions and languages, no hashes"
version_resource() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
high, low = struct.unpack_from("<II", data, at + 8)
name = "Translation\0".encode("utf-16-le")
after = data.find(name) + len(name)
language, = struct.unpack_from("<H", data, (after + 3) & ~3)
print(f"{high >> 16}.{high & 0xffff}.{low >> 16}.{low & 0xffff}\t{language}")
PY
}
file_rows=$(msiinfo export "$package" File | tr -d '\r')
for module in "OrnShExt32 $build/extension/OrnShExt.dll" "OrnShExt64 ${ORN_MODULE64:?}"; do
    id=${module%% *} dll=${module#* }
    row=$(echo "$file_rows" | awk -F'\t' -v id="$id" '$1 == id { print $5 "\t" $6 }')
    echo "$id: File table $(echo "$row" | tr '\t' ' '), version resource $(version_resource "$dll" | tr '\t' ' ')"
    [ "$row" = "$(version_resource "$dll")" ] && [ "${row%%$'\t'*}" = "${ORN_MODULE_VERSION:?}" ] ||
        fail "$id: the File table's version and language are not the module's"
    msiinfo export "$package" MsiFileHash | tr -d '\r' | tail -n +4 | cut -f1 | grep -qx "$id" &&
        fail "$id has a MsiFileHash row: Windows Installer would take it as unversioned"
done

# A planted file held with no sharing cannot be moved aside: the log tree
# is not made, which the installer's log says; the installation goes on, and
# the repair below makes it.
plant "$programdata/Quarvel"
plant "$install/x64"
hold "$programdata/Quarvel"
step "msiexec /i $(basename "$package") /qn"
wine msiexec /i "$(winpath "$package")" /qn /l*v "$(winpath "$work/install.log")" || fail "install: exit code $?"
hold_end
installed=$(dump_registry)
echo "$installed" | registration
{ iconv -f UTF-16LE -t UTF-8 "$work/install.log" 2>/dev/null || true; cat "$work/install.log"; } | tr -d '\r' |
    grep -ao 'OrnShExt: making the log folder.*' | head -1 ||
    fail "the installer's log does not say why the log folder was not made"
[ -f "$programdata/Quarvel" ] || fail "the held plant at ProgramData\\Quarvel went"
expect_moved_aside "$install/x64"
[ -f "$install/OrnShExt.dll" ] || fail "OrnShExt.dll is not in the install folder"
[ -f "$install/x64/OrnShExt.dll" ] || fail "the 64-bit OrnShExt.dll is not in the install folder"
# The Explorer command's package lies in its external location, whose module
# is the one the installer put there. Wine reports a build before Windows 11,
# so the package is not registered here (nor removed at the uninstall).
[ -f "$install/OrnShExt.msix" ] || fail "OrnShExt.msix is not in the install folder"
served=$(unzip -p "$install/OrnShExt.msix" AppxManifest.xml | sed -n 's/.*<com:Class [^>]*Path="\([^"]*\)".*/\1/p')
echo "package class served from $served; Windows build $(wine reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' /v CurrentBuildNumber | tr -d '\r' | awk '/CurrentBuildNumber/ { print $3 }')"
[ -n "$served" ] && [ -f "$install/${served//\\//}" ] || fail "the package's module \"$served\" is not in the install folder"
hosts_show_menu

# A repair puts back what was lost and adds nothing. (Wine's msiexec answers
# /fa with 69; the properties are the same request.) It makes the log tree
# the install could not; a second one runs while a user holds the levels and
# the install folder with no sharing.
step "Repair (REINSTALL=ALL REINSTALLMODE=amus) restores a deleted class key and leaves one registration"
wine reg delete "HKCR\\CLSID\\$clsid" /f /reg:32 >/dev/null || fail "the 32-bit class key was not there to delete"
wine msiexec /i "$(winpath "$package")" /qn REINSTALL=ALL REINSTALLMODE=amus || fail "repair: exit code $?"
# Made by the package's own action (nothing of ours ran here before it); the
# access list it carries is Windows's to keep, Wine stores none.
logs=$prefix/drive_c/ProgramData/Quarvel/Tessaline/Logs
[ -d "$logs" ] || fail "the repair did not make the log folder"
expect_moved_aside "$programdata/Quarvel"
hold "$programdata/Quarvel" "$logs" "$install"
wine msiexec /i "$(winpath "$package")" /qn REINSTALL=ALL REINSTALLMODE=amus || fail "repair while held: exit code $?"
hold_end
# Windows Installer may note the same source again in its own list: its
# bookkeeping, not the package's entries.
repaired=$(dump_registry | grep -v '\\\\SourceList' || true)
installed=$(echo "$installed" | grep -v '\\\\SourceList' || true)
[ "$repaired" = "$installed" ] || { fail "the repair changed the registry:"; diff <(echo "$installed") <(echo "$repaired") || true; }

plant "$logs"
step "Major upgrade to $next_version, into another folder (INSTALLDIR)"
other_win='C:\Quarvel Extension'
other=$prefix/drive_c/Quarvel\ Extension
hold "$programdata/Quarvel" "$programdata/Quarvel/Tessaline" "$install"
wine msiexec /i "$(winpath "$next")" /qn "INSTALLDIR=$other_win" || fail "upgrade: exit code $?"
hold_end
upgraded=$(dump_registry)
[ -f "$other/OrnShExt.dll" ] || fail "the upgrade did not install into INSTALLDIR"
expect_moved_aside "$logs"
[ -f "$install/OrnShExt.dll" ] && fail "the upgrade left the first version's module behind"
moved=$(echo "$installed" | registration | sed 's/Program Files (x86)\\\\Quarvel\\\\Hollowmere/Quarvel Extension/')
[ "$(echo "$upgraded" | registration)" = "$moved" ] ||
    { fail "after the upgrade the registration is not the first one, moved:"; diff <(echo "$moved") <(echo "$upgraded" | registration) || true; }
products=$(echo "$upgraded" | grep -c 'Installer\\\\UpgradeCodes\\\\D1A2C0F6E7B593C4E948D2167B0AF3C5\] "' || true)
[ "$products" = 2 ] || fail "$products products recorded under the upgrade code in the two installer lists, expected one in each"
# The versions of the programs list and the installer's record of the product.
versions=$(awk '/^\[/ { if (ours) print version; ours = 0; version = "" }
                /^"DisplayName"="Quarvel Hollowmere Shell Extension"/ { ours = 1 }
                /^"DisplayVersion"=/ { version = $0 }
                END { if (ours) print version }' "$prefix/system.reg" | sort -u)
[ "$versions" = "\"DisplayVersion\"=\"$next_version\"" ] || fail "installed versions: $versions, expected only $next_version"
hosts_show_menu

step "msiexec /x $(basename "$next") /qn"
wine msiexec /x "$(winpath "$next")" /qn || fail "uninstall: exit code $?"
left=$(dump_registry)
if [ -n "$left" ]; then
    fail "the registry still holds entries of the package:"
    echo "$left"
else
    echo "registry (both views, installer records included): nothing of the package left"
fi
for host in "${hosts[@]}"; do
    rc=0
    wine "$host" "$sample_win" >/dev/null 2>&1 || rc=$?
    echo "$(label "$host"): exit $rc (3: no handler registered)"
    [ $rc -eq 3 ] || fail "$host finds a handler after the uninstall (exit $rc)"
done
files=$(cd "$prefix/drive_c" && find . -iname 'OrnShExt*' -o -path './Quarvel Extension*' | sort)
[ -z "$files" ] || { fail "files of the package left:"; echo "$files"; }
echo "install folder after the uninstall:"
(cd "$install" && find . | sort | sed 's/^/    /')
[ -f "$install/Agent/zuAgtSvc.exe" ] || fail "the product's agent went with the package"
[ "$(product_keys)" = 1 ] || fail "the product's install location went with the package"
[ -d "$logs" ] || fail "the log folder went with the package"

# The rows must be what the module's own registration writes: register the
# same modules in the same folder with regsvr32 and compare.
step "regsvr32 of the same modules writes the same entries"
cp "$build/extension/OrnShExt.dll" "$install/OrnShExt.dll"
mkdir -p "$install/x64"
cp "${ORN_MODULE64:?}" "$install/x64/OrnShExt.dll"
modules=("$install_win\\OrnShExt.dll" "$install_win\\x64\\OrnShExt.dll")
for module in "${modules[@]}"; do
    wine regsvr32 /s "$module" || fail "regsvr32 $module: exit code $?"
done
selfreg=$(dump_registry | com_entries)
[ "$selfreg" = "$(echo "$installed" | com_entries)" ] ||
    { fail "the package's entries differ from the modules' own:"; diff <(echo "$installed" | com_entries) <(echo "$selfreg") || true; }
for module in "${modules[@]}"; do
    wine regsvr32 /s /u "$module" || true
done
rm -rf "$install/OrnShExt.dll" "$install/x64"

# InstallFiles goes by path: a folder put in the install folder's place right
# after it got its list gets the files, and the installation must fail.
# Staged by a command inserted into a copy of the package between
# SecureInstallFolder and InstallFiles (deferred, no impersonation: 3106).
step "The install folder swapped for another right after SecureInstallFolder"
sequence_of() { msiinfo export "$package" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
secured=$(sequence_of SecureInstallFolder) files_at=$(sequence_of InstallFiles)
[ -n "$secured" ] && [ $((secured + 1)) -lt "$files_at" ] || fail "no room between SecureInstallFolder ($secured) and InstallFiles ($files_at)"
# The check runs after the files and before anything uses them.
verified=$(sequence_of VerifyInstallFolder) provisioned=$(sequence_of SetProvisionExplorerPackageRollback)
[ -n "$verified" ] && [ "$verified" -gt "$files_at" ] && [ "$verified" -lt "$provisioned" ] ||
    fail "VerifyInstallFolder ($verified) does not run between InstallFiles ($files_at) and the package's steps ($provisioned)"
cp "$package" "$work/swap.msi"
swap="cmd.exe /c move \"$install_win\" \"$install_win.away\" & mkdir \"$install_win\""
msibuild "$work/swap.msi" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('SwapInstallFolder', 3106, 'TARGETDIR', '$swap')"
msibuild "$work/swap.msi" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('SwapInstallFolder', 'NOT REMOVE', $((secured + 1)))"
rc=0
wine msiexec /i "$(winpath "$work/swap.msi")" /qn /l*v "$(winpath "$work/swap.log")" || rc=$?
echo "install with the folder swapped: exit code $rc"
[ $rc -ne 0 ] || fail "the installation into a swapped folder succeeded"
[ -d "$install.away" ] || fail "the swap did not run"
{ iconv -f UTF-16LE -t UTF-8 "$work/swap.log" 2>/dev/null || true; cat "$work/swap.log"; } | tr -d '\r' |
    grep -ao 'OrnShExt: checking the installed file.*' | head -1 || fail "the installer's log does not say which check failed"
[ ! -f "$install/OrnShExt.dll" ] || fail "the module stayed in the folder put in the install folder's place"
rm -rf "$install" && mv "$install.away" "$install"

# ---------------------------------------------------------------------------
# Windows 11's menu. The tables as Windows Installer reads them; then, with
# the prefix's build number raised to a Windows 11 one (Wine reports 7601, so
# the conditions kept all of it off above) and a PowerShell stand-in in place
# of Wine's (which does nothing and reports success), an install into a
# folder whose name holds the characters that end a quoting, a repair, an
# upgrade and an uninstall: what the actions hand PowerShell and in which
# steps, the certificate in the machine's Trusted People store, and, with the
# stand-in refusing what Constrained Language Mode refuses and failing
# steps, the failures in the product's log.
# environment: ORN_RELEASE_MSI (the package without a test certificate),
# ORN_PACKAGE_CERT (the test certificate, DER), ORN_PACKAGE_SCRIPT
# (ExplorerPackage.ps1), ORN_POWERSHELL (the 64-bit stand-in: PowerShell is
# started as the 64-bit one), ORN_PACKAGE_FAMILY (the package family)
windows11_checks() {
    local work action type source target condition family=${ORN_PACKAGE_FAMILY:?}
    work=$(mktemp -d)
    step "Windows 11's menu: the custom actions and their sequence, read back with msiinfo"
    # Action, type, source, target: each rollback the opposite step, of type
    # 3393 (0x100 rollback + 0x400 deferred + 0x800 no impersonation + 0x40
    # result ignored + 1 DLL), the user's rollback 1345 (impersonated), the
    # machine-wide steps 3137 (the same, not rollback), the user's
    # registration 1089 (impersonated), CustomActionData set by type 51 (the
    # package family fixed at build time and the folder) and the certificate
    # read by an immediate DLL action (65); on those two immediate types wixl
    # sets 0x800 as well, which only deferred actions heed.
    sed "s/@FAMILY@/$family/" >"$work/actions" <<'ROWS'
ProvisionExplorerPackage	3137	LogFolderAction	ProvisionExplorerPackage
ProvisionExplorerPackageRollback	3393	LogFolderAction	RemoveExplorerPackage
ReadPackageCertificate	2113	LogFolderAction	ReadPackageCertificate
RegisterExplorerPackage	1089	LogFolderAction	RegisterExplorerPackage
RegisterExplorerPackageRollback	1345	LogFolderAction	UnregisterExplorerPackage
RemoveExplorerPackage	3137	LogFolderAction	RemoveExplorerPackage
RemoveExplorerPackageRollback	3393	LogFolderAction	ProvisionExplorerPackage
SetProvisionExplorerPackage	2099	ProvisionExplorerPackage	@FAMILY@|[INSTALLDIR]
SetProvisionExplorerPackageRollback	2099	ProvisionExplorerPackageRollback	@FAMILY@|[INSTALLDIR]
SetRegisterExplorerPackage	2099	RegisterExplorerPackage	@FAMILY@|[INSTALLDIR]
SetRegisterExplorerPackageRollback	2099	RegisterExplorerPackageRollback	@FAMILY@|[INSTALLDIR]
SetRemoveExplorerPackage	2099	RemoveExplorerPackage	@FAMILY@|[INSTALLDIR]
SetRemoveExplorerPackageRollback	2099	RemoveExplorerPackageRollback	@FAMILY@|[INSTALLDIR]
SetTrustPackageCertificate	2099	TrustPackageCertificate	[PackageCertificate]
SetTrustPackageCertificateRollback	2099	TrustPackageCertificateRollback	[PackageCertificate]
SetUntrustPackageCertificate	2099	UntrustPackageCertificate	[PackageCertificate]
SetUntrustPackageCertificateRollback	2099	UntrustPackageCertificateRollback	[PackageCertificate]
TrustPackageCertificate	3137	LogFolderAction	TrustPackageCertificate
TrustPackageCertificateRollback	3393	LogFolderAction	UntrustPackageCertificate
UntrustPackageCertificate	3137	LogFolderAction	UntrustPackageCertificate
UntrustPackageCertificateRollback	3393	LogFolderAction	TrustPackageCertificate
ROWS
    # The condition of each: installing and removing on Windows 11; the
    # rollbacks of provisioning and of the user's registration only where
    # nothing was there before (a repair's rollback must not remove what
    # the first install made); the user's registration never for LocalSystem;
    # the old version's removal in a major upgrade leaves the package alone.
    local installing='NOT REMOVE="ALL" AND WINDOWS_BUILD >= 22000'
    local first_install="NOT Installed AND $installing"
    local user='NOT REMOVE="ALL" AND WINDOWS_BUILD >= 22000 AND UserSID <> "S-1-5-18"'
    local removing='REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE AND WINDOWS_BUILD >= 22000'
    cat >"$work/conditions" <<CONDITIONS
SetTrustPackageCertificateRollback	$installing
TrustPackageCertificateRollback	$installing
SetTrustPackageCertificate	$installing
TrustPackageCertificate	$installing
SetProvisionExplorerPackageRollback	$first_install
ProvisionExplorerPackageRollback	$first_install
SetProvisionExplorerPackage	$installing
ProvisionExplorerPackage	$installing
SetRegisterExplorerPackageRollback	NOT Installed AND $user
RegisterExplorerPackageRollback	NOT Installed AND $user
SetRegisterExplorerPackage	$user
RegisterExplorerPackage	$user
SetRemoveExplorerPackageRollback	$removing
RemoveExplorerPackageRollback	$removing
SetRemoveExplorerPackage	$removing
RemoveExplorerPackage	$removing
SetUntrustPackageCertificateRollback	REMOVE="ALL" AND WINDOWS_BUILD >= 22000
UntrustPackageCertificateRollback	REMOVE="ALL" AND WINDOWS_BUILD >= 22000
SetUntrustPackageCertificate	REMOVE="ALL" AND WINDOWS_BUILD >= 22000
UntrustPackageCertificate	REMOVE="ALL" AND WINDOWS_BUILD >= 22000
CONDITIONS
    ours='Explorer|PackageCertificate'
    for msi in "$package" "${ORN_RELEASE_MSI:-}"; do
        [ -n "$msi" ] || continue
        msiinfo export "$msi" CustomAction | tr -d '\r' | tail -n +4 | grep -E "^[A-Za-z]*($ours)" |
            cut -f1-4 | sort >"$work/found"
        if [ "$msi" = "$package" ]; then
            cp "$work/actions" "$work/expected"
        else
            grep -v 'PackageCertificate' "$work/actions" >"$work/expected"
        fi
        echo "$(basename "$msi"): $(wc -l <"$work/found") actions of Windows 11's menu"
        diff "$work/expected" "$work/found" >/dev/null ||
            { fail "$(basename "$msi"): the actions are not the expected ones:"; diff "$work/expected" "$work/found" || true; }
        # Sequence number and condition of each, in the order they run.
        msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | tail -n +4 | awk -F'\t' '{ print $3 "\t" $1 "\t" $2 }' |
            sort -n >"$work/sequence"
        seq_of() { awk -F'\t' -v a="$1" '$2 == a { print $1 }' "$work/sequence"; }
        cond_of() { awk -F'\t' -v a="$1" '$2 == a { print $3 }' "$work/sequence"; }
        before() {  # before A B: A runs before B, both sequenced
            local a b
            a=$(seq_of "$1") b=$(seq_of "$2")
            [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] || fail "$(basename "$msi"): $1 ($a) does not run before $2 ($b)"
        }
        # adjacent ROLLBACK ACTION: nothing runs between a rollback and its
        # step but the step's setter, so that a cancel in between undoes
        # nothing that was not done.
        adjacent() {
            local between
            between=$(awk -F'\t' -v r="$(seq_of "$1")" -v a="$(seq_of "$2")" '$1 > r && $1 < a { print $2 }' "$work/sequence")
            [ "$between" = "Set$2" ] || fail "$(basename "$msi"): between $1 and $2 run: $(echo $between)"
        }
        local chain_install=(SetProvisionExplorerPackageRollback ProvisionExplorerPackageRollback SetProvisionExplorerPackage
                             ProvisionExplorerPackage SetRegisterExplorerPackageRollback RegisterExplorerPackageRollback
                             SetRegisterExplorerPackage RegisterExplorerPackage)
        local chain_remove=(SetRemoveExplorerPackageRollback RemoveExplorerPackageRollback SetRemoveExplorerPackage
                            RemoveExplorerPackage)
        local pairs=(ProvisionExplorerPackage RegisterExplorerPackage RemoveExplorerPackage)
        if [ "$msi" = "$package" ]; then
            chain_install=(SetTrustPackageCertificateRollback TrustPackageCertificateRollback SetTrustPackageCertificate
                           TrustPackageCertificate "${chain_install[@]}")
            chain_remove+=(SetUntrustPackageCertificateRollback UntrustPackageCertificateRollback
                           SetUntrustPackageCertificate UntrustPackageCertificate)
            pairs+=(TrustPackageCertificate UntrustPackageCertificate)
            before InstallInitialize ReadPackageCertificate
            before ReadPackageCertificate SetRemoveExplorerPackageRollback
            before ReadPackageCertificate SetTrustPackageCertificateRollback
            [ "$(cond_of ReadPackageCertificate)" = 'WINDOWS_BUILD >= 22000' ] ||
                fail "ReadPackageCertificate runs on \"$(cond_of ReadPackageCertificate)\""
        fi
        before InstallFiles "${chain_install[0]}"
        for ((i = 1; i < ${#chain_install[@]}; i++)); do before "${chain_install[i - 1]}" "${chain_install[i]}"; done
        before "${chain_install[-1]}" InstallFinalize
        before InstallInitialize "${chain_remove[0]}"
        for ((i = 1; i < ${#chain_remove[@]}; i++)); do before "${chain_remove[i - 1]}" "${chain_remove[i]}"; done
        before "${chain_remove[-1]}" RemoveFiles
        for action in "${pairs[@]}"; do adjacent "${action}Rollback" "$action"; done
        for action in "${chain_install[@]}" "${chain_remove[@]}"; do
            [ "$(cond_of "$action")" = "$(awk -F'\t' -v a="$action" '$1 == a { print $2 }' "$work/conditions")" ] ||
                fail "$action runs on \"$(cond_of "$action")\""
        done
        # The certificate travels only with a test signature.
        if [ "$msi" = "$package" ]; then
            msiinfo extract "$msi" Binary.PackageCertificate >"$work/carried" 2>/dev/null || true
            cmp -s "$work/carried" "$ORN_PACKAGE_CERT" || fail "the Binary table does not carry the test certificate"
        elif msiinfo streams "$msi" | grep -q PackageCertificate; then
            fail "$(basename "$msi") carries a certificate"
        fi
    done
    # Nothing of it ran above: Wine reports a build before Windows 11.
    thumbprint=$(sha1sum "$ORN_PACKAGE_CERT" | cut -c1-40 | tr a-f A-F)
    trusted() { flush_registry; grep -qi "SystemCertificates\\\\\\\\TrustedPeople\\\\\\\\Certificates\\\\\\\\$thumbprint\]" "$prefix/system.reg"; }
    ! trusted || fail "the certificate was trusted on an earlier Windows"
    ! grep -qs 'Windows 11 menu' "$logs/zuNotices.log" || fail "the package actions ran on an earlier Windows"

    step "Windows 11's menu: install as on build 22000, into a folder named with ' ; \$ \` ( )"
    for view in 32 64; do
        wine reg add 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' /v CurrentBuildNumber /d 22000 /f /reg:$view >/dev/null
    done
    local shell_dir=$prefix/drive_c/windows/system32/WindowsPowerShell/v1.0
    [ -f "$ORN_POWERSHELL" ] || { fail "no PowerShell stand-in at $ORN_POWERSHELL"; return; }
    cp "$ORN_POWERSHELL" "$shell_dir/powershell.exe"
    rm -f "$shell_dir"/powershell.record "$shell_dir"/powershell*.ps1 "$shell_dir/powershell.behaviour"
    odd_win="C:\\Quarvel's Tools; \$HOME \`(x)"
    odd=$prefix/drive_c/"Quarvel's Tools; \$HOME \`(x)"
    : >"$work/all-runs"
    # runs STEP:RESULT...: the runs PowerShell recorded since the last call,
    # each with the fixed family, the folder, a clean start and the system's
    # own modules only.
    runs() {
        local run
        : >"$work/expected-runs"
        for run in "$@"; do
            printf 'step=%s\nfamily=%s\nfolder=%s\\\narguments= -NoProfile -NonInteractive -EncodedCommand (script)\nmodules=C:\\windows\\System32\\WindowsPowerShell\\v1.0\\Modules\nresult=%s\n' \
                "${run%%:*}" "$family" "$odd_win" "${run##*:}" >>"$work/expected-runs"
        done
        touch "$shell_dir/powershell.record"
        # The stand-in answers from all it was asked; the runs since are these.
        tail -n +$(($(wc -l <"$work/all-runs") + 1)) "$shell_dir/powershell.record" >"$work/new-runs"
        cmp -s "$work/expected-runs" "$work/new-runs" ||
            { fail "PowerShell was not run as expected ($*):"; diff "$work/expected-runs" "$work/new-runs" || true; }
        cp "$shell_dir/powershell.record" "$work/all-runs"
    }
    # Values of the same names in the installer's own environment are not what PowerShell gets.
    ORN_PACKAGE_STEP=stale ORN_INSTALL_FOLDER=stale ORN_PACKAGE_FAMILY=stale PSModulePath='C:\users\planted' \
        wine msiexec /i "$(winpath "$package")" /qn "INSTALLDIR=$odd_win" || fail "install on Windows 11: exit code $?"
    [ -f "$odd/OrnShExt.msix" ] || fail "the package is not in \"$odd_win\""
    trusted || fail "the test certificate is not in the machine's Trusted People store"
    sed 's/^/    /' "$shell_dir/powershell.record" || fail "PowerShell was not run"
    runs Stage:0 Provisioned:3 Provision:0 Register:0
    # Each run gets the text before the regions, its own region and the text after them.
    for region in Stage Provisioned Provision Register; do
        [ "$(grep -c '^#region ' "$shell_dir/powershell-$region.ps1")" = 1 ] &&
            grep -q "^#region $region\$" "$shell_dir/powershell-$region.ps1" &&
            grep -q '^} catch {' "$shell_dir/powershell-$region.ps1" ||
            fail "PowerShell was not given the $region part of ExplorerPackage.ps1"
    done
    # Packages are named by the family exactly, never by a pattern.
    for call in 'Add-AppxPackage -Path $packagePath -ExternalLocation $folder -Stage' \
                "(\$_.DisplayName + '_' + \$_.PublisherId) -eq \$family" 'ProvisionPackageForAllUsersAsync($family)'; do
        grep -qF "$call" "$shell_dir/powershell-Stage.ps1" "$shell_dir/powershell-Provision.ps1" || fail "the script lacks $call"
    done

    step "Windows 11's menu: a repair stages and registers, and does not provision the provisioned family again"
    wine msiexec /i "$(winpath "$package")" /qn REINSTALL=ALL REINSTALLMODE=amus || fail "repair on Windows 11: exit code $?"
    runs Stage:0 Provisioned:0 Register:0
    ! grep -qs 'package certificate could not' "$logs/zuNotices.log" || fail "the certificate's trust failed"

    # Windows runs the old version's removal with UPGRADINGPRODUCTCODE set;
    # Wine's msiexec leaves it out, so the upgrade is played in Windows' two
    # steps: the old version removed as an upgrade removes it, the new one
    # installed.
    step "Windows 11's menu: an upgrade keeps the package (old version removed with UPGRADINGPRODUCTCODE, then $next_version)"
    wine msiexec /x "$(winpath "$package")" /qn 'UPGRADINGPRODUCTCODE={00000000-0000-0000-0000-000000000001}' ||
        fail "the old version's removal: exit code $?"
    runs
    wine msiexec /i "$(winpath "$next")" /qn "INSTALLDIR=$odd_win" || fail "upgrade on Windows 11: exit code $?"
    runs Stage:0 Provisioned:0 Register:0

    step "Windows 11's menu: uninstall"
    wine msiexec /x "$(winpath "$next")" /qn || fail "uninstall on Windows 11: exit code $?"
    runs Remove:0
    ! trusted || fail "the test certificate is still trusted after the uninstall"
    grep -qF "Remove-AppxProvisionedPackage -Online -PackageName \$provisioned.PackageName -AllUsers" \
        "$shell_dir/powershell-Remove.ps1" || fail "the removal does not deprovision"
    grep -qF 'Get-AppxPackage -AllUsers |' "$shell_dir/powershell-Remove.ps1" &&
        grep -qF 'Remove-AppxPackage -Package $package.PackageFullName -AllUsers' \
            "$shell_dir/powershell-Remove.ps1" || fail "the removal looks at the installing user's packages only"
    ! grep -q 'Add-Type\|packagePath -' "$shell_dir/powershell-Remove.ps1" || fail "the removal reads the install folder's package"

    step "Windows 11's menu: Constrained Language Mode and failing steps, logged with their reason"
    printf 'ConstrainedLanguage\nfail Register\n' >"$shell_dir/powershell.behaviour"
    wine msiexec /i "$(winpath "$package")" /qn "INSTALLDIR=$odd_win" || fail "install under Constrained Language Mode: exit code $?"
    runs Stage:0 Provisioned:3 Provision:1 Register:1
    grep -qF "Windows 11 menu: Provision of the package failed (exit code 1): powershell stand-in: Provision: Cannot add type. Definition of new types is not supported in this language mode." \
        "$logs/zuNotices.log" || fail "the refused Provision is not in the product's log"
    grep -qF "Windows 11 menu: Register of the package failed (exit code 1): powershell stand-in: Register: package deployment is not available here" \
        "$logs/zuNotices.log" || fail "the failed Register is not in the product's log"
    printf 'ConstrainedLanguage\nfail Remove\n' >"$shell_dir/powershell.behaviour"
    wine msiexec /x "$(winpath "$package")" /qn || fail "uninstall under Constrained Language Mode: exit code $?"
    runs Remove:1
    grep -qF "Windows 11 menu: Remove of the package failed (exit code 1)" "$logs/zuNotices.log" ||
        fail "the failed removal is not in the product's log"
    grep 'Windows 11 menu' "$logs/zuNotices.log" | sed 's/^/    /'
    [ ! -e "$odd" ] || { fail "the uninstall left \"$odd_win\""; find "$odd"; }
    rm -rf "$work"
}
windows11_checks

rm -rf "$work"
echo
[ $failures -eq 0 ] && echo "package test passed" || echo "$failures failures"
exit $((failures > 0))
