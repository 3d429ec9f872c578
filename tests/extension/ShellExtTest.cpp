// The context-menu handler of the built module, created through its class
// object, with a product installed in the real registry and real folders.

#include "BuiltModule.h"
#include "ConfigFileWatch.h"
#include "Files.h"
#include "ImportTable.h"
#include "MUIHelper.h"
#include "ProductKeys.h"
#include "UdpCollector.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <thread>

namespace {

using namespace servertest;

class ShellExtTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The shell calls handlers on its single-threaded apartment.
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_TRUE(module.loaded()) << "error " << module.loadError();
        handler = module.handler();
        ASSERT_TRUE(handler);
        ASSERT_EQ(S_OK, handler->QueryInterface(IID_IShellExtInit, init.put_void()));
        menu = CreatePopupMenu();
    }
    void TearDown() override
    {
        DestroyMenu(menu);
        init.reset();
        handler.reset();
        EXPECT_EQ(S_OK, module.canUnloadNow());
        CoUninitialize();
    }

    HRESULT invoke(const char* verb)
    {
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof(info);
        info.lpVerb = verb;
        return handler->InvokeCommand(&info);
    }
    HRESULT invoke(UINT offset) { return invoke(MAKEINTRESOURCEA(offset)); }
    // The selections live on a test's stack: the handler must let go first.
    void dropSelection() { ASSERT_EQ(S_OK, init->Initialize(nullptr, nullptr, nullptr)); }

    std::wstring file(const wchar_t* name) const { return (product.path() / name).wstring(); }

    InstalledProduct product;
    LoadedModule module{builtModule()};
    orn::com_ptr<IContextMenu> handler;
    orn::com_ptr<IShellExtInit> init;
    HMENU menu = nullptr;
};

TEST_F(ShellExtTest, FlagFilter)
{
    const struct { UINT flags; bool added; } cases[] = {
        {CMF_NORMAL, true},
        {CMF_DEFAULTONLY, false},
        {CMF_NOVERBS, false},
        {CMF_DEFAULTONLY | CMF_NOVERBS, false},
        {CMF_VERBSONLY, true},
        {CMF_EXPLORE, true},
        {CMF_EXPLORE | CMF_NOVERBS, true},
        {CMF_VERBSONLY | CMF_DEFAULTONLY, true},
        {CMF_EXTENDEDVERBS, true},
    };
    for (const auto& c : cases) {
        HMENU fresh = CreatePopupMenu();
        const HRESULT hr = handler->QueryContextMenu(fresh, 0, 1, 100, c.flags);
        EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, c.added ? 1 : 0), hr) << std::hex << c.flags;
        EXPECT_EQ(c.added ? 2 : 0, GetMenuItemCount(fresh)) << std::hex << c.flags;
        DestroyMenu(fresh);
    }
}

TEST_F(ShellExtTest, SeparatorAtIndexThenCaptionWithTheScanCommand)
{
    // Between the host's items: two before the index, two after.
    for (int i = 0; i < 4; ++i)
        AppendMenuW(menu, MF_STRING, 900 + i, L"host item");
    ASSERT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), handler->QueryContextMenu(menu, 2, 40, 90, CMF_NORMAL));
    ASSERT_EQ(6, GetMenuItemCount(menu));
    EXPECT_EQ(901u, menuItem(menu, 1).id);
    EXPECT_TRUE(menuItem(menu, 2).separator);
    EXPECT_EQ(902u, menuItem(menu, 4).id);
    const MenuItem caption = menuItem(menu, 3);
    EXPECT_EQ(L"Quarvel Hollowmere", caption.text);
    EXPECT_EQ(40u, caption.id);
    ASSERT_TRUE(caption.submenu);
    ASSERT_EQ(1, GetMenuItemCount(caption.submenu));
    const MenuItem command = menuItem(caption.submenu, 0);
    EXPECT_EQ(L"Scan for threats", command.text);
    EXPECT_EQ(40u, command.id);

    // Both images, each the handler's own, loaded at the small-icon size less
    // one pixel.
    ASSERT_TRUE(caption.checked);
    ASSERT_TRUE(caption.unchecked);
    EXPECT_NE(caption.checked, caption.unchecked);
    for (HBITMAP image : {caption.checked, caption.unchecked}) {
        BITMAP info = {};
        ASSERT_TRUE(GetObjectW(image, sizeof(info), &info));
        EXPECT_EQ(GetSystemMetrics(SM_CXSMICON) - 1, info.bmWidth);
        EXPECT_EQ(GetSystemMetrics(SM_CYSMICON) - 1, info.bmHeight);
    }
}

TEST(ShellExtCaptionTest, CaptionFallsBackToTheMakerAndIsCutTo31Characters)
{
    InstalledProduct product;
    const struct { const wchar_t* module; const wchar_t* caption; bool images; } cases[] = {
        {L"OrnShExtSeams.dll", L"Quarvel", false},  // built without string 101 and bitmap 204
        {L"OrnShExtLongCaption.dll", L"Quarvel Hollowmere Extended Cap", true},
    };
    for (const auto& c : cases) {
        LoadedModule module(builtModule(c.module));
        ASSERT_TRUE(module.loaded()) << module.loadError();
        orn::com_ptr<IContextMenu> handler = module.handler();
        HMENU menu = CreatePopupMenu();
        ASSERT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), handler->QueryContextMenu(menu, 0, 1, 2, CMF_NORMAL));
        const MenuItem caption = menuItem(menu, 1);
        EXPECT_EQ(c.caption, caption.text) << c.module;
        EXPECT_EQ(c.images, caption.checked != nullptr) << c.module;
        EXPECT_EQ(c.images, caption.unchecked != nullptr) << c.module;
        DestroyMenu(menu);
    }
}

class ShellExtWithoutStringsTest : public ::testing::Test {
protected:
    InstalledProduct product{genStrings("", "")};
    LoadedModule module{builtModule()};
};

TEST_F(ShellExtWithoutStringsTest, MissingTextsAddNothingAndRefuseHelp)
{
    orn::com_ptr<IContextMenu> handler = module.handler();
    ASSERT_TRUE(handler);
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 7, L"host item");
    EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0), handler->QueryContextMenu(menu, 0, 1, 2, CMF_NORMAL));
    EXPECT_EQ(1, GetMenuItemCount(menu));
    DestroyMenu(menu);
    wchar_t text[64] = L"untouched";
    EXPECT_EQ(E_INVALIDARG, handler->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(text), 64));
    EXPECT_STREQ(L"untouched", text);
    // Nor does the Explorer command have a title or a tooltip to give.
    orn::com_ptr<IExplorerCommand> command = module.explorerCommand();
    ASSERT_TRUE(command);
    for (auto method : {&IExplorerCommand::GetTitle, &IExplorerCommand::GetToolTip}) {
        wchar_t* value = text;
        EXPECT_EQ(E_FAIL, (command.get()->*method)(nullptr, &value));
        EXPECT_EQ(nullptr, value);
    }
}

TEST_F(ShellExtTest, HelpTextOnlyForOffsetZero)
{
    wchar_t wide[64] = {};
    ASSERT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(wide), 64));
    EXPECT_STREQ(L"Scans the selection", wide);
    char narrow[64] = {};
    ASSERT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, narrow, 64));
    EXPECT_STREQ("Scans the selection", narrow);

    for (UINT type : {GCS_VERBA, GCS_VERBW, GCS_VALIDATEA, GCS_VALIDATEW})
        EXPECT_EQ(E_INVALIDARG, handler->GetCommandString(0, type, nullptr, narrow, 64)) << type;
    EXPECT_EQ(E_INVALIDARG, handler->GetCommandString(1, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(wide), 64));

    // A small buffer gets the text cut to fit and terminated, and no more.
    wchar_t small[8];
    std::fill(std::begin(small), std::end(small), L'#');
    ASSERT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(small), 5));
    EXPECT_STREQ(L"Scan", small);
    EXPECT_EQ(L'#', small[5]);
    char smallNarrow[8];
    std::fill(std::begin(smallNarrow), std::end(smallNarrow), '#');
    ASSERT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, smallNarrow, 5));
    EXPECT_STREQ("Scan", smallNarrow);
    EXPECT_EQ('#', smallNarrow[5]);
}

