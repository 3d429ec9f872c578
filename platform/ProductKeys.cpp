#include "ProductKeys.h"

const wchar_t installKey[] = L"SOFTWARE\\Quarvel\\Hollowmere";
const wchar_t installDirValue[] = L"szInstallDir";
const wchar_t agentKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Agent";
const wchar_t desktopUIKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI";
const wchar_t corvaneComponentKey[] =
    L"SOFTWARE\\Quarvel\\Hollowmere\\Agent\\Components\\CorvaneASaP";
const wchar_t surfwardenComponentKey[] =
    L"SOFTWARE\\Quarvel\\Hollowmere\\Agent\\Components\\Surfwarden";
const wchar_t logRegistryKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\Log";
const wchar_t shellExtUserKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\OrnShExt";
const wchar_t packagedCommandHostsKey[] = L"PackagedCommandHosts";

REGSAM ProductView(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0;
}

LONG OpenProductKey(HKEY root, const wchar_t* subKey, REGSAM access, HKEY* key)
{
    return RegOpenKeyExW(root, subKey, 0, access | ProductView(root), key);
}

LONG CreateProductKey(HKEY root, const wchar_t* subKey, REGSAM access, HKEY* key)
{
    return RegCreateKeyExW(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           access | ProductView(root), nullptr, key, nullptr);
}
