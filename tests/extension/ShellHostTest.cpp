// The shell host drives the registered module end to end, as Explorer
// would: registration by regsvr32, the handler listed under the shell's keys,
// a real shell data object, the menu, the help text and the scan.

#include "BuiltModule.h"

#include <gtest/gtest.h>

namespace {

using namespace servertest;

const std::wstring classKey = std::wstring(L"CLSID\\") + clsidText;
const std::wstring fileHandlers = L"*\\shellex\\ContextMenuHandlers\\OrnShExt";
const std::wstring folderHandlers = L"Directory\\shellex\\ContextMenuHandlers\\OrnShExt";

// Each line is in what the host printed.
void expectLines(const std::string& output, std::initializer_list<std::string> lines)
{
    for (const std::string& line : lines)
        EXPECT_NE(std::string::npos, output.find(line)) << line << "\n" << output;
}

class ShellHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, runProcess(quoted(systemProgram(L"regsvr32.exe")) + L" /s " + quoted(builtModule().wstring()))
                          .exitCode);
        // What an installer adds: the class listed as a handler of files and folders.
        setString(HKEY_CLASSES_ROOT, fileHandlers, nullptr, clsidText);
        setString(HKEY_CLASSES_ROOT, folderHandlers, nullptr, clsidText);
        writeText(product.path() / L"report.txt", "text");
    }

    ProcessResult host(const std::wstring& arguments, const fs::path& program = binaryDir() / L"tools" /
                                                                                  L"shellhost" / L"shellhost.exe")
    {
        return runProcess(quoted(program.wstring()) + L" " + arguments);
    }
    std::wstring target() const { return (product.path() / L"report.txt").wstring(); }

    RegistryStage classes_{HKEY_CLASSES_ROOT,
                           {classKey, std::wstring(L"AppID\\") + appIdText, L"AppID\\OrnShExt.DLL",
                            std::wstring(L"TypeLib\\") + libIdText,
                            L"Interface\\{9B0F6E24-C813-4A5D-B7E2-03D94C61FA85}", fileHandlers, folderHandlers}};
    InstalledProduct product;
};

TEST_F(ShellHostTest, MenuHelpTextAndScanOfAFile)
{
    const ProcessResult result = host(L"--help-text 0 --invoke 0 " + quoted(target()));
    ASSERT_EQ(0u, result.exitCode) << result.output;
    const std::string& out = result.output;
    expectLines(out, {"QueryContextMenu(index 0, first 1, flags 0x0) = 0x00000001",
                      "  [0] ----------------\n",
                      "  [1] \"Quarvel Hollowmere\" id 1 checkmarks(checked 15x15",
                      "      [0] \"Scan for threats\" id 1 no checkmarks\n",
                      "GetCommandString(0, GCS_HELPTEXTW) = 0x00000000 \"Scans the selection\"",
                      "GetCommandString(0, GCS_HELPTEXTA) = 0x00000000 \"Scans the selection\"",
                      "InvokeCommand(offset 0) = 0x00000000"});
    EXPECT_EQ(agentCommandLine(product.path(), target()), product.agent().awaitCommandLine());
}

TEST_F(ShellHostTest, FolderMenuAtAnIndexWithExplorerFlags)
{
    const ProcessResult result = host(L"--index 2 --first 30 --flags explore+noverbs " + quoted(product.path().wstring()));
    ASSERT_EQ(0u, result.exitCode) << result.output;
    expectLines(result.output, {"selection (folder)",
                                "  [2] ----------------\n",
                                "  [3] \"Quarvel Hollowmere\" id 30"});

    const ProcessResult defaultOnly = host(L"--flags defaultonly " + quoted(product.path().wstring()));
    expectLines(defaultOnly.output, {"= 0x00000000, 0 identifier(s) used",
                                     "  (empty)"});
}

TEST_F(ShellHostTest, ClearErrors)
{
    ProcessResult result = host(quoted((product.path() / L"missing.txt").wstring()));
    EXPECT_EQ(2u, result.exitCode);
    expectLines(result.output, {"no such file or folder"});

    result = host(L"--handler NotThere " + quoted(target()));
    EXPECT_EQ(3u, result.exitCode);
    expectLines(result.output, {"no context-menu handler \"NotThere\""});

    // Still listed, no longer registered.
    ASSERT_EQ(0u, runProcess(quoted(systemProgram(L"regsvr32.exe")) + L" /u /s " + quoted(builtModule().wstring()))
                      .exitCode);
    result = host(quoted(target()));
    EXPECT_EQ(4u, result.exitCode);
    expectLines(result.output, {"cannot create handler {7C1D52B0"});
}

