// The installer's folder actions, deferred and run as LocalSystem, since the
// package tool has no permission tables: the log folder tree, the install
// folder's own access list, and the check that the files went into the
// folder that got it. All work on folders any user could have prepared:
// every level is reached through the handle of the one above and taken over
// (FolderLevels.h). A failure of the install folder's actions fails the
// installation: every user's Explorer would otherwise load a module anyone
// may replace. The log tree never does: what a user holds or planted there
// must not stop servicing, and the next repair tries again; the product's
// privileged writers refuse a log folder another account owns meanwhile.
// (The actions of Windows 11's package are in ExplorerPackageAction.cpp.)

#include "InstallFolder.h"
#include "InstallerAction.h"
#include "LogFolderTakeover.h"

#include <sddl.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

// The backup and restore privileges, which LocalSystem holds but has not
// enabled: with them no access list a user set on a level can refuse its
// takeover. Put back as they were when the action ends. held() is false,
// with the last error, unless both were enabled.
class BackupPrivileges {
public:
    BackupPrivileges()
    {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                              token_.put()))
            return;
        struct {
            DWORD count;
            LUID_AND_ATTRIBUTES privileges[2];
        } wanted = {2, {}};
        if (!LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &wanted.privileges[0].Luid) ||
            !LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.privileges[1].Luid))
            return;
        wanted.privileges[0].Attributes = wanted.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = sizeof previous_;
        adjusted_ =
            AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                                  sizeof previous_, &previous_.header, &size) != FALSE;
        // Success that assigned only some: ERROR_NOT_ALL_ASSIGNED.
        held_ = adjusted_ && GetLastError() == ERROR_SUCCESS;
    }
    bool held() const { return held_; }
    ~BackupPrivileges()
    {
        if (adjusted_)
            AdjustTokenPrivileges(token_.get(), FALSE, &previous_.header, 0, nullptr, nullptr);
    }
    BackupPrivileges(const BackupPrivileges&) = delete;
    BackupPrivileges& operator=(const BackupPrivileges&) = delete;

private:
    orn::unique_handle token_;
    union {
        TOKEN_PRIVILEGES header;
        BYTE bytes[sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)];
    } previous_ = {};
    bool adjusted_ = false;
    bool held_ = false;
};

// What the installer's log shows when an action fails; the installation
// then fails too.
UINT failure(MSIHANDLE install, const wchar_t* what, const wchar_t* folder) noexcept
{
    const DWORD error = GetLastError();
    wchar_t text[2 * MAX_PATH];
    std::swprintf(text, sizeof text / sizeof text[0], L"OrnShExt: %ls \"%ls\" failed (error %lu)",
                  what, folder, error);
    const unique_msihandle record(MsiCreateRecord(1));
    MsiRecordSetStringW(record.get(), 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
    return ERROR_INSTALL_FAILURE;
}

// Said in the installer's log; the installation goes on.
void note(MSIHANDLE install, const wchar_t* what, const wchar_t* folder) noexcept
{
    failure(install, what, folder);
}

// Where SecureInstallFolder leaves which folder got the list, for
// VerifyInstallFolder: a volatile key only LocalSystem may write, in the
// product's registry view, made anew by each installation.
const wchar_t recordKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\OrnShExtSetup";

bool recordIdentity(const orn::FolderIdentity& identity)
{
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, recordKey, KEY_WOW64_32KEY, 0);
    orn::unique_hlocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KA;;;SY)", SDDL_REVISION_1,
                                                              descriptor.put(), nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    orn::unique_hkey key;
    DWORD disposition = 0;
    const LONG made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, recordKey, 0, nullptr,
                                      REG_OPTION_VOLATILE, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                      &attributes, key.put(), &disposition);
    if (made != ERROR_SUCCESS || disposition != REG_CREATED_NEW_KEY) {
        SetLastError(made != ERROR_SUCCESS ? made : ERROR_ALREADY_EXISTS);
        return false;
    }
    const ULONGLONG index = static_cast<ULONGLONG>(identity.index);
    LONG written = RegSetValueExW(key.get(), L"Volume", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&identity.volume),
                                  sizeof identity.volume);
    if (written == ERROR_SUCCESS)
        written = RegSetValueExW(key.get(), L"Index", 0, REG_QWORD,
                                 reinterpret_cast<const BYTE*>(&index), sizeof index);
    SetLastError(written);
    return written == ERROR_SUCCESS;
}

