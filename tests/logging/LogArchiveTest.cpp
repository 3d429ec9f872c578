#include "LogArchive.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

using namespace output_test;

namespace {

// Bytes no compressor can shrink: past the cabinet limit with little more
// than the limit.
std::string randomBytes(std::size_t size)
{
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

std::string sampleLog(int lines)
{
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "12-06 13:05:07 explorer:5a4 line " + std::to_string(i) + " of the sample\r\n";
    return text;
}

// Only the stamped cabinet is left, holding the log (checked with cabextract);
// a log that compresses to more than the 1 MiB a cabinet may hold stays moved
// aside instead, whole. The extension is replaced in the file name only.
TEST(LogArchiveTest, RotationLeavesOnlyTheStampedCabinet)
{
    const struct {
        const wchar_t* folder;
        const wchar_t* live;
        const wchar_t* stem;  // what the stamp is appended to
        std::string content;
        bool packed;
    } cases[] = {
        {L"plain", L"zuAgent.log", L"zuAgent", sampleLog(4000), true},
        {L"no.extension", L"trace", L"trace", sampleLog(10), true},
        {L"stamped", L"zuInstall.20261206000000.log", L"zuInstall.20261206000000", sampleLog(10),
         true},
        // Larger than a cabinet may be, but it compresses to far less.
        {L"large", L"kwAgent.log", L"kwAgent", sampleLog(50000), true},
        {L"incompressible", L"zuAgent.log", L"zuAgent", randomBytes(2 << 20), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.folder));
        const std::wstring folder = archiveCase(c.folder);
        const std::wstring live = folder + L"\\" + c.live;
        ASSERT_TRUE(writeFile(live, c.content));
        const std::wstring before = localStamp();
        EXPECT_TRUE(LogUtils::rotateLogFile(live.c_str()));
        std::vector<std::wstring> left = listFolder(folder);
        left.erase(std::remove(left.begin(), left.end(), L"expected"), left.end());
        ASSERT_EQ(1u, left.size());
        const std::wstring stamp = left[0].substr(std::wcslen(c.stem) + 1, 14);
        EXPECT_TRUE(stamp == before || stamp == localStamp()) << narrow(stamp);
        const std::wstring moved = std::wstring(c.stem) + L"." + stamp + L".log";
        if (c.packed) {
            EXPECT_EQ(std::wstring(c.stem) + L"." + stamp + L".cab", left[0]);
            writeFile(folder + L"\\expected\\" + moved, c.content);
        } else {
            EXPECT_EQ(moved, left[0]);
            EXPECT_TRUE(readFile(folder + L"\\" + moved) == c.content);
            removeTree(folder);
        }
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
        EXPECT_TRUE(name.size() == 40 && name.substr(36) == L".tmp" &&
                    name.substr(4, 32).find_first_not_of(L"0123456789abcdef") == name.npos)
            << narrow(name);
        for (std::size_t j = 0; j < i; ++j) {
            int same = 0;
            for (std::size_t k = 4; k < 36 && k < name.size(); ++k)
                same += name[k] == made[j][k];
            EXPECT_LE(same, 12) << narrow(name) << " " << narrow(made[j]);
        }
    }
    EXPECT_EQ(std::vector<std::wstring>{L"done"}, listFolder(folder));
    removeTree(folder);
}

TEST(LogArchiveTest, FailedMoveLeavesTheLiveLogAlone)
{
    const std::wstring folder = freshFolder(L"archive-nomove");
    const std::wstring live = folder + L"\\zuAgent.log";
    EXPECT_FALSE(LogUtils::rotateLogFile(live.c_str()));
    EXPECT_TRUE(listFolder(folder).empty());

    ASSERT_TRUE(writeFile(live, "held\r\n"));
    const orn::unique_file holder(CreateFileW(live.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(LogUtils::rotateLogFile(live.c_str()));
    EXPECT_EQ(std::vector<std::wstring>{L"zuAgent.log"}, listFolder(folder));
    EXPECT_EQ("held\r\n", readFile(live));
    removeTree(folder);
}

}  // namespace
