#include "FolderLevels.h"

#include "FolderLevelsDetail.h"

#include <sddl.h>

#include <cwchar>

namespace orn {

SetObjectSecurity setObjectSecurity = &SetKernelObjectSecurity;
GetObjectSecurity getObjectSecurity = &GetKernelObjectSecurity;

namespace detail {

// Reading the owner too: a privileged writer asks who owns the log folder.
constexpr ACCESS_MASK walkAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// What a level's open falls back to when a user holds it without sharing.
constexpr ACCESS_MASK heldLevelAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
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
                         ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR made)
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

// The parent's entry at name, without allocating: the module reads it while
// it makes the log folder, where nothing may throw.
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

}  // namespace detail

using namespace detail;

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

}  // namespace

unique_file detail::openLevelAs(HANDLE parent, const wchar_t* name, LevelUse use, ULONG disposition,
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

unique_file openLevel(HANDLE parent, const wchar_t* name, LevelUse use, PSECURITY_DESCRIPTOR made)
{
    return openLevelAs(parent, name, use, FILE_OPEN_IF, made);
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

}  // namespace orn
