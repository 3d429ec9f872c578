#pragma once
// The menu texts: the resource folder of the current user-interface language
// and the lookup of one key in that folder's strings file.

#include <windows.h>

#include <cstddef>

#include "PlatformInfo.h"

// Appends the installation folder recorded under viewKey (installKeyNative or
// installKeyWow32), "\Agent\Res\" and the language folder name to folder,
// cutting at capacity - 1 characters. 1 when appended, 0 when the key or its
// value is missing. Throws std::bad_alloc only when memory runs out.
int GetResourceFolder(const wchar_t* viewKey, wchar_t* folder, std::size_t capacity);

class CGenStrings {
public:
    // Reads key from section "STR_SCANNOW" of the strings file of the current
    // language into result. 1 when a non-empty value was found (cut to fit if
    // need be), else 0. Throws std::bad_alloc only when memory runs out.
    int GetString(const wchar_t* key, wchar_t* result, std::size_t capacity);
};

namespace strings_detail {

// GetString with the registry keys as a parameter. Under WoW64 the native and
// the 32-bit key are one and the same key, so a native key missing beside a
// present 32-bit key can only be staged with keys of a test's own choosing.
int GetStringFrom(const InstallKeys& keys, const wchar_t* key, wchar_t* result,
                  std::size_t capacity);

// The value of key in the file's section STR_SCANNOW, cut to fit capacity
// characters with its terminator; false when it is missing or empty.
bool ReadStringFile(const wchar_t* path, const wchar_t* key, wchar_t* result, std::size_t capacity);

}  // namespace strings_detail
