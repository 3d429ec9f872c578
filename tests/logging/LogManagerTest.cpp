// The logging call end to end: the process-wide manager, the real registry
// key of the logging library, the real log folder and "logCfg.Ini".
#include "DefaultLogManager.h"
#include "LogManager.h"
#include "LogSettings.h"
#include "Process.h"
#include "UdpCollector.h"
#include "ProductKeys.h"

#include <winsock2.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>
#include <thread>

using namespace output_test;

namespace {
std::atomic<int> allocations{0};
}  // namespace

// Counts what the routing allocates (see RoutingAllocatesLittle).
void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    if (p)
        HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, std::size_t) noexcept
{
    operator delete(p);
}

namespace {

std::wstring today()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[32];
    swprintf(text, 32, L"%04u%02u%02u000000", now.wYear, now.wMonth, now.wDay);
    return text;
}

class LogManagerTest : public LogSettingsTest {};


TEST_F(LogManagerTest, BuiltInTableRoutesByLevelAndComponent)
{
    EXPECT_EQ(Files{L"zuAgent.log"}, routed(LevelInfo, "OrnShExt"));
    EXPECT_EQ((Files{L"zuNotices.log", L"zuAgent.log"}), routed(LevelNotice, "OrnShExt"));
    EXPECT_EQ((Files{L"zuNotices.log", L"zuAgent.log"}), routed(LevelError, "zuCpLib"));
    EXPECT_EQ((Files{L"kwAgent.log", L"zuAgent.log"}), routed(LevelInfo, "kwAgent"));
    EXPECT_EQ((Files{L"kwAgent.log", L"zuAgent.log"}), routed(LevelInfo, "KWAGENTUPDATE"));
    EXPECT_EQ((Files{L"QuarvelOASDetection.log", L"zuAgent.log"}),
              routed(LevelInfo, "QuarvelOASDetection"));
    // Debugging is off: level 7 reaches no section.
    EXPECT_EQ(Files{}, routed(LevelDebug, "QuarvelOASDetection"));
    EXPECT_EQ(Files{}, routed(LevelDebug, "OrnShExt"));
}

// Records are routed for every diagnostic of the host process: one that no
// section takes costs no allocation, one line costs the line's buffer.
TEST_F(LogManagerTest, RoutingAllocatesLittle)
{
    const struct {
        int level;
        const char* component;
        int most;
    } cases[] = {{LevelDebug, "OrnShExt", 0}, {LevelInfo, "OrnShExt", 1},
                 {LevelNotice, "OrnShExt", 2}, {LevelInfo, "kwAgent", 2}};
    for (const auto& c : cases) {
        allocations = 0;
        LogRecord(".\\ManagerTest", __LINE__, c.level, c.component, defaultLogManager())
            .print("counted");
        EXPECT_LE(allocations, c.most) << c.level << " " << c.component;
        allocations = 0;
        LogRecord(".\\ManagerTest", __LINE__, c.level, c.component, defaultLogManager())
            .print(L"counted");
        EXPECT_LE(allocations, c.most) << c.level << " " << c.component << " (wide)";
    }
}

TEST_F(LogManagerTest, LineHasTheDefaultFormat)
{
    const std::string marker = log(LevelInfo, "format");
    const std::string text = readFile(std::wstring(logDirectory.get()) + L"\\zuAgent.log");
    const size_t end = text.find(marker + "\r\n");
    ASSERT_NE(std::string::npos, end);
    const size_t begin = text.rfind("\r\n", end);
    const std::string line = text.substr(begin == std::string::npos ? 0 : begin + 2,
                                         end + marker.size() - (begin + 2));
    char pid[16];
    snprintf(pid, sizeof pid, ":%lx ", GetCurrentProcessId());
    // "12-07 08:01:02 LogManagerTest:1a4 format-..."
    EXPECT_EQ(' ', line[5]);
    EXPECT_EQ(':', line[8]);
    EXPECT_NE(std::string::npos, line.find(std::string("LogManagerTest") + pid + marker)) << line;
}

