// The registry-script processor against the real registry, below a key of
// the current user that each test owns.

#include "RegistryScript.h"
#include "BuiltModule.h"

#include <gtest/gtest.h>

namespace {

using namespace servertest;

class RegScriptTest : public ::testing::Test {
protected:
    void SetUp() override { base_ = L"Software\\OrnTest\\RegScript-" + uniqueSuffix(); }
    void TearDown() override
    {
        // The shared parent stays: deleting it raced with other test programs.
        RegDeleteTreeW(HKEY_CURRENT_USER, base_.c_str());
    }

    // The statements given, inside the test's own key.
    std::wstring script(const std::wstring& body) const
    {
        return L"HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove OrnTest\r\n\t\t{\r\n\t\t\tNoRemove '" +
               base_.substr(base_.rfind(L'\\') + 1) + L"'\r\n\t\t\t{\r\n" + body + L"\r\n\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n";
    }
    std::wstring key(const std::wstring& relative = L"") const
    {
        return relative.empty() ? base_ : base_ + L"\\" + relative;
    }
    bool exists(const std::wstring& relative) const { return keyExists(HKEY_CURRENT_USER, key(relative)); }

    CRegObject reg;
    std::wstring base_;
};

TEST_F(RegScriptTest, RegistersEveryValueTypeAndQuotedName)
{
    createKey(HKEY_CURRENT_USER, key());
    ASSERT_EQ(S_OK, reg.StringRegister(script(
        L"'Key With ''Quote''' = s 'Default %% text'\r\n"
        L"{\r\n"
        L"\tval Text = s 'It''s here'\r\n"
        L"\tval Number = d '4096'\r\n"
        L"\tval Several = m 'one\\0two\\0three'\r\n"
        L"\tval Bytes = b '00A1fF'\r\n"
        L"\t{5F0B5C4E-0000-4000-8000-000000000001}\r\n"
        L"}").c_str()));

    const std::wstring k = key(L"Key With 'Quote'");
    EXPECT_EQ(L"Default % text", readString(HKEY_CURRENT_USER, k, nullptr));
    EXPECT_EQ(L"It's here", readString(HKEY_CURRENT_USER, k, L"Text"));
    DWORD number = 0, size = sizeof(number), type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, k.c_str(), L"Number", RRF_RT_ANY, &type, &number, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(4096u, number);
    wchar_t multi[64] = {};
    size = sizeof(multi);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, k.c_str(), L"Several", RRF_RT_ANY, &type, multi, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ(std::wstring(L"one\0two\0three\0\0", 15), std::wstring(multi, size / sizeof(wchar_t)));
    BYTE bytes[8] = {};
    size = sizeof(bytes);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, k.c_str(), L"Bytes", RRF_RT_ANY, &type, bytes, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    ASSERT_EQ(3u, size);
    EXPECT_EQ(0x00, bytes[0]);
    EXPECT_EQ(0xA1, bytes[1]);
    EXPECT_EQ(0xFF, bytes[2]);
    EXPECT_TRUE(exists(L"Key With 'Quote'\\{5F0B5C4E-0000-4000-8000-000000000001}"));
}

TEST_F(RegScriptTest, LongRootNamesAndKeywordsIgnoreCase)
{
    const std::wstring tail = base_.substr(base_.rfind(L'\\') + 1);
    ASSERT_EQ(S_OK, reg.StringRegister((L"hkey_current_user { noremove Software { NOREMOVE OrnTest { '" + tail +
                                        L"' { Leaf { VAL v = S 'x' } } } } }").c_str()));
    EXPECT_EQ(L"x", readString(HKEY_CURRENT_USER, key(L"Leaf"), L"v"));
}

TEST_F(RegScriptTest, UnregisterRemovesWhatTheScriptNamesButNotNoRemoveOrForeignSubkeys)
{
    const std::wstring body =
        L"Kept\r\n{\r\n\tval A = s 'a'\r\n}\r\n"
        L"NoRemove Held\r\n{\r\n\tval B = s 'b'\r\n\tGone = s 'g'\r\n}\r\n"
        L"Shared\r\n{\r\n\tval C = s 'c'\r\n}\r\n";
    ASSERT_EQ(S_OK, reg.StringRegister(script(body).c_str()));
    createKey(HKEY_CURRENT_USER, key(L"Shared\\Foreign"));

    ASSERT_EQ(S_OK, reg.StringUnregister(script(body).c_str()));
    EXPECT_FALSE(exists(L"Kept"));
    EXPECT_TRUE(exists(L"Held"));
    EXPECT_FALSE(valueExists(HKEY_CURRENT_USER, key(L"Held"), L"B"));
    EXPECT_FALSE(exists(L"Held\\Gone"));
    // Another component's subkey keeps the key; only the script's value goes.
    EXPECT_TRUE(exists(L"Shared\\Foreign"));
    EXPECT_FALSE(valueExists(HKEY_CURRENT_USER, key(L"Shared"), L"C"));

    // Nothing left to remove is no error.
    EXPECT_EQ(S_OK, reg.StringUnregister(script(body).c_str()));
}

TEST_F(RegScriptTest, ForceRemoveRebuildsAndDeleteRemovesTheTree)
{
    setString(HKEY_CURRENT_USER, key(L"Rebuilt\\Stale"), L"old", L"1");
    setString(HKEY_CURRENT_USER, key(L"Doomed\\Deep"), L"old", L"1");
    ASSERT_EQ(S_OK, reg.StringRegister(script(
        L"ForceRemove Rebuilt = s 'new'\r\n"
        L"Delete Doomed = s 'skipped'\r\n"
        L"{\r\n\tval Ignored = s 'x'\r\n}\r\n").c_str()));
    EXPECT_TRUE(exists(L"Rebuilt"));
    EXPECT_FALSE(exists(L"Rebuilt\\Stale"));
    EXPECT_EQ(L"new", readString(HKEY_CURRENT_USER, key(L"Rebuilt"), nullptr));
    EXPECT_FALSE(exists(L"Doomed"));
}

TEST_F(RegScriptTest, SharedSystemKeyNamesAreNeverForceRemovedOrDeleted)
{
    // Compared without regard to case.
    for (const wchar_t* name : {L"AppID", L"CLSID", L"Component Categories", L"FileType", L"Interface",
                                L"Hardware", L"MIME", L"SAM", L"SECURITY", L"SYSTEM", L"software", L"TypeLib"}) {
        setString(HKEY_CURRENT_USER, key(std::wstring(name) + L"\\Inside"), L"v", L"1");
        const std::wstring quotedName = std::wstring(L"'") + name + L"'";
        ASSERT_EQ(S_OK, reg.StringRegister(script(L"Delete " + quotedName + L"\r\nForceRemove " + quotedName).c_str()))
            << name;
        EXPECT_TRUE(exists(std::wstring(name) + L"\\Inside")) << name;
    }
}

// The first replacement of a name is the one used.
TEST_F(RegScriptTest, ReplacementsAreFoundIgnoringCase)
{
    ASSERT_EQ(S_OK, reg.AddReplacement(L"Module", L"C:\\Some ''Quoted'' Folder\\x.dll"));
    ASSERT_EQ(S_OK, reg.AddReplacement(L"module", L"C:\\Later.dll"));
    ASSERT_EQ(S_OK, reg.AddReplacement(L"APPID", L"{ID}"));
    ASSERT_EQ(S_OK, reg.StringRegister(script(L"Server = s '%MODULE%'\r\n{\r\n\tval AppID = s '%appid%'\r\n}").c_str()));
    EXPECT_EQ(L"C:\\Some 'Quoted' Folder\\x.dll", readString(HKEY_CURRENT_USER, key(L"Server"), nullptr));
    EXPECT_EQ(L"{ID}", readString(HKEY_CURRENT_USER, key(L"Server"), L"AppID"));
}

TEST_F(RegScriptTest, ReplacementFailures)
{
    const std::wstring name31(31, L'N'), name32(32, L'N');
    EXPECT_EQ(E_FAIL, reg.AddReplacement(name32.c_str(), L"v"));
    EXPECT_EQ(S_OK, reg.AddReplacement(name31.c_str(), L"v"));
    EXPECT_EQ(E_FAIL, reg.StringRegister(script(L"K = s '%" + name32 + L"%'").c_str()));
    EXPECT_EQ(DISP_E_EXCEPTION, reg.StringRegister(script(L"K = s '%Unknown%'").c_str()));
    EXPECT_EQ(DISP_E_EXCEPTION, reg.StringRegister(script(L"K = s '%Unterminated").c_str()));
    EXPECT_EQ(E_INVALIDARG, reg.StringRegister(nullptr));
    EXPECT_FALSE(exists(L"K"));
    // The longest name is replaced.
    ASSERT_EQ(S_OK, reg.StringRegister(script(L"K = s '%" + name31 + L"%'").c_str()));
    EXPECT_EQ(L"v", readString(HKEY_CURRENT_USER, key(L"K"), nullptr));
}

TEST_F(RegScriptTest, MalformedScriptWritesNothing)
{
    // The error stands in the second root block: the first is not written either.
    const std::wstring tail = base_.substr(base_.rfind(L'\\') + 1);
    createKey(HKEY_CURRENT_USER, key());
    const std::wstring first = L"HKCU { NoRemove Software { NoRemove OrnTest { NoRemove '" + tail +
                               L"' { Earlier = s 'kept' } } } }\r\n";
    EXPECT_EQ(DISP_E_EXCEPTION,
              reg.StringRegister((first + script(L"Written = s 'w'\r\n{\r\n\tval V = s 'v'\r\n\tSub\r\n}\r\n"
                                                 L"Bad = x 'oops'")).c_str()));
    EXPECT_FALSE(exists(L"Earlier"));
    EXPECT_FALSE(exists(L"Written"));
}

TEST_F(RegScriptTest, FailedRegistryCallReturnsItsCodeAndIsTakenBack)
{
    // A volatile key takes no lasting subkeys: the registry refuses the create.
    createKey(HKEY_CURRENT_USER, key());
    orn::unique_hkey volatileKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, key(L"Volatile").c_str(), 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, volatileKey.put(), nullptr));
    const std::wstring tail = base_.substr(base_.rfind(L'\\') + 1);
    const std::wstring earlier = L"HKCU { NoRemove Software { NoRemove OrnTest { NoRemove '" + tail +
                                 L"' { Earlier = s 'kept' } } } }\r\n";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE),
              reg.StringRegister((earlier + script(L"First = s 'f'\r\n{\r\n\tval V = s 'v'\r\n}\r\n"
                                                   L"NoRemove Volatile\r\n{\r\n\tChild\r\n}")).c_str()));
    // Only the failing block is taken back.
    EXPECT_TRUE(exists(L"Earlier"));
    EXPECT_FALSE(exists(L"First"));
    EXPECT_TRUE(exists(L"Volatile"));
    EXPECT_FALSE(exists(L"Volatile\\Child"));
}