// The 64-bit build registered beside the 32-bit one under the same class:
// each registers into its own view, each host bitness creates its own, and
// unregistering the 64-bit build leaves the 32-bit one working.
TEST_F(ShellHostTest, BothBuildsSideBySide)
{
    const std::string x86Tree = env("ORN_X86_BINARY_DIR");
    if (!is64BitBuild() || x86Tree.empty())
        GTEST_SKIP() << "run by the 64-bit build beside the 32-bit tree";
    const fs::path x86Module = fs::path(windowsPath(x86Tree)) / L"extension" / L"OrnShExt.dll";
    const fs::path x86Host = fs::path(windowsPath(x86Tree)) / L"tools" / L"shellhost" / L"shellhost.exe";
    wchar_t wow64Folder[MAX_PATH];
    ASSERT_NE(0u, GetSystemWow64DirectoryW(wow64Folder, MAX_PATH));
    const std::wstring regsvr32x86 = quoted(std::wstring(wow64Folder) + L"\\regsvr32.exe");

    // TypeLib and AppID are one key in both views (as on Windows 7): the
    // fixture's stage holds them already.
    RegistryStage classes32{HKEY_CLASSES_ROOT, {classKey, fileHandlers, folderHandlers}, KEY_WOW64_32KEY};
    ASSERT_EQ(0u, runProcess(regsvr32x86 + L" /s " + quoted(x86Module.wstring())).exitCode);
    setStringInView(HKEY_CLASSES_ROOT, fileHandlers, nullptr, clsidText, KEY_WOW64_32KEY);

    const auto server = [](REGSAM view) {
        orn::unique_hkey key;
        wchar_t path[MAX_PATH] = L"";
        DWORD bytes = sizeof(path) - sizeof(wchar_t);
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (classKey + L"\\InprocServer32").c_str(), 0, KEY_READ | view,
                          key.put()) == ERROR_SUCCESS)
            RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &bytes);
        return std::wstring(path);
    };
    EXPECT_EQ(builtModule().wstring(), server(KEY_WOW64_64KEY));
    EXPECT_EQ(x86Module.wstring(), server(KEY_WOW64_32KEY));

    for (const fs::path& program : {binaryDir() / L"tools" / L"shellhost" / L"shellhost.exe", x86Host}) {
        const ProcessResult result = host(L"--invoke 0 " + quoted(target()), program);
        ASSERT_EQ(0u, result.exitCode) << result.output;
        expectLines(result.output, {"      [0] \"Scan for threats\" id 1"});
        EXPECT_EQ(agentCommandLine(product.path(), target()), product.agent().awaitCommandLine());
        product.agent().forget();
    }

    ASSERT_EQ(0u, runProcess(quoted(systemProgram(L"regsvr32.exe")) + L" /u /s " + quoted(builtModule().wstring()))
                      .exitCode);
    EXPECT_EQ(L"", server(KEY_WOW64_64KEY));
    EXPECT_EQ(x86Module.wstring(), server(KEY_WOW64_32KEY));
    // One AppID key serves both views; the 32-bit class still names it.
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, L"AppID\\OrnShExt.DLL"));
    EXPECT_EQ(4u, host(quoted(target())).exitCode);
    const ProcessResult result = host(L"--invoke 0 " + quoted(target()), x86Host);
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_EQ(agentCommandLine(product.path(), target()), product.agent().awaitCommandLine());
    EXPECT_EQ(0u, runProcess(regsvr32x86 + L" /u /s " + quoted(x86Module.wstring())).exitCode);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, L"AppID\\OrnShExt.DLL"));
}