TEST_F(LogManagerTest, InstallActivitiesWriteToTheStampedLog)
{
    setActivity(L"zuInstall");
    SavedValue keep(key_.get(), L"szLastVersion");
    RegDeleteValueW(key_.get(), L"szLastVersion");
    EXPECT_EQ(Files{L"zuInstall." + today() + L".log"}, routed(LevelInfo, "OrnShExt"));

    setString(L"szLastVersion", L"20261206093000");
    EXPECT_EQ((Files{L"zuNotices.log", L"zuInstall.20261206093000.log"}),
              routed(LevelWarning, "OrnShExt"));

    setActivity(L"ZUUNINSTALL");
    EXPECT_EQ(Files{L"ZUUNINSTALL.20261206093000.log"}, routed(LevelInfo, "OrnShExt"));

    // An empty version counts as missing.
    setString(L"szLastVersion", L"");
    EXPECT_EQ(Files{L"ZUUNINSTALL." + today() + L".log"}, routed(LevelInfo, "OrnShExt"));
}

TEST_F(LogManagerTest, UnreadableActivityFallsBackToTheAgent)
{
    RegDeleteValueW(key_.get(), L"szCurrentActivityType");
    EXPECT_EQ(Files{L"zuAgent.log"}, routed(LevelInfo, "OrnShExt"));

    setActivity(std::wstring(64, L'a').c_str());
    EXPECT_EQ(Files{L"zuAgent.log"}, routed(LevelInfo, "OrnShExt"));

    const DWORD number = 5;
    RegSetValueExW(key_.get(), L"szCurrentActivityType", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&number), sizeof number);
    EXPECT_EQ(Files{L"zuAgent.log"}, routed(LevelInfo, "OrnShExt"));

    setActivity(std::wstring(63, L'b').c_str());
    EXPECT_EQ(Files{std::wstring(63, L'b') + L".log"}, routed(LevelInfo, "OrnShExt"));
}

// A change reaches records without their asking the system: every record
// that starts 50 ms after it is routed by it, for the Log key and for
// "logCfg.Ini" alike.
TEST_F(LogManagerTest, ChangesApplyToRecordsStarting50MillisecondsLater)
{
    for (const DWORD on : {1u, 0u, 1u}) {
        RegSetValueExW(key_.get(), L"bDebugEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&on), sizeof on);
        Sleep(50);
        EXPECT_EQ(on ? Files{L"QuarvelOASDetection.log"} : Files{},
                  routed(LevelDebug, "QuarvelOASDetection"));
        // No other section of the table takes traces.
        EXPECT_EQ(Files{}, routed(LevelDebug, "kwAgent"));
    }
    // The folder of the file may have to be made first; the manager then
    // watches it.
    writeIni("[first]\r\ntype=file\r\nfilename=IniFirst.log\r\nformat=%m\r\n");
    EXPECT_EQ(Files{L"IniFirst.log"}, routed(LevelInfo, "OrnShExt"));
    for (const char* name : {"IniLater.log", "IniLaterStill.log"}) {
        ASSERT_TRUE(writeFile(iniPath_, std::string("[later]\r\ntype=file\r\nfilename=") + name +
                                            "\r\nformat=%m\r\n"));
        Sleep(50);
        EXPECT_EQ(Files{widen(name)}, routed(LevelInfo, "OrnShExt"));
    }
}

// Threads log while the activity flips between two values: every record is
// routed with one whole property set, so it lands in one of the two activity
// logs, never in both. Both logs start empty.
TEST_F(LogManagerTest, ThreadsRouteWithWholePropertySetsWhileTheKeyChanges)
{
    const std::wstring agentLog = std::wstring(logDirectory.get()) + L"\\zuAgent.log";
    const std::wstring flippedLog = std::wstring(logDirectory.get()) + L"\\zuFlipped.log";
    for (const std::wstring& path : {agentLog, flippedLog}) {
        DeleteFileW(path.c_str());
        ASSERT_FALSE(exists(path));
    }
    const std::string run = runMarker();
    const int threads = 4, records = 150;
    std::atomic<bool> running{true};
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([t, &run] {
            for (int n = 0; n < records; ++n) {
                LogRecord(".\\ManagerTest", __LINE__, LevelInfo, "OrnShExt", defaultLogManager())
                    .print("flip-%s-%d-%d#", run.c_str(), t, n);
            }
        });
    }
    std::thread flipper([&] {
        for (int i = 0; running; ++i) {
            setActivity(i % 2 ? L"zuAgent" : L"zuFlipped");
            Sleep(1);
        }
    });
    for (auto& logger : loggers)
        logger.join();
    running = false;
    flipper.join();

    const std::string agent = readFile(agentLog);
    const std::string flipped = readFile(flippedLog);
    int inFlipped = 0, inAgent = 0;
    for (int t = 0; t < threads; ++t) {
        for (int n = 0; n < records; ++n) {
            char marker[96];
            snprintf(marker, sizeof marker, " flip-%s-%d-%d#\r\n", run.c_str(), t, n);
            const bool a = agent.find(marker) != std::string::npos;
            const bool f = flipped.find(marker) != std::string::npos;
            // A line may be lost to a writer holding the file too long, but
            // never routed twice.
            EXPECT_FALSE(a && f) << marker;
            inFlipped += f;
            inAgent += a;
        }
    }
    EXPECT_GT(inFlipped, 0);
    EXPECT_GT(inAgent, 0);
}

