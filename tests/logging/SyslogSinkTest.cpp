#include "OutputTestSupport.h"
#include "DebugStringSink.h"
#include "LogManager.h"
#include "SinkTypes.h"
#include "SyslogSink.h"
#include "UdpCollector.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <thread>

using namespace output_test;
using LogUtils::SyslogSink;

namespace {

LogRecord recordAt(int level, WORD day)
{
    LogRecord record(".\\ShellExt", 1, level, "OrnShExt", nullptr);
    record.time = SYSTEMTIME{2026, 12, 0, day, 13, 5, 7, 42};
    return record;
}

// Must stay the first test: it races the creation of the process's socket.
TEST(SyslogSinkTest, ThreadsRacingTheFirstWriteAllSend)
{
    Collector collector;
    ASSERT_TRUE(collector.bound());
    const int threads = 8;
    std::vector<std::thread> writers;
    std::vector<int> results(threads, -1);
    for (int i = 0; i < threads; ++i) {
        writers.emplace_back([&, i] {
            LogRecord record = recordAt(LevelInfo, 6);
            TextStreamer streamer("racer " + std::to_string(i));
            results[i] = SyslogSink(record, "127.0.0.1", collector.port()).write(streamer);
        });
    }
    for (auto& writer : writers)
        writer.join();
    std::vector<std::string> lines;
    for (int i = 0; i < threads; ++i) {
        EXPECT_EQ(1, results[i]);
        lines.push_back(collector.receive());
    }
    std::sort(lines.begin(), lines.end());
    for (int i = 0; i < threads; ++i)
        EXPECT_NE(std::string::npos, lines[i].find(" racer " + std::to_string(i)));
}

// A line too long for the datagram is cut where it reaches 1024 bytes. Port
// zero means the syslog port. An IPv6 address is sent to as an IPv4 one is;
// without a server nothing is sent, nor by the sink for a name, which is
// looked up elsewhere.
TEST(SyslogSinkTest, DatagramCarriesPriorityDateHostAndLine)
{
    Collector collector, six(0, true), syslogPort(514);
    ASSERT_TRUE(collector.bound());
    ASSERT_TRUE(six.bound());
    char host[16] = {};
    DWORD size = sizeof host;
    GetComputerNameA(host, &size);
    const std::string hostColumn = std::string(15 - lstrlenA(host), ' ') + host;
    const struct {
        int level;
        WORD day;
        const char* server;
        Collector* to;  // null: port 0
        const char* header;  // null: nothing is sent
        std::string line;
    } cases[] = {
        {LevelInfo, 6, "127.0.0.1", &collector, "<14> Dec  6 13:05:07 ", "hello"},
        {LevelEmergency, 16, "127.0.0.1", &collector, "<8> Dec 16 13:05:07 ", "hello"},
        {LevelDebug, 31, "127.0.0.1", &collector, "<15> Dec 31 13:05:07 ", "hello"},
        {LevelWarning, 6, "127.0.0.1", &collector, "<12> Dec  6 13:05:07 ", std::string(2000, 'z')},
        {LevelNotice, 6, "127.0.0.1", nullptr, "<13> Dec  6 13:05:07 ", "to 514"},
        {LevelInfo, 6, "::1", &six, "<14> Dec  6 13:05:07 ", std::string(2000, 's')},
        {LevelError, 6, nullptr, &collector, nullptr, "nowhere"},
        {LevelError, 6, "", &collector, nullptr, "nowhere"},
        {LevelError, 6, "localhost", &collector, nullptr, "nowhere"},
    };
    for (const auto& c : cases) {
        Collector& to = c.to ? *c.to : syslogPort;
        if (!to.bound())
            continue;  // port 514 is taken here
        LogRecord record = recordAt(c.level, c.day);
        TextStreamer streamer(c.line);
        SCOPED_TRACE(c.server ? c.server : "(none)");
        EXPECT_EQ(c.header != nullptr,
                  SyslogSink(record, c.server, c.to ? c.to->port() : 0).write(streamer));
        EXPECT_EQ(c.header ? (c.header + hostColumn + " " + c.line).substr(0, 1024) : "<none>",
                  to.receive(c.header ? 5000 : 300));
    }
    using Target = LogUtils::SyslogTarget;
    const std::pair<const char*, Target> targets[] = {
        {"10.0.0.7", Target::ipv4},       {"fe80::1%3", Target::ipv6},
        {"logs.example.net", Target::name}, {"", Target::none},
        {nullptr, Target::none},
    };
    for (const auto& [server, target] : targets)
        EXPECT_EQ(target, LogUtils::syslogTarget(server)) << (server ? server : "(none)");
}

// The transport picks the port a section without "port" sends to; an
// unknown word or a queue out of bounds makes the section send nothing.
TEST(SyslogSinkTest, SectionChoicesGiveTransportPortFormAndQueue)
{
    using LogUtils::SyslogFormat;
    using LogUtils::SyslogTransport;
    const struct {
        const wchar_t *transport, *message, *queue;
        bool usable;
        SyslogTransport expected;
        std::uint16_t port;
        SyslogFormat format;
        std::size_t bytes;
        const wchar_t* problem;
    } cases[] = {
        {nullptr, nullptr, nullptr, true, SyslogTransport::udp, 514, SyslogFormat::bsd, 262144, L""},
        {L"TCP", L"RFC5424", L"64", true, SyslogTransport::tcp, 601, SyslogFormat::rfc5424, 65536, L""},
        {L"relp", L"bsd", L"4", true, SyslogTransport::relp, 2514, SyslogFormat::bsd, 4096, L""},
        {L"udp", L"rfc5424", L"65536", true, SyslogTransport::udp, 514, SyslogFormat::rfc5424,
         65536u * 1024, L""},
        {L"sctp", nullptr, nullptr, false, SyslogTransport::udp, 0, SyslogFormat::bsd, 0,
         L"transport \"sctp\" is none of udp, tcp, tls, relp, relp-tls"},
        {L"tls", nullptr, nullptr, true, SyslogTransport::tls, 6514, SyslogFormat::bsd, 262144, L""},
        {L"Relp-TLS", nullptr, nullptr, true, SyslogTransport::relpTls, 2514, SyslogFormat::bsd,
         262144, L""},
        {L"tcp", L"json", nullptr, false, SyslogTransport::tcp, 601, SyslogFormat::bsd, 0,
         L"message \"json\" is neither bsd nor rfc5424"},
        {L"tcp", nullptr, L"3", false, SyslogTransport::tcp, 601, SyslogFormat::bsd, 0,
         L"queue \"3\" is not from 4 to 65536 (KiB)"},
        {L"tcp", nullptr, L"65537", false, SyslogTransport::tcp, 601, SyslogFormat::bsd, 0,
         L"queue \"65537\" is not from 4 to 65536 (KiB)"},
    };
    for (const auto& c : cases) {
        LogUtils::StreamDestination destination;
        destination.port = 0;
        std::wstring problem;
        const bool usable =
            LogUtils::readSyslogChoices(c.transport, c.message, c.queue, destination, problem);
        SCOPED_TRACE(narrow(c.transport ? c.transport : L"(none)"));
        EXPECT_EQ(c.usable, usable);
        EXPECT_EQ(c.problem, problem);
        if (c.port) {
            EXPECT_EQ(c.expected, destination.transport);
            EXPECT_EQ(c.port, destination.port);
        }
        if (usable) {
            EXPECT_EQ(c.format, destination.format);
            EXPECT_EQ(c.bytes, destination.queueBytes);
        }
    }
}

// RFC 5424: the record's fields in the header and as structured data, with
// the parameter values escaped and the line in UTF-8 after its mark.
TEST(SyslogSinkTest, Rfc5424MessageCarriesTheRecordsFields)
{
    LogRecord record("C:\\src\\a\"b].cpp", 42, LevelError, "zu Cp Lib", nullptr);
    record.hasErrorCode = true;
    record.errorCode = 0x80070005;
    record.processId = 1234;
    record.threadId = 77;
    TextStreamer streamer("caf\xe9 ok");
    char message[1024];
    const std::string text(message, LogUtils::composeSyslogMessage(LogUtils::SyslogFormat::rfc5424,
                                                                  record, streamer, message,
                                                                  sizeof message));
    char host[16] = {};
    DWORD size = sizeof host;
    GetComputerNameA(host, &size);
    char stamp[40];
    const SYSTEMTIME& t = record.time;
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    TIME_ZONE_INFORMATION zone;
    const DWORD daylight = GetTimeZoneInformation(&zone);
    const long east = -(zone.Bias + (daylight == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : 0));
    char offset[8];
    std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", east < 0 ? '-' : '+', std::labs(east) / 60,
                  std::labs(east) % 60);
    char utf8[8];
    wchar_t e = 0;
    MultiByteToWideChar(CP_ACP, 0, "\xe9", 1, &e, 1);
    utf8[WideCharToMultiByte(CP_UTF8, 0, &e, 1, utf8, sizeof utf8, nullptr, nullptr)] = 0;
    EXPECT_EQ(std::string("<11>1 ") + stamp + offset + " " + host +
                  " zuCpLib 1234 Error [orn@32473 source=\"C:\\\\src\\\\a\\\"b\\].cpp\" line=\"42\" "
                  "thread=\"77\" error=\"0x80070005\"] \xEF\xBB\xBF" + "caf" + utf8 + " ok",
              text);

