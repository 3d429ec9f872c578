// Links planted in or in place of the log folder: the file sink, rotation and
// the folder creation must never write, create, move, pack or delete what
// they point to, and logging resumes once they are gone.
//
// Staged with hard links (CreateHardLinkW and the Linux side's ln) and Linux
// symbolic links, which Wine follows like Windows symbolic links. Not
// stageable under Wine: Windows symbolic links (CreateSymbolicLinkW creates
// nothing), junctions (FSCTL_SET_REPARSE_POINT fails) and the reparse-point
// attribute on an open handle (never shown), so the handle's reparse check
// itself is exercised only on Windows.

#include "FolderLevels.h"
#include "LogAccess.h"
#include "LogArchive.h"
#include "LogFolderTakeover.h"
#include "LogFolders.h"
#include "LogRuntime.h"
#include "OutputTestSupport.h"
#include "Process.h"
#include "SafeLogFile.h"
#include "Security.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

using namespace output_test;

namespace {

using testsupport::linuxPath;
using testsupport::runLinux;

void linuxSymlink(const std::wstring& target, const std::wstring& link)
{
    ASSERT_TRUE(runLinux(L"ln -s " + linuxPath(target) + L" " + linuxPath(link)));
}

// Every file below folder with its content, so that any change shows.
std::map<std::wstring, std::string> snapshot(const std::wstring& folder)
{
    std::map<std::wstring, std::string> files;
    for (const std::wstring& name : listFolder(folder)) {
        const std::wstring path = folder + L"\\" + name;
        if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            files[name + L"\\"] = "";
            for (const auto& inner : snapshot(path))
                files[name + L"\\" + inner.first] = inner.second;
        } else {
            files[name] = readFile(path);
        }
    }
    return files;
}

// A log folder and, beside it, the files an attacker would aim at.
struct Scene {
    std::wstring root, logs, outside, victim, missing, folder;
    std::map<std::wstring, std::string> before;

    explicit Scene(const wchar_t* name)
    {
        root = freshFolder(name);
        logs = root + L"\\Logs";
        outside = root + L"\\outside";
        CreateDirectoryW(logs.c_str(), nullptr);
        CreateDirectoryW(outside.c_str(), nullptr);
        victim = outside + L"\\victim.txt";
        missing = outside + L"\\missing.txt";
        folder = outside + L"\\folder";
        CreateDirectoryW(folder.c_str(), nullptr);
        writeFile(victim, "precious\r\n");
        writeFile(folder + L"\\inside.txt", "kept\r\n");
        before = snapshot(outside);
    }
    // From the Linux side, which removes a link rather than what it points
    // to: a failed round may leave one in a folder the installer moved aside.
    ~Scene() { runLinux(L"rm -rf " + linuxPath(root)); }

    void expectOutsideUntouched() const { EXPECT_TRUE(snapshot(outside) == before); }
};

struct Plant {
    const char* what;
    const wchar_t* lnOptions;  // or null: CreateHardLinkW
    std::wstring Scene::*target;
};

const Plant filePlants[] = {
    {"hard link made by CreateHardLinkW", nullptr, &Scene::victim},
    {"hard link made by ln", L"", &Scene::victim},
    {"symbolic link to a file", L"-s", &Scene::victim},
    {"symbolic link to a missing file", L"-s", &Scene::missing},
    {"symbolic link to a folder", L"-s", &Scene::folder},
};

// The plant at every one of the paths, the Linux ones in one command.
void plant(const Scene& scene, const Plant& kind, const std::vector<std::wstring>& paths)
{
    const std::wstring& target = scene.*kind.target;
    std::wstring command = L"true";
    for (const std::wstring& path : paths) {
        if (kind.lnOptions)
            command += std::wstring(L" && ln ") + kind.lnOptions + L" " + linuxPath(target) + L" " +
                       linuxPath(path);
        else
            ASSERT_TRUE(CreateHardLinkW(path.c_str(), target.c_str(), nullptr));
    }
    EXPECT_TRUE(!kind.lnOptions || runLinux(command));
}

