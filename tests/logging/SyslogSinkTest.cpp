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

std::string hostColumn()
{
    char host[16] = {};
    DWORD size = sizeof host;
    if (!GetComputerNameA(host, &size))
        host[0] = '\0';
    char column[32];
    std::snprintf(column, sizeof column, "%15s", host);
    return column;
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

// A line too long for the datagram is cut where it reaches 1024 bytes.
TEST(SyslogSinkTest, DatagramCarriesPriorityDateHostAndLine)
{
    Collector collector;
    ASSERT_TRUE(collector.bound());
    const struct {
        int level;
        WORD day;
        const char* header;
        std::string line;
    } cases[] = {
        {LevelInfo, 6, "<14> Dec  6 13:05:07 ", "hello"},
        {LevelEmergency, 16, "<8> Dec 16 13:05:07 ", "hello"},
        {LevelDebug, 31, "<15> Dec 31 13:05:07 ", "hello"},
        {LevelWarning, 6, "<12> Dec  6 13:05:07 ", std::string(2000, 'z')},
    };
    for (const auto& c : cases) {
        LogRecord record = recordAt(c.level, c.day);
        TextStreamer streamer(c.line);
        EXPECT_TRUE(SyslogSink(record, "127.0.0.1", collector.port()).write(streamer));
        EXPECT_EQ((c.header + hostColumn() + " " + c.line).substr(0, 1024), collector.receive());
    }
}

TEST(SyslogSinkTest, WithoutAUsableServerNothingIsSent)
{
    Collector collector;
    LogRecord record = recordAt(LevelError, 6);
    TextStreamer streamer("nowhere");
    EXPECT_FALSE(SyslogSink(record, nullptr, collector.port()).write(streamer));
    // Names are not resolved.
    EXPECT_FALSE(SyslogSink(record, "localhost", collector.port()).write(streamer));
    EXPECT_EQ("<none>", collector.receive(300));
}

TEST(SyslogSinkTest, PortZeroMeansTheSyslogPort)
{
    Collector collector(514);
    if (!collector.bound())
        GTEST_SKIP() << "port 514 is taken here";
    LogRecord record = recordAt(LevelNotice, 6);
    TextStreamer streamer("to 514");
    EXPECT_TRUE(SyslogSink(record, "127.0.0.1", 0).write(streamer));
    EXPECT_EQ("<13> Dec  6 13:05:07 " + hostColumn() + " to 514", collector.receive());
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
