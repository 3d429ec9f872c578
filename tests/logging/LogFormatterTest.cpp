#include "LogFormatter.h"
#include "Process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using LogUtils::logFormatter;

namespace {

// 6 December 2026, 13:05:07.042, process 1444, "started".
LogRecord workedExampleRecord()
{
    LogRecord record(".\\Src\\ShellExt", 185, LevelNotice, "OrnShExt", nullptr);
    record.time = SYSTEMTIME{2026, 12, 0, 6, 13, 5, 7, 42};
    record.processId = 1444;
    record.threadId = 0x10;
    record.narrowMessage = "started";
    return record;
}

std::string line(const wchar_t* format, const LogRecord& record)
{
    std::string text;
    ATLString_OStream out(text);
    EXPECT_TRUE(logFormatter().format(out, format, record));
    return text;
}

// What printf makes of one value, the reference the field writers must match.
template <typename... Values>
std::string printed(const char* format, Values... values)
{
    char text[128];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// Edge values around every digit count in both bases, the limits of the
// record's 16-bit and 32-bit fields, and seeded random values of every size.
std::vector<unsigned> sweepValues()
{
    std::vector<unsigned> values = {0u, 1u, 0x7fffu, 0x8000u, 0xffffu, 0x10000u,
                                    0x7fffffffu, 0x80000000u, 0x80000001u, 0xfffffffeu,
                                    0xffffffffu};
    for (unsigned long long power = 1; power <= 0xffffffffull; power *= 10) {
        values.push_back(static_cast<unsigned>(power - 1));
        values.push_back(static_cast<unsigned>(power));
        values.push_back(static_cast<unsigned>(power + 1));
    }
    for (int shift = 1; shift < 32; ++shift) {
        values.push_back((1u << shift) - 1);
        values.push_back(1u << shift);
    }
    std::mt19937 random(20261207);
    for (int i = 0; i < 2000; ++i)
        values.push_back(static_cast<unsigned>(random()) >> (random() % 32));
    return values;
}

std::string processName()
{
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    char name[LogUtils::processNameCapacity];
    LogUtils::processNameFromPath(path, name);
    return name;
}

// What %m appends for a record with the error code.
std::string errorText(DWORD code)
{
    LogRecord record(".\\Test", 1, LevelError, "OrnShExt", nullptr);
    record.narrowMessage = "";
    record.hasErrorCode = true;
    record.errorCode = code;
    const std::string text = line(L"%m", record);
    EXPECT_EQ(' ', text.at(0));
    return text.substr(1);
}

std::string systemText(DWORD code)
{
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   0x400, text, sizeof text, nullptr);
    std::string result = text;
    while (!result.empty() && static_cast<unsigned char>(result.back()) < 0x20)
        result.pop_back();
    return result;
}

// Runs a copy of this test program under another executable name, where the
// test below checks the line it formats.
DWORD runCopyNamed(const wchar_t* fileName, const char* expectedLine)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring copyFolder = std::wstring(folder) + L"orn-formatter-" +
                              std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(copyFolder.c_str(), nullptr);
    const std::wstring copy = copyFolder + L"\\" + fileName;
    if (!CopyFileW(self, copy.c_str(), FALSE))
        return 1000;
    SetEnvironmentVariableA("ORN_EXPECTED_LINE", expectedLine);
    const std::wstring commandLine =
        L"\"" + copy + L"\" --gtest_filter=FormatterInNamedProcess.WritesExpectedLine";
    const DWORD exitCode = testsupport::runProcess(commandLine).exitCode;
    SetEnvironmentVariableA("ORN_EXPECTED_LINE", nullptr);
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(copyFolder.c_str());
    return exitCode;
}

}  // namespace

// Only meaningful in a copy started by the tests below.
TEST(FormatterInNamedProcess, WritesExpectedLine)
{
    const char* expected = std::getenv("ORN_EXPECTED_LINE");
    if (!expected)
        GTEST_SKIP() << "runs in a renamed copy only";
    EXPECT_EQ(expected, line(L"%D %T %P:%+p %m", workedExampleRecord()));
}

TEST(LogFormatterTest, WorkedExampleInAProcessNamedExplorer)
{
    EXPECT_EQ(0u, runCopyNamed(L"explorer.exe", "12-06 13:05:07 explorer:5a4 started"));
}

