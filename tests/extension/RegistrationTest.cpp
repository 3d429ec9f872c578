// Registration with the system's regsvr32 and through the exports, checked
// in the real registry. Whatever registration of the class stood before is
// put back at the end.

#include "BuiltModule.h"

#include <gtest/gtest.h>

namespace {

using namespace servertest;

const std::wstring classKey = std::wstring(L"CLSID\\") + clsidText;
const std::wstring serverKey = classKey + L"\\InprocServer32";
const std::wstring appIdKey = std::wstring(L"AppID\\") + appIdText;
const std::wstring appNameKey = L"AppID\\OrnShExt.DLL";
const std::wstring typeLibKey = std::wstring(L"TypeLib\\") + libIdText;
const std::wstring interfaceKey = L"Interface\\{9B0F6E24-C813-4A5D-B7E2-03D94C61FA85}";

class RegistrationTest : public ::testing::Test {
protected:
    RegistrationTest()
        : otherBuild_(HKEY_CLASSES_ROOT, {classKey}, is64BitBuild() ? KEY_WOW64_32KEY : KEY_WOW64_64KEY),
          stage_(HKEY_CLASSES_ROOT, {classKey, appIdKey, appNameKey, typeLibKey, interfaceKey}),
          folder_(L"OrnReg"),
          // A folder whose name holds a single quote, as the script language quotes with it.
          module_(folder_.path() / L"Orn's Ext" / L"OrnShExt.dll")
    {
        fs::create_directories(module_.parent_path());
        fs::copy_file(builtModule(), module_);
    }

    DWORD regsvr32(bool unregister = false)
    {
        const ProcessResult result = runProcess(quoted(systemProgram(L"regsvr32.exe")) + (unregister ? L" /u" : L"") +
                                                L" /s " + quoted(module_.wstring()));
        return result.exitCode;
    }

    void expectRegistered()
    {
        EXPECT_EQ(L"OrnShExt", readString(HKEY_CLASSES_ROOT, appIdKey, nullptr));
        EXPECT_EQ(appIdText, readString(HKEY_CLASSES_ROOT, appNameKey, L"AppID"));
        EXPECT_EQ(L"ShellExt Class", readString(HKEY_CLASSES_ROOT, classKey, nullptr));
        EXPECT_EQ(appIdText, readString(HKEY_CLASSES_ROOT, classKey, L"AppID"));
        EXPECT_EQ(module_.wstring(), readString(HKEY_CLASSES_ROOT, serverKey, nullptr));
        EXPECT_EQ(L"Apartment", readString(HKEY_CLASSES_ROOT, serverKey, L"ThreadingModel"));
        EXPECT_EQ(module_.wstring(), readString(HKEY_CLASSES_ROOT, typeLibKey + L"\\1.0\\409\\" + typeLibPlatform(), nullptr));
    }

    void expectUnregistered()
    {
        EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, classKey));
        EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, appIdKey));
        EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, appNameKey));
        EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, typeLibKey));
        // Shared keys are never removed.
        EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, L"CLSID"));
        EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, L"AppID"));
    }

    // The other build's class, which keeps the shared AppID keys, is put
    // aside too.
    RegistryStage otherBuild_;
    RegistryStage stage_;
    TempFolder folder_;
    fs::path module_;
};

TEST_F(RegistrationTest, RegisterWritesTheSixEntriesAndTheTypeLibrary)
{
    ASSERT_EQ(0u, regsvr32());
    expectRegistered();
}

TEST_F(RegistrationTest, RegisteringTwiceLeavesOneSet)
{
    ASSERT_EQ(0u, regsvr32());
    setString(HKEY_CLASSES_ROOT, classKey + L"\\Stale", L"left", L"over");
    setString(HKEY_CLASSES_ROOT, classKey, L"Leftover", L"value");
    ASSERT_EQ(0u, regsvr32());
    expectRegistered();
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, classKey + L"\\Stale"));
    EXPECT_FALSE(valueExists(HKEY_CLASSES_ROOT, classKey, L"Leftover"));
}

TEST_F(RegistrationTest, UnregisterRemovesEverythingItWrote)
{
    ASSERT_EQ(0u, regsvr32());
    ASSERT_EQ(0u, regsvr32(true));
    expectUnregistered();
}

// On 64-bit Windows the AppID keys are one key for both views: while the
// other build's class is registered in its view, they stay.
TEST_F(RegistrationTest, OtherBuildsClassKeepsTheApplicationIdentity)
{
    if (!onWow64Prefix())
        GTEST_SKIP() << "32-bit Windows has one registry view";
    ASSERT_EQ(0u, regsvr32());
    setStringInView(HKEY_CLASSES_ROOT, serverKey, nullptr, L"other build",
                    is64BitBuild() ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    ASSERT_EQ(0u, regsvr32(true));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, serverKey));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, appIdKey));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, appNameKey));
}

