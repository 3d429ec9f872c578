#include "FolderLevels.h"

#include <ntsecapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cwchar>

// Declared by the driver kit's headers only.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                               PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING,
                                               BOOLEAN);

namespace orn {

SetObjectSecurity setObjectSecurity = &SetKernelObjectSecurity;
GetObjectSecurity getObjectSecurity = &GetKernelObjectSecurity;

namespace {

// Reading the owner too: a privileged writer asks who owns the log folder.
constexpr ACCESS_MASK walkAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// No right a sharing check applies to (reading, writing, executing or
// traversing, deleting): no handle a user holds can refuse it.
constexpr ACCESS_MASK takeOverAccess =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// What a level's open falls back to when a user holds it without sharing.
constexpr ACCESS_MASK heldLevelAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Without delete sharing: Windows then refuses to rename the level or its
// parents while it is held.
constexpr ULONG shareLevel = FILE_SHARE_READ | FILE_SHARE_WRITE;

ACCESS_MASK accessFor(LevelUse use)
{
    return use == LevelUse::takeOver ? takeOverAccess : walkAccess;
}

ULONG intentFor(LevelUse use)
{
    return use == LevelUse::takeOver ? FILE_OPEN_FOR_BACKUP_INTENT : 0;
}

constexpr NTSTATUS statusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);

// The status as the last error; true when it is a failure. A listing that
// finds nothing is a missing file.
bool failed(NTSTATUS status)
{
    if (status >= 0)
        return false;
    SetLastError(status == statusNoMoreFiles ? ERROR_FILE_NOT_FOUND
                                             : RtlNtStatusToDosError(status));
    return true;
}

UNICODE_STRING counted(const wchar_t* text, std::size_t length)
{
    UNICODE_STRING result;
    result.Buffer = const_cast<wchar_t*>(text);
    result.Length = result.MaximumLength = static_cast<USHORT>(length * sizeof(wchar_t));
    return result;
}

// The name inside parent, never following a link at it. One name only: a
// path would pass levels no one checked.
unique_file openRelative(const wchar_t* name, HANDLE parent, ACCESS_MASK access, ULONG share,
                         ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR made = nullptr)
{
    const std::size_t length = std::wcslen(name);
    if (length > MAX_PATH || std::wcspbrk(name, L"\\/")) {
        SetLastError(ERROR_INVALID_NAME);
        return unique_file();
    }
    UNICODE_STRING text = counted(name, length);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, made);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    if (failed(NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr,
                            FILE_ATTRIBUTE_NORMAL, share, disposition,
                            options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                            nullptr, 0)))
        return unique_file();
    return unique_file(handle);
}

// A handle keeps the mask of its first listing: each listing gets a handle
// of its own.
unique_file listingOf(HANDLE folder, LevelUse use)
{
    return openRelative(L"", folder, FILE_LIST_DIRECTORY, shareAll, FILE_OPEN,
                        FILE_DIRECTORY_FILE | intentFor(use));
}

