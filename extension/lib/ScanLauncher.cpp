#include "ScanLauncher.h"

#include <shellapi.h>

#include "AttributeList.h"
#include "LogRecord.h"
#include "ProductKeys.h"
#include "RegistryValues.h"
#include "UniqueResource.h"

#include <strsafe.h>

namespace {

const char sourceUnit[] = ".\\CorvaneExtHelper";
const char component[] = "OrnShExt";

// Characters of every working buffer of a launch, terminator included.
constexpr size_t bufferChars = 1024;

// What one launch starts, composed in one place for both routes.
struct ScanLaunch {
    wchar_t agentFolder[bufferChars];
    wchar_t agentPath[bufferChars];
    wchar_t parameters[bufferChars];
};

// The desktop-app policy of process creation (Windows 10 1703 on), which
// mingw-w64 declares only for targets newer than the module's.
constexpr DWORD_PTR desktopAppPolicyAttribute = 18 | PROC_THREAD_ATTRIBUTE_INPUT;
constexpr DWORD breakawayEnableProcessTree = 0x01;

// The agent as a process of its own, outside any package of this process:
// the Explorer command runs in its package's surrogate, and Windows ends a
// package's processes when the package is removed or updated. Where the
// policy is unknown there is no package to leave; where Windows refuses it
// for this caller, a scan that an upgrade may end is still better than a
// click that does nothing. Either way the agent starts without it, and the
// log says why; a start that fails is logged with its error.
void createOutsidePackage(ScanLaunch& launch)
{
    const orn::attribute_list attributes(1);
    DWORD policy = breakawayEnableProcessTree;
    const bool withPolicy = attributes.get() && UpdateProcThreadAttribute(
                                                    attributes.get(), 0, desktopAppPolicyAttribute,
                                                    &policy, sizeof(policy), nullptr, nullptr);
    if (!withPolicy) {
        LogRecord(sourceUnit, __LINE__, LevelDebug, component, defaultLogManager())
            .print(L"No desktop-app breakaway on this system (error %lu): agent started without it",
                   GetLastError());
    }
    // What the shell makes of a file and its parameters; made anew for each
    // start, which may change it.
    wchar_t commandLine[2 * bufferChars + 3];
    const auto start = [&](DWORD flags, STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
        StringCchPrintfW(commandLine, ARRAYSIZE(commandLine), L"\"%ls\" %ls", launch.agentPath,
                         launch.parameters);
        return CreateProcessW(launch.agentPath, commandLine, nullptr, nullptr, FALSE, flags,
                              nullptr, launch.agentFolder, &startup, &process) != FALSE;
    };
    PROCESS_INFORMATION process = {};
    STARTUPINFOEXW outside = {};
    outside.StartupInfo.cb = sizeof(outside);
    outside.lpAttributeList = attributes.get();
    bool started = withPolicy && start(EXTENDED_STARTUPINFO_PRESENT, outside.StartupInfo, process);
    if (withPolicy && !started) {
        LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
            .print(L"The agent could not be started outside the package (error %lu): started "
                   L"inside it, where an update of the package ends the scan",
                   GetLastError());
    }
    if (!started) {
        STARTUPINFOW plain = {};
        plain.cb = sizeof(plain);
        started = start(0, plain, process);
        if (!started) {
            LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
                .print(L"The agent could not be started (error %lu) <%s>", GetLastError(),
                       launch.agentPath);
        }
    }
    // Nothing waits for the agent.
    const orn::unique_handle thread(process.hThread), agent(process.hProcess);
}

}  // namespace

HRESULT CCorvaneExtHelper::StartScan(HWND, const wchar_t* targetPath, Route route)
{
    if (!targetPath || !*targetPath) {
        LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
            .print(L"Invalid Scan target");
        return E_INVALIDARG;
    }
    // The shell is told nothing of a scan that could not start: the launch
    // has logged why.
    LaunchScan(targetPath, route);
    return S_OK;
}

HRESULT CCorvaneExtHelper::LaunchScan(const wchar_t* targetPath, Route route)
{
    wchar_t installDir[installFolderChars];
    if (!ReadInstallFolder(installDir)) {
        LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
            .print(L"Failed to read registry");
        return E_INVALIDARG;
    }

    ScanLaunch launch = {};
    wchar_t libraryPath[bufferChars] = L"";
    // Every step cuts at the buffer's end and still terminates; one cut step
    // is enough to refuse the launch below.
    const bool whole =
        SUCCEEDED(StringCchPrintfW(launch.agentFolder, bufferChars, L"%s%s", installDir,
                                   productFiles::agentFolder)) &&
        SUCCEEDED(StringCchPrintfW(launch.agentPath, bufferChars, L"%s%s", installDir,
                                   productFiles::agentProgram)) &&
        SUCCEEDED(StringCchPrintfW(libraryPath, bufferChars, L"%s%s", installDir,
                                   productFiles::scanLibrary)) &&
        SUCCEEDED(StringCchPrintfW(launch.parameters, bufferChars,
                                   L"/RunDLL=%s,_StartScanFromCtxMenu@16 ", libraryPath)) &&
        SUCCEEDED(StringCchCatW(launch.parameters, bufferChars, targetPath));
    if (!whole) {
        // A cut command line would have the agent scan some other path (or load
        // some other library) while the user believes the chosen one is scanned.
        LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
            .print(L"Scan command line longer than %d characters, not launched <%s>",
                   static_cast<int>(bufferChars - 1), targetPath);
        return E_INVALIDARG;
    }

    LogRecord(sourceUnit, __LINE__, LevelDebug, component, defaultLogManager())
        .print(L"About to launch <%s> <%s>", launch.agentPath, launch.parameters);
    // The agent reports on the scan itself; the shell shows the user a start
    // it could not make, a start outside the package is logged. Its own
    // folder is its working folder: the host's would enter its DLL search and
    // its relative paths.
    if (route == Route::outsidePackage)
        createOutsidePackage(launch);
    else
        ShellExecuteW(nullptr, L"open", launch.agentPath, launch.parameters, launch.agentFolder,
                      SW_SHOWDEFAULT);
    return S_OK;
}
