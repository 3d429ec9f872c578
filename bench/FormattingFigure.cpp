// Figure 2: the formatter writing the default line into a fixed buffer,
// against one snprintf of the same fields.
#include "Figures.h"

#include "LogFormatter.h"
#include "OStream.h"

#include <cstdio>
#include <cstring>

namespace bench {
namespace {

// The default line's fields written digit by digit into the same stream,
// one write per field as the formatter makes them: what the formatter's
// fields would cost without a printf per field.
void writeTwo(char* at, unsigned value)
{
    at[0] = static_cast<char>('0' + value / 10 % 10);
    at[1] = static_cast<char>('0' + value % 10);
}

void digitByDigit(LogUtils::OStream<char>& out, const LogRecord& record, const char* process)
{
    char text[16];
    writeTwo(text, record.time.wMonth);
    text[2] = '-';
    writeTwo(text + 3, record.time.wDay);
    out.writeBytes(text, 5);
    out.writeBytes(" ", 1);
    writeTwo(text, record.time.wHour);
    text[2] = ':';
    writeTwo(text + 3, record.time.wMinute);
    text[5] = ':';
    writeTwo(text + 6, record.time.wSecond);
    out.writeBytes(text, 8);
    out.writeBytes(" ", 1);
    const std::size_t length = std::strlen(process);
    if (length < 8)
        out.writeBytes("        ", 8 - length);
    out.writeBytes(process, length);
    out.writeBytes(":", 1);
    char* end = text + sizeof text;
    char* p = end;
    DWORD id = record.processId;
    do
        *--p = "0123456789abcdef"[id & 15];
    while (id >>= 4);
    out.writeBytes(p, static_cast<std::size_t>(end - p));
    out.writeBytes(" ", 1);
    out.writeString(record.narrowMessage);
}

}  // namespace

Figure formatting()
{
    LogRecord record(".\\ShellExt", 185, LevelError, "OrnShExt", nullptr);
    record.narrowMessage = message;
    const LineFields fields = lineFields();
    LogUtils::LogFormatter& formatter = LogUtils::logFormatter();
    char buffer[1024];
    const Figure figure = compare(
        "2 formatting: LogFormatter into FixedBuffer_OStream", 1.5, 15, 5000,
        [&](int) {
            FixedBuffer_OStream out(buffer, buffer + sizeof buffer);
            formatter.format(out, defaultFormat, record);
            sink = static_cast<int>(out.position() - buffer);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    const Figure digits = compare(
        "fields digit by digit", 1.5, 15, 5000,
        [&](int) {
            FixedBuffer_OStream out(buffer, buffer + sizeof buffer);
            digitByDigit(out, record, fields.process);
            sink = static_cast<int>(out.position() - buffer);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    char text[160];
    std::snprintf(text, sizeof text,
                  "   2  reference: the same fields written digit by digit by hand: "
                  "%.2f us, ratio %.2f",
                  digits.ours, digits.ratio);
    details.push_back(text);
    return figure;
}

}  // namespace bench
