// Hostile registry scripts for CRegObject. Every predefined root a script can
// name is mapped onto a private key first, so whatever a script says lands
// there. Generated scripts must register exactly what they name and
// unregister it again; mutated and random ones must end in S_OK or a failure
// code, never a crash or a hang. Counts: 1500 generated, 4000 mutated, 1500
// random (each case costs a few registry calls under Wine).

#include "FuzzSupport.h"
#include "Registry.h"

#include "RegistryScript.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

constexpr std::uint64_t defaultSeed = 0x5c121e7ull;

struct Value {
    std::wstring name;  // empty: the key's default value
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;
};

struct Key {
    std::wstring name;
    std::wstring flag;  // "", "NoRemove", "ForceRemove"
    bool hasDefault = false;
    Value defaultValue;
    std::vector<Value> values;
    std::vector<Key> children;
};

std::vector<BYTE> textBytes(const std::wstring& text)
{
    const BYTE* raw = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(raw, raw + (text.size() + 1) * sizeof(wchar_t));
}

std::wstring quote(const std::wstring& text)
{
    std::wstring result = L"'";
    for (wchar_t c : text) {
        result += c;
        if (c == L'\'')
            result += L'\'';
    }
    return result + L"'";
}

// A value statement's type and data, and the bytes the registry must hold.
std::wstring valueText(fuzz::Random& random, Value& value, const std::wstring& module)
{
    static const std::vector<std::wstring> texts = {L"Apartment", L"it''s", L"a b c", L"",
                                                    L"{7C1D52B0-9E3A-4F06-8B2D-5A4E61C0F3D9}",
                                                    L"100%%", L"%MODULE%"};
    switch (random.below(4)) {
    case 0: {
        const DWORD number = static_cast<DWORD>(random.next());
        value.type = REG_DWORD;
        value.bytes.assign(reinterpret_cast<const BYTE*>(&number),
                           reinterpret_cast<const BYTE*>(&number) + sizeof number);
        return L"d '" + std::to_wstring(number) + L"'";
    }
    case 1: {
        value.type = REG_MULTI_SZ;
        std::wstring script, stored;
        const std::size_t parts = 1 + random.below(3);
        for (std::size_t i = 0; i < parts; ++i) {
            const std::wstring part = L"p" + std::to_wstring(random.below(100));
            script += (i ? L"\\0" : L"") + part;
            stored += part + L'\0';
        }
        stored += L'\0';
        const BYTE* raw = reinterpret_cast<const BYTE*>(stored.data());
        value.bytes.assign(raw, raw + stored.size() * sizeof(wchar_t));
        return L"m '" + script + L"'";
    }
    case 2: {
        value.type = REG_BINARY;
        std::wstring hex;
        value.bytes.clear();
        for (std::size_t i = random.below(8); i > 0; --i) {
            const BYTE b = static_cast<BYTE>(random.below(256));
            value.bytes.push_back(b);
            wchar_t pair[3];
            swprintf(pair, 3, L"%02X", b);
            hex += pair;
        }
        return L"b '" + hex + L"'";
    }
    default: {
        value.type = REG_SZ;
        std::wstring text = random.pick(texts);
        std::wstring stored;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text.compare(i, 2, L"%%") == 0) {
                stored += L'%';
                ++i;
            } else if (text.compare(i, 8, L"%MODULE%") == 0) {
                stored += module;
                i += 7;
            } else if (text.compare(i, 2, L"''") == 0) {
                stored += L'\'';
                ++i;
            } else {
                stored += text[i];
            }
        }
        value.bytes = textBytes(stored);
        return L"s '" + text + L"'";
    }
    }
}

