// Benchmarks of the logging path and the context menu. Each figure times our
// code and the bare work it stands for side by side, round after round, and
// reports the median of the per-round ratios, so the machine's noise cancels.
//
//   orn_bench [--gzip-ms=N] [--only=1,2,...]   the table
//   orn_bench --write-sample                   writes the 2 MiB rotation sample
//
// Everything it writes lives in the Wine prefix it runs in (scripts/bench.sh
// gives it one of its own) and in bench-data beside the program.

#include "BenchCounters.h"

#include "DefaultLogConfiguration.h"
#include "DefaultLogManager.h"
#include "FilterEvaluator.h"
#include "LogArchive.h"
#include "LogFileSink.h"
#include "LogFormatter.h"
#include "LogManager.h"
#include "LogRecord.h"
#include "OStream.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t productKey[] = L"SOFTWARE\\Quarvel\\Hollowmere";
const wchar_t desktopKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI";
const CLSID clsidShellExt = {0x7c1d52b0, 0x9e3a, 0x4f06,
                             {0x8b, 0x2d, 0x5a, 0x4e, 0x61, 0xc0, 0xf3, 0xd9}};
const wchar_t defaultFormat[] = L"%D %T %P:%+p %m";
const char message[] = "Invalid HIWORD";

volatile int sink;  // keeps results alive

double now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Figure {
    std::string name;
    double ours = 0;  // microseconds per operation, median
    double bare = 0;
    double ratio = 0;  // median of the rounds' ratios
    double target = 0;
    bool measured = false;
    std::string note;
};

// Rounds of `perRound` operations each, ours then bare; before and after
// each timed batch `prepare` may reset files (not timed).
Figure compare(const char* name, double target, int rounds, int perRound,
               const std::function<void(int)>& ours, const std::function<void(int)>& bare,
               const std::function<void()>& prepare = nullptr)
{
    Figure figure;
    figure.name = name;
    figure.target = target;
    std::vector<double> oursTimes, bareTimes, ratios;
    for (int round = 0; round < rounds + 1; ++round) {
        if (prepare)
            prepare();
        const double t0 = now();
        for (int i = 0; i < perRound; ++i)
            ours(i);
        const double t1 = now();
        if (prepare)
            prepare();
        const double t2 = now();
        for (int i = 0; i < perRound; ++i)
            bare(i);
        const double t3 = now();
        if (round == 0)
            continue;  // warm-up
        const double a = (t1 - t0) * 1e6 / perRound, b = (t3 - t2) * 1e6 / perRound;
        oursTimes.push_back(a);
        bareTimes.push_back(b);
        ratios.push_back(a / b);
    }
    figure.ours = median(oursTimes);
    figure.bare = median(bareTimes);
    figure.ratio = median(ratios);
    figure.measured = true;
    return figure;
}

std::wstring programFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    PathRemoveFileSpecW(path);
    return path;
}

std::wstring dataFolder()
{
    return programFolder() + L"\\bench-data";
}

std::wstring installFolder()
{
    return dataFolder() + L"\\install";
}

bool writeBytes(const std::wstring& path, const std::string& bytes)
{
    orn::unique_file file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                             nullptr) &&
           written == bytes.size();
}

