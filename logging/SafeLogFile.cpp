#include "SafeLogFile.h"

#include "FolderLevels.h"
#include "LogAccess.h"

#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <new>
#include <vector>

// Under Wine only some of these cases can be staged: hard links (made by
// CreateHardLinkW or the Linux side's ln) and Linux symbolic links, which
// Wine follows like Windows symbolic links but shows as reparse points only
// through GetFileAttributesW on a folder, never on a handle. Windows symbolic
// links (CreateSymbolicLinkW is a stub there) and junctions (FSCTL_SET_
// REPARSE_POINT fails) cannot be made at all. So the handle's reparse check
// can refuse something only on Windows, where FILE_FLAG_OPEN_REPARSE_POINT
// opens the link itself; Wine opens the target, and the final-path check
// refuses it there.

namespace LogUtils {

namespace {

struct Access {
    DWORD existing;  // rights when opening an existing file
    DWORD created;  // rights when creating one
    DWORD share;
    DWORD flags;
};

Access accessFor(LogFileUse use)
{
    constexpr DWORD noFollow = FILE_FLAG_OPEN_REPARSE_POINT;
    switch (use) {
    case LogFileUse::append:
        // Deleting is needed only to take back a file created in the wrong
        // place; the handles of existing logs keep the plain writer's rights.
        return {FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE, FILE_SHARE_READ,
                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | noFollow};
    case LogFileUse::rotate:
        return {FILE_GENERIC_READ | DELETE, 0, FILE_SHARE_READ,
                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | noFollow};
    case LogFileUse::cabinet: break;
    }
    // The runtime's own open shares reading and writing the same way.
    return {0, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            FILE_ATTRIBUTE_NORMAL | noFollow};
}

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Cheapest first: the link count costs next to nothing, the final path about
// a quarter of the bare append under Wine. GetFileInformationByHandle and
// FileIdInfo would each cost more than the whole append there.
bool isFileItself(HANDLE handle, const wchar_t* full, size_t length)
{
    FILE_STANDARD_INFO standard;
    FILE_ATTRIBUTE_TAG_INFO tag;
    return GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) &&
           standard.NumberOfLinks <= 1 && !standard.Directory &&
           GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           !(tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           orn::isReachedByPath(handle, full, length);
}

// The file index alone: the volume is the one the final path names, which
// the folder's open has already matched. The volume serial would cost a
// round trip to the mount manager under Wine, more than a whole append.
using FolderIdentity = LONGLONG;

// Set at module load, before any thread logs; read by creators under the
// lock. All zeros (an unlocked slim lock, nothing pinned) before any code
// runs, so the folder's pinning at load cannot come first.
struct PinnedFolder {
    SRWLOCK lock;
    wchar_t path[MAX_PATH];
    size_t length;
    FolderIdentity identity;
} pinned;

bool isUnder(const wchar_t* path, size_t length, const wchar_t* folder, size_t folderLength)
{
    return length >= folderLength &&
           CompareStringOrdinal(path, static_cast<int>(folderLength), folder,
                                static_cast<int>(folderLength), TRUE) == CSTR_EQUAL &&
           (length == folderLength || isSeparator(path[folderLength]));
}

size_t folderLengthOf(const wchar_t* full, size_t length)
{
    size_t folder = length;
    while (folder > 0 && !isSeparator(full[folder - 1]))
        --folder;
    if (folder == 0)
        return 0;
    return folder > 3 ? folder - 1 : folder;  // "C:\" keeps its separator
}

class SecurityAttributes {
public:
    explicit SecurityAttributes(const wchar_t* access) : attributes_()
    {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(access, SDDL_REVISION_1,
                                                                  descriptor_.put(), nullptr)) {
            // Throwing leaves the process-wide object unmade, so the next
            // use tries again.
            if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
                throw std::bad_alloc();
            return;
        }
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor_.get();
        attributes_.bInheritHandle = FALSE;
    }
    SecurityAttributes(const SecurityAttributes&) = delete;
    SecurityAttributes& operator=(const SecurityAttributes&) = delete;

    SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

private:
    SECURITY_ATTRIBUTES attributes_;
    orn::unique_hlocal descriptor_;
};

// Takes the handle: closes it, deleting a file it has just created.
HANDLE refuse(HANDLE handle, bool created)
{
    {
        const orn::unique_file file(handle);
        if (created)
            deleteLogFileOnClose(file.get());
    }
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE openLogFile(const wchar_t* path, LogFileUse use)
{
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        SetLastError(ERROR_BAD_PATHNAME);
        return INVALID_HANDLE_VALUE;
    }
    const Access access = accessFor(use);
    auto verified = [&](HANDLE handle, bool created) {
        if (handle == INVALID_HANDLE_VALUE || isFileItself(handle, full, length))
            return handle;
        return refuse(handle, created);
    };

    if (use != LogFileUse::cabinet) {
        const HANDLE existing = CreateFileW(path, access.existing, access.share, nullptr,
                                            OPEN_EXISTING, access.flags, nullptr);
        if (existing != INVALID_HANDLE_VALUE || use == LogFileUse::rotate ||
            GetLastError() != ERROR_FILE_NOT_FOUND)
            return verified(existing, false);
    }

    // Creating through a linked or replaced folder would leave a file
    // elsewhere before any handle could be checked. Held until the new file
    // is verified, the folder cannot be swapped in between.
    const LogFolderHold folder(full, folderLengthOf(full, length));
    if (!folder) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive: a planted name, a dangling link included, makes this fail
    // instead of creating the file the name points to.
    const HANDLE created =
        CreateFileW(path, access.created, access.share, logFileSecurityAttributes(), CREATE_NEW,
                    access.flags, nullptr);
    if (created != INVALID_HANDLE_VALUE || use == LogFileUse::cabinet ||
        GetLastError() != ERROR_FILE_EXISTS)
        return verified(created, true);
    // Another writer created it in between.
    return verified(CreateFileW(path, access.existing, access.share, nullptr, OPEN_EXISTING,
                                access.flags, nullptr),
                    false);
}

bool renameLogFile(HANDLE file, const wchar_t* newPath)
{
    const size_t length = std::wcslen(newPath);
    if (length >= MAX_PATH)
        return false;
    // FILE_RENAME_INFO ends in a one-character array the name runs past.
    union {
        FILE_RENAME_INFO info;
        BYTE bytes[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    } request = {};
    request.info.ReplaceIfExists = FALSE;
    request.info.RootDirectory = nullptr;
    request.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    std::wmemcpy(request.info.FileName, newPath, length + 1);
    return SetFileInformationByHandle(file, FileRenameInfo, &request, sizeof request) != FALSE;
}

bool deleteLogFileOnClose(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

namespace {

// The log folder's level and the vendor levels above it, as the maker gives
// them: the module only when it makes them, the installer always, with an
// owner. Null when a descriptor could not be built.
class LevelDescriptors {
public:
    explicit LevelDescriptors(LogFolderMaker maker)
    {
        if (maker == LogFolderMaker::module) {
            vendor_ = descriptorOf(vendorFolderSecurityAttributes());
            folder_ = descriptorOf(logFolderSecurityAttributes());
            return;
        }
        vendor_ = owned(ORN_LEVEL_OWNER ORN_VENDOR_FOLDER_ACCESS, ownedVendor_);
        folder_ = owned(ORN_LEVEL_OWNER ORN_LOG_FOLDER_ACCESS, ownedFolder_);
        files_ = owned(ORN_LOG_FILE_ACCESS, ownedFiles_);
    }

    PSECURITY_DESCRIPTOR level(bool last) const { return last ? folder_ : vendor_; }
    PSECURITY_DESCRIPTOR files() const { return files_; }

private:
    static PSECURITY_DESCRIPTOR descriptorOf(SECURITY_ATTRIBUTES* attributes)
    {
        return attributes ? attributes->lpSecurityDescriptor : nullptr;
    }
    static PSECURITY_DESCRIPTOR owned(const wchar_t* text, orn::unique_hlocal& holder)
    {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, holder.put(),
                                                             nullptr);
        return holder.get();
    }

    PSECURITY_DESCRIPTOR vendor_ = nullptr;
    PSECURITY_DESCRIPTOR folder_ = nullptr;
    PSECURITY_DESCRIPTOR files_ = nullptr;
    orn::unique_hlocal ownedVendor_, ownedFolder_, ownedFiles_;
};

// Logs and cabinets of earlier versions (created with Everyone full control)
// get the log files' list. Each plain file is opened as itself, through the
// folder's handle; a hard link is left alone, as its list is that of its
// other names too, perhaps a system file's.
bool secureLogFiles(HANDLE folder, PSECURITY_DESCRIPTOR files)
{
    std::vector<orn::FolderEntry> entries;
    if (!orn::listEntries(folder, orn::LevelUse::takeOver, entries))
        return false;
    for (const orn::FolderEntry& entry : entries) {
        if (entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const orn::unique_file file = orn::openEntry(folder, entry, READ_CONTROL | WRITE_DAC);
        FILE_STANDARD_INFO standard;
        if (!file ||
            !GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard,
                                          sizeof standard) ||
            standard.NumberOfLinks != 1 || standard.Directory)
            continue;
        if (!orn::setObjectSecurity(
                file.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, files))
            return false;
    }
    return true;
}

}  // namespace

bool createLogFolder(const wchar_t* path, size_t trustedLength, LogFolderMaker maker)
{
    const size_t length = std::wcslen(path);
    if (length >= MAX_PATH || trustedLength > length)
        return false;
    const LevelDescriptors descriptors(maker);
    if (!descriptors.level(false) || !descriptors.level(true) ||
        (maker == LogFolderMaker::installer && !descriptors.files()))
        return false;
    // The one folder users cannot replace is opened by its path; every level
    // below it only through the one above.
    wchar_t level[MAX_PATH];
    size_t start = trustedLength;
    while (start > 3 && isSeparator(path[start - 1]))
        --start;
    std::wmemcpy(level, path, start);
    level[start] = L'\0';
    orn::unique_file parent(CreateFileW(level, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
    while (parent) {
        while (start < length && isSeparator(path[start]))
            ++start;
        size_t end = start;
        while (end < length && !isSeparator(path[end]))
            ++end;
        if (end == start)
            return true;
        std::wmemcpy(level, path + start, end - start);
        level[end - start] = L'\0';
        size_t rest = end;
        while (rest < length && isSeparator(path[rest]))
            ++rest;
        const bool last = rest == length;
        const PSECURITY_DESCRIPTOR descriptor = descriptors.level(last);
        orn::unique_file next =
            maker == LogFolderMaker::module
                ? orn::openLevel(parent.get(), level, orn::LevelUse::walk, descriptor)
                : orn::takeOverLevel(parent.get(), level, descriptor, true);
        if (next && last && maker == LogFolderMaker::installer &&
            !secureLogFiles(next.get(), descriptors.files()))
            return false;
        parent = std::move(next);
        start = end;
    }
    return false;
}

bool createCommonLogFolder(wchar_t (&path)[MAX_PATH], LogFolderMaker maker)
{
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path)))
        return false;
    // Users may create entries below the common folder, never replace it.
    const size_t trusted = std::wcslen(path);
    return PathAppendW(path, ORN_LOG_FOLDER_BELOW_COMMON_DATA) &&
           createLogFolder(path, trusted, maker);
}

LogFolderHold::LogFolderHold(const wchar_t* folder, size_t length)
{
    folder_ = orn::openPlainFolder(folder, length, orn::LevelUse::walk);
    if (!folder_)
        return;
    AcquireSRWLockShared(&pinned.lock);
    const bool below = pinned.length && isUnder(folder, length, pinned.path, pinned.length);
    FolderIdentity expected = pinned.identity;
    const size_t pinnedLength = pinned.length;
    ReleaseSRWLockShared(&pinned.lock);
    if (!below) {
        valid_ = true;
        return;
    }
    // The pinned folder itself is held too: while it is, nothing below it
    // can be moved out from under it.
    HANDLE top = folder_.get();
    if (pinnedLength != length) {
        pinned_ = orn::openPlainFolder(folder, pinnedLength, orn::LevelUse::walk);
        top = pinned_.get();
    }
    FolderIdentity found = 0;
    valid_ = top && orn::fileIndex(top, found) && found == expected;
}

LogFolderHold holdFolderOf(const wchar_t* path)
{
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    const size_t folder = length && length < MAX_PATH ? folderLengthOf(full, length) : 0;
    return LogFolderHold(full, folder);
}

bool pinLogFolder(const wchar_t* path)
{
    FolderIdentity identity = 0;
    wchar_t full[MAX_PATH] = {};
    DWORD length = 0;
    if (path) {
        length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
        while (length > 3 && isSeparator(full[length - 1]))
            full[--length] = L'\0';
        const orn::unique_file folder =
            length && length < MAX_PATH ? orn::openPlainFolder(full, length, orn::LevelUse::walk)
                                        : orn::unique_file();
        if (!folder || !orn::fileIndex(folder.get(), identity))
            return false;
    }
    AcquireSRWLockExclusive(&pinned.lock);
    std::wmemcpy(pinned.path, full, MAX_PATH);
    pinned.length = length;
    pinned.identity = identity;
    ReleaseSRWLockExclusive(&pinned.lock);
    return true;
}

SECURITY_ATTRIBUTES* logFileSecurityAttributes()
{
    static SecurityAttributes security(ORN_LOG_FILE_ACCESS);
    return security.get();
}

SECURITY_ATTRIBUTES* logFolderSecurityAttributes()
{
    static SecurityAttributes security(ORN_LOG_FOLDER_ACCESS);
    return security.get();
}

SECURITY_ATTRIBUTES* vendorFolderSecurityAttributes()
{
    static SecurityAttributes security(ORN_VENDOR_FOLDER_ACCESS);
    return security.get();
}

}  // namespace LogUtils
