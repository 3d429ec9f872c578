// The view the product's keys are read in, and the checked reading of their
// values: under WoW64 (64-bit prefix), on 32-bit Windows, and as the 64-bit
// build on 64-bit Windows.

#include "ProductKeys.h"
#include "RegistryValues.h"

#include <gtest/gtest.h>

#include <string>

#include "Paths.h"
#include "Registry.h"

using namespace testsupport;

// Both builds open HKEY_LOCAL_MACHINE keys in the 32-bit view, where the
// 32-bit installer writes them, and never a key of the 64-bit view; on
// 32-bit Windows there is one view. Other roots are opened as given.
TEST(ProductKeysTest, MachineKeysAreReadInTheThirtyTwoBitView)
{
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), ProductView(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(0u, ProductView(HKEY_CURRENT_USER));
    const std::wstring path = L"SOFTWARE\\OrnProductKeysTest-" + uniqueSuffix();
    RegistryStage view32(HKEY_LOCAL_MACHINE, {path}, KEY_WOW64_32KEY);
    RegistryStage view64(HKEY_LOCAL_MACHINE, {path}, KEY_WOW64_64KEY);

    setStringInView(HKEY_LOCAL_MACHINE, path, L"view", L"64", KEY_WOW64_64KEY);
    orn::unique_hkey key;
    EXPECT_EQ(onWow64Prefix() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS,
              OpenProductKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.put()));

    setStringInView(HKEY_LOCAL_MACHINE, path, L"view", L"32", KEY_WOW64_32KEY);
    ASSERT_EQ(ERROR_SUCCESS, OpenProductKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.put()));
    wchar_t text[8] = L"";
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key.get(), L"view", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(text), &bytes));
    EXPECT_STREQ(L"32", text);
}

class RegistryValueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = L"Software\\OrnTests\\Values-" + uniqueSuffix();
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, key_.put(), nullptr));
    }
    void TearDown() override
    {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    void store(DWORD type, const std::wstring& text, bool terminated)
    {
        const DWORD bytes = static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_.get(), installDirValue, 0, type,
                                                reinterpret_cast<const BYTE*>(text.c_str()), bytes));
    }
    std::wstring path_;
    orn::unique_hkey key_;
};

// The checked rule: a string type, and a terminator that fits (Wine adds one
// to a string stored without it when there is room); a value with no bytes
// reads as its caller's rule says.
TEST_F(RegistryValueTest, CheckedStringsRefuseWhatIsNotAWholeText)
{
    wchar_t text[4];
    const auto read = [&](EmptyValue empty) {
        return ReadStringValue(key_.get(), installDirValue, text, 4, empty);
    };
    store(REG_EXPAND_SZ, L"abc", true);
    ASSERT_TRUE(read(EmptyValue::asUnreadable));
    EXPECT_STREQ(L"abc", text);
    store(REG_SZ, L"abcd", true);  // no room for the terminator
    EXPECT_FALSE(read(EmptyValue::asEmptyText));
    store(REG_BINARY, L"ab", true);
    EXPECT_FALSE(read(EmptyValue::asEmptyText));
    store(REG_SZ, L"", false);
    EXPECT_FALSE(read(EmptyValue::asUnreadable));
    ASSERT_TRUE(read(EmptyValue::asEmptyText));
    EXPECT_STREQ(L"", text);
    std::wstring longer;
    EXPECT_TRUE(ReadStringValue(key_.get(), installDirValue, 0, longer));
    EXPECT_EQ(L"", longer);

    const DWORD number = 7;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_.get(), L"n", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&number), sizeof number));
    DWORD value = 0;
    ASSERT_TRUE(ReadDwordValue(key_.get(), L"n", value));
    EXPECT_EQ(7u, value);
    EXPECT_FALSE(ReadDwordValue(key_.get(), installDirValue, value));
}
