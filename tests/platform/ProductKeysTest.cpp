// The checked reading of registry values (the views the product's keys are
// read in: the install-folder table of ShellExtTest).

#include "ProductKeys.h"
#include "RegistryValues.h"

#include <gtest/gtest.h>

#include <string>

#include "Paths.h"
#include "Registry.h"

using namespace testsupport;

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
    void store(DWORD type, const wchar_t* data, DWORD bytes)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_.get(), installDirValue, 0, type,
                                                reinterpret_cast<const BYTE*>(data), bytes));
    }
    std::wstring path_;
    orn::unique_hkey key_;
};

// The checked rule: a string type, an even byte count and a terminator that
// fits (Wine adds one to a string stored without it when there is room); a
// value with no bytes reads as its caller's rule says.
TEST_F(RegistryValueTest, CheckedStringsRefuseWhatIsNotAWholeText)
{
    wchar_t text[4];
    const auto read = [&](EmptyValue empty) {
        return ReadStringValue(key_.get(), installDirValue, text, 4, empty);
    };
    store(REG_EXPAND_SZ, L"abc", 8);
    ASSERT_TRUE(read(EmptyValue::asUnreadable));
    EXPECT_STREQ(L"abc", text);
    store(REG_SZ, L"abcd", 10);  // no room for the terminator
    EXPECT_FALSE(read(EmptyValue::asEmptyText));
    store(REG_BINARY, L"ab", 6);
    EXPECT_FALSE(read(EmptyValue::asEmptyText));
    store(REG_SZ, L"ab\0c", 7);  // a terminator, and half a character more
    EXPECT_FALSE(read(EmptyValue::asEmptyText));
    store(REG_SZ, L"", 0);
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
