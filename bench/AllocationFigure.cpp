// Figure 5: heap allocations of the logging call, counted by the program's
// wrapped malloc.
#include "Figures.h"

#include "BenchCounters.h"
#include "DefaultLogManager.h"

namespace bench {
namespace {

template <typename F>
double allocationsPer(int count, F operation)
{
    operation();
    const long before = bench::allocationCount();
    for (int i = 0; i < count; ++i)
        operation();
    return static_cast<double>(bench::allocationCount() - before) / count;
}

}  // namespace

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

}  // namespace bench