    LogRecord bare("x", 1, 9, "", nullptr);
    TextStreamer empty("");
    const std::string second(message, LogUtils::composeSyslogMessage(
                                          LogUtils::SyslogFormat::rfc5424, bare, empty, message, 80));
    EXPECT_EQ(80u, second.size());
    EXPECT_NE(std::string::npos, second.find(std::string(" ") + host + " - "));
    EXPECT_NE(std::string::npos, second.find(" - [orn@32473"));  // no level name: no message id
}

// A stream section, as the routing builds it, to a collector on a port.
class StreamSection {
public:
    StreamSection(const wchar_t* transport, u_short port, const wchar_t* queue = L"256",
                  const wchar_t* server = L"127.0.0.1")
        : port_(std::to_wstring(port))
    {
        configuration_.setProperty(0, L"type", L"syslog");
        configuration_.setProperty(0, L"transport", transport);
        configuration_.setProperty(0, L"server", server);
        configuration_.setProperty(0, L"port", port_.c_str());
        configuration_.setProperty(0, L"queue", queue);
        configuration_.setProperty(0, L"format", L"%m");
        routing_.reset(new LogUtils::CompiledRouting(configuration_, view_));
    }
    void log(const std::string& line, int level = LevelInfo)
    {
        LogRecord record(".\\Stream", 1, level, "zuCpLib", nullptr);
        record.narrowMessage = line.c_str();
        routing_->route(record);
    }

private:
    std::wstring port_;
    LogUtils::PropertyLogConfiguration configuration_;
    LogUtils::PropertyMap properties_;
    LogUtils::LogPropertiesOnMapImpl view_{&properties_};
    std::unique_ptr<LogUtils::CompiledRouting> routing_;
};

