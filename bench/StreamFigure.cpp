// Figure 10: what the logging thread pays for a record routed to a TCP
// collector that cannot be reached in time (a loopback listener whose
// backlog is full, so connecting waits; no traffic leaves the machine),
// against the same record routed to a log file. The stream section only
// copies the message into its queue.
#include "Figures.h"

#include "LogManager.h"
#include "SyslogStream.h"

#include <winsock2.h>

namespace bench {

namespace {

// A listener with listen(0) and its backlog filled by connections nobody
// accepts: a further connect is neither taken nor refused.
struct BlackHole {
    SOCKET listener = INVALID_SOCKET;
    SOCKET waiting[4] = {INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET};
    u_short port = 0;

    BlackHole()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(listener, 0) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        port = ntohs(address.sin_port);
        for (SOCKET& client : waiting) {
            client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(client, FIONBIO, &nonBlocking);
            connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        Sleep(200);
    }
    ~BlackHole()
    {
        for (SOCKET client : waiting)
            closesocket(client);
        closesocket(listener);
    }
};

}  // namespace

Figure unreachableCollector()
{
    BlackHole hole;
    const std::wstring port = std::to_wstring(hole.port);
    LogUtils::PropertyLogConfiguration stream, file;
    stream.setProperty(0, L"type", L"syslog");
    stream.setProperty(0, L"transport", L"tcp");
    stream.setProperty(0, L"server", L"127.0.0.1");
    stream.setProperty(0, L"port", port.c_str());
    stream.setProperty(0, L"format", defaultFormat);
    file.setProperty(0, L"type", L"file");
    file.setProperty(0, L"filename", L"bench.stream.file.log");
    file.setProperty(0, L"format", defaultFormat);
    LogUtils::PropertyMap properties;
    std::wstring folder = logPath(L"");
    properties[L"logdir"] = folder;
    LogUtils::LogPropertiesOnMapImpl view(&properties);
    const LogUtils::CompiledRouting toStream(stream, view), toFile(file, view);
    const std::wstring filePath = logPath(L"bench.stream.file.log");
    auto route = [](const LogUtils::CompiledRouting& routing) {
        LogRecord record(".\\Bench", 1, LevelNotice, "OrnShExt", nullptr);
        record.narrowMessage = message;
        routing.route(record);
    };
    Figure figure = compare(
        "10 record to an unreachable TCP collector vs to a file", 0.5, 31, 60,
        [&](int) { route(toStream); }, [&](int) { route(toFile); },
        [&] { DeleteFileW(filePath.c_str()); }, 1);
    DeleteFileW(filePath.c_str());
    // The collector never answered, so the records wait in the queue.
    if (!hole.port)
        figure.note = "no black-hole listener";
    else if (LogUtils::streamQueuesDrained())
        figure.note = "records did not reach the stream queue";
    return figure;
}

}  // namespace bench
