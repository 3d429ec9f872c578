// The install folder's own access list, given by the installer's action
// wherever the folder is: what it would set (Wine keeps no descriptor), that
// it sets nothing through a link or on what stands in a subfolder's place,
// what it refuses above the folder, and the check that the files went into
// the folder that got the list. Owners and lists Wine does not keep are
// played through the seam the code reads them through.

#include "InstallFolder.h"
#include "SystemLibrary.h"

#include <gtest/gtest.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "Files.h"
#include "ImportTable.h"
#include "Paths.h"
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

bool secure(const std::wstring& folder, std::vector<std::wstring> subfolders,
            orn::FolderIdentity* identity = nullptr, std::wstring* refusedAt = nullptr)
{
    orn::FolderIdentity ignored;
    std::wstring refused;
    return orn::secureInstallFolder(folder.c_str(), subfolders, identity ? *identity : ignored,
                                    refusedAt ? *refusedAt : refused);
}

std::wstring freshFolder(const wchar_t* name)
{
    const std::wstring folder =
        binaryDir().wstring() + L"\\tests\\platform\\output-" + name + L"-" + uniqueSuffix();
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

// The folders above the tests' own belong to the machine, not to the test: a
// clone below /tmp sits in a folder every account may write. They are played
// as a system folder's, so that only what a test plays decides.
void playTrustedAbove(DescriptorPlayer& player, std::wstring folder)
{
    static const wchar_t* const systemFolder = L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
    for (std::size_t cut; (cut = folder.find_last_of(L'\\')) != std::wstring::npos && cut > 2;) {
        folder.resize(cut);
        player.play(folder, systemFolder);
    }
    player.play(folder.substr(0, 2), systemFolder);
    player.play(folder.substr(0, 2) + L"\\", systemFolder);
}

// The one entry moved aside from name: "<name>.moved-" and 32 hex digits.
std::wstring movedAside(const std::wstring& folder, const std::wstring& name)
{
    const std::vector<std::wstring> moved = listFolder(folder, (name + L".moved-*").c_str());
    EXPECT_EQ(1u, moved.size());
    if (moved.size() != 1)
        return L"";
    const std::wstring suffix = moved[0].substr(name.size() + 7);
    EXPECT_EQ(32u, suffix.size());
    EXPECT_EQ(std::wstring::npos, suffix.find_first_not_of(L"0123456789abcdef"));
    return folder + L"\\" + moved[0];
}

}  // namespace

// The folder and its module folder get the list; other folders in it are the
// product's own business and keep theirs. A file in the module folder's place
// is moved aside beside it, never over another entry, for the installer to
// make the folder (which inherits the list). A folder reached through a link
// (a junction on Windows) is never given the list: the action would
// re-permission whatever the link points to; nor is a drive's root.
TEST(InstallFolderTest, ListGoesOnTheFolderAndItsModuleFolderOnly)
{
    const std::wstring folder = freshFolder(L"install");
    CreateDirectoryW((folder + L"\\x64").c_str(), nullptr);
    CreateDirectoryW((folder + L"\\Agent").c_str(), nullptr);
    DescriptorPlayer machine;
    playTrustedAbove(machine, folder);
    {
        SecurityRecorder recorder;
        orn::FolderIdentity identity;
        ASSERT_TRUE(secure(folder + L"\\", {L"x64"}, &identity));
        EXPECT_EQ(2u, recorder.applied.size());
        expectInstallList(recorder, folder);
        expectInstallList(recorder, folder + L"\\x64");
        EXPECT_EQ(fileIndexOf(folder), identity.index);
    }
    for (const wchar_t* root : {L"C:\\", L"C:\\\\", L"C:"}) {
        SecurityRecorder recorder;
        EXPECT_FALSE(secure(root, {}));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), GetLastError());
        EXPECT_TRUE(recorder.applied.empty());
    }

    ASSERT_TRUE(RemoveDirectoryW((folder + L"\\x64").c_str()));
    ASSERT_TRUE(writeFile(folder + L"\\x64", "planted", 7));
    {
        SecurityRecorder recorder;
        ASSERT_TRUE(secure(folder, {L"x64"}));
        EXPECT_EQ(1u, recorder.applied.size());
        expectInstallList(recorder, folder);
    }
    EXPECT_FALSE(exists(folder + L"\\x64"));
    EXPECT_EQ("planted", readFile(movedAside(folder, L"x64")));

    // Wine cannot make a Windows link or a junction: a Linux one stands in.
    const std::wstring link = folder + L"\\linked";
    ASSERT_TRUE(runLinux(L"ln -s " + linuxPath(folder + L"\\Agent") + L" " + linuxPath(link)));
    {
        SecurityRecorder recorder;
        EXPECT_FALSE(secure(link, {L"x64"}));
        EXPECT_TRUE(recorder.applied.empty());
    }
    // Deleting a link through Wine deletes its target instead.
    ASSERT_TRUE(runLinux(L"rm " + linuxPath(link)));
    removeTree(folder);
}

