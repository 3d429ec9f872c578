// The scan launcher starts the real agent stand-in through the shell and
// outside a package; the stand-in records the command line it received.

#include "ScanLauncher.h"

#include <gtest/gtest.h>

#include <string>

#include "LogWatch.h"
#include "ProductInstall.h"

using namespace testsupport;

namespace {

using Route = CCorvaneExtHelper::Route;

class LauncherTest : public ::testing::Test {
protected:
    LauncherTest() : install_(L"Orn Launcher "), agent_(install_.path())
    {
        setString(HKEY_LOCAL_MACHINE, installKey, installDirValue, install_.str());
    }

    ProductRegistry registry_;
    TempFolder install_;
    InstalledAgent agent_;
    CCorvaneExtHelper launcher_;
};

}  // namespace

// The target follows the single blank of the pattern as it is: no quotes, its
// blanks not escaped. The installation folder has blanks of its own. Through
// the shell and outside the package alike, the agent gets the same command
// line and starts in its own folder, not in the host's.
TEST_F(LauncherTest, StartsAgentWithTargetUnquotedInItsOwnFolder)
{
    const std::wstring target = L"D:\\Work Files\\two  blanks.txt";
    for (Route route : {Route::shell, Route::outsidePackage}) {
        agent_.forget();
        EXPECT_EQ(S_OK, launcher_.StartScan(nullptr, target.c_str(), route));
        EXPECT_EQ(agentCommandLine(install_.path(), target), agent_.awaitCommandLine())
            << "route " << static_cast<int>(route);
        EXPECT_EQ((install_.path() / L"Agent").wstring(), agent_.workingFolder())
            << "route " << static_cast<int>(route);
    }
}

TEST_F(LauncherTest, RefusesMissingTarget)
{
    LogWatch watch;
    for (Route route : {Route::shell, Route::outsidePackage}) {
        EXPECT_EQ(E_INVALIDARG, launcher_.StartScan(nullptr, nullptr, route));
        EXPECT_EQ(E_INVALIDARG, launcher_.StartScan(nullptr, L"", route));
    }
    EXPECT_TRUE(agent_.staysIdle());
    expectNotice(watch, "Invalid Scan target");
}

// Parameters of exactly 1023 characters still go out whole.
TEST_F(LauncherTest, LongestCommandLineIsLaunchedWhole)
{
    const std::wstring head = agentParameters(install_.path(), L"D:\\");
    const std::wstring target = L"D:\\" + std::wstring(1023 - head.size(), L'x');
    ASSERT_EQ(1023u, agentParameters(install_.path(), target).size());
    EXPECT_EQ(S_OK, launcher_.LaunchScan(target.c_str()));
    EXPECT_EQ(agentCommandLine(install_.path(), target), agent_.awaitCommandLine());
}

// One character more would be cut, and the agent would scan a path the user
// never picked: nothing is started and the refusal is logged.
TEST_F(LauncherTest, CommandLineThatWouldBeCutIsNotLaunched)
{
    const std::wstring head = agentParameters(install_.path(), L"D:\\");
    const std::wstring target = L"D:\\" + std::wstring(1024 - head.size(), L'x');
    LogWatch watch;
    EXPECT_EQ(E_INVALIDARG, launcher_.LaunchScan(target.c_str()));
    EXPECT_EQ(S_OK, launcher_.StartScan(nullptr, target.c_str()));
    EXPECT_TRUE(agent_.staysIdle());
    std::string narrowTarget(target.begin(), target.end());
    expectNotice(watch, "Scan command line longer than 1023 characters, not launched <" + narrowTarget + ">");
}

// The agent is not there: the start fails, and that is nobody's to report.
TEST_F(LauncherTest, MissingAgentStillSucceeds)
{
    const TempFolder empty(L"Orn Empty ");
    setString(HKEY_LOCAL_MACHINE, installKey, installDirValue, empty.str());
    LogWatch watch;
    EXPECT_EQ(S_OK, launcher_.LaunchScan(L"D:\\Work"));
    EXPECT_EQ(S_OK, launcher_.LaunchScan(L"D:\\Work", Route::outsidePackage));
    expectNoLine(watch, "Failed");
}

// The traces (level 7) reach a file only while debugging is switched on and a
// "logCfg.Ini" in the installation folder routes them; that folder is fixed
// when a process loads, so a second run of this program does the launching.
TEST_F(LauncherTest, TracesReachConfiguredLogWhileDebugging)
{
    orn::unique_hkey logKey;
    ASSERT_EQ(ERROR_SUCCESS, CreateProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_ALL_ACCESS, logKey.put()));
    const DWORD on = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(logKey.get(), L"bDebugEnable", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&on), sizeof on));
    const std::wstring traceName = L"LauncherTrace-" + uniqueSuffix() + L".log";
    writeText(install_.path() / L"logCfg.Ini",
              "[traces]\r\ntype=file\r\nfilter=OrnShExt.Debug\r\nformat=%m\r\nfilename=" +
                  std::string(traceName.begin(), traceName.end()) + "\r\n");
    const std::wstring target = L"D:\\Work Files";

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = std::wstring(L"\"") + self +
                               L"\" --gtest_also_run_disabled_tests --gtest_filter=LauncherTraceRun.*";
    SetEnvironmentVariableW(L"ORN_TRACE_TARGET", target.c_str());
    const ProcessResult run = runProcess(commandLine);
    SetEnvironmentVariableW(L"ORN_TRACE_TARGET", nullptr);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_EQ(agentCommandLine(install_.path(), target), agent_.awaitCommandLine());

    const fs::path traceFile = fs::path(logFolder()) / traceName;
    std::ifstream in(traceFile, std::ios::binary);
    const std::string traces((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::error_code ignored;
    fs::remove(traceFile, ignored);
    const std::wstring expected = L"About to launch <" + agent_.exe().wstring() + L"> <" +
                                  agentParameters(install_.path(), target) + L">";
    EXPECT_NE(std::string::npos, traces.find(std::string(expected.begin(), expected.end()))) << traces;
    // Wine knows no desktop-app policy: the agent starts without it, and says so.
    EXPECT_NE(std::string::npos,
              traces.find("No desktop-app breakaway on this system (error 50): agent started without it"))
        << traces;
}

// Run only as the second program of the test above.
TEST(LauncherTraceRun, DISABLED_Launch)
{
    const std::string target = env("ORN_TRACE_TARGET");
    ASSERT_FALSE(target.empty());
    CCorvaneExtHelper launcher;
    const std::wstring wideTarget(target.begin(), target.end());
    EXPECT_EQ(S_OK, launcher.StartScan(nullptr, wideTarget.c_str()));
    // The same command line again, so that either start's record is the one awaited.
    EXPECT_EQ(S_OK, launcher.StartScan(nullptr, wideTarget.c_str(), Route::outsidePackage));
}
