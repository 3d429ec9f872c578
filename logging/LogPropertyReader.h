#pragma once
// The manager's run-time properties, read from the Log key.

#include "LogConfiguration.h"
#include "UniqueResource.h"

#include <memory>

// Opens the Log key into logKey when it is not open yet and, when it is open,
// re-arms its change notification on changeEvent before reading the values,
// so that a change made while reading still signals the next record. Every
// value that cannot be read falls back: "activity" to "zuAgent" ("zuInstall"
// when the key itself cannot be opened), "dt" to today's date, "debugEnable"
// to "0". "logdir" is logFolder.
std::shared_ptr<const LogUtils::PropertyMap>
readLogProperties(orn::unique_hkey& logKey, HANDLE changeEvent, const wchar_t* logFolder);