// A token of 4094 characters is the longest a script may hold, bare (here a
// value name) or quoted; a doubled quote counts as the one character it
// stands for.
TEST_F(RegScriptTest, TokensHoldAtMost4094Characters)
{
    createKey(HKEY_CURRENT_USER, key());
    const std::wstring longest(4094, L'v');
    const std::wstring quoted = std::wstring(4093, L'q') + L"''";
    ASSERT_EQ(S_OK, reg.StringRegister(script(L"K\r\n{\r\n\tval " + longest + L" = s 'bare'\r\n\tval Quoted = s '" +
                                              quoted + L"'\r\n}").c_str()));
    const auto read = [this](const wchar_t* name) {
        std::wstring value(8192, L'\0');
        DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (RegGetValueW(HKEY_CURRENT_USER, key(L"K").c_str(), name, RRF_RT_REG_SZ, nullptr, &value[0], &size) !=
            ERROR_SUCCESS)
            return std::wstring(L"<missing>");
        value.resize(size / sizeof(wchar_t) - 1);
        return value;
    };
    EXPECT_EQ(L"bare", read(longest.c_str()));
    EXPECT_EQ(std::wstring(4093, L'q') + L"'", read(L"Quoted"));

    EXPECT_EQ(DISP_E_EXCEPTION, reg.StringRegister(script(L"L\r\n{\r\n\tval " + longest + L"v = s 'x'\r\n}").c_str()));
    EXPECT_EQ(DISP_E_EXCEPTION, reg.StringRegister(script(L"L = s '" + longest + L"v'").c_str()));
    EXPECT_FALSE(exists(L"L"));
}

