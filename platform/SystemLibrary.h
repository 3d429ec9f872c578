#pragma once
// Windows libraries that are no known DLLs (Cabinet.dll, WSOCK32.dll): as
// imports of a module loaded by its full path, as COM loads it, the loader
// would look for them in the module's own folder first, and a DLL put there
// would run in every process that loads the module. They are loaded from the
// system folder only, when first needed, and held for the module's life: the
// holder is a static its users reach through a function-local static of
// their own, made after it and so released before it at unload.

#include "UniqueResource.h"

#include <windows.h>

namespace orn {

class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* name)
        : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
    }

    // A procedure by name, or by ordinal (MAKEINTRESOURCEA); null when the
    // library or the procedure is missing.
    template <typename F>
    F procedure(const char* name) const
    {
        return module_ ? reinterpret_cast<F>(
                             reinterpret_cast<void*>(GetProcAddress(module_.get(), name)))
                       : nullptr;
    }

private:
    unique_hmodule module_;
};

}  // namespace orn
