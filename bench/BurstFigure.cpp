// Figure 11: bursts of lines into one log from one thread, four threads and
// four processes, in lines per second, by four writers:
//   a file section of logCfg.Ini as it comes,
//   a file section with background writing ("writedelay=200"),
//   the bare safe append of figure 3 (one open, append and close per line;
//     this process's writers take turns, and a file another process holds is
//     tried again 12 ms later with the turn let go, as the file sink does),
//   a handle held open (one seek to the end and one write per line, the
//     writers taking turns).
// The rate is the callers': the lines over the time from the start to the
// return of the last call. Every run then waits for all its lines to be in
// the file (a background section's within its delay, a process's by its
// exit) and counts them.
#include "Figures.h"

#include "DefaultLogManager.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <thread>

namespace bench {
namespace {

enum Kind { section, background, bareSafe, held, kindCount };
const wchar_t* const kindArguments[kindCount] = {L"section", L"background", L"bare", L"held"};
const char* const kindNames[kindCount] = {"file section", "section with writedelay=200",
                                          "bare safe append", "handle held open"};
const wchar_t* const kindFiles[kindCount] = {L"bench.burst.section.log",
                                             L"bench.burst.background.log", L"bench.burst.bare.log",
                                             L"bench.burst.held.log"};

enum Mode { oneThread, fourThreads, fourProcesses, modeCount };
const char* const modeNames[modeCount] = {"1 thread", "4 threads", "4 processes"};
constexpr int writersOf[modeCount] = {1, 4, 4};
// Lines of one run, shared among its writers.
constexpr int linesPerRun = 1200;
constexpr int rounds = 5;

const char burstConfiguration[] =
    "[bursts]\r\ntype=file\r\nfilter=BenchBurst.Debug\r\nfilename=bench.burst.section.log\r\n"
    "format=%D %T %P:%+p %m\r\n"
    "[background]\r\ntype=file\r\nfilter=BenchBackground.Debug\r\n"
    "filename=bench.burst.background.log\r\nformat=%D %T %P:%+p %m\r\nwritedelay=200\r\n";

std::wstring objectName(const wchar_t* what, DWORD parent)
{
    return std::wstring(L"OrnBenchBurst") + what + std::to_wstring(parent);
}

// The bare safe append of one line among other writers.
void bareBurstAppend(SRWLOCK& turn, const wchar_t* path, const std::string& line)
{
    for (int attempt = 0; attempt < 400; ++attempt) {
        AcquireSRWLockExclusive(&turn);
        const bool written = bareSafeAppend(path, line);
        ReleaseSRWLockExclusive(&turn);
        if (written)
            return;
        Sleep(12);
    }
}

// One line through a handle held open. Under Wine a handle opened for
// appending only does not find the end and write in one step (concurrent
// writers' lines were lost), so the writers of the file take turns: this
// process's threads, and across processes, a mutex.
void heldAppend(SRWLOCK& turn, HANDLE others, HANDLE file, const std::string& line)
{
    AcquireSRWLockExclusive(&turn);
    if (others)
        WaitForSingleObject(others, INFINITE);
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    if (others)
        ReleaseMutex(others);
    ReleaseSRWLockExclusive(&turn);
}

// This process's writers of a burst: threads of them, lines each, waiting
// for start once ready() is called; crossProcess when other processes write
// the same file. The time the last call returned.
double writeBurst(Kind kind, int threads, int lines, bool crossProcess, HANDLE start,
                  const std::function<void()>& ready)
{
    LogUtils::ILogManager* manager = defaultLogManager();
    // The configuration is read before the burst, not by its first line.
    LogRecord(".\\Bench", 1, LevelNotice, "BenchWarmUp", manager).print(message);
    const std::wstring path = logPath(kindFiles[kind]);
    const std::string line = recordLine(".\\Bench", LevelNotice);
    SRWLOCK turn = SRWLOCK_INIT;
    const orn::unique_handle others(kind == held && crossProcess
                                        ? CreateMutexW(nullptr, FALSE, L"OrnBenchBurstHeld")
                                        : nullptr);
    const orn::unique_file file(kind == held
                                    ? CreateFileW(path.c_str(), FILE_GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                                    : INVALID_HANDLE_VALUE);
    auto writeOne = [&] {
        switch (kind) {
        case section:
            LogRecord(".\\Bench", 1, LevelNotice, "BenchBurst", manager).print(message);
            break;
        case background:
            LogRecord(".\\Bench", 1, LevelNotice, "BenchBackground", manager).print(message);
            break;
        case bareSafe: bareBurstAppend(turn, path.c_str(), line); break;
        default: heldAppend(turn, others.get(), file.get(), line); break;
        }
    };
    std::atomic<int> waiting{0};
    std::vector<std::thread> team;
    for (int i = 0; i < threads; ++i) {
        team.emplace_back([&] {
            ++waiting;
            WaitForSingleObject(start, INFINITE);
            for (int n = 0; n < lines; ++n)
                writeOne();
        });
    }
    while (waiting.load() < threads)
        Sleep(1);
    ready();
    for (std::thread& thread : team)
        thread.join();
    return now();
}

// The burst's lines in the file: its message's occurrences.
int linesIn(const std::wstring& path)
{
    const orn::unique_file file(CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got)
        text.append(buffer, got);
    int count = 0;
    for (std::size_t at = text.find(message); at != std::string::npos;
         at = text.find(message, at + 1))
        ++count;
    return count;
}

struct Run {
    double rate = 0;  // lines a second, the callers'
    double writtenRate = 0;  // lines a second, until all were in the file
    bool complete = false;
};

// The lines over the time from start to the last call, and until the file
// holds them all (a background writer's delay and more).
Run settle(Kind kind, int lines, double start, double lastCall)
{
    Run run;
    run.rate = lines / (lastCall - start);
    const std::wstring path = logPath(kindFiles[kind]);
    for (int wait = 0; wait < 300 && !run.complete; ++wait) {
        run.complete = linesIn(path) == lines;
        if (!run.complete)
            Sleep(10);
    }
    run.writtenRate = lines / (now() - start);
    return run;
}

Run threadBurst(Kind kind, int threads)
{
    const orn::unique_handle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    double started = 0;
    const double lastCall =
        writeBurst(kind, threads, linesPerRun / threads, false, start.get(), [&] {
            started = now();
            SetEvent(start.get());
        });
    return settle(kind, linesPerRun, started, lastCall);
}

Run processBurst(Kind kind, int processes)
{
    const DWORD self = GetCurrentProcessId();
    const orn::unique_handle go(
        CreateEventW(nullptr, TRUE, FALSE, objectName(L"Start", self).c_str()));
    const orn::unique_handle ready(
        CreateSemaphoreW(nullptr, 0, processes, objectName(L"Ready", self).c_str()));
    std::vector<ChildProcess> children(processes);
    const std::wstring arguments = L"--burst=" + std::wstring(kindArguments[kind]) + L"," +
                                   std::to_wstring(linesPerRun / processes) + L"," +
                                   std::to_wstring(self);
    bool ok = true;
    for (ChildProcess& child : children)
        ok = ok && startChild(arguments, child);
    // All ready, unless one ended first.
    std::vector<HANDLE> handles = {ready.get()};
    for (const ChildProcess& child : children)
        handles.push_back(child.process.get());
    for (int i = 0; ok && i < processes; ++i)
        ok = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                    60000) == WAIT_OBJECT_0;
    const double start = now();
    SetEvent(go.get());
    double lastCall = 0;
    for (ChildProcess& child : children) {
        std::string output;
        ok = child.process && finishChild(child, output) && ok;
        lastCall = std::max(lastCall, std::atof(output.c_str()));
    }
    return ok ? settle(kind, linesPerRun, start, lastCall) : Run();
}

std::string rateText(double rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%12.0f", rate);
    return text;
}

std::string ratioText(double ratio)
{
    char text[32];
    std::snprintf(text, sizeof text, "%11.2fx", ratio);
    return text;
}

}  // namespace

int burstChild(const std::wstring& arguments)
{
    const std::size_t comma = arguments.find(L',');
    int kind = 0;
    while (kind < kindCount && arguments.compare(0, comma, kindArguments[kind]) != 0)
        ++kind;
    wchar_t* end = nullptr;
    const long lines =
        comma == std::wstring::npos ? 0 : std::wcstol(arguments.c_str() + comma + 1, &end, 10);
    if (kind == kindCount || lines <= 0 || *end != L',')
        return 1;
    const unsigned long parent = std::wcstoul(end + 1, nullptr, 10);
    const orn::unique_handle start(
        OpenEventW(SYNCHRONIZE, FALSE, objectName(L"Start", parent).c_str()));
    const orn::unique_handle ready(
        OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, objectName(L"Ready", parent).c_str()));
    if (!start || !ready)
        return 1;
    const double lastCall =
        writeBurst(static_cast<Kind>(kind), 1, static_cast<int>(lines), true, start.get(),
                   [&] { ReleaseSemaphore(ready.get(), 1, nullptr); });
    std::printf("%.7f\n", lastCall);
    return 0;
}