// Read once, and gone.
bool takeIdentity(orn::FolderIdentity& identity)
{
    orn::unique_hkey key;
    ULONGLONG index = 0;
    DWORD type = 0, size = sizeof identity.volume;
    LONG read = RegOpenKeyExW(HKEY_LOCAL_MACHINE, recordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                              key.put());
    if (read == ERROR_SUCCESS)
        read = RegQueryValueExW(key.get(), L"Volume", nullptr, &type,
                                reinterpret_cast<BYTE*>(&identity.volume), &size);
    if (read == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof identity.volume))
        read = ERROR_INVALID_DATA;
    size = sizeof index;
    if (read == ERROR_SUCCESS)
        read = RegQueryValueExW(key.get(), L"Index", nullptr, &type,
                                reinterpret_cast<BYTE*>(&index), &size);
    if (read == ERROR_SUCCESS && (type != REG_QWORD || size != sizeof index))
        read = ERROR_INVALID_DATA;
    key.reset();
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, recordKey, KEY_WOW64_32KEY, 0);
    identity.index = static_cast<LONGLONG>(index);
    SetLastError(read);
    return read == ERROR_SUCCESS;
}

// CustomActionData: a folder, then paths below it, each after a "|" (a
// character no path holds).
std::vector<std::wstring> actionData(MSIHANDLE install)
{
    std::vector<std::wstring> parts(1);
    for (wchar_t c : sessionProperty(install, L"CustomActionData")) {
        if (c == L'|')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

}  // namespace

extern "C" __declspec(dllexport) UINT WINAPI CreateLogFolder(MSIHANDLE install)
{
    wchar_t path[MAX_PATH] = {};
    const wchar_t* what = L"making the log folder";
    return runAction(
        [&] {
            const BackupPrivileges privileges;
            if (!privileges.held())
                note(install, L"enabling the backup and restore privileges for", path);
            else if (!LogUtils::takeOverCommonLogFolder(path))
                note(install, what, path);
            return static_cast<UINT>(ERROR_SUCCESS);
        },
        [&] {
            note(install, what, path);
            return static_cast<UINT>(ERROR_SUCCESS);
        });
}

// CustomActionData: the install folder, then the subfolders the package
// fills.
extern "C" __declspec(dllexport) UINT WINAPI SecureInstallFolder(MSIHANDLE install)
{
    const wchar_t* what = L"giving its access list to the install folder";
    return runAction(
        [&] {
            std::vector<std::wstring> parts = actionData(install);
            const std::wstring folder = parts.front();
            parts.erase(parts.begin());
            const BackupPrivileges privileges;
            if (!privileges.held())
                return failure(install, L"enabling the backup and restore privileges for",
                               folder.c_str());
            orn::FolderIdentity identity;
            std::wstring refused;
            if (!orn::secureInstallFolder(folder.c_str(), parts, identity, refused)) {
                // Refused at a folder above it: that one is named.
                const bool above = refused.size() + 1 < folder.size() &&
                                   folder.compare(0, refused.size(), refused) == 0;
                return failure(install, above ? L"accepting the install folder below" : what,
                               refused.c_str());
            }
            if (!recordIdentity(identity))
                return failure(install, L"recording the install folder", folder.c_str());
            return static_cast<UINT>(ERROR_SUCCESS);
        },
        [&] { return failure(install, what, L""); });
}

// After InstallFiles. CustomActionData: the install folder, then each file
// installed below it.
extern "C" __declspec(dllexport) UINT WINAPI VerifyInstallFolder(MSIHANDLE install)
{
    const wchar_t* what = L"checking the installed file";
    return runAction(
        [&] {
            std::vector<std::wstring> parts = actionData(install);
            const std::wstring folder = parts.front();
            parts.erase(parts.begin());
            orn::FolderIdentity identity;
            if (!takeIdentity(identity))
                return failure(install, L"reading the record of the install folder",
                               folder.c_str());
            const BackupPrivileges privileges;
            std::wstring failed;
            if (!privileges.held() ||
                !orn::checkInstalledFiles(folder.c_str(), identity, parts, failed))
                return failure(install, what, failed.empty() ? folder.c_str() : failed.c_str());
            return static_cast<UINT>(ERROR_SUCCESS);
        },
        [&] { return failure(install, what, L""); });
}
