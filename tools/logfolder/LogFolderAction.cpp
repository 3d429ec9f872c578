// The installer's folder actions, deferred and run as LocalSystem, since the
// package tool has no permission tables: the log folder tree and the install
// folder's own access list. Both work on folders any user could have
// prepared: every level is reached through the handle of the one above and
// taken over (FolderLevels.h). A failure fails the installation: the
// product's services would otherwise log into a folder anyone may own, and
// every user's Explorer load a module anyone may replace. (The actions of
// Windows 11's package are in ExplorerPackageAction.cpp.)

#include "InstallFolder.h"
#include "InstallerAction.h"
#include "SafeLogFile.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

// The backup and restore privileges, which LocalSystem holds but has not
// enabled: with them no access list a user set on a level can refuse its
// takeover. Put back as they were when the action ends.
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
    }
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

}  // namespace

extern "C" __declspec(dllexport) UINT WINAPI CreateLogFolder(MSIHANDLE install)
{
    wchar_t path[MAX_PATH] = {};
    const wchar_t* what = L"making the log folder";
    return runAction(
        [&] {
            const BackupPrivileges privileges;
            if (LogUtils::createCommonLogFolder(path, LogUtils::LogFolderMaker::installer))
                return static_cast<UINT>(ERROR_SUCCESS);
            return failure(install, what, path);
        },
        [&] { return failure(install, what, path); });
}

// CustomActionData: the install folder, then the subfolders the package
// fills, each after a "|" (a character no path holds).
extern "C" __declspec(dllexport) UINT WINAPI SecureInstallFolder(MSIHANDLE install)
{
    const wchar_t* what = L"giving its access list to the install folder";
    return runAction(
        [&] {
            std::vector<std::wstring> parts(1);
            for (wchar_t c : sessionProperty(install, L"CustomActionData")) {
                if (c == L'|')
                    parts.emplace_back();
                else
                    parts.back() += c;
            }
            const std::wstring folder = parts.front();
            parts.erase(parts.begin());
            const BackupPrivileges privileges;
            if (!folder.empty() && orn::secureInstallFolder(folder.c_str(), parts))
                return static_cast<UINT>(ERROR_SUCCESS);
            return failure(install, what, folder.c_str());
        },
        [&] { return failure(install, what, L""); });
}
