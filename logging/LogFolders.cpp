#include "LogFolders.h"

#include "RegistryValues.h"
#include "SafeLogFile.h"

#include <shlobj.h>
#include <shlwapi.h>

ConfigDirectory::ConfigDirectory()
{
    if (ReadInstallDirAsPath(path_))
        return;
    path_[0] = L'\0';
    // The 32-bit product's folder, whichever build reads it.
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, path_)))
        PathAppendW(path_, L"Quarvel\\Tessaline");
}

LogDirectory::LogDirectory()
{
    // Known by identity from now on: a folder put in its place later gets no
    // new log files.
    if (LogUtils::createCommonLogFolder(path_))
        LogUtils::pinLogFolder(path_);
}

// After the log manager (1110); destroyed in reverse.
ConfigDirectory configDirectory __attribute__((init_priority(1130)));
LogDirectory logDirectory __attribute__((init_priority(1140)));
