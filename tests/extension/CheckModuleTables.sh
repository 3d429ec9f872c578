#!/bin/sh
# CheckModuleTables.sh DLL i686|x86_64: the module is a PE file of that
# architecture, exports exactly its four entry points, undecorated, and
# imports only known DLLs: those Windows always maps from its own folder
# (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, the same
# on Windows 10 and 11). Any other import is looked for in the module's own
# folder first, where a planted DLL would run in every process that loads the
# module; the module loads such libraries from the system folder itself. Each
# architecture is read with its own objdump (the i686 one cannot read a
# 64-bit file).
dll=$1
arch=$2
objdump=$arch-w64-mingw32-objdump
case $arch in
    i686) wanted=pei-i386 ;;
    x86_64) wanted=pei-x86-64 ;;
    *) echo "unknown architecture: $arch"; exit 2 ;;
esac
format=$($objdump -f "$dll" | sed -n 's/.*file format //p')
echo "format: $format"
[ "$format" = "$wanted" ] || exit 1
exports=$($objdump -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
echo "exports: $exports"
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] || exit 1
imports=$($objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
echo "imports: $imports"
[ -n "$imports" ] || exit 1
# The known DLLs a module of ours may need (not Cabinet.dll, WSOCK32.dll or
# version.dll, which are none), and ntdll.dll, which Windows maps into every
# process before any other.
for name in $imports; do
    case $name in
        advapi32.dll|gdi32.dll|kernel32.dll|msvcrt.dll|ntdll.dll|ole32.dll|oleaut32.dll|shell32.dll|shlwapi.dll|user32.dll|ws2_32.dll) ;;
        *) echo "not a known DLL: $name"; exit 1 ;;
    esac
done
# With an unstripped build of the same sources: none of the installer's
# takeover of the log and install folders is linked into the module.
unstripped=$3
if [ -n "$unstripped" ]; then
    linked=$($arch-w64-mingw32-nm -C "$unstripped" | grep -E 'takeOverLogFolder|takeOverCommonLogFolder|secureLogFiles|secureInstallFolder|checkInstalledFiles|takeOverLevel|moveAside|listEntries' || true)
    echo "installer code linked: ${linked:-none}"
    [ -z "$linked" ] || exit 1
fi
