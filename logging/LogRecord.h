#pragma once
// The log record every component fills on its own stack, the severity scale
// and the logging call.

#include <windows.h>

namespace LogUtils {
class ILogManager;
}

// Severity levels, numbered as syslog severities: lower is more severe.
enum LogLevel : int {
    LevelEmergency = 0,
    LevelAlert = 1,
    LevelCriticalError = 2,
    LevelError = 3,
    LevelWarning = 4,
    LevelNotice = 5,
    LevelInfo = 6,
    LevelDebug = 7,
};

constexpr int logLevelCount = 8;

// "Emergency" ... "Debug", indexed by level.
extern const char* const logLevelNames[logLevelCount];

// The level whose name begins with the text, ignoring case, the first in
// level order; -1 when none does. "warn" gives 4, "E" gives 0, "" gives 0,
// "Errors" gives -1.
int levelNamed(const char* name);
// levelNamed, but 7 when nothing matches.
int levelFromName(const char* name);

class LogRecord {
public:
    // Characters of the message buffer of print, terminator included.
    static constexpr int messageCapacity = 2048;

    LogRecord(const char* sourceFile, int sourceLine, int level, const char* component,
              LogUtils::ILogManager* manager);

    // Formats into a buffer on the call's stack (silently cut at 2047
    // characters) and hands the record to the manager. The caller's last-error
    // value survives the call, also when the manager throws.
    LogRecord& print(const wchar_t* format, ...);
    LogRecord& print(const char* format, ...);

    const char* sourceFile;
    int sourceLine;
    DWORD threadId;
    DWORD processId;
    LogUtils::ILogManager* manager;
    SYSTEMTIME time;
    const wchar_t* message;
    const char* narrowMessage;
    int level;
    const char* component;
    DWORD errorCode;
    bool hasErrorCode;
};

namespace LogUtils {

class ILogManager {
public:
    // Routes one record synchronously on the calling thread.
    virtual void log(LogRecord& record) = 0;

protected:
    ~ILogManager() = default;
};

}  // namespace LogUtils

// The process-wide manager every call site names.
LogUtils::ILogManager* defaultLogManager();
