// Real files read through the platform's profile functions.
#include "IniConfiguration.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

class IniFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::wstring(folder) + L"orn-ini-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::wstring(info->name(), info->name() + std::strlen(info->name())) + L".ini";
    }
    void TearDown() override { DeleteFileW(path_.c_str()); }

    void write(const std::string& content)
    {
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
        ASSERT_EQ(content.size(), written);
    }

    // Each section's name and the value its lookup of key gives, in the
    // order the configuration enumerates them.
    std::vector<std::wstring> lookups(const wchar_t* key)
    {
        class Collect : public LogConfigurationW::ActionType {
        public:
            explicit Collect(const wchar_t* key) : key_(key) {}
            bool operator()(LookupableW& section) override
            {
                const wchar_t* value = section.getProperty(key_);
                values.push_back(static_cast<IniFileConfiguration::Section&>(section).name + L"=" +
                                 (value ? value : L"<null>"));
                return false;
            }
            std::vector<std::wstring> values;

        private:
            const wchar_t* key_;
        } collect(key);
        IniFileConfiguration(path_.c_str()).firstThat(collect);
        return collect.values;
    }

    std::wstring path_;
};

std::string linesOf(int count)
{
    std::string lines;
    for (int i = 0; i < count; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "key%05d=%s\r\n", i, std::string(40, 'v').c_str());
        lines += line;  // 50 characters with the terminator
    }
    return lines;
}

}  // namespace

TEST_F(IniFileTest, SectionsApplyInFileOrderAndKeysIgnoreCase)
{
    EXPECT_TRUE(lookups(L"type").empty());
    write("[B]\r\ntype=second\r\n[A]\r\nType=File\r\n[C]\r\nnothing=here\r\n[E]\r\n");
    EXPECT_EQ((std::vector<std::wstring>{L"B=second", L"A=File", L"C=<null>", L"E=<null>"}),
              lookups(L"TYPE"));
}

TEST_F(IniFileTest, FirstOfTwinKeysWinsAndValuesKeepEverySign)
{
    write("[S]\r\nfilename=first.log\r\nFILENAME=second.log\r\n"
          "condition=<activity>==\"zuInstall\" or x=y\r\n"
          "no separator here\r\n=empty key\r\nempty=\r\n");
    const std::vector<std::pair<const wchar_t*, const wchar_t*>> cases = {
        {L"filename", L"S=first.log"},
        {L"Condition", L"S=<activity>==\"zuInstall\" or x=y"},
        {L"empty", L"S="},
        {L"", L"S=empty key"},
        {L"no separator here", L"S=<null>"},
        {L"missing", L"S=<null>"}};
    for (const auto& c : cases)
        EXPECT_EQ(std::vector<std::wstring>{c.second}, lookups(c.first)) << c.second;
    EXPECT_EQ(5u, IniFileConfiguration(path_.c_str()).sections()[0].entries.size());
}

// The platform cuts a section's text to the buffer it is given, answering
// the capacity minus 2; the largest it reads is 32767 characters.
TEST_F(IniFileTest, SectionsAreReadWholeUpToTheLargestRead)
{
    write("[big]\r\n" + linesOf(100) + "[huge]\r\n" + linesOf(1000) + "[after]\r\ntype=x\r\n");
    wchar_t probe[1024];
    EXPECT_EQ(1022u, GetPrivateProfileSectionW(L"big", probe, 1024, path_.c_str()));

    const IniFileConfiguration file(path_.c_str());
    ASSERT_EQ(3u, file.sections().size());
    const auto& big = file.sections()[0].entries;
    ASSERT_EQ(100u, big.size());
    EXPECT_EQ(L"key00099", big[99].first);
    EXPECT_EQ(std::wstring(40, L'v'), big[99].second);
    const auto& huge = file.sections()[1].entries;
    EXPECT_GE(huge.size(), static_cast<std::size_t>(IniFileConfiguration::sectionCapacity / 50));
    EXPECT_LT(huge.size(), 1000u);
    EXPECT_EQ(L"key00000", huge.front().first);
    EXPECT_EQ(L"x", file.sections()[2].entries.at(0).second);
}

TEST_F(IniFileTest, NamesBeyondTheListAreNotSeen)
{
    std::string content;
    std::vector<std::wstring> names;
    for (int i = 0; i < 12; ++i) {
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "S%02d", i);
        const std::string name = prefix + std::string(57, 'n');  // 61 with its terminator
        names.emplace_back(name.begin(), name.end());
        content += "[" + name + "]\r\ntype=" + std::to_string(i) + "\r\n";
    }
    write(content);
    const IniFileConfiguration file(path_.c_str());
    ASSERT_GE(file.sections().size(), 8u);
    ASSERT_LE(file.sections().size(), 9u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(names[i], file.sections()[i].name);
        EXPECT_EQ(std::to_wstring(i), file.sections()[i].entries.at(0).second);
    }
    // The platform cuts the name that does not fit.
    if (file.sections().size() == 9) {
        EXPECT_LT(file.sections()[8].name.size(), names[8].size());
        EXPECT_EQ(0u, names[8].find(file.sections()[8].name));
    }
}

// The platform reads a file written in UTF-16 as well as a narrow one.
TEST_F(IniFileTest, WideFileKeepsItsCharacters)
{
    const std::wstring text = L"\ufeff[Gr\u00fc\u00dfe]\r\nfilename=\u00e9t\u00e9.log\r\n";
    write(std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));
    EXPECT_EQ(std::vector<std::wstring>{L"Gr\u00fc\u00dfe=\u00e9t\u00e9.log"}, lookups(L"FileName"));
}
