#include "BenchSupport.h"

#include "ConfigFileWatch.h"
#include "DefaultLogManager.h"
#include "OStream.h"
#include "ProductKeys.h"
#include "UniqueResource.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>

namespace bench {

const wchar_t productKey[] = L"SOFTWARE\\Quarvel\\Hollowmere";
const wchar_t desktopKey[] = L"SOFTWARE\\Quarvel\\Hollowmere\\DesktopUI";
const wchar_t defaultFormat[] = L"%D %T %P:%+p %m";
const char message[] = "Invalid HIWORD";

volatile int sink;

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

Figure compare(const char* name, double target, int rounds, int perRound,
               const std::function<void(int)>& ours, const std::function<void(int)>& bare,
               const std::function<void()>& prepare, int chunk)
{
    Figure figure;
    figure.name = name;
    figure.target = target;
    if (chunk <= 0 || chunk > perRound)
        chunk = perRound;
    std::vector<double> oursTimes, bareTimes, ratios;
    auto run = [](const std::function<void(int)>& operation, int first, int count) {
        const double start = now();
        for (int i = first; i < first + count; ++i)
            operation(i);
        return now() - start;
    };
    for (int round = 0; round < rounds + 1; ++round) {
        if (prepare)
            prepare();
        // Each side goes first every other turn: whichever runs second finds
        // caches and the scheduler in another state.
        double a = 0, b = 0;
        for (int first = 0, turn = round; first < perRound; first += chunk, ++turn) {
            const int count = std::min(chunk, perRound - first);
            if (turn % 2 == 0) {
                a += run(ours, first, count);
                b += run(bare, first, count);
            } else {
                b += run(bare, first, count);
                a += run(ours, first, count);
            }
        }
        if (round == 0)
            continue;  // warm-up
        oursTimes.push_back(a * 1e6 / perRound);
        bareTimes.push_back(b * 1e6 / perRound);
        ratios.push_back(a / b);
    }
    figure.settle(oursTimes, bareTimes, ratios);
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

std::wstring logPath(const wchar_t* name)
{
    return std::wstring(logDirectory.get()) + L"\\" + name;
}

namespace {

void setDword(const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    orn::unique_hkey key;
    if (CreateProductKey(HKEY_LOCAL_MACHINE, subKey, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
}

}  // namespace

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
    DeleteFileW(configurationFilePath().c_str());
    orn::unique_hkey log;
    if (OpenProductKey(HKEY_LOCAL_MACHINE, logRegistryKey, KEY_SET_VALUE, log.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(log.get(), L"szCurrentActivityType");
        RegDeleteValueW(log.get(), L"szLastVersion");
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, desktopKey, L"LANGID");
    setDword(logRegistryKey, L"bDebugEnable", 0);
}

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

std::string recordLine(const char* sourceFile, LogLevel level)
{
    LogRecord record(sourceFile, 1, level, "OrnShExt", nullptr);
    record.narrowMessage = message;
    std::string line;
    ATLString_OStream out(line);
    LogUtils::logFormatter().format(out, defaultFormat, record);
    return line + "\r\n";
}

bool startChild(const std::wstring& arguments, ChildProcess& child)
{
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) + L"\" " + arguments;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    child.output.reset(readEnd);
    const orn::unique_handle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    child.process.reset(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

bool finishChild(ChildProcess& child, std::string& output)
{
    // Read once it ended, not until the pipe closes: a program Wine starts
    // for the child (its desktop) may hold the pipe's other end for good.
    // What a child prints fits the pipe's buffer.
    WaitForSingleObject(child.process.get(), INFINITE);
    char buffer[256];
    DWORD available = 0, got = 0;
    while (PeekNamedPipe(child.output.get(), nullptr, 0, nullptr, &available, nullptr) &&
           available && ReadFile(child.output.get(), buffer, sizeof buffer, &got, nullptr) && got)
        output.append(buffer, got);
    DWORD code = 1;
    return GetExitCodeProcess(child.process.get(), &code) && code == 0;
}

std::vector<std::string> details;

void detail(const char* format, double value)
{
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    details.push_back(text);
}

}  // namespace bench
