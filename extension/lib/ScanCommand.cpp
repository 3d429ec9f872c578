#include "ScanCommand.h"

#include "MenuStrings.h"
#include "ProductKeys.h"
#include "RegistryValues.h"
#include "UniqueResource.h"

#include <strsafe.h>

#include <atomic>
#include <cwchar>

bool CScanCommand::Title(wchar_t (&text)[textChars])
{
    return CGenStrings().GetString(L"IDS_EXP_SCANNOW_DSTRING", text, textChars) != 0;
}

bool CScanCommand::Help(wchar_t (&text)[textChars])
{
    return CGenStrings().GetString(L"IDS_SCAN", text, textChars) != 0;
}

bool CScanCommand::IconLocation(HMODULE module, int iconId, wchar_t (&location)[textChars]) noexcept
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    // A negative index names the icon by its resource identifier.
    return SUCCEEDED(StringCchPrintfW(location, textChars, L"%ls,-%d", path, iconId));
}

bool FirstFileSystemPath(IShellItemArray* items, wchar_t (&path)[CScanCommand::textChars]) noexcept
{
    path[0] = L'\0';
    DWORD count = 0;
    if (!items || FAILED(items->GetCount(&count)))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        orn::com_ptr<IShellItem> item;
        if (FAILED(items->GetItemAt(i, item.put())))
            continue;
        // Items without a file-system path (libraries, devices, the network
        // root) cannot be scanned by path and are passed over.
        wchar_t* name = nullptr;
        if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &name)) && name) {
            const bool copied = SUCCEEDED(StringCchCopyW(path, CScanCommand::textChars, name));
            CoTaskMemFree(name);
            if (copied)
                return true;
            path[0] = L'\0';
        }
    }
    return false;
}

bool ClassicMenuWanted(const MenuHostFacts& host) noexcept
{
    const bool packagedCommandShown = host.host64Bit && host.windowsBuild >= firstWindows11Build &&
                                      !host.classicMenuRestored && host.shownToThisHost &&
                                      host.packageRegistered;
    return !packagedCommandShown;
}

namespace {

// The per-user override that brings back the classic menu: Explorer then
// asks no packaged command at all.
constexpr wchar_t classicMenuOverrideKey[] =
    L"Software\\Classes\\CLSID\\{86ca1aa0-34aa-4e8b-a509-50c905bae2a2}\\InprocServer32";

// Hosts to which the packaged command answered "shown": a value per process,
// named by its id, holding its start time.
constexpr std::size_t recordKeyChars = 128;
// Values looked at when stale ones are cleared.
constexpr DWORD recordedHostsBound = 256;

ULONGLONG fileTimeNumber(const FILETIME& time) noexcept
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool recordKey(wchar_t (&key)[recordKeyChars]) noexcept
{
    return SUCCEEDED(StringCchPrintfW(key, recordKeyChars, L"%ls\\%ls", shellExtUserKey,
                                      packagedCommandHostsKey));
}

// The true build, as the installer reads it to register the package:
// GetVersionExW answers only what the host's manifest admits to.
DWORD windowsBuild() noexcept
{
    orn::unique_hkey key;
    wchar_t text[16];
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS ||
        !ReadStringValue(key.get(), L"CurrentBuildNumber", text, 16, EmptyValue::asUnreadable))
        return 0;
    return static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
}

bool classicMenuRestored() noexcept
{
    orn::unique_hkey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, classicMenuOverrideKey, 0, KEY_QUERY_VALUE,
                         key.put()) == ERROR_SUCCESS;
}

// A process's start, 0 when it cannot be read (or it has ended).
ULONGLONG processStarted(DWORD processId) noexcept
{
    const bool self = processId == GetCurrentProcessId();
    const orn::unique_handle process(
        self ? nullptr : OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    FILETIME created, exited, kernel, user;
    DWORD exitCode = 0;
    if ((!self && !process) ||
        !GetProcessTimes(self ? GetCurrentProcess() : process.get(), &created, &exited, &kernel,
                         &user) ||
        (!self && (!GetExitCodeProcess(process.get(), &exitCode) || exitCode != STILL_ACTIVE)))
        return 0;
    return fileTimeNumber(created);
}

bool shownToThisHost() noexcept
{
    wchar_t key[recordKeyChars], name[16];
    const DWORD self = GetCurrentProcessId();
    ULONGLONG recorded = 0;
    DWORD bytes = sizeof(recorded);
    if (!recordKey(key) || FAILED(StringCchPrintfW(name, 16, L"%lu", self)) ||
        RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_QWORD, nullptr, &recorded, &bytes) !=
            ERROR_SUCCESS)
        return false;
    // Another process of the same id, started earlier, proves nothing here.
    return recorded != 0 && recorded == processStarted(self);
}

