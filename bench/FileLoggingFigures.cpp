// Figures 3 and 7: a record written through the manager to its files (two
// files by the built-in table; one trace file by a five-section logCfg.Ini),
// against the same safe appends written straight against the system.
#include "Figures.h"

#include "ConfigFileWatch.h"
#include "DefaultLogManager.h"
#include "LogFileSink.h"
#include "SafeLogFile.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace bench {
namespace {

// Whether the handle's final path, resolved through every link, is path.
bool bareHasFinalPath(HANDLE handle, const wchar_t* path)
{
    wchar_t final[MAX_PATH + 8];
    const DWORD got = GetFinalPathNameByHandleW(handle, final, MAX_PATH + 8, 0);
    return got > 4 && got < MAX_PATH + 8 &&
           CompareStringOrdinal(final + 4, static_cast<int>(got - 4), path, -1, TRUE) ==
               CSTR_EQUAL;
}

// The three calls after the open: to the end, the write, and the size a
// rotation check needs (the sink takes it from the end and the bytes written).
bool writeAtEnd(HANDLE file, const std::string& bytes)
{
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    const bool whole =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    return whole;
}

}  // namespace

// Both appends hold their handles raw on purpose: the holder keeps the last
// error around its close, calls that would show in the bare call lists.
void plainAppend(const wchar_t* path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              LogUtils::logFileSecurityAttributes(), OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    writeAtEnd(file, bytes);
    CloseHandle(file);
}

