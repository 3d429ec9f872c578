#pragma once
// The reading half of the registry-script processor (RegistryScript.h): the
// script's text, its %name% references replaced, read into roots, keys and
// values that the registry half then walks. Nothing here touches the
// registry, so a malformed script is refused before anything is written.

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace regscript_detail {

constexpr std::size_t maxReplacementName = 31;

using Replacements = std::vector<std::pair<std::wstring, std::wstring>>;

// A value as RegSetValueExW takes it.
struct ScriptValue {
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;
};

enum class KeyFlag { None, NoRemove, ForceRemove, Delete };

// One statement of a block, in script order: "val <name> = <type> <data>",
// or a key with its flag, its default value if one is given and the
// statements of its block (none without a block).
struct ScriptEntry {
    bool isValue = false;
    std::wstring name;
    KeyFlag flag = KeyFlag::None;
    std::optional<ScriptValue> value;
    std::vector<ScriptEntry> block;
};

struct ScriptRoot {
    HKEY key = nullptr;
    std::vector<ScriptEntry> block;
};

bool sameText(const std::wstring& a, const wchar_t* b) noexcept;

// The script with every %name% replaced by the first replacement of that
// name (case does not matter) and %% by %: DISP_E_EXCEPTION for an unclosed
// or unknown reference, E_FAIL for a name longer than maxReplacementName.
HRESULT expandReplacements(const wchar_t* script, const Replacements& replacements,
                           std::wstring& text);

// S_OK with the whole script read into roots, DISP_E_EXCEPTION for a
// malformed one. Throws std::bad_alloc only when memory runs out.
HRESULT parseScript(const std::wstring& text, std::vector<ScriptRoot>& roots);

}  // namespace regscript_detail
