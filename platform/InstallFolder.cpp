#include "InstallFolder.h"

#include "FolderLevels.h"
#include "UniqueResource.h"

#include <sddl.h>

#include <cwchar>

// LocalSystem, Administrators and TrustedInstaller (the account Windows
// updates its own files with) full control, users read and execute.
#define ORN_INSTALL_FOLDER_ACCESS                                                                  \
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"                                                     \
    L"(A;OICI;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"                \
    L"(A;OICI;0x001200a9;;;BU)"

namespace orn {

namespace {

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// What lets another account move the folder away, or its list and owner.
constexpr ACCESS_MASK controlRights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;

// A token that is no account in particular: the caller's own, every account
// and group in it deny-only but Everyone, no privileges.
unique_handle anyAccountToken()
{
    unique_handle own, restricted, impersonation;
    union {
        TOKEN_GROUPS groups;
        BYTE bytes[16384];
    } groups;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.put()) ||
        !GetTokenInformation(own.get(), TokenGroups, &groups, sizeof groups, &size) ||
        !GetTokenInformation(own.get(), TokenUser, &user, sizeof user, &size))
        return unique_handle();
    std::vector<SID_AND_ATTRIBUTES> disabled{user.user.User};
    for (DWORD i = 0; i < groups.groups.GroupCount; ++i) {
        if (!IsWellKnownSid(groups.groups.Groups[i].Sid, WinWorldSid))
            disabled.push_back(groups.groups.Groups[i]);
    }
    for (SID_AND_ATTRIBUTES& each : disabled)
        each.Attributes = 0;
    if (!CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE,
                               static_cast<DWORD>(disabled.size()), disabled.data(), 0, nullptr, 0,
                               nullptr, restricted.put()) ||
        !DuplicateToken(restricted.get(), SecurityIdentification, impersonation.put()))
        return unique_handle();
    return impersonation;
}

// Whether any account not trusted may move the folder away or change its
// list or owner, decided by the system's access check: the folder's list,
// every allowing entry of an account not trusted given to Everyone, checked
// for a token holding Everyone alone. Denying entries are left out, which can
// only refuse more. The owner must be trusted (ERROR_INVALID_OWNER).
bool onlyTrustedControl(HANDLE folder)
{
    const unique_hlocal descriptor =
        objectSecurity(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    ACL* list = nullptr;
    if (!descriptor || !GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &list, &defaulted))
        return false;
    if (!owner || !isTrustedAccount(owner)) {
        SetLastError(ERROR_INVALID_OWNER);
        return false;
    }
    // No list: every account may do everything.
    SetLastError(ERROR_ACCESS_DENIED);
    if (!present || !list)
        return false;
    unique_hlocal everyone;
    if (!ConvertStringSidToSidW(L"S-1-1-0", everyone.put()))
        return false;
    const DWORD capacity = list->AclSize + list->AceCount * SECURITY_MAX_SID_SIZE + sizeof(ACL);
    unique_hlocal others(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, capacity));
    ACL* checked = static_cast<ACL*>(others.get());
    if (!checked || !InitializeAcl(checked, capacity, ACL_REVISION))
        return false;
    for (DWORD i = 0; i < list->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(list, i, reinterpret_cast<void**>(&entry)))
            return false;
        if (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            !isTrustedAccount(&entry->SidStart) &&
            !AddAccessAllowedAceEx(checked, ACL_REVISION, entry->Header.AceFlags, entry->Mask,
                                   everyone.get()))
            return false;
    }
    SECURITY_DESCRIPTOR copy;
    unique_hlocal system;
    if (!InitializeSecurityDescriptor(&copy, SECURITY_DESCRIPTOR_REVISION) ||
        !ConvertStringSidToSidW(L"S-1-5-18", system.put()) ||
        !SetSecurityDescriptorOwner(&copy, system.get(), FALSE) ||
        !SetSecurityDescriptorGroup(&copy, system.get(), FALSE) ||
        !SetSecurityDescriptorDacl(&copy, TRUE, checked, FALSE))
        return false;
    const unique_handle token = anyAccountToken();
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privilegesSize = sizeof privileges, granted = 0;
    BOOL status = FALSE;
    if (!token || !AccessCheck(&copy, token.get(), MAXIMUM_ALLOWED, &mapping, &privileges,
                               &privilegesSize, &granted, &status))
        return false;
    SetLastError(status && (granted & controlRights) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
    return !(status && (granted & controlRights));
}

