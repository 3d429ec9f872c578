#pragma once
// Security descriptors as the code builds or applies them, parsed entry by
// entry. Wine keeps no descriptor on files or folders (one read back is made
// from the Unix mode), so what the code would set is recorded in place of
// setting it, through the one seam every owner and access list goes through.

#include "FolderLevels.h"

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

struct AccessEntry {
    std::string sid;
    BYTE flags;
    DWORD mask;
    bool operator==(const AccessEntry& other) const
    {
        return sid == other.sid && flags == other.flags && mask == other.mask;
    }
};

inline void PrintTo(const AccessEntry& entry, std::ostream* out)
{
    *out << entry.sid << " flags " << int(entry.flags) << " mask 0x" << std::hex << entry.mask;
}

inline std::string sidText(PSID sid)
{
    orn::unique_hlocal text;
    if (!sid || !ConvertSidToStringSidA(sid, reinterpret_cast<char**>(text.put())))
        return "";
    return static_cast<const char*>(text.get());
}

// The parts of a descriptor; the access list of allowed entries only (an
// entry of another type shows as "?").
struct Descriptor {
    std::string owner, group;
    bool isProtected = false;
    bool hasList = false;  // present and not defaulted
    std::vector<AccessEntry> entries;
};

inline Descriptor parseDescriptor(PSECURITY_DESCRIPTOR descriptor)
{
    Descriptor parsed;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    ACL* acl = nullptr;
    if (!descriptor || !GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorGroup(descriptor, &group, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted))
        return parsed;
    parsed.owner = sidText(owner);
    parsed.group = sidText(group);
    parsed.isProtected = (control & SE_DACL_PROTECTED) != 0;
    parsed.hasList = present && acl && !defaulted;
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace)))
            continue;
        parsed.entries.push_back(
            {ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? sidText(&ace->SidStart) : "?",
             ace->Header.AceFlags, ace->Mask});
    }
    return parsed;
}

// A descriptor written as SDDL text, parsed.
inline Descriptor parseSddl(const wchar_t* text)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return Descriptor();
    const Descriptor parsed = parseDescriptor(descriptor);
    LocalFree(descriptor);
    return parsed;
}

// The object's final path, "\\?\C:\..." written as the code's own paths are.
inline std::wstring finalPath(HANDLE object)
{
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD length = GetFinalPathNameByHandleW(object, path, MAX_PATH + 8, 0);
    return length > 4 && path[2] == L'?' ? path + 4 : path;
}

// Records, while it lives, every owner and access list the code sets, with
// the final path of the object it would set them on, and sets nothing.
class SecurityRecorder {
public:
    struct Applied {
        std::wstring path;
        SECURITY_INFORMATION parts;
        Descriptor descriptor;
    };

    SecurityRecorder() : previous_(orn::setObjectSecurity)
    {
        current() = this;
        orn::setObjectSecurity = &record;
    }
    ~SecurityRecorder()
    {
        orn::setObjectSecurity = previous_;
        current() = nullptr;
    }
    SecurityRecorder(const SecurityRecorder&) = delete;
    SecurityRecorder& operator=(const SecurityRecorder&) = delete;

    std::vector<Applied> applied;

    // What was set on the object at path (a full path as the code reached
    // it); null when nothing was.
    const Applied* on(const std::wstring& path) const
    {
        for (const Applied& each : applied) {
            if (CompareStringOrdinal(each.path.c_str(), -1, path.c_str(), -1, TRUE) ==
                CSTR_EQUAL)
                return &each;
        }
        return nullptr;
    }

private:
    static SecurityRecorder*& current()
    {
        static SecurityRecorder* recorder = nullptr;
        return recorder;
    }

    static BOOL WINAPI record(HANDLE object, SECURITY_INFORMATION parts,
                              PSECURITY_DESCRIPTOR descriptor)
    {
        current()->applied.push_back({finalPath(object), parts, parseDescriptor(descriptor)});
        return TRUE;
    }

    orn::SetObjectSecurity previous_;
};

// Plays, while it lives, the owners and lists Wine does not keep: what the
// code reads of an object at a path given to play() is that descriptor
// (SDDL, whole); of any other, what Wine reports.
class DescriptorPlayer {
public:
    DescriptorPlayer() : previous_(orn::getObjectSecurity)
    {
        current() = this;
        orn::getObjectSecurity = &read;
    }
    ~DescriptorPlayer()
    {
        orn::getObjectSecurity = previous_;
        current() = nullptr;
    }
    DescriptorPlayer(const DescriptorPlayer&) = delete;
    DescriptorPlayer& operator=(const DescriptorPlayer&) = delete;

    void play(const std::wstring& path, const wchar_t* sddl) { played_.push_back({path, sddl}); }

private:
    static DescriptorPlayer*& current()
    {
        static DescriptorPlayer* player = nullptr;
        return player;
    }

    static BOOL WINAPI read(HANDLE object, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR out,
                            DWORD size, LPDWORD needed)
    {
        const std::wstring path = finalPath(object);
        for (const auto& each : current()->played_) {
            if (CompareStringOrdinal(each.first.c_str(), -1, path.c_str(), -1, TRUE) !=
                CSTR_EQUAL)
                continue;
            orn::unique_hlocal descriptor;
            if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                    each.second, SDDL_REVISION_1, descriptor.put(), nullptr))
                return FALSE;
            *needed = GetSecurityDescriptorLength(descriptor.get());
            if (size < *needed) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            std::memcpy(out, descriptor.get(), *needed);
            return TRUE;
        }
        return GetKernelObjectSecurity(object, parts, out, size, needed);
    }

    orn::GetObjectSecurity previous_;
    std::vector<std::pair<std::wstring, const wchar_t*>> played_;
};

// An ordinary account, as an owner Wine never shows.
inline const wchar_t* const userOwned = L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)";

// Well-known accounts of the product's lists.
inline const char* const localSystem = "S-1-5-18";
inline const char* const administrators = "S-1-5-32-544";
inline const char* const users = "S-1-5-32-545";
inline const char* const trustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

}  // namespace testsupport
