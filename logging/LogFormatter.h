#pragma once
// Turns a record into one line by a format such as "%D %T %P:%+p %m".

#include "LogRecord.h"
#include "OStream.h"

namespace LogUtils {

class ILogFormatter {
public:
    // Writes the line (no terminator, no line ending) and answers true. A
    // null format writes nothing.
    virtual bool format(OStream<char>& out, const wchar_t* format, const LogRecord& record) = 0;
    virtual ~ILogFormatter() = default;
};

// Stateless apart from process-wide values computed once; any number of
// threads may format at once.
class LogFormatter : public ILogFormatter {
public:
    bool format(OStream<char>& out, const wchar_t* format, const LogRecord& record) override;
};

// The one formatter of the process, made on first use.
LogFormatter& logFormatter();

// The executable's file name without folder and extension, cut to 31
// characters: "C:\\x\\a.b.exe" gives "a.b". Answers the name's length.
constexpr int processNameCapacity = 32;
int processNameFromPath(const char* path, char (&name)[processNameCapacity]);

}  // namespace LogUtils
