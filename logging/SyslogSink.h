#pragma once
// Sends each line as one BSD-style syslog datagram over UDP.

#include "LogRecord.h"
#include "LogSink.h"
#include "SyslogMessage.h"

#include <cstdint>

namespace LogUtils {

class SyslogSink : public ILogSink {
public:
    static constexpr std::uint16_t defaultPort = 514;
    static constexpr int datagramCapacity = 1024;

    // server: dotted IPv4 text, or null (then nothing is sent); port 0 means
    // 514. The record must outlive the sink.
    SyslogSink(const LogRecord& record, const char* server, std::uint16_t port,
               SyslogFormat format = SyslogFormat::bsd);

    // One datagram, "<14> Dec  6 13:05:07            MYPC hello", cut at
    // 1024 bytes. True when the system accepted it.
    bool write(ILogSinkStreamer& streamer) override;

private:
    // sockaddr_in in its wire layout: family, port and address in network
    // byte order, eight zero bytes.
    struct Destination {
        std::uint16_t family;
        std::uint16_t port;
        std::uint32_t address;
        std::uint8_t zero[8];
    };
    static_assert(sizeof(Destination) == 16, "sockaddr_in is 16 bytes");

    Destination destination_;
    const LogRecord* record_;
    bool hasDestination_;
    SyslogFormat format_;
};

}  // namespace LogUtils
