// The install folder's own access list, given by the installer's action
// wherever the folder is: what it would set (Wine keeps no descriptor), and
// that it sets nothing through a link or on what stands in a subfolder's
// place.

#include "InstallFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Files.h"
#include "Paths.h"
#include "Security.h"

using namespace testsupport;

namespace {

// A folder of its own in the build tree (the Z: drive, which the Linux side
// reaches too).
std::wstring freshFolder(const std::wstring& name)
{
    const std::wstring root = binaryDir().wstring() + L"\\tests\\platform\\output";
    CreateDirectoryW(root.c_str(), nullptr);
    const std::wstring folder = root + L"\\" + name + L"-" + uniqueSuffix();
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

// A Linux command on paths of the build tree. Wine gives no handle on a
// Linux process: its effect is waited for.
template <typename Done>
bool runLinux(std::wstring line, const std::vector<std::wstring>& paths, Done done)
{
    for (std::wstring path : paths) {
        for (wchar_t& c : path)
            c = c == L'\\' ? L'/' : c;
        line += L" " + path.substr(2);  // "Z:"
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int wait = 0; wait < 500 && !done(); ++wait)
        Sleep(10);
    return done();
}

const SECURITY_INFORMATION takenOver =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;

void expectInstallList(const SecurityRecorder::Applied* applied, const std::wstring& path)
{
    constexpr BYTE down = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr DWORD readAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    ASSERT_NE(nullptr, applied) << "nothing set on the folder";
    EXPECT_EQ(path, applied->path);
    EXPECT_EQ(takenOver, applied->parts);
    EXPECT_EQ(administrators, applied->descriptor.owner);
    EXPECT_TRUE(applied->descriptor.isProtected);
    EXPECT_EQ((std::vector<AccessEntry>{{localSystem, down, FILE_ALL_ACCESS},
                                        {administrators, down, FILE_ALL_ACCESS},
                                        {trustedInstaller, down, FILE_ALL_ACCESS},
                                        {users, down, readAndExecute}}),
              applied->descriptor.entries);
}

}  // namespace

// The folder and its module folder get owner Administrators and a protected
// list (nothing inherited from a parent users may change); other folders in
// it are the product's own business and keep theirs.
TEST(InstallFolderTest, FolderAndItsModuleFolderGetTheirOwnList)
{
    const std::wstring folder = freshFolder(L"install");
    CreateDirectoryW((folder + L"\\x64").c_str(), nullptr);
    CreateDirectoryW((folder + L"\\Agent").c_str(), nullptr);
    SecurityRecorder recorder;
    ASSERT_TRUE(orn::secureInstallFolder((folder + L"\\").c_str(), {L"x64"}));
    ASSERT_EQ(2u, recorder.applied.size());
    expectInstallList(recorder.on(folder), folder);
    expectInstallList(recorder.on(folder + L"\\x64"), folder + L"\\x64");
    removeTree(folder);
}

// A file in the module folder's place is moved aside, for the installer to
// make the folder; a missing one is left to it too (it inherits the list).
TEST(InstallFolderTest, WhatStandsInTheModuleFolderPlaceIsMovedAside)
{
    const std::wstring folder = freshFolder(L"install-plant");
    ASSERT_TRUE(writeFile(folder + L"\\x64", "planted", 7));
    SecurityRecorder recorder;
    ASSERT_TRUE(orn::secureInstallFolder(folder.c_str(), {L"x64"}));
    ASSERT_EQ(1u, recorder.applied.size());
    expectInstallList(recorder.on(folder), folder);
    EXPECT_FALSE(exists(folder + L"\\x64"));
    const std::vector<std::wstring> names = listFolder(folder);
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(L"x64.moved-", names[0].substr(0, 10));
    EXPECT_EQ("planted", readFile(folder + L"\\" + names[0]));
    removeTree(folder);
}

// A folder reached through a link (a junction on Windows) is never given the
// list: the action would re-permission whatever the link points to.
TEST(InstallFolderTest, FolderReachedThroughALinkIsRefused)
{
    const std::wstring folder = freshFolder(L"install-link");
    CreateDirectoryW((folder + L"\\target").c_str(), nullptr);
    const std::wstring link = folder + L"\\linked";
    // Wine cannot make a Windows link or a junction: a Linux one stands in.
    ASSERT_TRUE(runLinux(L"Z:\\bin\\ln -s", {folder + L"\\target", link},
                         [&] { return exists(link); }));
    {
        SecurityRecorder recorder;
        EXPECT_FALSE(orn::secureInstallFolder(link.c_str(), {L"x64"}));
        EXPECT_TRUE(recorder.applied.empty());
    }
    // Deleting a link through Wine deletes its target instead.
    ASSERT_TRUE(runLinux(L"Z:\\bin\\rm", {link}, [&] { return !exists(link); }));
    removeTree(folder);
}
