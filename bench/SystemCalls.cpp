// The system calls behind figures 1, 3 and 7, counted through the import
// table: what one record calls beyond the per-file calls of a safe append.
#include "Figures.h"

#include "BenchCounters.h"

#include <cstring>

namespace bench {
namespace {

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

// The calls of the safe append per file (the five and the link checks), and
// calls that never leave the process: the C runtime, thread-block reads, the
// shared clock page, code-page tables, path text and slim locks nobody else
// holds (the benchmark logs from one thread).
bool isPerFileOrLocalCall(const std::string& name)
{
    for (const char* call : {"!CreateFileW", "!SetFilePointer", "!SetFilePointerEx",
                             "!WriteFile", "!GetFileSizeEx", "!AcquireSRWLockExclusive",
                             "!ReleaseSRWLockExclusive",
                             "!CloseHandle", "!GetFileInformationByHandleEx",
                             "!GetFinalPathNameByHandleW", "!GetLastError", "!SetLastError",
                             "!GetCurrentThreadId", "!GetCurrentProcessId", "!GetLocalTime",
                             "!MultiByteToWideChar", "!WideCharToMultiByte", "!PathAppendW",
                             "!GetFullPathNameW", "!CompareStringOrdinal"}) {
        if (endsWith(name, call))
            return true;
    }
    return name.compare(0, 10, "msvcrt.dll") == 0;
}

}  // namespace

// The system calls one record makes, against the bare per-file calls.
CallCounts recordCalls(Figure* files, Figure* traces)
{
    CallCounts counts;
    if (!bench::countImportedCalls()) {
        details.push_back("   calls: import table could not be rewritten");
        return counts;
    }
    counts.counted = true;
    LogUtils::ILogManager* manager = defaultLogManager();
    logNotice(manager);  // anything made once is made now
    bench::resetImportedCalls();
    logNotice(manager);
    const std::string ours = importedCallText(isPerFileOrLocalCall, counts.twoFiles);
    const std::string line = recordLine(".\\Bench", LevelNotice);
    const std::wstring bareNotices = logPath(L"bench.bare.zuNotices.log"),
                       bareActivity = logPath(L"bench.bare.zuAgent.log");
    // Lines to existing files, as the record's are.
    for (const std::wstring* path : {&bareNotices, &bareActivity})
        plainAppend(path->c_str(), line);
    bench::resetImportedCalls();
    bareSafeAppend(bareNotices.c_str(), line);
    bareSafeAppend(bareActivity.c_str(), line);
    int bareOthers = 0;
    const std::string bare = importedCallText(isPerFileOrLocalCall, bareOthers);
    bench::resetImportedCalls();
    plainAppend(bareNotices.c_str(), line);
    plainAppend(bareActivity.c_str(), line);
    int plainOthers = 0;
    const std::string plain = importedCallText(isPerFileOrLocalCall, plainOthers);
    bench::resetImportedCalls();
    // The records of figure 1: dropped at the debug gate, and taken by no
    // section while debugging.
    LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager).print(message);
    bench::resetImportedCalls();
    LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager).print(message);
    const std::string dropped = importedCallText(isPerFileOrLocalCall, counts.dropped);
    setDebugging(true);
    LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager).print(message);
    bench::resetImportedCalls();
    LogRecord(".\\ShellExt", 1, LevelDebug, "OrnShExt", manager).print(message);
    const std::string untaken = importedCallText(isPerFileOrLocalCall, counts.untaken);
    // The trace of figure 7.
    const std::function<void()> undo = useTraceConfiguration();
    logTrace(manager);
    bench::resetImportedCalls();
    logTrace(manager);
    const std::string traced = importedCallText(isPerFileOrLocalCall, counts.traced);
    bench::resetImportedCalls();
    undo();
    setDebugging(false);
    details.push_back("   1 imported functions one level-7 record calls (debugging off):\n" + dropped);
    details.push_back("   1 imported functions one level-7 record calls (debugging on):\n" + untaken);
    details.push_back("   3 imported functions one level-5 record calls:\n" + ours);
    details.push_back("   3 imported functions the bare safe appends call:\n" + bare);
    details.push_back("   3 imported functions the plain appends call:\n" + plain);
    details.push_back("   7 imported functions one trace through logCfg.Ini calls:\n" + traced);
    auto note = [](Figure* figure, int others) {
        if (figure)
            figure->note += (figure->note.empty() ? "" : "; ") + std::to_string(others) +
                            " system calls beyond the safe append's per-file calls";
    };
    note(files, counts.twoFiles);
    note(traces, counts.traced);
    for (const wchar_t* name : {L"zuNotices.log", L"zuAgent.log", L"bench.bare.zuNotices.log",
                                L"bench.bare.zuAgent.log"})
        DeleteFileW(logPath(name).c_str());
    return counts;
}

}  // namespace bench
