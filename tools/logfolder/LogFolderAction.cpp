// The installer's custom actions that run as LocalSystem (deferred, no
// impersonation): they make the log folder tree and give the install folder
// its access list, since the package tool has no permission tables. Both
// work on folders any user could have prepared: every level is reached
// through the handle of the one above and taken over (LogFolderAction's
// functions in the libraries). A failure fails the installation: the
// product's services would otherwise log into a folder anyone may own, and
// every user's Explorer load a module anyone may replace.

#include "FolderLevels.h"
#include "InstallFolder.h"
#include "SafeLogFile.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

using unique_msihandle = orn::unique_resource<MSIHANDLE, orn::closer<&MsiCloseHandle>>;

// The backup and restore privileges, which LocalSystem holds but has not
// enabled: with them no access list a user set on a level can refuse its
// takeover. Put back as they were when the action ends.
class BackupPrivileges {
public:
    BackupPrivileges()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return;
        token_.reset(token);
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

// What the installer's log shows when an action fails.
void tellInstaller(MSIHANDLE install, const wchar_t* what, const wchar_t* folder)
{
    const DWORD error = GetLastError();
    wchar_t text[2 * MAX_PATH];
    std::swprintf(text, sizeof text / sizeof text[0], L"OrnShExt: %ls \"%ls\" failed (error %lu)",
                  what, folder, error);
    const unique_msihandle record(MsiCreateRecord(1));
    MsiRecordSetStringW(record.get(), 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

}  // namespace

extern "C" __declspec(dllexport) UINT WINAPI CreateLogFolder(MSIHANDLE install)
{
    const BackupPrivileges privileges;
    wchar_t path[MAX_PATH] = {};
    if (LogUtils::createCommonLogFolder(path, LogUtils::LogFolderMaker::installer))
        return ERROR_SUCCESS;
    tellInstaller(install, L"making the log folder", path);
    return ERROR_INSTALL_FAILURE;
}

// CustomActionData: the install folder, then the subfolders the package
// fills, each after a "|" (a character no path holds).
extern "C" __declspec(dllexport) UINT WINAPI SecureInstallFolder(MSIHANDLE install)
{
    wchar_t data[4 * MAX_PATH];
    DWORD size = sizeof data / sizeof data[0];
    if (MsiGetPropertyW(install, L"CustomActionData", data, &size) != ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    std::vector<std::wstring> parts(1);
    for (const wchar_t* c = data; *c; ++c) {
        if (*c == L'|')
            parts.emplace_back();
        else
            parts.back() += *c;
    }
    const std::wstring folder = parts.front();
    parts.erase(parts.begin());
    const BackupPrivileges privileges;
    if (!folder.empty() && orn::secureInstallFolder(folder.c_str(), parts))
        return ERROR_SUCCESS;
    tellInstaller(install, L"giving its access list to the install folder", folder.c_str());
    return ERROR_INSTALL_FAILURE;
}
