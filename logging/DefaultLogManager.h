#pragma once
// The manager every call site names (defaultLogManager()): the process's
// way into the logging runtime (LogRuntime.h), which its first record
// starts. Made before any code runs and holding nothing, so that loading the
// module costs logging nothing.

#include "LogFolders.h"
#include "LogManager.h"

#include <memory>

class LogRouter;

class DefaultLogManager : public LogUtils::LogManagerImpl {
public:
    constexpr DefaultLogManager() = default;

    // Starts the runtime if it has not started; once the module is
    // detaching, a record that finds it not started is dropped.
    void log(LogRecord& record) override;

    // What the runtime's router routes with now, for tools and tests (null,
    // false or 0 before the runtime started; LogRouter.h says what each is).
    std::shared_ptr<const LogUtils::PropertyMap> snapshot() const;
    // The property set the next record would be routed with; starts the
    // runtime.
    std::shared_ptr<const LogUtils::PropertyMap> currentProperties();
    bool routesWithConfigurationFile() const;
    long configurationFileReadings() const;
    bool keyChangeArrived() const;
    bool folderChangeArrived() const;
    bool listensToKey() const;
    bool listensToFolder() const;
    long refreshes() const;

private:
    template <typename Answer>
    static Answer ask(Answer (LogRouter::*question)() const, Answer before);
};
