#include "ScanLauncher.h"

#include <shellapi.h>

#include <new>
#include <vector>

#include "LogRecord.h"
#include "RegistryValues.h"
#include "UniqueResource.h"

#include <strsafe.h>

namespace {

const char sourceUnit[] = ".\\CorvaneExtHelper";
const char component[] = "OrnShExt";

using launcher_detail::bufferChars;

HRESULT failedToReadRegistry(int line)
{
    LogRecord(sourceUnit, line, LevelError, component, defaultLogManager())
        .print(L"Failed to read registry");
    return E_INVALIDARG;
}

// Finds the installation folder: the native key must open; its value is
// looked for again under the Wow6432Node key only by a 32-bit process on
// 64-bit Windows. The 64-bit build's first try is already in the 32-bit view
// (ProductKeys.h) and IsWow64 is false there, so it makes no second try.
HRESULT findInstallDir(const InstallKeys& keys, wchar_t (&installDir)[installDirCapacity])
{
    orn::unique_hkey nativeKey;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, keys.native, KEY_READ, nativeKey.put()) != ERROR_SUCCESS)
        return failedToReadRegistry(__LINE__);
    if (ReadInstallDirAsStored(nativeKey.get(), installDir))
        return S_OK;
    if (!IsWow64())
        return failedToReadRegistry(__LINE__);
    orn::unique_hkey wow32Key;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, keys.wow32, KEY_READ, wow32Key.put()) != ERROR_SUCCESS)
        return failedToReadRegistry(__LINE__);
    if (!ReadInstallDirAsStored(wow32Key.get(), installDir))
        return failedToReadRegistry(__LINE__);
    return S_OK;
}

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
// policy is unknown there is no package to leave, and the agent starts
// without it. A failed start is not reported, as for the shell's.
void createOutsidePackage(ScanLaunch& launch)
{
    using unique_attribute_list = orn::unique_resource<LPPROC_THREAD_ATTRIBUTE_LIST,
                                                       orn::closer<&DeleteProcThreadAttributeList>>;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<BYTE> storage(size);
    unique_attribute_list attributes;
    if (size && InitializeProcThreadAttributeList(
                    reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data()), 1, 0, &size))
        attributes.reset(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data()));
    DWORD policy = breakawayEnableProcessTree;
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    DWORD flags = 0;
    if (attributes && UpdateProcThreadAttribute(attributes.get(), 0, desktopAppPolicyAttribute,
                                                &policy, sizeof(policy), nullptr, nullptr)) {
        startup.lpAttributeList = attributes.get();
        flags = EXTENDED_STARTUPINFO_PRESENT;
    } else {
        LogRecord(sourceUnit, __LINE__, LevelDebug, component, defaultLogManager())
            .print(L"No desktop-app breakaway on this system (error %lu): agent started without it",
                   GetLastError());
    }
    // What the shell makes of a file and its parameters.
    wchar_t commandLine[2 * bufferChars + 3];
    StringCchPrintfW(commandLine, ARRAYSIZE(commandLine), L"\"%ls\" %ls", launch.agentPath,
                     launch.parameters);
    PROCESS_INFORMATION process = {};
    CreateProcessW(launch.agentPath, commandLine, nullptr, nullptr, FALSE, flags, nullptr,
                   launch.agentFolder, &startup.StartupInfo, &process);
    // Nothing waits for the agent.
    const orn::unique_handle thread(process.hThread), agent(process.hProcess);
}

}  // namespace

const wchar_t launcher_detail::parametersPattern[] = L"/RunDLL=%s,_StartScanFromCtxMenu@16 ";

HRESULT CCorvaneExtHelper::StartScan(HWND, const wchar_t* targetPath)
{
    return start(targetPath, false);
}

HRESULT CCorvaneExtHelper::StartScanOutsidePackage(const wchar_t* targetPath)
{
    return start(targetPath, true);
}

HRESULT CCorvaneExtHelper::start(const wchar_t* targetPath, bool outsidePackage)
{
    // The handler returns this straight to the shell; the log manager's
    // allocation failures are the only exceptions that can arise here.
    try {
        if (!targetPath || !*targetPath) {
            LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
                .print(L"Invalid Scan target");
            return E_INVALIDARG;
        }
        if (outsidePackage)
            launcher_detail::LaunchScanFrom(installKeys, targetPath,
                                            launcher_detail::LaunchRoute::outsidePackage);
        else
            LaunchScan(targetPath);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CCorvaneExtHelper::LaunchScan(const wchar_t* targetPath)
{
    return launcher_detail::LaunchScanFrom(installKeys, targetPath);
}

HRESULT launcher_detail::LaunchScanFrom(const InstallKeys& keys, const wchar_t* targetPath,
                                        LaunchRoute route)
{
    static_assert(bufferChars == installDirCapacity, "one size for every working buffer");
    wchar_t installDir[bufferChars] = L"";
    const HRESULT found = findInstallDir(keys, installDir);
    if (FAILED(found))
        return found;

    ScanLaunch launch = {};
    wchar_t libraryPath[bufferChars] = L"";
    // Every step cuts at the buffer's end and still terminates; one cut step
    // is enough to refuse the launch below.
    const bool whole =
        SUCCEEDED(StringCchCopyW(launch.agentFolder, bufferChars, installDir)) &&
        SUCCEEDED(StringCchCatW(launch.agentFolder, bufferChars, L"\\Agent")) &&
        SUCCEEDED(StringCchCopyW(launch.agentPath, bufferChars, launch.agentFolder)) &&
        SUCCEEDED(StringCchCatW(launch.agentPath, bufferChars, L"\\zuAgtSvc.exe")) &&
        SUCCEEDED(StringCchCopyW(libraryPath, bufferChars, installDir)) &&
        SUCCEEDED(StringCchCatW(libraryPath, bufferChars, L"\\Vandor\\zuCioScn.dll")) &&
        SUCCEEDED(
            StringCchPrintfW(launch.parameters, bufferChars, parametersPattern, libraryPath)) &&
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
    // The agent reports on the scan itself; a failed start is not the shell
    // extension's to report. Its own folder is its working folder: the host's
    // would enter its DLL search and its relative paths.
    if (route == LaunchRoute::outsidePackage)
        createOutsidePackage(launch);
    else
        ShellExecuteW(nullptr, L"open", launch.agentPath, launch.parameters, launch.agentFolder,
                      SW_SHOWDEFAULT);
    return S_OK;
}
