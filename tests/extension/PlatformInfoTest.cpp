// The platform probe under WoW64 (64-bit prefix), on 32-bit Windows, and as
// the 64-bit build on 64-bit Windows.

#include "PlatformInfo.h"
#include "ScanCommand.h"

#include <gtest/gtest.h>

#include "LogWatch.h"

using namespace testsupport;

// The probe tells the two platforms apart and stays silent doing so.
TEST(PlatformInfoTest, IsWow64AnswersForThePrefix)
{
    LogWatch watch;
    EXPECT_EQ(underWow64(), IsWow64());
    EXPECT_EQ(underWow64(), IsWow64());
    expectNoLine(watch, "IsWow64Process");
}

// A platform without the function: false. Its trace is a debug record (see
// LauncherTest.TracesReachConfiguredLogWhileDebugging).
TEST(PlatformInfoTest, MissingFunctionGivesFalse)
{
    EXPECT_FALSE(platform_detail::IsWow64In("ornNoSuchModule", GetCurrentProcess()));
    EXPECT_FALSE(platform_detail::IsWow64In("user32", GetCurrentProcess()));
}

// A failing call: false, and a warning with the error code as a signed number.
TEST(PlatformInfoTest, FailedCallGivesFalseAndWarning)
{
    HANDLE closed = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &closed,
                                0, FALSE, DUPLICATE_SAME_ACCESS));
    CloseHandle(closed);
    LogWatch watch;
    SetLastError(0);
    EXPECT_FALSE(platform_detail::IsWow64In("kernel32", closed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    expectNotice(watch, "IsWow64Process failed with 6 error");
}

// Where the classic handler steps back for the packaged command: only a
// 64-bit host on Windows 11 with the package registered shows that one.
TEST(ClassicMenuRuleTest, ClassicEntryUnlessThePackagedCommandIsShown)
{
    const struct { bool host64Bit; DWORD build; bool packaged; bool classic; } cases[] = {
        {true, 22000, true, false},   // Windows 11, package registered
        {true, 26100, true, false},
        {true, 21999, true, true},    // Windows 10 never shows the packaged command
        {true, 19045, true, true},
        {true, 22621, false, true},   // not registered for this user
        {false, 22621, true, true},   // 32-bit hosts never show it
        {false, 19045, false, true},
        {true, 0, true, true},        // build unknown
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.classic, ClassicMenuWanted({c.host64Bit, c.build, c.packaged}))
            << c.host64Bit << " " << c.build << " " << c.packaged;
    }
    // Wine reports a build before Windows 11: the classic entry stays.
    EXPECT_TRUE(ClassicMenuWantedHere());
}
