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
    if (LogUtils::createCommonLogFolder(path_)) {
        LogUtils::pinLogFolder(path_);
        return;
    }
    // Not silently: support finds the reason in the debugger output (an
    // entry at a level's name that is no folder, which the installer's
    // repair moves aside).
    const DWORD error = GetLastError();
    wchar_t text[2 * MAX_PATH];
    std::swprintf(text, sizeof text / sizeof text[0],
                  L"Logging: the log folder \"%ls\" cannot be made (error %lu): no log file is "
                  L"written until it is there\n",
                  path_, error);
    // Narrow, as the debugger sink writes.
    char narrow[4 * MAX_PATH];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) > 0)
        OutputDebugStringA(narrow);
}

// After the log manager (1110); destroyed in reverse.
ConfigDirectory configDirectory __attribute__((init_priority(1130)));
LogDirectory logDirectory __attribute__((init_priority(1140)));
