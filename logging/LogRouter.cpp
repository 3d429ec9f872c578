#include "LogRouter.h"

#include "LogManagerState.h"
#include "LogPropertyReader.h"

#include <windows.h>

#include <memory>

LogRouter::LogRouter(const LogFolders& folders, LogConfigurationW& builtIn)
    : folders_(folders), builtIn_(builtIn), changeEvent(CreateEventW(nullptr, FALSE, TRUE, nullptr))
{
    // Without the event every wait fails and every record refreshes: slower,
    // but still logging.
    InitializeCriticalSection(&refreshing_);
}

// Serializes the threads that build a new state; the others route on with the
// last one published.
auto LogRouter::lockRefresh()
{
    EnterCriticalSection(&refreshing_);
    return orn::scope_exit([this] { LeaveCriticalSection(&refreshing_); });
}

LogRouter::~LogRouter()
{
    // Before the event closes: no callback may run once the module is gone.
    if (const HANDLE wait = keyWait_.exchange(nullptr))
        endRegisteredWait(wait);
    DeleteCriticalSection(&refreshing_);
}

void CALLBACK LogRouter::onKeyChange(void* context, BOOLEAN)
{
    static_cast<LogRouter*>(context)->keyChanged_.store(true);
}

// While nothing changes a record makes no system call: the Log key's
// notification and the watch of the folder of "logCfg.Ini" reach it as flags
// set from waits of the process's thread pool, and only the thread that
// clears a flag applies the change. Where no wait could be registered, a
// record asks the event and the watch itself (and, where the folder cannot
// be watched while debugging, the file's metadata).
void LogRouter::log(LogRecord& record)
{
    std::shared_ptr<const State> current = std::atomic_load(&state_);
    if (!current) {
        current = firstState();
    } else if (!keyWait_.load(std::memory_order_relaxed)) {
        current = askForChanges(std::move(current));
    } else if (keyChanged_.load(std::memory_order_relaxed) && keyChanged_.exchange(false)) {
        refresh();
        current = std::atomic_load(&state_);
    } else if (const FolderWatch* watch = current->watch.get()) {
        // A watch whose wait could not be registered is asked directly.
        const bool pending = folderChanged_.load(std::memory_order_relaxed);
        const bool changed = watch->listening() || pending
                                 ? pending && folderChanged_.exchange(false)
                                 : !watch->quiet();
        if (changed)
            current = reconsider();
    } else if (current->polls() && !current->fileUnchanged()) {
        current = reconsider();
    }
    if (current)
        routeWith(*current, record);
}

std::shared_ptr<const LogRouter::State>
LogRouter::askForChanges(std::shared_ptr<const State> current)
{
    HANDLE handles[2] = {changeEvent.get(), nullptr};
    DWORD count = 1;
    if (current->watch)
        handles[count++] = current->watch->get();
    const DWORD wait = WaitForMultipleObjects(count, handles, FALSE, 0);
    if (wait == WAIT_OBJECT_0 + 1 ||
        (wait == WAIT_TIMEOUT && current->polls() && !current->fileUnchanged()))
        return reconsider();
    if (wait != WAIT_TIMEOUT) {
        // Only the thread whose wait consumed the Log key's signal refreshes.
        refresh();
        return std::atomic_load(&state_);
    }
    return current;
}

// A record that comes while another thread reads the first properties waits
// for them rather than being lost.
std::shared_ptr<const LogRouter::State> LogRouter::firstState()
{
    const auto leave = lockRefresh();
    if (!std::atomic_load(&state_)) {
        if (!keyWait_.load()) {
            // The event starts signalled for the first refresh, which is
            // this one: its notification is armed before the values are
            // read, so nothing set from now on is missed.
            ResetEvent(changeEvent.get());
            HANDLE wait = nullptr;
            if (RegisterWaitForSingleObject(&wait, changeEvent.get(), onKeyChange, this, INFINITE,
                                            WT_EXECUTEINWAITTHREAD))
                keyWait_ = wait;
        }
        refresh();
    }
    return std::atomic_load(&state_);
}

void LogRouter::routeWith(const State& state, LogRecord& record)
{
    if (record.level == LevelDebug && state.dropsTraces)
        return;
    state.routing.route(record);
}

std::shared_ptr<const LogUtils::PropertyMap> LogRouter::snapshot() const
{
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    return current ? current->properties : nullptr;
}

bool LogRouter::listensToFolder() const
{
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    return current && current->watch && current->watch->listening();
}

bool LogRouter::routesWithConfigurationFile() const
{
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    return current && current->usesFile();
}

std::shared_ptr<const LogUtils::PropertyMap> LogRouter::currentProperties()
{
    if (!std::atomic_load(&state_))
        firstState();
    else if (keyWait_.load() ? keyChanged_.exchange(false)
                             : WaitForSingleObject(changeEvent.get(), 0) != WAIT_TIMEOUT)
        refresh();
    return snapshot();
}

void LogRouter::refresh()
{
    const auto leave = lockRefresh();
    try {
        publish(readLogProperties(logKey, changeEvent.get(), folders_.logs()));
        InterlockedIncrement(&refreshes_);
    } catch (...) {
        // The signal is spent: the next record tries again.
        SetEvent(changeEvent.get());
        throw;
    }
}

std::shared_ptr<const LogRouter::State> LogRouter::reconsider()
{
    // A thread already building a state examines the file after it watched
    // the folder again, so it sees this change too.
    if (!TryEnterCriticalSection(&refreshing_))
        return std::atomic_load(&state_);
    const auto leave = orn::scope_exit([this] { LeaveCriticalSection(&refreshing_); });
    const std::shared_ptr<const State> current = std::atomic_load(&state_);
    if (!current)
        return current;
    try {
        return publish(current->properties);
    } catch (...) {
        // The folder's signal may be spent: a full refresh examines the file.
        SetEvent(changeEvent.get());
        throw;
    }
}

std::shared_ptr<const LogRouter::State>
LogRouter::publish(std::shared_ptr<const LogUtils::PropertyMap> properties)
{
    const std::shared_ptr<const State> next =
        nextLogManagerState(std::atomic_load(&state_), std::move(properties), folders_, builtIn_,
                            readings_, keyWait_.load() ? &folderChanged_ : nullptr);
    std::atomic_exchange(&state_, next);
    return next;
}