TEST_F(RegScriptTest, MalformedScriptsFailWithoutHarm)
{
    createKey(HKEY_CURRENT_USER, key());
    const std::wstring longToken(5000, L'k');
    // The registry's own limit of 512 levels, the script's four included, is
    // read; one level more is refused.
    std::wstring deepest;
    for (int i = 0; i < 508; ++i)
        deepest = L"a { " + deepest + L" }";
    EXPECT_EQ(S_OK, reg.StringUnregister(script(deepest).c_str()));
    const std::vector<std::wstring> bodies = {
        L"'unterminated", L"val", L"val x", L"val x =", L"val x = s", L"val x s 'a'", L"k = q 'a'",
        L"k = b 'abc'", L"k = b 'zz'", L"k = d 'many'", L"k = d '99999999999999999999'", L"k = ss 'a'",
        L"'back\\slash'", L"{ }", L"= s 'a'", L"k {", L"k { val", longToken, L"a { " + deepest + L" }",
    };
    for (const std::wstring& body : bodies) {
        EXPECT_EQ(DISP_E_EXCEPTION, reg.StringRegister(script(body).c_str())) << body.substr(0, 40);
        EXPECT_EQ(DISP_E_EXCEPTION, reg.StringUnregister(script(body).c_str())) << body.substr(0, 40);
    }
    for (const wchar_t* whole : {L"HKCU", L"HKCU {", L"HKXX { }", L"HKCU }", L"{ }", L"'HKCU' x", L"HKCU { }}"})
        EXPECT_EQ(DISP_E_EXCEPTION, reg.StringRegister(whole)) << whole;
    EXPECT_EQ(S_OK, reg.StringRegister(L""));
    EXPECT_EQ(S_OK, reg.StringRegister(L" \t\r\n"));
    // Nothing of the failed scripts stayed behind.
    orn::unique_hkey base;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, key().c_str(), 0, KEY_READ, base.put()));
    DWORD subkeys = 1;
    RegQueryInfoKeyW(base.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(0u, subkeys);
}

}  // namespace
