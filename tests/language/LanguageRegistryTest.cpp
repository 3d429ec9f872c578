// The language class against the product's real registry keys, in the
// registry view of the process. Every value written is put back as it was.
#include "MUIHelper.h"

#include "LanguageTestSupport.h"

#include <vector>

using namespace langtest;

namespace {

// Remembers a value (or its absence) and restores it; removes the product's
// keys again when the test created them.
class SavedValue {
public:
    SavedValue(HKEY root, std::wstring subKey, const wchar_t* name)
        : root_(root), subKey_(std::move(subKey)), name_(name)
    {
        DWORD bytes = 0;
        orn::unique_hkey key;
        if (OpenProductKey(root_, subKey_.c_str(), KEY_READ, key.put()) == ERROR_SUCCESS &&
            RegGetValueW(key.get(), nullptr, name_, RRF_RT_ANY | RRF_NOEXPAND, &type_, nullptr,
                         &bytes) == ERROR_SUCCESS) {
            data_.resize(bytes);
            present_ = RegGetValueW(key.get(), nullptr, name_, RRF_RT_ANY | RRF_NOEXPAND, &type_,
                                    data_.data(), &bytes) == ERROR_SUCCESS;
        }
    }
    ~SavedValue()
    {
        if (present_)
            setValue(root_, subKey_, name_, type_, data_.data(), static_cast<DWORD>(data_.size()));
        else
            DeleteValue(root_, subKey_, name_);
    }

private:
    HKEY root_;
    std::wstring subKey_;
    const wchar_t* name_;
    bool present_ = false;
    DWORD type_ = REG_NONE;
    std::vector<BYTE> data_;
};

class SavedTree {
public:
    SavedTree(HKEY root, const wchar_t* subKey)
        : root_(root), subKey_(subKey), existed_(keyExists(root, subKey))
    {
    }
    ~SavedTree()
    {
        if (!existed_)
            deleteTree(root_, subKey_);
    }

private:
    HKEY root_;
    const wchar_t* subKey_;
    bool existed_;
};

bool IsWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

struct RealRegistryTest : ::testing::Test {
    SavedTree machineTree{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarvel"};
    SavedTree userTree{HKEY_CURRENT_USER, L"SOFTWARE\\Quarvel"};
    SavedTree siblingTree{HKEY_CURRENT_USER, L"SOFTWARE\\Pathmorrow"};
    SavedValue installDir{HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir"};
    SavedValue partner{HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerDefaultLanguage"};
    SavedValue stored{HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID"};
    InstallFolder install;
    CMUIHelper helper;
};

}  // namespace

TEST_F(RealRegistryTest, ChainReadsTheProcesssView)
{
    setString(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", install.path());
    DeleteValue(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerDefaultLanguage");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID");
    wchar_t user[8];
    swprintf(user, 8, L"%04x", GetUserDefaultUILanguage());
    install.AddLanguage(user);
    install.AddLanguage(L"040c");
    EXPECT_EQ(helper.GetUILanguageFolder(), user);

    // The keys stand in the 32-bit view, where on 64-bit Windows the same key
    // is also reachable through Wow6432Node, from a 32-bit process and from
    // a 64-bit one alike; the 64-bit view has none of them.
    const bool is64BitBuild = sizeof(void*) == 8;
    const bool on64BitWindows = IsWow64() || is64BitBuild;
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Quarvel\\Hollowmere",
                        L"szInstallDir"),
              on64BitWindows ? install.path() : std::wstring(L"<absent>"));
    orn::unique_hkey view64;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | KEY_WOW64_64KEY,
                            view64.put()) == ERROR_SUCCESS,
              !on64BitWindows);

    install.RemoveLanguage(user);
    setString(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerDefaultLanguage", L"1036");
    EXPECT_EQ(helper.GetUILanguageFolder(), L"040c");
}

TEST_F(RealRegistryTest, StoredChoiceRoundTrip)
{
    DeleteValue(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir");
    ASSERT_EQ(helper.SetPreferredLanguage(1031), TRUE);
    EXPECT_EQ(readString(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID"), L"1031");
    EXPECT_EQ(helper.GetUILanguageFolder(), L"0407");
    EXPECT_EQ(helper.GetUILanguageAbbrev(), L"DEU");
    EXPECT_EQ(helper.ClearPreferredLanguage(), TRUE);
    EXPECT_EQ(helper.GetUILanguageFolder(), L"0409");  // nothing installed
}