// Each folder from the volume's root down to the one that holds the install
// folder (length characters of path), checked; that one's handle.
unique_file openTrustedParent(const wchar_t* path, std::size_t length, std::wstring& refusedAt)
{
    unique_file folder;
    for (std::size_t end = 3; end <= length; ++end) {
        if (end != 3 && end != length && !isSeparator(path[end]))
            continue;
        folder = openPlainFolder(path, end, LevelUse::takeOver);
        if (!folder || !onlyTrustedControl(folder.get())) {
            const DWORD error = GetLastError();
            folder.reset();
            refusedAt.assign(path, end);
            SetLastError(error);
            return folder;
        }
    }
    return folder;
}

}  // namespace

bool secureInstallFolder(const wchar_t* path, const std::vector<std::wstring>& subfolders,
                         FolderIdentity& identity, std::wstring& refusedAt)
{
    refusedAt = path;
    std::size_t length = std::wcslen(path);
    while (length > 0 && isSeparator(path[length - 1]))
        --length;
    std::size_t parentLength = length;
    while (parentLength > 0 && !isSeparator(path[parentLength - 1]))
        --parentLength;
    // A drive's root ("C:\") is no folder of the product's own to re-permission.
    if (length < 4 || parentLength < 3 || path[1] != L':') {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    const std::wstring name(path + parentLength, length - parentLength);
    unique_hlocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            ORN_INSTALL_FOLDER_ACCESS, SDDL_REVISION_1, descriptor.put(), nullptr))
        return false;
    const unique_file parent =
        openTrustedParent(path, parentLength > 3 ? parentLength - 1 : parentLength, refusedAt);
    if (!parent)
        return false;
    refusedAt.assign(path, length);
    const unique_file folder = takeOverLevel(parent.get(), name.c_str(), descriptor.get(), true);
    BY_HANDLE_FILE_INFORMATION information;
    if (!folder || !GetFileInformationByHandle(folder.get(), &information))
        return false;
    identity.volume = information.dwVolumeSerialNumber;
    identity.index =
        static_cast<LONGLONG>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    for (const std::wstring& subfolder : subfolders) {
        // A missing one is made by the installer, inheriting the list.
        if (!takeOverLevel(folder.get(), subfolder.c_str(), descriptor.get(), false) &&
            GetLastError() != ERROR_FILE_NOT_FOUND) {
            refusedAt.append(L"\\").append(subfolder);
            return false;
        }
    }
    return true;
}

bool checkInstalledFiles(const wchar_t* path, const FolderIdentity& identity,
                         const std::vector<std::wstring>& files, std::wstring& failedAt)
{
    failedAt = path;
    std::size_t length = std::wcslen(path);
    while (length > 3 && isSeparator(path[length - 1]))
        --length;
    const unique_file folder = openPlainFolder(path, length, LevelUse::takeOver);
    BY_HANDLE_FILE_INFORMATION information;
    if (!folder || !GetFileInformationByHandle(folder.get(), &information))
        return false;
    if (information.dwVolumeSerialNumber != identity.volume ||
        (static_cast<LONGLONG>(information.nFileIndexHigh) << 32 | information.nFileIndexLow) !=
            identity.index) {
        SetLastError(ERROR_FILE_INVALID);
        return false;
    }
    for (const std::wstring& file : files) {
        failedAt.assign(path, length);
        unique_file level;
        HANDLE parent = folder.get();
        for (std::size_t start = 0; start <= file.size();) {
            std::size_t end = file.find(L'\\', start);
            const bool last = end == std::wstring::npos;
            end = last ? file.size() : end;
            const std::wstring name = file.substr(start, end - start);
            failedAt.append(L"\\").append(name);
            FolderEntry entry;
            FILE_STANDARD_INFO standard;
            unique_file opened;
            if (!findEntry(parent, name.c_str(), entry) ||
                !(opened = openEntry(parent, entry, READ_CONTROL)) ||
                !GetFileInformationByHandleEx(opened.get(), FileStandardInfo, &standard,
                                              sizeof standard) ||
                !isTrustedOwner(opened.get()))
                return false;
            const bool isFolder =
                standard.Directory && !(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
            const bool isFile = !standard.Directory && standard.NumberOfLinks == 1 &&
                                !(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
            if (last ? !isFile : !isFolder) {
                SetLastError(ERROR_CANT_ACCESS_FILE);
                return false;
            }
            level = std::move(opened);
            parent = level.get();
            start = end + 1;
        }
    }
    return true;
}

}  // namespace orn
