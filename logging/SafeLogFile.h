#pragma once
// Log files are reached only as themselves. Every account may create entries
// in the log folder, while the writer may be a privileged service: a hard
// link, a symbolic link or a junction planted there (or in place of the folder
// or a parent) must never make it write, create, move, pack or delete a file
// elsewhere.
//
//   planted                                  what refuses it
//   hard link at the log name                link count above one
//   symbolic link / junction at the name     reparse attribute of the handle
//   dangling link at the name                exclusive create fails
//   folder or a parent replaced by a link    final path differs from the path
//                                            asked for; no create in it

#include <windows.h>

#include <cstddef>

namespace LogUtils {

enum class LogFileUse {
    append,   // the sink's line: write access; a missing file is created
    rotate,   // moving aside, packing, deleting: read and delete; never created
    cabinet,  // a new cabinet: read, write and delete; only created, never opened
};

// Opens the log file at path (a full path) without following a link, creating
// it when the use allows. The handle is refused (closed, and a file this call
// created is deleted through it) unless it is the file at path itself: no
// reparse point, one link, final path equal to the full path. security applies
// only to a file this call creates.
// Fails with INVALID_HANDLE_VALUE: ERROR_SHARING_VIOLATION when another handle
// holds the file, ERROR_CANT_ACCESS_FILE when a link was refused, else the
// open's own error.
HANDLE openLogFile(const wchar_t* path, LogFileUse use, SECURITY_ATTRIBUTES* security = nullptr);

// What is done to a verified handle acts on that file, whatever its old name
// points to by then. The rename never replaces an existing name.
bool renameLogFile(HANDLE file, const wchar_t* newPath);
// The file goes when its last handle closes.
bool deleteLogFileOnClose(HANDLE file);

// Creates the missing folders of path below its first trustedLength
// characters (a folder users cannot replace), stopping at the first level
// that is a link or not a folder. True when path then is a plain folder.
bool createLogFolder(const wchar_t* path, std::size_t trustedLength);

}  // namespace LogUtils