TEST_F(ShellExtTest, ScanLaunchesTheAgentWithTheFirstSelectedPathOnly)
{
    Selection selection({file(L"first file.txt"), file(L"second.txt"), file(L"third.txt")});
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &selection, nullptr));
    EXPECT_EQ(S_OK, invoke(0u));
    EXPECT_EQ(agentCommandLine(product.path(), file(L"first file.txt")), product.agent().awaitCommandLine());
    EXPECT_EQ((product.path() / L"Agent").wstring(), product.agent().workingFolder());
    dropSelection();
}

TEST_F(ShellExtTest, TextVerbIsRefusedBeforeTheSelectionIsRead)
{
    LogWatch watch;
    Selection selection({file(L"a.txt")});
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &selection, nullptr));
    EXPECT_EQ(E_INVALIDARG, invoke("open"));
    EXPECT_EQ(0, selection.dataRequests());
    dropSelection();
    expectNotice(watch, "Invalid HIWORD");
}

TEST_F(ShellExtTest, RefusalsOfTheInvocation)
{
    LogWatch watch;
    // No selection yet: refused without a word.
    EXPECT_EQ(E_INVALIDARG, invoke(0u));

    Selection refusing({file(L"a.txt")}, Selection::Behaviour::RefuseDropList);
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &refusing, nullptr));
    EXPECT_EQ(E_INVALIDARG, invoke(0u));
    EXPECT_EQ(1, refusing.dataRequests());

    Selection unreadable({}, Selection::Behaviour::UnreadableList);
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &unreadable, nullptr));
    EXPECT_EQ(E_INVALIDARG, invoke(0u));

    // An empty first path is refused without a word.
    Selection empty({L""});
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &empty, nullptr));
    EXPECT_EQ(E_INVALIDARG, invoke(0u));

    // Offset 1: the selection is read, then refused.
    Selection one({file(L"a.txt")});
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &one, nullptr));
    EXPECT_EQ(E_INVALIDARG, invoke(1u));
    EXPECT_EQ(1, one.dataRequests());
    dropSelection();

    EXPECT_TRUE(product.agent().staysIdle());
    expectNotice(watch, "GetData failed");
    expectNotice(watch, "objectname count is Zero");
    expectNoLine(watch, "Invalid HIWORD");
}

TEST_F(ShellExtTest, InitializeReplacesAndReleasesTheSelection)
{
    Selection first({file(L"a.txt")}), second({file(L"b.txt")});
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &first, nullptr));
    EXPECT_EQ(2, first.references());
    ASSERT_EQ(S_OK, init->Initialize(nullptr, &second, nullptr));
    EXPECT_EQ(1, first.references());
    EXPECT_EQ(2, second.references());
    ASSERT_EQ(S_OK, init->Initialize(nullptr, nullptr, nullptr));
    EXPECT_EQ(1, second.references());

    ASSERT_EQ(S_OK, init->Initialize(nullptr, &second, nullptr));
    init.reset();
    handler.reset();
    EXPECT_EQ(1, second.references());
}

void patchImport(HMODULE module, void* function, void* replacement)
{
    EXPECT_GT(testsupport::redirectImport(module, function, replacement), 0);
}

// The Explorer command of Windows 11's menu beside the classic handler, for
// the same product and selections. Also run with LC_ALL=de_CH.UTF-8, where
// the German strings are the ones both must show.
class ExplorerCommandTest : public ShellExtTest {
protected:
    void SetUp() override
    {
        ShellExtTest::SetUp();
        writeText(product.path() / L"a.txt", "a");
        writeText(product.path() / L"b.txt", "b");
        writeText(product.path() / L"Agent" / L"Res" / L"0407" / L"GenStrings.bin",
                  genStrings("Nach Bedrohungen durchsuchen", "Pr\xfc" "ft die Auswahl"));
        command = module.explorerCommand();
        ASSERT_TRUE(command);
    }
    void TearDown() override
    {
        command.reset();
        ShellExtTest::TearDown();
    }

    // One of the command's texts, in the shell's memory.
    template <typename Method>
    std::wstring text(Method method, IShellItemArray* items)
    {
        wchar_t* value = nullptr;
        EXPECT_EQ(S_OK, (command.get()->*method)(items, &value));
        std::wstring result = value ? value : L"(none)";
        CoTaskMemFree(value);
        return result;
    }

    orn::com_ptr<IExplorerCommand> command;
};

TEST_F(ExplorerCommandTest, TitleHelpAndIconAreTheClassicMenus)
{
    const bool german = GetUserDefaultUILanguage() == 0x0807;
    ASSERT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), handler->QueryContextMenu(menu, 0, 1, 2, CMF_NORMAL));
    const std::wstring classicTitle = menuItem(menuItem(menu, 1).submenu, 0).text;
    wchar_t classicHelp[256] = {};
    ASSERT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(classicHelp), 256));
    EXPECT_EQ(german ? L"Nach Bedrohungen durchsuchen" : L"Scan for threats", classicTitle);
    // The ANSI help is in the code page of the user's language.
    char classicNarrow[256] = {};
    ASSERT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, classicNarrow, 256));
    EXPECT_STREQ(german ? "Pr\xfc" "ft die Auswahl" : "Scans the selection", classicNarrow);

    auto items = shellItems({file(L"a.txt")});
    EXPECT_EQ(classicTitle, text(&IExplorerCommand::GetTitle, items.get()));
    EXPECT_EQ(std::wstring(classicHelp), text(&IExplorerCommand::GetToolTip, items.get()));

    // "<module>,-<id>": the module's own file and an icon that loads from it.
    const std::wstring icon = text(&IExplorerCommand::GetIcon, items.get());
    wchar_t modulePath[MAX_PATH] = {};
    GetModuleFileNameW(module.handle(), modulePath, MAX_PATH);
    ASSERT_EQ(std::wstring(modulePath) + L",-301", icon);
    wchar_t location[MAX_PATH] = {};
    icon.copy(location, icon.size());
    const int index = PathParseIconLocationW(location);
    HICON small = nullptr;
    ASSERT_EQ(1u, ExtractIconExW(location, index, nullptr, &small, 1));
    ASSERT_TRUE(small);
    DestroyIcon(small);

    GUID name = GUID_NULL;
    EXPECT_EQ(S_OK, command->GetCanonicalName(&name));
    EXPECT_TRUE(IsEqualGUID(CLSID_ExplorerCommand, name));
    // One flat command: no caption above it, no subcommands below it.
    EXPCMDFLAGS flags = 0xFF;
    EXPECT_EQ(S_OK, command->GetFlags(&flags));
    EXPECT_EQ(static_cast<EXPCMDFLAGS>(ECF_DEFAULT), flags);
    orn::com_ptr<IEnumExplorerCommand> subcommands;
    EXPECT_EQ(E_NOTIMPL, command->EnumSubCommands(subcommands.put()));
    EXPECT_FALSE(subcommands);
}

TEST_F(ExplorerCommandTest, StateIsAnsweredAtOnceForEverySelection)
{
    fs::create_directories(product.path() / L"folder");
    auto file = shellItems({this->file(L"a.txt")});
    auto folder = shellItems({(product.path() / L"folder").wstring()});
    auto several = shellItems({(product.path() / L"folder").wstring(), this->file(L"a.txt")});
    auto pathSecond = shellItems({this->file(L"a.txt")}, true);
    auto virtualOnly = shellItems({}, true);
    NoItems empty;
    const struct { const char* name; IShellItemArray* items; EXPCMDSTATE state; } cases[] = {
        {"file", file.get(), ECS_ENABLED},
        {"folder", folder.get(), ECS_ENABLED},
        {"several", several.get(), ECS_ENABLED},
        {"a file-system item second", pathSecond.get(), ECS_ENABLED},
        {"empty", &empty, ECS_HIDDEN},
        {"no file-system item", virtualOnly.get(), ECS_HIDDEN},
        {"null", nullptr, ECS_HIDDEN},
    };
    for (const auto& c : cases) {
        for (BOOL slow : {TRUE, FALSE}) {
            EXPCMDSTATE state = 0xFF;
            EXPECT_EQ(S_OK, command->GetState(c.items, slow, &state)) << c.name;
            EXPECT_EQ(c.state, state) << c.name << " slow " << slow;
        }
    }
}

