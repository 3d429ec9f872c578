#include "LogAccess.h"
#include "LogFileSink.h"
#include "SafeLogFile.h"
#include "SinkTypes.h"
#include "OutputTestSupport.h"
#include "Process.h"
#include "Security.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <thread>
#include <vector>

using namespace output_test;
using testsupport::AccessEntry;
using testsupport::Descriptor;
using testsupport::linuxPath;
using testsupport::parseDescriptor;
using testsupport::parseSddl;
using testsupport::runLinux;
using LogUtils::LogFileSink;

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
        {L"zuAgent.log", nullptr}, {L"Agent\\zuAgent.log", nullptr}, {L"CONSOLE.log", nullptr},
        {L"COM0.log", nullptr}, {L"com10.log", nullptr}, {L"NUL", device}, {L"com1.log", device},
        {L"LPT9 .txt", device}, {L"CON  .log.old", device}, {L"Agent\\aux", device},
        {L"COM\u00b9.log", device}, {L"C:\\Windows\\x.log", absolute},
        {L"\\\\host\\share\\x.log", absolute}, {L"\\x.log", absolute},
        {L"Agent\\..\\..\\x.log", L"climbs out of the log folder"},
        {L"x.log:hidden", L"holds \":\" (a drive or a stream)"},
        {L"Agent/x.log", L"holds \"/\""}, {L"", L"is empty"},
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
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
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

TEST(LogFileSinkTest, WriterWaitingForAnotherProcessHoldsUpNoOtherFile)
{
    const std::wstring folder = freshFolder(L"filesink-turns");
    const std::wstring held = folder + L"\\held.log";
    ASSERT_TRUE(writeFile(held, ""));
    // Another file of the same turn: the worst case, waiting by design only
    // for the held file's opens, never its sleeps.
    std::wstring other;
    for (int i = 0; other.empty(); ++i) {
        const std::wstring candidate = folder + L"\\other" + std::to_wstring(i) + L".log";
        if (LogFileSink::turnOf(candidate.c_str()) == LogFileSink::turnOf(held.c_str()))
            other = candidate;
    }
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
        {"log files", parseDescriptor(files->lpSecurityDescriptor),
         {{"S-1-5-18", 0, system}, {"S-1-5-32-544", 0, system}, {"S-1-1-0", 0, anyone},
          {"S-1-3-4", 0, anyone}}},
        {"log folder", parseSddl(ORN_LOG_FOLDER_ACCESS),
         {{"S-1-5-18", down, FILE_ALL_ACCESS}, {"S-1-5-32-544", down, FILE_ALL_ACCESS},
          {"S-1-1-0", CONTAINER_INHERIT_ACE, user}, {"S-1-3-4", CONTAINER_INHERIT_ACE, user}}},
        {"vendor levels", parseSddl(ORN_VENDOR_FOLDER_ACCESS),
         {{"S-1-5-18", down, FILE_ALL_ACCESS}, {"S-1-5-32-544", down, FILE_ALL_ACCESS},
          {"S-1-1-0", down, reader}, {"S-1-3-4", 0, reader | FILE_ADD_SUBDIRECTORY}}},
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
        ASSERT_TRUE(cutStart == readFile(cut)) << "line " << i << ": " << readFile(cut).substr(3996);
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
