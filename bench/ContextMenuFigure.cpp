// Figure 4: QueryContextMenu of the registered module through COM, against
// the system calls it stands for, made bare in the same order.
#include "Figures.h"

#include "ClassIds.h"

#include "ProductKeys.h"
#include "UniqueResource.h"

#include <objbase.h>
#include <shlobj.h>

#include <cwchar>

namespace bench {

// The install key, the language chain (no stored choice, the user's UI
// language installed), the strings file, the menu.
HRESULT bareContextMenu(HMENU menu, HMODULE module, const std::wstring& installDir)
{
    orn::unique_hkey key;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, productKey, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return E_FAIL;
    wchar_t folder[1024];
    DWORD size = sizeof folder;
    RegQueryValueExW(key.get(), L"szInstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(folder),
                     &size);
    {
        // Opened and closed again, as the chain looks for a stored choice.
        orn::unique_hkey desktop;
        RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_READ, desktop.put());
    }
    const LANGID language = GetUserDefaultUILanguage();
    wchar_t dir[260];
    DWORD dirSize = sizeof dir;
    {
        orn::unique_hkey product;
        if (OpenProductKey(HKEY_LOCAL_MACHINE, productKey, KEY_READ, product.put()) == ERROR_SUCCESS)
            RegQueryValueExW(product.get(), L"szInstallDir", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(dir), &dirSize);
    }
    wchar_t path[1024];
    std::swprintf(path, 1024, L"%ls\\Agent\\Res\\%04x", installDir.c_str(), language);
    sink = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    sink = ConvertDefaultLocale(language);
    key.reset();
    std::wcscat(path, L"\\GenStrings.bin");
    wchar_t text[1024];
    GetPrivateProfileStringW(L"STR_SCANNOW", L"IDS_EXP_SCANNOW_DSTRING", L"", text, 1024, path);

    InsertMenuW(menu, 0, MF_SEPARATOR | MF_BYPOSITION, 0, nullptr);
    HMENU popup = CreatePopupMenu();
    InsertMenuW(popup, 0, MF_BYPOSITION | MF_STRING, 100, text);
    LoadStringW(module, 101, text, 1024);
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
    item.wID = 100;
    item.hSubMenu = popup;
    item.dwTypeData = text;
    InsertMenuItemW(menu, 1, TRUE, &item);
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
}

Figure contextMenu()
{
    Figure figure;
    figure.name = sizeof(void*) == 8 ? "4 QueryContextMenu via COM vs bare calls, 64-bit"
                                     : "4 QueryContextMenu via COM vs bare calls, 32-bit";
    figure.target = 1.3;
    const std::wstring dll = programFolder() + L"\\..\\extension\\OrnShExt.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module) {
        figure.note = "OrnShExt.dll not found";
        return figure;
    }
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    // Through void*: FARPROC's return type differs from HRESULT in the 64-bit build.
    auto registerServer = reinterpret_cast<EntryPoint>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    auto unregisterServer = reinterpret_cast<EntryPoint>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    CoInitialize(nullptr);
    if (!registerServer || FAILED(registerServer())) {
        figure.note = "DllRegisterServer failed";
        CoUninitialize();
        return figure;
    }
    {
        orn::com_ptr<IContextMenu> handler;
        HRESULT hr = CoCreateInstance(CLSID_ShellExt, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IContextMenu, handler.put_void());
        if (FAILED(hr)) {
            figure.note = "CoCreateInstance failed";
        } else {
            HMENU probe = CreatePopupMenu();
            hr = handler->QueryContextMenu(probe, 0, 100, 200, CMF_NORMAL);
            const int items = GetMenuItemCount(probe);
            DestroyMenu(probe);
            if (hr != MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1) || items != 2) {
                figure.note = "the handler added no entry";
            } else {
                const std::wstring installDir = installFolder();
                figure = compare(
                    figure.name.c_str(), 1.3, 15, 40,
                    [&](int) {
                        HMENU menu = CreatePopupMenu();
                        sink = handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);
                        DestroyMenu(menu);
                    },
                    [&](int) {
                        HMENU menu = CreatePopupMenu();
                        sink = bareContextMenu(menu, module, installDir);
                        DestroyMenu(menu);
                    });
            }
        }
    }
    if (unregisterServer)
        unregisterServer();
    CoUninitialize();
    return figure;
}

}  // namespace bench