TEST_F(ExplorerCommandTest, InvokeStartsTheClassicCommandLineForTheFirstItem)
{
    fs::create_directories(product.path() / L"a folder");
    auto items = shellItems({(product.path() / L"a folder").wstring(), file(L"b.txt")});
    ASSERT_EQ(S_OK, command->Invoke(items.get(), nullptr));
    EXPECT_EQ(agentCommandLine(product.path(), (product.path() / L"a folder").wstring()), product.agent().awaitCommandLine());
    EXPECT_EQ((product.path() / L"Agent").wstring(), product.agent().workingFolder());
    // An item without a file-system path first: the first item with one.
    product.agent().forget();
    ASSERT_EQ(S_OK, command->Invoke(shellItems({file(L"b.txt")}, true).get(), nullptr));
    EXPECT_EQ(agentCommandLine(product.path(), file(L"b.txt")), product.agent().awaitCommandLine());
}

TEST_F(ExplorerCommandTest, InvokeWithoutItemsIsRefusedAndLogged)
{
    LogWatch watch;
    NoItems empty;
    EXPECT_EQ(E_INVALIDARG, command->Invoke(nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, command->Invoke(&empty, nullptr));
    EXPECT_TRUE(product.agent().staysIdle());
    expectNotice(watch, "objectname count is Zero");
}

// The module's question whether the user has the package, answered as
// Windows would (Wine keeps no packages), with the family it was asked for.
std::atomic<UINT32> familyPackages{1};
std::wstring familyAsked;

LONG WINAPI packagesByFamily(PCWSTR family, UINT32* count, PWSTR* names, UINT32* chars, WCHAR* buffer)
{
    familyAsked = family;
    *count = familyPackages;
    *chars = familyPackages ? 80 : 0;
    return names || buffer || !familyPackages ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
}

// This process as the package's surrogate: its identity the package's own.
LONG WINAPI ownPackageFamily(UINT32* chars, PWSTR family)
{
    const std::wstring own = ORN_PACKAGE_FAMILY;
    if (*chars <= own.size())
        return ERROR_INSUFFICIENT_BUFFER;
    own.copy(family, own.size());
    family[own.size()] = L'\0';
    *chars = static_cast<UINT32>(own.size() + 1);
    return ERROR_SUCCESS;
}

FARPROC WINAPI getProcAddressWithPackages(HMODULE module, LPCSTR name)
{
    if (HIWORD(reinterpret_cast<UINT_PTR>(name)) && std::strcmp(name, "GetPackagesByPackageFamily") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&packagesByFamily));
    if (HIWORD(reinterpret_cast<UINT_PTR>(name)) && std::strcmp(name, "GetCurrentPackageFamilyName") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ownPackageFamily));
    return GetProcAddress(module, name);
}

// The module's end of the process, recorded; only its thread ends (the
// module's code does not go on after the call).
std::atomic<int> exits{0};
void WINAPI recordedExitProcess(UINT code)
{
    ++exits;
    ExitThread(code);
}

// What the module asks of the window system, recorded; Wine without a
// display makes no window, so the window procedure is called as Windows
// would call it.
struct SurrogateWindowCalls {
    std::atomic<int> threads{0};
    WNDPROC procedure = nullptr;
    std::wstring registeredClass, createdClass;
    DWORD style = 0;
    HWND parent = reinterpret_cast<HWND>(1);
    HWND window = nullptr;
    DWORD threadId = 0;
    orn::unique_handle thread;
    orn::unique_handle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
SurrogateWindowCalls* surrogateCalls = nullptr;

ATOM WINAPI recordedRegisterClassW(const WNDCLASSW* windowClass)
{
    surrogateCalls->procedure = windowClass->lpfnWndProc;
    surrogateCalls->registeredClass = windowClass->lpszClassName;
    return RegisterClassW(windowClass);
}

HWND WINAPI recordedCreateWindowExW(DWORD extendedStyle, const wchar_t* windowClass, const wchar_t* title, DWORD style,
                                    int x, int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                    void* parameter)
{
    surrogateCalls->createdClass = windowClass;
    surrogateCalls->style = style;
    surrogateCalls->parent = parent;
    surrogateCalls->threadId = GetCurrentThreadId();
    surrogateCalls->thread.reset(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()));
    surrogateCalls->window = CreateWindowExW(extendedStyle, windowClass, title, style, x, y, width, height, parent,
                                             menu, instance, parameter);
    SetEvent(surrogateCalls->done.get());
    return surrogateCalls->window;
}

HANDLE WINAPI countedCreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                  void* parameter, DWORD flags, DWORD* id)
{
    ++surrogateCalls->threads;
    return CreateThread(security, stack, start, parameter, flags, id);
}

// A message as the window gets it, on a thread of its own, which the
// recorded end of the process ends.
struct WindowMessage {
    WNDPROC procedure;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = -1;
};

DWORD WINAPI deliverMessage(void* parameter)
{
    auto* m = static_cast<WindowMessage*>(parameter);
    m->result = m->procedure(nullptr, m->message, m->wParam, m->lParam);
    return 0;
}

// Servicing asks the package's processes to end through their top-level
// windows. In the package's own surrogate the module keeps a hidden
// top-level one (not a message-only one, which gets no broadcasts) whose
// procedure ends the process at the session-end and close messages; in any
// other process (this one, as Wine gives it no package identity) it makes
// none.
TEST_F(ShellExtTest, OnlyThePackagesSurrogateEndsWhenServicingAsks)
{
    SurrogateWindowCalls calls;
    surrogateCalls = &calls;
    exits = 0;
    HMODULE system = GetModuleHandleW(L"kernel32.dll"), windows = GetModuleHandleW(L"user32.dll");
    const auto record = [&](LoadedModule& loaded) {
        patchImport(loaded.handle(), reinterpret_cast<void*>(GetProcAddress(windows, "RegisterClassW")),
                    reinterpret_cast<void*>(&recordedRegisterClassW));
        patchImport(loaded.handle(), reinterpret_cast<void*>(GetProcAddress(windows, "CreateWindowExW")),
                    reinterpret_cast<void*>(&recordedCreateWindowExW));
        patchImport(loaded.handle(), reinterpret_cast<void*>(GetProcAddress(system, "CreateThread")),
                    reinterpret_cast<void*>(&countedCreateThread));
        patchImport(loaded.handle(), reinterpret_cast<void*>(GetProcAddress(system, "ExitProcess")),
                    reinterpret_cast<void*>(&recordedExitProcess));
    };
    record(module);
    orn::com_ptr<IExplorerCommand> plain = module.explorerCommand();
    EXPECT_EQ(0, calls.threads.load());
    plain.reset();

    LoadedModule surrogate{builtModule(L"OrnShExtSeams.dll")};
    record(surrogate);
    patchImport(surrogate.handle(), reinterpret_cast<void*>(GetProcAddress(system, "GetProcAddress")),
                reinterpret_cast<void*>(&getProcAddressWithPackages));
    orn::com_ptr<IExplorerCommand> command = surrogate.explorerCommand();
    orn::com_ptr<IExplorerCommand> second = surrogate.explorerCommand();
    // One window's thread per process, however many commands.
    EXPECT_EQ(1, calls.threads.load());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(calls.done.get(), 60000));
    EXPECT_EQ(calls.registeredClass, calls.createdClass);
    EXPECT_EQ(0u, calls.style & WS_VISIBLE);
    EXPECT_EQ(nullptr, calls.parent);
    ASSERT_TRUE(calls.procedure);
    const auto deliver = [&](UINT message, WPARAM wParam, LPARAM lParam) {
        WindowMessage delivered{calls.procedure, message, wParam, lParam};
        const orn::unique_handle thread(CreateThread(nullptr, 0, &deliverMessage, &delivered, 0, nullptr));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 60000));
        return delivered.result;
    };
    EXPECT_EQ(TRUE, deliver(WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP));
    deliver(WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP);
    EXPECT_EQ(0, exits.load());
    deliver(WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    EXPECT_EQ(1, exits.load());
    deliver(WM_CLOSE, 0, 0);
    EXPECT_EQ(2, exits.load());
    // Where a window was made, its thread ends at WM_QUIT; it holds the
    // module until then.
    if (calls.window)
        PostThreadMessageW(calls.threadId, WM_QUIT, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(calls.thread.get(), 60000));
    second.reset();
    command.reset();
    surrogateCalls = nullptr;
}

