#include "RegistryValues.h"

#include "ProductKeys.h"
#include "UniqueResource.h"

#include <cwchar>
#include <vector>

bool ReadStringValue(HKEY key, const wchar_t* name, wchar_t* text, std::size_t capacity,
                     EmptyValue empty)
{
    DWORD type = REG_NONE;
    DWORD bytes = static_cast<DWORD>(capacity * sizeof(wchar_t));
    // A value that does not fit answers ERROR_MORE_DATA.
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || bytes % sizeof(wchar_t) != 0)
        return false;
    if (bytes == 0) {
        if (empty == EmptyValue::asUnreadable || capacity == 0)
            return false;
        text[0] = L'\0';
        return true;
    }
    return text[bytes / sizeof(wchar_t) - 1] == L'\0';
}

bool ReadStringValue(HKEY key, const wchar_t* name, std::size_t limit, std::wstring& text)
{
    std::vector<wchar_t> buffer(limit + 1, L'\0');
    if (!ReadStringValue(key, name, buffer.data(), buffer.size(), EmptyValue::asEmptyText))
        return false;
    text.assign(buffer.data());
    return true;
}

bool ReadDwordValue(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD type = 0;
    DWORD size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof value;
}

bool ReadRegistryString(HKEY root, const wchar_t* subKey, const wchar_t* name, std::size_t limit,
                        std::wstring& text)
{
    orn::unique_hkey key;
    if (OpenProductKey(root, subKey, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    return ReadStringValue(key.get(), name, limit, text);
}

bool ReadInstallFolder(wchar_t (&folder)[installFolderChars]) noexcept
{
    orn::unique_hkey key;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, installKey, KEY_QUERY_VALUE, key.put()) ==
            ERROR_SUCCESS &&
        ReadStringValue(key.get(), installDirValue, folder, installFolderChars,
                        EmptyValue::asUnreadable) &&
        folder[0] && std::wcslen(folder) + productFiles::longestPath < installFolderChars)
        return true;
    folder[0] = L'\0';
    return false;
}
