#include "LogFolders.h"

#include "RegistryValues.h"
#include "SafeLogFile.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

LogFolders::LogFolders()
{
    if (!ReadInstallFolder(configuration_)) {
        // The 32-bit product's folder, whichever build reads it.
        if (SUCCEEDED(
                SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, configuration_)))
            PathAppendW(configuration_, L"Quarvel\\Tessaline");
    }
    if (!LogUtils::commonLogFolderPath(logs_, trustedLength_))
        logs_[0] = L'\0';
}

void LogFolders::makeLogFolder() const noexcept
{
    if (ready_.load(std::memory_order_acquire))
        return;
    InitOnceExecuteOnce(&made_, makeAndPin, const_cast<LogFolders*>(this), nullptr);
    ready_.store(true, std::memory_order_release);
}

BOOL CALLBACK LogFolders::makeAndPin(INIT_ONCE*, void* context, void**)
{
    const LogFolders& folders = *static_cast<const LogFolders*>(context);
    const wchar_t* const logs = folders.logs_;
    // Known by identity from now on: a folder put in its place later gets no
    // new log files. Pinned through the handle that made it, which a user
    // holding the folder cannot refuse.
    orn::unique_file folder;
    const bool made = logs[0] && LogUtils::createLogFolder(logs, folders.trustedLength_, &folder);
    if (made && LogUtils::pinLogFolder(logs, folder.get()))
        return TRUE;
    // Not silently: support finds the reason in the debugger output (an
    // entry at a level's name that is no folder, which the installer's
    // repair moves aside; another account's folder).
    const DWORD error = GetLastError();
    wchar_t text[2 * MAX_PATH];
    if (made)
        std::swprintf(text, sizeof text / sizeof text[0],
                      L"Logging: the log folder \"%ls\" is owned by another account: this "
                      L"privileged process writes no log file there\n",
                      logs);
    else
        std::swprintf(text, sizeof text / sizeof text[0],
                      L"Logging: the log folder \"%ls\" cannot be made (error %lu): no log file "
                      L"is written until it is there\n",
                      logs, error);
    // Narrow, as the debugger sink writes.
    char narrow[4 * MAX_PATH];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) > 0)
        OutputDebugStringA(narrow);
    return TRUE;
}