// Windows 11's moments for one user, with this process as the host: right
// after installing, Explorer (started before) shows no packaged command and
// the classic entry stays; once the packaged command has answered "shown" to
// this very host, a 64-bit host leaves the classic entry out, unless the
// user brought back the classic menu or no longer has the package. A hidden
// answer, and a record of another process that had this one's id, prove
// nothing. A 32-bit host always keeps the entry; so does Windows 10.
TEST_F(ExplorerCommandTest, ClassicEntryStepsBackOnlyWhileThePackagedCommandIsShownToThisHost)
{
    StringValueStage build(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                           L"CurrentBuildNumber", L"22000");
    const std::wstring restoredMenu =
        L"Software\\Classes\\CLSID\\{86ca1aa0-34aa-4e8b-a509-50c905bae2a2}\\InprocServer32";
    const RegistryStage override(HKEY_CURRENT_USER, {restoredMenu});
    HMODULE system = GetModuleHandleW(L"kernel32.dll");
    patchImport(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "GetProcAddress")),
                reinterpret_cast<void*>(&getProcAddressWithPackages));
    familyPackages = 1;
    const auto classicEntry = [this] {
        HMENU fresh = CreatePopupMenu();
        const HRESULT hr = handler->QueryContextMenu(fresh, 0, 1, 2, CMF_NORMAL);
        const int items = GetMenuItemCount(fresh);
        DestroyMenu(fresh);
        return hr == MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1) && items == 2;
    };
    const std::wstring hostsKey = std::wstring(shellExtUserKey) + L"\\" + packagedCommandHostsKey;
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    const auto recorded = [&] {
        ULONGLONG time = 0;
        DWORD bytes = sizeof(time);
        return RegGetValueW(HKEY_CURRENT_USER, hostsKey.c_str(), self.c_str(), RRF_RT_REG_QWORD, nullptr, &time,
                            &bytes) == ERROR_SUCCESS
                   ? time
                   : 0;
    };
    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
    const ULONGLONG hostStart = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;

    // Right after installing: nothing recorded for this host.
    EXPECT_TRUE(classicEntry());
    // A hidden answer records nothing.
    NoItems empty;
    EXPCMDSTATE state = ECS_ENABLED;
    ASSERT_EQ(S_OK, command->GetState(&empty, FALSE, &state));
    ASSERT_EQ(static_cast<EXPCMDSTATE>(ECS_HIDDEN), state);
    EXPECT_EQ(0u, recorded());
    EXPECT_TRUE(classicEntry());

    // Shown to this host: recorded with this process's start, and the first
    // build of Windows 11 leaves the classic entry out of a 64-bit host.
    auto items = shellItems({file(L"a.txt")});
    ASSERT_EQ(S_OK, command->GetState(items.get(), FALSE, &state));
    ASSERT_EQ(static_cast<EXPCMDSTATE>(ECS_ENABLED), state);
    EXPECT_EQ(hostStart, recorded());
    EXPECT_EQ(!is64BitBuild(), classicEntry());
    if (is64BitBuild()) {
        EXPECT_EQ(std::wstring(ORN_PACKAGE_FAMILY), familyAsked);
    }
    // The same record on the build before it, and for a user without the package.
    build.set(L"21999");
    EXPECT_TRUE(classicEntry());
    build.set(L"22000");
    familyPackages = 0;
    EXPECT_TRUE(classicEntry());
    familyPackages = 1;
    EXPECT_EQ(!is64BitBuild(), classicEntry());

    // A record of this process's id with another start: an earlier process.
    const ULONGLONG earlier = hostStart - 10000000;
    setValue(HKEY_CURRENT_USER, hostsKey, self.c_str(), REG_QWORD, &earlier, sizeof earlier);
    EXPECT_TRUE(classicEntry());

    // The classic menu brought back: the classic entry, whatever was recorded.
    setValue(HKEY_CURRENT_USER, hostsKey, self.c_str(), REG_QWORD, &hostStart, sizeof hostStart);
    EXPECT_EQ(!is64BitBuild(), classicEntry());
    createKey(HKEY_CURRENT_USER, restoredMenu);
    EXPECT_TRUE(classicEntry());
}

// The caller of a COM call as the module asks for it (Wine answers nothing):
// a thread of another process, or the caller in this process.
std::atomic<DWORD> callerThread{0};
std::atomic<HRESULT> callerAnswer{S_OK};

HRESULT WINAPI answeredCallerTID(DWORD* thread)
{
    *thread = callerThread;
    return callerAnswer;
}

// The packaged command records each host that asks it, once per host: the
// process of the calling thread when the call comes from another process,
// and nothing when the caller names no thread (a multithreaded apartment).
// A surrogate that outlives one Explorer so records the next.
TEST_F(ExplorerCommandTest, EachHostThatAsksIsRecordedWithItsStart)
{
    HMODULE com = GetModuleHandleW(L"ole32.dll");
    patchImport(module.handle(), reinterpret_cast<void*>(GetProcAddress(com, "CoGetCallerTID")),
                reinterpret_cast<void*>(&answeredCallerTID));
    // Another host: a process of its own that never runs.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = quoted(systemProgram(L"hostname.exe"));
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &process));
    const orn::unique_handle other(process.hProcess), otherThread(process.hThread);
    const auto startOf = [](HANDLE host) {
        FILETIME created, exited, kernel, user;
        EXPECT_TRUE(GetProcessTimes(host, &created, &exited, &kernel, &user));
        return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    };
    const std::wstring hostsKey = std::wstring(shellExtUserKey) + L"\\" + packagedCommandHostsKey;
    const auto recorded = [&](DWORD processId) {
        ULONGLONG time = 0;
        DWORD bytes = sizeof(time);
        return RegGetValueW(HKEY_CURRENT_USER, hostsKey.c_str(), std::to_wstring(processId).c_str(),
                            RRF_RT_REG_QWORD, nullptr, &time, &bytes) == ERROR_SUCCESS
                   ? time
                   : 0;
    };
    auto items = shellItems({file(L"a.txt")});
    EXPCMDSTATE state = ECS_HIDDEN;
    const struct {
        const char* caller;
        HRESULT answer;
        DWORD thread;
    } callers[] = {
        {"this process", S_OK, GetCurrentThreadId()},
        {"a multithreaded apartment of another process", S_FALSE, 0},
        {"another process", S_FALSE, process.dwThreadId},
    };
    for (const auto& caller : callers) {
        callerAnswer = caller.answer;
        callerThread = caller.thread;
        EXPECT_EQ(S_OK, command->GetState(items.get(), FALSE, &state)) << caller.caller;
    }
    EXPECT_EQ(startOf(GetCurrentProcess()), recorded(GetCurrentProcessId()));
    EXPECT_EQ(startOf(other.get()), recorded(process.dwProcessId));
    // Once per host: asked again, it is not written again.
    deleteTree(HKEY_CURRENT_USER, hostsKey);
    EXPECT_EQ(S_OK, command->GetState(items.get(), FALSE, &state));
    EXPECT_EQ(0u, recorded(process.dwProcessId));
    TerminateProcess(other.get(), 0);
}

// Process creation as the module asks for it, and Windows' refusal of the
// desktop-app policy for this caller, which Wine does not know at all.
struct RecordedStart {
    DWORD_PTR attribute = 0;
    DWORD policy = 0;
    SIZE_T policySize = 0;
    std::vector<DWORD> flags;
};
RecordedStart recordedStart;
std::atomic<bool> refuseEveryStart{false};

BOOL WINAPI acceptAttribute(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR attribute, void* value, SIZE_T size,
                            void*, SIZE_T*)
{
    recordedStart.attribute = attribute;
    recordedStart.policySize = size;
    if (size == sizeof(DWORD))
        recordedStart.policy = *static_cast<const DWORD*>(value);
    return TRUE;
}