TEST_F(RegistrationTest, AnotherComponentsSubkeyKeepsTheClassKey)
{
    ASSERT_EQ(0u, regsvr32());
    createKey(HKEY_CLASSES_ROOT, classKey + L"\\Implemented Categories\\{00021490-0000-0000-C000-000000000046}");
    ASSERT_EQ(0u, regsvr32(true));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, classKey + L"\\Implemented Categories"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, serverKey));
    EXPECT_FALSE(valueExists(HKEY_CLASSES_ROOT, classKey, L"AppID"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, appIdKey));
}

TEST_F(RegistrationTest, ThreadLocaleIsRestoredOnEveryPath)
{
    LoadedModule module(module_);
    ASSERT_TRUE(module.loaded());
    const LCID swissGerman = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_SWISS), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(swissGerman));
    EXPECT_EQ(S_OK, module.registerServer());
    EXPECT_EQ(swissGerman, GetThreadLocale());
    expectRegistered();
    EXPECT_EQ(S_OK, module.unregisterServer());
    EXPECT_EQ(swissGerman, GetThreadLocale());
    expectUnregistered();

    // Nothing registered: the type library step fails and the application
    // identity is left alone.
    setString(HKEY_CLASSES_ROOT, appNameKey, L"AppID", appIdText);
    EXPECT_TRUE(FAILED(module.unregisterServer()));
    EXPECT_EQ(swissGerman, GetThreadLocale());
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, appNameKey));
    SetThreadLocale(LOCALE_USER_DEFAULT);
}

TEST_F(RegistrationTest, ModulePathOf260CharactersIsRefusedBeforeAnythingIsWritten)
{
    fs::path deep = folder_.path();
    while (deep.wstring().size() + 13 < MAX_PATH)
        deep /= std::wstring(std::min<size_t>(40, MAX_PATH - deep.wstring().size() - 13), L'd');
    const fs::path longModule = deep / L"OrnShExt.dll";
    ASSERT_GE(longModule.wstring().size(), static_cast<size_t>(MAX_PATH));
    fs::create_directories(deep);
    fs::copy_file(builtModule(), longModule);
    LoadedModule module(longModule);
    if (!module.loaded())
        GTEST_SKIP() << "this platform loads no module from a path of " << longModule.wstring().size()
                     << " characters";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), module.registerServer());
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, appIdKey));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, classKey));
}

TEST_F(RegistrationTest, FailingRegistryCallReturnsItsCode)
{
    // The classes root of this process mapped onto a private key whose CLSID
    // key is volatile: the registry refuses the lasting class key below it.
    const std::wstring privateRoot = L"Software\\OrnTest\\Classes-" + uniqueSuffix();
    orn::unique_hkey root, clsid;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, privateRoot.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, root.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root.get(), L"CLSID", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                             nullptr, clsid.put(), nullptr));
    LoadedModule module(module_);
    ASSERT_TRUE(module.loaded());
    ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CLASSES_ROOT, root.get()));
    const HRESULT hr = module.registerServer();
    const bool appIdWritten = keyExists(HKEY_CLASSES_ROOT, appIdKey);
    const bool classWritten = keyExists(HKEY_CLASSES_ROOT, classKey);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    clsid.reset();
    root.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, privateRoot.c_str());

    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), hr);
    // The application identity came first and stays; the class is not there.
    EXPECT_TRUE(appIdWritten);
    EXPECT_FALSE(classWritten);
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, classKey));
}

TEST_F(RegistrationTest, MissingScriptsFailWithThePlatformsCodeAndWriteNothing)
{
    LoadedModule module(builtModule(L"OrnShExtLongCaption.dll"));  // built without its scripts
    ASSERT_TRUE(module.loaded());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND), module.registerServer());
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, appIdKey));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, classKey));
}

TEST_F(RegistrationTest, TypeLibraryComesFromAFileBesideTheModuleWhenTheModuleHasNone)
{
    // A module built without its type library.
    const fs::path bare = folder_.path() / L"Bare" / L"OrnShExtSeams.dll";
    fs::create_directories(bare.parent_path());
    fs::copy_file(builtModule(L"OrnShExtSeams.dll"), bare);
    {
        LoadedModule module(bare);
        ASSERT_TRUE(module.loaded());
        EXPECT_TRUE(FAILED(module.registerServer()));
        // The scripts ran before the library step failed.
        EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, classKey));
        EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, typeLibKey));
    }
    const fs::path library = bare.parent_path() / L"OrnShExtSeams.tlb";
    fs::copy_file(binaryDir() / L"extension" / L"OrnShExt.tlb", library);
    LoadedModule module(bare);
    ASSERT_TRUE(module.loaded());
    EXPECT_EQ(S_OK, module.registerServer());
    EXPECT_EQ(library.wstring(), readString(HKEY_CLASSES_ROOT, typeLibKey + L"\\1.0\\409\\" + typeLibPlatform(), nullptr));
    EXPECT_EQ(S_OK, module.unregisterServer());
    expectUnregistered();
}

}  // namespace
