// The scan launcher starts the real agent stand-in through the shell; the
// stand-in records the command line it received.

#include "ScanLauncher.h"

#include <gtest/gtest.h>

#include <string>

#include "LogWatch.h"
#include "Process.h"
#include "ProductInstall.h"

using namespace testsupport;

namespace {

const wchar_t installKey[] = L"SOFTWARE\\Quarvel\\Hollowmere";

std::wstring parametersFor(const std::wstring& installDir, const std::wstring& target)
{
    return L"/RunDLL=" + installDir + L"\\Vandor\\zuCioScn.dll,_StartScanFromCtxMenu@16 " + target;
}

// How the shell composes the agent's command line from file and parameters.
std::wstring commandLineFor(const InstalledAgent& agent, const std::wstring& parameters)
{
    return L"\"" + agent.exe().wstring() + L"\" " + parameters;
}

class LauncherTest : public ::testing::Test {
protected:
    LauncherTest() : install_(L"Orn Launcher "), agent_(install_.path()) {}

    void recordInstallDir(const std::wstring& folder, const wchar_t* key = installKey)
    {
        setString(HKEY_LOCAL_MACHINE, key, installDirValue, folder);
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
    recordInstallDir(install_.str());
    const std::wstring target = L"D:\\Work Files\\two  blanks.txt";
    for (bool outsidePackage : {false, true}) {
        agent_.forget();
        EXPECT_EQ(S_OK, outsidePackage ? launcher_.StartScanOutsidePackage(target.c_str())
                                       : launcher_.StartScan(nullptr, target.c_str()));
        EXPECT_EQ(commandLineFor(agent_, parametersFor(install_.str(), target)), agent_.awaitCommandLine())
            << "outside the package: " << outsidePackage;
        EXPECT_EQ((install_.path() / L"Agent").wstring(), agent_.workingFolder())
            << "outside the package: " << outsidePackage;
    }
}

TEST_F(LauncherTest, RefusesMissingTarget)
{
    recordInstallDir(install_.str());
    LogWatch watch;
    EXPECT_EQ(E_INVALIDARG, launcher_.StartScan(nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, launcher_.StartScan(nullptr, L""));
    EXPECT_EQ(E_INVALIDARG, launcher_.StartScanOutsidePackage(nullptr));
    EXPECT_EQ(E_INVALIDARG, launcher_.StartScanOutsidePackage(L""));
    EXPECT_TRUE(agent_.staysIdle());
    expectNotice(watch, "Invalid Scan target");
}

// Parameters of exactly 1023 characters still go out whole.
TEST_F(LauncherTest, LongestCommandLineIsLaunchedWhole)
{
    recordInstallDir(install_.str());
    const std::wstring head = parametersFor(install_.str(), L"D:\\");
    const std::wstring target = L"D:\\" + std::wstring(1023 - head.size(), L'x');
    const std::wstring parameters = parametersFor(install_.str(), target);
    ASSERT_EQ(1023u, parameters.size());
    EXPECT_EQ(S_OK, launcher_.LaunchScan(target.c_str()));
    EXPECT_EQ(commandLineFor(agent_, parameters), agent_.awaitCommandLine());
}

// One character more would be cut, and the agent would scan a path the user
// never picked: nothing is started and the refusal is logged.
TEST_F(LauncherTest, CommandLineThatWouldBeCutIsNotLaunched)
{
    recordInstallDir(install_.str());
    const std::wstring head = parametersFor(install_.str(), L"D:\\");
    const std::wstring target = L"D:\\" + std::wstring(1024 - head.size(), L'x');
    LogWatch watch;
    EXPECT_EQ(E_INVALIDARG, launcher_.LaunchScan(target.c_str()));
    EXPECT_EQ(S_OK, launcher_.StartScan(nullptr, target.c_str()));
    EXPECT_TRUE(agent_.staysIdle());
    std::string narrowTarget(target.begin(), target.end());
    expectNotice(watch, "Scan command line longer than 1023 characters, not launched <" + narrowTarget + ">");
}

// An installation folder that leaves no room for the agent's own path.
TEST_F(LauncherTest, InstallFolderTooLongIsNotLaunched)
{
    recordInstallDir(std::wstring(L"C:\\") + std::wstring(1010, L'i'));
    EXPECT_EQ(E_INVALIDARG, launcher_.LaunchScan(L"D:\\x"));
}

// Without the key, or with the key but not the value, the launch is refused
// and reported, and nothing else is tried: on 32-bit Windows a key under the
// 32-bit path is not consulted, the 64-bit build does not read a key of the
// 64-bit view, and under WoW64 the 32-bit path names the same key, where the
// value is missing too.
TEST_F(LauncherTest, MissingKeyOrValueIsReportedAndNothingStarts)
{
    if (!onWow64Prefix())
        recordInstallDir(install_.str(), L"SOFTWARE\\Wow6432Node\\Quarvel\\Hollowmere");
    if (is64BitBuild())
        setStringInView(HKEY_LOCAL_MACHINE, installKey, installDirValue, install_.str(), KEY_WOW64_64KEY);
    for (bool keyPresent : {false, true}) {
        if (keyPresent)
            createKey(HKEY_LOCAL_MACHINE, installKey);
        LogWatch watch;
        EXPECT_EQ(E_INVALIDARG, launcher_.LaunchScan(L"D:\\Work")) << "key present: " << keyPresent;
        expectNotice(watch, "Failed to read registry");
    }
    EXPECT_TRUE(agent_.staysIdle());
}

// The agent is not there: the shell fails to start it, and that is nobody's
// to report.
TEST_F(LauncherTest, MissingAgentStillSucceeds)
{
    const TempFolder empty(L"Orn Empty ");
    recordInstallDir(empty.str());
    LogWatch watch;
    EXPECT_EQ(S_OK, launcher_.LaunchScan(L"D:\\Work"));
    EXPECT_EQ(S_OK, launcher_detail::LaunchScanFrom(installKeys, L"D:\\Work",
                                                    launcher_detail::LaunchRoute::outsidePackage));
    expectNoLine(watch, "Failed");
}

// Under WoW64 the native path and the 32-bit path reach one key, so a native
// key without the value beside a 32-bit key with it cannot be staged with the
// product's keys; two keys of the test's own stand in for them.
class LauncherViewTest : public LauncherTest {
protected:
    LauncherViewTest()
        : base_(L"SOFTWARE\\OrnLauncherTests\\" + uniqueSuffix()),
          keys_{nativeKey_.c_str(), wow32Key_.c_str()},
          stage_(HKEY_LOCAL_MACHINE, {L"SOFTWARE\\OrnLauncherTests"})
    {
    }
    const std::wstring base_;
    const std::wstring nativeKey_ = base_ + L"\\Native";
    const std::wstring wow32Key_ = base_ + L"\\Wow32";
    const InstallKeys keys_;
    RegistryStage stage_;
};

// The 64-bit build is never under WoW64: it makes the one try, in the 32-bit
// view.
TEST_F(LauncherViewTest, SecondViewOnlyOnWow64)
{
    createKey(HKEY_LOCAL_MACHINE, nativeKey_);
    recordInstallDir(install_.str(), wow32Key_.c_str());
    if (underWow64()) {
        EXPECT_EQ(S_OK, launcher_detail::LaunchScanFrom(keys_, L"D:\\Work Files"));
        EXPECT_EQ(commandLineFor(agent_, parametersFor(install_.str(), L"D:\\Work Files")),
                  agent_.awaitCommandLine());
    } else {
        EXPECT_EQ(E_INVALIDARG, launcher_detail::LaunchScanFrom(keys_, L"D:\\Work Files"));
        EXPECT_TRUE(agent_.staysIdle());
    }
}

// The native value wins when both are present.
TEST_F(LauncherViewTest, NativeValueComesFirst)
{
    const TempFolder other(L"Orn Other ");
    recordInstallDir(install_.str(), nativeKey_.c_str());
    recordInstallDir(other.str(), wow32Key_.c_str());
    EXPECT_EQ(S_OK, launcher_detail::LaunchScanFrom(keys_, L"D:\\Work"));
    EXPECT_EQ(commandLineFor(agent_, parametersFor(install_.str(), L"D:\\Work")), agent_.awaitCommandLine());
}

TEST_F(LauncherViewTest, MissingSecondKeyIsReported)
{
    createKey(HKEY_LOCAL_MACHINE, nativeKey_);
    LogWatch watch;
    EXPECT_EQ(E_INVALIDARG, launcher_detail::LaunchScanFrom(keys_, L"D:\\Work"));
    expectNotice(watch, "Failed to read registry");
}

// The traces (level 7) reach a file only while debugging is switched on and a
// "logCfg.Ini" in the installation folder routes them; that folder is fixed
// when a process loads, so a second run of this program does the launching.
TEST_F(LauncherTest, TracesReachConfiguredLogWhileDebugging)
{
    recordInstallDir(install_.str());
    orn::unique_hkey logKey;
    ASSERT_EQ(ERROR_SUCCESS, CreateProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_ALL_ACCESS, logKey.put()));
    const DWORD on = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(logKey.get(), L"bDebugEnable", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&on), sizeof on));
    const std::wstring traceName = L"LauncherTrace-" + uniqueSuffix() + L".log";
    writeText(install_.path() / L"logCfg.Ini",
              "[traces]\r\ntype=file\r\nfilter=OrnShExt.Debug zuCpLib.Debug\r\nformat=%m\r\nfilename=" +
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
    EXPECT_EQ(commandLineFor(agent_, parametersFor(install_.str(), target)), agent_.awaitCommandLine());

    const fs::path traceFile = fs::path(logFolder()) / traceName;
    std::ifstream in(traceFile, std::ios::binary);
    const std::string traces((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::error_code ignored;
    fs::remove(traceFile, ignored);
    const std::wstring expected = L"About to launch <" + agent_.exe().wstring() + L"> <" +
                                  parametersFor(install_.str(), target) + L">";
    EXPECT_NE(std::string::npos, traces.find(std::string(expected.begin(), expected.end()))) << traces;
    EXPECT_NE(std::string::npos, traces.find("IsWow64Process API isn't defined in kernel32.")) << traces;
    // Wine knows no desktop-app policy: the agent starts without it, and says so.
    EXPECT_NE(std::string::npos,
              traces.find("No desktop-app breakaway on this system (error 50): agent started without it"))
        << traces;
}

// Run only as the second program of the test above.
TEST(LauncherTraceRun, DISABLED_LaunchAndProbe)
{
    const std::string target = env("ORN_TRACE_TARGET");
    ASSERT_FALSE(target.empty());
    CCorvaneExtHelper launcher;
    const std::wstring wideTarget(target.begin(), target.end());
    EXPECT_EQ(S_OK, launcher.StartScan(nullptr, wideTarget.c_str()));
    EXPECT_FALSE(platform_detail::IsWow64In("ornNoSuchModule", GetCurrentProcess()));
    // The same command line again, so that either start's record is the one awaited.
    EXPECT_EQ(S_OK, launcher.StartScanOutsidePackage(wideTarget.c_str()));
}