BOOL WINAPI refusingCreateProcessW(const wchar_t* application, wchar_t* commandLine, SECURITY_ATTRIBUTES* process,
                                   SECURITY_ATTRIBUTES* thread, BOOL inherit, DWORD flags, void* environment,
                                   const wchar_t* folder, STARTUPINFOW* startup, PROCESS_INFORMATION* information)
{
    recordedStart.flags.push_back(flags);
    if (refuseEveryStart || (flags & EXTENDED_STARTUPINFO_PRESENT)) {
        SetLastError(refuseEveryStart ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return CreateProcessW(application, commandLine, process, thread, inherit, flags, environment, folder, startup,
                          information);
}

// A click always does something: where Windows refuses the breakaway policy
// for this caller, the agent starts without it and the log says why; a start
// that fails altogether is logged with its error. The policy asked for is
// the documented one: the desktop-app attribute (18, an input), a DWORD of
// 1, "enable breakaway for the process tree".
TEST_F(ExplorerCommandTest, StartRefusedWithTheBreakawayPolicyStartsWithoutItAndLogs)
{
    HMODULE system = GetModuleHandleW(L"kernel32.dll");
    patchImport(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "UpdateProcThreadAttribute")),
                reinterpret_cast<void*>(&acceptAttribute));
    patchImport(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "CreateProcessW")),
                reinterpret_cast<void*>(&refusingCreateProcessW));
    auto items = shellItems({file(L"a.txt")});
    {
        LogWatch watch;
        recordedStart = RecordedStart();
        ASSERT_EQ(S_OK, command->Invoke(items.get(), nullptr));
        EXPECT_EQ(agentCommandLine(product.path(), file(L"a.txt")), product.agent().awaitCommandLine());
        EXPECT_EQ(static_cast<DWORD_PTR>(0x00020012), recordedStart.attribute);
        EXPECT_EQ(1u, recordedStart.policy);
        EXPECT_EQ(sizeof(DWORD), recordedStart.policySize);
        EXPECT_EQ((std::vector<DWORD>{EXTENDED_STARTUPINFO_PRESENT, 0}), recordedStart.flags);
        expectNotice(watch, "The agent could not be started outside the package (error 87)");
    }
    product.agent().forget();
    LogWatch watch;
    refuseEveryStart = true;
    recordedStart = RecordedStart();
    EXPECT_EQ(S_OK, command->Invoke(items.get(), nullptr));
    refuseEveryStart = false;
    EXPECT_EQ(2u, recordedStart.flags.size());
    expectNotice(watch, "The agent could not be started (error 2)");
    EXPECT_TRUE(product.agent().staysIdle());
}

// The install folder by its one rule, as its readers see it: the Explorer
// command's state, the classic entry, the launch and the language class
// agree for every way the value can stand, in each view. The product's keys
// stand in the 32-bit view; 32-bit Windows has one view, and there the
// Wow6432Node path is a key of its own.
TEST(InstallFolderRuleTest, StateMenuAndLaunchAgreeForEveryRegistrySituation)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        ProductRegistry registry;
        const TempFolder first(L"Orn Rule "), second(L"Orn Other "), selection(L"OrnSelection");
        // The longest folder whose every file has a path within MAX_PATH, and
        // one character more.
        const TempFolder base(L"OrnLong");
        const auto folderOf = [&](std::size_t length) {
            return base.path() / std::wstring(length - base.str().size() - 1, L'l');
        };
        const fs::path folders[] = {first.path(), second.path(), folderOf(229), folderOf(230)};
        enum { none = -1, firstFolder, secondFolder, longest, tooLong };
        std::vector<InstalledAgent> agents;
        for (const fs::path& folder : folders) {
            agents.emplace_back(folder);
            writeText(folder / L"Agent" / L"Res" / L"0409" / L"GenStrings.bin", genStrings("Scan", "Scans"));
        }
        const std::wstring target = (selection.path() / L"a.txt").wstring();
        writeText(target, "a");
        const auto value = [&](int folder, REGSAM view = KEY_WOW64_32KEY, DWORD type = REG_SZ,
                               const wchar_t* key = installKey) {
            setStringInView(HKEY_LOCAL_MACHINE, key, installDirValue, folders[folder].wstring(), view, type);
        };
        const wchar_t wow6432Path[] = L"SOFTWARE\\Wow6432Node\\Quarvel\\Hollowmere";
        const struct {
            const char* situation;
            std::function<void()> stage;
            int found;
        } rows[] = {
            {"no key", [] {}, none},
            {"no value", [] { createKey(HKEY_LOCAL_MACHINE, installKey); }, none},
            {"empty", [] { setString(HKEY_LOCAL_MACHINE, installKey, installDirValue, L""); }, none},
            {"wrong type", [&] { value(firstFolder, KEY_WOW64_32KEY, REG_BINARY); }, none},
            {"expandable, taken as stored", [&] { value(firstFolder, KEY_WOW64_32KEY, REG_EXPAND_SZ); }, firstFolder},
            {"longest", [&] { value(longest); }, longest},
            {"too long", [&] { value(tooLong); }, none},
            {"32-bit view only", [&] { value(firstFolder); }, firstFolder},
            {"64-bit view only", [&] { value(firstFolder, KEY_WOW64_64KEY); }, onWow64Prefix() ? none : firstFolder},
            {"both views",
             [&] {
                 value(secondFolder, KEY_WOW64_64KEY);
                 value(firstFolder);
             },
             firstFolder},
            {"Wow6432Node path", [&] { value(firstFolder, 0, REG_SZ, wow6432Path); },
             onWow64Prefix() ? firstFolder : none},
        };
        LoadedModule module{builtModule()};
        orn::com_ptr<IContextMenu> handler = module.handler();
        orn::com_ptr<IExplorerCommand> command = module.explorerCommand();
        ASSERT_TRUE(handler && command);
        auto items = shellItems({target});
        for (const auto& row : rows) {
            for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
                deleteTree(HKEY_LOCAL_MACHINE, installKey, view);
            deleteTree(HKEY_LOCAL_MACHINE, wow6432Path, 0);
            row.stage();
            for (const InstalledAgent& agent : agents)
                agent.forget();

            EXPCMDSTATE state = ECS_DISABLED;
            ASSERT_EQ(S_OK, command->GetState(items.get(), TRUE, &state));
            HMENU menu = CreatePopupMenu();
            const HRESULT entries = handler->QueryContextMenu(menu, 0, 1, 2, CMF_NORMAL);
            DestroyMenu(menu);
            const LogWatch watch;
            ASSERT_EQ(S_OK, command->Invoke(items.get(), nullptr));
            EXPECT_EQ(row.found != none ? ECS_ENABLED : ECS_HIDDEN, state) << row.situation;
            EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, row.found != none), entries) << row.situation;
            EXPECT_EQ(row.found != none, !!CMUIHelper().IsLanguageInstalled(0x0409)) << row.situation;
            if (row.found != none) {
                EXPECT_EQ(agentCommandLine(folders[row.found], target), agents[row.found].awaitCommandLine())
                    << row.situation;
            } else {
                expectNotice(watch, "Failed to read registry");
            }
        }
        items.reset();
        command.reset();
        handler.reset();
    }
    CoUninitialize();
}

// What a process holds that a module could leave behind: the value of the next
// handle (Wine gives out the lowest free slot, and reports no handle count),
// the bytes in use on every heap, and the TLS indexes still free.
struct ProcessHoldings {
    ULONG_PTR nextHandle = 0;
    SIZE_T heapBytes = 0;
    DWORD freeTlsSlots = 0;
};

ProcessHoldings processHoldings()
{
    ProcessHoldings holdings;
    orn::unique_handle probe(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    holdings.nextHandle = reinterpret_cast<ULONG_PTR>(probe.get());
    probe.reset();

    HANDLE heaps[64];
    const DWORD heapCount = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    for (DWORD i = 0; i < heapCount; ++i) {
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                holdings.heapBytes += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }

    static DWORD taken[1088];
    while (holdings.freeTlsSlots < 1088) {
        const DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES)
            break;
        taken[holdings.freeTlsSlots++] = slot;
    }
    for (DWORD i = 0; i < holdings.freeTlsSlots; ++i)
        TlsFree(taken[i]);
    return holdings;
}

