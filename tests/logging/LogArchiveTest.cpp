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

// A rotation's temporary files, the cabinet's own among them, are made
// beside the log, never in a shared temporary folder, at names nobody can
// foresee: the log's stem, ".~cab", 128 random bits in hexadecimal, ".tmp". Any two names agree in no more digits
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
                if (ready && change.Action == FILE_ACTION_ADDED && name.compare(0, 12, L"zuAgent.~cab") == 0)
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
        EXPECT_TRUE(name.size() == 48 && name.substr(44) == L".tmp" &&
                    name.substr(12, 32).find_first_not_of(L"0123456789abcdef") == name.npos)
            << narrow(name);
        for (std::size_t j = 0; j < i; ++j) {
            int same = 0;
            for (std::size_t k = 12; k < 44 && k < name.size(); ++k)
                same += name[k] == made[j][k];
            EXPECT_LE(same, 12) << narrow(name) << " " << narrow(made[j]);
        }
    }
    EXPECT_EQ(std::vector<std::wstring>{L"done"}, listFolder(folder));
    removeTree(folder);
}

// What a rotation killed at each step leaves, as the next rotation of the
// log finds it, and what that rotation makes of it; the cabinets are read
// with cabextract afterwards. A rotation of a log that is not there finishes
// the killed ones all the same. A file a live rotation holds (open without
// sharing deletion, as it holds its moved log and temporaries) is left.
TEST(LogArchiveTest, NextRotationFinishesKilledOnes)
{
    const std::wstring stamp = L"20200101000000";
    const std::wstring moved = L"zuAgent." + stamp + L".log";
    const std::wstring cabinet = L"zuAgent." + stamp + L".cab";
    const std::wstring temporary = L"zuAgent.~cab0123456789abcdef0123456789abcdef.tmp";
    // Lines of another rotation, as many bytes as the moved log's.
    const std::string lines = sampleLog(300);
    std::string other = lines;
    other[other.size() / 2] = '#';
    enum Left { movedOnly, whole, cut, empty, otherLines, temporaries, held, read };
    const struct {
        const wchar_t* folder;
        Left left;
        std::vector<std::wstring> after;  // beside the cabinet of this second
        bool noted;
    } cases[] = {
        {L"killed-after-move", movedOnly, {cabinet}, false},
        {L"killed-before-delete", whole, {cabinet}, false},
        {L"killed-while-published-cut", cut, {cabinet}, true},
        {L"killed-after-reserving", empty, {cabinet}, true},
        {L"same-second-other-lines", otherLines, {cabinet}, false},
        {L"temporaries",
         temporaries,
         {L"other.~cab0123456789abcdef0123456789abcdef.tmp",
          L"zuAgent.~cab0123456789abcdef0123456789abcdef0.tmp",
          L"zuAgent.~cabfedcba9876543210fedcba9876543210.tmp"},
         false},
        {L"live-rotation", held, {moved}, false},
        // A reader holds the cabinet: it waits, and so does its moved log.
        {L"cabinet-read", read, {moved, cabinet}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.folder));
        const std::wstring folder = archiveCase(c.folder);
        auto at = [&](const std::wstring& name) { return folder + L"\\" + name; };
        const std::wstring live = at(L"zuAgent.log");
        orn::unique_file holder;
        if (c.left == temporaries) {
            for (const std::wstring& name : c.after)
                ASSERT_TRUE(writeFile(at(name), "x"));
            ASSERT_TRUE(writeFile(at(temporary), "killed"));
            holder.reset(CreateFileW(at(c.after[2]).c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     0, nullptr));
        } else {
            ASSERT_TRUE(writeFile(at(moved), lines));
        }
        if (c.left == whole || c.left == cut || c.left == otherLines || c.left == read) {
            // The cabinet of those lines, made the way a rotation makes it.
            EXPECT_FALSE(LogUtils::rotateLogFile(live.c_str()));
            ASSERT_TRUE(exists(at(cabinet)));
            const std::string packed = readFile(at(cabinet));
            if (c.left == cut) {
                ASSERT_TRUE(writeFile(at(cabinet), packed.substr(0, packed.size() / 2)));
            }
            ASSERT_TRUE(writeFile(at(moved), c.left == otherLines ? other : lines));
        }
        if (c.left == empty) {
            ASSERT_TRUE(writeFile(at(cabinet), ""));
        }
        if (c.left == held || c.left == read)
            holder.reset(CreateFileW(at(c.left == held ? moved : cabinet).c_str(),
                                     GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     0, nullptr));
        if (c.left != temporaries && c.left != held && c.left != read)
            writeFile(folder + L"\\expected\\" + moved, lines);

        // The incomplete cabinet's note goes into the fresh live log. The
        // moved log of other lines takes this second's name, which a live
        // log would then wait for.
        const std::wstring before = localStamp();
        if (c.left == otherLines) {
            EXPECT_FALSE(LogUtils::rotateLogFile(live.c_str()));
        } else {
            ASSERT_TRUE(appendLine(live, "live", 0));
        }
        const std::string note = "Logging: the incomplete cabinet \"" + narrow(cabinet) +
                                 "\" was removed: its lines are in \"" + narrow(moved) +
                                 "\", packed again\r\n";
        EXPECT_EQ(c.noted ? note : "", readFile(live));

        std::vector<std::wstring> left = listFolder(folder);
        std::vector<std::wstring> expected = c.after;
        expected.push_back(L"expected");
        if (c.noted)
            expected.push_back(L"zuAgent.log");
        int cabinetsNow = 0;
        for (const std::wstring& name : left) {
            const std::wstring nameStamp = name.substr(8, 14);
            if (name != cabinet && name.size() == 26 && name.substr(22) == L".cab" &&
                (nameStamp == before || nameStamp == localStamp())) {
                ++cabinetsNow;
                expected.push_back(name);
                writeFile(folder + L"\\expected\\" + name.substr(0, 22) + L".log",
                          c.left == otherLines ? other : "live\r\n");
            }
        }
        std::sort(left.begin(), left.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, left);
        EXPECT_EQ(1, cabinetsNow);
        if (c.left == otherLines)
            writeFile(folder + L"\\expected\\" + moved, lines);
        if (c.left == temporaries || c.left == held || c.left == read) {
            holder.reset();
            removeTree(folder);
        }
    }
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
