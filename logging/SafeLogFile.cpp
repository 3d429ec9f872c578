#include "SafeLogFile.h"

#include "FolderLevels.h"
#include "LogAccess.h"

#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <atomic>
#include <cwchar>
#include <new>

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

// Cheapest first: the final path is the costly one.
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

// Set at module load, before any thread logs; read by creators under the
// lock. All zeros (an unlocked slim lock, nothing pinned) before any code
// runs, so the folder's pinning at load cannot come first. Known by its file
// index alone: the volume is the one its final path names, which the
// folder's open has already matched.
// A privileged process that found the folder owned by another account
// writes nothing below it (refused, read first without the lock: the writers
// of every other process take no lock for it).
struct PinnedFolder {
    SRWLOCK lock;
    wchar_t path[MAX_PATH];
    size_t length;
    LONGLONG index;
    std::atomic<bool> refused;
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

// Closes the handle, deleting a file it has just created.
orn::unique_file refuse(orn::unique_file file, bool created)
{
    if (created)
        deleteLogFileOnClose(file.get());
    file.reset();
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return file;
}

HeldFolder holdFolder(const wchar_t* folder, size_t length)
{
    HeldFolder held{orn::openPlainFolder(folder, length, orn::LevelUse::walk), {}};
    size_t pinnedLength = 0;
    LONGLONG expected = 0;
    {
        const orn::slim_lock_guard reading(pinned.lock, orn::slim_lock_guard::mode::shared);
        if (!held || !pinned.length || !isUnder(folder, length, pinned.path, pinned.length))
            return held;
        pinnedLength = pinned.length;
        expected = pinned.index;
    }
    // The pinned folder itself is held too: while it is, nothing below it
    // can be moved out from under it.
    HANDLE top = held.folder.get();
    if (pinnedLength != length) {
        held.pinned = orn::openPlainFolder(folder, pinnedLength, orn::LevelUse::walk);
        top = held.pinned.get();
    }
    LONGLONG found = 0;
    if (!top || !orn::fileIndex(top, found) || found != expected)
        held.folder.reset();
    return held;
}

}  // namespace

orn::unique_file openLogFile(const wchar_t* path, LogFileUse use)
{
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        SetLastError(ERROR_BAD_PATHNAME);
        return orn::unique_file();
    }
    if (pinned.refused.load(std::memory_order_acquire)) {
        const orn::slim_lock_guard reading(pinned.lock, orn::slim_lock_guard::mode::shared);
        if (pinned.refused && isUnder(full, length, pinned.path, pinned.length)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return orn::unique_file();
        }
    }
    const Access access = accessFor(use);
    auto verified = [&](HANDLE handle, bool created) {
        orn::unique_file file(handle);
        if (!file || isFileItself(file.get(), full, length))
            return file;
        return refuse(std::move(file), created);
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
    const HeldFolder folder = holdFolder(full, folderLengthOf(full, length));
    if (!folder) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return orn::unique_file();
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

bool deleteLogFileOnClose(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

namespace {

// Whether this process runs as LocalSystem or elevated.
bool isPrivileged()
{
    orn::unique_handle token;
    TOKEN_ELEVATION elevation = {};
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return true;
    if (GetTokenInformation(token.get(), TokenUser, &buffer, sizeof buffer, &size) &&
        IsWellKnownSid(buffer.user.User.Sid, WinLocalSystemSid))
        return true;
    return !GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) ||
           elevation.TokenIsElevated;
}

}  // namespace

orn::unique_hlocal descriptorFrom(const wchar_t* access)
{
    orn::unique_hlocal descriptor;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(access, SDDL_REVISION_1, descriptor.put(),
                                                         nullptr);
    return descriptor;
}

bool walkLogFolder(const wchar_t* path, size_t trustedLength, LogFolderLevel openLevel,
                   void* context, orn::unique_file* made)
{
    const size_t length = std::wcslen(path);
    if (length >= MAX_PATH || trustedLength > length)
        return false;
    wchar_t level[MAX_PATH];
    size_t start = trustedLength;
    while (start > 3 && isSeparator(path[start - 1]))
        --start;
    std::wmemcpy(level, path, start);
    level[start] = L'\0';
    // Only as the root of the next open: no right a sharing check applies to.
    orn::unique_file parent(CreateFileW(level, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
    while (parent) {
        while (start < length && isSeparator(path[start]))
            ++start;
        size_t end = start;
        while (end < length && !isSeparator(path[end]))
            ++end;
        if (end == start) {
            if (made)
                *made = std::move(parent);
            return true;
        }
        std::wmemcpy(level, path + start, end - start);
        level[end - start] = L'\0';
        size_t rest = end;
        while (rest < length && isSeparator(path[rest]))
            ++rest;
        parent = openLevel(parent.get(), level, rest == length, context);
        start = end;
    }
    return false;
}

bool createLogFolder(const wchar_t* path, size_t trustedLength, orn::unique_file* made)
{
    struct Lists {
        orn::unique_hlocal vendor = descriptorFrom(ORN_VENDOR_FOLDER_ACCESS);
        orn::unique_hlocal folder = descriptorFrom(ORN_LOG_FOLDER_ACCESS);
    } lists;
    if (!lists.vendor || !lists.folder)
        return false;
    return walkLogFolder(
        path, trustedLength,
        [](HANDLE parent, const wchar_t* name, bool last, void* context) {
            const auto& made = *static_cast<const Lists*>(context);
            return orn::openLevel(parent, name, orn::LevelUse::walk,
                                  last ? made.folder.get() : made.vendor.get());
        },
        &lists, made);
}

bool commonLogFolderPath(wchar_t (&path)[MAX_PATH], size_t& trustedLength)
{
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path)))
        return false;
    // Users may create entries below the common folder, never replace it.
    trustedLength = std::wcslen(path);
    return PathAppendW(path, ORN_LOG_FOLDER_BELOW_COMMON_DATA) != FALSE;
}

