// The install folder's own access list, given by the installer's action
// wherever the folder is: what it would set (Wine keeps no descriptor), and
// that it sets nothing through a link or on what stands in a subfolder's
// place.

#include "InstallFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Files.h"
#include "Process.h"
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

void expectInstallList(const SecurityRecorder::Applied* applied, const std::wstring& path)
{
    constexpr BYTE down = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr DWORD readAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    ASSERT_NE(nullptr, applied) << "nothing set on the folder";
    EXPECT_EQ(path, applied->path);
    EXPECT_EQ(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                  PROTECTED_DACL_SECURITY_INFORMATION,
              applied->parts);
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

// A file in the module folder's place is moved aside beside it, never over
// another entry, for the installer to make the folder (which inherits the
// list); a missing one is left to it too.
TEST(InstallFolderTest, WhatStandsInTheModuleFolderPlaceIsMovedAside)
{
    const std::wstring folder = freshFolder(L"install-plant");
    ASSERT_TRUE(writeFile(folder + L"\\x64", "planted", 7));
    // What an earlier move left, at every name this one may take first.
    for (int ahead = 0; ahead < 10; ++ahead)
        ASSERT_TRUE(writeFile(folder + L"\\x64.moved-" + localStamp(ahead), "earlier", 7));
    SecurityRecorder recorder;
    ASSERT_TRUE(orn::secureInstallFolder(folder.c_str(), {L"x64"}));
    ASSERT_EQ(1u, recorder.applied.size());
    expectInstallList(recorder.on(folder), folder);
    EXPECT_FALSE(exists(folder + L"\\x64"));
    std::vector<std::wstring> moved;
    for (const std::wstring& name : listFolder(folder)) {
        if (readFile(folder + L"\\" + name) == "planted")
            moved.push_back(name);
        else
            EXPECT_EQ("earlier", readFile(folder + L"\\" + name));
    }
    ASSERT_EQ(1u, moved.size());
    EXPECT_EQ(L"x64.moved-", moved[0].substr(0, 10));
    EXPECT_EQ(L"-2", moved[0].substr(moved[0].size() - 2));
    EXPECT_EQ(11u, listFolder(folder).size());
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
    ASSERT_TRUE(runLinux(L"ln -s " + linuxPath(folder + L"\\target") + L" " + linuxPath(link)));
    {
        SecurityRecorder recorder;
        EXPECT_FALSE(orn::secureInstallFolder(link.c_str(), {L"x64"}));
        EXPECT_TRUE(recorder.applied.empty());
    }
    // Deleting a link through Wine deletes its target instead.
    ASSERT_TRUE(runLinux(L"rm " + linuxPath(link)));
    removeTree(folder);
}
