#include "RegistryValues.h"

#include "ProductKeys.h"
#include "UniqueResource.h"

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

bool ReadInstallDirAsStored(HKEY key, wchar_t (&folder)[installDirCapacity])
{
    DWORD bytes = sizeof(folder);
    const LONG status = RegQueryValueExW(key, installDirValue, nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(folder), &bytes);
    if (status != ERROR_SUCCESS) {
        folder[0] = L'\0';
        return false;
    }
    // A value stored without its terminator fills the buffer to the end.
    const std::size_t chars = bytes / sizeof(wchar_t);
    folder[chars < installDirCapacity ? chars : installDirCapacity - 1] = L'\0';
    return true;
}

bool ReadRegistryString(HKEY root, const wchar_t* subKey, const wchar_t* name, std::size_t limit,
                        std::wstring& text)
{
    orn::unique_hkey key;
    if (OpenProductKey(root, subKey, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    return ReadStringValue(key.get(), name, limit, text);
}

bool ReadInstallDirChecked(std::size_t limit, std::wstring& folder)
{
    return ReadRegistryString(HKEY_LOCAL_MACHINE, installKeyNative, installDirValue, limit, folder);
}

bool ReadInstallDirAsPath(wchar_t (&folder)[MAX_PATH])
{
    orn::unique_hkey key;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, installKeyNative, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = sizeof folder - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), installDirValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(folder), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    folder[size / sizeof(wchar_t)] = L'\0';
    return true;
}