// From the Linux side: deleting a symbolic link through Wine deletes its
// target instead.
void removePlants(const std::vector<std::wstring>& paths)
{
    std::wstring command = L"rm -f";
    for (const std::wstring& path : paths)
        command += L" " + linuxPath(path);
    ASSERT_TRUE(runLinux(command));
}

TEST(LogLinkTest, LinkAtTheLogNameIsNeitherWrittenNorRotated)
{
    for (const Plant& filePlant : filePlants) {
        SCOPED_TRACE(filePlant.what);
        const Scene scene(L"links-file");
        const std::wstring log = scene.logs + L"\\zuNotices.log";
        plant(scene, filePlant, {log});

        EXPECT_FALSE(appendLine(log, "refused"));
        EXPECT_FALSE(appendLine(log, "refused too", 0));
        EXPECT_FALSE(LogUtils::rotateLogFile(log.c_str()));
        scene.expectOutsideUntouched();
        // Nothing moved aside or packed: the plant is all there is (Wine
        // lists no dangling link).
        for (const std::wstring& name : listFolder(scene.logs))
            EXPECT_EQ(L"zuNotices.log", name);

        // The refused lines were kept, and come first once the log is itself.
        removePlants({log});
        EXPECT_TRUE(appendLine(log, "resumed"));
        EXPECT_EQ("refused\r\nrefused too\r\nresumed\r\n", readFile(log));
        scene.expectOutsideUntouched();
    }
}

