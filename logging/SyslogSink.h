#pragma once
// Sends each line as one BSD-style syslog datagram over UDP.

#include "LogRecord.h"
#include "LogSink.h"
#include "SyslogMessage.h"

#include <cstdint>

namespace LogUtils {

// How a datagram section reaches its server. An address is sent to from the
// caller's thread; a host name is never looked up there: its lines go to the
// queue of a background sender, which looks it up.
//   "10.0.0.7"         => ipv4
//   "::1", "fe80::1%3" => ipv6
//   "logs.example.net" => name
//   null, ""           => none: nothing is sent
enum class SyslogTarget { none, ipv4, ipv6, name };
SyslogTarget syslogTarget(const char* server);

class SyslogSink : public ILogSink {
public:
    static constexpr std::uint16_t defaultPort = 514;
    static constexpr int datagramCapacity = 1024;

    // server: dotted IPv4 or IPv6 text, or anything else (then this sink
    // sends nothing: see syslogTarget); port 0 means 514. The record must
    // outlive the sink.
    SyslogSink(const LogRecord& record, const char* server, std::uint16_t port,
               SyslogFormat format = SyslogFormat::bsd);

    // One datagram, "<14> Dec  6 13:05:07            MYPC hello", cut at
    // 1024 bytes. True when the system accepted it.
    bool write(ILogSinkStreamer& streamer) override;

    SyslogTarget target() const { return target_; }

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
    // sockaddr_in6 likewise.
    struct Destination6 {
        std::uint16_t family;
        std::uint16_t port;
        std::uint32_t flowInfo;
        std::uint8_t address[16];
        std::uint32_t scopeId;
    };
    static_assert(sizeof(Destination6) == 28, "sockaddr_in6 is 28 bytes");

    Destination destination_;
    const LogRecord* record_;
    SyslogTarget target_;
    SyslogFormat format_;
    Destination6 destination6_;
};

}  // namespace LogUtils