std::string lineOf(const std::string& message)
{
    const std::size_t at = message.find(" line ");
    return at == std::string::npos ? message : message.substr(at + 1);
}

// Lines queued while the collector refuses go out in order, octet-counted,
// once it listens; a collector that closes the connection is reconnected to.
TEST(SyslogSinkTest, TcpSectionQueuesUntilTheCollectorListensAndReconnects)
{
    StreamListener collector;
    StreamSection section(L"tcp", collector.port());
    for (int i = 1; i <= 3; ++i)
        section.log("line " + std::to_string(i));
    ASSERT_TRUE(collector.listen());
    ASSERT_TRUE(collector.accept());
    for (int i = 1; i <= 3; ++i) {
        const std::string message = collector.message();
        EXPECT_EQ("line " + std::to_string(i), lineOf(message));
        EXPECT_EQ(0u, message.find("<14> "));
    }
    // What was written just before the collector went is written again,
    // oldest first, ahead of the new line.
    collector.dropClient();
    Sleep(50);
    section.log("line 4");
    ASSERT_TRUE(collector.accept());
    for (const char* line : {"line 1", "line 2", "line 3", "line 4"})
        EXPECT_EQ(line, lineOf(collector.message()));
}

// The sender resolves the server itself: an IPv6 address, or a host name
// whose addresses it tries in turn (::1 refuses here, 127.0.0.1 listens).
TEST(SyslogSinkTest, TcpSectionReachesIpv6AndNamedCollectors)
{
    StreamListener v6(true), v4;
    ASSERT_TRUE(v6.listen());
    ASSERT_TRUE(v4.listen());
    StreamSection byAddress(L"tcp", v6.port(), L"256", L"::1");
    StreamSection byName(L"relp", v4.port(), L"256", L"localhost");
    byAddress.log("line to ::1");
    byName.log("line to localhost");
    ASSERT_TRUE(v6.accept());
    EXPECT_EQ("line to ::1", lineOf(v6.message()));
    ASSERT_TRUE(v4.accept());
    EXPECT_EQ("open", v4.frame().command);
}

