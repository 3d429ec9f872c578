#include "LogFormatter.h"

#include "FileNamePart.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

namespace LogUtils {

namespace {

// Characters of an error text, terminator included.
constexpr int errorTextCapacity = 256;

// Every record formats its stamps: digits by hand, since snprintf costs more
// than the rest of the line together. Each writer answers the end of what it
// wrote, as "%0<width>u", "%d", "%x" and "%<width>s" print.
char* putDecimal(char* at, unsigned value, int width = 0)
{
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (int pad = width - count; pad > 0; --pad)
        *at++ = '0';
    while (count)
        *at++ = digits[--count];
    return at;
}

char* putSigned(char* at, int value)
{
    if (value < 0) {
        *at++ = '-';
        // Negated as unsigned, so that the most negative value keeps its digits.
        return putDecimal(at, 0u - static_cast<unsigned>(value));
    }
    return putDecimal(at, static_cast<unsigned>(value));
}

char* putHex(char* at, unsigned value)
{
    char digits[8];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    while (count)
        *at++ = digits[--count];
    return at;
}

char* putRightAligned(char* at, const char* text, int width)
{
    const std::size_t length = std::strlen(text);
    for (int pad = width - static_cast<int>(length); pad > 0; --pad)
        *at++ = ' ';
    std::memcpy(at, text, length);
    return at + length;
}

// "Error=5: " or "Error=0x8007000e: " followed by the system's text for the
// code without its trailing line break; the prefix alone when the system has
// none. Keeps the thread's last-error value.
void formatErrorText(DWORD code, char (&text)[errorTextCapacity])
{
    const DWORD lastError = GetLastError();
    int length =
        code >= 0x80000000u
            ? std::snprintf(text, errorTextCapacity, "Error=0x%08lx: ", code)
            : std::snprintf(text, errorTextCapacity, "Error=%ld: ", static_cast<long>(code));
    if (length < 0)
        length = 0;
    const DWORD room = static_cast<DWORD>(errorTextCapacity - 1 - length);
    const DWORD written =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text + length, room, nullptr);
    // A failed call may leave anything in the room it was given.
    length += written < room ? static_cast<int>(written) : 0;
    text[length] = '\0';
    // Control characters, the line break above all, end the system's texts.
    while (length > 0 &&
           (static_cast<unsigned char>(text[length - 1]) < 0x20 || text[length - 1] == 0x7f)) {
        --length;
        text[length] = '\0';
    }
    SetLastError(lastError);
}

// The process's name never changes: worked out on first use and only read
// afterwards, so formatting holds no lock. Nothing to run at unload: a late
// record still finds it.
struct ProcessName {
    ProcessName()
    {
        char path[MAX_PATH + 1] = {};
        const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
        path[length < MAX_PATH ? length : MAX_PATH] = '\0';
        processNameFromPath(path, text);
    }
    char text[processNameCapacity] = {};
};
static_assert(std::is_trivially_destructible<ProcessName>::value, "kept until the end");

const char* processName()
{
    static const ProcessName name;
    return name.text;
}

// Code letters' outputs never need more than this, but for %m and %U.
constexpr int fieldCapacity = 64;

// A field built in text, [text, end), written as one string.
void writeField(OStream<char>& out, char* text, char* end)
{
    *end = '\0';
    out.writeString(text);
}

void writeSigned(OStream<char>& out, int value)
{
    char text[fieldCapacity];
    writeField(out, text, putSigned(text, value));
}

// Decimal, but hexadecimal when the value is negative as a signed number or
// when asked for.
void writeIdentifier(OStream<char>& out, DWORD value, bool hex)
{
    char text[fieldCapacity];
    writeField(out, text,
               hex || static_cast<LONG>(value) < 0 ? putHex(text, value) : putDecimal(text, value));
}

void writeDate(OStream<char>& out, const SYSTEMTIME& time, bool full)
{
    char text[fieldCapacity];
    char* end = text;
    if (full) {
        end = putDecimal(end, time.wYear, 4);
        *end++ = '-';
    }
    end = putDecimal(end, time.wMonth, 2);
    *end++ = '-';
    end = putDecimal(end, time.wDay, 2);
    writeField(out, text, end);
}

void writeTime(OStream<char>& out, const SYSTEMTIME& time, bool full)
{
    char text[fieldCapacity];
    char* end = putDecimal(text, time.wHour, 2);
    *end++ = ':';
    end = putDecimal(end, time.wMinute, 2);
    *end++ = ':';
    end = putDecimal(end, time.wSecond, 2);
    *end++ = '.';
    end = putDecimal(end, time.wMilliseconds, 3);
    // Without the flag, the first eight characters of the whole time.
    writeField(out, text, full ? end : text + 8);
}

void writeProcessName(OStream<char>& out)
{
    char text[fieldCapacity];
    writeField(out, text, putRightAligned(text, processName(), 8));
}

void writeSourceFile(OStream<char>& out, const char* sourceFile, bool whole)
{
    if (!sourceFile)
        return;
    out.writeString(whole ? sourceFile : orn::fileNamePart(sourceFile));
}

void writeUserName(OStream<char>& out)
{
    char name[257];
    DWORD size = sizeof name;
    if (GetUserNameA(name, &size)) {
        name[sizeof name - 1] = '\0';
        out.writeString(name);
    }
}

void writeSession(OStream<char>& out)
{
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
        session = 0;
    char text[fieldCapacity];
    writeField(out, text, putDecimal(text, session));
}

void writeWindowStation(OStream<char>& out)
{
    char name[261] = {};
    DWORD needed = 0;
    // The process's window station handle is not to be closed.
    const HWINSTA station = GetProcessWindowStation();
    if (station && GetUserObjectInformationA(station, UOI_NAME, name, sizeof name, &needed)) {
        name[sizeof name - 1] = '\0';
        out.writeString(name);
    }
}

void writeMessage(OStream<char>& out, const LogRecord& record)
{
    if (record.message) {
        // Twice (length plus one) bytes holds any double-byte code page; a
        // code page needing more gets a buffer of the size it asks for.
        const std::size_t length = std::wcslen(record.message);
        char buffer[2 * LogRecord::messageCapacity];
        if ((length + 1) * 2 <= sizeof buffer &&
            WideCharToMultiByte(CP_THREAD_ACP, 0, record.message, -1, buffer,
                                static_cast<int>((length + 1) * 2), nullptr, nullptr) > 0) {
            out.writeString(buffer);
        } else {
            const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, record.message, -1, nullptr, 0,
                                                   nullptr, nullptr);
            if (needed > 0) {
                std::string narrow(static_cast<std::size_t>(needed), '\0');
                if (WideCharToMultiByte(CP_THREAD_ACP, 0, record.message, -1, &narrow[0], needed,
                                        nullptr, nullptr) > 0)
                    out.writeString(narrow.c_str());
            }
        }
    } else {
        out.writeString(record.narrowMessage);
    }
    if (record.hasErrorCode) {
        char text[errorTextCapacity];
        formatErrorText(record.errorCode, text);
        out.writeBytes(" ", 1);
        out.writeString(text);
    }
}

