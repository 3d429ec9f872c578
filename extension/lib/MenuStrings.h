#pragma once
// The menu texts: one key of the strings file in the folder of the current
// user-interface language, below the install folder.

#include <windows.h>

#include <cstddef>

class CGenStrings {
public:
    // Reads key from section "STR_SCANNOW" of
    // "<install folder>\Agent\Res\<language folder>\GenStrings.bin" into
    // result. 1 when a non-empty value was found (cut to fit if need be),
    // else 0: silently without an installation, with a diagnostic otherwise.
    // Throws std::bad_alloc only when memory runs out.
    int GetString(const wchar_t* key, wchar_t* result, std::size_t capacity);
};

namespace strings_detail {

// The value of key in the file's section STR_SCANNOW, cut to fit capacity
// characters with its terminator; false when it is missing or empty.
bool ReadStringFile(const wchar_t* path, const wchar_t* key, wchar_t* result, std::size_t capacity);

}  // namespace strings_detail
