#pragma once
// Syslog sections that send over a stream (TCP, RELP), and datagram sections
// whose server is a host name: the caller's line is
// copied into a bounded queue per destination and the caller returns; one
// sender per destination, run by the process's thread pool, connects, sends
// and reconnects. Nothing of this exists in a process until its first stream
// line. What a full queue pushes out is counted by cause and said in a note
// before the next line that goes out; with RELP, lines the collector has not
// acknowledged when a connection drops are sent again.

#include "SyslogMessage.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace LogUtils {

enum class SyslogTransport { udp, tcp, tls, relp, relpTls };

// "udp", "tcp", "tls", "relp", "relp-tls": a section's "transport" values.
const wchar_t* syslogTransportName(SyslogTransport transport);

struct StreamDestination {
    SyslogTransport transport = SyslogTransport::tcp;
    SyslogFormat format = SyslogFormat::bsd;
    std::wstring server;
    std::uint16_t port = 0;
    std::size_t queueBytes = 0;
    std::wstring ca;  // TLS: the only CA to accept (a file), or empty: the machine's roots
    std::wstring serverName;  // TLS: the name the certificate must carry, or empty: the server
};

// A stream section's messages are at most this long; longer ones are cut.
constexpr std::size_t streamMessageCapacity = 4096;
// How long a module's unload and a program's exit wait for the queues.
constexpr ULONGLONG streamDrainMilliseconds = 2000;

// Copies message into the destination's queue; never waits on the network.
void queueStreamMessage(const StreamDestination& destination, const char* message,
                        std::size_t length);

// The module's DllCanUnloadNow: true when every queue is empty, or once
// queues stayed full for streamDrainMilliseconds since the first call that
// found them so; what is then given up is counted on the debugger output.
bool streamQueuesDrained();

// The module's entry point at its detach (under the loader lock): nothing
// then waits for a queue. At an unload the senders' memory and connections
// are given back; at process exit nothing is touched.
void streamSendersDetached(bool processExit);

}  // namespace LogUtils
