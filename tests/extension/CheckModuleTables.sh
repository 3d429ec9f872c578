#!/bin/sh
# CheckModuleTables.sh DLL: the module exports exactly its four entry points,
# undecorated, and imports from Windows system libraries only.
dll=$1
exports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
echo "exports: $exports"
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] || exit 1
imports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
echo "imports: $imports"
for name in $imports; do
    case $name in
        advapi32.dll|cabinet.dll|gdi32.dll|kernel32.dll|msvcrt.dll|ole32.dll|oleaut32.dll|shell32.dll|shlwapi.dll|user32.dll|wsock32.dll|ws2_32.dll|version.dll) ;;
        *) echo "not a system library: $name"; exit 1 ;;
    esac
done
