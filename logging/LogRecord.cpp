#include "LogRecord.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

const char* const logLevelNames[logLevelCount] = {
    "Emergency", "Alert", "CriticalError", "Error", "Warning", "Notice", "Info", "Debug",
};

int levelFromName(const char* name)
{
    if (!name)
        return LevelDebug;
    const size_t length = std::strlen(name);
    for (int level = 0; level < logLevelCount; ++level) {
        // Comparing length characters also compares the name's terminator when
        // the text is longer than the name, so "Errors" matches nothing.
        if (_strnicmp(logLevelNames[level], name, length) == 0)
            return level;
    }
    return LevelDebug;
}

LogRecord::LogRecord(const char* sourceFile_, int sourceLine_, int level_, const char* component_,
                     LogUtils::ILogManager* manager_)
    : sourceFile(sourceFile_), sourceLine(sourceLine_), threadId(GetCurrentThreadId()),
      processId(GetCurrentProcessId()), manager(manager_), time(), message(nullptr),
      narrowMessage(nullptr), level(level_), component(component_), errorCode(0),
      hasErrorCode(false)
{
    GetLocalTime(&time);
}

namespace {

// Puts the message pointer back to null and the caller's last-error value
// back in place however the manager's handling ends.
template <typename Char>
class DeliveryScope {
public:
    DeliveryScope(const Char*& slot, const Char* text) : slot_(slot), lastError_(GetLastError())
    {
        slot_ = text;
    }
    ~DeliveryScope()
    {
        slot_ = nullptr;
        SetLastError(lastError_);
    }
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;

private:
    const Char*& slot_;
    DWORD lastError_;
};

void deliver(LogRecord& record)
{
    if (record.manager)
        record.manager->log(record);
}

}  // namespace

// msvcrt's _vsn*printf keep Windows' meaning of %s in wide formats (a wide
// string) but leave a cut text unterminated: the last slot is set by hand.
LogRecord& LogRecord::print(const wchar_t* format, ...)
{
    const DWORD lastError = GetLastError();
    wchar_t buffer[messageCapacity];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, messageCapacity - 1, format, args);
    va_end(args);
    buffer[messageCapacity - 1] = L'\0';
    SetLastError(lastError);

    DeliveryScope<wchar_t> scope(message, buffer);
    deliver(*this);
    return *this;
}

LogRecord& LogRecord::print(const char* format, ...)
{
    const DWORD lastError = GetLastError();
    char buffer[messageCapacity];
    va_list args;
    va_start(args, format);
    _vsnprintf(buffer, messageCapacity - 1, format, args);
    va_end(args);
    buffer[messageCapacity - 1] = '\0';
    SetLastError(lastError);

    DeliveryScope<char> scope(narrowMessage, buffer);
    deliver(*this);
    return *this;
}