// An install folder or module folder another account made is not adopted:
// it goes whole, with what is in it and every handle opened on it before,
// and a new folder gets the list.
TEST(InstallFolderTest, AnotherAccountsFolderIsMovedAsideWhole)
{
    const std::wstring parent = freshFolder(L"squatted");
    const std::wstring folder = parent + L"\\Hollowmere";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\x64").c_str(), nullptr);
    ASSERT_TRUE(writeFile(folder + L"\\OrnShExt.dll", "planted"));
    const LONGLONG before = fileIndexOf(folder);
    const orn::unique_file kept(CreateFileW(folder.c_str(), READ_CONTROL | WRITE_DAC, 7, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(kept);
    {
        DescriptorPlayer player;
        playTrustedAbove(player, folder);
        player.play(folder, userOwned);
        SecurityRecorder recorder;
        orn::FolderIdentity identity;
        ASSERT_TRUE(secure(folder, {L"x64"}, &identity));
        expectInstallList(recorder, folder);
        EXPECT_EQ(1u, recorder.applied.size());
        EXPECT_NE(before, fileIndexOf(folder));
        EXPECT_EQ(fileIndexOf(folder), identity.index);
    }
    EXPECT_TRUE(listFolder(folder).empty());
    const std::wstring moved = movedAside(parent, L"Hollowmere");
    EXPECT_EQ("planted", readFile(moved + L"\\OrnShExt.dll"));
    // The handle kept from before is on the folder moved aside (Wine names a
    // handle by the path it was opened with, so its index tells).
    LONGLONG keptIndex = 0;
    EXPECT_TRUE(orn::fileIndex(kept.get(), keptIndex));
    EXPECT_EQ(fileIndexOf(moved), keptIndex);
    EXPECT_EQ(before, keptIndex);

    CreateDirectoryW((folder + L"\\x64").c_str(), nullptr);
    {
        DescriptorPlayer player;
        playTrustedAbove(player, folder);
        player.play(folder + L"\\x64", userOwned);
        ASSERT_TRUE(secure(folder, {L"x64"}));
    }
    EXPECT_FALSE(exists(folder + L"\\x64"));
    movedAside(folder, L"x64");
    removeTree(parent);
}

// Every folder above the install folder, decided by the system's access
// check: none may let another account delete, rename, re-permission or take
// it; entries handed down only, and reading, are harmless.
TEST(InstallFolderTest, FolderAboveThatOthersControlIsRefused)
{
    const std::wstring parent = freshFolder(L"above");
    const std::wstring folder = parent + L"\\Hollowmere";
    struct Case {
        const wchar_t* list;
        DWORD error;  // ERROR_SUCCESS: accepted
    };
    const Case cases[] = {
        {L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", ERROR_ACCESS_DENIED},
        {L"O:BAD:(A;OICI;FA;;;BA)(A;;0x40;;;S-1-5-21-1-2-3-1001)", ERROR_ACCESS_DENIED},
        {L"O:BAD:(A;OICI;FA;;;BA)(A;;WO;;;AU)", ERROR_ACCESS_DENIED},
        {L"O:BA", ERROR_ACCESS_DENIED},  // no list: everyone may do everything
        {userOwned, ERROR_INVALID_OWNER},
        {L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;;0x100006;;;AU)", ERROR_SUCCESS},
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
         L"D:(A;OICIIO;FA;;;CO)(A;OICIIO;0x1301bf;;;BU)",
         ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.list, c.list + std::wcslen(c.list)));
        DescriptorPlayer player;
        playTrustedAbove(player, parent);
        player.play(parent, c.list);
        SecurityRecorder recorder;
        std::wstring refusedAt;
        EXPECT_EQ(c.error == ERROR_SUCCESS, secure(folder, {}, nullptr, &refusedAt));
        if (c.error == ERROR_SUCCESS)
            continue;
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(parent, refusedAt);
        EXPECT_TRUE(recorder.applied.empty());
    }
    removeTree(parent);
}

// After the installer's files: the folder is the one that got the list, and
// each file there a plain file of its own, whose owner is trusted.
TEST(InstallFolderTest, InstalledFilesAreCheckedInTheFolderThatGotTheList)
{
    const std::wstring parent = freshFolder(L"installed");
    const std::wstring folder = parent + L"\\Hollowmere";
    CreateDirectoryW(folder.c_str(), nullptr);
    orn::FolderIdentity identity;
    {
        DescriptorPlayer machine;
        playTrustedAbove(machine, folder);
        ASSERT_TRUE(secure(folder, {L"x64"}, &identity));
    }
    CreateDirectoryW((folder + L"\\x64").c_str(), nullptr);
    ASSERT_TRUE(writeFile(folder + L"\\OrnShExt.dll", "module"));
    ASSERT_TRUE(writeFile(folder + L"\\x64\\OrnShExt.dll", "module"));
    const std::vector<std::wstring> files{L"OrnShExt.dll", L"x64\\OrnShExt.dll"};
    std::wstring failedAt;
    EXPECT_TRUE(orn::checkInstalledFiles(folder.c_str(), identity, files, failedAt));

    const std::wstring module64 = folder + L"\\x64\\OrnShExt.dll";
    {
        DescriptorPlayer player;
        player.play(module64, userOwned);
        EXPECT_FALSE(orn::checkInstalledFiles(folder.c_str(), identity, files, failedAt));
        EXPECT_EQ(module64, failedAt);
    }
    const std::wstring elsewhere = parent + L"\\elsewhere.dll";
    ASSERT_TRUE(writeFile(elsewhere, "module"));
    ASSERT_TRUE(DeleteFileW(module64.c_str()));
    ASSERT_TRUE(CreateHardLinkW(module64.c_str(), elsewhere.c_str(), nullptr));
    EXPECT_FALSE(orn::checkInstalledFiles(folder.c_str(), identity, files, failedAt));
    EXPECT_EQ(module64, failedAt);
    ASSERT_TRUE(DeleteFileW(module64.c_str()));
    EXPECT_FALSE(orn::checkInstalledFiles(folder.c_str(), identity, files, failedAt));
    EXPECT_EQ(module64, failedAt);

    // Swapped after the list was given: the files went into another folder.
    ASSERT_TRUE(MoveFileExW(folder.c_str(), (parent + L"\\away").c_str(), 0));
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\x64").c_str(), nullptr);
    ASSERT_TRUE(writeFile(folder + L"\\OrnShExt.dll", "module"));
    ASSERT_TRUE(writeFile(module64, "module"));
    EXPECT_FALSE(orn::checkInstalledFiles(folder.c_str(), identity, files, failedAt));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_INVALID), GetLastError());
    removeTree(parent);
}

