#pragma once
// What records are routed with: one property set, the configuration in force
// and the routing decided from both. Built by one refresh and never changed
// after it is published.

#include "ConfigFileWatch.h"
#include "IniConfiguration.h"
#include "LogFolders.h"
#include "LogManager.h"

#include <atomic>
#include <memory>
#include <string>

struct LogManagerState {
    std::shared_ptr<const LogUtils::PropertyMap> properties;
    bool dropsTraces = false;  // "debugEnable" is "0"
    bool debugging = false;  // "debugEnable" is "1": "logCfg.Ini" applies if it exists
    std::wstring filePath;  // empty: the folder's path leaves no room for the name
    // While debugging, when the folder can be watched.
    std::shared_ptr<FolderWatch> watch;
    // The file when it was last examined, and whether a later change could
    // have kept that stamp.
    FileStamp stamp;
    bool racy = false;
    // Its reading, while it exists (kept while debugging is off, in case it
    // is still the same when debugging comes back).
    std::shared_ptr<IniFileConfiguration> file;
    LogUtils::CompiledRouting routing;

    // Without a watch, while debugging, each record examines the file.
    bool polls() const { return debugging && !watch && !filePath.empty(); }
    bool fileUnchanged() const { return !racy && examineFile(filePath.c_str()) == stamp; }
    bool usesFile() const { return debugging && file; }
};

// The state that follows previous (null before the first) for this property
// set: the configuration file (in the folders' configuration folder)
// examined again and read when it changed (each reading counted in
// readings), and the routing decided anew, over the file or builtIn; its
// file sections make the log folder before their first file. With
// folderChanged, the folder's next change sets it (FolderWatch::listen).
std::shared_ptr<const LogManagerState>
nextLogManagerState(const std::shared_ptr<const LogManagerState>& previous,
                    std::shared_ptr<const LogUtils::PropertyMap> properties,
                    const LogFolders& folders, LogConfigurationW& builtIn, volatile LONG& readings,
                    std::atomic<bool>* folderChanged);