HeldFolder holdFolderOf(const wchar_t* path)
{
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    const size_t folder = length && length < MAX_PATH ? folderLengthOf(full, length) : 0;
    return holdFolder(full, folder);
}

bool pinLogFolder(const wchar_t* path, HANDLE folder)
{
    LONGLONG index = 0;
    wchar_t full[MAX_PATH] = {};
    DWORD length = 0;
    bool refused = false;
    if (path) {
        length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
        while (length > 3 && isSeparator(full[length - 1]))
            full[--length] = L'\0';
        if (!length || length >= MAX_PATH || !orn::fileIndex(folder, index))
            return false;
        refused = isPrivileged() && !orn::isTrustedOwner(folder);
    }
    const orn::slim_lock_guard writing(pinned.lock);
    std::wmemcpy(pinned.path, full, MAX_PATH);
    pinned.length = length;
    pinned.index = index;
    pinned.refused.store(refused, std::memory_order_release);
    SetLastError(refused ? ERROR_INVALID_OWNER : ERROR_SUCCESS);
    return !refused;
}

bool pinLogFolder(const wchar_t* path)
{
    if (!path)
        return pinLogFolder(nullptr, nullptr);
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    while (length > 3 && length < MAX_PATH && isSeparator(full[length - 1]))
        --length;
    const orn::unique_file folder = length && length < MAX_PATH
                                        ? orn::openPlainFolder(full, length, orn::LevelUse::walk)
                                        : orn::unique_file();
    return folder && pinLogFolder(path, folder.get());
}

SECURITY_ATTRIBUTES* logFileSecurityAttributes()
{
    struct Made {
        Made() : descriptor(descriptorFrom(ORN_LOG_FILE_ACCESS))
        {
            // Throwing leaves them unmade, so the next use tries again.
            if (!descriptor && GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
                throw std::bad_alloc();
        }
        orn::unique_hlocal descriptor;
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    };
    // Never released, as the cabinet library is not: a pool writer may
    // still create a file while a program's exit runs the destructors.
    static Made& made = *new Made;
    return made.descriptor ? &made.attributes : nullptr;
}

}  // namespace LogUtils
