#include "LogManagerState.h"

std::shared_ptr<const LogManagerState>
nextLogManagerState(const std::shared_ptr<const LogManagerState>& previous,
                    std::shared_ptr<const LogUtils::PropertyMap> properties,
                    const LogFolders& folders, LogConfigurationW& builtIn, volatile LONG& readings,
                    std::atomic<bool>* folderChanged)
{
    const auto next = std::make_shared<LogManagerState>();
    next->properties = std::move(properties);
    LogUtils::LogPropertiesOnMapImpl view(next->properties.get());
    const wchar_t* debug = view.getProperty(L"debugEnable");
    next->dropsTraces = LogUtils::dropsTraces(view);
    next->debugging = debug && _wcsicmp(debug, L"1") == 0;
    if (previous) {
        next->filePath = previous->filePath;
        next->stamp = previous->stamp;
        next->racy = previous->racy;
        next->file = previous->file;
    } else {
        next->filePath = configurationFilePath(folders.configuration());
    }

    if (next->debugging && !next->filePath.empty()) {
        // A watch armed before the file was last examined and silent since
        // then says the file is as it was. Otherwise the folder is watched
        // (again) before the file is examined, so a change made while it is
        // read signals the next record.
        bool unchanged = false;
        if (previous && previous->watch) {
            if (previous->watch->quiet()) {
                next->watch = previous->watch;
                unchanged = true;
            } else if (previous->watch->rearm()) {
                next->watch = previous->watch;
            }
        }
        if (!next->watch)
            next->watch = FolderWatch::open(folders.configuration());
        // Before the file is examined, like the watch itself.
        if (next->watch && folderChanged)
            next->watch->listen(folderChanged);
        if (!unchanged) {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            const FileStamp stamp = examineFile(next->filePath.c_str());
            if (!stamp.exists) {
                next->file.reset();
            } else if (!next->file || stamp != next->stamp || next->racy) {
                next->file = std::make_shared<IniFileConfiguration>(next->filePath.c_str());
                InterlockedIncrement(&readings);
            }
            next->stamp = stamp;
            // Examined before it was read: a change after the reading gets a
            // later time unless the file was last written within the
            // granularity.
            next->racy =
                stamp.exists && fileTimeTicks(now) < stamp.lastWrite + configFileTimeGranularity;
        }
    }

    LogConfigurationW& configuration =
        next->usesFile() ? static_cast<LogConfigurationW&>(*next->file) : builtIn;
    next->routing = LogUtils::CompiledRouting(configuration, view, &folders);
    return next;
}
