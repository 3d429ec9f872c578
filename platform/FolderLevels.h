#pragma once
// Folders reached one level at a time through the handle of the level above,
// for privileged code working below folders where any account may create
// entries. Each name is looked up once, inside a folder already held, so a
// level swapped for a link or a junction between two steps cannot redirect
// the next one. A link at the name is opened as itself and refused; should
// an open follow one all the same, the level is also checked against its
// parent's entry for that name, read after the open:
//
//   the parent's entry at the name       the handle         the level
//   plain folder, the handle's file id   plain folder       used
//   plain folder, another file id        (a link followed)  refused
//   reparse point                        any                refused
//   a file, or nothing                   none               refused

#include "UniqueResource.h"

#include <windows.h>

#include <string>
#include <vector>

namespace orn {

enum class LevelUse {
    // Listing and traversing: what any account may do at the product's levels.
    walk,
    // The owner and the access list alone, asked with backup intent: for an
    // installer's action that holds the backup and restore privileges, which
    // a level's list cannot refuse. No right a sharing check applies to, so
    // no handle a user holds refuses it; nor does it hold the level.
    takeOver,
};

// A folder opened by its full path (no trailing separator, "C:\" keeps its):
// a plain folder reached by that path alone, no link or junction at it or at
// any level above; held without delete sharing, so that neither it nor its
// parents can be renamed while it is held. Empty otherwise.
unique_file openPlainFolder(const wchar_t* path, std::size_t length, LevelUse use);

// Whether the object behind the handle is reached by this full path alone:
// its final path resolves every link and junction on the way.
bool isReachedByPath(HANDLE handle, const wchar_t* path, std::size_t length);

// The object's file index (unique on its volume).
bool fileIndex(HANDLE handle, LONGLONG& index);

// Renames the object behind the handle to name: one name in folder, or a
// full path when folder is null. Never replaces an entry there
// (ERROR_ALREADY_EXISTS).
bool renameWithoutReplacing(HANDLE object, HANDLE folder, const wchar_t* name);

// The level `name` (one name, no separator) in the folder `parent` holds,
// made with `made` (its owner and access list) when missing; held without
// delete sharing (a level a user holds without sharing is walked unheld).
// Empty, with the last error set, unless it passes the table above; where a
// user holding parent refuses its listing, unless the level's final path is
// parent's and name. Allocates nothing: the module makes its levels where
// nothing may throw.
unique_file openLevel(HANDLE parent, const wchar_t* name, LevelUse use, PSECURITY_DESCRIPTOR made);

// What only the installer's actions do (listEntries, findEntry, openEntry,
// takeOver, moveAside, takeOverLevel) lives in FolderTakeover.cpp, which the
// module does not link.

// One entry of a folder, as its listing shows it.
struct FolderEntry {
    std::wstring name;
    DWORD attributes = 0;
    LONGLONG index = 0;
};

// Every entry of the folder but "." and "..", at most limit of them (false,
// ERROR_MORE_DATA, past it).
bool listEntries(HANDLE folder, LevelUse use, std::vector<FolderEntry>& entries, std::size_t limit);

// The entry at name in parent, as the listing shows it; where a user holding
// parent without sharing refuses the listing, as the entry opened as itself
// shows it. False when missing (ERROR_FILE_NOT_FOUND) or unreadable.
bool findEntry(HANDLE parent, const wchar_t* name, FolderEntry& entry);

// Opens the entry found in parent (a file, a link, a folder) as itself, not
// what a link points to: the object at its name with the entry's file index,
// reached through no link. Empty otherwise.
unique_file openEntry(HANDLE parent, const FolderEntry& entry, ACCESS_MASK access);

// Sets the parts of descriptor that `parts` names on the object behind the
// handle alone. Nothing below a folder is touched, unlike SetSecurityInfo,
// which would re-permission whatever a user put there (a hard link to a
// system file among them). A seam for tests, which record what would be set;
// the product never changes it.
using SetObjectSecurity = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
extern SetObjectSecurity setObjectSecurity;

// Reads owners and lists; the same kind of seam, for tests that play an
// owner Wine does not keep.
using GetObjectSecurity = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD,
                                        LPDWORD);
extern GetObjectSecurity getObjectSecurity;

// The parts of the object's descriptor; empty when they cannot be read.
unique_hlocal objectSecurity(HANDLE object, SECURITY_INFORMATION parts);

// LocalSystem, Administrators, TrustedInstaller, or the account this process
// runs as (LocalSystem for the installer's actions and the services).
bool isTrustedAccount(PSID sid);

// Whether the object's owner is a trusted account (false when unreadable).
bool isTrustedOwner(HANDLE object);

// Makes the descriptor's owner and protected access list the object's.
bool takeOver(HANDLE object, PSECURITY_DESCRIPTOR descriptor);

// Moves the entry found in parent aside in the same folder, whole, to
// "<name>.moved-<128 random bits, hex>", never over another entry.
bool moveAside(HANDLE parent, const FolderEntry& entry);

// A level brought to its owner and protected access list (descriptor, from
// text with an owner), for an installer's action. An entry at name that is
// not a plain folder, or a folder whose owner is not a trusted account, is
// moved aside first, whole (moveAside): no content and no handle opened on it
// before stays with the level. A missing level is made, create-new, with the
// descriptor when `make`, and otherwise left missing (the result is empty,
// the last error ERROR_FILE_NOT_FOUND). A move refused leaves the entry as it
// is and the result empty.
unique_file takeOverLevel(HANDLE parent, const wchar_t* name, PSECURITY_DESCRIPTOR descriptor,
                          bool make);

}  // namespace orn
