#include "LogRuntime.h"

#include "ConfigFileWatch.h"
#include "LogFileSink.h"
#include "PoolWork.h"
#include "SyslogStream.h"

#include <stdexcept>

namespace {

// How long kept lines may keep the module while their log refuses them.
constexpr ULONGLONG keptLinesPatienceMilliseconds = 2000;

// The runtime once made; ended once the module detached or the runtime was
// unmade, after which none is made again.
struct Lifetime {
    std::atomic<LogRuntime*> running{nullptr};
    std::atomic<bool> ended{false};
} lifetime;

}  // namespace

LogRuntime::LogRuntime() : router(folders, builtIn)
{
    lifetime.running = this;
}

LogRuntime::~LogRuntime()
{
    lifetime.ended = true;
    lifetime.running = nullptr;
}

LogRuntime* LogRuntime::start()
{
    if (LogRuntime* runtime = lifetime.running.load(std::memory_order_acquire))
        return runtime;
    if (lifetime.ended)
        return nullptr;
    // Made by the first record, unmade with the module's other statics.
    static LogRuntime runtime;
    return lifetime.running.load();
}

LogRuntime* LogRuntime::started() noexcept
{
    return lifetime.running.load(std::memory_order_acquire);
}

VOID CALLBACK LogRuntime::writeKeptLines(PTP_CALLBACK_INSTANCE, void* context)
{
    auto& runtime = *static_cast<LogRuntime*>(context);
    if (!LogUtils::LogFileSink::writeKept(1, false)) {
        runtime.keptLinesRefusedSince_ = 0;
    } else {
        const ULONGLONG now = GetTickCount64();
        ULONGLONG since = 0;
        if (!runtime.keptLinesRefusedSince_.compare_exchange_strong(since, now) &&
            now - since >= keptLinesPatienceMilliseconds) {
            // Counted on the debugger output: the module may go.
            LogUtils::LogFileSink::writeKept(1, true);
            runtime.keptLinesRefusedSince_ = 0;  // none are kept now
        }
    }
    // The module stays mapped until this returns, whatever COM does with it
    // once the flag is down.
    runtime.keptLinesWriting_ = false;  // a later call may queue another
}

bool LogRuntime::keptLinesGone() noexcept
{
    if (keptLinesWriting_)
        return false;
    if (!LogUtils::LogFileSink::linesWaiting()) {
        keptLinesRefusedSince_ = 0;
        return true;
    }
    bool idle = false;
    if (!keptLinesWriting_.compare_exchange_strong(idle, true))
        return false;
    if (!orn::submitHoldingModule(writeKeptLines, this))
        keptLinesWriting_ = false;
    return false;
}

bool LogRuntime::mayUnload() noexcept
{
    LogRuntime* runtime = started();
    // Queued syslog lines get a bounded time to go, as kept lines do.
    return !runtime || (runtime->keptLinesGone() && LogUtils::streamQueuesDrained());
}

void LogRuntime::moduleDetaching(bool processExit) noexcept
{
    lifetime.ended = true;
    if (!started())
        return;
    // At process exit other threads were stopped wherever they were: a turn
    // one of them held stays taken, and the kept lines behind it, perhaps
    // half changed, are passed over.
    LogUtils::LogFileSink::writeKept(1, true);  // once per file, waiting for nothing
    LogUtils::LogFileSink::moduleDetached(processExit);
    LogUtils::streamSendersDetached(processExit);
}

// The process's parts, as the published names reach them.

DefaultLogConfiguration& defaultLogConfiguration()
{
    LogRuntime* runtime = LogRuntime::start();
    if (!runtime)
        throw std::logic_error("the logging runtime has ended");
    return runtime->builtIn;
}

std::wstring configurationFilePath()
{
    const LogRuntime* runtime = LogRuntime::start();
    return runtime ? configurationFilePath(runtime->folders.configuration()) : std::wstring();
}

namespace {

const wchar_t* configurationFolder()
{
    const LogRuntime* runtime = LogRuntime::start();
    return runtime ? runtime->folders.configuration() : L"";
}

const wchar_t* logFolder()
{
    const LogRuntime* runtime = LogRuntime::start();
    return runtime ? runtime->folders.logs() : L"";
}

}  // namespace

const LogFolderPath configDirectory{configurationFolder};
const LogFolderPath logDirectory{logFolder};