TEST_F(LogManagerTest, ConfigurationFileReplacesTheTableOnlyWhileDebugging)
{
    writeIni("[second]\r\ntype=FILE\r\nfilename=IniTest.<activity>.log\r\nformat=%l %m\r\n"
             "[disabled]\r\ntype=file\r\nenabled=False\r\nfilename=IniDisabled.log\r\n"
             "[unknown]\r\ntype=file2\r\nfilename=IniUnknown.log\r\n"
             "[notype]\r\nfilename=IniNoType.log\r\n"
             "[traces]\r\ntype=file\r\nfilter=*.Debug ~kwAgent.Debug\r\n"
             "condition=<debugEnable>==\"1\"\r\nfilename=IniTraces.log\r\n");

    EXPECT_EQ(Files{L"zuAgent.log"}, routed(LevelInfo, "OrnShExt"));

    setDebug(1);
    const std::string info = log(LevelInfo, "ini");
    EXPECT_EQ((Files{L"IniTest.zuAgent.log", L"IniTraces.log"}), filesWith(info));
    EXPECT_NE(std::string::npos,
              readFile(std::wstring(logDirectory.get()) + L"\\IniTest.zuAgent.log")
                  .find("Info " + info + "\r\n"));
    EXPECT_EQ((Files{L"IniTest.zuAgent.log", L"IniTraces.log"}), routed(LevelDebug, "OrnShExt"));
    EXPECT_EQ(Files{L"IniTest.zuAgent.log"}, routed(LevelDebug, "kwAgent"));

    // Edits apply to the next record.
    writeIni("[only]\r\ntype=file\r\nfilename=IniEdited.log\r\nformat=%m\r\n");
    EXPECT_EQ(Files{L"IniEdited.log"}, routed(LevelInfo, "OrnShExt"));

    removeIni();
    EXPECT_EQ(Files{L"zuAgent.log"}, routed(LevelInfo, "OrnShExt"));
}

