#pragma once
// The two message forms a syslog section sends: the BSD line, or RFC 5424
// with the record's fields as structured data.

#include "LogRecord.h"
#include "LogSink.h"

#include <cstddef>

namespace LogUtils {

enum class SyslogFormat { bsd, rfc5424 };

// The structured data's identifier: the documentation enterprise number of
// RFC 5612, since the product has none registered.
constexpr const char* syslogDataId = "orn@32473";

// Writes the record's message into [buffer, buffer + capacity) and answers
// its length; what does not fit is cut. BSD:
//   "<14> Dec  6 13:05:07            MYPC hello"
// RFC 5424 (the line in UTF-8, after its byte order mark):
//   "<14>1 2026-12-06T13:05:07.042+01:00 MYPC OrnShExt 1234 Info
//    [orn@32473 source=".\ShellExt" line="12" thread="77"] hello"
std::size_t composeSyslogMessage(SyslogFormat format, const LogRecord& record,
                                 ILogSinkStreamer& streamer, char* buffer, std::size_t capacity);

}  // namespace LogUtils
