#pragma once
// Calls of a loaded module to the system, sent to a function of the test by
// their entries in the module's import address table, which is gone with the
// module: to count them, to record their arguments, or to answer as Windows
// would where Wine cannot. No GoogleTest here: callers check the count.

#include <windows.h>

namespace testsupport {

// How many entries now lead to the replacement.
inline int redirectImport(HMODULE module, void* function, void* replacement)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int patched = 0;
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name; ++library) {
        for (auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
             entry->u1.Function; ++entry) {
            if (reinterpret_cast<void*>(entry->u1.Function) != function)
                continue;
            DWORD protection = 0;
            VirtualProtect(&entry->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            entry->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&entry->u1.Function, sizeof(void*), protection, &protection);
            ++patched;
        }
    }
    return patched;
}

}  // namespace testsupport
