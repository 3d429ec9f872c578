// The built module through its exports: the class object, the lock count
// that decides unloading, the interfaces each object answers, the failures
// of creation, and the resources the module carries.

#include "BuiltModule.h"

#include <oleauto.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

using namespace servertest;

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module.loaded()) << "error " << module.loadError();
        ASSERT_EQ(S_OK, module.canUnloadNow());
    }
    // Every test gives back all it took.
    void TearDown() override
    {
        if (module.loaded()) {
            EXPECT_EQ(S_OK, module.canUnloadNow());
        }
    }

    LoadedModule module{builtModule()};
};

IUnknown* const sentinel = reinterpret_cast<IUnknown*>(0x1234);

// Each request for one of the identifiers answers expected and leaves its
// result null.
void expectRefused(HRESULT expected, const std::function<HRESULT(REFIID, void**)>& request,
                   const std::vector<const IID*>& identifiers)
{
    for (const IID* identifier : identifiers) {
        void* result = sentinel;
        EXPECT_EQ(expected, request(*identifier, &result));
        EXPECT_EQ(nullptr, result);
    }
}

TEST_F(ServerTest, ServesItsTwoClassesOnly)
{
    expectRefused(
        CLASS_E_CLASSNOTAVAILABLE,
        [&](REFCLSID clsid, void** result) { return module.getClassObject(clsid, IID_IClassFactory, result); },
        {&IID_IShellExt, &CLSID_NULL, &IID_IClassFactory});
    EXPECT_EQ(E_POINTER, module.getClassObject(CLSID_ShellExt, IID_IClassFactory, nullptr));
    EXPECT_TRUE(module.explorerCommand());
}

