#include "SyslogMessage.h"

#include <cstdio>
#include <cstring>

namespace LogUtils {

namespace {

const char* const monthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The computer's name, empty when it cannot be read. Read once per process:
// the name a running system reports changes only with a restart, and reading
// it is a registry lookup each time.
struct ComputerName {
    char text[16] = {};
    ComputerName()
    {
        DWORD size = sizeof text;
        if (!GetComputerNameA(text, &size))
            std::memset(text, 0, sizeof text);
    }
};

const char* computerName()
{
    static const ComputerName name;
    return name.text;
}

std::size_t bounded(int written, std::size_t capacity)
{
    if (written < 0)
        return 0;
    return static_cast<std::size_t>(written) < capacity ? static_cast<std::size_t>(written)
                                                        : capacity;
}

std::size_t bsdHeader(const LogRecord& record, char* buffer, std::size_t capacity)
{
    const char* host = computerName();
    const SYSTEMTIME& time = record.time;
    const char* month = time.wMonth >= 1 && time.wMonth <= 12 ? monthNames[time.wMonth - 1] : "???";
    return bounded(std::snprintf(buffer, capacity, "<%1u> %s %2u %02u:%02u:%02u %15s ",
                                 8u + static_cast<unsigned>(record.level), month, time.wDay,
                                 time.wHour, time.wMinute, time.wSecond, host),
                   capacity);
}

// Minutes east of UTC of the record's local time: its distance from the
// present in UTC, in quarter hours (every zone's offset is one), since the
// record was stamped a moment ago.
int utcOffsetMinutes(const SYSTEMTIME& local)
{
    FILETIME localFile, now;
    if (!SystemTimeToFileTime(&local, &localFile))
        return 0;
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                      t.dwLowDateTime);
    };
    const long long quarter = 15LL * 60 * 10000000;
    const long long difference = ticks(localFile) - ticks(now);
    const long long quarters = (difference + (difference < 0 ? -quarter : quarter) / 2) / quarter;
    return static_cast<int>(quarters * 15);
}

// A header field of printable ASCII without blanks, "-" when empty.
void appendName(FixedBuffer_OStream& out, const char* text, std::size_t limit)
{
    std::size_t written = 0;
    for (; text && *text && written < limit; ++text) {
        const unsigned char c = static_cast<unsigned char>(*text);
        if (c > 32 && c < 127) {
            out.writeBytes(text, 1);
            ++written;
        }
    }
    if (!written)
        out.writeBytes("-", 1);
}

// A parameter value: '"', '\' and ']' escaped with '\'.
void appendParameter(FixedBuffer_OStream& out, const char* name, const char* value)
{
    out.writeBytes(" ", 1);
    out.writeString(name);
    out.writeBytes("=\"", 2);
    for (; value && *value; ++value) {
        if (*value == '"' || *value == '\\' || *value == ']')
            out.writeBytes("\\", 1);
        out.writeBytes(value, 1);
    }
    out.writeBytes("\"", 1);
}

// The line in the ANSI code page the formatter writes, as UTF-8.
std::size_t lineInUtf8(ILogSinkStreamer& streamer, char* buffer, std::size_t capacity)
{
    if (!capacity)
        return 0;
    char line[LogRecord::messageCapacity * 2];
    FixedBuffer_OStream out(line, line + sizeof line);
    streamer.stream(out);
    const int length = static_cast<int>(out.position() - line);
    bool ascii = true;
    for (int i = 0; i < length && ascii; ++i)
        ascii = static_cast<unsigned char>(line[i]) < 128;
    if (ascii) {
        const std::size_t copied = static_cast<std::size_t>(length) < capacity ? length : capacity;
        std::memcpy(buffer, line, copied);
        return copied;
    }
    wchar_t wide[sizeof line];
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, line, length, wide, sizeof line);
    // Whole characters only: what fits, measured before converting.
    int taken = 0;
    std::size_t bytes = 0;
    while (taken < wideLength) {
        const wchar_t c = wide[taken];
        const bool pair = c >= 0xD800 && c < 0xDC00 && taken + 1 < wideLength;
        const std::size_t need = pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        if (bytes + need > capacity)
            break;
        bytes += need;
        taken += pair ? 2 : 1;
    }
    if (!taken)
        return 0;
    return static_cast<std::size_t>(WideCharToMultiByte(
        CP_UTF8, 0, wide, taken, buffer, static_cast<int>(capacity), nullptr, nullptr));
}

std::size_t rfc5424(const LogRecord& record, ILogSinkStreamer& streamer, char* buffer,
                    std::size_t capacity)
{
    const SYSTEMTIME& time = record.time;
    const int offset = utcOffsetMinutes(time);
    const int distance = offset < 0 ? -offset : offset;
    std::size_t length = bounded(
        std::snprintf(buffer, capacity, "<%u>1 %04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02d:%02d ",
                      8u + static_cast<unsigned>(record.level), time.wYear, time.wMonth, time.wDay,
                      time.wHour, time.wMinute, time.wSecond, time.wMilliseconds,
                      offset < 0 ? '-' : '+', distance / 60, distance % 60),
        capacity);
    FixedBuffer_OStream out(buffer + length, buffer + capacity);
    appendName(out, computerName(), 255);
    out.writeBytes(" ", 1);
    appendName(out, record.component, 48);
    char number[16];
    std::snprintf(number, sizeof number, " %lu ", static_cast<unsigned long>(record.processId));
    out.writeString(number);
    const bool knownLevel = record.level >= 0 && record.level < logLevelCount;
    appendName(out, knownLevel ? logLevelNames[record.level] : nullptr, 32);
    out.writeBytes(" [", 2);
    out.writeString(syslogDataId);
    appendParameter(out, "source", record.sourceFile);
    std::snprintf(number, sizeof number, "%d", record.sourceLine);
    appendParameter(out, "line", number);
    std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(record.threadId));
    appendParameter(out, "thread", number);
    if (record.hasErrorCode) {
        std::snprintf(number, sizeof number, "0x%08lx",
                      static_cast<unsigned long>(record.errorCode));
        appendParameter(out, "error", number);
    }
    out.writeString("] \xEF\xBB\xBF");
    length = static_cast<std::size_t>(out.position() - buffer);
    return length + lineInUtf8(streamer, buffer + length, capacity - length);
}

}  // namespace

std::size_t composeSyslogMessage(SyslogFormat format, const LogRecord& record,
                                 ILogSinkStreamer& streamer, char* buffer, std::size_t capacity)
{
    if (format == SyslogFormat::rfc5424)
        return rfc5424(record, streamer, buffer, capacity);
    const std::size_t header = bsdHeader(record, buffer, capacity);
    FixedBuffer_OStream out(buffer + header, buffer + capacity);
    streamer.stream(out);
    return static_cast<std::size_t>(out.position() - buffer);
}

}  // namespace LogUtils
