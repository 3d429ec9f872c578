#include "RegistryScriptParser.h"

#include "HexDigit.h"

#include <oleauto.h>

#include <cwchar>

namespace regscript_detail {
namespace {

// A token longer than this is a malformed script.
constexpr std::size_t maxTokenLength = 4094;
// The registry itself nests no deeper; the limit also bounds the recursion.
constexpr int maxDepth = 512;

struct RootKey {
    const wchar_t* name;
    HKEY key;
};

const RootKey rootKeys[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKU", HKEY_USERS},
    {L"HKPD", HKEY_PERFORMANCE_DATA},
    {L"HKDD", HKEY_DYN_DATA},
    {L"HKCC", HKEY_CURRENT_CONFIG},
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

bool isSeparator(wchar_t c) noexcept
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

struct Token {
    std::wstring text;
    bool quoted = false;

    // Keywords and braces count only when written bare.
    bool is(const wchar_t* word) const noexcept { return !quoted && sameText(text, word); }
};

void appendText(std::vector<BYTE>& bytes, const std::wstring& text)
{
    const BYTE* raw = reinterpret_cast<const BYTE*>(text.c_str());
    bytes.insert(bytes.end(), raw, raw + (text.size() + 1) * sizeof(wchar_t));
}

class ScriptParser {
public:
    explicit ScriptParser(const std::wstring& text) : text_(text) {}

    HRESULT Script(std::vector<ScriptRoot>& roots)
    {
        for (;;) {
            Token token;
            HRESULT hr = Next(token);
            if (hr == S_FALSE)
                return S_OK;
            if (FAILED(hr))
                return hr;
            ScriptRoot root;
            for (const RootKey& candidate : rootKeys) {
                if (sameText(token.text, candidate.name))
                    root.key = candidate.key;
            }
            if (!root.key)
                return DISP_E_EXCEPTION;
            if (FAILED(hr = Require(token)))
                return hr;
            if (!token.is(L"{"))
                return DISP_E_EXCEPTION;
            if (FAILED(hr = Block(root.block, 1)))
                return hr;
            roots.push_back(std::move(root));
        }
    }

private:
    // S_OK with a token, S_FALSE at the end of the text.
    HRESULT Next(Token& token)
    {
        while (position_ < text_.size() && isSeparator(text_[position_]))
            ++position_;
        if (position_ == text_.size())
            return S_FALSE;
        token.text.clear();
        token.quoted = text_[position_] == L'\'';
        if (token.quoted) {
            ++position_;
            for (;;) {
                if (position_ == text_.size())
                    return DISP_E_EXCEPTION;
                const wchar_t c = text_[position_++];
                if (c == L'\'') {
                    if (position_ == text_.size() || text_[position_] != L'\'')
                        break;
                    ++position_;
                }
                token.text += c;
                if (token.text.size() > maxTokenLength)
                    return DISP_E_EXCEPTION;
            }
        } else {
            while (position_ < text_.size() && !isSeparator(text_[position_])) {
                token.text += text_[position_++];
                if (token.text.size() > maxTokenLength)
                    return DISP_E_EXCEPTION;
            }
        }
        return S_OK;
    }

    // A token where the script must go on.
    HRESULT Require(Token& token)
    {
        const HRESULT hr = Next(token);
        return hr == S_FALSE ? DISP_E_EXCEPTION : hr;
    }

    HRESULT Require(Token& first, Token& second)
    {
        const HRESULT hr = Require(first);
        return SUCCEEDED(hr) ? Require(second) : hr;
    }

    // Consumes the next token if it is the bare word given.
    bool Accept(const wchar_t* word)
    {
        const std::size_t start = position_;
        Token token;
        if (Next(token) == S_OK && token.is(word))
            return true;
        position_ = start;
        return false;
    }

    // "= <type> <data>" after its equals sign.
    HRESULT Value(ScriptValue& value)
    {
        Token type, data;
        const HRESULT hr = Require(type, data);
        if (FAILED(hr))
            return hr;
        if (type.quoted || type.text.size() != 1)
            return DISP_E_EXCEPTION;
        value.bytes.clear();
        switch (type.text[0]) {
        case L's':
        case L'S':
            value.type = REG_SZ;
            appendText(value.bytes, data.text);
            return S_OK;
        case L'd':
        case L'D': {
            ULONG number = 0;
            if (FAILED(VarUI4FromStr(&data.text[0], 0, 0, &number)))
                return DISP_E_EXCEPTION;
            value.type = REG_DWORD;
            const BYTE* raw = reinterpret_cast<const BYTE*>(&number);
            value.bytes.assign(raw, raw + sizeof(number));
            return S_OK;
        }
        case L'm':
        case L'M': {
            value.type = REG_MULTI_SZ;
            std::size_t start = 0;
            for (;;) {
                const std::size_t mark = data.text.find(L"\\0", start);
                appendText(value.bytes, data.text.substr(start, mark - start));
                if (mark == std::wstring::npos)
                    break;
                start = mark + 2;
            }
            appendText(value.bytes, std::wstring());
            return S_OK;
        }
        case L'b':
        case L'B':
            value.type = REG_BINARY;
            if (data.text.size() % 2)
                return DISP_E_EXCEPTION;
            for (std::size_t i = 0; i < data.text.size(); i += 2) {
                const int high = orn::hexDigitValue(data.text[i]),
                          low = orn::hexDigitValue(data.text[i + 1]);
                if (high < 0 || low < 0)
                    return DISP_E_EXCEPTION;
                value.bytes.push_back(static_cast<BYTE>(high * 16 + low));
            }
            return S_OK;
        default: return DISP_E_EXCEPTION;
        }
    }

    // The statements of a block whose opening brace has been read, up to and
    // including its closing brace.
    HRESULT Block(std::vector<ScriptEntry>& block, int depth)
    {
        if (depth > maxDepth)
            return DISP_E_EXCEPTION;
        for (;;) {
            Token token;
            HRESULT hr = Require(token);
            if (FAILED(hr))
                return hr;
            if (token.is(L"}"))
                return S_OK;
            ScriptEntry entry;
            if (token.is(L"val")) {
                hr = NamedValue(entry);
            } else {
                if (token.is(L"NoRemove"))
                    entry.flag = KeyFlag::NoRemove;
                else if (token.is(L"ForceRemove"))
                    entry.flag = KeyFlag::ForceRemove;
                else if (token.is(L"Delete"))
                    entry.flag = KeyFlag::Delete;
                if (entry.flag != KeyFlag::None && FAILED(hr = Require(token)))
                    return hr;
                hr = Key(token, entry, depth);
            }
            if (FAILED(hr))
                return hr;
            block.push_back(std::move(entry));
        }
    }

    // "val <name> = <type> <data>" after the word val.
    HRESULT NamedValue(ScriptEntry& entry)
    {
        Token name, equals;
        HRESULT hr = Require(name, equals);
        if (FAILED(hr))
            return hr;
        if (!equals.is(L"="))
            return DISP_E_EXCEPTION;
        entry.isValue = true;
        entry.name = name.text;
        entry.value.emplace();
        return Value(*entry.value);
    }

    // A key statement: name, optional default value, optional block.
    HRESULT Key(const Token& name, ScriptEntry& entry, int depth)
    {
        if (name.text.empty() || name.text.find(L'\\') != std::wstring::npos || name.is(L"{") ||
            name.is(L"}") || name.is(L"="))
            return DISP_E_EXCEPTION;
        entry.name = name.text;
        if (Accept(L"=")) {
            entry.value.emplace();
            const HRESULT hr = Value(*entry.value);
            if (FAILED(hr))
                return hr;
        }
        return Accept(L"{") ? Block(entry.block, depth + 1) : S_OK;
    }

    const std::wstring& text_;
    std::size_t position_ = 0;
};

}  // namespace

bool sameText(const std::wstring& a, const wchar_t* b) noexcept
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

HRESULT expandReplacements(const wchar_t* script, const Replacements& replacements,
                           std::wstring& text)
{
    for (const wchar_t* p = script; *p; ++p) {
        if (*p != L'%') {
            text += *p;
            continue;
        }
        const wchar_t* end = std::wcschr(p + 1, L'%');
        if (!end)
            return DISP_E_EXCEPTION;
        if (end == p + 1) {
            text += L'%';
        } else {
            const std::wstring name(p + 1, end);
            if (name.size() > maxReplacementName)
                return E_FAIL;
            const std::wstring* value = nullptr;
            for (const auto& replacement : replacements) {
                if (!value && sameText(name, replacement.first.c_str()))
                    value = &replacement.second;
            }
            if (!value)
                return DISP_E_EXCEPTION;
            text += *value;
        }
        p = end;
    }
    return S_OK;
}

HRESULT parseScript(const std::wstring& text, std::vector<ScriptRoot>& roots)
{
    return ScriptParser(text).Script(roots);
}

}  // namespace regscript_detail