std::vector<Figure> bursts()
{
    const std::function<void()> undo =
        useConfigurationFile(burstConfiguration, std::vector<const wchar_t*>(std::begin(kindFiles),
                                                                             std::end(kindFiles)));
    // Per mode and kind, each round's run.
    std::vector<Run> runs[modeCount][kindCount];
    bool complete = true;
    for (int round = 0; round < rounds + 1; ++round) {
        for (int mode = 0; mode < modeCount; ++mode) {
            for (int i = 0; i < kindCount; ++i) {
                // Each kind goes first in turn.
                const Kind kind = static_cast<Kind>((round + i) % kindCount);
                DeleteFileW(logPath(kindFiles[kind]).c_str());
                const Run run = mode == fourProcesses ? processBurst(kind, writersOf[mode])
                                                      : threadBurst(kind, writersOf[mode]);
                complete = complete && run.complete;
                if (round > 0)  // the first round warms up
                    runs[mode][kind].push_back(run);
            }
        }
    }
    undo();

    auto rates = [&](int mode, int kind, double Run::*field) {
        std::vector<double> values;
        for (const Run& run : runs[mode][kind])
            values.push_back(run.*field);
        return median(values);
    };
    // The median of the rounds' rate ratios of kind to reference.
    auto ratio = [&](int mode, int kind, int reference) {
        std::vector<double> values;
        for (int round = 0; round < rounds; ++round)
            values.push_back(runs[mode][kind][round].rate / runs[mode][reference][round].rate);
        return median(values);
    };

    std::string table = "   11 lines a second into one log                          ";
    for (const char* name : modeNames)
        table += std::string(12 - std::strlen(name), ' ') + name;
    for (int kind = 0; kind < kindCount; ++kind) {
        char name[64];
        std::snprintf(name, sizeof name, "\n      %-53s", kindNames[kind]);
        table += name;
        for (int mode = 0; mode < modeCount; ++mode)
            table += rateText(rates(mode, kind, &Run::rate));
    }
    table += "\n      section with writedelay=200, until in the file       ";
    for (int mode = 0; mode < modeCount; ++mode)
        table += rateText(rates(mode, background, &Run::writtenRate));
    for (int kind : {section, background}) {
        for (int reference : {bareSafe, held}) {
            char name[96];
            std::snprintf(name, sizeof name, "\n      %s / %s", kindNames[kind],
                          kindNames[reference]);
            table += name + std::string(59 - std::strlen(name), ' ');
            for (int mode = 0; mode < modeCount; ++mode)
                table += ratioText(ratio(mode, kind, reference));
        }
    }
    details.push_back(table);

    // The targets, as time per line against the reference's.
    std::vector<Figure> figures;
    auto add = [&](int mode, int kind, int reference, double target) {
        Figure figure;
        figure.name = std::string("11 burst, ") + modeNames[mode] + ": " +
                      (kind == section ? "section" : "writedelay=200") + " vs " +
                      (reference == bareSafe ? "bare safe" : "held handle");
        figure.measured = true;
        figure.ours = 1e6 / rates(mode, kind, &Run::rate);
        figure.bare = 1e6 / rates(mode, reference, &Run::rate);
        figure.ratio = 1 / ratio(mode, kind, reference);
        figure.target = target;
        if (!complete)
            figure.note = "a run failed or lost lines";
        figures.push_back(figure);
    };
    add(oneThread, section, bareSafe, 0);
    add(fourThreads, section, bareSafe, 1.0 / 3);
    add(fourProcesses, section, bareSafe, 0);
    for (int mode = 0; mode < modeCount; ++mode)
        add(mode, background, held, 2.0);
    return figures;
}

}  // namespace bench
