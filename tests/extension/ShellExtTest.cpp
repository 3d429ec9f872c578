// The context-menu handler of the built module, created through its class
// object, with a product installed in the real registry and real folders.

#include "BuiltModule.h"
#include "Files.h"
#include "MUIHelper.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
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

// Windows 11's two moments for one user, with this process as the host:
// right after installing, Explorer (started before) shows no packaged command
// and the classic entry stays; once the packaged command has answered since
// the host started, a 64-bit host leaves the classic entry out, unless the
// user brought back the classic menu. A 32-bit host always keeps it.
TEST_F(ExplorerCommandTest, ClassicEntryStepsBackOnlyWhileThePackagedCommandIsShown)
{
    const StringValueStage windows11(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                     L"CurrentBuildNumber", L"22631");
    const std::wstring restoredMenu =
        L"Software\\Classes\\CLSID\\{86ca1aa0-34aa-4e8b-a509-50c905bae2a2}\\InprocServer32";
    const RegistryStage override(HKEY_CURRENT_USER, {restoredMenu});
    const auto classicEntry = [this] {
        HMENU fresh = CreatePopupMenu();
        const HRESULT hr = handler->QueryContextMenu(fresh, 0, 1, 2, CMF_NORMAL);
        const int items = GetMenuItemCount(fresh);
        DestroyMenu(fresh);
        return hr == MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1) && items == 2;
    };
    const auto recorded = [] {
        ULONGLONG time = 0;
        DWORD bytes = sizeof(time);
        return RegGetValueW(HKEY_CURRENT_USER, shellExtUserKey, packagedCommandAskedValue, RRF_RT_REG_QWORD,
                            nullptr, &time, &bytes) == ERROR_SUCCESS
                   ? time
                   : 0;
    };
    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
    const ULONGLONG hostStart = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;

    // Right after installing: whatever was recorded is older than this host.
    const ULONGLONG earlier = hostStart - 10000000;
    setValue(HKEY_CURRENT_USER, shellExtUserKey, packagedCommandAskedValue, REG_QWORD, &earlier, sizeof earlier);
    EXPECT_TRUE(classicEntry());

    // The packaged command answers, and that is recorded once in this process.
    auto items = shellItems({file(L"a.txt")});
    EXPCMDSTATE state = ECS_DISABLED;
    ASSERT_EQ(S_OK, command->GetState(items.get(), FALSE, &state));
    const ULONGLONG answered = recorded();
    EXPECT_GT(answered, hostStart);
    EXPECT_EQ(!is64BitBuild(), classicEntry());
    deleteTree(HKEY_CURRENT_USER, shellExtUserKey);
    ASSERT_EQ(S_OK, command->GetState(items.get(), TRUE, &state));
    EXPECT_EQ(0u, recorded());

    // The classic menu brought back: the classic entry, whatever was recorded.
    setValue(HKEY_CURRENT_USER, shellExtUserKey, packagedCommandAskedValue, REG_QWORD, &answered, sizeof answered);
    EXPECT_EQ(!is64BitBuild(), classicEntry());
    createKey(HKEY_CURRENT_USER, restoredMenu);
    EXPECT_TRUE(classicEntry());
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

void countCalls(HMODULE module, void* function, void* counter)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int patched = 0;
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name; ++library) {
        for (auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
             entry->u1.Function; ++entry) {
            if (reinterpret_cast<void*>(entry->u1.Function) != function)
                continue;
            DWORD protection = 0;
            VirtualProtect(&entry->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            entry->u1.Function = reinterpret_cast<ULONG_PTR>(counter);
            VirtualProtect(&entry->u1.Function, sizeof(void*), protection, &protection);
            ++patched;
        }
    }
    EXPECT_GT(patched, 0);
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
    countCalls(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "CreateFileW")),
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
    int refusals = 0;
    EXPECT_EQ(S_OK, askUntilFree(100, 10, refusals));
    EXPECT_EQ(1u, watch.filesWith(loggedLine).count(L"zuNotices.log"));

    const LogWatch later;
    hold = holdNotices();
    logThrough(module);
    const DebugOutput debugger;
    EXPECT_EQ(S_OK, askUntilFree(600, 50, refusals));
    EXPECT_GT(refusals, 0);
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
        countCalls(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "Sleep")),
                   reinterpret_cast<void*>(&countedSleep));
        countCalls(module.handle(), reinterpret_cast<void*>(GetProcAddress(system, "CreateFileW")),
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

}  // namespace