// A datagram section to a host name: a sender looks the name up; lines logged
// before it did wait in the queue, and each goes as the datagram an address
// gets. (localhost may give ::1 or 127.0.0.1 first: both listen.)
TEST(SyslogSinkTest, DatagramSectionToANameSendsEveryLineFromASender)
{
    Collector six(0, true), four(six.port());
    ASSERT_TRUE(six.bound());
    ASSERT_TRUE(four.bound()) << "port " << six.port() << " is taken on 127.0.0.1";
    StreamSection section(L"udp", six.port(), L"256", L"localhost");
    for (int i = 1; i <= 3; ++i)
        section.log("line " + std::to_string(i) + " " + std::string(1100, 'n'));
    auto next = [&](int tries = 100) {
        while (tries--) {
            for (Collector* at : {&six, &four}) {
                const std::string datagram = at->receive(50);
                if (datagram != "<none>")
                    return datagram;
            }
        }
        return std::string("<none>");
    };
    for (int i = 1; i <= 3; ++i) {
        const std::string datagram = next();
        EXPECT_EQ(0u, datagram.find("<14> ")) << datagram;
        EXPECT_EQ("line " + std::to_string(i), lineOf(datagram).substr(0, 6));
        EXPECT_EQ(1024u, datagram.size());
    }
    EXPECT_EQ("<none>", next(4)) << "a line sent twice";
}

// Either form fits one datagram: RFC 5424 over UDP too.
TEST(SyslogSinkTest, DatagramCarriesRfc5424)
{
    Collector collector;
    ASSERT_TRUE(collector.bound());
    LogRecord record(".\\ShellExt", 7, LevelNotice, "OrnShExt", nullptr);
    TextStreamer streamer(std::string(2000, 'z'));
    EXPECT_TRUE(SyslogSink(record, "127.0.0.1", collector.port(), LogUtils::SyslogFormat::rfc5424)
                    .write(streamer));
    const std::string datagram = collector.receive();
    EXPECT_EQ(0u, datagram.find("<13>1 "));
    EXPECT_NE(std::string::npos, datagram.find(" OrnShExt "));
    EXPECT_NE(std::string::npos, datagram.find(" line=\"7\" "));
    EXPECT_NE(std::string::npos, datagram.find("\"] \xEF\xBB\xBFzzz"));
    EXPECT_EQ(1024u, datagram.size());
}

