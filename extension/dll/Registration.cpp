// Self-registration: the application identity and the handler class from the
// module's registry scripts, and the type library from its resources.

#include "ClassIds.h"
#include "ComObject.h"
#include "Module.h"
#include "RegistryScript.h"
#include "Resource.h"
#include "UniqueResource.h"

#include <oleauto.h>
#include <shlwapi.h>
#include <strsafe.h>

#include <string>

namespace {

// The scripts must read the same whatever the user's locale.
class SystemLocaleScope {
public:
    SystemLocaleScope() noexcept : saved_(GetThreadLocale())
    {
        SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
    }
    ~SystemLocaleScope() { SetThreadLocale(saved_); }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

private:
    LCID saved_;
};

HRESULT lastErrorResult() noexcept
{
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// The module's full path; a path that fills the buffer may have been cut.
HRESULT modulePath(wchar_t (&path)[MAX_PATH]) noexcept
{
    const DWORD length = GetModuleFileNameW(g_moduleInstance, path, MAX_PATH);
    if (length == 0)
        return lastErrorResult();
    if (length >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

// Carries out the module's registry script of that resource identifier: 8-bit
// text in the thread's ANSI code page, given the application identity and
// the module's path. An in-process module's path goes in unquoted; a quote
// inside it is doubled so that the script reads it back as one.
HRESULT runScript(UINT id, bool registering)
{
    wchar_t path[MAX_PATH];
    HRESULT hr = modulePath(path);
    if (FAILED(hr))
        return hr;
    const HRSRC resource = FindResourceW(g_moduleInstance, MAKEINTRESOURCEW(id), L"REGISTRY");
    const HGLOBAL loaded = resource ? LoadResource(g_moduleInstance, resource) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes)
        return lastErrorResult();
    const int size = static_cast<int>(SizeofResource(g_moduleInstance, resource));
    std::wstring script(MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, size, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, size, &script[0], static_cast<int>(script.size()));

    std::wstring quoted;
    for (const wchar_t* p = path; *p; ++p)
        quoted.append(*p == L'\'' ? 2 : 1, *p);
    CRegObject processor;
    if (FAILED(hr = processor.AddReplacement(L"APPID", APPID_OrnShExtText)) ||
        FAILED(hr = processor.AddReplacement(L"Module", quoted.c_str())) ||
        FAILED(hr = processor.AddReplacement(L"Module_Raw", quoted.c_str())))
        return hr;
    return registering ? processor.StringRegister(script.c_str())
                       : processor.StringUnregister(script.c_str());
}

// From the module itself, else from a .tlb file beside it.
HRESULT loadTypeLibrary(ITypeLib** library, wchar_t (&path)[MAX_PATH]) noexcept
{
    HRESULT hr = modulePath(path);
    if (FAILED(hr))
        return hr;
    hr = LoadTypeLib(path, library);
    if (FAILED(hr) && PathRenameExtensionW(path, L".tlb"))
        hr = LoadTypeLib(path, library);
    return hr;
}

HRESULT registerTypeLibrary() noexcept
{
    orn::com_ptr<ITypeLib> library;
    wchar_t path[MAX_PATH];
    HRESULT hr = loadTypeLibrary(library.put(), path);
    if (FAILED(hr))
        return hr;
    // The help folder is the folder of the library's help file (empty for a
    // library that names none); none at all when the library cannot say.
    orn::unique_bstr helpFile;
    if (FAILED(library->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.put())))
        return RegisterTypeLib(library.get(), path, nullptr);
    wchar_t helpFolder[MAX_PATH] = L"";
    if (helpFile) {
        StringCchCopyW(helpFolder, MAX_PATH, helpFile.get());
        PathRemoveFileSpecW(helpFolder);
    }
    return RegisterTypeLib(library.get(), path, helpFolder);
}

HRESULT unregisterTypeLibrary() noexcept
{
    orn::com_ptr<ITypeLib> library;
    wchar_t path[MAX_PATH];
    HRESULT hr = loadTypeLibrary(library.put(), path);
    TLIBATTR* attributes = nullptr;
    if (FAILED(hr) || FAILED(hr = library->GetLibAttr(&attributes)))
        return hr;
    hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                           attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return hr;
}

// On 64-bit Windows each build's class stands in the registry view of its
// bitness, while the AppID keys are one key for both views. Whether the
// other build's class is registered: on 32-bit Windows there is one view, and
// this module's class is already gone when this is asked.
bool otherBuildRegistered() noexcept
{
#ifdef _WIN64
    const REGSAM otherView = KEY_WOW64_32KEY;
#else
    const REGSAM otherView = KEY_WOW64_64KEY;
#endif
    wchar_t clsid[40];
    StringFromGUID2(CLSID_ShellExt, clsid, 40);
    wchar_t server[64];
    StringCchPrintfW(server, 64, L"CLSID\\%s\\InprocServer32", clsid);
    orn::unique_hkey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, server, 0, KEY_READ | otherView, key.put()) ==
           ERROR_SUCCESS;
}

}  // namespace

// The Explorer command's class is registered by the package's manifest only.
STDAPI DllRegisterServer()
{
    return comBoundary([] {
        SystemLocaleScope locale;
        HRESULT hr = runScript(IDR_ORNSHEXT_APPID, true);
        if (SUCCEEDED(hr))
            hr = runScript(IDR_SHELLEXT, true);
        if (SUCCEEDED(hr))
            hr = registerTypeLibrary();
        return hr;
    });
}

STDAPI DllUnregisterServer()
{
    return comBoundary([] {
        SystemLocaleScope locale;
        HRESULT hr = runScript(IDR_SHELLEXT, false);
        if (SUCCEEDED(hr))
            hr = unregisterTypeLibrary();
        // The other build's class still names the shared application identity.
        if (SUCCEEDED(hr) && !otherBuildRegistered())
            hr = runScript(IDR_ORNSHEXT_APPID, false);
        return hr;
    });
}
