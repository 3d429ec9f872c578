#pragma once
// What the process's records are routed with: run-time properties from the
// registry, refreshed when the Log key changes; the debug gate; the
// configuration in force (the built-in table, or "logCfg.Ini" while debugging
// is on), read again when the file changes. The routing is decided once per
// property set and configuration, and published like the properties.

#include "LogFolders.h"
#include "LogManager.h"
#include "UniqueResource.h"

#include <atomic>
#include <memory>

struct LogManagerState;

class LogRouter {
public:
    // Nothing is read before the first record. Both are the runtime's and
    // outlive the router.
    LogRouter(const LogFolders& folders, LogConfigurationW& builtIn);
    ~LogRouter();
    LogRouter(const LogRouter&) = delete;
    LogRouter& operator=(const LogRouter&) = delete;

    void log(LogRecord& record);

    // The property set records are routed with now (null before the first
    // record). Published maps are never changed; a new one is made only when
    // the Log key changed.
    std::shared_ptr<const LogUtils::PropertyMap> snapshot() const;
    // The property set the next record would be routed with, read from the
    // registry first when it changed, as log() does; for inspection tools.
    std::shared_ptr<const LogUtils::PropertyMap> currentProperties();

    // Whether the last routing decided came from "logCfg.Ini", and how many
    // times the file has been read (for tests).
    bool routesWithConfigurationFile() const;
    long configurationFileReadings() const { return readings_; }

    // Whether a change of the Log key, or of the folder of "logCfg.Ini" while
    // it is watched, has reached the manager and waits for the next record;
    // and whether the folder is watched that way now (for tests, which wait
    // for a change to arrive before they log).
    bool keyChangeArrived() const { return keyChanged_.load(); }
    bool folderChangeArrived() const { return folderChanged_.load(); }
    bool listensToKey() const { return keyWait_.load() != nullptr; }
    bool listensToFolder() const;
    // Refreshes completed: one that ends after a change has read it, whether
    // or not the change notified.
    long refreshes() const { return refreshes_; }

private:
    using State = LogManagerState;

    static void CALLBACK onKeyChange(void* context, BOOLEAN timedOut);
    auto lockRefresh();
    std::shared_ptr<const State> askForChanges(std::shared_ptr<const State> current);
    void refresh();
    std::shared_ptr<const State> reconsider();
    std::shared_ptr<const State> firstState();
    // Publishes what records route with from now on, for this property set.
    std::shared_ptr<const State> publish(std::shared_ptr<const LogUtils::PropertyMap> properties);
    void routeWith(const State& state, LogRecord& record);

    const LogFolders& folders_;
    LogConfigurationW& builtIn_;
    orn::unique_handle changeEvent;
    orn::unique_hkey logKey;
    std::shared_ptr<const State> state_;
    // Serializes the builders of new states; never taken on a record's way
    // unless a change is to be applied.
    CRITICAL_SECTION refreshing_;
    volatile LONG readings_ = 0;
    volatile LONG refreshes_ = 0;
    // The registered wait on changeEvent (null: records ask the event) and
    // the flags the waits set.
    std::atomic<HANDLE> keyWait_{nullptr};
    std::atomic<bool> keyChanged_{false};
    std::atomic<bool> folderChanged_{false};
};
