#include "LogRecord.h"
#include "TestLogManager.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace {

// Keeps what the manager saw while the record was in its hands.
class LogRecordTest : public testing::Test {
protected:
    LogRecordTest()
    {
        manager.onLog = [this](LogRecord& record) {
            sawWide = record.message != nullptr;
            sawNarrow = record.narrowMessage != nullptr;
            if (record.message)
                wide = record.message;
            if (record.narrowMessage)
                narrow = record.narrowMessage;
            deliveredThread = GetCurrentThreadId();
            if (clobberLastError)
                SetLastError(ERROR_ACCESS_DENIED);
            if (throwOnLog)
                throw std::runtime_error("manager failed");
        };
    }

    testsupport::TestLogManager manager;
    bool sawWide = false;
    bool sawNarrow = false;
    std::wstring wide;
    std::string narrow;
    DWORD deliveredThread = 0;
    bool clobberLastError = false;
    bool throwOnLog = false;
};

TEST_F(LogRecordTest, StampsAreThoseOfConstructionNotOfDelivery)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    LogRecord record(".\\Helper", 1, LevelInfo, "OrnShExt", &manager);
    const SYSTEMTIME stamped = record.time;
    EXPECT_EQ(GetCurrentThreadId(), record.threadId);
    EXPECT_EQ(GetCurrentProcessId(), record.processId);
    EXPECT_EQ(before.wDay, record.time.wDay);
    EXPECT_FALSE(record.hasErrorCode);

    Sleep(20);
    std::thread([&record] { record.print("later"); }).join();

    EXPECT_EQ(1, manager.calls);
    EXPECT_NE(GetCurrentThreadId(), deliveredThread);
    EXPECT_EQ(GetCurrentThreadId(), record.threadId);
    EXPECT_EQ(0, memcmp(&stamped, &record.time, sizeof stamped));
}

TEST_F(LogRecordTest, OnlyTheMatchingMessagePointerIsSetDuringLog)
{
    LogRecord record(".\\ShellExt", 185, LevelError, "OrnShExt", &manager);

    record.print(L"wide %s %d", L"text", 42);
    EXPECT_TRUE(sawWide);
    EXPECT_FALSE(sawNarrow);
    EXPECT_EQ(L"wide text 42", wide);
    EXPECT_EQ(nullptr, record.message);
    EXPECT_EQ(nullptr, record.narrowMessage);

    record.print("narrow %s %u", "text", 7u);
    EXPECT_FALSE(sawWide);
    EXPECT_TRUE(sawNarrow);
    EXPECT_EQ("narrow text 7", narrow);
    EXPECT_EQ(nullptr, record.message);
    EXPECT_EQ(nullptr, record.narrowMessage);
    EXPECT_EQ(2, manager.calls);
}

TEST_F(LogRecordTest, LongMessagesAreCutAt2047CharactersInBothForms)
{
    LogRecord record(".\\ShellExt", 1, LevelError, "OrnShExt", &manager);

    const std::string narrow3000(3000, 'n');
    record.print("%s", narrow3000.c_str());
    EXPECT_EQ(std::string(2047, 'n'), narrow);

    const std::wstring wide3000(3000, L'w');
    record.print(L"%s", wide3000.c_str());
    EXPECT_EQ(std::wstring(2047, L'w'), wide);

    // Exactly at the limit: the formatter fills every slot but the last.
    const std::string narrow2047(2047, 'x');
    record.print("%s", narrow2047.c_str());
    EXPECT_EQ(narrow2047, narrow);
    const std::wstring wide2048(2048, L'y');
    record.print(L"%s", wide2048.c_str());
    EXPECT_EQ(std::wstring(2047, L'y'), wide);
}

TEST_F(LogRecordTest, LastErrorSurvivesTheManagerAndItsExceptions)
{
    clobberLastError = true;
    LogRecord record(".\\ShellExt", 1, LevelError, "OrnShExt", &manager);

    SetLastError(ERROR_FILE_NOT_FOUND);
    record.print("one");
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    SetLastError(ERROR_PATH_NOT_FOUND);
    record.print(L"two");
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

    throwOnLog = true;
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_THROW(record.print("three"), std::runtime_error);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(nullptr, record.narrowMessage);

    SetLastError(ERROR_INVALID_DATA);
    EXPECT_THROW(record.print(L"four"), std::runtime_error);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    EXPECT_EQ(nullptr, record.message);
}

TEST_F(LogRecordTest, NullManagerFormatsAndDeliversNothing)
{
    LogRecord record(".\\ShellExt", 1, LevelError, "OrnShExt", nullptr);
    SetLastError(ERROR_BAD_FORMAT);
    LogRecord& returned = record.print("%s %d", "nobody", 1).print(L"%s", L"listens");
    EXPECT_EQ(&record, &returned);
    EXPECT_EQ(nullptr, record.message);
    EXPECT_EQ(nullptr, record.narrowMessage);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), GetLastError());
}

// A leading part of a name, ignoring case; the first name in level order
// wins, so "E" is Emergency before Error.
TEST(LevelNames, TakeLeadingPartsIgnoringCase)
{
    const struct {
        const char* name;
        int named;
    } cases[] = {{"Debug", 7}, {"info", 6},   {"NOTICE", 5}, {"Warn", 4},
                 {"Crit", 2},  {"error", 3},  {"a", 1},      {"E", 0},
                 {"", 0},      {"Errors", -1}, {"Informational", -1}, {"x", -1},
                 {nullptr, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.named, levelNamed(c.name)) << (c.name ? c.name : "null");
        EXPECT_EQ(c.named < 0 ? 7 : c.named, levelFromName(c.name)) << (c.name ? c.name : "null");
    }
}

}  // namespace
