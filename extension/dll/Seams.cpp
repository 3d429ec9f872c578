// Test builds only (OrnShExtSeams.dll): failures that Wine cannot produce on
// demand, counted from the module's load.

#include "Module.h"

#include <cwchar>

namespace {

bool failNth(const wchar_t* variable, long& calls) noexcept
{
    wchar_t text[16];
    const DWORD length = GetEnvironmentVariableW(variable, text, 16);
    if (length == 0 || length >= 16)
        return false;
    return ++calls == std::wcstol(text, nullptr, 10);
}

long criticalSections = 0;
long allocations = 0;

}  // namespace

namespace orn::seams {

bool failCriticalSection() noexcept
{
    return failNth(L"ORN_SEAM_FAIL_CRITSEC", criticalSections);
}

bool failAllocation() noexcept
{
    return failNth(L"ORN_SEAM_FAIL_ALLOC", allocations);
}

}  // namespace orn::seams
