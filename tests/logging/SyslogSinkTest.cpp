#include "OutputTestSupport.h"
#include "DebugStringSink.h"
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
// zero means the syslog port; without a server's address (names are not
// resolved) nothing is sent.
TEST(SyslogSinkTest, DatagramCarriesPriorityDateHostAndLine)
{
    Collector collector, syslogPort(514);
    ASSERT_TRUE(collector.bound());
    char host[16] = {};
    DWORD size = sizeof host;
    GetComputerNameA(host, &size);
    const std::string hostColumn = std::string(15 - lstrlenA(host), ' ') + host;
    const struct {
        int level;
        WORD day;
        const char* server;
        u_short port;
        const char* header;  // null: nothing is sent
        std::string line;
    } cases[] = {
        {LevelInfo, 6, "127.0.0.1", collector.port(), "<14> Dec  6 13:05:07 ", "hello"},
        {LevelEmergency, 16, "127.0.0.1", collector.port(), "<8> Dec 16 13:05:07 ", "hello"},
        {LevelDebug, 31, "127.0.0.1", collector.port(), "<15> Dec 31 13:05:07 ", "hello"},
        {LevelWarning, 6, "127.0.0.1", collector.port(), "<12> Dec  6 13:05:07 ",
         std::string(2000, 'z')},
        {LevelNotice, 6, "127.0.0.1", 0, "<13> Dec  6 13:05:07 ", "to 514"},
        {LevelError, 6, nullptr, collector.port(), nullptr, "nowhere"},
        {LevelError, 6, "localhost", collector.port(), nullptr, "nowhere"},
    };
    for (const auto& c : cases) {
        Collector& to = c.port ? collector : syslogPort;
        if (!to.bound())
            continue;  // port 514 is taken here
        LogRecord record = recordAt(c.level, c.day);
        TextStreamer streamer(c.line);
        EXPECT_EQ(c.header != nullptr, SyslogSink(record, c.server, c.port).write(streamer));
        EXPECT_EQ(c.header ? (c.header + hostColumn + " " + c.line).substr(0, 1024) : "<none>",
                  to.receive(c.header ? 5000 : 300));
    }
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
