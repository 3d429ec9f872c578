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
        if (RegGetValueW(root_, subKey_.c_str(), name_, RRF_RT_ANY | RRF_NOEXPAND, &type_, nullptr,
                         &bytes) == ERROR_SUCCESS) {
            data_.resize(bytes);
            present_ = RegGetValueW(root_, subKey_.c_str(), name_, RRF_RT_ANY | RRF_NOEXPAND,
                                    &type_, data_.data(), &bytes) == ERROR_SUCCESS;
        }
    }
    ~SavedValue()
    {
        if (present_)
            SetRaw(root_, subKey_, name_, type_, data_.data(), static_cast<DWORD>(data_.size()));
        else
            RegDeleteKeyValueW(root_, subKey_.c_str(), name_);
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
        : root_(root), subKey_(subKey), existed_(KeyExists(root, subKey))
    {
    }
    ~SavedTree()
    {
        if (!existed_)
            RegDeleteTreeW(root_, subKey_);
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
    SetString(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir", install.path());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerDefaultLanguage");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID");
    wchar_t user[8];
    swprintf(user, 8, L"%04x", GetUserDefaultUILanguage());
    install.AddLanguage(user);
    install.AddLanguage(L"040c");
    EXPECT_EQ(helper.GetUILanguageFolder(), user);

    // A 32-bit process on 64-bit Windows sees the 32-bit view, where the same
    // key is also reachable through Wow6432Node.
    EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Quarvel\\Hollowmere",
                        L"szInstallDir"),
              IsWow64() ? install.path() : std::wstring(L"<absent>"));

    install.RemoveLanguage(user);
    SetString(HKEY_LOCAL_MACHINE, kAgentKey, L"szPartnerDefaultLanguage", L"1036");
    EXPECT_EQ(helper.GetUILanguageFolder(), L"040c");
}

TEST_F(RealRegistryTest, StoredChoiceRoundTrip)
{
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"szInstallDir");
    ASSERT_EQ(helper.SetPreferredLanguage(1031), TRUE);
    EXPECT_EQ(GetString(HKEY_CURRENT_USER, kDesktopUIKey, L"LANGID"), L"1031");
    EXPECT_EQ(helper.GetUILanguageFolder(), L"0407");
    EXPECT_EQ(helper.GetUILanguageAbbrev(), L"DEU");
    EXPECT_EQ(helper.ClearPreferredLanguage(), TRUE);
    EXPECT_EQ(helper.GetUILanguageFolder(), L"0409");  // nothing installed
}
