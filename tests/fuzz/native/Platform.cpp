// Stand-ins for the platform functions the natively fuzzed readers call.
// They read every text and byte range they are given in full, so that the
// sanitizer sees a bad pointer or length at the call; they store nothing
// between inputs. The registry answers from the key's name alone (a name
// starting with '!' is refused, some names are missing, some keys have
// subkeys), so both outcomes of each call are reached.

#include "Platform.h"

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstring>
#include <cwctype>

namespace {

DWORD lastError = 0;
// Any non-null key: the readers only hand it back.
HKEY openedKey = reinterpret_cast<HKEY>(0x4b455931);

unsigned hashOf(const wchar_t* text)
{
    unsigned hash = 2166136261u;
    for (; *text; ++text)
        hash = (hash ^ static_cast<unsigned>(*text)) * 16777619u;
    return hash;
}

volatile unsigned sink;

void touch(const void* data, std::size_t size)
{
    const BYTE* bytes = static_cast<const BYTE*>(data);
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum += bytes[i];
    sink = sum;
}

LONG answerFor(const wchar_t* name)
{
    if (!name)
        return ERROR_SUCCESS;
    if (name[0] == L'!')
        return ERROR_ACCESS_DENIED;
    return hashOf(name) % 5 == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

// Writes text (its own terminators included) as the profile functions do:
// all of it with a final terminator when it fits, else capacity - 2
// characters and two terminators, answering capacity - 2. A lying platform
// writes what fits without terminators and answers any count.
DWORD answerProfile(const std::wstring& text, wchar_t* buffer, DWORD capacity)
{
    if (!buffer || capacity == 0)
        return 0;
    const native::ProfileImage& image = native::profileImage();
    if (image.lying) {
        const std::size_t stored = std::min<std::size_t>(text.size(), capacity);
        std::copy(text.begin(), text.begin() + stored, buffer);
        return image.liedCount;
    }
    if (text.size() + 1 <= capacity) {
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = L'\0';
        return static_cast<DWORD>(text.empty() ? 0 : text.size() - 1);
    }
    if (capacity < 2) {
        buffer[0] = L'\0';
        return 0;
    }
    std::copy(text.begin(), text.begin() + (capacity - 2), buffer);
    buffer[capacity - 2] = L'\0';
    buffer[capacity - 1] = L'\0';
    return capacity - 2;
}

}  // namespace

namespace native {

ProfileImage& profileImage()
{
    static ProfileImage image;
    return image;
}

}  // namespace native

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }
BOOL CloseHandle(HANDLE) { return TRUE; }
HLOCAL LocalFree(HLOCAL) { return nullptr; }
BOOL FindClose(HANDLE) { return TRUE; }
BOOL FreeLibrary(HMODULE) { return TRUE; }
BOOL DeleteObject(HGDIOBJ) { return TRUE; }
void SysFreeString(BSTR) {}

int lstrcmpiW(const wchar_t* a, const wchar_t* b)
{
    return wcscasecmp(a, b);
}

int CompareStringOrdinal(const wchar_t* a, int aLength, const wchar_t* b, int bLength, BOOL ignoreCase)
{
    const std::size_t la = aLength < 0 ? std::wcslen(a) : static_cast<std::size_t>(aLength);
    const std::size_t lb = bLength < 0 ? std::wcslen(b) : static_cast<std::size_t>(bLength);
    touch(a, la * sizeof(wchar_t));
    touch(b, lb * sizeof(wchar_t));
    if (la != lb)
        return la < lb ? 1 : 3;
    for (std::size_t i = 0; i < la; ++i) {
        const wint_t x = ignoreCase ? std::towupper(a[i]) : a[i];
        const wint_t y = ignoreCase ? std::towupper(b[i]) : b[i];
        if (x != y)
            return x < y ? 1 : 3;
    }
    return CSTR_EQUAL;
}

int MultiByteToWideChar(UINT, DWORD, const char*, int, wchar_t*, int) { return 0; }
HMODULE LoadLibraryExW(const wchar_t*, HANDLE, DWORD) { return nullptr; }
HRSRC FindResourceW(HMODULE, const wchar_t*, const wchar_t*) { return nullptr; }
HGLOBAL LoadResource(HMODULE, HRSRC) { return nullptr; }
DWORD SizeofResource(HMODULE, HRSRC) { return 0; }
void* LockResource(HGLOBAL) { return nullptr; }

HRESULT VarUI4FromStr(const wchar_t* text, LCID, ULONG, ULONG* result)
{
    // Decimal digits with blanks around them, as the number of a "d" value.
    const wchar_t* p = text;
    while (*p == L' ')
        ++p;
    if (*p < L'0' || *p > L'9')
        return DISP_E_TYPEMISMATCH;
    unsigned long long value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + static_cast<unsigned>(*p - L'0');
        if (value > 0xffffffffull)
            return DISP_E_TYPEMISMATCH;
    }
    while (*p == L' ')
        ++p;
    if (*p)
        return DISP_E_TYPEMISMATCH;
    *result = static_cast<ULONG>(value);
    return S_OK;
}

LONG RegCloseKey(HKEY) { return ERROR_SUCCESS; }

LONG RegCreateKeyExW(HKEY, const wchar_t* name, DWORD, wchar_t*, DWORD, DWORD, void*, HKEY* result, DWORD*)
{
    const LONG answer = name[0] == L'!' ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    *result = answer == ERROR_SUCCESS ? openedKey : nullptr;
    return answer;
}

LONG RegOpenKeyExW(HKEY, const wchar_t* name, DWORD, DWORD, HKEY* result)
{
    const LONG answer = answerFor(name);
    *result = answer == ERROR_SUCCESS ? openedKey : nullptr;
    return answer;
}

LONG RegSetValueExW(HKEY, const wchar_t* name, DWORD, DWORD, const BYTE* data, DWORD size)
{
    touch(data, size);
    return name && name[0] == L'!' ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY, const wchar_t* name) { return answerFor(name); }
LONG RegDeleteKeyW(HKEY, const wchar_t* name) { return answerFor(name); }
LONG RegDeleteTreeW(HKEY, const wchar_t* name) { return answerFor(name); }

LONG RegQueryInfoKeyW(HKEY, wchar_t*, DWORD*, DWORD*, DWORD* subkeys, DWORD*, DWORD*, DWORD*, DWORD*,
                      DWORD*, DWORD*, void*)
{
    static unsigned calls;
    *subkeys = ++calls % 3 == 0;
    return ERROR_SUCCESS;
}

DWORD GetPrivateProfileSectionNamesW(wchar_t* buffer, DWORD capacity, const wchar_t* path)
{
    touch(path, (std::wcslen(path) + 1) * sizeof(wchar_t));
    return answerProfile(native::profileImage().names, buffer, capacity);
}

DWORD GetPrivateProfileSectionW(const wchar_t* name, wchar_t* buffer, DWORD capacity, const wchar_t* path)
{
    touch(path, (std::wcslen(path) + 1) * sizeof(wchar_t));
    for (const auto& section : native::profileImage().sections) {
        if (wcscasecmp(section.first.c_str(), name) == 0)
            return answerProfile(section.second, buffer, capacity);
    }
    static const std::wstring empty(1, L'\0');
    return answerProfile(empty, buffer, capacity);
}
