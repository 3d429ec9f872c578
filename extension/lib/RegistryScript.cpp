// The registry half of the registry-script processor: a script read whole
// by RegistryScriptParser is walked once to register or to unregister.
#include "RegistryScript.h"

#include "RegistryScriptParser.h"
#include "UniqueResource.h"

#include <cwchar>

using namespace regscript_detail;

namespace {

enum class Mode { Register, Unregister };

// Keys shared by the whole system: ForceRemove and Delete never take them.
const wchar_t* const protectedKeys[] = {
    L"AppID",    L"CLSID",     L"Component Categories",
    L"FileType", L"Interface", L"Hardware",
    L"Mime",     L"SAM",       L"SECURITY",
    L"SYSTEM",   L"Software",  L"TypeLib",
};

HRESULT setValue(HKEY key, const wchar_t* name, const ScriptValue& value)
{
    const LONG error = RegSetValueExW(key, name, 0, value.type, value.bytes.data(),
                                      static_cast<DWORD>(value.bytes.size()));
    return HRESULT_FROM_WIN32(error);
}

HRESULT deleteTree(HKEY parent, const std::wstring& name)
{
    for (const wchar_t* keep : protectedKeys) {
        if (sameText(name, keep))
            return S_OK;
    }
    const LONG error = RegDeleteTreeW(parent, name.c_str());
    return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT applyBlock(HKEY key, const std::vector<ScriptEntry>& block, Mode mode);

HRESULT applyValue(HKEY key, const ScriptEntry& entry, Mode mode)
{
    if (mode == Mode::Register)
        return setValue(key, entry.name.c_str(), *entry.value);
    const LONG error = RegDeleteValueW(key, entry.name.c_str());
    return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
}

// Unregistering removes a key only once nothing is left below it.
HRESULT applyKey(HKEY parent, const ScriptEntry& entry, Mode mode)
{
    const wchar_t* name = entry.name.c_str();
    HRESULT hr = S_OK;
    if (mode == Mode::Register) {
        // Delete removes the key, and its block writes nothing.
        if (entry.flag == KeyFlag::Delete)
            return deleteTree(parent, entry.name);
        if (entry.flag == KeyFlag::ForceRemove && FAILED(hr = deleteTree(parent, entry.name)))
            return hr;
        orn::unique_hkey key;
        const LONG error = RegCreateKeyExW(parent, name, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                           nullptr, key.put(), nullptr);
        if (error != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(error);
        if (entry.value && FAILED(hr = setValue(key.get(), nullptr, *entry.value)))
            return hr;
        return applyBlock(key.get(), entry.block, Mode::Register);
    }

    orn::unique_hkey key;
    LONG error = RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE, key.put());
    if (error == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (error != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(error);
    if (FAILED(hr = applyBlock(key.get(), entry.block, Mode::Unregister)))
        return hr;
    if (entry.flag == KeyFlag::NoRemove)
        return S_OK;
    DWORD subkeys = 0;
    error = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr);
    key.reset();
    if (error != ERROR_SUCCESS || subkeys != 0)
        return S_OK;
    error = RegDeleteKeyW(parent, name);
    return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT applyBlock(HKEY key, const std::vector<ScriptEntry>& block, Mode mode)
{
    for (const ScriptEntry& entry : block) {
        const HRESULT hr =
            entry.isValue ? applyValue(key, entry, mode) : applyKey(key, entry, mode);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT apply(const std::vector<ScriptRoot>& roots, Mode mode)
{
    for (const ScriptRoot& root : roots) {
        const HRESULT hr = applyBlock(root.key, root.block, mode);
        if (FAILED(hr)) {
            // Only a failing registry call gets here: take back what the
            // failed block wrote.
            if (mode == Mode::Register)
                applyBlock(root.key, root.block, Mode::Unregister);
            return hr;
        }
    }
    return S_OK;
}

}  // namespace

HRESULT CRegObject::AddReplacement(const wchar_t* name, const wchar_t* value)
{
    if (!name || !value)
        return E_INVALIDARG;
    if (std::wcslen(name) > maxReplacementName)
        return E_FAIL;
    replacements_.emplace_back(name, value);
    return S_OK;
}

HRESULT CRegObject::StringRegister(const wchar_t* script)
{
    return Run(script, true);
}

HRESULT CRegObject::StringUnregister(const wchar_t* script)
{
    return Run(script, false);
}

HRESULT CRegObject::Run(const wchar_t* script, bool registering)
{
    if (!script)
        return E_INVALIDARG;
    // %name% references are replaced before the text is parsed, and the
    // whole script is read before anything is written.
    std::wstring text;
    std::vector<ScriptRoot> roots;
    HRESULT hr = expandReplacements(script, replacements_, text);
    if (SUCCEEDED(hr))
        hr = parseScript(text, roots);
    if (SUCCEEDED(hr))
        hr = apply(roots, registering ? Mode::Register : Mode::Unregister);
    return hr;
}
