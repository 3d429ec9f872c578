#!/usr/bin/env bash
# The main job: builds both bitnesses of the extension, installs a
# demonstration product in the build tree's 64-bit Wine prefix as a 64-bit
# installer would (the 32-bit OrnShExt.dll in the install folder, the 64-bit
# one in its x64 subfolder), registers each with the regsvr32 of its bitness
# and lists the handler under the shell's context-menu keys of both registry
# views, then drives it through the 64-bit shell host (as 64-bit Explorer)
# and the 32-bit one (as a 32-bit program's file dialog): the menu of a real
# file, its help text, the scan command, what the agent received from each
# and what the extension logged. Beside it, the Explorer command of Windows
# 11's menu as Explorer finds it through the package's manifest, the signed
# package itself, and the classic entry at Windows 11's two moments (right
# after installing, and once the packaged command has answered). Safe to run
# again.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
export ORN_BUILD_DIR=${ORN_BUILD_DIR:-$root/build}
build=$ORN_BUILD_DIR
export ORN_PREFIX=wine64

section() { printf '\n==== %s ====\n' "$*"; }
wine_run() { "$build/wine-run" "$@"; }
reg32() { wine_run reg "$@" /reg:32 >/dev/null; }
reg64() { wine_run reg "$@" /reg:64 >/dev/null; }

section "Build"
"$root/scripts/build.sh" OrnShExt shellhost zuAgtSvc OrnShExtMsix

prefix=$build/wine64
clsid='{7C1D52B0-9E3A-4F06-8B2D-5A4E61C0F3D9}'
install_win='C:\Program Files (x86)\Quarvel\Hollowmere'
install=$prefix/drive_c/Program\ Files\ \(x86\)/Quarvel/Hollowmere
logs=$prefix/drive_c/ProgramData/Quarvel/Tessaline/Logs
sample_win='C:\users\Public\Documents\Quarterly report.txt'
sample=$prefix/drive_c/users/Public/Documents/Quarterly\ report.txt
host32=$build/tools/shellhost/shellhost.exe
host64=$build/x64/tools/shellhost/shellhost.exe

# Wine's background programs start here with their output on /dev/null, so
# that none of them holds on to the output of this script.
"$build/wine-session" start wine64
# Debugging is switched on, and the Windows build raised to a Windows 11 one,
# for this run only: the test suite shares the prefix.
windows_key='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
wine_build=$(wine_run reg query "$windows_key" /v CurrentBuildNumber | tr -d '\r' | awk '/CurrentBuildNumber/ { print $3 }')
finish() {
    wine_run reg delete 'HKLM\SOFTWARE\Quarvel\Hollowmere\Log' /v bDebugEnable /f /reg:32 >/dev/null 2>&1 || true
    for view in 32 64; do
        wine_run reg add "$windows_key" /v CurrentBuildNumber /d "$wine_build" /f /reg:$view >/dev/null 2>&1 || true
    done
    "$build/wine-session" stop wine64
}
trap finish EXIT

section "Install the demonstration product in $install_win"
mkdir -p "$install/Agent" "$install/Vandor" "$install/x64"
record=$install/Agent/zuAgtSvc.cmdline
rm -f "$record"
cp "$build/extension/OrnShExt.dll" "$install/OrnShExt.dll"
cp "$build/x64/extension/OrnShExt.dll" "$install/x64/OrnShExt.dll"
cp "$build/tools/agent/zuAgtSvc.exe" "$install/Agent/zuAgtSvc.exe"

# The menu strings of four languages, as UTF-16 profile files.
strings() {
    local lang=$1 command=$2 help=$3
    mkdir -p "$install/Agent/Res/$lang"
    { printf '\xff\xfe'
      printf '[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=%s\r\nIDS_SCAN=%s\r\n' "$command" "$help" |
          iconv -f UTF-8 -t UTF-16LE
    } > "$install/Agent/Res/$lang/GenStrings.bin"
}
strings 0409 "Scan with Hollowmere" "Scans the selected file or folder for threats"
strings 0407 "Mit Hollowmere prüfen" "Prüft die ausgewählte Datei oder den Ordner auf Bedrohungen"
strings 040c "Analyser avec Hollowmere" "Analyse le fichier ou le dossier sélectionné"
strings 0411 "Hollowmere でスキャン" "選択した項目の脅威をスキャンします"

# While debugging is switched on, this file routes every record of the
# extension and its platform probe, traces included, to one log.
printf '[extension]\r\ntype=file\r\nfilter=OrnShExt.Debug zuCpLib.Debug\r\nformat=%%D %%T %%P:%%+p %%m\r\nfilename=OrnShExtDemo.log\r\n' \
    > "$install/logCfg.Ini"

reg32 add 'HKLM\SOFTWARE\Quarvel\Hollowmere' /v szInstallDir /d "$install_win" /f
reg32 add 'HKLM\SOFTWARE\Quarvel\Hollowmere\Log' /v bDebugEnable /t REG_DWORD /d 1 /f
reg32 add 'HKLM\SOFTWARE\Quarvel\Hollowmere\Log' /v szCurrentActivityType /d zuAgent /f
mkdir -p "$(dirname "$sample")"
printf 'Quarterly figures\r\n' > "$sample"
(cd "$install" && find . -type f | sort | sed 's|^\./|  |')

