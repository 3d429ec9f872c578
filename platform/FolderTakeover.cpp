#include "FolderLevels.h"

#include "FolderLevelsDetail.h"

#include <ntsecapi.h>

#include <cwchar>

// What only the installer's actions do below the product's folders: list a
// level, open its entries as themselves, move them aside, take a level
// over. Apart from the walk (FolderLevels.cpp), so that the module links
// none of it.

namespace orn {

using namespace detail;

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
