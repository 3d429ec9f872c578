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
    HRESULT AddReplacement(const wchar_t* name, const wchar_t* value);

    // Carries out the script: S_OK, or the first failure. Throw
    // std::bad_alloc only when memory runs out.
    HRESULT StringRegister(const wchar_t* script);
    HRESULT StringUnregister(const wchar_t* script);

private:
    HRESULT Run(const wchar_t* script, bool registering);

    std::vector<std::pair<std::wstring, std::wstring>> replacements_;
};
