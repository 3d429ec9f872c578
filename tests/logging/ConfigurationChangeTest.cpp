// The manager reads "logCfg.Ini" once per change and decides its routing once
// per change of the file or of the Log key; none of that may show. Each change
// here takes effect at the record right after it, end to end: the
// process-wide manager, the real Log key, log folder and configuration file.
#include "DefaultLogManager.h"
#include "LogManager.h"
#include "LogSettings.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

using namespace output_test;

namespace {


// A section writing every record to one file of the log folder.
std::string sectionTo(const std::string& fileName)
{
    return "[to]\r\ntype=file\r\nfilename=" + fileName + "\r\nformat=%m\r\n";
}

class ConfigurationChangeTest : public LogSettingsTest {
protected:
    FILETIME lastWrite()
    {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        EXPECT_TRUE(GetFileAttributesExW(iniPath_.c_str(), GetFileExInfoStandard, &data));
        return data.ftLastWriteTime;
    }

    void setLastWrite(const FILETIME& time)
    {
        orn::unique_file file(CreateFileW(iniPath_.c_str(), FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &time));
    }

    static DefaultLogManager& manager()
    {
        return *static_cast<DefaultLogManager*>(defaultLogManager());
    }
};

// A rewrite of the same size within one tick of the file system's clock keeps
// both size and last-write time; here the time is even set back by hand.
TEST_F(ConfigurationChangeTest, FileEditsApplyAtTheNextRecord)
{
    setDebug(1);
    writeIni(sectionTo("ChangeA.log"));
    EXPECT_EQ(Files{L"ChangeA.log"}, routed());

    const FILETIME written = lastWrite();
    writeIni(sectionTo("ChangeB.log"));
    setLastWrite(written);
    EXPECT_EQ(Files{L"ChangeB.log"}, routed());

    // Last written an hour ago, the file is told apart by its time and size
    // alone; the next version has another size.
    ULARGE_INTEGER earlier;
    earlier.LowPart = written.dwLowDateTime;
    earlier.HighPart = written.dwHighDateTime;
    earlier.QuadPart -= 3600ull * 10000000ull;
    setLastWrite(FILETIME{earlier.LowPart, earlier.HighPart});
    EXPECT_EQ(Files{L"ChangeB.log"}, routed());
    writeIni(sectionTo("ChangeLonger.log"));
    EXPECT_EQ(Files{L"ChangeLonger.log"}, routed());

    removeIni();
    EXPECT_EQ(Files{L"zuAgent.log"}, routed());
    EXPECT_FALSE(manager().routesWithConfigurationFile());

    writeIni(sectionTo("ChangeA.log"));
    EXPECT_EQ(Files{L"ChangeA.log"}, routed());
}

// The point of the cache: records between changes do not read the file.
TEST_F(ConfigurationChangeTest, FileIsReadOncePerChange)
{
    setDebug(1);
    writeIni(sectionTo("ChangeOnce.log"));
    EXPECT_EQ(Files{L"ChangeOnce.log"}, routed());
    const long afterWrite = manager().configurationFileReadings();
    for (int i = 0; i < 20; ++i)
        log(LevelDebug, "unchanged");
    EXPECT_EQ(afterWrite, manager().configurationFileReadings());

    writeIni(sectionTo("ChangeTwice.log"));
    EXPECT_EQ(Files{L"ChangeTwice.log"}, routed());
    const long afterEdit = manager().configurationFileReadings();
    EXPECT_GT(afterEdit, afterWrite);
    for (int i = 0; i < 20; ++i)
        log(LevelDebug, "unchanged");
    EXPECT_EQ(afterEdit, manager().configurationFileReadings());
}

// The file's routing depends on the properties too: file names and
// conditions follow the Log key from the next record on.
TEST_F(ConfigurationChangeTest, LogKeyChangesApplyToTheFileAtTheNextRecord)
{
    setDebug(1);
    writeIni("[named]\r\ntype=file\r\nfilename=Change.<activity>.log\r\nformat=%m\r\n"
             "[install]\r\ntype=file\r\ncondition=<activity>==\"zuInstall\"\r\n"
             "filename=ChangeInstall.log\r\nformat=%m\r\n");
    EXPECT_EQ(Files{L"Change.zuAgent.log"}, routed());
    setActivity(L"zuInstall");
    EXPECT_EQ((Files{L"Change.zuInstall.log", L"ChangeInstall.log"}), routed());
    setActivity(L"zuAgent");
    EXPECT_EQ(Files{L"Change.zuAgent.log"}, routed());
}

// Switching debugging moves between the table and the file at the next
// record, and an edit made while debugging was off is seen when it comes on.
TEST_F(ConfigurationChangeTest, DebugSwitchMovesBetweenTableAndFile)
{
    writeIni(sectionTo("ChangeDebug.log"));
    EXPECT_EQ(Files{L"zuAgent.log"}, routed());
    EXPECT_EQ(Files{}, routed(LevelDebug));
    setDebug(1);
    EXPECT_EQ(Files{L"ChangeDebug.log"}, routed(LevelDebug));
    setDebug(0);
    EXPECT_EQ(Files{L"zuAgent.log"}, routed());
    writeIni(sectionTo("ChangeWhileOff.log"));
    setDebug(1);
    EXPECT_EQ(Files{L"ChangeWhileOff.log"}, routed());
}

// Without the folder there is nothing to watch: the file is looked for at
// every record, and found at the record after it appears.
TEST_F(ConfigurationChangeTest, FileInAFolderMadeWhileDebugging)
{
    if (exists(configDirectory.get()))
        GTEST_SKIP() << "the configuration folder exists here";
    setDebug(1);
    EXPECT_EQ(Files{}, routed(LevelDebug));
    writeIni(sectionTo("ChangeNewFolder.log"));
    EXPECT_EQ(Files{L"ChangeNewFolder.log"}, routed(LevelDebug));
    writeIni(sectionTo("ChangeNewFolder2.log"));
    EXPECT_EQ(Files{L"ChangeNewFolder2.log"}, routed(LevelDebug));
}

// Properties that count the lookups made of them and, for one name, fail as
// an exhausted heap would.
class CountingProperties : public LookupableW {
public:
    explicit CountingProperties(LogUtils::PropertyMap& map) : view_(&map) {}
    const wchar_t* getProperty(const wchar_t* key) override
    {
        ++lookups;
        if (std::wstring(key) == L"exhausted")
            throw std::bad_alloc();
        return view_.getProperty(key);
    }
    int lookups = 0;

private:
    LogUtils::LogPropertiesOnMapImpl view_;
};

class CompiledRoutingTest : public testing::Test {
protected:
    void SetUp() override
    {
        folder_ = freshFolder(L"compiled-routing");
        properties_ = {{L"activity", L"zuAgent"}, {L"dt", L"20261207000000"},
                       {L"logdir", folder_}, {L"debugEnable", L"1"}};
    }

