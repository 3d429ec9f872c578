#pragma once
// The file name at the end of a path: what follows its last '\' or '/'.
//   "C:\Logs\agent.log" => "agent.log"
//   "agent.log"         => "agent.log"
//   "C:\Logs\"          => ""

#include <windows.h>

namespace orn {

inline const wchar_t* fileNamePart(const wchar_t* path) noexcept
{
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    }
    return name;
}

// Steps by character of the ANSI code page, where the second byte of a
// double-byte character may equal '\'.
inline const char* fileNamePart(const char* path) noexcept
{
    const char* name = path;
    for (const char* p = path; *p; p = CharNextA(p)) {
        if (*p == '\\' || *p == '/')
            name = p + 1;
    }
    return name;
}

}  // namespace orn
