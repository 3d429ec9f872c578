#pragma once
// What FolderLevels.cpp and FolderTakeover.cpp share, for those two alone.

#include "FolderLevels.h"

#include <winternl.h>

// Declared by the driver kit's headers only.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                               PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING,
                                               BOOLEAN);

namespace orn::detail {

// No right a sharing check applies to (reading, writing, executing or
// traversing, deleting): no handle a user holds can refuse it.
constexpr ACCESS_MASK takeOverAccess =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr NTSTATUS statusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);

ULONG intentFor(LevelUse use);
// The status as the last error; true when it is a failure. A listing that
// finds nothing is a missing file.
bool failed(NTSTATUS status);
// The name inside parent, never following a link at it. One name only: a
// path would pass levels no one checked.
unique_file openRelative(const wchar_t* name, HANDLE parent, ACCESS_MASK access, ULONG share,
                         ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR made = nullptr);
// A handle keeps the mask of its first listing: each listing gets a handle
// of its own.
unique_file listingOf(HANDLE folder, LevelUse use);
bool isPlainFolder(DWORD attributes);
// The object's final path in its plain form; false when it does not fit.
bool finalPathOf(HANDLE handle, wchar_t (&final)[MAX_PATH + 8], const wchar_t*& path,
                 std::size_t& length);
// The parent's entry at name, without allocating.
bool readEntry(HANDLE parent, const wchar_t* name, LevelUse use, DWORD& attributes,
               LONGLONG& index);
// The level name in parent, opened (or made, by disposition) and checked
// against the parent's entry (the table of FolderLevels.h).
unique_file openLevelAs(HANDLE parent, const wchar_t* name, LevelUse use, ULONG disposition,
                        PSECURITY_DESCRIPTOR made);

}  // namespace orn::detail
