#include "ScanCommand.h"

#include "MenuStrings.h"
#include "PackageIdentity.h"
#include "ProductKeys.h"
#include "PlatformInfo.h"
#include "RegistryValues.h"
#include "ScanLauncher.h"
#include "UniqueResource.h"

#include <strsafe.h>

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

bool CScanCommand::InstallationKnown() noexcept
{
    const auto folderIn = [](const wchar_t* view) {
        orn::unique_hkey key;
        wchar_t folder[installDirCapacity];
        return OpenProductKey(HKEY_LOCAL_MACHINE, view, KEY_QUERY_VALUE, key.put()) ==
                   ERROR_SUCCESS &&
               ReadInstallDirAsStored(key.get(), folder) && folder[0];
    };
    if (folderIn(installKeys.native))
        return true;
    // The Wow6432Node copy counts only under WoW64.
    try {
        return IsWow64() && folderIn(installKeys.wow32);
    } catch (...) {
        return false;
    }
}

HRESULT CScanCommand::Launch(HWND window, const wchar_t* path) noexcept
{
    return CCorvaneExtHelper().StartScan(window, path);
}

HRESULT CScanCommand::LaunchOutsidePackage(const wchar_t* path) noexcept
{
    return CCorvaneExtHelper().StartScanOutsidePackage(path);
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
            const bool copied =
                name[0] && SUCCEEDED(StringCchCopyW(path, CScanCommand::textChars, name));
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
    return !(host.host64Bit && host.windowsBuild >= firstWindows11Build && host.packageRegistered);
}

namespace {

// The true build: GetVersionExW answers what the host's manifest admits to.
DWORD windowsBuild() noexcept
{
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                        GetProcAddress(ntdll, "RtlGetVersion")))
                                  : nullptr;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!getVersion || getVersion(&version) != 0)
        return 0;
    return version.dwBuildNumber;
}

// The package identity functions exist from Windows 8 on; the module must
// load on earlier systems, so they are looked up when needed.
struct PackageVersion {
    UINT64 version;
};
struct PackageId {
    UINT32 reserved;
    UINT32 processorArchitecture;
    PackageVersion version;
    const wchar_t* name;
    const wchar_t* publisher;
    const wchar_t* resourceId;
    const wchar_t* publisherId;
};

// Whether the package of the Explorer command is registered for this user.
bool packageRegistered() noexcept
{
    using FamilyNameFn = LONG(WINAPI*)(const PackageId*, UINT32*, wchar_t*);
    using PackagesFn = LONG(WINAPI*)(const wchar_t*, UINT32*, wchar_t**, UINT32*, wchar_t*);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return false;
    const auto familyNameFromId = reinterpret_cast<FamilyNameFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "PackageFamilyNameFromId")));
    const auto packagesByFamily = reinterpret_cast<PackagesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetPackagesByPackageFamily")));
    if (!familyNameFromId || !packagesByFamily)
        return false;
    PackageId id = {};
    id.name = ORN_PACKAGE_NAME;
    id.publisher = ORN_PACKAGE_PUBLISHER;
    wchar_t family[128];
    UINT32 familyChars = 128;
    if (familyNameFromId(&id, &familyChars, family) != ERROR_SUCCESS)
        return false;
    UINT32 packages = 0;
    UINT32 bufferChars = 0;
    // With no buffer the count comes back with ERROR_INSUFFICIENT_BUFFER.
    const LONG result = packagesByFamily(family, &packages, nullptr, &bufferChars, nullptr);
    return (result == ERROR_SUCCESS || result == ERROR_INSUFFICIENT_BUFFER) && packages > 0;
}

}  // namespace

bool ClassicMenuWantedHere() noexcept
{
    MenuHostFacts host = {sizeof(void*) == 8, 0, false};
    if (host.host64Bit)
        host.windowsBuild = windowsBuild();
    if (host.host64Bit && host.windowsBuild >= firstWindows11Build)
        host.packageRegistered = packageRegistered();
    return ClassicMenuWanted(host);
}
