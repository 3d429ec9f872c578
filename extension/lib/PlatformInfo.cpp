#include "PlatformInfo.h"

#include "LogRecord.h"

namespace {

const char sourceUnit[] = ".\\Src\\PlatformInfo";
const char component[] = "zuCpLib";

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

}  // namespace

bool IsWow64()
{
    return platform_detail::IsWow64In("kernel32", GetCurrentProcess());
}

bool platform_detail::IsWow64In(const char* moduleName, HANDLE process)
{
    // Looked up at run time: platforms before XP SP2 lack the function.
    const FARPROC proc = GetProcAddress(GetModuleHandleA(moduleName), "IsWow64Process");
    if (!proc) {
        LogRecord(sourceUnit, __LINE__, LevelDebug, component, defaultLogManager())
            .print("IsWow64Process API isn't defined in kernel32.");
        return false;
    }
    const auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(proc));
    BOOL wow64 = FALSE;
    if (!isWow64Process(process, &wow64)) {
        // Read before the record is built, which could itself touch it.
        const DWORD error = GetLastError();
        LogRecord(sourceUnit, __LINE__, LevelWarning, component, defaultLogManager())
            .print("IsWow64Process failed with %d error", static_cast<int>(error));
        return false;
    }
    return wow64 != FALSE;
}