void setDword(const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    orn::unique_hkey key;
    if (CreateProductKey(HKEY_LOCAL_MACHINE, subKey, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
}

// The installation the menu strings and the log manager read, in this
// prefix's registry.
void prepareInstallation()
{
    SHCreateDirectoryExW(nullptr, (installFolder() + L"\\Agent\\Res\\0409").c_str(), nullptr);
    writeBytes(installFolder() + L"\\Agent\\Res\\0409\\GenStrings.bin",
               "[STR_SCANNOW]\r\nIDS_EXP_SCANNOW_DSTRING=Scan now\r\nIDS_SCAN=Scans the "
               "selection\r\n");
    orn::unique_hkey key;
    if (CreateProductKey(HKEY_LOCAL_MACHINE, productKey, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
        const std::wstring folder = installFolder();
        RegSetValueExW(key.get(), L"szInstallDir", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(folder.c_str()),
                       static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    // The built-in table, never a configuration file, and activity zuAgent.
    DeleteFileW((std::wstring(configDirectory.get()) + L"\\logCfg.Ini").c_str());
    orn::unique_hkey log;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_SET_VALUE, log.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(log.get(), L"szCurrentActivityType");
        RegDeleteValueW(log.get(), L"szLastVersion");
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, desktopKey, L"LANGID");
    setDword(logRegistryKey, L"bDebugEnable", 0);
}

// Debugging on or off for the process-wide manager; the next record refreshes.
void setDebugging(bool on)
{
    setDword(logRegistryKey, L"bDebugEnable", on ? 1 : 0);
    for (int i = 0; i < 100; ++i) {
        auto* manager = static_cast<DefaultLogManager*>(defaultLogManager());
        LogRecord record(".\\Bench", __LINE__, LevelDebug, "NoSuchComponent", manager);
        record.print("refresh");
        const auto snapshot = manager->snapshot();
        if (snapshot) {
            auto found = snapshot->find(L"debugEnable");
            if (found != snapshot->end() && found->second == (on ? L"1" : L"0"))
                return;
        }
        Sleep(10);
    }
    std::printf("warning: the manager did not take up bDebugEnable=%d\n", on ? 1 : 0);
}

// The fields of the default line from one record, as a plain snprintf prints them.
struct LineFields {
    SYSTEMTIME time;
    char process[LogUtils::processNameCapacity];
    DWORD processId;
};

LineFields lineFields()
{
    LineFields fields = {};
    GetLocalTime(&fields.time);
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    LogUtils::processNameFromPath(path, fields.process);
    fields.processId = GetCurrentProcessId();
    return fields;
}

int snprintfLine(char* buffer, std::size_t size, const LineFields& f, const char* text)
{
    return std::snprintf(buffer, size, "%02u-%02u %02u:%02u:%02u %8s:%lx %s", f.time.wMonth,
                         f.time.wDay, f.time.wHour, f.time.wMinute, f.time.wSecond, f.process,
                         static_cast<unsigned long>(f.processId), text);
}

// The manager's routing through the built-in table alone, without the
// configuration-file check: isolates where the decision time goes.
class TableOnlyManager : public LogUtils::LogManagerImpl {
public:
    void log(LogRecord&) override {}
    LogUtils::IFilterEvaluator* getFilterEvaluator() override { return &evaluator_; }
    LogUtils::ILogFormatter* getFormatter() override { return &LogUtils::logFormatter(); }
    bool forEachConfiguration(ConfigurationEnumeration::ActionType& action) override
    {
        return action(defaultLogConfiguration());
    }

private:
    FilterEvaluator evaluator_;
};

std::vector<std::string> details;

void detail(const char* format, double value)
{
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    details.push_back(text);
}

Figure decisionCost()
{
    setDebugging(true);
    LogUtils::ILogManager* manager = defaultLogManager();
    const LineFields fields = lineFields();
    char buffer[512];
    Figure figure = compare(
        "1 decision: level-7 record no section takes", 2.0, 15, 300,
        [&](int) {
            LogRecord(".\\ShellExt", __LINE__, LevelDebug, "OrnShExt", manager).print(message);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });

    // Where the time goes: the same routing without the configuration-file
    // check, the check alone, and the two conditions of the table.
    TableOnlyManager tableOnly;
    LogUtils::PropertyMap map = {{L"activity", L"zuAgent"},
                                 {L"debugEnable", L"1"},
                                 {L"dt", L"20261207000000"},
                                 {L"logdir", logDirectory.get()}};
    LogUtils::LogPropertiesOnMapImpl view(&map);
    LogRecord record(".\\ShellExt", 1, LevelDebug, "OrnShExt", nullptr);
    record.narrowMessage = message;
    const Figure table = compare(
        "routing through the table alone", 0, 15, 300,
        [&](int) {
            LogUtils::LogManagerImpl::ConfigurationAction action(tableOnly, record, view);
            tableOnly.forEachConfiguration(action);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    const Figure lookups = compare(
        "section lookups", 0, 15, 300,
        [&](int) {
            class Lookups : public LogConfigurationW::ActionType {
            public:
                bool operator()(LookupableW& lookup) override
                {
                    LogUtils::LogConfigurationSection section(&lookup);
                    found += section.getProperty(L"type") != nullptr;
                    found += section.isEnabled();
                    found += section.getProperty(L"condition") != nullptr;
                    found += section.getProperty(L"filter") != nullptr;
                    return false;
                }
                int found = 0;
            } action;
            defaultLogConfiguration().firstThat(action);
            sink = action.found;
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    wchar_t iniPath[MAX_PATH + 1];
    std::swprintf(iniPath, MAX_PATH + 1, L"%ls\\%ls", configDirectory.get(), L"logCfg.Ini");
    const Figure check = compare(
        "configuration-file check", 0, 15, 300, [&](int) { sink = PathFileExistsW(iniPath); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    FilterEvaluator evaluator;
    const wchar_t* condition =
        L"not (<activity>==\"zuInstall\" or <activity>==\"zuUninstall\")";
    const Figure parse = compare(
        "one condition", 0, 15, 300,
        [&](int) { sink = evaluator.evaluateCondition(condition, record, &view); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    orn::unique_handle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const Figure wait = compare(
        "refresh check", 0, 15, 300, [&](int) { sink = WaitForSingleObject(event.get(), 0); },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    SYSTEMTIME stamp;
    const Figure stampCost = compare(
        "record stamp", 0, 15, 300,
        [&](int) {
            GetLocalTime(&stamp);
            sink = stamp.wSecond + GetCurrentThreadId() + GetCurrentProcessId();
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    detail("   1a whole logging call                       %8.2f us", figure.ours);
    detail("   1b routing through the 5 sections alone     %8.2f us", table.ours);
    detail("   1b' of which the sections' key lookups      %8.2f us", lookups.ours);
    detail("   1c PathFileExistsW(logCfg.Ini), per record  %8.2f us", check.ours);
    detail("   1d one condition of sections 3/4 (Spirit)   %8.2f us", parse.ours);
    detail("   1f WaitForSingleObject(event, 0), per record %8.2f us", wait.ours);
    detail("   1g GetLocalTime and the two ids, per record %8.2f us", stampCost.ours);
    detail("   1e one snprintf of the line's fields        %8.2f us", figure.bare);
    setDebugging(false);
    return figure;
}

// The default line's fields written digit by digit into the same stream,
// one write per field as the formatter makes them: what the formatter's
// fields would cost without a printf per field.
void writeTwo(char* at, unsigned value)
{
    at[0] = static_cast<char>('0' + value / 10 % 10);
    at[1] = static_cast<char>('0' + value % 10);
}

void digitByDigit(LogUtils::OStream<char>& out, const LogRecord& record, const char* process)
{
    char text[16];
    writeTwo(text, record.time.wMonth);
    text[2] = '-';
    writeTwo(text + 3, record.time.wDay);
    out.writeBytes(text, 5);
    out.writeBytes(" ", 1);
    writeTwo(text, record.time.wHour);
    text[2] = ':';
    writeTwo(text + 3, record.time.wMinute);
    text[5] = ':';
    writeTwo(text + 6, record.time.wSecond);
    out.writeBytes(text, 8);
    out.writeBytes(" ", 1);
    const std::size_t length = std::strlen(process);
    if (length < 8)
        out.writeBytes("        ", 8 - length);
    out.writeBytes(process, length);
    out.writeBytes(":", 1);
    char* end = text + sizeof text;
    char* p = end;
    DWORD id = record.processId;
    do
        *--p = "0123456789abcdef"[id & 15];
    while (id >>= 4);
    out.writeBytes(p, static_cast<std::size_t>(end - p));
    out.writeBytes(" ", 1);
    out.writeString(record.narrowMessage);
}

Figure formatting()
{
    LogRecord record(".\\ShellExt", 185, LevelError, "OrnShExt", nullptr);
    record.narrowMessage = message;
    const LineFields fields = lineFields();
    LogUtils::LogFormatter& formatter = LogUtils::logFormatter();
    char buffer[1024];
    const Figure figure = compare(
        "2 formatting: LogFormatter into FixedBuffer_OStream", 1.5, 15, 5000,
        [&](int) {
            FixedBuffer_OStream out(buffer, buffer + sizeof buffer);
            formatter.format(out, defaultFormat, record);
            sink = static_cast<int>(out.position() - buffer);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    const Figure digits = compare(
        "fields digit by digit", 1.5, 15, 5000,
        [&](int) {
            FixedBuffer_OStream out(buffer, buffer + sizeof buffer);
            digitByDigit(out, record, fields.process);
            sink = static_cast<int>(out.position() - buffer);
        },
        [&](int) { sink = snprintfLine(buffer, sizeof buffer, fields, message); });
    char text[160];
    std::snprintf(text, sizeof text,
                  "   2  reference: the same fields written digit by digit by hand: "
                  "%.2f us, ratio %.2f",
                  digits.ours, digits.ratio);
    details.push_back(text);
    return figure;
}

// The line the sink writes for the benchmark's level-5 record.
std::string noticeLine()
{
    LogRecord record(".\\Bench", 1, LevelNotice, "OrnShExt", nullptr);
    record.narrowMessage = message;
    std::string line;
    ATLString_OStream out(line);
    LogUtils::logFormatter().format(out, defaultFormat, record);
    return line + "\r\n";
}

void bareAppend(const wchar_t* path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              LogUtils::logFileSecurityAttributes(), OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    CloseHandle(file);
}

std::wstring logPath(const wchar_t* name)
{
    return std::wstring(logDirectory.get()) + L"\\" + name;
}

void logNotice(LogUtils::ILogManager* manager)
{
    LogRecord(".\\Bench", 1, LevelNotice, "OrnShExt", manager).print(message);
}

std::string importedCallText(bool(*isFileCall)(const std::string&), int& others)
{
    std::string text;
    others = 0;
    for (const auto& call : bench::importedCalls()) {
        text += "      " + call.first + " x" + std::to_string(call.second) + "\n";
        if (!isFileCall(call.first))
            others += static_cast<int>(call.second);
    }
    return text;
}

bool endsWith(const std::string& name, const char* tail)
{
    const std::size_t length = std::strlen(tail);
    return name.size() >= length && name.compare(name.size() - length, std::string::npos, tail) == 0;
}

// The five calls per file, and calls that never leave the process: the C
// runtime, thread-block reads, the shared clock page, code-page tables and
// path text.
bool isPerFileOrLocalCall(const std::string& name)
{
    for (const char* call : {"!CreateFileW", "!SetFilePointer", "!WriteFile", "!GetFileSizeEx",
                             "!CloseHandle", "!GetLastError", "!SetLastError",
                             "!GetCurrentThreadId", "!GetCurrentProcessId", "!GetLocalTime",
                             "!MultiByteToWideChar", "!WideCharToMultiByte", "!PathAppendW"}) {
        if (endsWith(name, call))
            return true;
    }
    return name.compare(0, 10, "msvcrt.dll") == 0;
}

Figure fileLogging()
{
    LogUtils::ILogManager* manager = defaultLogManager();
    const std::wstring notices = logPath(L"zuNotices.log"), activity = logPath(L"zuAgent.log");
    const std::wstring bareNotices = logPath(L"bench.bare.zuNotices.log"),
                       bareActivity = logPath(L"bench.bare.zuAgent.log");
    const std::string line = noticeLine();
    auto reset = [&] {
        for (const std::wstring* path : {&notices, &activity, &bareNotices, &bareActivity})
            DeleteFileW(path->c_str());
    };
    Figure figure = compare(
        "3 logging call to two files vs bare calls", 1.10, 15, 60,
        [&](int) { logNotice(manager); },
        [&](int) {
            bareAppend(bareNotices.c_str(), line);
            bareAppend(bareActivity.c_str(), line);
        },
        reset);
    // Both files must really be written by the logging call.
    logNotice(manager);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(notices.c_str(), GetFileExInfoStandard, &data) ||
        !GetFileAttributesExW(activity.c_str(), GetFileExInfoStandard, &data))
        figure.note = "records did not reach both files";
    reset();
    return figure;
}

// The system calls one record makes, against the bare per-file calls.
void fileLoggingCalls(Figure& figure)
{
    if (!bench::countImportedCalls()) {
        details.push_back("   3 calls: import table could not be rewritten");
        return;
    }
    LogUtils::ILogManager* manager = defaultLogManager();
    logNotice(manager);  // anything made once is made now
    bench::resetImportedCalls();
    logNotice(manager);
    int others = 0;
    const std::string ours = importedCallText(isPerFileOrLocalCall, others);
    const std::string line = noticeLine();
    const std::wstring bareNotices = logPath(L"bench.bare.zuNotices.log"),
                       bareActivity = logPath(L"bench.bare.zuAgent.log");
    bench::resetImportedCalls();
    bareAppend(bareNotices.c_str(), line);
    bareAppend(bareActivity.c_str(), line);
    int bareOthers = 0;
    const std::string bare = importedCallText(isPerFileOrLocalCall, bareOthers);
    bench::resetImportedCalls();
    // The same for the record of figure 1, which no section takes.
    setDebugging(true);
    LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager).print(message);
    bench::resetImportedCalls();
    LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager).print(message);
    int untakenOthers = 0;
    const std::string untaken = importedCallText(isPerFileOrLocalCall, untakenOthers);
    setDebugging(false);
    details.push_back("   1 imported functions one level-7 record calls (debugging on):\n" + untaken);
    details.push_back("   3 imported functions one level-5 record calls:\n" + ours);
    details.push_back("   3 imported functions the bare appends call:\n" + bare);
    figure.note += (figure.note.empty() ? "" : "; ") + std::to_string(others) +
                   " system calls beyond the per-file five";
    DeleteFileW(logPath(L"zuNotices.log").c_str());
    DeleteFileW(logPath(L"zuAgent.log").c_str());
    DeleteFileW(logPath(L"bench.bare.zuNotices.log").c_str());
    DeleteFileW(logPath(L"bench.bare.zuAgent.log").c_str());
}

// What QueryContextMenu needs of the system, called bare in the same order:
// the install key, the language chain (no stored choice, the user's UI
// language installed), the strings file, the menu.
HRESULT bareContextMenu(HMENU menu, HMODULE module, const std::wstring& installDir)
{
    HKEY key = nullptr;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, productKey, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return E_FAIL;
    wchar_t folder[1024];
    DWORD size = sizeof folder;
    RegQueryValueExW(key, L"szInstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(folder),
                     &size);
    HKEY desktop = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, desktopKey, 0, KEY_READ, &desktop) == ERROR_SUCCESS)
        RegCloseKey(desktop);
    const LANGID language = GetUserDefaultUILanguage();
    HKEY product = nullptr;
    wchar_t dir[260];
    DWORD dirSize = sizeof dir;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, productKey, KEY_READ, &product) == ERROR_SUCCESS) {
        RegQueryValueExW(product, L"szInstallDir", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(dir), &dirSize);
        RegCloseKey(product);
    }
    wchar_t path[1024];
    std::swprintf(path, 1024, L"%ls\\Agent\\Res\\%04x", installDir.c_str(), language);
    sink = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    sink = ConvertDefaultLocale(language);
    RegCloseKey(key);
    std::wcscat(path, L"\\GenStrings.bin");
    wchar_t text[1024];
    GetPrivateProfileStringW(L"STR_SCANNOW", L"IDS_EXP_SCANNOW_DSTRING", L"", text, 1024, path);

    InsertMenuW(menu, 0, MF_SEPARATOR | MF_BYPOSITION, 0, nullptr);
    HMENU popup = CreatePopupMenu();
    InsertMenuW(popup, 0, MF_BYPOSITION | MF_STRING, 100, text);
    LoadStringW(module, 101, text, 1024);
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
    item.wID = 100;
    item.hSubMenu = popup;
    item.dwTypeData = text;
    InsertMenuItemW(menu, 1, TRUE, &item);
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
}

Figure contextMenu()
{
    Figure figure;
    figure.name = sizeof(void*) == 8 ? "4 QueryContextMenu via COM vs bare calls, 64-bit"
                                     : "4 QueryContextMenu via COM vs bare calls, 32-bit";
    figure.target = 1.3;
    const std::wstring dll = programFolder() + L"\\..\\extension\\OrnShExt.dll";
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module) {
        figure.note = "OrnShExt.dll not found";
        return figure;
    }
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    // Through void*: FARPROC's return type differs from HRESULT in the 64-bit build.
    auto registerServer = reinterpret_cast<EntryPoint>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    auto unregisterServer = reinterpret_cast<EntryPoint>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    CoInitialize(nullptr);
    if (!registerServer || FAILED(registerServer())) {
        figure.note = "DllRegisterServer failed";
        CoUninitialize();
        return figure;
    }
    {
        orn::com_ptr<IContextMenu> handler;
        HRESULT hr = CoCreateInstance(clsidShellExt, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IContextMenu, handler.put_void());
        if (FAILED(hr)) {
            figure.note = "CoCreateInstance failed";
        } else {
            HMENU probe = CreatePopupMenu();
            hr = handler->QueryContextMenu(probe, 0, 100, 200, CMF_NORMAL);
            const int items = GetMenuItemCount(probe);
            DestroyMenu(probe);
            if (hr != MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1) || items != 2) {
                figure.note = "the handler added no entry";
            } else {
                const std::wstring installDir = installFolder();
                figure = compare(
                    figure.name.c_str(), 1.3, 15, 40,
                    [&](int) {
                        HMENU menu = CreatePopupMenu();
                        sink = handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);
                        DestroyMenu(menu);
                    },
                    [&](int) {
                        HMENU menu = CreatePopupMenu();
                        sink = bareContextMenu(menu, module, installDir);
                        DestroyMenu(menu);
                    });
            }
        }
    }
    if (unregisterServer)
        unregisterServer();
    CoUninitialize();
    return figure;
}

struct AllocationFigure {
    double print = 0, untaken = 0, twoFiles = 0;
};

template <typename F>
double allocationsPer(int count, F operation)
{
    operation();
    const long before = bench::allocationCount();
    for (int i = 0; i < count; ++i)
        operation();
    return static_cast<double>(bench::allocationCount() - before) / count;
}

AllocationFigure allocations()
{
    AllocationFigure figure;
    figure.print = allocationsPer(100, [] {
        LogRecord(".\\ShellExt", 1, LevelError, "OrnShExt", nullptr).print("%s %d", message, 1);
    });
    setDebugging(true);
    figure.untaken = allocationsPer(100, [] {
        LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", defaultLogManager()).print(message);
    });
    setDebugging(false);
    figure.twoFiles = allocationsPer(20, [] { logNotice(defaultLogManager()); });
    DeleteFileW(logPath(L"zuNotices.log").c_str());
    DeleteFileW(logPath(L"zuAgent.log").c_str());
    return figure;
}

std::wstring samplePath()
{
    return dataFolder() + L"\\rotation-sample.log";
}

// 2 MiB of lines as the sinks write them, with varied messages.
bool writeSample()
{
    SHCreateDirectoryExW(nullptr, dataFolder().c_str(), nullptr);
    std::string text;
    LogRecord record(".\\ShellExt", 1, LevelNotice, "OrnShExt", nullptr);
    char messageText[256];
    ATLString_OStream out(text);
    for (unsigned n = 0; text.size() < 2 * 1024 * 1024; ++n) {
        std::snprintf(messageText, sizeof messageText,
                      "scan of C:\\Users\\user%u\\Documents\\file%u.docx finished: %u objects, "
                      "%u ms",
                      n % 7, n * 2654435761u % 100000, n % 1000, (n * 37) % 5000);
        record.narrowMessage = messageText;
        record.time.wMilliseconds = static_cast<WORD>(n % 1000);
        LogUtils::logFormatter().format(out, L"%+D %+T %P:%+p %l %m", record);
        text += "\r\n";
    }
    text.resize(2 * 1024 * 1024);
    return writeBytes(samplePath(), text);
}

Figure rotation(double gzipMilliseconds)
{
    Figure figure;
    figure.name = "6 rotation of 2 MiB into a cabinet vs gzip -6";
    figure.target = 2.0;
    if (gzipMilliseconds <= 0) {
        figure.note = "no gzip figure given (--gzip-ms)";
        return figure;
    }
    const std::wstring folder = dataFolder() + L"\\rotation";
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const std::wstring live = folder + L"\\zuAgent.log";
    auto clear = [&] {
        WIN32_FIND_DATAW data;
        orn::unique_find find(FindFirstFileW((folder + L"\\zuAgent.*").c_str(), &data));
        if (!find)
            return;
        do
            DeleteFileW((folder + L"\\" + data.cFileName).c_str());
        while (FindNextFileW(find.get(), &data));
    };
    std::vector<double> times, ratios;
    int cabinets = 0;
    for (int round = 0; round < 8; ++round) {
        clear();
        if (!CopyFileW(samplePath().c_str(), live.c_str(), FALSE)) {
            figure.note = "no sample (--write-sample)";
            return figure;
        }
        const double t0 = now();
        const bool moved = LogUtils::rotateLogFile(live.c_str());
        const double t1 = now();
        WIN32_FIND_DATAW data;
        orn::unique_find cab(FindFirstFileW((folder + L"\\zuAgent.*.cab").c_str(), &data));
        if (moved && cab && round > 0) {
            ++cabinets;
            times.push_back((t1 - t0) * 1e3);
            ratios.push_back((t1 - t0) * 1e3 / gzipMilliseconds);
        }
    }
    // The last cabinet stays for the script to check with cabextract.
    figure.ours = median(times) * 1e3;
    figure.bare = gzipMilliseconds * 1e3;
    figure.ratio = median(ratios);
    figure.measured = cabinets > 0;
    if (!figure.measured)
        figure.note = "no cabinet was written";
    return figure;
}

void printFigure(const Figure& f)
{
    if (!f.measured) {
        std::printf("%-52s %10s %10s %7s   <= %-5.2f not measured: %s\n", f.name.c_str(), "-",
                    "-", "-", f.target, f.note.c_str());
        return;
    }
    std::printf("%-52s %10.2f %10.2f %7.2f   <= %-5.2f %s%s%s\n", f.name.c_str(), f.ours, f.bare,
                f.ratio, f.target, f.ratio <= f.target ? "met" : "MISSED",
                f.note.empty() ? "" : "  ", f.note.c_str());
}

bool wanted(const std::wstring& only, wchar_t figure)
{
    return only.empty() || only.find(figure) != std::wstring::npos;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    double gzipMilliseconds = 0;
    std::wstring only;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--write-sample")
            return writeSample() ? 0 : 1;
        if (arg.compare(0, 10, L"--gzip-ms=") == 0)
            gzipMilliseconds = std::wcstod(arg.c_str() + 10, nullptr);
        else if (arg.compare(0, 7, L"--only=") == 0)
            only = arg.substr(7);
    }
    SetThreadAffinityMask(GetCurrentThread(), 1);
    prepareInstallation();
    setDebugging(false);

    std::vector<Figure> figures;
    if (wanted(only, L'1'))
        figures.push_back(decisionCost());
    if (wanted(only, L'2'))
        figures.push_back(formatting());
    Figure files;
    if (wanted(only, L'3'))
        files = fileLogging();
    if (wanted(only, L'4'))
        figures.push_back(contextMenu());
    AllocationFigure counted;
    if (wanted(only, L'5'))
        counted = allocations();
    if (wanted(only, L'6'))
        figures.push_back(rotation(gzipMilliseconds));
    if (wanted(only, L'3')) {
        fileLoggingCalls(files);  // rewrites the import table: after all timing
        figures.insert(figures.begin() + std::min<std::size_t>(2, figures.size()), files);
    }

    std::printf("%-52s %10s %10s %7s   %-8s %s\n", "figure (medians over 15 rounds)", "ours us",
                "bare us", "ratio", "target", "result");
    for (const Figure& f : figures)
        printFigure(f);
    if (wanted(only, L'5')) {
        std::printf("%-52s %10.2f %10s %7s   == 0     %s\n", "5a allocations in print",
                    counted.print, "", "", counted.print == 0 ? "met" : "MISSED");
        std::printf("%-52s %10.2f %10s %7s   == 0     %s\n",
                    "5b allocations, record no section takes", counted.untaken, "", "",
                    counted.untaken == 0 ? "met" : "MISSED");
        std::printf("%-52s %10.2f %10s %7s   <= 4     %s\n",
                    "5c allocations, record routed to two files", counted.twoFiles, "", "",
                    counted.twoFiles <= 4 ? "met" : "MISSED");
    }
    if (!details.empty()) {
        std::printf("\n");
        for (const std::string& line : details)
            std::printf("%s\n", line.c_str());
    }
    return 0;
}
