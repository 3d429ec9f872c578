#pragma once
// The installer's action's log folder: every level taken over, as
// LocalSystem with the backup and restore privileges held. Linked into the
// installer's action alone; the module only makes what is missing
// (createLogFolder, SafeLogFile.h).

#include "UniqueResource.h"

#include <windows.h>

#include <cstddef>

namespace LogUtils {

// Walks path below its first trustedLength characters as createLogFolder
// does, but an entry that is not a plain folder is moved aside and the
// folder made, each level gets owner Administrators and its list, and the
// plain files of the log folder (logs and cabinets of earlier versions) the
// log files' list; a file with another name elsewhere, or another account's,
// is renamed aside (at most 10,000 entries are examined; past that, false
// with ERROR_MORE_DATA). True when path then is a plain folder.
bool takeOverLogFolder(const wchar_t* path, std::size_t trustedLength);

// The same below the common application-data folder, into path.
bool takeOverCommonLogFolder(wchar_t (&path)[MAX_PATH]);

}  // namespace LogUtils