TEST(LogFormatterTest, ProcessNameLosesOnlyItsLastExtension)
{
    char name[LogUtils::processNameCapacity];
    EXPECT_EQ(3, LogUtils::processNameFromPath("C:\\x.y\\a.b.exe", name));
    EXPECT_STREQ("a.b", name);
    LogUtils::processNameFromPath("noextension", name);
    EXPECT_STREQ("noextension", name);
    LogUtils::processNameFromPath(("C:\\" + std::string(40, 'n') + ".exe").c_str(), name);
    EXPECT_EQ(std::string(31, 'n'), name);
}

TEST(LogFormatterTest, PlusAndMinusFlags)
{
    const LogRecord record = workedExampleRecord();
    EXPECT_EQ("2026-12-06 13:05:07.042", line(L"%+D %+T", record));
    EXPECT_EQ("13:05:07.042", line(L"%-+T", record));
    EXPECT_EQ("13:05:07.042", line(L"%+-T", record));
    EXPECT_EQ("13:05:07", line(L"%-T", record));
    // A new code clears the flag.
    EXPECT_EQ("2026-12-06 12-06", line(L"%+D %D", record));
}

TEST(LogFormatterTest, PercentSignsAndUnknownCodes)
{
    const LogRecord record = workedExampleRecord();
    EXPECT_EQ("100% done", line(L"100%% done", record));
    EXPECT_EQ("ab", line(L"a%qb", record));
    EXPECT_EQ("a", line(L"a%", record));
    EXPECT_EQ("a", line(L"a%+", record));
    EXPECT_EQ("", line(L"", record));
    EXPECT_EQ("", line(nullptr, record));
    EXPECT_EQ("?", line(L"\u00e9", record));
}

TEST(LogFormatterTest, EveryRecordField)
{
    LogRecord record = workedExampleRecord();
    EXPECT_EQ("185|OrnShExt|Notice|ShellExt|.\\Src\\ShellExt|1444|5a4|16|10",
              line(L"%L|%f|%l|%s|%+s|%p|%+p|%t|%+t", record));
    record.processId = 0x80000001;
    record.threadId = 0xfffffffe;
    EXPECT_EQ("80000001 80000001 fffffffe", line(L"%p %+p %t", record));
    record.sourceFile = "NoFolder";
    EXPECT_EQ("NoFolder", line(L"%s", record));
    for (int level = 0; level < logLevelCount; ++level) {
        record.level = level;
        EXPECT_EQ(logLevelNames[level], line(L"%l", record));
    }
    record.level = 9;
    EXPECT_EQ("9", line(L"%l", record));
    record.component = nullptr;
    record.sourceFile = nullptr;
    EXPECT_EQ("|||", line(L"|%f|%s|", record));
}

TEST(LogFormatterTest, ProcessWideFields)
{
    const LogRecord record = workedExampleRecord();
    char user[257] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(user, line(L"%U", record));

    const std::string name = processName();
    EXPECT_EQ(name.size() < 8 ? std::string(8 - name.size(), ' ') + name : name,
              line(L"%P", record));

    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const std::string sessionText = line(L"%i", record);
    EXPECT_TRUE(sessionText == std::to_string(session) || sessionText == "0") << sessionText;

    char station[261] = {};
    DWORD needed = 0;
    GetUserObjectInformationA(GetProcessWindowStation(), UOI_NAME, station, sizeof station, &needed);
    EXPECT_EQ(station, line(L"%w", record));
}

TEST(LogFormatterTest, MessageWideNarrowAndWithErrorText)
{
    LogRecord record = workedExampleRecord();
    record.narrowMessage = nullptr;
    record.message = L"wide \u00fc";
    const std::string wide = line(L"%m", record);
    EXPECT_EQ(0u, wide.find("wide "));
    record.message = nullptr;
    EXPECT_EQ("<>", line(L"<%m>", record));

    record.narrowMessage = "open failed";
    record.hasErrorCode = true;
    record.errorCode = ERROR_ACCESS_DENIED;
    EXPECT_EQ("open failed " + errorText(ERROR_ACCESS_DENIED), line(L"%m", record));
    const std::wstring longMessage(LogRecord::messageCapacity * 3, L'w');
    record.message = longMessage.c_str();
    record.hasErrorCode = false;
    EXPECT_EQ(std::string(longMessage.size(), 'w'), line(L"%m", record));
}