// A host that knows only the package's manifest and the installed module, as
// Windows 11's Explorer and the package's surrogate do: the verb's class for
// files, made by the module the manifest names below the install folder,
// shows the classic menu's texts and starts the classic command line.
TEST_F(ShellHostTest, ExplorerCommandFoundThroughThePackageManifest)
{
    const std::string x86Tree = env("ORN_X86_BINARY_DIR");
    const fs::path manifest =
        (x86Tree.empty() ? binaryDir() : fs::path(windowsPath(x86Tree))) / L"package" / L"AppxManifest.xml";
    // Where the installer puts the 64-bit module (installer/OrnShExt.wxs).
    fs::create_directories(product.path() / L"x64");
    fs::copy_file(builtModule(), product.path() / L"x64" / L"OrnShExt.dll", fs::copy_options::overwrite_existing);

    const ProcessResult result = host(L"--manifest " + quoted(manifest.wstring()) + L" --install " +
                                      quoted(product.path().wstring()) + L" --run " + quoted(target()));
    ASSERT_EQ(0u, result.exitCode) << result.output;
    const std::string& out = result.output;
    expectLines(out, {"verb class {04E00E36-A66D-4BF3-9BD6-B9B885A6E71D}",
                      "x64\\OrnShExt.dll\n",
                      "GetTitle = 0x00000000 \"Scan for threats\"",
                      "GetToolTip = 0x00000000 \"Scans the selection\""});
    // Each size Windows 11's menu asks for loads a 32-bit image of its own size.
    for (int size : {16, 20, 24, 32, 40, 48, 64}) {
        const std::string line = "  icon at " + std::to_string(size) + " px: image " + std::to_string(size) + "x" +
                                 std::to_string(size) + " 32-bit, loads\n";
        expectLines(out, {line});
    }
    expectLines(out, {"GetCanonicalName = 0x00000000 {04E00E36-A66D-4BF3-9BD6-B9B885A6E71D}",
                      "GetState(okToBeSlow true) = 0x00000000 enabled",
                      "GetState(okToBeSlow false) = 0x00000000 enabled",
                      "Invoke = 0x00000000",
                      "DllCanUnloadNow = 0x00000000"});
    EXPECT_EQ(agentCommandLine(product.path(), target()), product.agent().awaitCommandLine());
    EXPECT_EQ((product.path() / L"Agent").wstring(), product.agent().workingFolder());

    // A folder finds the same class through its own verb.
    const ProcessResult folder = host(L"--manifest " + quoted(manifest.wstring()) + L" --install " +
                                      quoted(product.path().wstring()) + L" " + quoted(product.path().wstring()));
    ASSERT_EQ(0u, folder.exitCode) << folder.output;
    expectLines(folder.output, {"GetState(okToBeSlow false) = 0x00000000 enabled"});
}

// Windows 11's moments as the host plays them, with the build raised to a
// Windows 11 one: the classic entry shows right after installing, goes from a
// 64-bit host once the packaged command has answered it, and comes back for a
// user who brought back the classic menu. Another process that asked the
// packaged command after this host started (a file dialog of another
// program) leaves this host's entry in place. A 32-bit host always shows it.
TEST_F(ShellHostTest, ClassicEntryAtWindows11Moments)
{
    const StringValueStage windows11(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                     L"CurrentBuildNumber", L"22631");
    const std::wstring restoredMenu = L"Software\\Classes\\CLSID\\{86ca1aa0-34aa-4e8b-a509-50c905bae2a2}";
    const RegistryStage override(HKEY_CURRENT_USER, {restoredMenu});
    const std::wstring answered = L"--packaged-answered {04E00E36-A66D-4BF3-9BD6-B9B885A6E71D} ";
    const std::wstring otherAnswered = L"--other-process-answered {04E00E36-A66D-4BF3-9BD6-B9B885A6E71D} ";
    const struct {
        std::wstring options;
        bool classicEntry;
    } moments[] = {
        {L"", true},
        {answered, !is64BitBuild()},
        {answered + L"--classic-menu-restored ", true},
        {otherAnswered, true},
    };
    for (const auto& moment : moments) {
        const ProcessResult result = host(moment.options + quoted(target()));
        ASSERT_EQ(0u, result.exitCode) << result.output;
        const std::string& out = result.output;
        EXPECT_EQ(moment.classicEntry, out.find("\"Scan for threats\"") != std::string::npos) << out;
        if (moment.options == otherAnswered) {
            EXPECT_NE(std::string::npos, out.find("asked the packaged command first: exit 0")) << out;
        } else if (!moment.options.empty()) {
            EXPECT_NE(std::string::npos, out.find("packaged command {04E00E36-A66D-4BF3-9BD6-B9B885A6E71D} "
                                                  "asked first: GetState = 0x00000000 enabled"))
                << out;
        }
    }
    // The host put the override in place for its run only.
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, restoredMenu));
}

}  // namespace