// With the collector down the queue keeps the newest lines within its bound;
// the first message after it comes back counts the lines pushed out.
TEST(SyslogSinkTest, FullQueueKeepsTheNewestAndNotesTheLost)
{
    StreamListener collector;
    StreamSection section(L"tcp", collector.port(), L"4");
    const int count = 100;
    for (int i = 0; i < count; ++i) {
        char line[80];
        std::snprintf(line, sizeof line, "line %03d %s", i, std::string(60, 'x').c_str());
        section.log(line);
    }
    ASSERT_TRUE(collector.listen());
    ASSERT_TRUE(collector.accept());
    const std::string note = collector.message();
    const std::string first = collector.message();
    ASSERT_NE(std::string::npos, first.find(" line "));
    const std::size_t kept = 4096 / first.size();
    EXPECT_NE(std::string::npos,
              note.find("Logging: " + std::to_string(count - kept) +
                        " lines lost: the collector was unreachable"))
        << note;
    EXPECT_EQ(0u, note.find("<12> "));  // a warning
    char expected[16];
    std::snprintf(expected, sizeof expected, "line %03d", static_cast<int>(count - kept));
    EXPECT_EQ(expected, lineOf(first).substr(0, 8));
    for (std::size_t i = 1; i < kept; ++i)
        EXPECT_NE("<none>", collector.message());
    EXPECT_EQ("<none>", collector.message(300));
    // Said once: the next line goes alone.
    section.log("line after");
    EXPECT_EQ("line after", lineOf(collector.message()));
}

// A module's unload gives the queues a bounded time, then gives their lines
// up (counted on the debugger output); lines logged later still go.
TEST(SyslogSinkTest, UnloadWaitsForTheQueuesABoundedTime)
{
    StreamListener collector;
    StreamSection section(L"tcp", collector.port());
    section.log("line given up");
    EXPECT_FALSE(LogUtils::streamQueuesDrained());
    Sleep(LogUtils::streamDrainMilliseconds / 2);
    EXPECT_FALSE(LogUtils::streamQueuesDrained());
    Sleep(LogUtils::streamDrainMilliseconds / 2 + 200);
    EXPECT_TRUE(LogUtils::streamQueuesDrained());
    ASSERT_TRUE(collector.listen());
    section.log("line kept");
    ASSERT_TRUE(collector.accept());
    EXPECT_EQ("line kept", lineOf(collector.message()));
    EXPECT_EQ("<none>", collector.message(300));
    EXPECT_TRUE(LogUtils::streamQueuesDrained());
}

// RELP: what the collector acknowledged is not sent again; what it had not
// when the connection dropped is, in a new session, in order.
TEST(SyslogSinkTest, RelpSendsAgainWhatWasNotAcknowledged)
{
    StreamListener collector;
    StreamSection section(L"relp", collector.port());
    for (int i = 1; i <= 5; ++i)
        section.log("line " + std::to_string(i));
    ASSERT_TRUE(collector.listen());
    std::vector<std::string> sessions[2];
    for (auto& session : sessions) {
        ASSERT_TRUE(collector.accept());
        const auto open = collector.frame();
        ASSERT_EQ("open", open.command);
        EXPECT_EQ(1, open.number);
        EXPECT_NE(std::string::npos, open.data.find("commands=syslog"));
        collector.send("1 rsp 6 200 OK\n");
        for (;;) {
            const auto frame = collector.frame(&session == &sessions[0] ? 15000 : 1000);
            if (frame.number < 0)
                break;
            EXPECT_EQ("syslog", frame.command);
            session.push_back(lineOf(frame.data));
            // The first session acknowledges two lines and drops the third.
            if (&session == &sessions[0] && session.size() == 3)
                break;
            collector.send(std::to_string(frame.number) + " rsp 6 200 OK\n");
        }
    }
    EXPECT_EQ((std::vector<std::string>{"line 1", "line 2", "line 3"}), sessions[0]);
    EXPECT_EQ((std::vector<std::string>{"line 3", "line 4", "line 5"}), sessions[1]);
}

TEST(DebugStringSinkTest, EachSectionSendsItsLineWithOneLineFeed)
{
    DWORD exitCode = 1;
    const auto texts = captureDebugOutput(L"\"" + childProgram() + L"\" sections", exitCode);
    EXPECT_EQ(0u, exitCode);
    std::vector<std::string> ours;
    for (const std::string& text : texts) {
        if (text.find("to the debugger") != std::string::npos)
            ours.push_back(text);
    }
    ASSERT_EQ(2u, ours.size());
    EXPECT_EQ("first to the debugger\n", ours[0]);
    EXPECT_EQ("second kwAgent Info to the debugger\n", ours[1]);
}

}  // namespace
