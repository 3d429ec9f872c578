#pragma once
// The module object and the process-wide values the entry points share.

#include <windows.h>

#include <atomic>

// The lock count that keeps the module loaded: one for each live handler
// object, one for each reference a client holds on a class object, and the
// balance of LockServer. Constant-initialised, so it is ready before any
// constructor of the module runs.
class COrnShExtModule {
public:
    LONG AddLock() noexcept { return ++lockCount_; }
    LONG ReleaseLock() noexcept { return --lockCount_; }
    LONG LockCount() const noexcept { return lockCount_.load(); }

private:
    std::atomic<LONG> lockCount_{0};
};

extern COrnShExtModule g_module;
// Recorded by DllMain on every call; images, strings and scripts load from it.
extern HINSTANCE g_moduleInstance;

// The module's application identity, the registry scripts' %APPID%; the
// installer's registry rows take it from Module.cpp.
extern const wchar_t APPID_OrnShExtText[];

// An error diagnostic of a handler; unit names its source file in the log.
void logError(const char* unit, int line, const char* message);

#ifdef ORN_TEST_SEAMS
// Test builds only: fail the nth object allocation made while the
// environment variable ORN_SEAM_FAIL_ALLOC holds n.
namespace orn::seams {
bool failAllocation() noexcept;
}  // namespace orn::seams
#endif
