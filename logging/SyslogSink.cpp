#include "SyslogSink.h"

#include "SystemLibrary.h"
#include "UniqueResource.h"

#include <winsock.h>

extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress();
// ntdll's parser: no lookup, no sockets library.
extern "C" LONG NTAPI RtlIpv6StringToAddressExA(const char* text, void* address, ULONG* scopeId,
                                                USHORT* port);

namespace LogUtils {

namespace {

// Windows' value; WSOCK32's header predates it.
constexpr int familyIpv6 = 23;

// WSOCK32.dll, loaded by the first syslog section.
struct WinSock {
    orn::SystemLibrary library{L"wsock32.dll"};
    decltype(&::WSAStartup) startup = library.procedure<decltype(&::WSAStartup)>("WSAStartup");
    decltype(&::socket) open = library.procedure<decltype(&::socket)>("socket");
    decltype(&::closesocket) close = library.procedure<decltype(&::closesocket)>("closesocket");
    decltype(&::sendto) sendTo = library.procedure<decltype(&::sendto)>("sendto");
    decltype(&::inet_addr) address = library.procedure<decltype(&::inet_addr)>("inet_addr");
    decltype(&::htons) toNetworkOrder = library.procedure<decltype(&::htons)>("htons");
};

const WinSock* winSock()
{
    static const WinSock calls;
    return calls.startup && calls.open && calls.close && calls.sendTo && calls.address &&
                   calls.toNetworkOrder
               ? &calls
               : nullptr;
}

// Only an unload of the module closes the socket: at process exit Windows
// closes it, and WSOCK32, when the module loaded it, has been detached
// before the module by then.
struct CloseSocket {
    void operator()(SOCKET socket) const noexcept
    {
        if (!RtlDllShutdownInProgress())
            winSock()->close(socket);
    }
};

using unique_socket = orn::unique_resource<SOCKET, CloseSocket, INVALID_SOCKET>;

unique_socket openSyslogSocket(int family)
{
    const WinSock* calls = winSock();
    WSADATA data;
    if (!calls || calls->startup(MAKEWORD(2, 2), &data) != 0)
        return unique_socket();
    return unique_socket(calls->open(family, SOCK_DGRAM, IPPROTO_UDP));
}

// One UDP socket per address family for the whole process, made by the
// first syslog write to that family (a thread racing it waits until it is
// made) and closed at unload. A failed creation stays failed.
SOCKET syslogSocket(bool ipv6)
{
    if (ipv6) {
        static const unique_socket socket6 = openSyslogSocket(familyIpv6);
        return socket6.get();
    }
    static const unique_socket socket = openSyslogSocket(AF_INET);
    return socket.get();
}

// The one reading of a server text; the addresses go where given.
SyslogTarget parseServer(const WinSock& calls, const char* server, std::uint32_t& ipv4, void* ipv6,
                         ULONG& scopeId)
{
    if (!server || !*server)
        return SyslogTarget::none;
    ipv4 = calls.address(server);
    if (ipv4 != INADDR_NONE)
        return SyslogTarget::ipv4;
    USHORT ignoredPort = 0;
    if (RtlIpv6StringToAddressExA(server, ipv6, &scopeId, &ignoredPort) == 0)
        return SyslogTarget::ipv6;
    return SyslogTarget::name;
}

}  // namespace

SyslogTarget syslogTarget(const char* server)
{
    const WinSock* calls = winSock();
    std::uint32_t ipv4 = 0;
    std::uint8_t ipv6[16];
    ULONG scopeId = 0;
    return calls ? parseServer(*calls, server, ipv4, ipv6, scopeId) : SyslogTarget::none;
}

SyslogSink::SyslogSink(const LogRecord& record, const char* server, std::uint16_t port,
                       SyslogFormat format)
    : destination_(), record_(&record), target_(SyslogTarget::none), format_(format),
      destination6_()
{
    const WinSock* calls = winSock();
    if (!calls)
        return;
    ULONG scopeId = 0;
    target_ = parseServer(*calls, server, destination_.address, destination6_.address, scopeId);
    destination_.family = AF_INET;
    destination_.port = calls->toNetworkOrder(port ? port : defaultPort);
    destination6_.family = familyIpv6;
    destination6_.port = destination_.port;
    destination6_.scopeId = scopeId;
}

bool SyslogSink::write(ILogSinkStreamer& streamer)
{
    const bool ipv6 = target_ == SyslogTarget::ipv6;
    if (!ipv6 && target_ != SyslogTarget::ipv4)
        return false;
    const SOCKET socket = syslogSocket(ipv6);
    if (socket == INVALID_SOCKET)
        return false;

    char datagram[datagramCapacity];
    const auto length = static_cast<int>(
        composeSyslogMessage(format_, *record_, streamer, datagram, sizeof datagram));
    const auto to = ipv6 ? reinterpret_cast<const sockaddr*>(&destination6_)
                         : reinterpret_cast<const sockaddr*>(&destination_);
    return winSock()->sendTo(socket, datagram, length, 0, to,
                             ipv6 ? sizeof destination6_ : sizeof destination_) != SOCKET_ERROR;
}

}  // namespace LogUtils
