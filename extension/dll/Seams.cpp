// Test builds only (OrnShExtSeams.dll): an allocation failure on demand,
// counted from the module's load.

#include "Module.h"

#include <cwchar>

namespace orn::seams {

bool failAllocation() noexcept
{
    static long allocations = 0;
    wchar_t text[16];
    const DWORD length = GetEnvironmentVariableW(L"ORN_SEAM_FAIL_ALLOC", text, 16);
    if (length == 0 || length >= 16)
        return false;
    return ++allocations == std::wcstol(text, nullptr, 10);
}

}  // namespace orn::seams
