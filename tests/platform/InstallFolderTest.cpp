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

// Owner Administrators and a protected list (nothing inherited from a parent
// users may change), handed down to all below.
void expectInstallList(const SecurityRecorder& recorder, const std::wstring& path)
{
    constexpr BYTE down = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const SecurityRecorder::Applied* applied = recorder.on(path);
    ASSERT_NE(nullptr, applied) << "nothing set on " << std::string(path.begin(), path.end());
    EXPECT_EQ(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                  PROTECTED_DACL_SECURITY_INFORMATION,
              applied->parts);
    EXPECT_EQ(administrators, applied->descriptor.owner);
    EXPECT_TRUE(applied->descriptor.isProtected);
    EXPECT_EQ((std::vector<AccessEntry>{{localSystem, down, FILE_ALL_ACCESS},
                                        {administrators, down, FILE_ALL_ACCESS},
                                        {trustedInstaller, down, FILE_ALL_ACCESS},
                                        {users, down, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}}),
              applied->descriptor.entries);
}

}  // namespace

// The folder and its module folder get the list; other folders in it are the
// product's own business and keep theirs. A file in the module folder's place
// is moved aside beside it, never over another entry, for the installer to
// make the folder (which inherits the list). A folder reached through a link
// (a junction on Windows) is never given the list: the action would
// re-permission whatever the link points to.
TEST(InstallFolderTest, ListGoesOnTheFolderAndItsModuleFolderOnly)
{
    const std::wstring folder =
        binaryDir().wstring() + L"\\tests\\platform\\output-install-" + uniqueSuffix();
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\x64").c_str(), nullptr);
    CreateDirectoryW((folder + L"\\Agent").c_str(), nullptr);
    {
        SecurityRecorder recorder;
        ASSERT_TRUE(orn::secureInstallFolder((folder + L"\\").c_str(), {L"x64"}));
        EXPECT_EQ(2u, recorder.applied.size());
        expectInstallList(recorder, folder);
        expectInstallList(recorder, folder + L"\\x64");
    }
    {
        SecurityRecorder recorder;  // a drive's root keeps its separator
        ASSERT_TRUE(orn::secureInstallFolder(L"C:\\\\", {}));
        expectInstallList(recorder, L"C:\\");
    }

    ASSERT_TRUE(RemoveDirectoryW((folder + L"\\x64").c_str()));
    ASSERT_TRUE(writeFile(folder + L"\\x64", "planted", 7));
    // What an earlier move left, at every name this one may take first.
    for (int ahead = 0; ahead < 10; ++ahead)
        ASSERT_TRUE(writeFile(folder + L"\\x64.moved-" + localStamp(ahead), "earlier", 7));
    {
        SecurityRecorder recorder;
        ASSERT_TRUE(orn::secureInstallFolder(folder.c_str(), {L"x64"}));
        EXPECT_EQ(1u, recorder.applied.size());
        expectInstallList(recorder, folder);
    }
    EXPECT_FALSE(exists(folder + L"\\x64"));
    std::vector<std::wstring> moved;
    for (const std::wstring& name : listFolder(folder, L"x64*")) {
        if (readFile(folder + L"\\" + name) == "planted")
            moved.push_back(name);
        else
            EXPECT_EQ("earlier", readFile(folder + L"\\" + name));
    }
    ASSERT_EQ(1u, moved.size());
    EXPECT_EQ(L"x64.moved-", moved[0].substr(0, 10));
    EXPECT_EQ(L"-2", moved[0].substr(moved[0].size() - 2));
    EXPECT_EQ(11u, listFolder(folder, L"x64*").size());

    // Wine cannot make a Windows link or a junction: a Linux one stands in.
    const std::wstring link = folder + L"\\linked";
    ASSERT_TRUE(runLinux(L"ln -s " + linuxPath(folder + L"\\Agent") + L" " + linuxPath(link)));
    {
        SecurityRecorder recorder;
        EXPECT_FALSE(orn::secureInstallFolder(link.c_str(), {L"x64"}));
        EXPECT_TRUE(recorder.applied.empty());
    }
    // Deleting a link through Wine deletes its target instead.
    ASSERT_TRUE(runLinux(L"rm " + linuxPath(link)));
    removeTree(folder);
}
