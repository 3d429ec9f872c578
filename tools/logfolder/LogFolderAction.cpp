// The installer's custom action: makes the log folder tree at install time,
// running as LocalSystem, with the access list the logging library gives the
// folders it makes, so that no user who happens to log first owns it. Levels
// that exist keep their access list, as they do for the library.

#include "LogAccess.h"
#include "SafeLogFile.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

// MSIHANDLE; the session is not needed. A failure fails the installation:
// the product's services would otherwise log into a folder anyone may own.
extern "C" __declspec(dllexport) UINT WINAPI CreateLogFolder(unsigned long)
{
    wchar_t path[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path)))
        return ERROR_INSTALL_FAILURE;
    const size_t trusted = std::wcslen(path);
    if (!PathAppendW(path, ORN_LOG_FOLDER_BELOW_COMMON_DATA) ||
        !LogUtils::createLogFolder(path, trusted))
        return ERROR_INSTALL_FAILURE;
    return ERROR_SUCCESS;
}
