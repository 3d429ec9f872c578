#include "LogArchive.h"
#include "OutputTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

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

// Any account may create entries in a shared temporary folder (a service's
// is C:\\Windows\\Temp): names planted there at what a rotation once used
// stay untouched, and the cabinet is still made, beside the log.
TEST(LogArchiveTest, TemporaryNamesPlantedBeforehandChangeNothing)
{
    wchar_t temporary[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temporary));
    std::vector<std::wstring> plants;
    for (int i = 1; i <= 64; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"bac%lx-%x.tmp", GetCurrentProcessId(), i);
        plants.push_back(std::wstring(temporary) + name);
        if (i == 3)
            ASSERT_TRUE(CreateDirectoryW(plants.back().c_str(), nullptr));
        else
            ASSERT_TRUE(writeFile(plants.back(), "planted"));
    }

    const std::wstring folder = cabinetCase(L"planted");
    const std::wstring live = folder + L"\\zuAgent.log";
    const std::string content = sampleLog(500);
    ASSERT_TRUE(writeFile(live, content));
    const std::wstring stamp = rotateAndFindStamp(folder, live, L"zuAgent");
    expectOnlyFiles(folder, {L"zuAgent." + stamp + L".cab"});
    writeFile(folder + L"\\expected\\zuAgent." + stamp + L".log", content);

    for (const std::wstring& plant : plants) {
        if (plant == plants[2])
            EXPECT_TRUE(RemoveDirectoryW(plant.c_str()));
        else
            EXPECT_EQ("planted", readFile(plant)) << narrow(plant);
        DeleteFileW(plant.c_str());
    }
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