#ifdef ORN_LOG_FOLDER_ACTION
// The actions themselves (LogFolderAction.dll), with what Wine does not model
// recorded through the module's import table: the privileges it enables
// (Wine grants any) and what it says in the installer's log. Without a
// session (handle 0) they get no data and no record.
namespace {

std::vector<std::vector<LUID_AND_ATTRIBUTES>> adjusted;
std::vector<std::wstring> said;
bool onlySomeAssigned = false;

BOOL WINAPI recordAdjust(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                         PTOKEN_PRIVILEGES previous, PDWORD returned)
{
    adjusted.emplace_back(state->Privileges, state->Privileges + state->PrivilegeCount);
    const BOOL done = AdjustTokenPrivileges(token, disableAll, state, length, previous, returned);
    if (done && onlySomeAssigned)
        SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return done;
}

int WINAPI recordMessage(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE record)
{
    wchar_t text[1024];
    DWORD size = 1024;
    MsiRecordGetStringW(record, 0, text, &size);
    said.push_back(text);
    return IDOK;
}

void patchImport(HMODULE module, void* function, void* replacement)
{
    ASSERT_GT(testsupport::redirectImport(module, function, replacement), 0);
}

}  // namespace

TEST(InstallFolderTest, ActionsEnableBothPrivilegesAndNeverAnswerAFailureAsSuccess)
{
    const orn::unique_hmodule action(LoadLibraryW(windowsPath(ORN_LOG_FOLDER_ACTION).c_str()));
    ASSERT_TRUE(action);
    using Action = UINT(WINAPI*)(MSIHANDLE);
    const auto run = [&](const char* name) {
        const auto entry =
            reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(action.get(), name)));
        return entry ? entry(0) : 12345u;
    };
    patchImport(action.get(), reinterpret_cast<void*>(&AdjustTokenPrivileges),
                reinterpret_cast<void*>(&recordAdjust));
    // msiquery.h declares no import: the function's own address.
    patchImport(
        action.get(),
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msi.dll"), "MsiProcessMessage")),
        reinterpret_cast<void*>(&recordMessage));

    // No folder: refused, and said so; both privileges enabled first.
    EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), run("SecureInstallFolder"));
    ASSERT_FALSE(adjusted.empty());
    LUID backup, restore;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &backup));
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &restore));
    ASSERT_EQ(2u, adjusted[0].size());
    for (int i = 0; i < 2; ++i) {
        const LUID wanted = i == 0 ? backup : restore;
        EXPECT_EQ(wanted.LowPart, adjusted[0][i].Luid.LowPart);
        EXPECT_EQ(wanted.HighPart, adjusted[0][i].Luid.HighPart);
        EXPECT_EQ(static_cast<DWORD>(SE_PRIVILEGE_ENABLED), adjusted[0][i].Attributes);
    }
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ(L"OrnShExt: giving its access list to the install folder \"\" failed (error 161)",
              said[0]);
    // No record of the folder that got the list.
    EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), run("VerifyInstallFolder"));

    // Only some privileges assigned is no success; the log tree says so and
    // lets the installation go on.
    onlySomeAssigned = true;
    said.clear();
    EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), run("SecureInstallFolder"));
    EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS), run("CreateLogFolder"));
    ASSERT_EQ(2u, said.size());
    for (const std::wstring& text : said)
        EXPECT_NE(
            std::wstring::npos,
            text.find(L"enabling the backup and restore privileges for \"\" failed (error 1300)"))
            << std::string(text.begin(), text.end());
    onlySomeAssigned = false;
}
#endif

