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

// Who makes the log folder: any process loading the library, or the
// installer's action, running as LocalSystem with the backup and restore
// privileges held.
enum class LogFolderMaker { module, installer };

// Makes the missing folders of path below its first trustedLength characters
// (a folder users cannot replace), each inside the one above through that
// one's handle, never by its path again (FolderLevels.h). The last level gets
// the log folder's access list, those above it the vendor levels' list
// (LogAccess.h). The module stops at a level that is not a plain folder and
// keeps the access list of those that exist. The installer takes every level
// over: an entry that is not a plain folder is moved aside and the folder
// made, each level gets owner Administrators and its list, and the plain
// files of the log folder (logs and cabinets of earlier versions) the log
// files' list; a file with another name elsewhere, or another account's, is
// renamed aside (at most 10,000 entries are examined; past that, false with
// ERROR_MORE_DATA). True when path then is a plain folder, whose handle goes
// to made when given.
bool createLogFolder(const wchar_t* path, std::size_t trustedLength,
                     LogFolderMaker maker = LogFolderMaker::module,
                     orn::unique_file* made = nullptr);

// Makes the log folder below the common application-data folder, as
// createLogFolder does, into path. True when it is there as a plain folder.
bool createCommonLogFolder(wchar_t (&path)[MAX_PATH], LogFolderMaker maker = LogFolderMaker::module,
                           orn::unique_file* made = nullptr);

// The log folder at path, held by folder, known from now on by that
// handle's file index as well as its path: a file is created below path only
// while the folder found there is this one. A privileged process (LocalSystem
// or elevated) that finds it owned by an account not trusted
// (orn::isTrustedOwner) opens nothing below it at all: false, the last error
// ERROR_INVALID_OWNER. Null forgets it. Called at module load, before any
// thread logs.
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
