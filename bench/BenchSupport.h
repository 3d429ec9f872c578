#pragma once
// What every figure of the benchmark uses: the timing of ours against bare
// round after round, the folders and the installation it runs against, the
// debugging switch of the process-wide log manager, the plain snprintf line
// the logging figures compare with, and the detail lines printed under the
// table.

#include "LogFormatter.h"
#include "LogRecord.h"
#include "UniqueResource.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

extern const wchar_t productKey[];
extern const wchar_t desktopKey[];
extern const wchar_t defaultFormat[];
extern const char message[];

extern volatile int sink;  // keeps results alive

double now();
double median(std::vector<double> values);

struct Figure {
    std::string name;
    double ours = 0;  // microseconds per operation, median
    double bare = 0;
    double ratio = 0;  // median of the rounds' ratios
    double target = 0;
    bool measured = false;
    std::string note;

    // The medians of the rounds' samples: each side's time and the ratio.
    void settle(const std::vector<double>& oursTimes, const std::vector<double>& bareTimes,
                const std::vector<double>& ratios)
    {
        ours = median(oursTimes);
        bare = median(bareTimes);
        ratio = median(ratios);
        measured = true;
    }
};

// Rounds of `perRound` operations a side; before each round `prepare` may
// reset files (not timed). Within a round the sides take turns every `chunk`
// operations (0: one turn each): operations long enough to time one by one
// are best alternated singly, so that a slow spell of the machine falls on
// both sides alike.
Figure compare(const char* name, double target, int rounds, int perRound,
               const std::function<void(int)>& ours, const std::function<void(int)>& bare,
               const std::function<void()>& prepare = nullptr, int chunk = 0);

std::wstring programFolder();
std::wstring dataFolder();
std::wstring installFolder();
// A file in the product's log folder.
std::wstring logPath(const wchar_t* name);
bool writeBytes(const std::wstring& path, const std::string& bytes);

// The installation the menu strings and the log manager read, in this
// prefix's registry.
void prepareInstallation();
// Debugging on or off for the process-wide manager; the next record refreshes.
void setDebugging(bool on);

// The fields of the default line from one record, as a plain snprintf prints them.
struct LineFields {
    SYSTEMTIME time;
    char process[LogUtils::processNameCapacity];
    DWORD processId;
};

LineFields lineFields();
// Inline, as the bare side of figures 1 and 2 is timed against code that is.
inline int snprintfLine(char* buffer, std::size_t size, const LineFields& f, const char* text)
{
    return std::snprintf(buffer, size, "%02u-%02u %02u:%02u:%02u %8s:%lx %s", f.time.wMonth,
                         f.time.wDay, f.time.wHour, f.time.wMinute, f.time.wSecond, f.process,
                         static_cast<unsigned long>(f.processId), text);
}

// The line a file sink writes for the benchmark's message at `level`.
std::string recordLine(const char* sourceFile, LogLevel level);

// A child process of this program, given arguments, whose output comes back
// through a pipe: started, then finished (its output, false unless it exited
// with 0).
struct ChildProcess {
    orn::unique_handle process;
    orn::unique_handle output;
};
bool startChild(const std::wstring& arguments, ChildProcess& child);
bool finishChild(ChildProcess& child, std::string& output);

// Lines printed under the table, in the order added.
extern std::vector<std::string> details;
void detail(const char* format, double value);

}  // namespace bench