bool isPlainFolder(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool isPlainFolder(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO tag;
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           isPlainFolder(tag.FileAttributes);
}

bool startsWith(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// The object's final path in its plain form; false when it does not fit.
//   \\?\C:\Logs\zuAgent.log           => C:\Logs\zuAgent.log
//   \\?\UNC\server\share\zuAgent.log  => \\server\share\zuAgent.log
bool finalPathOf(HANDLE handle, wchar_t (&final)[MAX_PATH + 8], const wchar_t*& path,
                 std::size_t& length)
{
    const DWORD capacity = MAX_PATH + 8;
    DWORD got =
        GetFinalPathNameByHandleW(handle, final, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0 || got >= capacity)
        return false;
    path = final;
    if (startsWith(final, L"\\\\?\\UNC\\")) {
        final[6] = L'\\';
        path = final + 6;
        got -= 6;
    } else if (startsWith(final, L"\\\\?\\")) {
        path = final + 4;
        got -= 4;
    }
    length = got;
    return true;
}

// The parent's entry at name, without allocating: the module reads it at
// load, where nothing may throw.
bool readEntry(HANDLE parent, const wchar_t* name, LevelUse use, DWORD& attributes, LONGLONG& index)
{
    const unique_file listing = listingOf(parent, use);
    if (!listing)
        return false;
    union {
        FILE_ID_BOTH_DIR_INFO information;
        BYTE bytes[sizeof(FILE_ID_BOTH_DIR_INFO) + MAX_PATH * sizeof(wchar_t)];
    } buffer;
    UNICODE_STRING mask = counted(name, std::wcslen(name));
    IO_STATUS_BLOCK status;
    if (failed(NtQueryDirectoryFile(listing.get(), nullptr, nullptr, nullptr, &status, &buffer,
                                    sizeof buffer, FileIdBothDirectoryInformation, TRUE, &mask,
                                    TRUE)))
        return false;
    const FILE_ID_BOTH_DIR_INFO& found = buffer.information;
    // Windows also matches the mask against short names.
    if (CompareStringOrdinal(found.FileName,
                             static_cast<int>(found.FileNameLength / sizeof(wchar_t)), name, -1,
                             TRUE) != CSTR_EQUAL) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    attributes = found.FileAttributes;
    index = found.FileId.QuadPart;
    return true;
}

}  // namespace

bool isReachedByPath(HANDLE handle, const wchar_t* path, std::size_t length)
{
    wchar_t final[MAX_PATH + 8];
    const wchar_t* found = nullptr;
    std::size_t foundLength = 0;
    return finalPathOf(handle, final, found, foundLength) &&
           CompareStringOrdinal(found, static_cast<int>(foundLength), path,
                                static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

bool fileIndex(HANDLE handle, LONGLONG& index)
{
    IO_STATUS_BLOCK status;
    LARGE_INTEGER internal;
    if (failed(NtQueryInformationFile(handle, &status, &internal, sizeof internal,
                                      FileInternalInformation)))
        return false;
    index = internal.QuadPart;
    return true;
}

bool renameWithoutReplacing(HANDLE object, HANDLE folder, const wchar_t* name)
{
    const std::size_t length = std::wcslen(name);
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // FILE_RENAME_INFO ends in a one-character array the name runs past.
    union {
        FILE_RENAME_INFO information;
        BYTE bytes[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    } request = {};
    request.information.ReplaceIfExists = FALSE;
    request.information.RootDirectory = folder;
    request.information.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    std::wmemcpy(request.information.FileName, name, length + 1);
    if (!folder)
        return SetFileInformationByHandle(object, FileRenameInfo, &request, sizeof request);
    // Relative to a handle: the native call, which takes the name as it is.
    IO_STATUS_BLOCK status;
    return !failed(
        NtSetInformationFile(object, &status, &request, sizeof request, FileRenameInformation));
}

unique_file openPlainFolder(const wchar_t* path, std::size_t length, LevelUse use)
{
    wchar_t folder[MAX_PATH];
    if (length >= MAX_PATH)
        return unique_file();
    std::wmemcpy(folder, path, length);
    folder[length] = L'\0';
    // Sharing is checked only for opens that read, write or delete: reading
    // the attributes alone would hold nothing in place.
    unique_file handle(CreateFileW(folder, accessFor(use), shareLevel, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    if (!handle || !isPlainFolder(handle.get()) || !isReachedByPath(handle.get(), folder, length))
        return unique_file();
    return handle;
}

bool listEntries(HANDLE folder, LevelUse use, std::vector<FolderEntry>& entries, std::size_t limit)
{
    const unique_file listing = listingOf(folder, use);
    if (!listing)
        return false;
    std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned for the entries
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK status;
        const NTSTATUS result =
            NtQueryDirectoryFile(listing.get(), nullptr, nullptr, nullptr, &status, buffer.data(),
                                 static_cast<ULONG>(buffer.size() * sizeof buffer[0]),
                                 FileIdBothDirectoryInformation, FALSE, nullptr, restart);
        if (result == statusNoMoreFiles)
            return true;
        if (failed(result))
            return false;
        const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;) {
            const auto& information = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const std::wstring name(information.FileName,
                                    information.FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                if (entries.size() == limit) {
                    SetLastError(ERROR_MORE_DATA);
                    return false;
                }
                entries.push_back({name, information.FileAttributes, information.FileId.QuadPart});
            }
            if (!information.NextEntryOffset)
                break;
            at += information.NextEntryOffset;
        }
    }
}

namespace {

// Whether the level opened at name in parent is the parent's plain folder
// of that name. A user holding the parent without sharing refuses its
// listing; the level's own final path then tells a followed link apart.
bool isLevelOf(HANDLE parent, const wchar_t* name, HANDLE level, LevelUse use)
{
    DWORD attributes = 0;
    LONGLONG listed = 0, opened = 0;
    if (!isPlainFolder(level) || !fileIndex(level, opened))
        return false;
    if (readEntry(parent, name, use, attributes, listed))
        return isPlainFolder(attributes) && opened == listed;
    wchar_t final[MAX_PATH + 8];
    const wchar_t* folder = nullptr;
    std::size_t length = 0;
    const std::size_t nameLength = std::wcslen(name);
    if (GetLastError() != ERROR_SHARING_VIOLATION || !finalPathOf(parent, final, folder, length) ||
        length + 1 + nameLength >= MAX_PATH)
        return false;
    wchar_t expected[MAX_PATH];
    std::wmemcpy(expected, folder, length);
    if (length == 0 || expected[length - 1] != L'\\')
        expected[length++] = L'\\';
    std::wmemcpy(expected + length, name, nameLength);
    return isReachedByPath(level, expected, length + nameLength);
}

unique_file openLevelAs(HANDLE parent, const wchar_t* name, LevelUse use, ULONG disposition,
                        PSECURITY_DESCRIPTOR made)
{
    const ULONG options = FILE_DIRECTORY_FILE | intentFor(use);
    unique_file level =
        openRelative(name, parent, accessFor(use), shareLevel, disposition, options, made);
    // A level a user holds without sharing is walked all the same, unheld.
    if (!level && use == LevelUse::walk && GetLastError() == ERROR_SHARING_VIOLATION)
        level = openRelative(name, parent, heldLevelAccess, shareAll, disposition, options, made);
    if (level && !isLevelOf(parent, name, level.get(), use)) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return unique_file();
    }
    return level;
}

}  // namespace

unique_file openLevel(HANDLE parent, const wchar_t* name, LevelUse use, PSECURITY_DESCRIPTOR made)
{
    return openLevelAs(parent, name, use, FILE_OPEN_IF, made);
}

unique_file openEntry(HANDLE parent, const FolderEntry& entry, ACCESS_MASK access)
{
    // Backup intent: an installer's action may meet an entry whose list
    // refuses it; without the privileges it changes nothing.
    unique_file handle = openRelative(entry.name.c_str(), parent, access | FILE_READ_ATTRIBUTES,
                                      shareAll, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
    if (!handle)
        return handle;
    // A reparse point opened as anything but itself was followed; so was one
    // whose final path is not its own.
    FILE_ATTRIBUTE_TAG_INFO tag;
    LONGLONG index = 0;
    wchar_t final[MAX_PATH + 8];
    const wchar_t* folder = nullptr;
    std::size_t length = 0;
    if (!GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) !=
            (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !fileIndex(handle.get(), index) || index != entry.index ||
        !finalPathOf(parent, final, folder, length)) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return unique_file();
    }
    std::wstring path(folder, length);
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    path += entry.name;
    if (!isReachedByPath(handle.get(), path.c_str(), path.size())) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return unique_file();
    }
    return handle;
}

// "<name>.moved-<128 random bits>": a name nobody can take first.
bool moveAside(HANDLE parent, const FolderEntry& entry)
{
    const unique_file moved = openEntry(parent, entry, DELETE);
    if (!moved)
        return false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        unsigned char random[16];
        if (!RtlGenRandom(random, sizeof random))
            return false;
        std::wstring name = entry.name + L".moved-";
        for (unsigned char byte : random) {
            name += L"0123456789abcdef"[byte >> 4];
            name += L"0123456789abcdef"[byte & 15];
        }
        if (renameWithoutReplacing(moved.get(), parent, name.c_str()))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

bool findEntry(HANDLE parent, const wchar_t* name, FolderEntry& entry)
{
    entry.name = name;
    if (readEntry(parent, name, LevelUse::takeOver, entry.attributes, entry.index))
        return true;
    if (GetLastError() != ERROR_SHARING_VIOLATION)
        return false;
    const unique_file opened = openRelative(name, parent, takeOverAccess, shareAll, FILE_OPEN,
                                            intentFor(LevelUse::takeOver));
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!opened ||
        !GetFileInformationByHandleEx(opened.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        !fileIndex(opened.get(), entry.index))
        return false;
    entry.attributes = tag.FileAttributes;
    return true;
}

namespace {

// The process's own account, for isTrustedOwner.
bool isOwnAccount(PSID sid)
{
    unique_handle token;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
           GetTokenInformation(token.get(), TokenUser, &buffer, sizeof buffer, &size) &&
           EqualSid(buffer.user.User.Sid, sid);
}

}  // namespace

unique_hlocal objectSecurity(HANDLE object, SECURITY_INFORMATION parts)
{
    DWORD size = 0;
    getObjectSecurity(object, parts, nullptr, 0, &size);
    if (!size)
        return unique_hlocal();
    unique_hlocal descriptor(LocalAlloc(LMEM_FIXED, size));
    if (!descriptor || !getObjectSecurity(object, parts, descriptor.get(), size, &size))
        return unique_hlocal();
    return descriptor;
}

bool isTrustedAccount(PSID sid)
{
    const WELL_KNOWN_SID_TYPE trusted[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (WELL_KNOWN_SID_TYPE type : trusted) {
        if (IsWellKnownSid(sid, type))
            return true;
    }
    unique_hlocal trustedInstaller;
    if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                               trustedInstaller.put()) &&
        EqualSid(sid, trustedInstaller.get()))
        return true;
    // On Windows the installer's actions and the services run as
    // LocalSystem; where the system knows one account only, everything is
    // that account's.
    return isOwnAccount(sid);
}

bool isTrustedOwner(HANDLE object)
{
    const unique_hlocal descriptor = objectSecurity(object, OWNER_SECURITY_INFORMATION);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    return descriptor && GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) &&
           owner && isTrustedAccount(owner);
}

unique_file takeOverLevel(HANDLE parent, const wchar_t* name, PSECURITY_DESCRIPTOR descriptor,
                          bool make)
{
    FolderEntry entry;
    bool found = findEntry(parent, name, entry);
    if (!found && GetLastError() != ERROR_FILE_NOT_FOUND)
        return unique_file();
    unique_file level;
    if (found && isPlainFolder(entry.attributes)) {
        level = openLevelAs(parent, name, LevelUse::takeOver, FILE_OPEN, nullptr);
        if (!level)
            return level;
        // Another account's folder keeps its contents and every handle
        // opened on it before (rights are checked at the open): it goes whole.
        if (!isTrustedOwner(level.get()))
            level.reset();
    }
    if (found && !level) {
        if (!moveAside(parent, entry))
            return unique_file();
        found = false;
    }
    if (!found) {
        if (!make) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return unique_file();
        }
        // Create-new: a folder someone put there meanwhile fails it.
        level = openLevelAs(parent, name, LevelUse::takeOver, FILE_CREATE, descriptor);
    }
    if (!level || !takeOver(level.get(), descriptor))
        return unique_file();
    return level;
}

bool takeOver(HANDLE object, PSECURITY_DESCRIPTOR descriptor)
{
    return setObjectSecurity(object,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                 PROTECTED_DACL_SECURITY_INFORMATION,
                             descriptor) != FALSE;
}

}  // namespace orn