// The bare reference of the file figures (3 and 7): the same safe append as
// the sink's, written straight against the system with none of our code.
// The five calls, with the open made not to follow a link and the handle
// refused unless it has one link, is no reparse point and has its own path
// as final path; a missing file is created only exclusively, in a folder that
// is itself no link. path is full. False when the line was not written.
bool bareSafeAppend(const wchar_t* path, const std::string& bytes)
{
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE file = CreateFileW(path, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
        wchar_t folder[MAX_PATH];
        lstrcpynW(folder, path, MAX_PATH);
        PathRemoveFileSpecW(folder);
        HANDLE parent = CreateFileW(folder, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
        if (parent == INVALID_HANDLE_VALUE)
            return false;
        FILE_ATTRIBUTE_TAG_INFO tag;
        const bool plain =
            GetFileInformationByHandleEx(parent, FileAttributeTagInfo, &tag, sizeof tag) &&
            !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            bareHasFinalPath(parent, folder);
        CloseHandle(parent);
        if (!plain)
            return false;
        file = CreateFileW(path, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE,
                           FILE_SHARE_READ, LogUtils::logFileSecurityAttributes(), CREATE_NEW,
                           flags, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
    }
    FILE_STANDARD_INFO standard;
    FILE_ATTRIBUTE_TAG_INFO tag;
    const bool safe =
        GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
        standard.NumberOfLinks <= 1 &&
        GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
        !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && bareHasFinalPath(file, path);
    const bool written = safe && writeAtEnd(file, bytes);
    CloseHandle(file);
    return written;
}

void logNotice(LogUtils::ILogManager* manager)
{
    LogRecord(".\\Bench", 1, LevelNotice, "OrnShExt", manager).print(message);
}

Figure fileLogging()
{
    LogUtils::ILogManager* manager = defaultLogManager();
    const std::wstring notices = logPath(L"zuNotices.log"), activity = logPath(L"zuAgent.log");
    const std::wstring bareNotices = logPath(L"bench.bare.zuNotices.log"),
                       bareActivity = logPath(L"bench.bare.zuAgent.log");
    const std::string line = recordLine(".\\Bench", LevelNotice);
    auto reset = [&] {
        for (const std::wstring* path : {&notices, &activity, &bareNotices, &bareActivity})
            DeleteFileW(path->c_str());
    };
    Figure figure = compare(
        "3 logging call to two files vs bare safe calls", 1.03, 31, 60,
        [&](int) { logNotice(manager); },
        [&](int) {
            bareSafeAppend(bareNotices.c_str(), line);
            bareSafeAppend(bareActivity.c_str(), line);
        },
        reset, 1);
    // What refusing planted links costs: the safe append against the plain.
    const Figure mend = compare(
        "safe vs plain append", 0, 15, 60,
        [&](int) { bareSafeAppend(bareNotices.c_str(), line); },
        [&](int) { plainAppend(bareActivity.c_str(), line); }, reset, 1);
    detail("   3a one safe append (five calls and checks)  %8.2f us", mend.ours);
    detail("   3b one plain append (five calls)            %8.2f us", mend.bare);
    detail("   3c safe / plain append                      %8.2f", mend.ratio);
    // Both files must really be written by the logging call.
    logNotice(manager);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(notices.c_str(), GetFileExInfoStandard, &data) ||
        !GetFileAttributesExW(activity.c_str(), GetFileExInfoStandard, &data))
        figure.note = "records did not reach both files";
    reset();
    return figure;
}

namespace {

// A five-section configuration file of the kind support hands out: the
// benchmark's trace is taken by the last section alone, the other four pass
// it by on their filter or their condition.
const char traceConfiguration[] =
    "[detection]\r\ntype=file\r\nfilter=QuarvelOASDetection.Debug\r\n"
    "filename=bench.ini.detection.log\r\nformat=%D %T %P:%+p %m\r\n"
    "[agent]\r\ntype=file\r\nfilter=kwAgent.Debug\r\nfilename=bench.ini.kwAgent.log\r\n"
    "format=%D %T %P:%+p %m\r\n"
    "[notices]\r\ntype=file\r\nfilter=*.Notice\r\nfilename=bench.ini.notices.log\r\n"
    "format=%D %T %P:%+p %m\r\n"
    "[install]\r\ntype=file\r\nfilter=*.Debug\r\n"
    "condition=<activity>==\"zuInstall\" or <activity>==\"zuUninstall\"\r\n"
    "filename=bench.ini.<activity>.<dt>.log\r\nformat=%D %T %P:%+p %m\r\n"
    "[traces]\r\ntype=file\r\nfilter=*.Debug ~kwAgent.Debug\r\n"
    "condition=not (<activity>==\"zuInstall\" or <activity>==\"zuUninstall\")\r\n"
    "filename=bench.ini.traces.<activity>.log\r\nformat=%D %T %P:%+p %m\r\n";

}  // namespace

std::function<void()> useConfigurationFile(const char* text, std::vector<const wchar_t*> logs)
{
    SHCreateDirectoryExW(nullptr, configDirectory.get(), nullptr);
    writeBytes(configurationFilePath(), text);
    setDebugging(true);
    return [logs] {
        DeleteFileW(configurationFilePath().c_str());
        setDebugging(false);
        for (const wchar_t* name : logs)
            DeleteFileW(logPath(name).c_str());
    };
}

std::function<void()> useTraceConfiguration()
{
    return useConfigurationFile(traceConfiguration,
                                {L"bench.ini.traces.zuAgent.log", L"bench.bare.traces.log"});
}

void logTrace(LogUtils::ILogManager* manager)
{
    LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager).print(message);
}

Figure configurationFileLogging()
{
    const std::function<void()> undo = useTraceConfiguration();
    LogUtils::ILogManager* manager = defaultLogManager();
    const std::wstring traces = logPath(L"bench.ini.traces.zuAgent.log"),
                       bareTraces = logPath(L"bench.bare.traces.log");
    const std::string line = recordLine(".\\ShellExt", LevelDebug);
    auto reset = [&] {
        DeleteFileW(traces.c_str());
        DeleteFileW(bareTraces.c_str());
    };
    Figure figure = compare(
        "7 trace through a 5-section logCfg.Ini to one file", 1.10, 31, 60,
        [&](int) { logTrace(manager); }, [&](int) { bareSafeAppend(bareTraces.c_str(), line); },
        reset, 1);
    reset();
    logTrace(manager);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(traces.c_str(), GetFileExInfoStandard, &data))
        figure.note = "the trace did not reach its file";
    for (const wchar_t* name : {L"bench.ini.detection.log", L"bench.ini.kwAgent.log",
                                L"bench.ini.notices.log"}) {
        if (GetFileAttributesExW(logPath(name).c_str(), GetFileExInfoStandard, &data)) {
            figure.note = "a section that should pass the trace by took it";
            DeleteFileW(logPath(name).c_str());
        }
    }
    undo();
    return figure;
}

}  // namespace bench
