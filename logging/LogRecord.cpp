#include "LogRecord.h"

#include "UniqueResource.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

const char* const logLevelNames[logLevelCount] = {
    "Emergency", "Alert", "CriticalError", "Error", "Warning", "Notice", "Info", "Debug",
};

int levelNamed(const char* name)
{
    if (!name)
        return -1;
    const size_t length = std::strlen(name);
    for (int level = 0; level < logLevelCount; ++level) {
        // Comparing length characters also compares the name's terminator when
        // the text is longer than the name, so "Errors" matches nothing.
        if (_strnicmp(logLevelNames[level], name, length) == 0)
            return level;
    }
    return -1;
}

int levelFromName(const char* name)
{
    const int level = levelNamed(name);
    return level < 0 ? LevelDebug : level;
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

using MessageText = char[LogRecord::messageCapacity];
using WideMessageText = wchar_t[LogRecord::messageCapacity];

int formatInto(WideMessageText& text, const wchar_t* format, va_list args)
{
    return _vsnwprintf(text, LogRecord::messageCapacity - 1, format, args);
}

int formatInto(MessageText& text, const char* format, va_list args)
{
    return _vsnprintf(text, LogRecord::messageCapacity - 1, format, args);
}

// msvcrt's _vsn*printf keep Windows' meaning of %s in wide formats (a wide
// string) but leave a cut text unterminated: the last slot is set by hand.
// Answers the caller's last-error value, which formatting leaves in place.
template <typename Char>
DWORD formatMessage(Char (&text)[LogRecord::messageCapacity], const Char* format, va_list args)
{
    const DWORD lastError = GetLastError();
    formatInto(text, format, args);
    text[LogRecord::messageCapacity - 1] = Char();
    SetLastError(lastError);
    return lastError;
}

// The slot and the caller's last-error value are put back however the
// manager's handling ends.
template <typename Char>
void deliver(LogRecord& record, const Char*& slot, const Char* text, DWORD lastError)
{
    if (!record.manager)
        return;
    slot = text;
    const auto restore = orn::scope_exit([&] {
        slot = nullptr;
        SetLastError(lastError);
    });
    record.manager->log(record);
}

}  // namespace

LogRecord& LogRecord::print(const wchar_t* format, ...)
{
    WideMessageText text;
    va_list args;
    va_start(args, format);
    const DWORD lastError = formatMessage(text, format, args);
    va_end(args);
    deliver(*this, message, text, lastError);
    return *this;
}

LogRecord& LogRecord::print(const char* format, ...)
{
    MessageText text;
    va_list args;
    va_start(args, format);
    const DWORD lastError = formatMessage(text, format, args);
    va_end(args);
    deliver(*this, narrowMessage, text, lastError);
    return *this;
}