TEST_F(ServerTest, RefusedInterfaceLeavesTheModuleUnlocked)
{
    for (const CLSID* clsid : {&CLSID_ShellExt, &CLSID_ExplorerCommand}) {
        expectRefused(
            E_NOINTERFACE, [&](REFIID iid, void** result) { return module.getClassObject(*clsid, iid, result); },
            {&IID_IContextMenu, &IID_IDispatch});
    }
    EXPECT_EQ(S_OK, module.canUnloadNow());

    orn::com_ptr<IClassFactory> first = module.classObject();
    orn::com_ptr<IClassFactory> second = module.classObject();
    ASSERT_TRUE(first);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    first.reset();
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    second.reset();
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

// Each lock adds to the others: one taken while a handler lives still holds
// the module after the handler is gone.
TEST_F(ServerTest, LockServerHoldsTheModule)
{
    orn::com_ptr<IClassFactory> factory = module.classObject();
    ASSERT_TRUE(factory);
    orn::com_ptr<IContextMenu> handler = module.handler();
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.reset();
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    handler.reset();
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    factory = module.classObject();
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory.reset();
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

TEST_F(ServerTest, LiveHandlerHoldsTheModuleUntilItsLastRelease)
{
    orn::com_ptr<IContextMenu> handler = module.handler();
    ASSERT_TRUE(handler);
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    orn::com_ptr<IShellExtInit> init;
    ASSERT_EQ(S_OK, handler->QueryInterface(IID_IShellExtInit, init.put_void()));
    handler.reset();
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    init.reset();
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

TEST_F(ServerTest, CreateInstanceRefusals)
{
    orn::com_ptr<IClassFactory> factory = module.classObject();
    ASSERT_TRUE(factory);
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IContextMenu, nullptr));

    // Aggregation is never supported, whatever the interface asked for.
    expectRefused(
        CLASS_E_NOAGGREGATION,
        [&](REFIID iid, void** result) { return factory->CreateInstance(factory.get(), iid, result); },
        {&IID_IUnknown, &IID_IContextMenu});
    expectRefused(
        E_NOINTERFACE, [&](REFIID iid, void** result) { return factory->CreateInstance(nullptr, iid, result); },
        {&IID_IShellExt, &IID_IDispatch, &IID_IClassFactory});
    factory.reset();
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

// Each object answers IUnknown with its first table, and nothing it does
// not implement; the type library's interface is a description only.
TEST_F(ServerTest, ObjectsAnswerTheirInterfacesOnly)
{
    orn::com_ptr<IClassFactory> factory = module.classObject();
    orn::com_ptr<IContextMenu> menu = module.handler();
    orn::com_ptr<IExplorerCommand> command = module.explorerCommand();
    ASSERT_TRUE(factory && menu && command);
    const struct {
        IUnknown* object;
        std::vector<const IID*> refused;
    } objects[] = {
        {factory.get(), {&IID_IDispatch, &IID_IContextMenu, &IID_IClassFactory2}},
        {menu.get(), {&IID_IShellExt, &IID_IDispatch, &IID_IContextMenu2, &IID_IClassFactory}},
        {command.get(), {&IID_IContextMenu, &IID_IShellExtInit, &IID_IDispatch}},
    };
    for (const auto& o : objects) {
        orn::com_ptr<IUnknown> unknown;
        ASSERT_EQ(S_OK, o.object->QueryInterface(IID_IUnknown, unknown.put_void()));
        EXPECT_EQ(o.object, unknown.get());
        expectRefused(
            E_NOINTERFACE, [&](REFIID iid, void** result) { return o.object->QueryInterface(iid, result); },
            o.refused);
    }

    // The handler's second table leads back to the same object.
    orn::com_ptr<IShellExtInit> init;
    ASSERT_EQ(S_OK, menu->QueryInterface(IID_IShellExtInit, init.put_void()));
    EXPECT_NE(static_cast<void*>(init.get()), static_cast<void*>(menu.get()));
    orn::com_ptr<IUnknown> identity;
    ASSERT_EQ(S_OK, init->QueryInterface(IID_IUnknown, identity.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(menu.get()), identity.get());
    orn::com_ptr<IContextMenu> back;
    ASSERT_EQ(S_OK, init->QueryInterface(IID_IContextMenu, back.put_void()));
    EXPECT_EQ(menu.get(), back.get());
    EXPECT_EQ(E_POINTER, menu->QueryInterface(IID_IContextMenu, nullptr));
}

TEST_F(ServerTest, ConcurrentFirstRequestsShareOneClassObject)
{
    constexpr int threads = 8;
    IClassFactory* factories[threads] = {};
    HRESULT results[threads] = {};
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back([&, i] {
            results[i] = module.getClassObject(CLSID_ShellExt, IID_IClassFactory, reinterpret_cast<void**>(&factories[i]));
        });
    for (std::thread& worker : workers)
        worker.join();
    for (int i = 0; i < threads; ++i) {
        EXPECT_EQ(S_OK, results[i]);
        EXPECT_EQ(factories[0], factories[i]);
    }
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    for (IClassFactory* factory : factories) {
        if (factory)
            factory->Release();
    }
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

// The test build of the module fails the nth handler allocation, counted
// from its load: nothing is left allocated or locked.
TEST(ServerFailureTest, OutOfMemoryLeavesNothingAllocatedOrLocked)
{
    LoadedModule module(builtModule(L"OrnShExtSeams.dll"));
    ASSERT_TRUE(module.loaded());
    orn::com_ptr<IClassFactory> factory = module.classObject();
    ASSERT_TRUE(factory);
    SetEnvironmentVariableW(L"ORN_SEAM_FAIL_ALLOC", L"1");
    void* result = sentinel;
    EXPECT_EQ(E_OUTOFMEMORY, factory->CreateInstance(nullptr, IID_IContextMenu, &result));
    SetEnvironmentVariableW(L"ORN_SEAM_FAIL_ALLOC", nullptr);
    EXPECT_EQ(nullptr, result);
    factory.reset();
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

// ---------------------------------------------------------------------------
// What the module carries.

std::string resourceBytes(HMODULE module, const wchar_t* type, UINT id)
{
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!resource)
        return "<missing>";
    HGLOBAL loaded = LoadResource(module, resource);
    return std::string(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, resource));
}

TEST_F(ServerTest, RegistryScriptsAreStoredByteForByte)
{
    EXPECT_EQ("HKCR\r\n{\r\n\tNoRemove AppID\r\n\t{\r\n\t\t'%APPID%' = s 'OrnShExt'\r\n\t\t'OrnShExt.DLL'\r\n"
              "\t\t{\r\n\t\t\tval AppID = s '%APPID%'\r\n\t\t}\r\n\t}\r\n}\r\n",
              resourceBytes(module.handle(), L"REGISTRY", 101));
    EXPECT_EQ("HKCR\r\n{\r\n\tNoRemove CLSID\r\n\t{\r\n"
              "\t\tForceRemove {7C1D52B0-9E3A-4F06-8B2D-5A4E61C0F3D9} = s 'ShellExt Class'\r\n\t\t{\r\n"
              "\t\t\tInprocServer32 = s '%MODULE%'\r\n\t\t\t{\r\n\t\t\t\tval ThreadingModel = s 'Apartment'\r\n"
              "\t\t\t}\r\n\t\t\tval AppID = s '%APPID%'\r\n\t\t}\r\n\t}\r\n}\r\n",
              resourceBytes(module.handle(), L"REGISTRY", 102));
}

TEST_F(ServerTest, MenuBitmapsHaveTheirSizesIn256Colours)
{
    const struct { UINT id; LONG width, height; } bitmaps[] = {{204, 16, 16}, {208, 19, 18}, {209, 19, 18}};
    for (const auto& expected : bitmaps) {
        const std::string bytes = resourceBytes(module.handle(), MAKEINTRESOURCEW(2) /* RT_BITMAP */, expected.id);
        ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER)) << expected.id;
        BITMAPINFOHEADER header;
        memcpy(&header, bytes.data(), sizeof(header));
        EXPECT_EQ(expected.width, header.biWidth) << expected.id;
        EXPECT_EQ(expected.height, header.biHeight) << expected.id;
        EXPECT_EQ(8, header.biBitCount) << expected.id;
    }
    wchar_t caption[64] = {};
    EXPECT_LT(0, LoadStringW(module.handle(), 101, caption, 64));
}

TEST_F(ServerTest, TypeLibraryDescribesTheHandlerClass)
{
    orn::com_ptr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLibEx(builtModule().c_str(), REGKIND_NONE, library.put()));
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    wchar_t guid[40];
    StringFromGUID2(attributes->guid, guid, 40);
    EXPECT_STREQ(libIdText, guid);
    EXPECT_EQ(0x409u, attributes->lcid);
    // Built for the module's own Windows: registered under 409\win32 or 409\win64.
    EXPECT_EQ(is64BitBuild() ? SYS_WIN64 : SYS_WIN32, attributes->syskind);
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    library->ReleaseTLibAttr(attributes);

    BSTR name = nullptr, help = nullptr;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, &name, &help, nullptr, nullptr));
    EXPECT_STREQ(L"OrnShExtLib", name);
    EXPECT_STREQ(L"OrnShExt 1.0 Type Library", help);
    SysFreeString(name);
    SysFreeString(help);

    orn::com_ptr<ITypeInfo> coclass, iface;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_ShellExt, coclass.put()));
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_IShellExt, iface.put()));
    ASSERT_EQ(S_OK, coclass->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr));
    EXPECT_STREQ(L"ShellExt", name);
    EXPECT_STREQ(L"ShellExt Class", help);
    SysFreeString(name);
    SysFreeString(help);
    ASSERT_EQ(S_OK, iface->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr));
    EXPECT_STREQ(L"IShellExt", name);
    EXPECT_STREQ(L"IShellExt Interface", help);
    SysFreeString(name);
    SysFreeString(help);
}

TEST_F(ServerTest, VersionResourceNamesTheProduct)
{
    const std::wstring file = builtModule().wstring();
    DWORD ignored = 0;
    std::vector<BYTE> data(GetFileVersionInfoSizeW(file.c_str(), &ignored));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"Quarvel Hollowmere", text);
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"1.0.0.0", text);
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
}

}  // namespace
