#pragma once
// One TCP connection to a collector (or a UDP socket connected to one), and
// the two framings spoken over TCP: octet counting (RFC 6587) and RELP, whose
// collector acknowledges each message. Used by one sender thread at a time;
// nothing here is shared.

#include "TlsSession.h"
#include "UniqueResource.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace LogUtils {

struct SocketCloser {
    void operator()(std::uintptr_t socket) const noexcept;
};
using unique_stream_socket = orn::unique_resource<std::uintptr_t, SocketCloser, ~std::uintptr_t(0)>;

// Loads the sockets library once; false when it cannot be used.
bool streamSocketsAvailable();
// At the module's unload, once no connection is left.
void releaseStreamSockets();

class StreamConnection : private RawChannel {
public:
    // Resolves server (an IPv4 or IPv6 address or a host name, looked up
    // again at every call) and connects to the first address that answers
    // within the time given. A datagram socket is connected to the first
    // address it can reach: nothing answers a datagram.
    bool open(const wchar_t* server, std::uint16_t port, bool datagram, DWORD milliseconds);
    // TLS over the open connection from here on; false, with the reason in
    // problem, when the handshake or the check of the certificate fails.
    bool startTls(const wchar_t* serverName, const wchar_t* caFile, DWORD milliseconds,
                  std::string& problem);
    void close()
    {
        tls_.reset();
        socket_.reset();
    }
    bool isOpen() const { return socket_.get() != ~std::uintptr_t(0); }
    // True when the collector has something to say while nothing is awaited:
    // it closed or reset the connection, or RELP's "serverclose".
    bool peerSpoke();
    // Over a datagram socket, one datagram.
    bool sendAll(const std::string& data);
    // Appends what arrives within the time; false when the connection
    // closed, failed or stayed silent.
    bool receive(std::string& into, DWORD milliseconds);

private:
    bool sendRaw(const char* data, std::size_t length) override;
    bool receiveRaw(std::string& into, DWORD milliseconds) override;

    unique_stream_socket socket_;
    std::unique_ptr<TlsSession> tls_;
};

// "LEN SP MSG", as many as given, in one buffer.
void appendOctetCounted(std::string& out, const std::string& message);

// The client's side of a RELP session over a connection.
class RelpSession {
public:
    // Sends the offer and waits for the collector's "200 OK".
    bool open(StreamConnection& connection, DWORD milliseconds);
    // Frames message as the next "syslog" command; answers its number.
    unsigned frameSyslog(std::string& out, const std::string& message);
    // Takes the responses complete in received (consumed from it): the
    // numbers acknowledged with 200. False when the collector refused a
    // message, closed the session or sent what is no RELP.
    bool takeAcknowledged(std::string& received, std::vector<unsigned>& acknowledged);

private:
    unsigned next_ = 1;
};

}  // namespace LogUtils
