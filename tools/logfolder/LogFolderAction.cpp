// The installer's custom action: makes the log folder tree at install time,
// running as LocalSystem, with the access list the logging library gives the
// folders it makes, so that no user who happens to log first owns it. Levels
// that exist keep their access list, as they do for the library.

#include "SafeLogFile.h"

#include <windows.h>

// MSIHANDLE; the session is not needed. A failure fails the installation:
// the product's services would otherwise log into a folder anyone may own.
extern "C" __declspec(dllexport) UINT WINAPI CreateLogFolder(unsigned long)
{
    wchar_t path[MAX_PATH];
    return LogUtils::createCommonLogFolder(path) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
