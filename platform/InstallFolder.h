#pragma once
// The install folder's own access list, wherever the folder is: installed
// below a folder users may change (D:\Apps\...), it would otherwise hand them
// the right to replace the module or put a DLL beside it, which every user's
// Explorer, elevated programs included, would then load.

#include <string>
#include <vector>

namespace orn {

// Gives the folder (a full path; trailing separators are ignored) owner
// Administrators and a protected list: LocalSystem, Administrators and
// TrustedInstaller full control, users read and execute, handed down to all
// below. Its subfolders of those names that exist are taken over alike (an
// entry there that is not a plain folder is moved aside). For the
// installer's action, as LocalSystem holding the backup and restore
// privileges, before any file goes in: what is installed then inherits the
// list. The folder must be reached by its path alone (no link or junction).
bool secureInstallFolder(const wchar_t* path, const std::vector<std::wstring>& subfolders);

}  // namespace orn
