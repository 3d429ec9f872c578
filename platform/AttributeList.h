#pragma once
// A process-creation attribute list in storage of its own, deleted with it:
// what both starts with attributes need (the agent outside a package, the
// installer's PowerShell with only its own handles).

#include "UniqueResource.h"

#include <windows.h>

#include <vector>

namespace orn {

class attribute_list {
public:
    // Room for count attributes; get() is null when the list cannot be made.
    // Throws std::bad_alloc only when memory runs out.
    explicit attribute_list(DWORD count)
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, count, 0, &size);
        storage_.resize(size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size && InitializeProcThreadAttributeList(list, count, 0, &size))
            list_.reset(list);
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_.get(); }

private:
    // Declared first: the list is deleted before its storage goes.
    std::vector<BYTE> storage_;
    unique_resource<LPPROC_THREAD_ATTRIBUTE_LIST, closer<&DeleteProcThreadAttributeList>> list_;
};

}  // namespace orn
