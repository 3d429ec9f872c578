#pragma once
// Security descriptors as the code builds or applies them, parsed entry by
// entry. Wine keeps no descriptor on files or folders (one read back is made
// from the Unix mode), so what the code would set is recorded in place of
// setting it, through the one seam every owner and access list goes through.

#include "FolderLevels.h"

#include <windows.h>
#include <sddl.h>

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
        wchar_t path[MAX_PATH + 8] = {};
        const DWORD length = GetFinalPathNameByHandleW(object, path, MAX_PATH + 8, 0);
        // "\\?\C:\..." as the code's own paths are written.
        const wchar_t* plain = length > 4 && path[2] == L'?' ? path + 4 : path;
        current()->applied.push_back({plain, parts, parseDescriptor(descriptor)});
        return TRUE;
    }

    orn::SetObjectSecurity previous_;
};

// Well-known accounts of the product's lists.
inline const char* const localSystem = "S-1-5-18";
inline const char* const administrators = "S-1-5-32-544";
inline const char* const users = "S-1-5-32-545";
inline const char* const trustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

}  // namespace testsupport
