#include "StreamConnection.h"

#include "SystemLibrary.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" BOOLEAN NTAPI RtlDllShutdownInProgress();

namespace LogUtils {

namespace {

// WS2_32.dll from the system folder, loaded by the first stream section.
struct WinSock2 {
    orn::SystemLibrary library{L"ws2_32.dll"};
#define ORN_WS2(name) decltype(&::name) name = library.procedure<decltype(&::name)>(#name)
    ORN_WS2(WSAStartup);
    ORN_WS2(GetAddrInfoW);
    ORN_WS2(FreeAddrInfoW);
    ORN_WS2(socket);
    ORN_WS2(connect);
    ORN_WS2(closesocket);
    ORN_WS2(ioctlsocket);
    ORN_WS2(select);
    ORN_WS2(getsockopt);
    ORN_WS2(setsockopt);
    ORN_WS2(send);
    ORN_WS2(recv);
#undef ORN_WS2
    bool started = false;

    WinSock2()
    {
        WSADATA data;
        started = WSAStartup && GetAddrInfoW && FreeAddrInfoW && socket && connect && closesocket &&
                  ioctlsocket && select && getsockopt && setsockopt && send && recv &&
                  WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
};

// Made once and given back only at the module's unload: at a program's exit
// a sender may still be in a call when the statics go.
WinSock2* loadedWinSock2 = nullptr;

const WinSock2* winSock2()
{
    static WinSock2* const calls = loadedWinSock2 = new WinSock2;
    return calls->started ? calls : nullptr;
}

// Waits until the socket can be written (or read) or the time is up.
bool ready(SOCKET socket, bool forWriting, DWORD milliseconds)
{
    fd_set set, failed;
    set.fd_count = failed.fd_count = 1;
    set.fd_array[0] = failed.fd_array[0] = socket;
    timeval wait = {static_cast<long>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000};
    const int count = winSock2()->select(0, forWriting ? nullptr : &set,
                                         forWriting ? &set : nullptr, &failed, &wait);
    return count > 0 && set.fd_count == 1;
}

SOCKET connectTo(const WinSock2& ws, const ADDRINFOW& address, DWORD milliseconds)
{
    unique_stream_socket socket(
        ws.socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    const auto s = static_cast<SOCKET>(socket.get());
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    // Not blocking while it connects, so that an address that never answers
    // costs the time given and no more.
    u_long nonBlocking = 1;
    if (ws.ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
        return INVALID_SOCKET;
    if (ws.connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
        !ready(s, true, milliseconds))
        return INVALID_SOCKET;
    int error = 0, size = sizeof error;
    if (ws.getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error != 0)
        return INVALID_SOCKET;
    nonBlocking = 0;
    // A collector that stops reading holds a send for this long at most.
    const DWORD sendLimit = 10000;
    if (ws.ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        ws.setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendLimit),
                      sizeof sendLimit) != 0)
        return INVALID_SOCKET;
    return static_cast<SOCKET>(socket.release());
}

}  // namespace

bool streamSocketsAvailable()
{
    return winSock2() != nullptr;
}

void releaseStreamSockets()
{
    delete loadedWinSock2;
    loadedWinSock2 = nullptr;
}

void SocketCloser::operator()(std::uintptr_t socket) const noexcept
{
    // At process exit Windows closes it, and WS2_32 may be detached already.
    if (!RtlDllShutdownInProgress())
        winSock2()->closesocket(static_cast<SOCKET>(socket));
}

bool StreamConnection::open(const wchar_t* server, std::uint16_t port, bool datagram,
                            DWORD milliseconds)
{
    close();
    const WinSock2* ws = winSock2();
    if (!ws || !server)
        return false;
    wchar_t service[8];
    std::swprintf(service, 8, L"%u", static_cast<unsigned>(port));
    ADDRINFOW hints = {};
    hints.ai_socktype = datagram ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_protocol = datagram ? IPPROTO_UDP : IPPROTO_TCP;
    ADDRINFOW* found = nullptr;
    if (ws->GetAddrInfoW(server, service, &hints, &found) != 0)
        return false;
    for (const ADDRINFOW* address = found; address && !isOpen(); address = address->ai_next) {
        const SOCKET socket = connectTo(*ws, *address, milliseconds);
        if (socket != INVALID_SOCKET)
            socket_.reset(socket);
    }
    ws->FreeAddrInfoW(found);
    return isOpen();
}

bool StreamConnection::startTls(const wchar_t* serverName, const wchar_t* caFile,
                                DWORD milliseconds, std::string& problem)
{
    tls_.reset(new TlsSession);
    if (tls_->start(*this, serverName, caFile, milliseconds, problem))
        return true;
    close();
    return false;
}

bool StreamConnection::peerSpoke()
{
    if (!isOpen() || !ready(static_cast<SOCKET>(socket_.get()), false, 0))
        return false;
    return tls_ ? tls_->peerSpoke(*this) : true;
}

bool StreamConnection::sendAll(const std::string& data)
{
    return tls_ ? tls_->send(*this, data) : sendRaw(data.data(), data.size());
}

bool StreamConnection::receive(std::string& into, DWORD milliseconds)
{
    return tls_ ? tls_->receive(*this, into, milliseconds) : receiveRaw(into, milliseconds);
}

bool StreamConnection::sendRaw(const char* data, std::size_t length)
{
    const WinSock2* ws = winSock2();
    for (std::size_t sent = 0; sent < length;) {
        const int chunk = static_cast<int>(std::min<std::size_t>(length - sent, 1 << 20));
        const int result = ws->send(static_cast<SOCKET>(socket_.get()), data + sent, chunk, 0);
        if (result <= 0)
            return false;
        sent += static_cast<std::size_t>(result);
    }
    return true;
}

bool StreamConnection::receiveRaw(std::string& into, DWORD milliseconds)
{
    const auto socket = static_cast<SOCKET>(socket_.get());
    if (!ready(socket, false, milliseconds))
        return false;
    char buffer[4096];
    const int got = winSock2()->recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0)
        return false;
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

void appendOctetCounted(std::string& out, const std::string& message)
{
    out += std::to_string(message.size());
    out += ' ';
    out += message;
}

namespace {

// One frame "TXNR SP COMMAND SP DATALEN [SP DATA] LF" from the front of
// text; false while it is incomplete, and with bad set when it is no RELP.
bool takeFrame(std::string& text, unsigned& number, std::string& command, std::string& data,
               bool& bad)
{
    bad = false;
    const std::size_t first = text.find(' ');
    const std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
    std::size_t end = second;
    while (end != std::string::npos && end + 1 < text.size() && text[end + 1] >= '0' &&
           text[end + 1] <= '9')
        ++end;
    if (end == std::string::npos || end + 1 >= text.size())
        return false;
    char* stop = nullptr;
    number = static_cast<unsigned>(std::strtoul(text.c_str(), &stop, 10));
    const std::size_t length = std::strtoul(text.c_str() + second + 1, nullptr, 10);
    command = text.substr(first + 1, second - first - 1);
    const std::size_t dataStart = end + 1 + (length ? 1 : 0);
    if (stop != text.c_str() + first || end == second || (length && text[end + 1] != ' ')) {
        bad = true;
        return false;
    }
    if (text.size() < dataStart + length + 1)
        return false;
    if (text[dataStart + length] != '\n') {
        bad = true;
        return false;
    }
    data = text.substr(dataStart, length);
    text.erase(0, dataStart + length + 1);
    return true;
}

void appendFrame(std::string& out, unsigned number, const char* command, const std::string& data)
{
    out += std::to_string(number);
    out += ' ';
    out += command;
    out += ' ';
    out += std::to_string(data.size());
    if (!data.empty()) {
        out += ' ';
        out += data;
    }
    out += '\n';
}

}  // namespace

bool RelpSession::open(StreamConnection& connection, DWORD milliseconds)
{
    next_ = 1;
    std::string offer;
    appendFrame(offer, next_++, "open", "relp_version=0\nrelp_software=OrnShExt\ncommands=syslog");
    if (!connection.sendAll(offer))
        return false;
    std::string received;
    const ULONGLONG until = GetTickCount64() + milliseconds;
    for (;;) {
        unsigned number = 0;
        std::string command, data;
        bool bad = false;
        if (takeFrame(received, number, command, data, bad))
            return number == 1 && command == "rsp" && data.compare(0, 3, "200") == 0;
        const ULONGLONG now = GetTickCount64();
        if (bad || now >= until || !connection.receive(received, static_cast<DWORD>(until - now)))
            return false;
    }
}

unsigned RelpSession::frameSyslog(std::string& out, const std::string& message)
{
    // Numbers run from 1 to 999999999 and then start again at 1.
    const unsigned number = next_;
    next_ = next_ >= 999999999 ? 1 : next_ + 1;
    appendFrame(out, number, "syslog", message);
    return number;
}

bool RelpSession::takeAcknowledged(std::string& received, std::vector<unsigned>& acknowledged)
{
    unsigned number = 0;
    std::string command, data;
    bool bad = false;
    while (takeFrame(received, number, command, data, bad)) {
        if (command != "rsp" || data.compare(0, 3, "200") != 0)
            return false;
        acknowledged.push_back(number);
    }
    return !bad;
}

}  // namespace LogUtils
