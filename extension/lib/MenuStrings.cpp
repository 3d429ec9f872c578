#include "MenuStrings.h"

#include "LogRecord.h"
#include "MUIHelper.h"
#include "ProductKeys.h"
#include "RegistryValues.h"

#include <strsafe.h>

namespace {

const char sourceUnit[] = ".\\Helper";
const char component[] = "OrnShExt";

}  // namespace

int CGenStrings::GetString(const wchar_t* key, wchar_t* result, std::size_t capacity)
{
    // A null key would make the profile reader list the section's keys.
    if (!key || !result || capacity == 0)
        return 0;
    result[0] = L'\0';
    wchar_t installDir[installFolderChars];
    if (!ReadInstallFolder(installDir))
        return 0;
    // The folder name is four digits: the path always fits.
    wchar_t path[2 * installFolderChars];
    StringCchPrintfW(path, ARRAYSIZE(path), L"%s%s%s%s", installDir, productFiles::languageFolders,
                     CMUIHelper().GetUILanguageFolder().c_str(), productFiles::menuStrings);
    if (strings_detail::ReadStringFile(path, key, result, capacity))
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
