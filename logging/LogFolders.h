#pragma once
// Folders fixed at module load: where "logCfg.Ini" is looked for, and where
// log files go (created at load).

#include <windows.h>

class LogFolderPath {
public:
    const wchar_t* get() const { return path_; }

protected:
    wchar_t path_[MAX_PATH] = {};
};

class ConfigDirectory : public LogFolderPath {
public:
    ConfigDirectory();
};

class LogDirectory : public LogFolderPath {
public:
    LogDirectory();
};

extern ConfigDirectory configDirectory;
extern LogDirectory logDirectory;