TEST_F(LogManagerTest, FileNamesExpandTheirPlaceholders)
{
    setDebug(1);
    setString(L"szLastVersion", L"20261206093000");
    writeIni("[names]\r\ntype=file\r\nfilename=Ini.<dt>.<dt>.<activity>.log\r\nformat=%m\r\n"
             "[bare]\r\ntype=file\r\nfilename=IniBare.log\r\n");
    const std::string marker = log(LevelInfo, "names");
    EXPECT_EQ((Files{L"Ini.20261206093000.20261206093000.zuAgent.log", L"IniBare.log"}),
              filesWith(marker));
    // A section without a format still shows the message.
    EXPECT_EQ(marker + "\r\n", readFile(std::wstring(logDirectory.get()) + L"\\IniBare.log"));
}

// Names that would leave the log folder write nothing anywhere, and the
// debugger hears why, once per process; the other sections of the file,
// one writing to a subfolder among them, log as ever.
TEST_F(LogManagerTest, FileNamesStayInsideTheLogFolder)
{
    const std::wstring folder = logDirectory.get();
    const std::wstring sub = folder + L"\\IniSub";
    CreateDirectoryW(sub.c_str(), nullptr);
    const std::wstring above = folder.substr(0, folder.rfind(L'\\', folder.rfind(L'\\') - 1));
    const std::vector<std::wstring> outside = {
        L"C:\\windows\\IniHostile.log", above + L"\\IniHostile.log",
        above + L"\\IniHostileActivity.log", folder + L"\\IniStream.log",
        sub + L"\\IniSlash.log"};
    setDebug(1);
    setActivity(L"..\\..\\IniHostileActivity");
    writeIni("[absolute]\r\ntype=file\r\nfilename=C:\\windows\\IniHostile.log\r\n"
             "[unc]\r\ntype=file\r\nfilename=\\\\127.0.0.1\\share\\IniHostile.log\r\n"
             "[device path]\r\ntype=file\r\nfilename=\\\\.\\C:\\IniHostile.log\r\n"
             "[climb]\r\ntype=file\r\nfilename=IniSub\\..\\..\\..\\IniHostile.log\r\n"
             "[activity]\r\ntype=file\r\nfilename=<activity>.log\r\n"
             "[device]\r\ntype=file\r\nfilename=NUL\r\n"
             "[port]\r\ntype=file\r\nfilename=COM1.log\r\n"
             "[stream]\r\ntype=file\r\nfilename=IniStream.log:hidden\r\n"
             "[slash]\r\ntype=file\r\nfilename=IniSub/IniSlash.log\r\n"
             "[sub]\r\ntype=file\r\nfilename=IniSub\\IniSub.log\r\nformat=%m\r\n"
             "[ordinary]\r\ntype=file\r\nfilename=IniOrdinary.log\r\nformat=%m\r\n");

    const std::string marker = log(LevelInfo, "inside");
    EXPECT_EQ(Files{L"IniOrdinary.log"}, filesWith(marker));
    EXPECT_EQ(marker + "\r\n", readFile(sub + L"\\IniSub.log"));
    for (const std::wstring& path : outside)
        EXPECT_FALSE(exists(path)) << narrow(path);
    // A device name is a device in every folder: only the listing can tell.
    EXPECT_TRUE(listFolder(folder, L"COM1*").empty());

    DWORD exitCode = 1;
    std::vector<std::string> told;
    for (const std::string& text :
         captureDebugOutput(L"\"" + childProgram() + L"\" log kwAgent 5 child", exitCode)) {
        if (text.find("Logging: ") == 0)
            told.push_back(text);
    }
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(std::vector<std::string>{"Logging: the file name \"C:\\windows\\IniHostile.log\" is "
                                       "not relative to the log folder: its section writes "
                                       "nothing\n"},
              told);
    DeleteFileW((sub + L"\\IniSub.log").c_str());
    RemoveDirectoryW(sub.c_str());
}

