#pragma once
// The install folder's own access list, wherever the folder is: installed
// below a folder users may change (D:\Apps\...), it would otherwise hand them
// the right to replace the module or put a DLL beside it, which every user's
// Explorer, elevated programs included, would then load.

#include <windows.h>

#include <string>
#include <vector>

namespace orn {

// Which folder it is: its volume and its file index there.
struct FolderIdentity {
    DWORD volume = 0;
    LONGLONG index = 0;
};

// Gives the folder (a full path; trailing separators are ignored) owner
// Administrators and a protected list: LocalSystem, Administrators and
// TrustedInstaller full control, users read and execute, handed down to all
// below. For the installer's action, as LocalSystem holding the backup and
// restore privileges, before any file goes in: what is installed then
// inherits the list. Refused (false, the last error set): a drive's root; a
// path with a link or junction on it; a folder above it that another account
// owns or may delete, rename, re-permission or take (ERROR_INVALID_OWNER,
// ERROR_ACCESS_DENIED; that folder's path goes to refusedAt). The folder, and
// its subfolders of those names, when they exist: another account's is
// moved aside whole and the folder made afresh (takeOverLevel); a subfolder
// is left for the installer to make. identity: the folder that got the list.
bool secureInstallFolder(const wchar_t* path, const std::vector<std::wstring>& subfolders,
                         FolderIdentity& identity, std::wstring& refusedAt);

// After the installer's files went in: the folder at path is still the one
// of identity, and each file (a path below it) is a plain file with one
// link, whose owner is a trusted account, reached through the folder's
// handle level by level. False otherwise, the path that failed in failedAt.
bool checkInstalledFiles(const wchar_t* path, const FolderIdentity& identity,
                         const std::vector<std::wstring>& files, std::wstring& failedAt);

}  // namespace orn
