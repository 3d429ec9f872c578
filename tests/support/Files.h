#pragma once
// Files and folders through the Win32 calls, as the product sees them: read
// while writers hold them, written whole, listed and removed.

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "UniqueResource.h"

namespace testsupport {

inline bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file index (unique on its volume) of what is at path; 0 when nothing.
inline LONGLONG fileIndexOf(const std::wstring& path)
{
    const orn::unique_file handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                              nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (!handle || !GetFileInformationByHandle(handle.get(), &information))
        return 0;
    return static_cast<LONGLONG>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
}

inline std::string readFile(const std::wstring& path)
{
    std::string content;
    orn::unique_file file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got)
        content.append(buffer, got);
    return content;
}

inline bool writeFile(const std::wstring& path, const void* data, std::size_t size)
{
    orn::unique_file file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) &&
           written == size;
}

inline bool writeFile(const std::wstring& path, const std::string& content)
{
    return writeFile(path, content.data(), content.size());
}

// Names (not paths) of the entries of a folder matching pattern.
inline std::vector<std::wstring> listFolder(const std::wstring& folder,
                                            const wchar_t* pattern = L"*")
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    orn::unique_find find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &data));
    if (!find)
        return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    return names;
}

// The local time `ahead` seconds from now, as the product stamps names:
// "20261206131500".
inline std::wstring localStamp(int ahead = 0)
{
    FILETIME now, local;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(ahead) * 10000000;
    now = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME time;
    FileTimeToLocalFileTime(&now, &local);
    FileTimeToSystemTime(&local, &time);
    wchar_t text[16];
    std::swprintf(text, 16, L"%04u%02u%02u%02u%02u%02u", time.wYear, time.wMonth, time.wDay,
                  time.wHour, time.wMinute, time.wSecond);
    return text;
}

// True when the folder is gone. Retries a while: a writer that has just
// ended, or is still writing, may hold a file for a moment.
inline bool removeTree(const std::wstring& folder)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (const std::wstring& name : listFolder(folder)) {
            const std::wstring path = folder + L"\\" + name;
            if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path);
            else
                DeleteFileW(path.c_str());
        }
        if (RemoveDirectoryW(folder.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
            GetLastError() == ERROR_PATH_NOT_FOUND)
            return true;
        Sleep(10);
    }
    return false;
}

}  // namespace testsupport
