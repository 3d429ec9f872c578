#include "LogArchive.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace output_test;

namespace {

// Cabinets left in these folders are checked afterwards with cabextract
// (verify-cabinets.sh): each must hold exactly its "expected" file's bytes.
std::wstring cabinetCase(const wchar_t* name)
{
    const std::wstring root = binaryDir().wstring() + L"\\tests\\logging\\output";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\archive").c_str(), nullptr);
    const std::wstring folder = root + L"\\archive\\" + name;
    removeTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\expected").c_str(), nullptr);
    return folder;
}

std::string sampleLog(int lines)
{
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "12-06 13:05:07 explorer:5a4 line " + std::to_string(i) + " of the sample\r\n";
    return text;
}

// Rotates path and answers the stamp used: one of the stamps read just before
// and after the call.
std::wstring rotateAndFindStamp(const std::wstring& folder, const std::wstring& path,
                                const std::wstring& stem)
{
    const std::wstring before = localStamp();
    EXPECT_TRUE(LogUtils::rotateLogFile(path.c_str()));
    const std::wstring after = localStamp();
    for (const std::wstring& stamp : {before, after}) {
        if (exists(folder + L"\\" + stem + L"." + stamp + L".cab") ||
            exists(folder + L"\\" + stem + L"." + stamp + L".log"))
            return stamp;
    }
    ADD_FAILURE() << "no rotated file stamped " << narrow(before) << " or " << narrow(after);
    return before;
}

void expectOnlyFiles(const std::wstring& folder, std::vector<std::wstring> wanted)
{
    std::vector<std::wstring> files;
    for (const std::wstring& name : listFolder(folder)) {
        if (name != L"expected")
            files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    std::sort(wanted.begin(), wanted.end());
    std::string have, want;
    for (auto& f : files)
        have += narrow(f) + " ";
    for (auto& f : wanted)
        want += narrow(f) + " ";
    EXPECT_EQ(want, have);
}

struct NameCase {
    const wchar_t* folder;
    const wchar_t* live;  // live log name
    const wchar_t* stem;  // what the stamp is appended to
    int lines;
};

TEST(LogArchiveTest, RotationLeavesOnlyTheStampedCabinet)
{
    const NameCase cases[] = {
        {L"plain", L"zuAgent.log", L"zuAgent", 4000},
        {L"noextension", L"trace", L"trace", 10},
        {L"stamped", L"zuInstall.20261206000000.log", L"zuInstall.20261206000000", 10},
        // Larger than a cabinet may be, but it compresses to far less.
        {L"large", L"kwAgent.log", L"kwAgent", 50000},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(narrow(c.live));
        const std::wstring folder = cabinetCase(c.folder);
        const std::wstring live = folder + L"\\" + c.live;
        const std::string content = sampleLog(c.lines);
        ASSERT_TRUE(writeFile(live, content));

        const std::wstring stamp = rotateAndFindStamp(folder, live, c.stem);
        const std::wstring moved = std::wstring(c.stem) + L"." + stamp + L".log";
        expectOnlyFiles(folder, {std::wstring(c.stem) + L"." + stamp + L".cab"});
        writeFile(folder + L"\\expected\\" + moved, content);
    }
}

// The cabinet library's temporary files are made beside the cabinet, never
// in a shared temporary folder, at names nobody can foresee: "~cab", 128
// random bits in hexadecimal, ".tmp". Any two names agree in no more digits
// than chance makes them (2 of 32 on average), and none is left.
TEST(LogArchiveTest, TemporaryNamesAreUnforeseeable)
{
    const std::wstring folder = freshFolder(L"archive-temporaries");
    const orn::unique_file watched(CreateFileW(
        folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(watched);
    // Names made in the folder from the first "ready" seen to "done".
    std::atomic<bool> ready{false};
    std::vector<std::wstring> made;
    std::thread watcher([&] {
        alignas(DWORD) BYTE changes[65536];
        DWORD got = 0;
        while (ReadDirectoryChangesW(watched.get(), changes, sizeof changes, FALSE,
                                     FILE_NOTIFY_CHANGE_FILE_NAME, &got, nullptr, nullptr) &&
               got) {
            for (const BYTE* at = changes;;) {
                const auto& change = *reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
                const std::wstring name(change.FileName, change.FileNameLength / sizeof(wchar_t));
                if (name == L"done")
                    return;
                ready = ready || name == L"ready";
                if (ready && change.Action == FILE_ACTION_ADDED && name.compare(0, 4, L"~cab") == 0)
                    made.push_back(name);
                if (!change.NextEntryOffset)
                    break;
                at += change.NextEntryOffset;
            }
        }
    });
    for (int wait = 0; wait < 500 && !ready; ++wait) {
        writeFile(folder + L"\\ready", "");
        DeleteFileW((folder + L"\\ready").c_str());
        Sleep(10);
    }
    ASSERT_TRUE(ready) << "the folder's changes are not reported";
    for (int rotation = 0; rotation < 3; ++rotation) {
        ASSERT_TRUE(writeFile(folder + L"\\zuAgent.log", sampleLog(100)));
        EXPECT_TRUE(LogUtils::rotateLogFile((folder + L"\\zuAgent.log").c_str()));
        for (const std::wstring& name : listFolder(folder, L"zuAgent.*"))
            DeleteFileW((folder + L"\\" + name).c_str());
    }
    writeFile(folder + L"\\done", "");
    watcher.join();

    EXPECT_GE(made.size(), 3u);
    for (std::size_t i = 0; i < made.size(); ++i) {
        const std::wstring& name = made[i];
        ASSERT_EQ(40u, name.size()) << narrow(name);
        EXPECT_EQ(std::wstring::npos, name.substr(4, 32).find_first_not_of(L"0123456789abcdef"))
            << narrow(name);
        EXPECT_EQ(L".tmp", name.substr(36)) << narrow(name);
        for (std::size_t j = 0; j < i; ++j) {
            int same = 0;
            for (std::size_t k = 4; k < 36; ++k)
                same += name[k] == made[j][k];
            EXPECT_LE(same, 12) << narrow(name) << " " << narrow(made[j]);
        }
    }
    EXPECT_EQ(std::vector<std::wstring>{L"done"}, listFolder(folder));
    removeTree(folder);
}

TEST(LogArchiveTest, CabinetOverTheLimitKeepsTheMovedLog)
{
    const std::wstring folder = freshFolder(L"archive-overlimit");
    const std::wstring live = folder + L"\\zuAgent.log";
    // Compresses to well over the 1 MiB a cabinet may hold.
    const std::string content = incompressibleText(2 * 1024 * 1024, 7);
    ASSERT_TRUE(writeFile(live, content));

    const std::wstring stamp = rotateAndFindStamp(folder, live, L"zuAgent");
    const std::wstring moved = L"zuAgent." + stamp + L".log";
    expectOnlyFiles(folder, {moved});
    EXPECT_TRUE(readFile(folder + L"\\" + moved) == content);
    removeTree(folder);
}

TEST(LogArchiveTest, SecondRotationInTheSameSecondKeepsTheLogLive)
{
    const std::wstring folder = cabinetCase(L"samesecond");
    const std::wstring live = folder + L"\\zuAgent.log";
    const std::string first = sampleLog(50);
    const std::string second = "12-06 13:05:08 explorer:5a4 written after the first rotation\r\n";

    // Both rotations must fall into one second; a boundary between them
    // starts the attempt again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        for (const std::wstring& name : listFolder(folder, L"*.cab"))
            DeleteFileW((folder + L"\\" + name).c_str());
        ASSERT_TRUE(writeFile(live, first));
        const std::wstring stamp = localStamp();
        ASSERT_TRUE(LogUtils::rotateLogFile(live.c_str()));
        ASSERT_TRUE(writeFile(live, second));
        const bool rotatedAgain = LogUtils::rotateLogFile(live.c_str());
        if (localStamp() != stamp)
            continue;

        EXPECT_FALSE(rotatedAgain);
        EXPECT_EQ(second, readFile(live));
        DeleteFileW(live.c_str());
        expectOnlyFiles(folder, {L"zuAgent." + stamp + L".cab"});
        writeFile(folder + L"\\expected\\zuAgent." + stamp + L".log", first);
        return;
    }
    FAIL() << "no two rotations within one second";
}

TEST(LogArchiveTest, FailedMoveLeavesTheLiveLogAlone)
{
    const std::wstring folder = freshFolder(L"archive-nomove");
    const std::wstring live = folder + L"\\zuAgent.log";
    EXPECT_FALSE(LogUtils::rotateLogFile(live.c_str()));
    expectOnlyFiles(folder, {});

    ASSERT_TRUE(writeFile(live, "held\r\n"));
    HANDLE holder = CreateFileW(live.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_FALSE(LogUtils::rotateLogFile(live.c_str()));
    CloseHandle(holder);
    expectOnlyFiles(folder, {L"zuAgent.log"});
    EXPECT_EQ("held\r\n", readFile(live));
    removeTree(folder);
}

}  // namespace
