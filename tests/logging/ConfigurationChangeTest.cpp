// The manager reads "logCfg.Ini" once per change and decides its routing once
// per change of the file or of the Log key; none of that may show. Each change
// here takes effect at the record right after it, end to end: the
// process-wide manager, the real Log key, log folder and configuration file.
#include "DefaultLogManager.h"
#include "LogManager.h"
#include "OutputTestSupport.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

using namespace output_test;

namespace {

using Files = std::set<std::wstring>;

// The manager keeps the Log key it found at its first record, so the key must
// exist before then and stay; a key this program had to create goes at the end.
class LogKeyEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        for (const wchar_t* path :
             {L"SOFTWARE\\Quarvel", L"SOFTWARE\\Quarvel\\Hollowmere", logRegistryKey}) {
            orn::unique_hkey key;
            DWORD disposition = 0;
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.put(), &disposition);
            if (disposition == REG_CREATED_NEW_KEY)
                created_.push_back(path);
        }
    }
    void TearDown() override
    {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, *it);
    }

private:
    std::vector<const wchar_t*> created_;
};

testing::Environment* const logKeyEnvironment =
    testing::AddGlobalTestEnvironment(new LogKeyEnvironment);

// A section writing every record to one file of the log folder.
std::string sectionTo(const std::string& fileName)
{
    return "[to]\r\ntype=file\r\nfilename=" + fileName + "\r\nformat=%m\r\n";
}

class ConfigurationChangeTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, logRegistryKey, 0,
                                               KEY_ALL_ACCESS, key_.put()));
        for (const wchar_t* name : {L"szCurrentActivityType", L"bDebugEnable"})
            saved_.emplace_back(new SavedValue(key_.get(), name));
        for (const std::wstring& name : listFolder(logDirectory.get()))
            filesBefore_.insert(name);
        folder_ = configDirectory.get();
        iniPath_ = folder_ + L"\\logCfg.Ini";
        iniFound_ = exists(iniPath_);
        if (iniFound_) {
            iniBefore_ = readFile(iniPath_);
            DeleteFileW(iniPath_.c_str());
        }
        setActivity(L"zuAgent");
        setDebug(0);
        log(LevelNotice, "settle");
    }

    void TearDown() override
    {
        removeIni();
        if (iniFound_)
            writeFile(iniPath_, iniBefore_);
        saved_.clear();
        key_.reset();
        log(LevelNotice, "settle");
        for (const std::wstring& name : listFolder(logDirectory.get())) {
            if (!filesBefore_.count(name))
                DeleteFileW((std::wstring(logDirectory.get()) + L"\\" + name).c_str());
        }
    }

    void setActivity(const wchar_t* activity)
    {
        RegSetValueExW(key_.get(), L"szCurrentActivityType", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(activity),
                       static_cast<DWORD>((wcslen(activity) + 1) * sizeof(wchar_t)));
    }

    void setDebug(DWORD on)
    {
        RegSetValueExW(key_.get(), L"bDebugEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&on), sizeof on);
    }

    void writeIni(const std::string& text)
    {
        if (createdFolders_.empty()) {
            for (std::wstring folder = folder_; !folder.empty() && !exists(folder);
                 folder = folder.substr(0, folder.find_last_of(L'\\')))
                createdFolders_.push_back(folder);
            SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr);
        }
        FolderChangeSeen seen(folder_);
        ASSERT_TRUE(writeFile(iniPath_, text));
    }

    void removeIni()
    {
        if (exists(iniPath_)) {
            FolderChangeSeen seen(folder_);
            DeleteFileW(iniPath_.c_str());
        }
        for (const std::wstring& folder : createdFolders_)
            RemoveDirectoryW(folder.c_str());
        createdFolders_.clear();
    }

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

    std::string log(int level, const char* what, const char* component = "OrnShExt")
    {
        static int counter = 0;
        const std::string marker = std::string(what) + "-" +
                                   std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(++counter) + "#";
        LogRecord(".\\ChangeTest", __LINE__, level, component, defaultLogManager())
            .print("%s", marker.c_str());
        return marker;
    }

    // The log files the next record lands in.
    Files routed(int level = LevelInfo)
    {
        const std::string marker = log(level, "routed");
        Files found;
        for (const std::wstring& name : listFolder(logDirectory.get())) {
            if (readFile(std::wstring(logDirectory.get()) + L"\\" + name).find(marker) !=
                std::string::npos)
                found.insert(name);
        }
        return found;
    }

    static DefaultLogManager& manager()
    {
        return *static_cast<DefaultLogManager*>(defaultLogManager());
    }

    orn::unique_hkey key_;
    std::vector<std::unique_ptr<SavedValue>> saved_;
    Files filesBefore_;
    std::wstring folder_;
    std::wstring iniPath_;
    bool iniFound_ = false;
    std::string iniBefore_;
    std::vector<std::wstring> createdFolders_;
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
    if (exists(folder_))
        GTEST_SKIP() << "the configuration folder exists here";
    setDebug(1);
    EXPECT_EQ(Files{}, routed(LevelDebug));
    writeIni(sectionTo("ChangeNewFolder.log"));
    EXPECT_EQ(Files{L"ChangeNewFolder.log"}, routed(LevelDebug));
    writeIni(sectionTo("ChangeNewFolder2.log"));
    EXPECT_EQ(Files{L"ChangeNewFolder2.log"}, routed(LevelDebug));
}

