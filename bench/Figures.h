#pragma once
// The figures of the benchmark, one function each (figure N in the table is
// the file named after it), and the pieces of the file-logging figures that
// others time or count too.

#include "BenchSupport.h"
#include "LogManager.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

Figure decisionCost();                      // 1  DecisionFigure.cpp
Figure droppedWhileNotDebugging();          // 1  DecisionFigure.cpp
Figure changeLatency();                     // 9  DecisionFigure.cpp
Figure formatting();                        // 2  FormattingFigure.cpp
Figure fileLogging();                       // 3  FileLoggingFigures.cpp
Figure contextMenu();                       // 4  ContextMenuFigure.cpp
Figure rotation(double gzipMilliseconds);   // 6  RotationFigure.cpp
Figure configurationFileLogging();          // 7  FileLoggingFigures.cpp
std::vector<Figure> coldStart();            // 8  ColdStartFigure.cpp
Figure unreachableCollector();              // 10 StreamFigure.cpp
std::vector<Figure> bursts();               // 11 BurstFigure.cpp

// One sample of figure 8 in this (fresh) process: "ours" or "bare" prints the
// microseconds of each step, "empty" those of the empty module's load.
int coldStartChild(const std::wstring& side);
// One writer process of figure 11: "KIND,LINES,PARENT"; prints the time its
// last call returned.
int burstChild(const std::wstring& arguments);
// Figure 4's bare side: what QueryContextMenu needs of the system, called
// bare in the same order.
HRESULT bareContextMenu(HMENU menu, HMODULE module, const std::wstring& installDir);

struct AllocationFigure {                   // 5  AllocationFigure.cpp
    double print = 0, untaken = 0, twoFiles = 0;
};
AllocationFigure allocations();

// The 2 MiB rotation sample of figure 6, beside the program.
std::wstring samplePath();
bool writeSample();

// System calls of one record beyond the per-file five, as counted in the
// import table (printed as rows of the table).
struct CallCounts {
    bool counted = false;
    int untaken = 0;  // figure 1: a level-7 record no section takes, debugging on
    int dropped = 0;  // figure 1: a level-7 record, debugging off
    int twoFiles = 0;
    int traced = 0;   // figure 7
};

// The system calls one record makes, against the bare per-file calls
// (SystemCalls.cpp); notes the counts on the figures given. Rewrites the
// import table: after all timing.
CallCounts recordCalls(Figure* files, Figure* traces);

// From FileLoggingFigures.cpp: the benchmark's level-5 record through the
// manager, which routes it to two files, and its level-7 trace.
void logNotice(LogUtils::ILogManager* manager);
void logTrace(LogUtils::ILogManager* manager);
// The plain append: the five calls, following whatever the name points to.
void plainAppend(const wchar_t* path, const std::string& bytes);
// The safe append written straight against the system, none of our code;
// false when the line was not written.
bool bareSafeAppend(const wchar_t* path, const std::string& bytes);
// Debugging on and logCfg.Ini of text in place; undone by the returned
// function, which also deletes the logs named.
std::function<void()> useConfigurationFile(const char* text, std::vector<const wchar_t*> logs);
// The same with the five-section logCfg.Ini of figure 7.
std::function<void()> useTraceConfiguration();

}  // namespace bench
