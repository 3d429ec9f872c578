#include "InstallFolder.h"

#include "FolderLevels.h"

#include <sddl.h>

#include <cwchar>

// LocalSystem, Administrators and TrustedInstaller (the account Windows
// updates its own files with) full control, users read and execute.
#define ORN_INSTALL_FOLDER_ACCESS                                                                  \
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"                                                     \
    L"(A;OICI;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"                \
    L"(A;OICI;0x001200a9;;;BU)"

namespace orn {

bool secureInstallFolder(const wchar_t* path, const std::vector<std::wstring>& subfolders)
{
    std::size_t length = std::wcslen(path);
    while (length > 3 && (path[length - 1] == L'\\' || path[length - 1] == L'/'))
        --length;
    unique_hlocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            ORN_INSTALL_FOLDER_ACCESS, SDDL_REVISION_1, descriptor.put(), nullptr))
        return false;
    const unique_file folder = openPlainFolder(path, length, LevelUse::takeOver);
    if (!folder || !takeOver(folder.get(), descriptor.get()))
        return false;
    for (const std::wstring& name : subfolders) {
        // A missing one is made by the installer, inheriting the list.
        if (!takeOverLevel(folder.get(), name.c_str(), descriptor.get(), false) &&
            GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
    }
    return true;
}

}  // namespace orn
