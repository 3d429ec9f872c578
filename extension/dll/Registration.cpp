// Self-registration: the application identity and the handler class from the
// module's registry scripts, and the type library from its resources.

#include "ComObject.h"
#include "Module.h"
#include "RegistryScript.h"
#include "Resource.h"
#include "UniqueResource.h"

#include <oleauto.h>
#include <shlwapi.h>

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

// The module's full path; a path that fills the buffer may have been cut.
HRESULT modulePath(wchar_t (&path)[MAX_PATH]) noexcept
{
    const DWORD length = GetModuleFileNameW(g_moduleInstance, path, MAX_PATH);
    if (length == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

// From the module itself, else from a .tlb file beside it.
HRESULT loadTypeLibrary(ITypeLib** library, std::wstring& loadedFrom) noexcept
{
    wchar_t path[MAX_PATH];
    HRESULT hr = modulePath(path);
    if (FAILED(hr))
        return hr;
    orn::com_ptr<ITypeLib> loaded;
    hr = LoadTypeLib(path, loaded.put());
    if (FAILED(hr)) {
        if (!PathRenameExtensionW(path, L".tlb"))
            return hr;
        hr = LoadTypeLib(path, loaded.put());
    }
    if (SUCCEEDED(hr)) {
        try {
            loadedFrom = path;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        *library = loaded.detach();
    }
    return hr;
}

// On 64-bit Windows each build's classes stand in the registry view of its
// bitness, while the AppID keys are one key for both views. Whether a class
// of this module is registered in the other view, by the other build: on
// 32-bit Windows there is one view, and this module's classes are already
// gone when this is asked.
bool otherBuildRegistered() noexcept
{
#ifdef _WIN64
    const REGSAM otherView = KEY_WOW64_32KEY;
#else
    const REGSAM otherView = KEY_WOW64_64KEY;
#endif
    for (const ClassTableEntry& entry : g_classTable) {
        wchar_t clsid[40];
        if (!StringFromGUID2(*entry.clsid, clsid, 40))
            continue;
        const std::wstring server = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
        orn::unique_hkey key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, KEY_READ | otherView, key.put()) ==
            ERROR_SUCCESS)
            return true;
    }
    return false;
}

}  // namespace

HRESULT COrnShExtModule::AddScriptReplacements(CRegObject& script) noexcept
{
    return script.AddReplacement(L"APPID", APPID_OrnShExtText);
}

HRESULT COrnShExtModule::UpdateRegistryFromResource(UINT scriptId, bool registering,
                                                    const ScriptReplacement* extra,
                                                    std::size_t extraCount) noexcept
{
    CRegObject script;
    HRESULT hr = S_OK;
    for (std::size_t i = 0; i < extraCount && SUCCEEDED(hr); ++i)
        hr = script.AddReplacement(extra[i].name, extra[i].value);
    if (SUCCEEDED(hr))
        hr = AddScriptReplacements(script);
    wchar_t path[MAX_PATH];
    if (SUCCEEDED(hr))
        hr = modulePath(path);
    if (FAILED(hr))
        return hr;
    // An in-process module's path goes in unquoted; a quote inside it is
    // doubled so that the script reads it back as one.
    std::wstring quoted;
    try {
        for (const wchar_t* p = path; *p; ++p) {
            quoted += *p;
            if (*p == L'\'')
                quoted += L'\'';
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr = script.AddReplacement(L"Module", quoted.c_str())) ||
        FAILED(hr = script.AddReplacement(L"Module_Raw", quoted.c_str())))
        return hr;
    return registering ? script.ResourceRegister(path, scriptId, L"REGISTRY")
                       : script.ResourceUnregister(path, scriptId, L"REGISTRY");
}

HRESULT COrnShExtModule::RegisterTypeLibrary() noexcept
{
    orn::com_ptr<ITypeLib> library;
    std::wstring path;
    HRESULT hr = loadTypeLibrary(library.put(), path);
    if (FAILED(hr))
        return hr;
    // The help folder is the folder of the library's help file; none when
    // the library cannot say.
    orn::unique_bstr helpFile;
    std::wstring helpFolder;
    const bool haveHelp =
        SUCCEEDED(library->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.put()));
    if (helpFile) {
        try {
            const std::wstring file(helpFile.get());
            const std::size_t slash = file.find_last_of(L"\\/");
            if (slash != std::wstring::npos)
                helpFolder.assign(file, 0, slash);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    return RegisterTypeLib(library.get(), &path[0], haveHelp ? &helpFolder[0] : nullptr);
}

HRESULT COrnShExtModule::UnregisterTypeLibrary() noexcept
{
    orn::com_ptr<ITypeLib> library;
    std::wstring path;
    HRESULT hr = loadTypeLibrary(library.put(), path);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attributes = nullptr;
    if (FAILED(hr = library->GetLibAttr(&attributes)))
        return hr;
    hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                           attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return hr;
}

HRESULT COrnShExtModule::RegisterServer() noexcept
{
    SystemLocaleScope locale;
    const ScriptReplacement appId[] = {{L"APPID", APPID_OrnShExtText}};
    HRESULT hr = UpdateRegistryFromResource(IDR_ORNSHEXT_APPID, true, appId, 1);
    for (ClassTableEntry& entry : g_classTable) {
        if (SUCCEEDED(hr))
            hr = entry.updateRegistry(true);
    }
    if (SUCCEEDED(hr))
        hr = RegisterTypeLibrary();
    return hr;
}

HRESULT COrnShExtModule::UnregisterServer() noexcept
{
    SystemLocaleScope locale;
    HRESULT hr = S_OK;
    for (ClassTableEntry& entry : g_classTable) {
        if (SUCCEEDED(hr))
            hr = entry.updateRegistry(false);
    }
    if (SUCCEEDED(hr))
        hr = UnregisterTypeLibrary();
    // The other build's class still names the shared application identity.
    if (SUCCEEDED(hr) && !otherBuildRegistered()) {
        const ScriptReplacement appId[] = {{L"APPID", APPID_OrnShExtText}};
        hr = UpdateRegistryFromResource(IDR_ORNSHEXT_APPID, false, appId, 1);
    }
    return hr;
}

STDAPI DllRegisterServer()
{
    return g_module.RegisterServer();
}

STDAPI DllUnregisterServer()
{
    return g_module.UnregisterServer();
}
