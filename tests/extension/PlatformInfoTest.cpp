// The platform probe under WoW64 (64-bit prefix), on 32-bit Windows, and as
// the 64-bit build on 64-bit Windows.

#include "PlatformInfo.h"

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
