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

// Characters of an error text, terminator included.
constexpr int errorTextCapacity = 256;

// "Error=5: " or "Error=0x8007000e: " followed by the system's text for the
// code without its trailing line break; the prefix alone when the system has
// none. Keeps the thread's last-error value. Answers the text's length.
int formatErrorText(DWORD code, char (&text)[errorTextCapacity]);

// The executable's file name without folder and extension, cut to 31
// characters: "C:\\x\\a.b.exe" gives "a.b". Answers the name's length.
constexpr int processNameCapacity = 32;
int processNameFromPath(const char* path, char (&name)[processNameCapacity]);

// The fields' numbers and padded texts, written without printf. Each writes
// at `at`, adds no terminator and answers the end of what it wrote; the
// caller gives room for the longest result (11 characters, or the width or
// the text when longer).
// As "%0<width>u": zeros before the digits up to width; width 0 is "%u".
char* putDecimal(char* at, unsigned value, int width = 0);
// As "%d".
char* putSigned(char* at, int value);
// As "%x": lower-case digits, no prefix.
char* putHex(char* at, unsigned value);
// As "%<width>s": blanks before the text up to width; a longer text is kept whole.
char* putRightAligned(char* at, const char* text, int width);

}  // namespace LogUtils
