#pragma once
// Where the installation folder is recorded, and the probe that tells whether
// the 32-bit registry view of 64-bit Windows has to be consulted as well.

#include <windows.h>

#include <cstddef>

// Keys under HKEY_LOCAL_MACHINE holding the installation folder: the native
// view and the 32-bit view of 64-bit Windows.
extern const wchar_t installKeyNative[];
extern const wchar_t installKeyWow32[];
extern const wchar_t installDirValue[];

// The two keys a lookup of the installation walks; installKeys is the
// product's pair.
struct InstallKeys {
    const wchar_t* native;
    const wchar_t* wow32;
};
extern const InstallKeys installKeys;

// Characters of the buffer the installation folder is read into.
constexpr std::size_t installDirCapacity = 1024;

// Reads "szInstallDir" of an open key with the buffer's full size in bytes as
// the limit. The registry type is not checked; the bytes are taken as text up
// to the first terminator, and the result is always terminated. False when
// the value is missing or longer than the buffer.
bool ReadInstallDir(HKEY key, wchar_t (&folder)[installDirCapacity]);

// True only when the platform confirms a 32-bit process on 64-bit Windows.
// Nothing is cached: every call looks the function up and asks again.
bool IsWow64();

namespace platform_detail {

// IsWow64 with the module to search and the process to ask as parameters:
// Wine always has the function and never fails for the current process, so
// tests reach the two failure paths only through here.
bool IsWow64In(const char* moduleName, HANDLE process);

}  // namespace platform_detail