// Counts the conditions it is asked, and can fail them as an exhausted heap
// would.
class ProbeEvaluator : public LogUtils::IFilterEvaluator {
public:
    bool evaluateCondition(const wchar_t* expression, const LogRecord& record,
                           LookupableW* properties) override
    {
        ++conditions;
        if (throwing)
            throw std::bad_alloc();
        return inner.evaluateCondition(expression, record, properties);
    }
    bool evaluateFilter(const wchar_t* expression, const LogRecord& record,
                        LookupableW* properties) override
    {
        return inner.evaluateFilter(expression, record, properties);
    }
    int conditions = 0;
    bool throwing = false;
    FilterEvaluator inner;
};

class ProbeManager : public LogUtils::LogManagerImpl {
public:
    void log(LogRecord&) override {}
    LogUtils::IFilterEvaluator* getFilterEvaluator() override { return &evaluator; }
    LogUtils::ILogFormatter* getFormatter() override { return &LogUtils::logFormatter(); }
    bool forEachConfiguration(ConfigurationEnumeration::ActionType&) override { return false; }
    ProbeEvaluator evaluator;
};

class CompiledRoutingTest : public testing::Test {
protected:
    void SetUp() override
    {
        folder_ = freshFolder(L"compiled-routing");
        properties_ = {{L"activity", L"zuAgent"}, {L"dt", L"20261207000000"},
                       {L"logdir", folder_}, {L"debugEnable", L"1"}};
        const wchar_t* sections[][2] = {{L"<activity>==\"zuAgent\"", L"taken.log"},
                                        {L"<activity>==\"zuInstall\"", L"passed.log"}};
        for (int i = 0; i < 2; ++i) {
            configuration_.setProperty(i, L"type", L"file");
            configuration_.setProperty(i, L"condition", sections[i][0]);
            configuration_.setProperty(i, L"filter", L"*.Info");
            configuration_.setProperty(i, L"filename", sections[i][1]);
            configuration_.setProperty(i, L"format", L"%m");
        }
    }

    void route(const LogUtils::CompiledRouting& routing, int level, const char* text)
    {
        LogUtils::LogPropertiesOnMapImpl view(&properties_);
        LogRecord record(".\\ChangeTest", __LINE__, level, "OrnShExt", nullptr);
        record.narrowMessage = text;
        routing.route(record, manager_, view);
    }

    std::string file(const wchar_t* name) { return readFile(folder_ + L"\\" + name); }

    std::wstring folder_;
    LogUtils::PropertyMap properties_;
    LogUtils::PropertyLogConfiguration configuration_;
    ProbeManager manager_;
};

// Conditions read only the properties: each is answered once, when the
// routing is built, however many records follow.
TEST_F(CompiledRoutingTest, ConditionsAreAnsweredOncePerPropertySet)
{
    LogUtils::LogPropertiesOnMapImpl view(&properties_);
    const LogUtils::CompiledRouting routing(configuration_, view, &manager_.evaluator);
    EXPECT_EQ(2, manager_.evaluator.conditions);
    route(routing, LevelInfo, "one");
    route(routing, LevelDebug, "filtered");
    route(routing, LevelError, "two");
    EXPECT_EQ(2, manager_.evaluator.conditions);
    EXPECT_EQ("one\r\ntwo\r\n", file(L"taken.log"));
    EXPECT_FALSE(exists(folder_ + L"\\passed.log"));
}

// A condition that cannot be evaluated lets records through, as it does when
// evaluated for each record; it is asked again for each.
TEST_F(CompiledRoutingTest, ConditionThatThrowsLetsEachRecordThrough)
{
    manager_.evaluator.throwing = true;
    LogUtils::LogPropertiesOnMapImpl view(&properties_);
    const LogUtils::CompiledRouting routing(configuration_, view, &manager_.evaluator);
    route(routing, LevelInfo, "through");
    // The filter is not reached: the failed evaluation decides alone.
    route(routing, LevelDebug, "unfiltered");
    EXPECT_EQ(6, manager_.evaluator.conditions);
    EXPECT_EQ("through\r\nunfiltered\r\n", file(L"taken.log"));
    EXPECT_EQ("through\r\nunfiltered\r\n", file(L"passed.log"));
}

}  // namespace
