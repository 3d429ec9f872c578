#pragma once
// Real registry keys and real folders for the language class's tests.

#include "Paths.h"
#include "ProductKeys.h"
#include "Registry.h"
#include "UniqueResource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace langtest {

using namespace testsupport;

// The test helpers reach HKEY_LOCAL_MACHINE in the product's view, where its
// 32-bit installer writes, whichever build runs them.
inline void DeleteValue(HKEY root, const std::wstring& subKey, const wchar_t* name)
{
    orn::unique_hkey key;
    if (OpenProductKey(root, subKey.c_str(), KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), name);
}

// A throw-away install folder under the temporary folder.
class InstallFolder {
public:
    InstallFolder() : folder_(L"ornlang-") { fs::create_directories(res()); }

    std::wstring path() const { return folder_.str(); }
    fs::path res() const { return folder_.path() / L"Agent" / L"Res"; }

    void AddLanguage(const std::wstring& name) const
    {
        fs::create_directories(res() / name);
    }
    void AddFile(const std::wstring& name) const { std::ofstream(res() / name) << "x"; }
    void RemoveLanguage(const std::wstring& name) const { fs::remove_all(res() / name); }
    void WriteLanguageList(const std::string& xml) const
    {
        std::ofstream(folder_.path() / L"Agent" / L"Languages.xml", std::ios::binary) << xml;
    }

private:
    TempFolder folder_;
};

inline const wchar_t* const kProductKey = L"SOFTWARE\\Quarvel\\Hollowmere";
inline const wchar_t* const kAgentKey = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent";
inline const wchar_t* const kDesktopUIKey = L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI";

}  // namespace langtest
