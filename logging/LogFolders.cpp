#include "LogFolders.h"

#include "RegistryValues.h"
#include "SafeLogFile.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

ConfigDirectory::ConfigDirectory()
{
    if (ReadInstallFolder(path_))
        return;
    // The 32-bit product's folder, whichever build reads it.
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, path_)))
        PathAppendW(path_, L"Quarvel\\Tessaline");
}

LogDirectory::LogDirectory()
{
    // Known by identity from now on: a folder put in its place later gets no
    // new log files.
    // Pinned through the handle that made it, which a user holding the
    // folder cannot refuse.
    orn::unique_file folder;
    const bool made =
        LogUtils::createCommonLogFolder(path_, LogUtils::LogFolderMaker::module, &folder);
    if (made && LogUtils::pinLogFolder(path_, folder.get()))
        return;
    // Not silently: support finds the reason in the debugger output (an
    // entry at a level's name that is no folder, which the installer's
    // repair moves aside; another account's folder).
    const DWORD error = GetLastError();
    wchar_t text[2 * MAX_PATH];
    if (made)
        std::swprintf(text, sizeof text / sizeof text[0],
                      L"Logging: the log folder \"%ls\" is owned by another account: this "
                      L"privileged process writes no log file there\n",
                      path_);
    else
        std::swprintf(text, sizeof text / sizeof text[0],
                      L"Logging: the log folder \"%ls\" cannot be made (error %lu): no log file "
                      L"is written until it is there\n",
                      path_, error);
    // Narrow, as the debugger sink writes.
    char narrow[4 * MAX_PATH];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) > 0)
        OutputDebugStringA(narrow);
}

// After the log manager (1110); destroyed in reverse.
ConfigDirectory configDirectory __attribute__((init_priority(1130)));
LogDirectory logDirectory __attribute__((init_priority(1140)));
