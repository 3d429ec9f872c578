#pragma once
// Collectors on the loopback address for the syslog sections: UDP, and TCP
// for the stream transports.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

namespace output_test {

class Collector {
public:
    // On 127.0.0.1, or on ::1.
    explicit Collector(u_short port = 0, bool ipv6 = false)
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in6 address6 = {};
        address6.sin6_family = AF_INET6;
        address6.sin6_port = htons(port);
        address6.sin6_addr = in6addr_loopback;
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr* any = ipv6 ? reinterpret_cast<sockaddr*>(&address6)
                             : reinterpret_cast<sockaddr*>(&address);
        int size = ipv6 ? sizeof address6 : sizeof address;
        bound_ = bind(socket_, any, size) == 0;
        getsockname(socket_, any, &size);
        port_ = ntohs(ipv6 ? address6.sin6_port : address.sin_port);
    }
    ~Collector() { closesocket(socket_); }

    bool bound() const { return bound_; }
    u_short port() const { return port_; }

    // The next datagram, or "<none>" when none comes within the wait.
    std::string receive(int milliseconds = 5000)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket_, &set);
        timeval wait = {milliseconds / 1000, (milliseconds % 1000) * 1000};
        if (select(0, &set, nullptr, nullptr, &wait) != 1)
            return "<none>";
        char buffer[4096];
        const int got = recv(socket_, buffer, sizeof buffer, 0);
        return got < 0 ? "<error>" : std::string(buffer, got);
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    bool bound_ = false;
    u_short port_ = 0;
};

}  // namespace output_test

namespace output_test {

// A TCP collector on the loopback address that listens only when told, so
// that a sender first finds it refusing; reads octet-counted messages or
// RELP frames from the connections it accepts.
class StreamListener {
public:
    // On 127.0.0.1, or on ::1.
    explicit StreamListener(bool ipv6 = false)
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in6 address6 = {};
        address6.sin6_family = AF_INET6;
        address6.sin6_addr = in6addr_loopback;
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr* any = ipv6 ? reinterpret_cast<sockaddr*>(&address6)
                             : reinterpret_cast<sockaddr*>(&address);
        int size = ipv6 ? sizeof address6 : sizeof address;
        bind(listener_, any, size);
        getsockname(listener_, any, &size);
        port_ = ntohs(ipv6 ? address6.sin6_port : address.sin_port);
    }
    ~StreamListener()
    {
        dropClient();
        closesocket(listener_);
    }

    u_short port() const { return port_; }
    bool listen() { return ::listen(listener_, 4) == 0; }

    // The next connection within the wait; false when none came.
    bool accept(int milliseconds = 15000)
    {
        dropClient();
        if (!readable(listener_, milliseconds))
            return false;
        client_ = ::accept(listener_, nullptr, nullptr);
        return client_ != INVALID_SOCKET;
    }
    void dropClient()
    {
        if (client_ != INVALID_SOCKET)
            closesocket(client_);
        client_ = INVALID_SOCKET;
        pending_.clear();
    }
    bool send(const std::string& text)
    {
        return ::send(client_, text.data(), static_cast<int>(text.size()), 0) ==
               static_cast<int>(text.size());
    }

    // The next octet-counted message ("LEN SP MSG"), or "<none>".
    std::string message(int milliseconds = 15000)
    {
        for (;;) {
            const std::size_t space = pending_.find(' ');
            if (space != std::string::npos) {
                const std::size_t length = std::stoul(pending_.substr(0, space));
                if (pending_.size() >= space + 1 + length) {
                    std::string text = pending_.substr(space + 1, length);
                    pending_.erase(0, space + 1 + length);
                    return text;
                }
            }
            if (!more(milliseconds))
                return "<none>";
        }
    }

    // The next RELP frame as {number, command, data}; number -1 when none.
    struct Frame {
        long number;
        std::string command, data;
    };
    Frame frame(int milliseconds = 15000)
    {
        for (;;) {
            const std::size_t first = pending_.find(' ');
            const std::size_t second = pending_.find(' ', first + 1);
            if (first != std::string::npos && second != std::string::npos) {
                std::size_t end = second + 1;
                while (end < pending_.size() && pending_[end] >= '0' && pending_[end] <= '9')
                    ++end;
                const std::size_t length = std::stoul("0" + pending_.substr(second + 1, end - second - 1));
                const std::size_t data = end + (length ? 1 : 0);
                if (end < pending_.size() && pending_.size() >= data + length + 1) {
                    Frame result{std::stol(pending_.substr(0, first)),
                                 pending_.substr(first + 1, second - first - 1),
                                 pending_.substr(data, length)};
                    pending_.erase(0, data + length + 1);
                    return result;
                }
            }
            if (!more(milliseconds))
                return {-1, "", ""};
        }
    }

private:
    static bool readable(SOCKET socket, int milliseconds)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket, &set);
        timeval wait = {milliseconds / 1000, (milliseconds % 1000) * 1000};
        return select(0, &set, nullptr, nullptr, &wait) == 1;
    }
    bool more(int milliseconds)
    {
        if (client_ == INVALID_SOCKET || !readable(client_, milliseconds))
            return false;
        char buffer[8192];
        const int got = recv(client_, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        pending_.append(buffer, got);
        return true;
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET client_ = INVALID_SOCKET;
    u_short port_ = 0;
    std::string pending_;
};

}  // namespace output_test
