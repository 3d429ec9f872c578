// Benchmarks of the logging path and the context menu. Each figure times our
// code and the bare work it stands for side by side, round after round, and
// reports the median of the per-round ratios, so the machine's noise cancels.
//
//   orn_bench [--gzip-ms=N] [--only=1,2,...]   the table ("s": figure 10, "b": 11)
//   orn_bench --write-sample                   writes the 2 MiB rotation sample
//   orn_bench --cold-start=ours|bare|empty     one sample of figure 8
//   orn_bench --burst=KIND,LINES,PARENT        one writer process of figure 11
//
// Everything it writes lives in the Wine prefix it runs in (scripts/bench.sh
// gives it one of its own) and in bench-data beside the program.

#include "Figures.h"

#include "ConfigFileWatch.h"
#include "UniqueResource.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace bench;

namespace {

void printFigure(const Figure& f)
{
    if (!f.measured) {
        std::printf("%-52s %10s %10s %7s   <= %-5.2f not measured: %s\n", f.name.c_str(), "-",
                    "-", "-", f.target, f.note.c_str());
        return;
    }
    if (f.target <= 0) {
        // A figure kept for comparison over time, without a target.
        std::printf("%-52s %10.2f %10.2f %7.2f   %-8s %s\n", f.name.c_str(), f.ours, f.bare,
                    f.ratio, "-", f.note.c_str());
        return;
    }
    std::printf("%-52s %10.2f %10.2f %7.2f   <= %-5.2f %s%s%s\n", f.name.c_str(), f.ours, f.bare,
                f.ratio, f.target, f.ratio <= f.target ? "met" : "MISSED",
                f.note.empty() ? "" : "  ", f.note.c_str());
}

// Whether this process's logging library took the installation's folder for
// the configuration's. It reads the folder when the process starts: in a
// prefix the installation was not in place in yet, it took one that does not
// exist, which no change watch can watch, so that every record while
// debugging asked the file system for the configuration file (figure 1 at 40
// to 200 times the bare side, the first run in a new prefix).
bool configurationInInstallFolder()
{
    const std::wstring expected = installFolder() + L"\\logCfg.Ini";
    return CompareStringOrdinal(configurationFilePath().c_str(), -1, expected.c_str(), -1, TRUE) ==
           CSTR_EQUAL;
}

// This program once more, with the same arguments, in this console; its exit
// code.
int runAgain()
{
    std::wstring command = std::wstring(GetCommandLineW()) + L" --settled";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return 1;
    const orn::unique_handle child(process.hProcess), thread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
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
    bool settled = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--write-sample")
            return writeSample() ? 0 : 1;
        if (arg.compare(0, 13, L"--cold-start=") == 0)
            return coldStartChild(arg.substr(13));
        if (arg.compare(0, 8, L"--burst=") == 0)
            return burstChild(arg.substr(8));
        if (arg.compare(0, 10, L"--gzip-ms=") == 0)
            gzipMilliseconds = std::wcstod(arg.c_str() + 10, nullptr);
        else if (arg.compare(0, 7, L"--only=") == 0)
            only = arg.substr(7);
        else if (arg == L"--settled")
            settled = true;
    }
    prepareInstallation();
    if (!configurationInInstallFolder()) {
        if (!settled)
            return runAgain();
        std::printf("warning: the configuration's folder is not the installation's\n");
    }
    SetThreadAffinityMask(GetCurrentThread(), 1);
    setDebugging(false);

    std::vector<Figure> figures;
    if (wanted(only, L'1')) {
        figures.push_back(decisionCost());
        figures.push_back(droppedWhileNotDebugging());
    }
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
    Figure traces;
    if (wanted(only, L'7'))
        traces = configurationFileLogging();
    CallCounts calls;
    if (wanted(only, L'1') || wanted(only, L'3') || wanted(only, L'7')) {
        // Rewrites the import table: after all timing.
        calls = recordCalls(wanted(only, L'3') ? &files : nullptr,
                            wanted(only, L'7') ? &traces : nullptr);
    }
    if (wanted(only, L'3'))
        figures.insert(figures.begin() + std::min<std::size_t>(2, figures.size()), files);
    if (wanted(only, L'7'))
        figures.push_back(traces);
    if (wanted(only, L'8')) {
        const std::vector<Figure> start = coldStart();
        figures.insert(figures.end(), start.begin(), start.end());
    }
    if (wanted(only, L'9'))
        figures.push_back(changeLatency());
    // "--only=s": figure 10, the stream section's caller.
    if (wanted(only, L's'))
        figures.push_back(unreachableCollector());
    // "--only=b": figure 11, bursts into one log.
    if (wanted(only, L'b')) {
        const std::vector<Figure> burst = bursts();
        figures.insert(figures.end(), burst.begin(), burst.end());
    }

    std::printf("%-52s %10s %10s %7s   %-8s %s\n", "figure (medians over 15 to 31 rounds)", "ours us",
                "bare us", "ratio", "target", "result");
    for (const Figure& f : figures)
        printFigure(f);
    if (wanted(only, L'1') && calls.counted) {
        std::printf("%-52s %10d %10s %7s   == 0     %s\n",
                    "1 system calls, dropped record, debugging on", calls.untaken, "", "",
                    calls.untaken == 0 ? "met" : "MISSED");
        std::printf("%-52s %10d %10s %7s   == 0     %s\n",
                    "1 system calls, dropped record, debugging off", calls.dropped, "", "",
                    calls.dropped == 0 ? "met" : "MISSED");
    }
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
