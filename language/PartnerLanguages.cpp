// Partner-supported languages (the language list file and the partner's
// bitmask) and the walk over the installed resource folders.
#include "MUIHelper.h"

#include "LanguageDetail.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

#include <cwchar>

using namespace orn::language;
using orn::unique_find;
using orn::unique_hkey;

namespace {

int AppendLanguage(LANGID language, void* context)
{
    if (context)
        static_cast<std::vector<LANGID>*>(context)->push_back(language);
    return 1;
}

}  // namespace

BOOL CMUIHelper::IsPartnerSupportedLanguage(LANGID language, std::wstring folder,
                                            std::wstring bitmask)
{
    const std::wstring languageHex = LanguageHex(language);

    // The install folder wins over the folder argument; each names its own
    // list file.
    std::wstring listFile;
    wchar_t installDir[installFolderChars];
    if (ReadInstallFolder(installDir)) {
        listFile = std::wstring(installDir) + productFiles::languageList;
    } else if (!folder.empty()) {
        if (folder.size() > kArgumentLimit)
            return FALSE;
        listFile = folder + L"\\Languages.xml";
    } else {
        return FALSE;
    }

    if (GetFileAttributesW(listFile.c_str()) == INVALID_FILE_ATTRIBUTES)
        return IsLanguageInstalled(language);
    const int position = ReadLanguageBitPosition(listFile, languageHex);
    if (position == -1)
        return IsLanguageInstalled(language);

    std::wstring mask;
    if (!ReadRegistryString(HKEY_LOCAL_MACHINE, agentKey, L"szPartnerSupportedInstalledLanguages",
                            kPathValueLimit, mask)) {
        if (bitmask.empty() || bitmask.size() > kArgumentLimit)
            return IsLanguageInstalled(language);
        mask = bitmask;
    }
    // From here the bitmask alone decides, whatever folders exist.
    return IsPartnerBitSet(mask, position) ? TRUE : FALSE;
}

BOOL CMUIHelper::SetPartnerSupportedLanguages(std::wstring bitmask)
{
    if (bitmask.empty())
        return FALSE;
    unique_hkey key;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, agentKey, kReadWrite, key.put()) != ERROR_SUCCESS)
        return FALSE;
    return WriteStringValue(key.get(), L"szPartnerSupportedInstalledLanguages", bitmask) ? TRUE
                                                                                         : FALSE;
}

BOOL CMUIHelper::EnumInstalledLanguages(LanguageCallback callback, void* context)
{
    wchar_t installDir[installFolderChars];
    if (!ReadInstallFolder(installDir))
        return FALSE;
    const std::wstring pattern = std::wstring(installDir) + productFiles::languageFolders + L"*";
    WIN32_FIND_DATAW entry;
    unique_find search(FindFirstFileW(pattern.c_str(), &entry));
    if (!search)
        return FALSE;

    BOOL reported = FALSE;
    do {
        if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0)
            continue;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        // A name without a leading hexadecimal digit keeps English.
        const LANGID language =
            static_cast<LANGID>(ReadHexDigits(entry.cFileName, 4, 0x0409) & 0xFFFF);
        if (IsValidLocale(language, LCID_SUPPORTED) && callback) {
            reported = TRUE;
            if (!callback(language, context))
                break;
        }
    } while (FindNextFileW(search.get(), &entry));
    return reported;
}

BOOL CMUIHelper::GetInstalledLanguages(std::vector<LANGID>* languages)
{
    return EnumInstalledLanguages(AppendLanguage, languages);
}