// What Explorer does for weeks: load the module, show a menu, refuse a verb
// (which logs), let go of everything and unload it, over and over.
TEST(ModuleReloadTest, LoadMenuAndUnloadLeaveNothingBehind)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    InstalledProduct product;
    const std::wstring target = (product.path() / L"a.txt").wstring();
    const auto cycles = [&](int count) {
        for (int i = 0; i < count; ++i) {
            LoadedModule module{builtModule()};
            ASSERT_TRUE(module.loaded()) << "error " << module.loadError();
            {
                orn::com_ptr<IContextMenu> handler = module.handler();
                orn::com_ptr<IShellExtInit> init;
                ASSERT_EQ(S_OK, handler->QueryInterface(IID_IShellExtInit, init.put_void()));
                Selection selection({target});
                ASSERT_EQ(S_OK, init->Initialize(nullptr, &selection, nullptr));
                HMENU menu = CreatePopupMenu();
                EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), handler->QueryContextMenu(menu, 0, 1, 100, CMF_NORMAL));
                wchar_t help[64];
                EXPECT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(help), 64));
                CMINVOKECOMMANDINFO info = {};
                info.cbSize = sizeof(info);
                info.lpVerb = "open";
                EXPECT_EQ(E_INVALIDARG, handler->InvokeCommand(&info));
                DestroyMenu(menu);
                ASSERT_EQ(S_OK, init->Initialize(nullptr, nullptr, nullptr));
            }
            ASSERT_EQ(S_OK, module.canUnloadNow());
        }
    };
    // The first unloads fill the system's own caches, once: of two rounds,
    // the smaller growth is what every unload leaves.
    cycles(5);
    const ProcessHoldings start = processHoldings();
    cycles(40);
    const ProcessHoldings middle = processHoldings();
    cycles(40);
    const ProcessHoldings end = processHoldings();
    CoUninitialize();

    EXPECT_EQ(start.nextHandle, end.nextHandle);
    EXPECT_EQ(start.freeTlsSlots, end.freeTlsSlots);
    const SIZE_T growth = std::min(middle.heapBytes - start.heapBytes, end.heapBytes - middle.heapBytes);
    // Left: a 20-byte record for each static mutex of the runtime that a load
    // locks (three), out of reach; the arena and thread records were 20 KB.
    EXPECT_LT(growth, 40u * 128u) << start.heapBytes << " -> " << middle.heapBytes << " -> " << end.heapBytes;
    std::printf("80 reloads: next handle 0x%lx -> 0x%lx, free TLS indexes %lu -> %lu, "
                "heap bytes %lu -> %lu -> %lu\n",
                static_cast<unsigned long>(start.nextHandle), static_cast<unsigned long>(end.nextHandle),
                start.freeTlsSlots, end.freeTlsSlots, static_cast<unsigned long>(start.heapBytes),
                static_cast<unsigned long>(middle.heapBytes), static_cast<unsigned long>(end.heapBytes));
}

// The product's log of notices, which a refused verb writes to, held by
// another writer: the module's writers find it refused.
orn::unique_file holdNotices()
{
    return orn::unique_file(CreateFileW((logFolder() + L"\\zuNotices.log").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
}

// One error line logged by the module: a verb its handler refuses.
void logThrough(LoadedModule& module)
{
    orn::com_ptr<IContextMenu> handler = module.handler();
    ASSERT_TRUE(handler);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof(info);
    info.lpVerb = "open";
    EXPECT_EQ(E_INVALIDARG, handler->InvokeCommand(&info));
}

const char loggedLine[] = "Invalid HIWORD";
const std::string countedAtUnload = "Logging: 1 lines for \"" + [] {
    const std::wstring path = logFolder() + L"\\zuNotices.log";
    return std::string(path.begin(), path.end());
}() + "\" lost at unload: the file was held by another process\n";

// What the logging library sends to the debugger output while this lives,
// seen before any debugger (the test framework sends its failures there too).
class DebugOutput {
public:
    DebugOutput() : handler_(AddVectoredExceptionHandler(1, &DebugOutput::seen)) { texts.clear(); }
    ~DebugOutput() { RemoveVectoredExceptionHandler(handler_); }
    static inline std::vector<std::string> texts;

private:
    static LONG CALLBACK seen(EXCEPTION_POINTERS* exception)
    {
        const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
        if (record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2) {
            const std::string text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
            if (text.compare(0, 9, "Logging: ") == 0)
                texts.push_back(text);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    void* handler_;
};

// Calls of the module to the system, counted by their entries in its import
// address table, which is gone with the module.
std::atomic<int> sleeps{0}, noticesOpens{0};
// Opens of the log by the thread asking DllCanUnloadNow, while it asks.
std::atomic<DWORD> unloadAsker{0};
std::atomic<int> noticesOpensByAsker{0};

void WINAPI countedSleep(DWORD milliseconds)
{
    ++sleeps;
    Sleep(milliseconds);
}

HANDLE WINAPI countedCreateFileW(const wchar_t* name, DWORD access, DWORD share,
                                 SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                                 HANDLE templateFile)
{
    if (std::wstring(name).find(L"zuNotices.log") != std::wstring::npos) {
        ++noticesOpens;
        noticesOpensByAsker += GetCurrentThreadId() == unloadAsker;
    }
    return CreateFileW(name, access, share, security, disposition, flags, templateFile);
}

// Opens of the logging library's key by the module, counted while a test
// runs (the key is opened by its path below the product's key).
std::atomic<int> logKeyOpens{0};

LSTATUS WINAPI countedRegOpenKeyExW(HKEY root, const wchar_t* path, DWORD options, REGSAM access,
                                    HKEY* key)
{
    const std::wstring name = path ? path : L"";
    logKeyOpens += name.size() >= 4 && _wcsicmp(name.c_str() + name.size() - 4, L"\\Log") == 0;
    return RegOpenKeyExW(root, path, options, access, key);
}

// A shell process pays nothing for logging it does not use: loading the
// module, creating both class objects and showing both menus, with logging
// configured (the Log key, debugging on, a configuration file), make no log
// folder and open no key of logging. The first record reads the key and the
// file; the log folder waits for the first log file.
TEST(LoggingStartTest, NothingOfLoggingBeforeTheFirstRecordNoFolderBeforeTheFirstFile)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    InstalledProduct product;
    const std::wstring logKey = std::wstring(installKey) + L"\\Log";
    setString(HKEY_LOCAL_MACHINE, logKey, L"szCurrentActivityType", L"zuStart");
    const DWORD on = 1;
    setValue(HKEY_LOCAL_MACHINE, logKey, L"bDebugEnable", REG_DWORD, &on, sizeof on);
    const fs::path configuration = product.path() / L"logCfg.Ini";
    writeText(configuration, "[quiet]\r\ntype=outputdebugstring\r\n");
    // The log folder is put aside for the test, and back after it.
    const std::wstring logs = logFolder();
    const std::wstring aside = logs + L".aside-" + std::to_wstring(GetCurrentProcessId());
    const bool hadLogs = GetFileAttributesW(logs.c_str()) != INVALID_FILE_ATTRIBUTES;
    ASSERT_TRUE(!hadLogs || MoveFileW(logs.c_str(), aside.c_str())) << GetLastError();
    const auto restore = orn::scope_exit([&] {
        std::error_code ignored;
        fs::remove_all(logs, ignored);
        if (hadLogs)
            MoveFileW(aside.c_str(), logs.c_str());
    });
    const auto noLogFolder = [&] {
        return GetFileAttributesW(logs.c_str()) == INVALID_FILE_ATTRIBUTES;
    };
    const std::wstring target = (product.path() / L"a.txt").wstring();
    writeText(target, "a");
    {
        LoadedModule module{builtModule()};
        ASSERT_TRUE(module.loaded()) << "error " << module.loadError();
        EXPECT_TRUE(noLogFolder());
        logKeyOpens = 0;
        patchImport(module.handle(),
                    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegOpenKeyExW")),
                    reinterpret_cast<void*>(&countedRegOpenKeyExW));
        Selection selection({target});
        {
            orn::com_ptr<IContextMenu> handler = module.handler();
            orn::com_ptr<IShellExtInit> init;
            ASSERT_EQ(S_OK, handler->QueryInterface(IID_IShellExtInit, init.put_void()));
            ASSERT_EQ(S_OK, init->Initialize(nullptr, &selection, nullptr));
            HMENU menu = CreatePopupMenu();
            EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1), handler->QueryContextMenu(menu, 0, 1, 100, CMF_NORMAL));
            wchar_t help[64];
            EXPECT_EQ(S_OK, handler->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<char*>(help), 64));
            DestroyMenu(menu);
            ASSERT_EQ(S_OK, init->Initialize(nullptr, nullptr, nullptr));
            orn::com_ptr<IExplorerCommand> command = module.explorerCommand();
            orn::com_ptr<IShellItemArray> items = shellItems({target});
            EXPCMDSTATE state = ECS_HIDDEN;
            EXPECT_EQ(S_OK, command->GetState(items.get(), FALSE, &state));
            EXPECT_EQ(ECS_ENABLED, state);
        }
        EXPECT_TRUE(noLogFolder());
        EXPECT_EQ(0, logKeyOpens.load());
        EXPECT_EQ(S_OK, module.canUnloadNow());
        // Routed to the debugger alone: no file, so no folder yet.
        logThrough(module);
        EXPECT_GT(logKeyOpens.load(), 0);
        EXPECT_TRUE(noLogFolder());
    }
    writeText(configuration, "[start]\r\ntype=file\r\nfilename=<activity>.start.log\r\n"
                             "format=%P:%+p %m\r\n");
    LoadedModule module{builtModule()};
    const LogWatch watch;
    logThrough(module);
    EXPECT_FALSE(noLogFolder());
    EXPECT_EQ(std::set<std::wstring>{L"zuStart.start.log"}, watch.filesWith(loggedLine));
    CoUninitialize();
}