section "Register both builds (regsvr32 of each bitness) and list the handler in both views"
# Each regsvr32 loads a module of its own bitness and registers it into its
# own view: both under the same class identifier.
wine_run 'C:\windows\syswow64\regsvr32.exe' /s "$install_win\\OrnShExt.dll"
echo "32-bit regsvr32: registered $install_win\\OrnShExt.dll"
wine_run 'C:\windows\system32\regsvr32.exe' /s "$install_win\\x64\\OrnShExt.dll"
echo "64-bit regsvr32: registered $install_win\\x64\\OrnShExt.dll"
for view in reg32 reg64; do
    for key in '*' Directory; do
        $view add "HKCR\\$key\\shellex\\ContextMenuHandlers\\OrnShExt" /ve /d "$clsid" /f
    done
    $view add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved' /v "$clsid" /d 'ShellExt Class' /f
done
for bits in 32 64; do
    echo "-- the $bits-bit view"
    wine_run reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /reg:$bits | tr -d '\r' | sed '/^$/d'
    wine_run reg query 'HKCR\*\shellex\ContextMenuHandlers\OrnShExt' /reg:$bits | tr -d '\r' | sed '/^$/d'
done

log_before=0
[ -f "$logs/OrnShExtDemo.log" ] && log_before=$(stat -c %s "$logs/OrnShExtDemo.log")

# The menu, help text and scan through one shell host; prints what the agent
# received and keeps it in $1.
drive() {
    local -n received=$1
    local bits=$2 program=$3
    rm -f "$record"
    section "$bits-bit shell host: context menu of \"$sample_win\", its help text, and the scan command"
    wine_run "$program" --help-text 0 --invoke 0 "$sample_win"
    echo "-- what the agent received"
    for _ in $(seq 100); do [ -f "$record" ] && break; sleep 0.1; done
    if [ ! -f "$record" ]; then
        echo "the agent was not started" >&2
        exit 1
    fi
    received=$(iconv -f UTF-16LE -t UTF-8 "$record")
    echo "$received"
}
drive launched64 64 "$host64"
drive launched32 32 "$host32"
section "Both hosts launched the same agent with the same command line"
if [ "$launched64" = "$launched32" ]; then
    echo "yes: $launched64"
else
    echo "no: they differ" >&2
    exit 1
fi

section "Windows 11's menu: the package's Explorer command, as Explorer finds it through the manifest"
# The verb's class and its 64-bit module below the install folder, made
# through the module's class object as the package's surrogate makes it.
rm -f "$record"
manifest=$build/package/AppxManifest.xml
wine_run "$host64" --manifest "Z:${manifest//\//\\}" \
    --install "$install_win" --run "$sample_win"
for _ in $(seq 100); do [ -f "$record" ] && break; sleep 0.1; done
launched_command=$( [ -f "$record" ] && iconv -f UTF-16LE -t UTF-8 "$record" || true)
if [ "$launched_command" = "$launched64" ]; then
    echo "-- the agent received the classic menu's command line: $launched_command"
else
    echo "the Explorer command started \"$launched_command\", the classic menu \"$launched64\"" >&2
    exit 1
fi
echo "-- in German (LC_ALL=de_DE.UTF-8)"
env LC_ALL=de_DE.UTF-8 "$build/wine-run" "$host64" --command '{04E00E36-A66D-4BF3-9BD6-B9B885A6E71D}' \
    --module "$install_win\\x64\\OrnShExt.dll" "$sample_win" 2> >(grep -v setlocale >&2) | grep -E '^Get(Title|ToolTip)'
echo "-- the signed package (external location: the install folder)"
unzip -Z1 "$build/package/OrnShExt.msix" | sed 's/^/  /'
osslsigncode verify -CAfile "$build/package/TestPublisher.pem" -in "$build/package/OrnShExt.msix" 2>/dev/null |
    grep -E '^(Signature verification|Subject|Succeeded)' | sort -u || true

section "Windows 11's menu: the classic entry at each moment (build raised to 22631 for this run)"
# Explorer loads packaged verbs only when it starts. Right after installing,
# the Explorer that runs shows no packaged command, so the classic entry must
# stay; once the packaged command has answered in this session, a 64-bit host
# leaves the classic entry out of "Show more options", which lists the
# packaged command itself. A user who brought back the classic menu sees no
# packaged command, and a 32-bit host never does: both keep the entry; so
# does a host when another process (a file dialog) asked the packaged command.
for view in 32 64; do
    wine_run reg add "$windows_key" /v CurrentBuildNumber /d 22631 /f /reg:$view >/dev/null
done
command_class='{04E00E36-A66D-4BF3-9BD6-B9B885A6E71D}'
moment() {
    echo "-- $1"
    shift
    wine_run "$@" "$sample_win" | grep -E '^(packaged command|another process|classic menu|QueryContextMenu| +\[| +\(empty\))' || true
}
moment "right after installing: the packaged command has not answered since this host started" "$host64"
moment "after Windows 11's first menu showed the packaged command" "$host64" --packaged-answered "$command_class"
moment "the same, for a user who brought back the classic menu" "$host64" --packaged-answered "$command_class" \
    --classic-menu-restored
moment "the same, in a 32-bit host" "$host32" --packaged-answered "$command_class"
moment "another process (a file dialog) showed the packaged command after this host started" "$host64" \
    --other-process-answered "$command_class"

section "The same menu for a user whose Windows speaks German (LC_ALL=de_DE.UTF-8)"
# No Unix locale of that name is needed; Wine takes the languages from the name.
env LC_ALL=de_DE.UTF-8 "$build/wine-run" "$host64" --help-text 0 "$sample_win" 2> >(grep -v setlocale >&2)

section "A verb given as text is refused"
wine_run "$host64" --verb open "$sample_win" || echo "(shellhost exit code $?)"

section "Lines the extension logged in this run ($logs/OrnShExtDemo.log)"
if [ -f "$logs/OrnShExtDemo.log" ]; then
    tail -c +$((log_before + 1)) "$logs/OrnShExtDemo.log" | tr -d '\r'
else
    echo "(no log file: the log manager of this build writes no files)"
fi
