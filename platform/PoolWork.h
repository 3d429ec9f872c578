#pragma once
// Work for a thread of the process's pool that keeps the module this code is
// linked into loaded until it returns: an unload meanwhile waits for the
// work instead of pulling its code away.

#include <windows.h>

namespace orn {

inline HMODULE moduleOfThisCode()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&moduleOfThisCode), &module);
    return module;
}

inline bool submitHoldingModule(PTP_SIMPLE_CALLBACK work, void* context)
{
    TP_CALLBACK_ENVIRON environment;
    InitializeThreadpoolEnvironment(&environment);
    SetThreadpoolCallbackLibrary(&environment, moduleOfThisCode());
    const bool submitted = TrySubmitThreadpoolCallback(work, context, &environment) != FALSE;
    DestroyThreadpoolEnvironment(&environment);
    return submitted;
}

}  // namespace orn