TEST(LogLinkTest, StampedNamesPlantedDuringRotationKeepTheLogLive)
{
    const char* const lines = "12-06 13:05:07 explorer:5a4 before the rotation\r\n";
    struct Case {
        const char* what;
        const wchar_t* suffix;  // of the stamped name
        int plant;              // index into filePlants
    };
    const Case cases[] = {
        {"moved name as a symbolic link to a file", L".log", 2},
        {"moved name as a hard link", L".log", 0},
        // Windows refuses the rename; Wine replaces the link, harmlessly.
        {"moved name as a symbolic link to a missing file", L".log", 3},
        {"cabinet name as a symbolic link to a missing file", L".cab", 3},
        {"cabinet name as a symbolic link to a file", L".cab", 2},
        // As when a rotation of the same second made that cabinet already.
        {"cabinet name as a hard link", L".cab", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Scene scene(L"links-stamped");
        const std::wstring live = scene.logs + L"\\zuAgent.log";
        ASSERT_TRUE(writeFile(live, lines));
        // Every stamp the rotation below can take, even on a slow machine.
        std::vector<std::wstring> planted;
        for (int ahead = 0; ahead < 10; ++ahead)
            planted.push_back(scene.logs + L"\\zuAgent." + localStamp(ahead) + c.suffix);
        plant(scene, filePlants[c.plant], planted);
        const std::wstring soon = scene.logs + L"\\zuAgent." + localStamp(2) + c.suffix;
        ASSERT_NE(planted.end(), std::find(planted.begin(), planted.end(), soon))
            << "planted too late";
        const bool rotated = LogUtils::rotateLogFile(live.c_str());
        scene.expectOutsideUntouched();
        removePlants(planted);
        if (rotated) {
            // Packed in place of the link; the next rotation needs the name.
            EXPECT_EQ(3, c.plant);
            for (const std::wstring& name : listFolder(scene.logs, L"zuAgent.*.cab"))
                DeleteFileW((scene.logs + L"\\" + name).c_str());
            ASSERT_TRUE(writeFile(live, lines));
        }
        EXPECT_EQ(lines, readFile(live));
        for (const std::wstring& name : listFolder(scene.logs))
            EXPECT_EQ(L"zuAgent.log", name);

        EXPECT_TRUE(LogUtils::rotateLogFile(live.c_str()));
        EXPECT_FALSE(exists(live));
        EXPECT_EQ(1u, listFolder(scene.logs, L"zuAgent.*.cab").size());
        EXPECT_EQ(1u, listFolder(scene.logs).size());
        scene.expectOutsideUntouched();
    }
}

TEST(LogLinkTest, LinkedLogFolderOrParentGetsNoLogFiles)
{
    const Scene scene(L"links-folder");
    // The outside folder holds logs of the same names, to be appended to,
    // moved or packed through the link.
    const std::wstring parent = scene.outside + L"\\parent";
    CreateDirectoryW(parent.c_str(), nullptr);
    CreateDirectoryW((parent + L"\\Logs").c_str(), nullptr);
    writeFile(scene.folder + L"\\zuAgent.log", "outside log\r\n");
    writeFile(parent + L"\\Logs\\zuAgent.log", "outside log\r\n");
    const auto before = snapshot(scene.outside);

    RemoveDirectoryW(scene.logs.c_str());
    const std::wstring linkedParent = scene.root + L"\\Parent";
    linuxSymlink(scene.folder, scene.logs);
    linuxSymlink(parent, linkedParent);
    for (const std::wstring& logs : {scene.logs, linkedParent + L"\\Logs"}) {
        SCOPED_TRACE(narrow(logs));
        EXPECT_FALSE(appendLine(logs + L"\\zuNotices.log", "refused"));
        EXPECT_FALSE(appendLine(logs + L"\\zuAgent.log", "refused", 0));
        EXPECT_FALSE(LogUtils::rotateLogFile((logs + L"\\zuAgent.log").c_str()));
    }
    EXPECT_TRUE(snapshot(scene.outside) == before);

    removePlants({scene.logs});
    CreateDirectoryW(scene.logs.c_str(), nullptr);
    EXPECT_TRUE(appendLine(scene.logs + L"\\zuNotices.log", "resumed"));
    EXPECT_EQ("refused\r\nresumed\r\n", readFile(scene.logs + L"\\zuNotices.log"));
    removePlants({linkedParent});
    EXPECT_TRUE(snapshot(scene.outside) == before);
}

// Wine cannot make a Windows link, so an attacker's own folder stands in for
// one: a Windows thread keeps renaming the log folder away and putting that
// folder in its place while new logs are created. Only the pinned folder,
// held from its check until the new file is verified, ever gets one. The
// product's log folder is pinned as the library loads.
TEST(LogLinkTest, LogFolderSwappedMeanwhileGetsNoLogFile)
{
    const Scene scene(L"links-swap");
    // The process's log folder is pinned once its runtime made it.
    LogRuntime::start()->folders.makeLogFolder();
    const std::wstring below = std::wstring(logDirectory.get()) + L"\\links-swap";
    CreateDirectoryW(below.c_str(), nullptr);
    EXPECT_TRUE(LogUtils::holdFolderOf((below + L"\\x.log").c_str()).pinned);
    RemoveDirectoryW(below.c_str());
    const std::wstring away = scene.root + L"\\Logs.away";
    const std::wstring attacker = scene.root + L"\\attacker";
    CreateDirectoryW(attacker.c_str(), nullptr);
    ASSERT_TRUE(LogUtils::pinLogFolder(scene.logs.c_str()));

    // A writer holds a folder only briefly: each move is tried until it works.
    auto move = [](const std::wstring& from, const std::wstring& to) {
        for (int attempt = 0; attempt < 5000; ++attempt) {
            if (MoveFileExW(from.c_str(), to.c_str(), 0))
                return true;
            Sleep(0);
        }
        return false;
    };
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        while (!stop && move(scene.logs, away) && move(attacker, scene.logs)) {
            Sleep(1);
            if (!move(scene.logs, attacker) || !move(away, scene.logs))
                break;
            ++swaps;
        }
    });
    std::vector<std::wstring> written;
    int refused = 0;
    for (int i = 0; i < 5000 && (i < 300 || swaps < 10 || refused == 0); ++i) {
        const std::wstring name = L"fresh" + std::to_wstring(i) + L".log";
        if (appendLine(scene.logs + L"\\" + name, "line"))
            written.push_back(name);
        else
            ++refused;
    }
    stop = true;
    swapper.join();
    LogUtils::pinLogFolder(nullptr);
    ASSERT_FALSE(exists(away)) << "the swapper left the log folder away";

    EXPECT_GE(swaps.load(), 5);
    EXPECT_GT(refused, 0) << "no write met the attacker's folder";
    EXPECT_TRUE(listFolder(attacker).empty()) << narrow(listFolder(attacker).front());
    for (const std::wstring& name : written)
        EXPECT_EQ("line\r\n", readFile(scene.logs + L"\\" + name)) << narrow(name);
    scene.expectOutsideUntouched();
}

