#pragma once
// The registry-script processor. A script names root keys and, in braced
// blocks, the keys and values below them:
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {...} = s 'Name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Registration creates what the script names; unregistration removes the
// values it names and every key it names that has no subkeys left, except
// those marked NoRemove. Value types: s (text), d (number), m (texts parted
// by \0), b (hex bytes). %name% is replaced before parsing, %% gives %.
// The whole script is read (RegistryScriptParser.h) before anything is
// written, so a malformed one writes nothing.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

class CRegObject {
public:
    // E_FAIL for a name of more than 31 characters.
    HRESULT AddReplacement(const wchar_t* name, const wchar_t* value) noexcept;
    void ClearReplacements() noexcept { replacements_.clear(); }

    // The script is resource `id` of `type` in the module file `modulePath`,
    // 8-bit text in the thread's ANSI code page.
    HRESULT ResourceRegister(const wchar_t* modulePath, UINT id, const wchar_t* type) noexcept;
    HRESULT ResourceUnregister(const wchar_t* modulePath, UINT id, const wchar_t* type) noexcept;

    HRESULT StringRegister(const wchar_t* script) noexcept;
    HRESULT StringUnregister(const wchar_t* script) noexcept;

private:
    HRESULT RunResource(const wchar_t* modulePath, UINT id, const wchar_t* type,
                        bool registering) noexcept;
    HRESULT Run(const wchar_t* script, bool registering) noexcept;

    std::vector<std::pair<std::wstring, std::wstring>> replacements_;
};
