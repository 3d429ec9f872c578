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

// Where the classic handler steps back for the packaged command: only in a
// 64-bit host on Windows 11 whose user's packaged command answered after the
// host started, and never while the user has the classic menu back.
TEST(ClassicMenuRuleTest, ClassicEntryUnlessThePackagedCommandIsShown)
{
    const ULONGLONG started = 133'000'000'000'000'000, before = started - 1, after = started + 1;
    const struct {
        bool host64Bit;
        DWORD build;
        bool restored;
        ULONGLONG asked;
        ULONGLONG hostStarted;
        bool classic;
    } cases[] = {
        {true, 22000, false, after, started, false},   // answered while this host runs
        {true, 26100, false, after, started, false},
        {true, 22621, false, before, started, true},   // right after installing: not loaded here
        {true, 22621, false, started, started, true},  // not later than the start
        {true, 22621, false, 0, started, true},        // never answered
        {true, 22621, false, after, 0, true},          // the host's start unknown
        {true, 22621, true, after, started, true},     // the classic menu brought back
        {true, 21999, false, after, started, true},    // Windows 10 shows no packaged command
        {true, 0, false, after, started, true},        // build unknown
        {false, 22621, false, after, started, true},   // nor does a 32-bit host
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.classic, ClassicMenuWanted({c.host64Bit, c.build, c.restored, c.asked, c.hostStarted}))
            << c.host64Bit << " " << c.build << " " << c.restored << " " << c.asked << " " << c.hostStarted;
    }
    // Wine reports a build before Windows 11: the classic entry stays.
    EXPECT_TRUE(ClassicMenuWantedHere());
}
