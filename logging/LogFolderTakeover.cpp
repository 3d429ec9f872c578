#include "LogFolderTakeover.h"

#include "FolderLevels.h"
#include "LogAccess.h"
#include "SafeLogFile.h"

#include <vector>

namespace LogUtils {

namespace {

// At most this many entries of the log folder are examined at one
// installation, so that a folder anyone may fill cannot hold it up; the
// rest wait for the next repair.
constexpr std::size_t oldFilesExamined = 10000;

// Logs and cabinets of earlier versions (created with Everyone full control)
// get the log files' list. Each plain file is opened as itself, through the
// folder's handle. Another name of a file elsewhere (a hard link), or a file
// another account owns, is renamed aside instead: its list is not the
// product's to set, and its owner could set it back.
bool secureLogFiles(HANDLE folder, PSECURITY_DESCRIPTOR files)
{
    std::vector<orn::FolderEntry> entries;
    DWORD error = orn::listEntries(folder, orn::LevelUse::takeOver, entries, oldFilesExamined)
                      ? ERROR_SUCCESS
                      : GetLastError();
    for (const orn::FolderEntry& entry : entries) {
        if (entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const orn::unique_file file = orn::openEntry(folder, entry, READ_CONTROL | WRITE_DAC);
        FILE_STANDARD_INFO standard;
        if (!file ||
            !GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard,
                                          sizeof standard) ||
            standard.Directory)
            continue;
        const bool secured = standard.NumberOfLinks == 1 && orn::isTrustedOwner(file.get())
                                 ? orn::setObjectSecurity(file.get(),
                                                          DACL_SECURITY_INFORMATION |
                                                              PROTECTED_DACL_SECURITY_INFORMATION,
                                                          files) != FALSE
                                 : orn::moveAside(folder, entry);
        if (!secured)
            error = GetLastError();
    }
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

}  // namespace

bool takeOverLogFolder(const wchar_t* path, std::size_t trustedLength)
{
    // Administrators own each level.
    struct Lists {
        orn::unique_hlocal vendor = descriptorFrom(ORN_LEVEL_OWNER ORN_VENDOR_FOLDER_ACCESS);
        orn::unique_hlocal folder = descriptorFrom(ORN_LEVEL_OWNER ORN_LOG_FOLDER_ACCESS);
        orn::unique_hlocal files = descriptorFrom(ORN_LOG_FILE_ACCESS);
    } lists;
    if (!lists.vendor || !lists.folder || !lists.files)
        return false;
    return walkLogFolder(
        path, trustedLength,
        [](HANDLE parent, const wchar_t* name, bool last, void* context) {
            const auto& made = *static_cast<const Lists*>(context);
            orn::unique_file level = orn::takeOverLevel(
                parent, name, last ? made.folder.get() : made.vendor.get(), true);
            if (level && last && !secureLogFiles(level.get(), made.files.get()))
                level.reset();
            return level;
        },
        &lists, nullptr);
}

bool takeOverCommonLogFolder(wchar_t (&path)[MAX_PATH])
{
    std::size_t trusted = 0;
    return commonLogFolderPath(path, trusted) && takeOverLogFolder(path, trusted);
}

}  // namespace LogUtils
