#pragma once
// A UDP collector on the loopback address, for the syslog sections.

#include <winsock2.h>

#include <string>

namespace output_test {

class Collector {
public:
    explicit Collector(u_short port = 0)
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        int size = sizeof address;
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
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
