#pragma once
// What the logging library keeps for a process, in one object: its folders,
// the built-in configuration and the router (the Log key's and
// "logCfg.Ini"'s change watch and the routing compiled from them). Made by
// the first record that reaches the manager (DefaultLogManager.h), never at
// load; its members are made in the order they are declared here and unmade
// in reverse, with the module or at the program's exit.
//
// Loading the module, creating its class objects and showing a menu touch
// none of it: no key of logging is opened and no folder made before a
// record, and the log folder only before the first log file.

#include "DefaultLogConfiguration.h"
#include "LogFolders.h"
#include "LogRouter.h"

#include <windows.h>

#include <atomic>

class LogRuntime {
public:
    // The process's runtime, made now if it is not yet; an allocation
    // failure reaches the caller, and the next call tries again. Null once
    // the module detaches or the runtime was unmade: nothing is started
    // then, under the loader's lock or at exit.
    static LogRuntime* start();
    // The runtime if it has started; null before, and once unmade.
    static LogRuntime* started() noexcept;

    // The module's question at DllCanUnloadNow: true unless lines the
    // library kept for a refused log, or queued for a syslog collector, still
    // wait. Kept lines are written by a pool thread meanwhile, never the
    // caller's (an open of a log can wait for an opportunistic lock's break,
    // and the caller is usually a UI thread); after a bounded time of
    // refusals they are counted on the debugger output and the module may go.
    static bool mayUnload() noexcept;
    // The module's detach, under the loader's lock: each kept line gets one
    // attempt and what is refused is counted, waiting for nothing; no record
    // starts the runtime from now on.
    static void moduleDetaching(bool processExit) noexcept;

    LogRuntime(const LogRuntime&) = delete;
    LogRuntime& operator=(const LogRuntime&) = delete;

    const LogFolders folders;
    DefaultLogConfiguration builtIn;
    LogRouter router;

private:
    LogRuntime();
    ~LogRuntime();

    bool keptLinesGone() noexcept;
    static VOID CALLBACK writeKeptLines(PTP_CALLBACK_INSTANCE instance, void* runtime);

    // When a pool thread's write first found kept lines refused (0 while
    // none are), and whether one is queued or writing: the module stays
    // meanwhile, held by the reference the work item took.
    std::atomic<ULONGLONG> keptLinesRefusedSince_{0};
    std::atomic<bool> keptLinesWriting_{false};
};