// A log held when the module logs: its line waits, and COM is told to keep
// the module while the log refuses it. Released, a later DllCanUnloadNow
// finds the line written; held for good, after a while the line is counted
// on the debugger output and the module may go. The writes are a pool
// thread's: the thread asking, usually Explorer's UI thread, opens no log.
TEST(ModuleUnloadTest, HeldLogKeepsTheModuleUntilItsLineIsWrittenOrForAWhile)
{
    const LogWatch watch;
    std::optional<LoadedModule> loaded{builtModule()};
    LoadedModule& module = *loaded;
    HMODULE system = GetModuleHandleW(L"kernel32.dll");
    patchImport(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "CreateFileW")),
               reinterpret_cast<void*>(&countedCreateFileW));
    noticesOpensByAsker = 0;
    auto ask = [&] {
        unloadAsker = GetCurrentThreadId();
        const HRESULT answer = module.canUnloadNow();
        unloadAsker = 0;
        return answer;
    };
    // Asked again and again, as a host freeing unused libraries does.
    auto askUntilFree = [&](int times, DWORD pause, int& refusals) {
        HRESULT answer = S_FALSE;
        for (refusals = 0; refusals < times && (answer = ask()) == S_FALSE; ++refusals)
            Sleep(pause);
        return answer;
    };
    orn::unique_file hold = holdNotices();
    ASSERT_TRUE(hold);
    logThrough(module);
    EXPECT_EQ(S_FALSE, ask());
    Sleep(100);
    EXPECT_EQ(S_FALSE, ask());
    EXPECT_EQ(0u, watch.filesWith(loggedLine).count(L"zuNotices.log"));
    hold.reset();
    // Released, the next call's work item writes the line.
    EXPECT_EQ(S_FALSE, ask());
    for (int i = 0; i < 500 && !watch.filesWith(loggedLine).count(L"zuNotices.log"); ++i)
        Sleep(10);
    EXPECT_EQ(1u, watch.filesWith(loggedLine).count(L"zuNotices.log"));

    // Past the patience since the first refusal, with no call between: the
    // written line ended it, so the next refused one gets all of it again.
    Sleep(2200);
    int refusals = 0;
    const LogWatch later;
    hold = holdNotices();
    logThrough(module);
    const DebugOutput debugger;
    EXPECT_EQ(S_OK, askUntilFree(600, 50, refusals));
    EXPECT_GT(refusals, 20) << "let go before a second";
    EXPECT_LT(refusals, 200) << "kept for more than 10 s";
    EXPECT_EQ(std::vector<std::string>{countedAtUnload}, DebugOutput::texts);
    hold.reset();
    EXPECT_EQ(S_OK, ask());
    EXPECT_EQ(0u, later.filesWith(loggedLine).count(L"zuNotices.log"));
    EXPECT_EQ(0, noticesOpensByAsker.load());
    // The work items gave their references on the module back.
    loaded.reset();
    EXPECT_EQ(nullptr, GetModuleHandleW(builtModule().c_str()));
}

// The patience with a held log counts from the first refusal since its kept
// lines were last written, whoever wrote them: the unload's work item, or the
// module's next line to the log. A log held again later keeps the module its
// whole while again.
TEST(ModuleUnloadTest, PatienceStartsAgainOnceKeptLinesWereWritten)
{
    LoadedModule module{builtModule()};
    const struct {
        const char* writer;
        bool byNextLine;
    } rows[] = {{"the unload's work item", false}, {"the next line", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.writer);
        const LogWatch watch;
        orn::unique_file hold = holdNotices();
        ASSERT_TRUE(hold);
        logThrough(module);
        EXPECT_EQ(S_FALSE, module.canUnloadNow());
        Sleep(1800);
        hold.reset();
        if (row.byNextLine) {
            logThrough(module);
            EXPECT_EQ(S_OK, module.canUnloadNow());
        } else {
            // Asked once: no later answer may see the written lines first.
            EXPECT_EQ(S_FALSE, module.canUnloadNow());
            for (int waited = 0; waited < 5000 && watch.filesWith(loggedLine).empty(); waited += 10)
                Sleep(10);
            Sleep(100);
        }
        EXPECT_EQ(1u, watch.filesWith(loggedLine).count(L"zuNotices.log"));

        hold = holdNotices();
        logThrough(module);
        const ULONGLONG start = GetTickCount64();
        HRESULT answer = S_FALSE;
        for (int asked = 0; asked < 200 && (answer = module.canUnloadNow()) == S_FALSE; ++asked)
            Sleep(20);
        EXPECT_EQ(S_OK, answer);
        EXPECT_GE(GetTickCount64() - start, 1500u);
        hold.reset();
    }
}

// A section with a delay, through the module: COM is told to keep the module
// while its line is queued, and the unload's work item writes it long before
// the delay is up; then the module goes at once, its writer ended.
TEST(ModuleUnloadTest, QueuedLinesAreWrittenBeforeTheModuleGoes)
{
    const ProductRegistry registry;
    const TempFolder install(L"Orn Queued ");
    setString(HKEY_LOCAL_MACHINE, installKey, installDirValue, install.str());
    orn::unique_hkey logKey;
    ASSERT_EQ(ERROR_SUCCESS, CreateProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_ALL_ACCESS,
                                              logKey.put()));
    const DWORD on = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(logKey.get(), L"bDebugEnable", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&on), sizeof on));
    const std::string name = "ModuleQueued-" + std::to_string(GetCurrentProcessId()) + ".log";
    writeText(install.path() / L"logCfg.Ini",
              "[queued]\r\ntype=file\r\nformat=%m\r\nwritedelay=3000\r\nfilename=" + name +
                  "\r\n");
    const std::wstring log = logFolder() + L"\\" + std::wstring(name.begin(), name.end());
    DeleteFileW(log.c_str());
    auto written = [&] {
        const std::string text = readFile(log);
        int lines = 0;
        for (std::size_t at = text.find(loggedLine); at != std::string::npos;
             at = text.find(loggedLine, at + 1))
            ++lines;
        return lines;
    };
    // Gone once nothing holds it, at most this long after.
    auto gone = [](int milliseconds) {
        for (int waited = 0; waited < milliseconds && GetModuleHandleW(builtModule().c_str());
             waited += 10)
            Sleep(10);
        return GetModuleHandleW(builtModule().c_str()) == nullptr;
    };
    {
        LoadedModule module{builtModule()};
        logThrough(module);
        EXPECT_EQ(0, written());
        HRESULT answer = module.canUnloadNow();
        EXPECT_EQ(S_FALSE, answer);
        for (int asked = 0; asked < 100 && answer == S_FALSE; ++asked) {
            Sleep(10);
            answer = module.canUnloadNow();
        }
        EXPECT_EQ(S_OK, answer);
        EXPECT_EQ(1, written());
    }
    EXPECT_TRUE(gone(1000)) << "the writer held the module with nothing queued";
    DeleteFileW(log.c_str());
}