    // A file section that takes Info and above while the condition holds.
    void addSection(int index, const wchar_t* condition, const wchar_t* file)
    {
        configuration_.setProperty(index, L"type", L"file");
        configuration_.setProperty(index, L"condition", condition);
        configuration_.setProperty(index, L"filter", L"*.Info");
        configuration_.setProperty(index, L"filename", file);
        configuration_.setProperty(index, L"format", L"%m");
    }

    void route(const LogUtils::CompiledRouting& routing, int level, const char* text)
    {
        LogRecord record(".\\ChangeTest", __LINE__, level, "OrnShExt", nullptr);
        record.narrowMessage = text;
        routing.route(record);
    }

    std::string file(const wchar_t* name) { return readFile(folder_ + L"\\" + name); }

    std::wstring folder_;
    LogUtils::PropertyMap properties_;
    LogUtils::PropertyLogConfiguration configuration_;
};

// Conditions read only the properties: each is answered once, when the
// routing is built, however many records follow.
TEST_F(CompiledRoutingTest, ConditionsAreAnsweredOncePerPropertySet)
{
    addSection(0, L"<activity>==\"zuAgent\"", L"taken.log");
    addSection(1, L"<activity>==\"zuInstall\"", L"passed.log");
    CountingProperties properties(properties_);
    const LogUtils::CompiledRouting routing(configuration_, properties);
    const int built = properties.lookups;
    route(routing, LevelInfo, "one");
    route(routing, LevelDebug, "filtered");
    route(routing, LevelError, "two");
    EXPECT_EQ(built, properties.lookups);
    EXPECT_EQ("one\r\ntwo\r\n", file(L"taken.log"));
    EXPECT_FALSE(exists(folder_ + L"\\passed.log"));
}

// A condition that cannot be evaluated lets every record through, its filter
// not asked; the other sections decide as ever.
TEST_F(CompiledRoutingTest, ConditionThatThrowsLetsEveryRecordThrough)
{
    addSection(0, L"<exhausted>==\"x\"", L"through.log");
    addSection(1, L"<activity>==\"zuInstall\"", L"other.log");
    CountingProperties properties(properties_);
    const LogUtils::CompiledRouting routing(configuration_, properties);
    route(routing, LevelInfo, "through");
    route(routing, LevelDebug, "unfiltered");
    EXPECT_EQ("through\r\nunfiltered\r\n", file(L"through.log"));
    EXPECT_FALSE(exists(folder_ + L"\\other.log"));
}

}  // namespace