void writeLevel(OStream<char>& out, int level)
{
    if (level >= 0 && level < logLevelCount)
        out.writeString(logLevelNames[level]);
    else
        writeSigned(out, level);
}

// Literal text of the format, gathered so that a run costs one write.
class LiteralRun {
public:
    explicit LiteralRun(OStream<char>& out) : out_(out) {}
    ~LiteralRun() = default;
    void add(wchar_t c)
    {
        if (used_ == sizeof text_)
            flush();
        // Formats are ASCII; anything else stands as a question mark.
        text_[used_++] = c < 0x80 ? static_cast<char>(c) : '?';
    }
    void flush()
    {
        if (used_)
            out_.writeBytes(text_, used_);
        used_ = 0;
    }

private:
    OStream<char>& out_;
    char text_[128];
    std::size_t used_ = 0;
};

}  // namespace

int processNameFromPath(const char* path, char (&name)[processNameCapacity])
{
    name[0] = '\0';
    if (!path)
        return 0;
    const char* begin = orn::fileNamePart(path);
    const char* end = begin + std::strlen(begin);
    for (const char* c = end; c != begin; --c) {
        if (c[-1] == '.') {
            end = c - 1;
            break;
        }
    }
    std::size_t length = static_cast<std::size_t>(end - begin);
    if (length > processNameCapacity - 1)
        length = processNameCapacity - 1;
    std::memcpy(name, begin, length);
    name[length] = '\0';
    return static_cast<int>(length);
}

bool LogFormatter::format(OStream<char>& out, const wchar_t* format, const LogRecord& record)
{
    if (!format)
        return true;
    LiteralRun literal(out);
    bool inCode = false;
    bool plus = false;
    for (const wchar_t* c = format; *c; ++c) {
        if (!inCode) {
            if (*c == L'%') {
                inCode = true;
                plus = false;
            } else {
                literal.add(*c);
            }
            continue;
        }
        if (*c == L'+') {
            plus = true;
            continue;
        }
        if (*c == L'-')
            continue;
        inCode = false;
        literal.flush();
        switch (*c) {
        case L'%': out.writeBytes("%", 1); break;
        case L'D': writeDate(out, record.time, plus); break;
        case L'T': writeTime(out, record.time, plus); break;
        case L'L': writeSigned(out, record.sourceLine); break;
        case L'P': writeProcessName(out); break;
        case L'U': writeUserName(out); break;
        case L'f': out.writeString(record.component); break;
        case L'i': writeSession(out); break;
        case L'l': writeLevel(out, record.level); break;
        case L'm': writeMessage(out, record); break;
        case L'p': writeIdentifier(out, record.processId, plus); break;
        case L's': writeSourceFile(out, record.sourceFile, plus); break;
        case L't': writeIdentifier(out, record.threadId, plus); break;
        case L'w': writeWindowStation(out); break;
        default: break;  // an unknown code is dropped, the rest of the line kept
        }
    }
    literal.flush();
    return true;
}

// Never destroyed, so that a record logged from another object's destructor
// at unload still finds it; it owns nothing.
LogFormatter& logFormatter()
{
    alignas(LogFormatter) static unsigned char storage[sizeof(LogFormatter)];
    static LogFormatter* const formatter = new (storage) LogFormatter;
    return *formatter;
}

}  // namespace LogUtils
