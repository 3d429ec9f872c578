// Real files read through the platform's profile functions.
#include "IniConfiguration.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;

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

    const wchar_t* path() const { return path_.c_str(); }

    std::wstring path_;
};

class NameCollector : public IEnumerable<const wchar_t*>::ActionType {
public:
    bool operator()(const wchar_t* name) override
    {
        names.push_back(name);
        return false;
    }
    std::vector<std::wstring> names;
};

class PairCollector : public IPairEnumerable<const wchar_t*, const wchar_t*>::ActionType {
public:
    bool operator()(const wchar_t* key, const wchar_t* value) override
    {
        pairs.emplace_back(key, value);
        return false;
    }
    Pairs pairs;
};

// The "type" of every section, through the view the manager uses.
class TypeCollector : public IEnumerable<LookupableW>::ActionType {
public:
    bool operator()(LookupableW& section) override
    {
        const wchar_t* type = section.getProperty(L"type");
        types.push_back(type ? type : L"<null>");
        return false;
    }
    std::vector<std::wstring> types;
};

std::string lineOf(int index, std::size_t width)
{
    char key[16];
    std::snprintf(key, sizeof key, "key%05d=", index);
    std::string line = key;
    line += std::string(width - line.size(), 'v');
    return line;
}

}  // namespace

TEST_F(IniFileTest, SectionsApplyInFileOrder)
{
    write("[B]\r\ntype=second\r\n[A]\r\nType=File\r\n[C]\r\nnothing=here\r\n");
    IniFileConfiguration configuration(path());
    IniFileConfiguration::Values values(&configuration);
    TypeCollector types;
    EXPECT_FALSE(values.firstThat(types));
    EXPECT_EQ(std::vector<std::wstring>({L"second", L"File", L"<null>"}), types.types);

    class Named : public IniFileConfiguration::ActionType {
    public:
        bool operator()(const wchar_t* name, LookupableW& section) override
        {
            const wchar_t* type = section.getProperty(L"TYPE");
            seen.push_back(std::wstring(name) + L"=" + (type ? type : L"<null>"));
            return seen.size() == 2;
        }
        std::vector<std::wstring> seen;
    } named;
    EXPECT_TRUE(configuration.firstThat(named));
    EXPECT_EQ(std::vector<std::wstring>({L"B=second", L"A=File"}), named.seen);
}

TEST_F(IniFileTest, FirstOfTwinKeysWinsAndValuesKeepEverySign)
{
    write("[S]\r\nfilename=first.log\r\nFILENAME=second.log\r\n"
          "condition=<activity>==\"zuInstall\" or x=y\r\n"
          "no separator here\r\n=empty key\r\nempty=\r\n");
    IniSection section(path(), L"S");
    EXPECT_STREQ(L"first.log", section.getProperty(L"filename"));
    EXPECT_STREQ(L"<activity>==\"zuInstall\" or x=y", section.getProperty(L"Condition"));
    EXPECT_STREQ(L"", section.getProperty(L"empty"));
    EXPECT_EQ(nullptr, section.getProperty(L"no separator here"));
    EXPECT_EQ(nullptr, section.getProperty(L"missing"));

    // The split made on first use holds for every later walk.
    PairCollector first, second;
    section.firstThat(first);
    section.firstThat(second);
    EXPECT_EQ(first.pairs, second.pairs);
    ASSERT_EQ(5u, first.pairs.size());
    EXPECT_EQ(std::make_pair(std::wstring(L""), std::wstring(L"empty key")), first.pairs[3]);
    EXPECT_EQ(1024, section.bufferSize());

    // A clone reads the file again for itself.
    std::unique_ptr<IniSection> copy(section.clone());
    PairCollector copied;
    copy->firstThat(copied);
    EXPECT_EQ(first.pairs, copied.pairs);
}