// A folder held for a new file, a rotation or a level's creation can be
// neither renamed nor removed until it is let go; below the pinned log
// folder, neither can the pinned folder. A drive's root keeps its separator;
// a folder beside the pinned one whose name starts alike is not below it.
TEST(LogLinkTest, HeldFolderCannotBeRenamedOrRemoved)
{
    const Scene scene(L"links-held");
    const std::wstring away = scene.root + L"\\Logs.away", sub = scene.logs + L"\\sub";
    auto expectHeld = [&](const char* what, const std::wstring& folder, bool held) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(held);
        EXPECT_FALSE(MoveFileExW(folder.c_str(), away.c_str(), 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_FALSE(RemoveDirectoryW(folder.c_str()));
    };
    const orn::unique_file root =
        orn::openPlainFolder(scene.root.c_str(), scene.root.size(), orn::LevelUse::walk);
    expectHeld("the folder of a new log", scene.logs,
               bool(LogUtils::holdFolderOf((scene.logs + L"\\x.log").c_str())));
    expectHeld("a folder opened by its path", scene.logs,
               bool(orn::openPlainFolder(scene.logs.c_str(), scene.logs.size(),
                                         orn::LevelUse::walk)));
    expectHeld("a level made or opened through its parent", scene.logs,
               bool(orn::openLevel(root.get(), L"Logs", orn::LevelUse::walk, nullptr)));
    EXPECT_TRUE(LogUtils::holdFolderOf(L"C:\\x.log"));
    EXPECT_TRUE(MoveFileExW(scene.logs.c_str(), away.c_str(), 0));
    EXPECT_TRUE(MoveFileExW(away.c_str(), scene.logs.c_str(), 0));
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scene.logs + L"2").c_str(), nullptr));
    ASSERT_TRUE(LogUtils::pinLogFolder(scene.logs.c_str()));
    {
        const LogUtils::HeldFolder held = LogUtils::holdFolderOf((sub + L"\\x.log").c_str());
        expectHeld("a subfolder of the pinned folder", sub, bool(held));
        expectHeld("the pinned folder above it", scene.logs, bool(held));
    }
    // Another folder in the pinned one's place.
    ASSERT_TRUE(MoveFileExW(scene.logs.c_str(), away.c_str(), 0));
    ASSERT_TRUE(CreateDirectoryW(scene.logs.c_str(), nullptr));
    EXPECT_FALSE(LogUtils::holdFolderOf((scene.logs + L"\\x.log").c_str()));
    EXPECT_TRUE(LogUtils::holdFolderOf((scene.logs + L"2\\x.log").c_str()));
    LogUtils::pinLogFolder(nullptr);
}