// Whether the user has the package. A system that keeps no packages (none
// before Windows 8) has nothing to ask; there the record decides alone.
bool packageRegistered() noexcept
{
    using PackagesByFamily = LONG(WINAPI*)(PCWSTR, UINT32*, PWSTR*, UINT32*, WCHAR*);
    const auto packagesByFamily = reinterpret_cast<PackagesByFamily>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetPackagesByPackageFamily")));
    if (!packagesByFamily)
        return true;
    UINT32 packages = 0;
    UINT32 bufferChars = 0;
    // With no buffer the count comes back with ERROR_INSUFFICIENT_BUFFER.
    const LONG result =
        packagesByFamily(ORN_PACKAGE_FAMILY, &packages, nullptr, &bufferChars, nullptr);
    return (result == ERROR_SUCCESS || result == ERROR_INSUFFICIENT_BUFFER) && packages > 0;
}

// The process that asked the packaged command: the caller of a COM call
// from another process (its thread, in the single-threaded apartment that
// builds a menu), or this process for a direct call. 0 when unknown: a
// caller in a multithreaded apartment names no thread.
DWORD callerProcess() noexcept
{
    DWORD thread = 0;
    if (CoGetCallerTID(&thread) != S_FALSE)
        return GetCurrentProcessId();
    if (thread == 0 || thread == static_cast<DWORD>(-1))
        return 0;
    const orn::unique_handle caller(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread));
    return caller ? GetProcessIdOfThread(caller.get()) : 0;
}

// Records of processes that have ended, or whose id another process now
// has, go when a new one is written.
void clearStaleRecords(HKEY key) noexcept
{
    wchar_t stale[recordedHostsBound][16];
    DWORD staleCount = 0;
    for (DWORD index = 0; index < recordedHostsBound; ++index) {
        wchar_t name[16];
        DWORD nameChars = 16, type = 0;
        ULONGLONG started = 0;
        DWORD bytes = sizeof(started);
        const LONG result = RegEnumValueW(key, index, name, &nameChars, nullptr, &type,
                                          reinterpret_cast<BYTE*>(&started), &bytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        const bool current = result == ERROR_SUCCESS && type == REG_QWORD &&
                             bytes == sizeof(started) &&
                             started == processStarted(std::wcstoul(name, nullptr, 10));
        if (!current && result == ERROR_SUCCESS)
            StringCchCopyW(stale[staleCount++], 16, name);
    }
    for (DWORD i = 0; i < staleCount; ++i)
        RegDeleteValueW(key, stale[i]);
}

}  // namespace

bool ClassicMenuWantedHere() noexcept
{
    MenuHostFacts host = {sizeof(void*) == 8, 0, false, false, false};
    if (host.host64Bit)
        host.windowsBuild = windowsBuild();
    if (host.windowsBuild >= firstWindows11Build) {
        host.classicMenuRestored = classicMenuRestored();
        host.shownToThisHost = !host.classicMenuRestored && shownToThisHost();
        host.packageRegistered = host.shownToThisHost && packageRegistered();
    }
    return ClassicMenuWanted(host);
}

void RecordPackagedCommandShown() noexcept
{
    // The host last recorded by this process: a surrogate that outlives one
    // Explorer records the next.
    static std::atomic<DWORD> recordedHost{0};
    static std::atomic<ULONGLONG> recordedStart{0};
    const DWORD host = callerProcess();
    const ULONGLONG started = host ? processStarted(host) : 0;
    if (!started || (recordedHost.load() == host && recordedStart.load() == started))
        return;
    wchar_t keyPath[recordKeyChars], name[16];
    orn::unique_hkey key;
    if (!recordKey(keyPath) || FAILED(StringCchPrintfW(name, 16, L"%lu", host)) ||
        CreateProductKey(HKEY_CURRENT_USER, keyPath, KEY_SET_VALUE | KEY_QUERY_VALUE, key.put()) !=
            ERROR_SUCCESS)
        return;
    clearStaleRecords(key.get());
    if (RegSetValueExW(key.get(), name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&started),
                       sizeof(started)) == ERROR_SUCCESS) {
        recordedHost = host;
        recordedStart = started;
    }
}
