#include "MenuStrings.h"

#include <memory>
#include <string>

#include "LogRecord.h"
#include "MUIHelper.h"
#include "RegistryValues.h"
#include "UniqueResource.h"

#include <strsafe.h>

namespace {

const char sourceUnit[] = ".\\Helper";
const char component[] = "OrnShExt";

constexpr std::size_t pathChars = 1024;

struct DestroyHelper {
    void operator()(IMUIHelper* helper) const noexcept { helper->Destroy(); }
};

std::wstring currentLanguageFolder()
{
    std::unique_ptr<IMUIHelper, DestroyHelper> helper(new CMUIHelper());
    return helper->GetUILanguageFolder();
}

}  // namespace

int GetResourceFolder(const wchar_t* viewKey, wchar_t* folder, std::size_t capacity)
{
    if (!folder || capacity == 0)
        return 0;
    orn::unique_hkey key;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, viewKey, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return 0;
    wchar_t installDir[installDirCapacity];
    if (!ReadInstallDirAsStored(key.get(), installDir))
        return 0;
    // A cut folder still counts: the caller finds out when the file is not there.
    StringCchCatW(folder, capacity, installDir);
    StringCchCatW(folder, capacity, L"\\Agent\\Res\\");
    StringCchCatW(folder, capacity, currentLanguageFolder().c_str());
    return 1;
}

int CGenStrings::GetString(const wchar_t* key, wchar_t* result, std::size_t capacity)
{
    return strings_detail::GetStringFrom(installKeys, key, result, capacity);
}

int strings_detail::GetStringFrom(const InstallKeys& keys, const wchar_t* key, wchar_t* result,
                                  std::size_t capacity)
{
    // A null key would make the profile reader list the section's keys.
    if (!key || !result || capacity == 0)
        return 0;
    result[0] = L'\0';
    wchar_t path[pathChars] = L"";
    // A 64-bit process is never under WoW64: one try, in the 32-bit view.
    if (!GetResourceFolder(keys.native, path, pathChars) && IsWow64())
        GetResourceFolder(keys.wow32, path, pathChars);
    if (!path[0])
        return 0;

    // A folder too long for the file name is not read from at all: the cut
    // path could name some other file.
    if (SUCCEEDED(StringCchCatW(path, pathChars, L"\\GenStrings.bin")) &&
        ReadStringFile(path, key, result, capacity))
        return 1;
    LogRecord(sourceUnit, __LINE__, LevelInfo, component, defaultLogManager())
        .print(L"GetPrivateProfileString failed");
    return 0;
}

bool strings_detail::ReadStringFile(const wchar_t* path, const wchar_t* key, wchar_t* result,
                                    std::size_t capacity)
{
    return GetPrivateProfileStringW(L"STR_SCANNOW", key, L"", result, static_cast<DWORD>(capacity),
                                    path) > 0;
}