Key generatedKey(fuzz::Random& random, int depth, int index, const std::wstring& module,
                 std::wstring& script, const std::wstring& indent)
{
    Key key;
    key.name = L"OrnFuzzK" + std::to_wstring(depth) + L"_" + std::to_wstring(index) +
               (random.chance(20) ? L" spaced" : L"");
    const std::size_t flag = random.below(6);
    key.flag = flag == 0 ? L"NoRemove" : flag == 1 ? L"ForceRemove" : L"";
    script += indent + (key.flag.empty() ? L"" : key.flag + L" ") + quote(key.name);
    if (random.chance(40)) {
        key.hasDefault = true;
        script += L" = " + valueText(random, key.defaultValue, module);
    }
    const bool block = depth < 4 && random.chance(60);
    if (block) {
        script += L"\r\n" + indent + L"{\r\n";
        for (std::size_t v = random.below(3); v > 0; --v) {
            Value value;
            value.name = L"val" + std::to_wstring(key.values.size());
            script += indent + L"    val " + value.name + L" = " +
                      valueText(random, value, module) + L"\r\n";
            key.values.push_back(value);
        }
        for (int c = static_cast<int>(random.below(3)); c > 0; --c)
            key.children.push_back(generatedKey(random, depth + 1, c, module, script,
                                                indent + L"    "));
        script += indent + L"}";
    }
    script += L"\r\n";
    return key;
}

bool hasValue(HKEY key, const Value& value)
{
    DWORD type = 0, size = 0;
    const wchar_t* name = value.name.empty() ? nullptr : value.name.c_str();
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::vector<BYTE> bytes(size);
    if (size && RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS)
        return false;
    return type == value.type && bytes == value.bytes;
}

// Everything the script names is there, with its bytes.
::testing::AssertionResult registered(HKEY parent, const Key& key)
{
    orn::unique_hkey opened;
    if (RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS)
        return ::testing::AssertionFailure() << "missing key " << std::string(key.name.begin(), key.name.end());
    if (key.hasDefault && !hasValue(opened.get(), key.defaultValue))
        return ::testing::AssertionFailure() << "default value of " << std::string(key.name.begin(), key.name.end());
    for (const Value& value : key.values) {
        if (!hasValue(opened.get(), value))
            return ::testing::AssertionFailure() << "value " << std::string(value.name.begin(), value.name.end());
    }
    for (const Key& child : key.children) {
        auto result = registered(opened.get(), child);
        if (!result)
            return result;
    }
    return ::testing::AssertionSuccess();
}

bool keepsSomething(const Key& key)
{
    if (key.flag == L"NoRemove")
        return true;
    for (const Key& child : key.children) {
        if (keepsSomething(child))
            return true;
    }
    return false;
}

// After unregistration only keys marked NoRemove (and the path to them)
// remain, and none of the named values.
::testing::AssertionResult unregistered(HKEY parent, const Key& key)
{
    orn::unique_hkey opened;
    const bool exists =
        RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
    if (!keepsSomething(key))
        return exists ? ::testing::AssertionFailure() << "left key " << std::string(key.name.begin(), key.name.end())
                      : ::testing::AssertionSuccess();
    if (!exists)
        return ::testing::AssertionFailure() << "removed NoRemove path " << std::string(key.name.begin(), key.name.end());
    for (const Value& value : key.values) {
        if (RegQueryValueExW(opened.get(), value.name.c_str(), nullptr, nullptr, nullptr,
                             nullptr) == ERROR_SUCCESS)
            return ::testing::AssertionFailure() << "left value " << std::string(value.name.begin(), value.name.end());
    }
    for (const Key& child : key.children) {
        auto result = unregistered(opened.get(), child);
        if (!result)
            return result;
    }
    return ::testing::AssertionSuccess();
}

// Empties every private root between cases.
void clearRoots(const testsupport::RegistrySandbox& registry)
{
    for (std::size_t i = 0; i < registry.roots().size(); ++i)
        RegDeleteTreeW(registry.key(i), nullptr);
}

class RegScriptFuzz : public ::testing::Test {
protected:
    testsupport::RegistrySandbox registry{L"fuzz\\regscript", testsupport::RegistrySandbox::allRoots()};
    const std::uint64_t seed = fuzz::seedFromEnvironment(defaultSeed);
    const std::wstring module = L"C:\\Program Files\\Quarvel\\OrnShExt.dll";