namespace {
DWORD loadFlags = 0;
decltype(&LoadLibraryExW) systemLoad = nullptr;
HMODULE WINAPI recordLoad(const wchar_t* name, HANDLE file, DWORD flags)
{
    loadFlags = flags;
    return systemLoad(name, file, flags);
}

// Apart, so that the compiler reads the import's entry after it was patched.
__attribute__((noinline)) bool loadCabinet()
{
    const orn::SystemLibrary cabinet{L"cabinet.dll"};
    return cabinet.procedure<void (*)()>("FCICreate") != nullptr;
}
}  // namespace

// Libraries that are no known DLLs come from the system folder alone: the
// loader would look in the module's own folder first, where a planted DLL
// would run in every host. Wine finds them either way, so the flag is read
// off the call.
TEST(SystemLibraryTest, LoadsFromTheSystemFolderOnly)
{
    systemLoad = &LoadLibraryExW;
    const auto load = reinterpret_cast<void*>(systemLoad);
    ASSERT_GT(redirectImport(GetModuleHandleW(nullptr), load, reinterpret_cast<void*>(&recordLoad)),
              0);
    EXPECT_TRUE(loadCabinet());
    redirectImport(GetModuleHandleW(nullptr), reinterpret_cast<void*>(&recordLoad), load);
    EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), loadFlags);
}
