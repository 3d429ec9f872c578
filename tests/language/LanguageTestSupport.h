#pragma once
// Real registry keys and real folders for the language class's tests.

#include "ProductKeys.h"
#include "UniqueResource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace langtest {

inline std::wstring UniqueSuffix()
{
    static std::atomic<unsigned> counter{0};
    return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

inline void SetString(HKEY root, const std::wstring& subKey, const wchar_t* name,
                      const std::wstring& text, DWORD type = REG_SZ)
{
    orn::unique_hkey key;
    ASSERT_EQ(CreateProductKey(root, subKey.c_str(), KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

inline void SetRaw(HKEY root, const std::wstring& subKey, const wchar_t* name, DWORD type,
                   const void* data, DWORD bytes)
{
    orn::unique_hkey key;
    ASSERT_EQ(CreateProductKey(root, subKey.c_str(), KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
}

inline void CreateKey(HKEY root, const std::wstring& subKey)
{
    orn::unique_hkey key;
    ASSERT_EQ(CreateProductKey(root, subKey.c_str(), KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
}

// The stored text of a value, or "<absent>".
inline std::wstring GetString(HKEY root, const std::wstring& subKey, const wchar_t* name)
{
    wchar_t buffer[512] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    orn::unique_hkey key;
    if (OpenProductKey(root, subKey.c_str(), KEY_READ, key.put()) != ERROR_SUCCESS ||
        RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &bytes)
            != ERROR_SUCCESS)
        return L"<absent>";
    return buffer;
}

inline bool KeyExists(HKEY root, const std::wstring& subKey)
{
    orn::unique_hkey key;
    return OpenProductKey(root, subKey.c_str(), KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The test helpers reach HKEY_LOCAL_MACHINE in the product's view, where its
// 32-bit installer writes, whichever build runs them.
inline void DeleteValue(HKEY root, const std::wstring& subKey, const wchar_t* name)
{
    orn::unique_hkey key;
    if (OpenProductKey(root, subKey.c_str(), KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), name);
}

inline void DeleteTree(HKEY root, const std::wstring& subKey)
{
    orn::unique_hkey key;
    if (OpenProductKey(root, subKey.c_str(), KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    RegDeleteKeyExW(root, subKey.c_str(), ProductView(root), 0);
}

// Maps HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER of this process onto private
// keys for the life of one test, so that tests see only the values they
// write and never the product's real keys (nor other test programs'). The
// class under test still opens the predefined keys as it always does.
class RegistrySandbox {
public:
    RegistrySandbox() : root_(L"Software\\OrnTests\\language\\" + UniqueSuffix())
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\machine").c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, machine_.put(), nullptr);
        RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\user").c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, user_.put(), nullptr);
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.get());
        RegOverridePredefKey(HKEY_CURRENT_USER, user_.get());
    }
    ~RegistrySandbox()
    {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        machine_.reset();
        user_.reset();
        // Only this object's own key goes: deleting the shared parents raced
        // with other test programs creating their sandboxes below them.
        RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
    }
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

    bool ready() const { return machine_ && user_; }

private:
    std::wstring root_;
    orn::unique_hkey machine_;
    orn::unique_hkey user_;
};

// A throw-away install folder under the temporary folder.
class InstallFolder {
public:
    InstallFolder()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = std::filesystem::path(temp) / (L"ornlang-" + UniqueSuffix());
        std::filesystem::create_directories(path_ / L"Agent" / L"Res");
    }
    ~InstallFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    InstallFolder(const InstallFolder&) = delete;
    InstallFolder& operator=(const InstallFolder&) = delete;

    std::wstring path() const { return path_.wstring(); }
    std::filesystem::path res() const { return path_ / L"Agent" / L"Res"; }

    void AddLanguage(const std::wstring& name) const
    {
        std::filesystem::create_directories(res() / name);
    }
    void AddFile(const std::wstring& name) const { std::ofstream(res() / name) << "x"; }
    void RemoveLanguage(const std::wstring& name) const { std::filesystem::remove_all(res() / name); }
    void WriteLanguageList(const std::string& xml) const
    {
        std::ofstream(path_ / L"Agent" / L"Languages.xml", std::ios::binary) << xml;
    }

private:
    std::filesystem::path path_;
};

inline const wchar_t* const kProductKey = L"SOFTWARE\\Quarvel\\Hollowmere";
inline const wchar_t* const kAgentKey = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent";
inline const wchar_t* const kDesktopUIKey = L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI";

}  // namespace langtest