// The owner of a level (anyone may make "Quarvel" below the common folder
// first) swaps it for a link between two steps of the folder's creation,
// from the Linux side, as fast as it can, while the levels below it are made
// again and again: nothing ever appears where the link points.
TEST(LogLinkTest, LevelSwappedForALinkMeanwhileGetsNothingMadeThrough)
{
    const Scene scene(L"links-race");
    const std::wstring common = scene.root + L"\\common";
    const std::wstring level = common + L"\\Quarvel";
    const std::wstring link = common + L"\\Quarvel.link";
    const std::wstring ready = scene.root + L"\\ready";
    const std::wstring stop = scene.root + L"\\stop";
    const std::wstring done = scene.root + L"\\done";
    CreateDirectoryW(common.c_str(), nullptr);
    CreateDirectoryW(level.c_str(), nullptr);
    linuxSymlink(scene.folder, link);
    testsupport::startLinux(L"python3 " ORN_LOGGING_TEST_SOURCES L"/swap-level.py " + linuxPath(level) + L" " +
               linuxPath(link) + L" " + linuxPath(ready) + L" " + linuxPath(stop) + L" " +
               linuxPath(done) + L" 60");
    for (int wait = 0; wait < 3000 && !exists(ready); ++wait)
        Sleep(10);
    ASSERT_TRUE(exists(ready)) << "the swapper did not start";

    // Three seconds of rounds, each making two new levels below the swapped one.
    int made = 0, refused = 0;
    const ULONGLONG start = GetTickCount64();
    for (int round = 0; GetTickCount64() - start < 3000; ++round) {
        const std::wstring logs = level + L"\\T" + std::to_wstring(round) + L"\\Logs";
        ++(LogUtils::createLogFolder(logs.c_str(), common.size()) ? made : refused);
    }
    writeFile(stop, "");
    for (int wait = 0; wait < 3000 && !exists(done); ++wait)
        Sleep(10);
    const std::string swaps = readFile(done);
    removePlants({link});

    // A file in the way is no level either.
    EXPECT_FALSE(LogUtils::createLogFolder((scene.victim + L"\\Logs").c_str(),
                                           scene.outside.size()));
    EXPECT_GT(std::atoi(swaps.c_str()), 0) << "the swapper did not run";
    EXPECT_GT(refused, 0) << "no round met the link";
    EXPECT_GT(made, 0) << "no round made the folder";
    scene.expectOutsideUntouched();
    int found = 0;
    for (const std::wstring& name : listFolder(level))
        found += GetFileAttributesW((level + L"\\" + name + L"\\Logs").c_str()) ==
                 FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(made, found);
}

// The installer's action (LocalSystem) takes over the levels it finds, made
// by anyone: owner Administrators and the library's list on each level, the
// log files' list on every plain file in the log folder; what stands at a
// level's name and is no folder is moved aside. Wine keeps no descriptor:
// the owner and lists are those the code would set.
TEST(LogLinkTest, InstallerTakesEveryLevelOverAndMovesPlantsAside)
{
    using testsupport::AccessEntry;
    using testsupport::SecurityRecorder;
    const Scene scene(L"links-install");
    const std::wstring common = scene.root + L"\\common";
    const std::wstring quarvel = common + L"\\Quarvel";
    const std::wstring tessaline = quarvel + L"\\Tessaline";
    const std::wstring logs = tessaline + L"\\Logs";
    CreateDirectoryW(common.c_str(), nullptr);
    CreateDirectoryW(quarvel.c_str(), nullptr);
    writeFile(tessaline, "planted\r\n");
    // The lists the module gives the levels and files it makes (checked
    // entry by entry in LogFileSinkTest), with Administrators as the owner.
    const std::vector<AccessEntry> vendorList =
        testsupport::parseSddl(ORN_VENDOR_FOLDER_ACCESS).entries;
    const std::vector<AccessEntry> folderList = testsupport::parseSddl(ORN_LOG_FOLDER_ACCESS).entries;
    const std::vector<AccessEntry> fileList =
        testsupport::parseDescriptor(LogUtils::logFileSecurityAttributes()->lpSecurityDescriptor)
            .entries;
    const SECURITY_INFORMATION takenOver =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    {
        SecurityRecorder recorder;
        ASSERT_TRUE(LogUtils::takeOverLogFolder(logs.c_str(), common.size()));
        EXPECT_EQ(3u, recorder.applied.size());
        for (const auto& level : {std::make_pair(quarvel, vendorList),
                                  std::make_pair(tessaline, vendorList),
                                  std::make_pair(logs, folderList)}) {
            const SecurityRecorder::Applied* applied = recorder.on(level.first);
            ASSERT_NE(nullptr, applied) << narrow(level.first);
            EXPECT_EQ(takenOver, applied->parts);
            EXPECT_EQ(testsupport::administrators, applied->descriptor.owner);
            EXPECT_TRUE(applied->descriptor.isProtected);
            EXPECT_EQ(level.second, applied->descriptor.entries) << narrow(level.first);
        }
    }
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(logs.c_str()));
    // The file planted at a level moved aside beside it (as InstallFolderTest shows).
    EXPECT_EQ(1u, listFolder(quarvel, L"Tessaline.moved-*").size());

    // A repair: what earlier versions left in the log folder gets the current
    // list; links and folders there are left alone, and so is what they
    // reach; another name of a file elsewhere is renamed aside.
    writeFile(logs + L"\\zuAgent.log", "old\r\n");
    writeFile(logs + L"\\zuAgent.20261206131500.cab", "MSCF");
    CreateDirectoryW((logs + L"\\sub").c_str(), nullptr);
    ASSERT_TRUE(CreateHardLinkW((logs + L"\\hard.log").c_str(), scene.victim.c_str(), nullptr));
    linuxSymlink(scene.victim, logs + L"\\soft.log");
    {
        SecurityRecorder recorder;
        ASSERT_TRUE(LogUtils::takeOverLogFolder(logs.c_str(), common.size()));
        EXPECT_EQ(5u, recorder.applied.size());
        for (const wchar_t* name : {L"zuAgent.log", L"zuAgent.20261206131500.cab"}) {
            const SecurityRecorder::Applied* applied = recorder.on(logs + L"\\" + name);
            ASSERT_NE(nullptr, applied) << narrow(name);
            EXPECT_EQ(DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                      applied->parts);
            EXPECT_EQ(fileList, applied->descriptor.entries);
        }
        EXPECT_EQ(nullptr, recorder.on(scene.victim));
    }
    EXPECT_FALSE(exists(logs + L"\\hard.log"));
    const std::vector<std::wstring> moved = listFolder(logs, L"hard.log.moved-*");
    ASSERT_EQ(1u, moved.size());
    removePlants({logs + L"\\soft.log", logs + L"\\" + moved[0]});

    // A link at a level: Windows opens and moves the link itself; Wine would
    // hand the action its target, so the action refuses it there.
    linuxSymlink(scene.folder, common + L"\\Elsewhere");
    {
        SecurityRecorder recorder;
        EXPECT_FALSE(LogUtils::takeOverLogFolder((common + L"\\Elsewhere\\Logs").c_str(),
                                               common.size()));
        EXPECT_TRUE(recorder.applied.empty());
    }
    removePlants({common + L"\\Elsewhere"});
    scene.expectOutsideUntouched();
}