TEST_F(LogManagerTest, SmallSizeLimitRotatesThroughTheLoggingCall)
{
    setDebug(1);
    writeIni("[small]\r\ntype=file\r\nfilename=IniRotating.log\r\nmaxsize= +100\r\nformat=%m\r\n");
    const std::wstring folder = logDirectory.get();
    for (const std::wstring& name : listFolder(folder, L"IniRotating.*"))
        DeleteFileW((folder + L"\\" + name).c_str());
    const std::string first = log(LevelInfo, std::string(60, 'r').c_str());
    EXPECT_TRUE(exists(folder + L"\\IniRotating.log"));
    log(LevelInfo, std::string(60, 's').c_str());
    EXPECT_FALSE(exists(folder + L"\\IniRotating.log"));
    const auto cabinets = listFolder(folder, L"IniRotating.*.cab");
    EXPECT_EQ(1u, cabinets.size());
    EXPECT_TRUE(listFolder(folder, L"IniRotating.*.log").empty());
}

TEST_F(LogManagerTest, LostLinesNeitherFailNorTouchTheLastError)
{
    setDebug(1);
    writeIni("[missing]\r\ntype=file\r\nfilename=absent\\IniMissing.log\r\n"
             "[locked]\r\ntype=file\r\nfilename=IniLocked.log\r\n"
             "[nowhere]\r\ntype=syslog\r\nserver=not.an.address\r\n"
             "[noserver]\r\ntype=syslog\r\nport=9\r\n"
             "[after]\r\ntype=file\r\nfilename=IniAfter.log\r\nformat=%m\r\n");
    const std::wstring locked = std::wstring(logDirectory.get()) + L"\\IniLocked.log";
    HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    SetLastError(4242);
    const std::string marker = log(LevelError, "lost");
    EXPECT_EQ(4242u, GetLastError());
    CloseHandle(holder);
    // The remaining sections still write.
    EXPECT_EQ(Files{L"IniAfter.log"}, filesWith(marker));
    // The locked file's line was kept: the next one brings it along.
    EXPECT_EQ((Files{L"IniAfter.log", L"IniLocked.log"}), filesWith(log(LevelError, "next")));
    EXPECT_EQ((Files{L"IniAfter.log", L"IniLocked.log"}), filesWith(marker));
}

TEST_F(LogManagerTest, SyslogSectionsSendToTheirCollector)
{
    Collector collector;
    ASSERT_TRUE(collector.bound());
    // Only the low 16 bits of the port count.
    const unsigned port = collector.port() + 65536u;

    setDebug(1);
    writeIni("[collector]\r\ntype=Syslog\r\nserver=127.0.0.1\r\nport=" + std::to_string(port) +
             "\r\nformat=%f %m\r\n");
    const std::string marker = log(LevelWarning, "syslog", "zuCpLib");

    const std::string datagram = collector.receive();
    ASSERT_GE(datagram.size(), marker.size() + 9) << datagram;
    EXPECT_EQ("<12> ", datagram.substr(0, 5));
    EXPECT_EQ(" zuCpLib " + marker, datagram.substr(datagram.size() - marker.size() - 9));
}

TEST_F(LogManagerTest, DebuggerSectionReachesTheDebuggerOfAnotherProcess)
{
    setDebug(1);
    // Refused sections between them are said once, by the first refusal.
    writeIni("[debugger]\r\ntype=outputdebugstring\r\nformat=%f.%l %m\r\n"
             "[slow]\r\ntype=file\r\nfilename=LogManagerSlow.log\r\nwritedelay=2s\r\n"
             "[slower]\r\ntype=file\r\nfilename=LogManagerSlow.log\r\nwritedelay=10001\r\n"
             "[again]\r\ntype=outputdebugstring\r\nformat=again %m\r\n");
    DWORD exitCode = 1;
    const auto texts = captureDebugOutput(
        L"\"" + childProgram() + L"\" log kwAgent 5 \"from the child\"", exitCode);
    EXPECT_EQ(0u, exitCode);
    std::vector<std::string> ours;
    for (const std::string& text : texts) {
        if (text.find("from the child") != std::string::npos ||
            text.find("Logging: a file section") == 0)
            ours.push_back(text);
    }
    EXPECT_EQ((std::vector<std::string>{"Logging: a file section writes nothing: writedelay \"2s\" "
                                        "is not from 0 to 10000 (milliseconds)\n",
                                        "kwAgent.Notice from the child\n",
                                        "again from the child\n"}),
              ours);
    EXPECT_FALSE(exists(std::wstring(logDirectory.get()) + L"\\LogManagerSlow.log"));
}