    // A whole generated script over one or two roots, and its keys by root.
    std::wstring generatedScript(fuzz::Random& random,
                                 std::vector<std::pair<std::size_t, std::vector<Key>>>& roots)
    {
        static const std::vector<std::pair<const wchar_t*, std::size_t>> names = {
            {L"HKCR", 0}, {L"HKLM", 1}, {L"HKEY_CLASSES_ROOT", 0}, {L"HKCU", 4}, {L"HKU", 2}};
        std::wstring script;
        for (std::size_t r = 1 + random.below(2); r > 0; --r) {
            const auto& root = random.pick(names);
            std::vector<Key> keys;
            script += std::wstring(root.first) + L"\r\n{\r\n";
            for (int k = 1 + static_cast<int>(random.below(3)); k > 0; --k)
                keys.push_back(generatedKey(random, 0, k + 10 * static_cast<int>(r), module,
                                            script, L"    "));
            script += L"}\r\n";
            roots.emplace_back(root.second, keys);
        }
        return script;
    }
};

TEST_F(RegScriptFuzz, GeneratedScriptsRegisterAndUnregisterWhatTheyName)
{
    ASSERT_TRUE(registry.ready());
    fuzz::Random random(seed);
    for (int n = 0; n < 1500; ++n) {
        clearRoots(registry);
        std::vector<std::pair<std::size_t, std::vector<Key>>> roots;
        const std::wstring script = generatedScript(random, roots);
        CRegObject object;
        ASSERT_EQ(S_OK, object.AddReplacement(L"MODULE", module.c_str()));
        const fuzz::GuardedText guarded(script);
        ASSERT_EQ(S_OK, object.StringRegister(guarded.get()))
            << "seed " << seed << " case " << n << "\n"
            << std::string(script.begin(), script.end());
        for (const auto& root : roots) {
            for (const Key& key : root.second)
                ASSERT_TRUE(registered(registry.key(root.first), key))
                    << "seed " << seed << " case " << n;
        }
        ASSERT_EQ(S_OK, object.StringUnregister(guarded.get())) << "case " << n;
        for (const auto& root : roots) {
            for (const Key& key : root.second)
                ASSERT_TRUE(unregistered(registry.key(root.first), key))
                    << "seed " << seed << " case " << n << "\n"
                    << std::string(script.begin(), script.end());
        }
    }
    clearRoots(registry);
}

TEST_F(RegScriptFuzz, MutatedAndRandomScriptsEndInAResult)
{
    ASSERT_TRUE(registry.ready());
    fuzz::Random random(seed + 1);
    int accepted = 0;
    for (int n = 0; n < 5500; ++n) {
        clearRoots(registry);
        std::wstring script;
        if (n < 4000) {
            std::vector<std::pair<std::size_t, std::vector<Key>>> roots;
            script = fuzz::mutate(random, generatedScript(random, roots),
                                  1 + static_cast<int>(random.below(8)));
        } else {
            for (std::size_t i = random.below(400); i > 0; --i)
                script += random.anyCharacter();
        }
        CRegObject object;
        object.AddReplacement(L"MODULE", module.c_str());
        const fuzz::GuardedText guarded(script);
        const HRESULT registeredResult = object.StringRegister(guarded.get());
        const HRESULT unregisteredResult = object.StringUnregister(guarded.get());
        ASSERT_TRUE(registeredResult == S_OK || FAILED(registeredResult))
            << "seed " << seed + 1 << " case " << n << " 0x" << std::hex << registeredResult;
        ASSERT_TRUE(unregisteredResult == S_OK || FAILED(unregisteredResult)) << "case " << n;
        accepted += registeredResult == S_OK;
    }
    clearRoots(registry);
    // Mutations keep many scripts well-formed: both outcomes are exercised.
    EXPECT_GT(accepted, 300);
    EXPECT_LT(accepted, 5000);
}

}  // namespace