// The platform answers the capacity minus 2 for a cut section: the sign the
// reader doubles its buffer on.
TEST_F(IniFileTest, SectionOf5000CharactersIsReadWholeOnTheFourthAttempt)
{
    std::string content = "[big]\r\n";
    for (int i = 0; i < 100; ++i)
        content += lineOf(i, 49) + "\r\n";  // 50 characters with the terminator
    content += "[after]\r\ntype=x\r\n";
    write(content);

    wchar_t probe[1024];
    EXPECT_EQ(1022u, GetPrivateProfileSectionW(L"big", probe, 1024, path()));

    IniSection section(path(), L"big");
    PairCollector pairs;
    section.firstThat(pairs);
    EXPECT_EQ(8192, section.bufferSize());
    ASSERT_EQ(100u, pairs.pairs.size());
    EXPECT_EQ(std::wstring(40, L'v'), pairs.pairs[99].second);
    EXPECT_STREQ(std::wstring(40, L'v').c_str(), section.getProperty(L"KEY00099"));
}

TEST_F(IniFileTest, SectionBeyondTheLargestReadIsCutSafely)
{
    std::string content = "[huge]\r\n";
    for (int i = 0; i < 1000; ++i)
        content += lineOf(i, 49) + "\r\n";
    write(content);
    IniSection section(path(), L"huge");
    PairCollector pairs;
    section.firstThat(pairs);
    EXPECT_EQ(IniSection::maximumSize, section.bufferSize());
    EXPECT_GT(pairs.pairs.size(), 600u);
    EXPECT_LT(pairs.pairs.size(), 1000u);
    EXPECT_EQ(L"key00000", pairs.pairs.front().first);
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
    NameCollector collector;
    IniFileConfiguration::Keys keys(path());
    EXPECT_FALSE(keys.firstThat(collector));
    ASSERT_GE(collector.names.size(), 8u);
    ASSERT_LE(collector.names.size(), 9u);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(names[i], collector.names[i]);
    // The platform cuts the name that does not fit.
    if (collector.names.size() == 9) {
        EXPECT_LT(collector.names[8].size(), names[8].size());
        EXPECT_EQ(0u, names[8].find(collector.names[8]));
    }

    std::unique_ptr<IniFileConfiguration::Keys> copy(keys.clone());
    NameCollector again;
    copy->firstThat(again);
    EXPECT_EQ(collector.names, again.names);

    IniFileConfiguration configuration(path());
    IniFileConfiguration::Values values(&configuration);
    TypeCollector types;
    values.firstThat(types);
    ASSERT_GE(types.types.size(), 8u);
    EXPECT_EQ(L"7", types.types[7]);
}

// The platform reads a file written in UTF-16 as well as a narrow one.
TEST_F(IniFileTest, WideFileKeepsItsCharacters)
{
    const std::wstring text = L"\ufeff[Gr\u00fc\u00dfe]\r\nfilename=\u00e9t\u00e9.log\r\n";
    write(std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));
    class Named : public IniFileConfiguration::ActionType {
    public:
        bool operator()(const wchar_t* name, LookupableW& section) override
        {
            this->name = name;
            const wchar_t* value = section.getProperty(L"FileName");
            filename = value ? value : L"<null>";
            return true;
        }
        std::wstring name, filename;
    } named;
    IniFileConfiguration configuration(path());
    EXPECT_TRUE(configuration.firstThat(named));
    EXPECT_EQ(L"Gr\u00fc\u00dfe", named.name);
    EXPECT_EQ(L"\u00e9t\u00e9.log", named.filename);
}

TEST_F(IniFileTest, MissingFileOrSectionHasNothing)
{
    IniFileConfiguration configuration(path());
    IniFileConfiguration::Values values(&configuration);
    TypeCollector types;
    EXPECT_FALSE(values.firstThat(types));
    EXPECT_TRUE(types.types.empty());
    IniSection section(path(), L"any");
    EXPECT_EQ(nullptr, section.getProperty(L"type"));

    write("[present]\r\ntype=file\r\n[empty]\r\n");
    IniSection empty(path(), L"empty");
    PairCollector pairs;
    EXPECT_FALSE(empty.firstThat(pairs));
    EXPECT_TRUE(pairs.pairs.empty());
    IniSection absent(path(), L"absent");
    EXPECT_EQ(nullptr, absent.getProperty(L"type"));
}
