#include "LogAccess.h"
#include "LogFileSink.h"
#include "LogFileTurns.h"
#include "SafeLogFile.h"
#include "SinkTypes.h"
#include "OutputTestSupport.h"
#include "Process.h"
#include "Security.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace output_test;
using LogUtils::LogFileSink;
using LogUtils::TurnHold;
using testsupport::AccessEntry;
using testsupport::Descriptor;
using testsupport::linuxPath;
using testsupport::parseDescriptor;
using testsupport::parseSddl;
using testsupport::runLinux;

namespace {

// A section's file name is refused when it would leave the log folder: the
// file system opens a reserved device whatever the folder, the extension and
// the blanks before it.
TEST(LogFileSinkTest, FileNamesThatLeaveTheLogFolderAreRefused)
{
    const wchar_t* const device = L"names a reserved device";
    const wchar_t* const absolute = L"is not relative to the log folder";
    const struct {
        const wchar_t* name;
        const wchar_t* problem;
    } cases[] = {
        {L"zuAgent.log", nullptr},
        {L"Agent\\zuAgent.log", nullptr},
        {L"CONSOLE.log", nullptr},
        {L"COM0.log", nullptr},
        {L"com10.log", nullptr},
        {L"NUL", device},
        {L"com1.log", device},
        {L"LPT9 .txt", device},
        {L"CON  .log.old", device},
        {L"Agent\\aux", device},
        {L"COM\u00b9.log", device},
        {L"C:\\Windows\\x.log", absolute},
        {L"\\\\host\\share\\x.log", absolute},
        {L"\\x.log", absolute},
        {L"Agent\\..\\..\\x.log", L"climbs out of the log folder"},
        {L"x.log:hidden", L"holds \":\" (a drive or a stream)"},
        {L"Agent/x.log", L"holds \"/\""},
        {L"", L"is empty"},
    };
    for (const auto& c : cases) {
        const wchar_t* problem = LogUtils::logFileNameProblem(c.name);
        EXPECT_EQ(c.problem ? narrow(c.problem) : "(none)", problem ? narrow(problem) : "(none)")
            << narrow(c.name);
    }
}

// Lines of 4000 bytes: 16 fit the 64 KiB a file may keep.
std::string boundLine(int i)
{
    return std::string(3990, 'x') + " line " + std::to_string(i + 10);
}

// Past 1 MiB kept for all files together, the file a line is refused for
// loses its oldest: sixteen files keep their 64 KiB each, a seventeenth
// finds room for six lines. A file's name is one in any case.
TEST(LogFileSinkTest, KeptLinesOfAllFilesAreBoundedTogether)
{
    const std::wstring folder = freshFolder(L"filesink-total");
    const std::wstring absent = folder + L"\\absent";
    auto file = [&](int n) { return absent + L"\\f" + std::to_wstring(n) + L".log"; };
    for (int n = 0; n < 17; ++n) {
        for (int i = 0; i < 16; ++i)
            EXPECT_FALSE(appendLine(file(n), boundLine(i)));
    }
    ASSERT_TRUE(CreateDirectoryW(absent.c_str(), nullptr));
    for (int n = 0; n < 17; ++n) {
        EXPECT_TRUE(appendLine(folder + L"\\ABSENT\\F" + std::to_wstring(n) + L".log", "after"));
        std::string expected =
            n < 16 ? "" : "Logging: 10 lines lost: the file's folder was missing\r\n";
        for (int i = n < 16 ? 0 : 10; i < 16; ++i)
            expected += boundLine(i) + "\r\n";
        EXPECT_TRUE(expected + "after\r\n" == readFile(file(n)))
            << n << ": " << readFile(file(n)).substr(0, 100);
    }
    removeTree(folder);
}

// Each line goes at the file's end with CR LF. The file is rotated (or, with
// archiving off, deleted) after the line that takes it past its limit, never
// at the limit itself; the cabinet holds that line too (checked with
// cabextract).
TEST(LogFileSinkTest, SizeLimitDecidesRotation)
{
    const std::wstring folder = archiveCase(L"filesink");
    const struct {
        const wchar_t* stem;
        std::string before;
        DWORD limit;
        bool archive;
        bool rotated;
    } cases[] = {
        {L"zero", "", 0, true, true},  // any non-empty file is over 0
        {L"at", "12345678\r\n", 16, true, false},  // 16 bytes with the line
        {L"over", "123456789\r\n", 16, true, true},  // 17 bytes
        {L"largest", "earlier\r\n", 0xFFFFFFFF, true, false},  // only files of 4 GiB or more
        {L"deleted", "", 0, false, true},  // archiving off: the file goes
    };
    for (const auto& c : cases) {
        const std::wstring path = folder + L"\\" + c.stem + L".log";
        ASSERT_TRUE(c.before.empty() || writeFile(path, c.before));
        EXPECT_TRUE(appendLine(path, "four", c.limit, c.archive));
        EXPECT_EQ(c.rotated ? "" : c.before + "four\r\n", readFile(path)) << narrow(c.stem);
        const auto cabinets = listFolder(folder, (c.stem + std::wstring(L".*.cab")).c_str());
        ASSERT_EQ(c.rotated && c.archive ? 1u : 0u, cabinets.size()) << narrow(c.stem);
        if (!cabinets.empty())
            writeFile(folder + L"\\expected\\" + cabinets[0].substr(0, cabinets[0].size() - 3) +
                          L"log",
                      c.before + "four\r\n");
    }
    EXPECT_EQ(5u, listFolder(folder).size());
}

// Whatever refuses a line, it is kept and written before the next line; past
// the bound the oldest go, and the next line says how many and why. A file
// another process holds costs three pauses of 12 ms per line (the tick may
// be 10 to 16 ms coarse); a reader that lets others write holds up nothing.
TEST(LogFileSinkTest, EveryRefusalIsKeptOrCountedByItsCause)
{
    static orn::unique_file holder;
    struct Refusal {
        const wchar_t* name;
        std::string note;
        void (*refuse)(const std::wstring& path);
        void (*undo)(const std::wstring& path);
    };
    const Refusal refusals[] = {
        {L"held.log", "the file was held by another process",
         [](const std::wstring& path) {
             holder.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, 0, nullptr));
         },
         [](const std::wstring& path) {
             holder.reset(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
         }},
        // Windows answers the same for a read-only file, an access list without
        // writing and a name pending deletion, which Wine run as root opens.
        {L"folder.log", "access to the file was denied",
         [](const std::wstring& path) { CreateDirectoryW(path.c_str(), nullptr); },
         [](const std::wstring& path) { RemoveDirectoryW(path.c_str()); }},
        {L"absent\\missing.log", "the file's folder was missing", [](const std::wstring&) {},
         [](const std::wstring& path) {
             CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
         }},
        // A second name of the file, refused as a link.
        {L"linked.log", "the file could not be written (system error 1920)",
         [](const std::wstring& path) {
             writeFile(path, "");
             CreateHardLinkW((path + L".link").c_str(), path.c_str(), nullptr);
         },
         [](const std::wstring& path) { DeleteFileW((path + L".link").c_str()); }},
        // A file whose end cannot be found: a Linux pipe, which Wine opens
        // but cannot seek in.
        {L"pipe.log", "the file could not be written (system error 1)",
         [](const std::wstring& path) { runLinux(L"mkfifo " + linuxPath(path)); },
         [](const std::wstring& path) { runLinux(L"rm " + linuxPath(path)); }},
    };
    const std::wstring folder = freshFolder(L"filesink-causes");
    for (const Refusal& refusal : refusals) {
        const std::wstring path = folder + L"\\" + refusal.name;
        refusal.refuse(path);
        const DWORD start = GetTickCount();
        for (int i = 0; i < 20; ++i)
            EXPECT_FALSE(appendLine(path, boundLine(i))) << refusal.note;
        EXPECT_GE(GetTickCount() - start, &refusal == refusals ? 20u * 20 : 0u);
        refusal.undo(path);
        EXPECT_TRUE(appendLine(path, "after")) << refusal.note;
        std::string expected = "Logging: 4 lines lost: " + refusal.note + "\r\n";
        for (int i = 4; i < 20; ++i)
            expected += boundLine(i) + "\r\n";
        EXPECT_TRUE(expected + "after\r\n" == readFile(path))
            << refusal.note << ": " << readFile(path).substr(0, 200);
    }

