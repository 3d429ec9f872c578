#include "LogRecord.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace {

// Keeps what the manager saw while the record was in its hands.
class RecordingManager : public LogUtils::ILogManager {
public:
    void log(LogRecord& record) override
    {
        ++calls;
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
    }

    int calls = 0;
    bool sawWide = false;
    bool sawNarrow = false;
    std::wstring wide;
    std::string narrow;
    DWORD deliveredThread = 0;
    bool clobberLastError = false;
    bool throwOnLog = false;
};

TEST(LogRecordTest, StampsAreThoseOfConstructionNotOfDelivery)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    RecordingManager manager;
    LogRecord record(".\\Helper", 1, LevelInfo, "OrnShExt", &manager);
    const SYSTEMTIME stamped = record.time;
    EXPECT_EQ(GetCurrentThreadId(), record.threadId);
    EXPECT_EQ(GetCurrentProcessId(), record.processId);
    EXPECT_EQ(before.wDay, record.time.wDay);
    EXPECT_FALSE(record.hasErrorCode);

    Sleep(20);
    std::thread([&record] { record.print("later"); }).join();

    EXPECT_EQ(1, manager.calls);
    EXPECT_NE(GetCurrentThreadId(), manager.deliveredThread);
    EXPECT_EQ(GetCurrentThreadId(), record.threadId);
    EXPECT_EQ(0, memcmp(&stamped, &record.time, sizeof stamped));
}

TEST(LogRecordTest, OnlyTheMatchingMessagePointerIsSetDuringLog)
{
    RecordingManager manager;
    LogRecord record(".\\ShellExt", 185, LevelError, "OrnShExt", &manager);

    record.print(L"wide %s %d", L"text", 42);
    EXPECT_TRUE(manager.sawWide);
    EXPECT_FALSE(manager.sawNarrow);
    EXPECT_EQ(L"wide text 42", manager.wide);
    EXPECT_EQ(nullptr, record.message);
    EXPECT_EQ(nullptr, record.narrowMessage);

    record.print("narrow %s %u", "text", 7u);
    EXPECT_FALSE(manager.sawWide);
    EXPECT_TRUE(manager.sawNarrow);
    EXPECT_EQ("narrow text 7", manager.narrow);
    EXPECT_EQ(nullptr, record.message);
    EXPECT_EQ(nullptr, record.narrowMessage);
    EXPECT_EQ(2, manager.calls);
}

TEST(LogRecordTest, LongMessagesAreCutAt2047CharactersInBothForms)
{
    RecordingManager manager;
    LogRecord record(".\\ShellExt", 1, LevelError, "OrnShExt", &manager);

    const std::string narrow3000(3000, 'n');
    record.print("%s", narrow3000.c_str());
    EXPECT_EQ(std::string(2047, 'n'), manager.narrow);

    const std::wstring wide3000(3000, L'w');
    record.print(L"%s", wide3000.c_str());
    EXPECT_EQ(std::wstring(2047, L'w'), manager.wide);

    // Exactly at the limit: the formatter fills every slot but the last.
    const std::string narrow2047(2047, 'x');
    record.print("%s", narrow2047.c_str());
    EXPECT_EQ(narrow2047, manager.narrow);
    const std::wstring wide2048(2048, L'y');
    record.print(L"%s", wide2048.c_str());
    EXPECT_EQ(std::wstring(2047, L'y'), manager.wide);
}

TEST(LogRecordTest, LastErrorSurvivesTheManagerAndItsExceptions)
{
    RecordingManager manager;
    manager.clobberLastError = true;
    LogRecord record(".\\ShellExt", 1, LevelError, "OrnShExt", &manager);

    SetLastError(ERROR_FILE_NOT_FOUND);
    record.print("one");
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    SetLastError(ERROR_PATH_NOT_FOUND);
    record.print(L"two");
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

    manager.throwOnLog = true;
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_THROW(record.print("three"), std::runtime_error);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(nullptr, record.narrowMessage);

    SetLastError(ERROR_INVALID_DATA);
    EXPECT_THROW(record.print(L"four"), std::runtime_error);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    EXPECT_EQ(nullptr, record.message);
}

TEST(LogRecordTest, NullManagerFormatsAndDeliversNothing)
{
    LogRecord record(".\\ShellExt", 1, LevelError, "OrnShExt", nullptr);
    SetLastError(ERROR_BAD_FORMAT);
    LogRecord& returned = record.print("%s %d", "nobody", 1).print(L"%s", L"listens");
    EXPECT_EQ(&record, &returned);
    EXPECT_EQ(nullptr, record.message);
    EXPECT_EQ(nullptr, record.narrowMessage);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), GetLastError());
}

TEST(LogRecordTest, LevelFromNameTakesLeadingPartsIgnoringCase)
{
    EXPECT_EQ(7, levelFromName("Debug"));
    EXPECT_EQ(6, levelFromName("info"));
    EXPECT_EQ(5, levelFromName("NOTICE"));
    EXPECT_EQ(4, levelFromName("Warn"));
    EXPECT_EQ(2, levelFromName("Crit"));
    EXPECT_EQ(3, levelFromName("error"));
    EXPECT_EQ(1, levelFromName("a"));
    // The first name in table order wins: "E" is Emergency before Error.
    EXPECT_EQ(0, levelFromName("E"));
    EXPECT_EQ(0, levelFromName(""));
    // Longer than the name it begins with, or no name at all.
    EXPECT_EQ(7, levelFromName("Errors"));
    EXPECT_EQ(7, levelFromName("Informational"));
    EXPECT_EQ(7, levelFromName("x"));
    EXPECT_EQ(7, levelFromName(nullptr));
}

}  // namespace
