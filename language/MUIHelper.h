#pragma once
// The language class: decides the product's user-interface language and its
// resource folder, and answers questions about languages. It holds no state;
// every call reads the registry, the file system and the platform again.
// Its operations are defined in one file per concern: LanguageChain.cpp,
// LanguageNames.cpp, PartnerLanguages.cpp and PreferenceStorage.cpp.
//
// Typical use (the menu strings):
//     IMUIHelper* helper = new (std::nothrow) CMUIHelper();
//     std::wstring folder = helper->GetUILanguageFolder();   // e.g. "0409"
//     helper->Destroy();

#include <windows.h>

#include <new>
#include <string>
#include <vector>

// Receives one installed language; nonzero goes on with the walk, 0 stops it.
typedef int (*LanguageCallback)(LANGID language, void* context);

// The order of these operations is the virtual-table layout other components
// were built against: append nothing in the middle.
class IMUIHelper {
public:
    virtual std::wstring GetSystemUILanguageAbbrev() = 0;
    virtual LANGID GetSystemUILanguage() = 0;
    virtual std::wstring GetSystemUILanguageHex() = 0;
    virtual LCID GetSystemUILocale() = 0;
    virtual std::wstring GetSystemLocaleHex() = 0;
    virtual BOOL GetPreferredLanguageAbbrev(std::wstring& abbrev) = 0;
    virtual BOOL GetPreferredLanguage(LANGID& language) = 0;
    virtual BOOL GetPreferredLanguageHex(std::wstring& hex) = 0;
    virtual BOOL ReadPreferredLanguageFromRoot(DWORD& value, HKEY root) = 0;
    virtual BOOL ReadPreferredLanguage(DWORD& value) = 0;
    virtual BOOL SetPreferredLanguage(DWORD value) = 0;
    virtual BOOL ClearPreferredLanguage() = 0;
    virtual BOOL GetPreferredLocaleHex(std::wstring& hex) = 0;
    virtual std::wstring GetUILanguageAbbrev() = 0;
    virtual LCID GetUILanguage() = 0;
    virtual std::wstring GetUILanguageFolder() = 0;
    virtual LCID ResolveUILanguage() = 0;
    virtual std::wstring GetUILocaleHex() = 0;
    virtual BOOL IsLanguageInstalled(LANGID language) = 0;
    virtual BOOL IsPartnerSupportedLanguage(LANGID language, std::wstring folder,
                                            std::wstring bitmask) = 0;
    virtual std::wstring GetLanguageEnglishName(LANGID language) = 0;
    virtual LANGID GetPartnerDefaultLanguage() = 0;
    virtual BOOL SetPartnerSupportedLanguages(std::wstring bitmask) = 0;
    virtual BOOL EnumSystemUILanguages(std::vector<std::wstring>& languages) = 0;
    virtual BOOL IsRightToLeftLanguageHex(std::wstring languageHex) = 0;
    virtual BOOL IsRightToLeftLanguage(LANGID language) = 0;
    virtual LANGID LanguageFromAbbrev(std::wstring abbrev) = 0;
    virtual std::wstring GetLanguageAbbrev(LANGID language) = 0;
    virtual BOOL MapToSupportedLanguage(LANGID& language) = 0;
    virtual BOOL EnumInstalledLanguages(LanguageCallback callback, void* context) = 0;
    // A null list only runs the walk.
    virtual BOOL GetInstalledLanguages(std::vector<LANGID>* languages) = 0;
    virtual std::wstring GetCountryParameter() = 0;
    virtual LANGID GetUserLanguage() = 0;
    virtual void Destroy() = 0;
    virtual ~IMUIHelper() {}
};

class CMUIHelper : public IMUIHelper {
public:
    std::wstring GetSystemUILanguageAbbrev() override;
    LANGID GetSystemUILanguage() override;
    std::wstring GetSystemUILanguageHex() override;
    LCID GetSystemUILocale() override;
    std::wstring GetSystemLocaleHex() override;
    BOOL GetPreferredLanguageAbbrev(std::wstring& abbrev) override;
    BOOL GetPreferredLanguage(LANGID& language) override;
    BOOL GetPreferredLanguageHex(std::wstring& hex) override;
    BOOL ReadPreferredLanguageFromRoot(DWORD& value, HKEY root) override;
    BOOL ReadPreferredLanguage(DWORD& value) override;
    BOOL SetPreferredLanguage(DWORD value) override;
    BOOL ClearPreferredLanguage() override;
    BOOL GetPreferredLocaleHex(std::wstring& hex) override;
    std::wstring GetUILanguageAbbrev() override;
    LCID GetUILanguage() override;
    std::wstring GetUILanguageFolder() override;
    LCID ResolveUILanguage() override;
    std::wstring GetUILocaleHex() override;
    BOOL IsLanguageInstalled(LANGID language) override;
    BOOL IsPartnerSupportedLanguage(LANGID language, std::wstring folder,
                                    std::wstring bitmask) override;
    std::wstring GetLanguageEnglishName(LANGID language) override;
    LANGID GetPartnerDefaultLanguage() override;
    BOOL SetPartnerSupportedLanguages(std::wstring bitmask) override;
    BOOL EnumSystemUILanguages(std::vector<std::wstring>& languages) override;
    BOOL IsRightToLeftLanguageHex(std::wstring languageHex) override;
    BOOL IsRightToLeftLanguage(LANGID language) override;
    LANGID LanguageFromAbbrev(std::wstring abbrev) override;
    std::wstring GetLanguageAbbrev(LANGID language) override;
    BOOL MapToSupportedLanguage(LANGID& language) override;
    BOOL EnumInstalledLanguages(LanguageCallback callback, void* context) override;
    BOOL GetInstalledLanguages(std::vector<LANGID>* languages) override;
    std::wstring GetCountryParameter() override;
    LANGID GetUserLanguage() override;
    void Destroy() override;
    ~CMUIHelper() override {}

private:
    // Steps 2 to 4 of the decision chain: the language itself when it has a
    // resource folder, else its shipped variant when that one has a folder.
    bool AcceptLanguage(LANGID& language);
};

// Raised by the language list reader when a BSTR cannot be allocated.
class MUIHelperOutOfMemory : public std::bad_alloc {
public:
    HRESULT code() const noexcept { return E_OUTOFMEMORY; }
    const char* what() const noexcept override { return "E_OUTOFMEMORY"; }
};