    // Lines pushed out by two causes: one note for each, in a fixed order.
    const std::wstring path = folder + L"\\mixed.log";
    refusals[1].refuse(path);
    for (int i = 0; i < 18; ++i)
        EXPECT_FALSE(appendLine(path, boundLine(i)));
    refusals[1].undo(path);
    refusals[0].refuse(path);
    for (int i = 18; i < 21; ++i)
        EXPECT_FALSE(appendLine(path, boundLine(i)));
    refusals[0].undo(path);
    EXPECT_TRUE(appendLine(path, "after"));
    std::string expected = "Logging: 3 lines lost: the file was held by another process\r\n"
                           "Logging: 2 lines lost: access to the file was denied\r\n";
    for (int i = 5; i < 21; ++i)
        expected += boundLine(i) + "\r\n";
    EXPECT_TRUE(expected + "after\r\n" == readFile(path)) << readFile(path).substr(0, 200);
    holder.reset();
    removeTree(folder);
}

// What a program keeps is written when it exits normally; what is still
// refused then is counted on the debugger output.
TEST(LogFileSinkTest, KeptLineIsWrittenWhenTheProgramExits)
{
    const std::wstring folder = freshFolder(L"filesink-exit");
    const std::wstring path = folder + L"\\zuAgent.log";
    ASSERT_TRUE(writeFile(path, ""));
    orn::unique_file writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    const orn::unique_handle kept(CreateEventW(nullptr, TRUE, FALSE, L"OrnKept"));
    const orn::unique_handle release(CreateEventW(nullptr, TRUE, FALSE, L"OrnKeepRelease"));
    const std::wstring command =
        L"\"" + childProgram() + L"\" keep \"" + path + L"\" \"kept by the child\"";
    const orn::unique_handle child = testsupport::startProcess(command);
    ASSERT_TRUE(child);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(kept.get(), 30000));
    writer.reset();
    SetEvent(release.get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.get(), 30000));
    DWORD code = 1;
    GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(0u, code) << "2: the line was written at once";
    EXPECT_EQ("kept by the child\r\n", readFile(path));

    // Held through the exit.
    writer.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             0, nullptr));
    ASSERT_TRUE(writer);
    ResetEvent(kept.get());
    const std::vector<std::string> texts = captureDebugOutput(command, code);
    EXPECT_EQ(0u, code);
    EXPECT_EQ(std::vector<std::string>{"Logging: 1 lines for \"" + narrow(path) +
                                       "\" lost at unload: the file was held by another process\n"},
              texts);
    writer.reset();
    EXPECT_EQ("kept by the child\r\n", readFile(path));
    removeTree(folder);
}

