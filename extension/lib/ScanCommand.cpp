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
    // An unknown start (0) proves nothing; neither does an unknown record.
    const bool packagedCommandShown = host.host64Bit && host.windowsBuild >= firstWindows11Build &&
                                      !host.classicMenuRestored && host.hostStarted != 0 &&
                                      host.packagedCommandAsked > host.hostStarted;
    return !packagedCommandShown;
}

namespace {

// The per-user override that brings back the classic menu: Explorer then
// asks no packaged command at all.
constexpr wchar_t classicMenuOverrideKey[] =
    L"Software\\Classes\\CLSID\\{86ca1aa0-34aa-4e8b-a509-50c905bae2a2}\\InprocServer32";

ULONGLONG fileTimeNumber(const FILETIME& time) noexcept
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
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

ULONGLONG packagedCommandAsked() noexcept
{
    ULONGLONG time = 0;
    DWORD bytes = sizeof(time);
    return RegGetValueW(HKEY_CURRENT_USER, shellExtUserKey, packagedCommandAskedValue,
                        RRF_RT_REG_QWORD, nullptr, &time, &bytes) == ERROR_SUCCESS
               ? time
               : 0;
}

ULONGLONG hostStarted() noexcept
{
    FILETIME created, exited, kernel, user;
    return GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)
               ? fileTimeNumber(created)
               : 0;
}

}  // namespace

bool ClassicMenuWantedHere() noexcept
{
    MenuHostFacts host = {sizeof(void*) == 8, 0, false, 0, 0};
    if (host.host64Bit)
        host.windowsBuild = windowsBuild();
    if (host.windowsBuild >= firstWindows11Build) {
        host.classicMenuRestored = classicMenuRestored();
        host.packagedCommandAsked = host.classicMenuRestored ? 0 : packagedCommandAsked();
        host.hostStarted = host.packagedCommandAsked ? hostStarted() : 0;
    }
    return ClassicMenuWanted(host);
}

void RecordPackagedCommandAsked() noexcept
{
    static std::atomic<bool> recorded{false};
    if (recorded.exchange(true))
        return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG time = fileTimeNumber(now);
    orn::unique_hkey key;
    if (CreateProductKey(HKEY_CURRENT_USER, shellExtUserKey, KEY_SET_VALUE, key.put()) ==
        ERROR_SUCCESS)
        RegSetValueExW(key.get(), packagedCommandAskedValue, 0, REG_QWORD,
                       reinterpret_cast<const BYTE*>(&time), sizeof(time));
}
