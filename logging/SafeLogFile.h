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
//   folder renamed and replaced meanwhile    folder held without delete
//                                            sharing from its check until the
//                                            new file is verified; the pinned
//                                            log folder is known by identity

#include "UniqueResource.h"

#include <windows.h>

#include <cstddef>

namespace LogUtils {

enum class LogFileUse {
    append,  // the sink's line: write access; a missing file is created
    rotate,  // moving aside, packing, deleting: read and delete; never created
    cabinet,  // a new cabinet: read, write and delete; only created, never opened
};

// Opens the log file at path (a full path) without following a link, creating
// it when the use allows. The handle is refused (closed, and a file this call
// created is deleted through it) unless it is the file at path itself: no
// reparse point, one link, final path equal to the full path. A file this call
// creates gets the log files' access list.
// Empty on failure, the last error ERROR_SHARING_VIOLATION when another handle
// holds the file, ERROR_CANT_ACCESS_FILE when a link was refused, else the
// open's own error. What is done through the handle (orn::renameWithoutReplacing
// among it) acts on that file, whatever its old name points to by then.
orn::unique_file openLogFile(const wchar_t* path, LogFileUse use);

// The file goes when its last handle closes.
bool deleteLogFileOnClose(HANDLE file);

// Makes the missing folders of path below its first trustedLength characters
// (a folder users cannot replace), each inside the one above through that
// one's handle, never by its path again (FolderLevels.h). The last level gets
// the log folder's access list, those above it the vendor levels' list
// (LogAccess.h); the lists of levels that exist are kept. Stops at a level
// that is not a plain folder. True when path then is a plain folder, whose
// handle goes to made when given. (The installer's action takes the levels
// over instead: LogFolderTakeover.h.)
bool createLogFolder(const wchar_t* path, std::size_t trustedLength,
                     orn::unique_file* made = nullptr);

// The log folder below the common application-data folder, into path, and
// the length of the common folder's part; nothing is made.
bool commonLogFolderPath(wchar_t (&path)[MAX_PATH], std::size_t& trustedLength);

// Opens or makes one level of a log folder in parent; last: the log folder
// itself. Empty when the walk stops there.
using LogFolderLevel = orn::unique_file (*)(HANDLE parent, const wchar_t* name, bool last,
                                            void* context);
// The walk that createLogFolder and the installer's takeover share: the
// folder users cannot replace opened by its path, every level below it only
// through the one above, each by level().
bool walkLogFolder(const wchar_t* path, std::size_t trustedLength, LogFolderLevel level,
                   void* context, orn::unique_file* made);

// A security descriptor from its text form (LogAccess.h); empty on failure.
orn::unique_hlocal descriptorFrom(const wchar_t* access);

// The log folder at path, held by folder, known from now on by that
// handle's file index as well as its path: a file is created below path only
// while the folder found there is this one. A privileged process (LocalSystem
// or elevated) that finds it owned by an account not trusted
// (orn::isTrustedOwner) opens nothing below it at all: false, the last error
// ERROR_INVALID_OWNER. Null forgets it. Called before the first log file is
// made (LogFolders::makeLogFolder).
bool pinLogFolder(const wchar_t* path, HANDLE folder);
// The same, the folder opened by its path.
bool pinLogFolder(const wchar_t* path);

// A folder held open, without delete sharing, so that it can be neither
// renamed nor replaced while it is held (Windows also refuses to rename its
// parents then). Empty unless the folder at that path is a plain folder
// reached by its own path and, below the pinned log folder, the pinned one,
// which is then held too.
struct HeldFolder {
    orn::unique_file folder;
    orn::unique_file pinned;
    explicit operator bool() const { return static_cast<bool>(folder); }
};
// The folder of a file's path, held as above.
HeldFolder holdFolderOf(const wchar_t* path);

// The attributes new log files and cabinets are created with (LogAccess.h);
// built once per process. Null when the descriptor could not be built.
SECURITY_ATTRIBUTES* logFileSecurityAttributes();

}  // namespace LogUtils