// Names that differ only in case are one file, so one turn and one store of
// kept lines: a line kept under one spelling goes first under any other.
TEST(LogFileSinkTest, KeptLinesGoFirstWhateverTheCaseOfTheName)
{
    const std::wstring folder = freshFolder(L"filesink-case");
    const std::wstring lower = folder + L"\\abcdefghijklmnopqrstuvwxyz.log";
    const std::wstring upper = folder + L"\\ABCDEFGHIJKLMNOPQRSTUVWXYZ.LOG";
    ASSERT_TRUE(writeFile(lower, ""));
    orn::unique_file holder(
        CreateFileW(lower.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(appendLine(lower, "kept"));
    holder.reset();
    EXPECT_TRUE(appendLine(upper, "after"));
    EXPECT_EQ("kept\r\nafter\r\n", readFile(lower));
    removeTree(folder);
}

// A file of folder whose writers take the same turn as path's.
std::wstring sameTurnAs(const std::wstring& path, const std::wstring& folder)
{
    for (int i = 0;; ++i) {
        const std::wstring candidate = folder + L"\\other" + std::to_wstring(i) + L".log";
        if (LogFileSink::turnOf(candidate.c_str()) == LogFileSink::turnOf(path.c_str()))
            return candidate;
    }
}

// A line of a thread that says which and how many lines came before it, and
// whose length shows a cut or merged line.
std::string threadLine(int thread, int number)
{
    return std::to_string(thread) + " " + std::to_string(number) + " " +
           std::string(10 + (number * 7 + thread) % 50, 'x');
}
constexpr int linesPerThread = 150;

// One thread per path, each writing its lines there through sinks with that
// delay; the count of lines refused.
int writeTogether(const std::vector<std::wstring>& paths, DWORD delay)
{
    std::atomic<int> refused{0};
    std::vector<std::thread> writers;
    for (std::size_t t = 0; t < paths.size(); ++t) {
        writers.emplace_back([&, t] {
            for (int n = 0; n < linesPerThread; ++n) {
                TextStreamer text(threadLine(static_cast<int>(t), n));
                refused += !LogFileSink(paths[t].c_str(), 0x200000, true, delay).write(text);
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    return refused;
}

// The file holds whole lines of these threads only, all of them, each
// thread's in order.
void expectEachThreadsLines(const std::wstring& path, const std::set<int>& threads)
{
    std::istringstream text(readFile(path));
    std::map<int, int> next;
    std::string line;
    while (std::getline(text, line)) {
        int thread = -1, number = -1;
        const bool parsed = std::sscanf(line.c_str(), "%d %d", &thread, &number) == 2 &&
                            threads.count(thread) && line == threadLine(thread, number) + "\r";
        ASSERT_TRUE(parsed) << narrow(path) << ": " << line;
        EXPECT_EQ(next[thread], number) << narrow(path) << ", thread " << thread;
        next[thread] = number + 1;
    }
    for (int thread : threads)
        EXPECT_EQ(linesPerThread, next[thread]) << narrow(path) << ", thread " << thread;
}

// Names the file system takes for one file meet one turn, whatever the case
// of each letter and either separator; other names spread over the turns.
TEST(LogFileSinkTest, OneFileMeetsOneTurnWhateverItsNamesCase)
{
    for (const wchar_t* prefix : {L"C:\\Logs\\", L"D:\\x", L"C:\\ProgramData\\zu", L"E:\\q\\r"}) {
        for (wchar_t letter = L'a'; letter <= L'z'; ++letter) {
            const std::wstring lower = prefix + std::wstring(1, letter) + L".log";
            const std::wstring upper = prefix + std::wstring(1, towupper(letter)) + L".LOG";
            EXPECT_EQ(LogFileSink::turnOf(lower.c_str()), LogFileSink::turnOf(upper.c_str()))
                << narrow(lower);
        }
    }
    EXPECT_EQ(LogFileSink::turnOf(L"C:\\Logs\\Agent\\zuAgent.log"),
              LogFileSink::turnOf(L"c:/logs/agent/ZUAGENT.LOG"));
    std::set<unsigned> turns;
    for (int i = 0; i < 256; ++i)
        turns.insert(LogFileSink::turnOf((L"C:\\Logs\\f" + std::to_wstring(i) + L".log").c_str()));
    EXPECT_GE(turns.size(), 48u);
}

// Threads writing one log at once, and a log of the same turn beside it: every
// line whole, once, in its own file, each thread's in the order written.
TEST(LogFileSinkTest, LinesWrittenTogetherStayWholeOrderedAndInTheirOwnFile)
{
    const std::wstring folder = freshFolder(L"filesink-together");
    const std::wstring one = folder + L"\\one.log";
    const std::wstring beside = sameTurnAs(one, folder);
    EXPECT_EQ(0, writeTogether({one, one, one, one, beside, beside}, 0));
    expectEachThreadsLines(one, {0, 1, 2, 3});
    expectEachThreadsLines(beside, {4, 5});
    removeTree(folder);
}

// A section with a delay: its lines wait, from several threads, and go out in
// order, by the background writer within the delay or at once when the
// module's unload asks for them.
TEST(LogFileSinkTest, QueuedLinesGoOutInOrderByTheWriterOrAtUnload)
{
    const std::wstring folder = freshFolder(L"filesink-queued");
    const std::wstring slow = folder + L"\\slow.log", quick = folder + L"\\quick.log";
    EXPECT_EQ(0, writeTogether({slow, slow, slow}, 10000));
    EXPECT_TRUE(LogFileSink::linesWaiting());
    EXPECT_EQ("", readFile(slow));
    EXPECT_FALSE(LogFileSink::writeKept(1, false));
    expectEachThreadsLines(slow, {0, 1, 2});

    EXPECT_EQ(0, writeTogether({quick, quick}, 100));
    for (int waited = 0; LogFileSink::linesWaiting() && waited < 5000; waited += 10)
        Sleep(10);
    EXPECT_FALSE(LogFileSink::linesWaiting());
    expectEachThreadsLines(quick, {0, 1});

    // A line due sooner than those queued before it for its log takes them
    // along.
    const std::wstring mixed = folder + L"\\mixed.log";
    for (const DWORD delay : {10000, 50}) {
        TextStreamer text(std::to_string(delay));
        EXPECT_TRUE(LogFileSink(mixed.c_str(), 0x200000, true, delay).write(text));
    }
    for (int waited = 0; LogFileSink::linesWaiting() && waited < 5000; waited += 10)
        Sleep(10);
    EXPECT_EQ("10000\r\n50\r\n", readFile(mixed));

    // A full batch (64 KiB, reached by the 66th line) does not wait for its
    // delay.
    const std::wstring full = folder + L"\\full.log";
    for (int i = 0; i < 66; ++i) {
        TextStreamer text(std::string(1000, 'f'));
        EXPECT_TRUE(LogFileSink(full.c_str(), 0x200000, true, 10000).write(text));
    }
    for (int waited = 0; LogFileSink::linesWaiting() && waited < 5000; waited += 10)
        Sleep(10);
    EXPECT_EQ(66u * 1002, readFile(full).size());
    removeTree(folder);
}

// The queue holds 1 MiB: while the writer cannot keep up (here: another
// thread holds the log's turn) the oldest lines go, and a note counts them.
TEST(LogFileSinkTest, QueuePastItsBoundLosesTheOldestWithANote)
{
    const std::wstring folder = freshFolder(L"filesink-behind");
    const std::wstring path = folder + L"\\behind.log";
    auto line = [](int i) {  // 4096 bytes with CR LF: 256 fit
        char number[8];
        std::snprintf(number, sizeof number, "%04d", i);
        return std::string(4090, 'q') + number;
    };
    {
        const TurnHold turn(LogFileSink::turnOf(path.c_str()), TurnHold::mode::wait);
        for (int i = 0; i < 300; ++i) {
            TextStreamer text(line(i));
            EXPECT_TRUE(LogFileSink(path.c_str(), 0x7FFFFFFF, true, 10000).write(text));
        }
    }
    for (int waited = 0; LogFileSink::linesWaiting() && waited < 5000; waited += 10)
        Sleep(10);
    std::string expected = "Logging: 44 lines lost: the background writer fell behind\r\n";
    for (int i = 44; i < 300; ++i)
        expected += line(i) + "\r\n";
    EXPECT_TRUE(expected == readFile(path)) << readFile(path).substr(0, 100);
    removeTree(folder);
}

// What is kept or queued for a log whose turn another thread holds: the
// unload's one attempt passes the turn over without waiting, a program's exit
// waits for it (longer than its attempts at a held file take) and writes.
TEST(LogFileSinkTest, KeptAndQueuedLinesWaitForABusyTurnOnlyAtExit)
{
    const std::wstring folder = freshFolder(L"filesink-busy");
    const std::wstring kept = folder + L"\\absent\\kept.log";
    const std::wstring queued = sameTurnAs(kept, folder);
    for (const std::wstring& path : {kept, queued}) {
        SCOPED_TRACE(narrow(path));
        if (path == kept) {
            ASSERT_FALSE(appendLine(kept, "waiting"));
            ASSERT_TRUE(CreateDirectoryW((folder + L"\\absent").c_str(), nullptr));
        } else {
            TextStreamer line("waiting");
            ASSERT_TRUE(LogFileSink(queued.c_str(), 0x200000, true, 10000).write(line));
        }
        std::promise<void> held, release;
        std::thread holder([&] {
            const TurnHold turn(LogFileSink::turnOf(path.c_str()), TurnHold::mode::wait);
            held.set_value();
            release.get_future().wait();
        });
        held.get_future().wait();
        auto unload =
            std::async(std::launch::async, [] { return LogFileSink::writeKept(1, false); });
        EXPECT_EQ(std::future_status::ready, unload.wait_for(std::chrono::seconds(5)))
            << "the unload's attempt waited for a busy turn";
        auto exit = std::async(std::launch::async, [] { return LogFileSink::writeKept(40, true); });
        Sleep(1000);
        release.set_value();
        holder.join();
        EXPECT_FALSE(exit.get());
        EXPECT_TRUE(unload.get());
        EXPECT_FALSE(LogFileSink::linesWaiting());
        EXPECT_EQ("waiting\r\n", readFile(path));
    }
    removeTree(folder);
}

TEST(LogFileSinkTest, WriterWaitingForAnotherProcessHoldsUpNoOtherFile)
{
    const std::wstring folder = freshFolder(L"filesink-turns");
    const std::wstring held = folder + L"\\held.log";
    ASSERT_TRUE(writeFile(held, ""));
    // Another file of the same turn: the worst case, waiting by design only
    // for the held file's opens, never its sleeps.
    const std::wstring other = sameTurnAs(held, folder);
    orn::unique_file holder(
        CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    // Three kept lines: over 100 ms of retries.
    std::atomic<bool> done{false};
    std::thread waiting([&] {
        for (int i = 0; i < 3; ++i)
            appendLine(held, "kept");
        done = true;
    });
    int written = 0;
    for (; !done; ++written)
        EXPECT_TRUE(appendLine(other, "other"));
    waiting.join();
    holder.reset();
    // Waiting behind the retries allowed about one line per kept line.
    EXPECT_GE(written, 10);
    EXPECT_TRUE(appendLine(held, "after"));
    EXPECT_EQ("kept\r\nkept\r\nkept\r\nafter\r\n", readFile(held));
    removeTree(folder);
}

// Logs and cabinets: any account appends, reads and rotates; only LocalSystem
// and Administrators may change the access list or the owner, and a creator
// gets no implicit right to either. The log folder: listing, reading, adding
// files and subfolders; no deleting, renaming or re-permissioning, handed
// down to subfolders. The vendor levels above it: listing and reading only,
// so that no user takes a name there; their creator may add the next level.
// Each list protected, with no owner or group of its own.
TEST(LogFileSinkTest, NoOtherAccountMayTakeOverLogsOrTheirFolder)
{
    SECURITY_ATTRIBUTES* files = LogUtils::logFileSecurityAttributes();
    ASSERT_NE(nullptr, files);
    EXPECT_EQ(files, LogUtils::logFileSecurityAttributes());
    EXPECT_FALSE(files->bInheritHandle);

    constexpr DWORD system = 0x101f0000;  // generic all and every standard right
    constexpr DWORD anyone = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    constexpr BYTE down = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr DWORD user = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                           FILE_READ_EA | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                           SYNCHRONIZE;
    constexpr DWORD reader = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    const struct {
        const char* what;
        Descriptor descriptor;
        std::vector<AccessEntry> entries;
    } lists[] = {
        {"log files",
         parseDescriptor(files->lpSecurityDescriptor),
         {{"S-1-5-18", 0, system},
          {"S-1-5-32-544", 0, system},
          {"S-1-1-0", 0, anyone},
          {"S-1-3-4", 0, anyone}}},
        {"log folder",
         parseSddl(ORN_LOG_FOLDER_ACCESS),
         {{"S-1-5-18", down, FILE_ALL_ACCESS},
          {"S-1-5-32-544", down, FILE_ALL_ACCESS},
          {"S-1-1-0", CONTAINER_INHERIT_ACE, user},
          {"S-1-3-4", CONTAINER_INHERIT_ACE, user}}},
        {"vendor levels",
         parseSddl(ORN_VENDOR_FOLDER_ACCESS),
         {{"S-1-5-18", down, FILE_ALL_ACCESS},
          {"S-1-5-32-544", down, FILE_ALL_ACCESS},
          {"S-1-1-0", down, reader},
          {"S-1-3-4", 0, reader | FILE_ADD_SUBDIRECTORY}}},
    };
    for (const auto& list : lists) {
        SCOPED_TRACE(list.what);
        EXPECT_TRUE(list.descriptor.isProtected);
        EXPECT_EQ("", list.descriptor.owner);
        EXPECT_EQ("", list.descriptor.group);
        EXPECT_TRUE(list.descriptor.hasList);
        EXPECT_EQ(list.entries, list.descriptor.entries);
    }
}

// A volume that fills up while lines are logged (full-volume.sh mounts a
// small one at the folder): no line is cut or mixed with the next, and once
// there is room again every line is written, in order, or counted in a note.
// Pages of 4 KiB: a file with room left in its last page takes part of a
// line (a short write), one whose last page is full takes none (a refused
// write).
TEST(LogFileSinkVolumeTest, FillingUpCutsNoLineAndLosesNoneWithoutANote)
{
    const std::wstring folder = binaryDir().wstring() + L"\\tests\\logging\\output\\small-volume";
    ULARGE_INTEGER total;
    if (!GetDiskFreeSpaceExW(folder.c_str(), nullptr, &total, nullptr) || total.QuadPart > 1 << 20)
        GTEST_SKIP() << "needs the small volume full-volume.sh mounts there as root";
    const std::wstring cut = folder + L"\\cut.log", refused = folder + L"\\refused.log";
    const std::string cutStart = std::string(3994, 'c') + "\r\n";  // 100 bytes left in its page
    const std::string refusedStart = std::string(4094, 'r') + "\r\n";
    ASSERT_TRUE(appendLine(cut, cutStart.substr(0, 3994)));
    ASSERT_TRUE(appendLine(refused, refusedStart.substr(0, 4094)));
    {
        const orn::unique_file holder(CreateFileW(cut.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_FALSE(appendLine(cut, "kept while held"));
    }

    const std::wstring filler = folder + L"\\filler";
    {
        const orn::unique_file file(
            CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        const std::string page(4096, 'f');
        DWORD written = page.size();
        while (written == page.size() &&
               WriteFile(file.get(), page.data(), page.size(), &written, nullptr)) {
        }
        ULARGE_INTEGER free;
        ASSERT_TRUE(GetDiskFreeSpaceExW(folder.c_str(), &free, nullptr, nullptr));
        ASSERT_EQ(0u, free.QuadPart);
    }
    // 1000 bytes each: 65 fit the 64 KiB a file may keep.
    auto line = [](int i) {
        char number[16];
        std::snprintf(number, sizeof number, "line %02d ", i);
        return number + std::string(990, 'x');
    };
    for (int i = 0; i < 70; ++i) {
        EXPECT_FALSE(appendLine(cut, line(i)));
        EXPECT_FALSE(appendLine(refused, line(i)));
        ASSERT_TRUE(cutStart == readFile(cut))
            << "line " << i << ": " << readFile(cut).substr(3996);
    }
    EXPECT_EQ(refusedStart, readFile(refused));

    // Past the bound the oldest went, the line kept while the file was held
    // first, counted as the refusal that pushed them out.
    ASSERT_TRUE(DeleteFileW(filler.c_str()));
    for (const auto& file : {std::make_pair(cut, cutStart + "Logging: 6 lines"),
                             std::make_pair(refused, refusedStart + "Logging: 5 lines")}) {
        std::string expected = file.second + " lost: the volume was full\r\n";
        for (int i = 5; i < 70; ++i)
            expected += line(i) + "\r\n";
        EXPECT_TRUE(appendLine(file.first, "after"));
        EXPECT_TRUE(expected + "after\r\n" == readFile(file.first))
            << readFile(file.first).substr(4096, 200);
    }
}

}  // namespace
