#include "RegistryScript.h"

#include "UniqueResource.h"

#include <oleauto.h>

#include <exception>
#include <new>

namespace {

// A token longer than this is a malformed script.
constexpr std::size_t maxTokenLength = 4094;
constexpr std::size_t maxReplacementName = 31;
// The registry itself nests no deeper; the limit also bounds the recursion.
constexpr int maxDepth = 512;

struct RootKey {
    const wchar_t* name;
    HKEY key;
};

const RootKey rootKeys[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},   {L"HKU", HKEY_USERS},
    {L"HKPD", HKEY_PERFORMANCE_DATA}, {L"HKDD", HKEY_DYN_DATA},
    {L"HKCC", HKEY_CURRENT_CONFIG},
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Keys shared by the whole system: ForceRemove and Delete never take them.
const wchar_t* const protectedKeys[] = {
    L"AppID", L"CLSID", L"Component Categories", L"FileType", L"Interface", L"Hardware",
    L"Mime", L"SAM", L"SECURITY", L"SYSTEM", L"Software", L"TypeLib",
};

bool sameText(const std::wstring& a, const wchar_t* b) noexcept
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

HRESULT lastErrorResult() noexcept
{
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool isSeparator(wchar_t c) noexcept
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

int hexDigit(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

struct Token {
    std::wstring text;
    bool quoted = false;

    // Keywords and braces count only when written bare.
    bool is(const wchar_t* word) const noexcept { return !quoted && sameText(text, word); }
};

struct ValueData {
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;
};

enum class Mode { Register, Unregister, Skip };
enum class KeyFlag { None, NoRemove, ForceRemove, Delete };

class ScriptParser {
public:
    explicit ScriptParser(const std::wstring& text) : text_(text) {}

    // The whole script is checked first, so that a malformed one writes
    // nothing; only a failing registry call leaves something to take back.
    HRESULT Run(bool registering)
    {
        HRESULT hr = Pass(Mode::Skip);
        if (SUCCEEDED(hr)) {
            position_ = 0;
            hr = Pass(registering ? Mode::Register : Mode::Unregister);
        }
        return hr;
    }

private:
    HRESULT Pass(Mode mode)
    {
        for (;;) {
            Token token;
            HRESULT hr = Next(token);
            if (hr == S_FALSE)
                return S_OK;
            if (FAILED(hr))
                return hr;
            HKEY root = nullptr;
            for (const RootKey& candidate : rootKeys) {
                if (sameText(token.text, candidate.name))
                    root = candidate.key;
            }
            if (!root)
                return DISP_E_EXCEPTION;
            if (FAILED(hr = Require(token)))
                return hr;
            if (!token.is(L"{"))
                return DISP_E_EXCEPTION;
            const std::size_t blockStart = position_;
            hr = Block(root, mode, 1);
            if (FAILED(hr)) {
                if (mode == Mode::Register) {
                    // Take back what the failed block wrote.
                    position_ = blockStart;
                    Block(root, Mode::Unregister, 1);
                }
                return hr;
            }
        }
    }

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
    HRESULT Value(ValueData& value)
    {
        Token type, data;
        HRESULT hr = Require(type);
        if (SUCCEEDED(hr))
            hr = Require(data);
        if (FAILED(hr))
            return hr;
        if (type.quoted || type.text.size() != 1)
            return DISP_E_EXCEPTION;
        value.bytes.clear();
        switch (type.text[0]) {
        case L's': case L'S':
            value.type = REG_SZ;
            AppendText(value.bytes, data.text);
            return S_OK;
        case L'd': case L'D': {
            ULONG number = 0;
            if (FAILED(VarUI4FromStr(&data.text[0], 0, 0, &number)))
                return DISP_E_EXCEPTION;
            value.type = REG_DWORD;
            const BYTE* raw = reinterpret_cast<const BYTE*>(&number);
            value.bytes.assign(raw, raw + sizeof(number));
            return S_OK;
        }
        case L'm': case L'M': {
            value.type = REG_MULTI_SZ;
            std::size_t start = 0;
            for (;;) {
                const std::size_t mark = data.text.find(L"\\0", start);
                AppendText(value.bytes, data.text.substr(start, mark - start));
                if (mark == std::wstring::npos)
                    break;
                start = mark + 2;
            }
            AppendText(value.bytes, std::wstring());
            return S_OK;
        }
        case L'b': case L'B':
            value.type = REG_BINARY;
            if (data.text.size() % 2)
                return DISP_E_EXCEPTION;
            for (std::size_t i = 0; i < data.text.size(); i += 2) {
                const int high = hexDigit(data.text[i]), low = hexDigit(data.text[i + 1]);
                if (high < 0 || low < 0)
                    return DISP_E_EXCEPTION;
                value.bytes.push_back(static_cast<BYTE>(high * 16 + low));
            }
            return S_OK;
        default:
            return DISP_E_EXCEPTION;
        }
    }

    static void AppendText(std::vector<BYTE>& bytes, const std::wstring& text)
    {
        const BYTE* raw = reinterpret_cast<const BYTE*>(text.c_str());
        bytes.insert(bytes.end(), raw, raw + (text.size() + 1) * sizeof(wchar_t));
    }

    static HRESULT SetValue(HKEY key, const wchar_t* name, const ValueData& value)
    {
        const LONG error = RegSetValueExW(key, name, 0, value.type, value.bytes.data(),
                                          static_cast<DWORD>(value.bytes.size()));
        return HRESULT_FROM_WIN32(error);
    }

    static HRESULT DeleteTree(HKEY parent, const std::wstring& name)
    {
        for (const wchar_t* keep : protectedKeys) {
            if (sameText(name, keep))
                return S_OK;
        }
        const LONG error = RegDeleteTreeW(parent, name.c_str());
        return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
    }

    // The statements of a block whose opening brace has been read, up to and
    // including its closing brace.
    HRESULT Block(HKEY key, Mode mode, int depth)
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
            if (token.is(L"val")) {
                hr = NamedValue(key, mode);
            } else {
                KeyFlag flag = KeyFlag::None;
                if (token.is(L"NoRemove"))
                    flag = KeyFlag::NoRemove;
                else if (token.is(L"ForceRemove"))
                    flag = KeyFlag::ForceRemove;
                else if (token.is(L"Delete"))
                    flag = KeyFlag::Delete;
                if (flag != KeyFlag::None && FAILED(hr = Require(token)))
                    return hr;
                hr = Key(key, token, flag, mode, depth);
            }
            if (FAILED(hr))
                return hr;
        }
    }

    // "val <name> = <type> <data>" after the word val.
    HRESULT NamedValue(HKEY key, Mode mode)
    {
        Token name, equals;
        HRESULT hr = Require(name);
        if (SUCCEEDED(hr))
            hr = Require(equals);
        if (FAILED(hr))
            return hr;
        if (!equals.is(L"="))
            return DISP_E_EXCEPTION;
        ValueData value;
        if (FAILED(hr = Value(value)))
            return hr;
        if (mode == Mode::Register)
            return SetValue(key, name.text.c_str(), value);
        if (mode == Mode::Unregister) {
            const LONG error = RegDeleteValueW(key, name.text.c_str());
            return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
        }
        return S_OK;
    }

    // A key statement: name, optional default value, optional block.
    HRESULT Key(HKEY parent, const Token& name, KeyFlag flag, Mode mode, int depth)
    {
        if (name.text.empty() || name.text.find(L'\\') != std::wstring::npos ||
            name.is(L"{") || name.is(L"}") || name.is(L"="))
            return DISP_E_EXCEPTION;
        ValueData value;
        bool hasValue = false;
        HRESULT hr = S_OK;
        if (Accept(L"=")) {
            if (FAILED(hr = Value(value)))
                return hr;
            hasValue = true;
        }
        const bool hasBlock = Accept(L"{");

        if (mode == Mode::Skip)
            return hasBlock ? Block(nullptr, Mode::Skip, depth + 1) : S_OK;

        if (mode == Mode::Register) {
            if (flag == KeyFlag::Delete) {
                if (FAILED(hr = DeleteTree(parent, name.text)))
                    return hr;
                return hasBlock ? Block(nullptr, Mode::Skip, depth + 1) : S_OK;
            }
            if (flag == KeyFlag::ForceRemove && FAILED(hr = DeleteTree(parent, name.text)))
                return hr;
            orn::unique_hkey key;
            LONG error = RegCreateKeyExW(parent, name.text.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                         nullptr, key.put(), nullptr);
            if (error != ERROR_SUCCESS)
                return HRESULT_FROM_WIN32(error);
            if (hasValue && FAILED(hr = SetValue(key.get(), nullptr, value)))
                return hr;
            return hasBlock ? Block(key.get(), Mode::Register, depth + 1) : S_OK;
        }

        orn::unique_hkey key;
        LONG error = RegOpenKeyExW(parent, name.text.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
        if (error == ERROR_FILE_NOT_FOUND)
            return hasBlock ? Block(nullptr, Mode::Skip, depth + 1) : S_OK;
        if (error != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(error);
        if (hasBlock && FAILED(hr = Block(key.get(), Mode::Unregister, depth + 1)))
            return hr;
        if (flag == KeyFlag::NoRemove)
            return S_OK;
        DWORD subkeys = 0;
        error = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
        key.reset();
        if (error != ERROR_SUCCESS || subkeys != 0)
            return S_OK;
        error = RegDeleteKeyW(parent, name.text.c_str());
        return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
    }

    const std::wstring& text_;
    std::size_t position_ = 0;
};

}  // namespace

HRESULT CRegObject::AddReplacement(const wchar_t* name, const wchar_t* value) noexcept
{
    if (!name || !value)
        return E_INVALIDARG;
    if (wcslen(name) > maxReplacementName)
        return E_FAIL;
    try {
        replacements_.emplace_back(name, value);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegObject::StringRegister(const wchar_t* script) noexcept
{
    return Run(script, true);
}

HRESULT CRegObject::StringUnregister(const wchar_t* script) noexcept
{
    return Run(script, false);
}

HRESULT CRegObject::ResourceRegister(const wchar_t* modulePath, UINT id, const wchar_t* type) noexcept
{
    return RunResource(modulePath, id, type, true);
}

HRESULT CRegObject::ResourceUnregister(const wchar_t* modulePath, UINT id, const wchar_t* type) noexcept
{
    return RunResource(modulePath, id, type, false);
}

HRESULT CRegObject::RunResource(const wchar_t* modulePath, UINT id, const wchar_t* type,
                                bool registering) noexcept
{
    orn::unique_hmodule module(LoadLibraryExW(modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
        return lastErrorResult();
    HRSRC resource = FindResourceW(module.get(), MAKEINTRESOURCEW(id), type);
    if (!resource)
        return lastErrorResult();
    HGLOBAL loaded = LoadResource(module.get(), resource);
    const DWORD size = SizeofResource(module.get(), resource);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes)
        return lastErrorResult();
    try {
        std::wstring script;
        if (size) {
            const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), nullptr, 0);
            if (length <= 0)
                return lastErrorResult();
            script.resize(length);
            MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), &script[0], length);
        }
        return Run(script.c_str(), registering);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegObject::Run(const wchar_t* script, bool registering) noexcept
{
    if (!script)
        return E_INVALIDARG;
    try {
        // %name% references are replaced before the text is parsed.
        std::wstring text;
        for (const wchar_t* p = script; *p; ++p) {
            if (*p != L'%') {
                text += *p;
                continue;
            }
            const wchar_t* end = wcschr(p + 1, L'%');
            if (!end)
                return DISP_E_EXCEPTION;
            if (end == p + 1) {
                text += L'%';
            } else {
                const std::wstring name(p + 1, end);
                if (name.size() > maxReplacementName)
                    return E_FAIL;
                const std::wstring* value = nullptr;
                for (const auto& replacement : replacements_) {
                    if (!value && sameText(name, replacement.first.c_str()))
                        value = &replacement.second;
                }
                if (!value)
                    return DISP_E_EXCEPTION;
                text += *value;
            }
            p = end;
        }
        return ScriptParser(text).Run(registering);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception&) {
        return E_FAIL;
    }
}
