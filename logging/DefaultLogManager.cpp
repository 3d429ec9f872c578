#include "DefaultLogManager.h"

#include "LogRuntime.h"

void DefaultLogManager::log(LogRecord& record)
{
    if (LogRuntime* runtime = LogRuntime::start())
        runtime->router.log(record);
}

template <typename Answer>
Answer DefaultLogManager::ask(Answer (LogRouter::*question)() const, Answer before)
{
    const LogRuntime* runtime = LogRuntime::started();
    return runtime ? (runtime->router.*question)() : before;
}

std::shared_ptr<const LogUtils::PropertyMap> DefaultLogManager::snapshot() const
{
    return ask<std::shared_ptr<const LogUtils::PropertyMap>>(&LogRouter::snapshot, nullptr);
}

std::shared_ptr<const LogUtils::PropertyMap> DefaultLogManager::currentProperties()
{
    LogRuntime* runtime = LogRuntime::start();
    return runtime ? runtime->router.currentProperties() : nullptr;
}

bool DefaultLogManager::routesWithConfigurationFile() const
{
    return ask(&LogRouter::routesWithConfigurationFile, false);
}

long DefaultLogManager::configurationFileReadings() const
{
    return ask(&LogRouter::configurationFileReadings, 0L);
}

bool DefaultLogManager::keyChangeArrived() const
{
    return ask(&LogRouter::keyChangeArrived, false);
}

bool DefaultLogManager::folderChangeArrived() const
{
    return ask(&LogRouter::folderChangeArrived, false);
}

bool DefaultLogManager::listensToKey() const
{
    return ask(&LogRouter::listensToKey, false);
}

bool DefaultLogManager::listensToFolder() const
{
    return ask(&LogRouter::listensToFolder, false);
}

long DefaultLogManager::refreshes() const
{
    return ask(&LogRouter::refreshes, 0L);
}

namespace {
// Constant: nothing runs for it at load, nothing at unload.
DefaultLogManager processManager;
}  // namespace

LogUtils::ILogManager* defaultLogManager()
{
    return &processManager;
}