TEST(LogFormatterTest, ErrorTextsOfWindowsCodesAndFailureStatuses)
{
    SetLastError(1234);
    const std::string accessDenied = errorText(ERROR_ACCESS_DENIED);
    EXPECT_EQ(1234u, GetLastError());
    EXPECT_EQ("Error=5: " + systemText(ERROR_ACCESS_DENIED), accessDenied);
    EXPECT_GT(accessDenied.size(), std::strlen("Error=5: "));

    const std::string outOfMemory = errorText(0x8007000e);
    EXPECT_EQ(0u, errorText(0x80000000).find("Error=0x80000000: "));
    EXPECT_EQ("Error=0x8007000e: " + systemText(0x8007000e), outOfMemory);
    EXPECT_GT(outOfMemory.size(), std::strlen("Error=0x8007000e: "));

    // No text in the system: the prefix alone, blank included.
    EXPECT_EQ("Error=123456789: ", errorText(123456789));
    EXPECT_EQ("Error=0xe0001234: ", errorText(0xe0001234));
    for (DWORD code : {0ul, 1ul, 2ul, 87ul, 0x80004005ul, 0xfffffffful}) {
        const std::string text = errorText(code);
        ASSERT_LT(text.size(), 256u);
        if (!text.empty()) {
            EXPECT_GE(static_cast<unsigned char>(text.back()), 0x20) << code;
        }
    }
}

TEST(LogFormatterTest, StreamsAppendOrCutSilently)
{
    char buffer[10];
    std::memset(buffer, '#', sizeof buffer);
    FixedBuffer_OStream fixed(buffer, buffer + 8);
    const LogRecord record = workedExampleRecord();
    logFormatter().format(fixed, L"%D %T %P:%+p %m", record);
    EXPECT_EQ(buffer + 8, fixed.position());
    EXPECT_EQ("12-06 13##", std::string(buffer, sizeof buffer));
    fixed.writeString("more");
    EXPECT_EQ(buffer + 8, fixed.position());

    std::string text = "x";
    ATLString_OStream growing(text);
    growing.writeString(nullptr);
    const char range[] = "abcdef";
    growing.writeRange(range + 1, range + 4);
    growing.writeBytes(range, 0);
    const std::string big(100000, 'b');
    growing.writeString(big.c_str());
    EXPECT_EQ("xbcd" + big, text);
}

// The codes written without printf must print what printf printed with the
// codes' own formats, for any time the record may carry and any identifier.
TEST(FieldWriterTest, CodesMatchTheirPrintfFormats)
{
    std::mt19937 random(1444);
    const std::vector<unsigned> values = sweepValues();
    LogRecord record = workedExampleRecord();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto word = [&](unsigned limit) {
            // Mostly real clock values, now and then any 16-bit value.
            return static_cast<WORD>(i % 5 == 0 ? random() % 0x10000 : random() % limit);
        };
        record.time = SYSTEMTIME{word(10000), word(13), word(7), word(32),
                                 word(24),    word(60), word(60), word(1000)};
        if (i % 50 == 0)
            record.time = i % 100 ? SYSTEMTIME{} : SYSTEMTIME{0xffff, 0xffff, 0xffff, 0xffff,
                                                              0xffff, 0xffff, 0xffff, 0xffff};
        record.processId = values[i];
        record.threadId = values[values.size() - 1 - i];
        record.sourceLine = static_cast<int>(values[(i * 7) % values.size()]);
        const SYSTEMTIME& t = record.time;
        const unsigned p = record.processId, th = record.threadId;
        const std::string time =
            printed("%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        const std::string expected =
            printed("%02u-%02u|%04u-%02u-%02u|", t.wMonth, t.wDay, t.wYear, t.wMonth, t.wDay) +
            time.substr(0, 8) + "|" + time + "|" + printed("%d", record.sourceLine) + "|" +
            printed(static_cast<int>(p) < 0 ? "%x" : "%u", p) + "|" + printed("%x", p) + "|" +
            printed(static_cast<int>(th) < 0 ? "%x" : "%u", th) + "|" + printed("%x", th);
        ASSERT_EQ(expected, line(L"%D|%+D|%T|%+T|%L|%p|%+p|%t|%+t", record)) << i;
    }
    EXPECT_EQ(printed("%8s", processName().c_str()), line(L"%P", record));
}
