#include "ScanLauncher.h"

#include <shellapi.h>

#include <new>

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

}  // namespace

const wchar_t launcher_detail::parametersPattern[] = L"/RunDLL=%s,_StartScanFromCtxMenu@16 ";

HRESULT CCorvaneExtHelper::StartScan(HWND, const wchar_t* targetPath)
{
    // The handler returns this straight to the shell; the log manager's
    // allocation failures are the only exceptions that can arise here.
    try {
        if (!targetPath || !*targetPath) {
            LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
                .print(L"Invalid Scan target");
            return E_INVALIDARG;
        }
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

HRESULT launcher_detail::LaunchScanFrom(const InstallKeys& keys, const wchar_t* targetPath)
{
    static_assert(bufferChars == installDirCapacity, "one size for every working buffer");
    wchar_t installDir[bufferChars] = L"";
    const HRESULT found = findInstallDir(keys, installDir);
    if (FAILED(found))
        return found;

    wchar_t agentPath[bufferChars] = L"";
    wchar_t libraryPath[bufferChars] = L"";
    wchar_t parameters[bufferChars] = L"";
    // Every step cuts at the buffer's end and still terminates; one cut step
    // is enough to refuse the launch below.
    const bool whole =
        SUCCEEDED(StringCchCopyW(agentPath, bufferChars, installDir)) &&
        SUCCEEDED(StringCchCatW(agentPath, bufferChars, L"\\Agent\\zuAgtSvc.exe")) &&
        SUCCEEDED(StringCchCopyW(libraryPath, bufferChars, installDir)) &&
        SUCCEEDED(StringCchCatW(libraryPath, bufferChars, L"\\Vandor\\zuCioScn.dll")) &&
        SUCCEEDED(StringCchPrintfW(parameters, bufferChars, parametersPattern, libraryPath)) &&
        SUCCEEDED(StringCchCatW(parameters, bufferChars, targetPath));
    if (!whole) {
        // A cut command line would have the agent scan some other path (or load
        // some other library) while the user believes the chosen one is scanned.
        LogRecord(sourceUnit, __LINE__, LevelError, component, defaultLogManager())
            .print(L"Scan command line longer than %d characters, not launched <%s>",
                   static_cast<int>(bufferChars - 1), targetPath);
        return E_INVALIDARG;
    }

    LogRecord(sourceUnit, __LINE__, LevelDebug, component, defaultLogManager())
        .print(L"About to launch <%s> <%s>", agentPath, parameters);
    // The agent reports on the scan itself; a failed start is not the shell
    // extension's to report.
    ShellExecuteW(nullptr, L"open", agentPath, parameters, nullptr, SW_SHOWDEFAULT);
    return S_OK;
}
