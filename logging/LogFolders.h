#pragma once
// The logging library's two folders: where "logCfg.Ini" is looked for, and
// where log files go. Found when the runtime starts; the log folder is made
// only for the first log file, so that a process that never writes one
// leaves no folder behind.

#include <windows.h>

#include <atomic>
#include <cstddef>

class LogFolders {
public:
    // Finds both paths; makes nothing.
    LogFolders();
    LogFolders(const LogFolders&) = delete;
    LogFolders& operator=(const LogFolders&) = delete;

    const wchar_t* configuration() const { return configuration_; }
    const wchar_t* logs() const { return logs_; }

    // Makes the log folder and pins it (LogUtils::pinLogFolder), once per
    // runtime, before any file is created below it; a second caller waits
    // for the first. A folder that cannot be made or is refused is told on
    // the debugger output, and no file is written below it.
    void makeLogFolder() const noexcept;

private:
    static BOOL CALLBACK makeAndPin(INIT_ONCE*, void* folders, void**);

    wchar_t configuration_[MAX_PATH] = {};
    wchar_t logs_[MAX_PATH] = {};
    // The common application-data folder's part of logs_: users cannot
    // replace it, only create entries below it.
    std::size_t trustedLength_ = 0;
    mutable INIT_ONCE made_ = INIT_ONCE_STATIC_INIT;
    // Every later file write asks only this.
    mutable std::atomic<bool> ready_{false};
};

// A folder of the process's runtime, for tools and tests that name files in
// it; starts the runtime (an empty path once the module is detaching).
class LogFolderPath {
public:
    constexpr explicit LogFolderPath(const wchar_t* (*find)()) : find_(find) {}
    const wchar_t* get() const { return find_(); }

private:
    const wchar_t* (*find_)();
};

extern const LogFolderPath configDirectory;
extern const LogFolderPath logDirectory;