// A level, or a file in the log folder, another account made is not adopted
// (Wine keeps no owners: they are played through the seam the code reads
// them by). A level goes whole, with what is in it and every handle opened on
// it before; a file is renamed aside. A move that is refused leaves it, and
// a privileged writer then writes nothing below a log folder so owned.
TEST(LogLinkTest, InstallerMovesWhatAnotherAccountMadeAsideWhole)
{
    using testsupport::DescriptorPlayer;
    using testsupport::SecurityRecorder;
    using testsupport::userOwned;
    const Scene scene(L"links-squat");
    const std::wstring common = scene.root + L"\\common";
    const std::wstring quarvel = common + L"\\Quarvel";
    const std::wstring logs = quarvel + L"\\Tessaline\\Logs";
    using testsupport::fileIndexOf;
    CreateDirectoryW(common.c_str(), nullptr);
    ASSERT_TRUE(LogUtils::createLogFolder(logs.c_str(), common.size()));
    writeFile(quarvel + L"\\marker.txt", "theirs\r\n");
    const LONGLONG before = fileIndexOf(quarvel);
    const orn::unique_file kept(CreateFileW(quarvel.c_str(), READ_CONTROL | WRITE_DAC, 7, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(kept);
    {
        DescriptorPlayer player;
        player.play(quarvel, userOwned);
        SecurityRecorder recorder;
        ASSERT_TRUE(LogUtils::takeOverLogFolder(logs.c_str(), common.size()));
        EXPECT_EQ(3u, recorder.applied.size());
        EXPECT_NE(nullptr, recorder.on(quarvel));
    }
    EXPECT_NE(before, fileIndexOf(quarvel));
    EXPECT_FALSE(exists(quarvel + L"\\marker.txt"));
    const std::vector<std::wstring> moved = listFolder(common, L"Quarvel.moved-*");
    ASSERT_EQ(1u, moved.size());
    EXPECT_EQ("theirs\r\n", readFile(common + L"\\" + moved[0] + L"\\marker.txt"));
    LONGLONG keptIndex = 0;
    EXPECT_TRUE(orn::fileIndex(kept.get(), keptIndex));
    EXPECT_EQ(before, keptIndex);

    writeFile(logs + L"\\zuAgent.log", "theirs\r\n");
    writeFile(logs + L"\\zuNotices.log", "ours\r\n");
    {
        DescriptorPlayer player;
        player.play(logs + L"\\zuAgent.log", userOwned);
        SecurityRecorder recorder;
        ASSERT_TRUE(LogUtils::takeOverLogFolder(logs.c_str(), common.size()));
        EXPECT_NE(nullptr, recorder.on(logs + L"\\zuNotices.log"));
        EXPECT_EQ(4u, recorder.applied.size());
    }
    EXPECT_FALSE(exists(logs + L"\\zuAgent.log"));
    EXPECT_EQ(1u, listFolder(logs, L"zuAgent.log.moved-*").size());

    // Held without delete sharing, the log folder cannot be moved: left.
    const orn::unique_file held(CreateFileW(logs.c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held);
    const LONGLONG logsIndex = fileIndexOf(logs);
    DescriptorPlayer player;
    player.play(logs, userOwned);
    {
        SecurityRecorder recorder;
        EXPECT_FALSE(LogUtils::takeOverLogFolder(logs.c_str(), common.size()));
        EXPECT_EQ(nullptr, recorder.on(logs));
    }
    EXPECT_EQ(logsIndex, fileIndexOf(logs));
    // Test programs under Wine run elevated: a privileged writer.
    EXPECT_FALSE(LogUtils::pinLogFolder(logs.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_OWNER), GetLastError());
    EXPECT_FALSE(appendLine(logs + L"\\zuNotices.log", "refused", 0));
    EXPECT_FALSE(appendLine(logs + L"\\fresh.log", "refused", 0));
    LogUtils::pinLogFolder(nullptr);
    EXPECT_EQ("ours\r\n", readFile(logs + L"\\zuNotices.log"));
    EXPECT_FALSE(exists(logs + L"\\fresh.log"));
}

// A user holding a level open without sharing stops neither the installer's
// takeover (its opens ask for no right a sharing check applies to) nor the
// module's walk, whose pin comes from the handle that made the log folder.
TEST(LogLinkTest, HeldLevelsStopNeitherTheTakeoverNorThePin)
{
    using testsupport::SecurityRecorder;
    const Scene scene(L"links-held-levels");
    const std::wstring common = scene.root + L"\\common";
    const std::wstring logs = common + L"\\Quarvel\\Tessaline\\Logs";
    CreateDirectoryW(common.c_str(), nullptr);
    ASSERT_TRUE(LogUtils::createLogFolder(logs.c_str(), common.size()));
    std::vector<orn::unique_file> held;
    for (const std::wstring& level :
         {common + L"\\Quarvel", common + L"\\Quarvel\\Tessaline", logs}) {
        held.emplace_back(CreateFileW(level.c_str(), FILE_LIST_DIRECTORY, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(held.back()) << narrow(level);
    }
    {
        SecurityRecorder recorder;
        // The old files' listing is refused: said, and left to the next repair.
        EXPECT_FALSE(LogUtils::takeOverLogFolder(logs.c_str(), common.size()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_EQ(3u, recorder.applied.size());
        EXPECT_NE(nullptr, recorder.on(logs));
    }
    orn::unique_file made;
    ASSERT_TRUE(LogUtils::createLogFolder(logs.c_str(), common.size(),
                                          &made));
    LONGLONG index = 0, heldIndex = 0;
    EXPECT_TRUE(orn::fileIndex(made.get(), index));
    EXPECT_TRUE(orn::fileIndex(held.back().get(), heldIndex));
    EXPECT_EQ(heldIndex, index);
    EXPECT_TRUE(LogUtils::pinLogFolder(logs.c_str(), made.get()));
    LogUtils::pinLogFolder(nullptr);
}

}  // namespace