// Unloaded while the log is held (a host that frees the module without
// asking), the module opens it once, sleeps not at all under the loader
// lock, and counts the line on the debugger output.
TEST(ModuleUnloadTest, UnloadTriesAHeldLogOnceWithoutSleeping)
{
    const LogWatch watch;
    orn::unique_file hold = holdNotices();
    ASSERT_TRUE(hold);
    const DebugOutput debugger;
    noticesOpens = 0;
    {
        LoadedModule module{builtModule()};
        logThrough(module);
        HMODULE system = GetModuleHandleW(L"kernel32.dll");
        patchImport(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "Sleep")),
                   reinterpret_cast<void*>(&countedSleep));
        patchImport(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "CreateFileW")),
                   reinterpret_cast<void*>(&countedCreateFileW));
    }
    EXPECT_EQ(0, sleeps.load());
    EXPECT_EQ(1, noticesOpens.load());
    EXPECT_EQ(std::vector<std::string>{countedAtUnload}, DebugOutput::texts);
    hold.reset();
    EXPECT_EQ(0u, watch.filesWith(loggedLine).count(L"zuNotices.log"));
}

// Four shell processes log into one log at once and end normally, returning
// from main with the module loaded. Each logs its last line while the log is
// held, so that line is kept when the process ends: written then, once the
// log is released (by the first of them at least: ending together, they
// hold the log for each other); in every other round the log stays held to
// the end, and the line is counted on the debugger output. Every line is on
// disk or counted there.
TEST(ModuleExitTest, ProcessesEndingNormallyLoseNoLineSilently)
{
    constexpr int processes = 4, lines = 300;
    const std::wstring log = logFolder() + L"\\zuNotices.log";
    const std::wstring child = (binaryDir() / L"tests" / L"extension" / L"ModuleExitChild.exe");
    // Ten rounds write about 1 MiB: the log must not rotate while counted.
    DeleteFileW(log.c_str());
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const bool heldToTheEnd = round % 2 == 1;
        const std::wstring name = L"Local\\orn-exit-" + std::to_wstring(GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(round) + L"-";
        auto event = [&](const std::wstring& what) {
            return orn::unique_handle(CreateEventW(nullptr, TRUE, FALSE, (name + what).c_str()));
        };
        const orn::unique_handle go = event(L"go"), end = event(L"end");
        std::vector<orn::unique_handle> ready, kept;
        std::vector<std::wstring> commands;
        for (int i = 0; i < processes; ++i) {
            const std::wstring number = std::to_wstring(i);
            ready.push_back(event(L"ready" + number));
            kept.push_back(event(L"kept" + number));
            commands.push_back(quoted(child) + L" " + quoted(builtModule().wstring()) + L" " +
                               std::to_wstring(lines) + L" " + name + L"ready" + number + L" " +
                               name + L"go " + name + L"kept" + number + L" " + name + L"end");
        }
        auto all = [](const std::vector<orn::unique_handle>& events) {
            std::vector<HANDLE> handles;
            for (const auto& handle : events)
                handles.push_back(handle.get());
            return WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                          TRUE, 60000) == WAIT_OBJECT_0;
        };
        const std::size_t before = readFile(log).size();
        std::map<DWORD, DebuggedChild> output;
        std::thread debugger([&] { output = debugChildren(commands); });
        EXPECT_TRUE(all(ready));
        orn::unique_file hold(CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_ALWAYS, 0, nullptr));
        EXPECT_TRUE(hold);
        SetEvent(go.get());
        EXPECT_TRUE(all(kept));
        if (!heldToTheEnd)
            hold.reset();
        SetEvent(end.get());
        debugger.join();
        hold.reset();

        const std::string appended = readFile(log).substr(before);
        ASSERT_EQ(static_cast<std::size_t>(processes), output.size());
        int wroteAll = 0;
        for (const auto& [process, child] : output) {
            char line[32];
            std::snprintf(line, sizeof line, ":%lx %s", process, loggedLine);
            int onDisk = 0, counted = 0;
            for (std::size_t at = appended.find(line); at != std::string::npos;
                 at = appended.find(line, at + 1))
                ++onDisk;
            for (const std::string& text : child.texts) {
                if (text.compare(0, 9, "Logging: ") == 0 &&
                    text.find("zuNotices.log\" lost at unload") != std::string::npos)
                    counted += std::atoi(text.c_str() + 9);
            }
            EXPECT_EQ(0u, child.exitCode) << process;
            EXPECT_EQ(lines, onDisk + counted) << process << ": " << onDisk << " on disk";
            EXPECT_TRUE(!heldToTheEnd || counted > 0) << process;
            wroteAll += onDisk == lines;
        }
        EXPECT_TRUE(heldToTheEnd || wroteAll > 0);
    }
}

// The module's "logCfg.Ini" while this lives, with debugging on, under which
// the module reads it; what was there comes back.
class ConfigurationFile {
public:
    explicit ConfigurationFile(const std::string& text) : path_(configurationFilePath())
    {
        EXPECT_EQ(ERROR_SUCCESS, CreateProductKey(HKEY_LOCAL_MACHINE, logRegistryKey,
                                                  KEY_ALL_ACCESS, logKey_.put()));
        DWORD size = sizeof debugging_;
        hadDebugging_ =
            RegQueryValueExW(logKey_.get(), L"bDebugEnable", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&debugging_), &size) == ERROR_SUCCESS;
        const DWORD on = 1;
        RegSetValueExW(logKey_.get(), L"bDebugEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&on), sizeof on);
        const std::wstring folder = path_.substr(0, path_.find_last_of(L'\\'));
        for (std::wstring level = folder; !level.empty() && !exists(level);
             level = level.substr(0, level.find_last_of(L'\\')))
            created_.push_back(level);
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        if ((found_ = exists(path_)))
            before_ = readFile(path_);
        EXPECT_TRUE(writeFile(path_, text));
    }
    ~ConfigurationFile()
    {
        if (hadDebugging_)
            RegSetValueExW(logKey_.get(), L"bDebugEnable", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&debugging_), sizeof debugging_);
        else
            RegDeleteValueW(logKey_.get(), L"bDebugEnable");
        DeleteFileW(path_.c_str());
        if (found_)
            writeFile(path_, before_);
        for (const std::wstring& level : created_)
            RemoveDirectoryW(level.c_str());
    }

private:
    orn::unique_hkey logKey_;
    bool hadDebugging_ = false;
    DWORD debugging_ = 0;
    std::wstring path_;
    bool found_ = false;
    std::string before_;
    std::vector<std::wstring> created_;
};

// The module's lines to a TCP collector: while they wait for it,
// DllCanUnloadNow keeps the module; once they are sent it lets it go, and
// every line has arrived.
TEST(ModuleUnloadTest, StreamLinesArriveBeforeTheModuleGoes)
{
    constexpr int lines = 5;
    output_test::StreamListener collector;
    const ConfigurationFile configuration("[collector]\r\ntype=syslog\r\ntransport=tcp\r\n"
                                          "server=127.0.0.1\r\nformat=%m\r\nport=" +
                                          std::to_string(collector.port()) + "\r\n");
    std::optional<LoadedModule> loaded{builtModule()};
    for (int i = 0; i < lines; ++i)
        logThrough(*loaded);
    EXPECT_EQ(S_FALSE, loaded->canUnloadNow());
    ASSERT_TRUE(collector.listen());
    int received = 0;
    if (collector.accept()) {
        for (std::string message;
             (message = collector.message(received < lines ? 15000 : 300)) != "<none>";)
            received += message.find(loggedLine) != std::string::npos;
    }
    EXPECT_EQ(lines, received);
    HRESULT answer = S_FALSE;
    for (int asked = 0; asked < 100 && (answer = loaded->canUnloadNow()) == S_FALSE; ++asked)
        Sleep(10);
    EXPECT_EQ(S_OK, answer);
    // The pool gives its hold on the module back once the sender's callback
    // has returned; unloaded by the pool while debugging is on, the module
    // deadlocks Wine's thread pool (its waits are ended under the loader
    // lock), so the host's unload is the last here.
    Sleep(200);
    loaded.reset();
    EXPECT_EQ(nullptr, GetModuleHandleW(builtModule().c_str()));
}

}  // namespace
