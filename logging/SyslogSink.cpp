#include "SyslogSink.h"

#include "SystemLibrary.h"
#include "UniqueResource.h"

#include <winsock.h>

extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress();

namespace LogUtils {

namespace {

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

unique_socket openSyslogSocket()
{
    const WinSock* calls = winSock();
    WSADATA data;
    if (!calls || calls->startup(MAKEWORD(2, 2), &data) != 0)
        return unique_socket();
    return unique_socket(calls->open(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
}

// One UDP socket for the whole process, made by the first syslog write (a
// thread racing it waits until it is made) and closed at unload. A failed
// creation stays failed.
SOCKET syslogSocket()
{
    static const unique_socket socket = openSyslogSocket();
    return socket.get();
}

}  // namespace

SyslogSink::SyslogSink(const LogRecord& record, const char* server, std::uint16_t port,
                       SyslogFormat format)
    : destination_(), record_(&record), hasDestination_(false), format_(format)
{
    const WinSock* calls = winSock();
    if (!calls)
        return;
    destination_.family = AF_INET;
    destination_.port = calls->toNetworkOrder(port ? port : defaultPort);
    if (server) {
        destination_.address = calls->address(server);
        // Host names are not resolved; they leave the sink without a target.
        hasDestination_ = destination_.address != INADDR_NONE;
    }
}

bool SyslogSink::write(ILogSinkStreamer& streamer)
{
    if (!hasDestination_)
        return false;
    const SOCKET socket = syslogSocket();
    if (socket == INVALID_SOCKET)
        return false;

    char datagram[datagramCapacity];
    const auto length = static_cast<int>(
        composeSyslogMessage(format_, *record_, streamer, datagram, sizeof datagram));
    return winSock()->sendTo(socket, datagram, length, 0,
                             reinterpret_cast<const sockaddr*>(&destination_),
                             sizeof destination_) != SOCKET_ERROR;
}

}  // namespace LogUtils