// One record of a child process. Without the Log key (the child sees an
// empty machine key; this process keeps the real one open) it logs as the
// installer. Once the module detached, before any record, the record starts
// nothing and is dropped.
TEST_F(LogManagerTest, ProcessWithoutTheLogKeyLogsAsInstallerAndAfterTheDetachNotAtAll)
{
    const struct {
        const wchar_t* mode;
        Files files;
    } rows[] = {
        {L"log-without-machine", Files{L"zuInstall." + today() + L".log"}},
        {L"log-after-detach", Files{}},
    };
    for (const auto& row : rows) {
        const std::string marker = std::string(row.mode, row.mode + std::wcslen(row.mode)) + "-" + runMarker() + "#";
        const testsupport::ProcessResult child = testsupport::runProcess(
            testsupport::quoted(childProgram()) + L" " + row.mode + L" OrnShExt 6 " + widen(marker), 30000);
        EXPECT_EQ(0u, child.exitCode) << child.output;
        EXPECT_EQ(row.files, filesWith(marker));
    }
}

// Each row: a "filename" and what it becomes for activity zuInstall and a
// "dt" of 20261206093000; placeholders match exactly as written.
TEST(FileNameTest, PlaceholdersAreReplacedAsWritten)
{
    LogUtils::PropertyMap map = {{L"activity", L"zuInstall"}, {L"dt", L"20261206093000"}};
    LogUtils::LogPropertiesOnMapImpl properties(&map);
    const struct {
        const wchar_t* name;
        const wchar_t* expanded;
    } rows[] = {
        {L"<activity>.<dt>.log", L"zuInstall.20261206093000.log"},
        {L"<dt><dt>", L"2026120609300020261206093000"},
        {L"<DT>.<Activity>.log", L"<DT>.<Activity>.log"},
        {L"<activity.log", L"<activity.log"},
    };
    wchar_t expanded[MAX_PATH];
    for (const auto& row : rows) {
        ASSERT_TRUE(LogUtils::expandLogFileName(row.name, properties, expanded));
        EXPECT_STREQ(row.expanded, expanded);
    }
    // A property without a value removes its placeholder.
    map.erase(L"dt");
    ASSERT_TRUE(LogUtils::expandLogFileName(L"a.<dt>.log", properties, expanded));
    EXPECT_STREQ(L"a..log", expanded);
    // A name the replacements make too long for a path writes nothing.
    map[L"activity"] = std::wstring(40, L'a');
    const std::wstring name = std::wstring(200, L'x') + L"<activity><activity>";
    EXPECT_FALSE(LogUtils::expandLogFileName(name.c_str(), properties, expanded));
}

TEST(SectionNumberTest, ReadsLikeTheRuntimesDecimalConversion)
{
    using LogUtils::parseSectionNumber;
    EXPECT_EQ(1048576u, parseSectionNumber(L"1048576"));
    EXPECT_EQ(0u, parseSectionNumber(L"abc"));
    EXPECT_EQ(0xFFFFFFFFu, parseSectionNumber(L"-1"));
    EXPECT_EQ(12u, parseSectionNumber(L"  +12kB"));
    EXPECT_EQ(4464u, parseSectionNumber(L"70000") & 0xFFFF);
    EXPECT_EQ(0u, parseSectionNumber(L"65536") & 0xFFFF);
}

}  // namespace
