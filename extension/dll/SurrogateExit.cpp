#include "SurrogateExit.h"

#include "Module.h"

#include <atomic>
#include <cwchar>

namespace {

constexpr wchar_t windowClass[] = L"OrnShExtPackageSurrogate";
// A package family name's longest, terminator included.
constexpr UINT32 familyChars = 65;

bool inOwnPackage() noexcept
{
    using CurrentPackageFamilyName = LONG(WINAPI*)(UINT32*, PWSTR);
    const auto currentFamily = reinterpret_cast<CurrentPackageFamilyName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetCurrentPackageFamilyName")));
    wchar_t family[familyChars];
    UINT32 chars = familyChars;
    return currentFamily && currentFamily(&chars, family) == ERROR_SUCCESS &&
           _wcsicmp(family, ORN_PACKAGE_FAMILY) == 0;
}

LRESULT CALLBACK servicingMessages(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUERYENDSESSION: return TRUE;
    case WM_ENDSESSION:
        if (wParam)
            ExitProcess(0);
        return 0;
    case WM_CLOSE: ExitProcess(0); return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Holds a reference to the module while its window lives, and lets it go
// as the thread ends.
DWORD WINAPI servicingWindow(void* module)
{
    WNDCLASSW windowClassInfo = {};
    windowClassInfo.lpfnWndProc = &servicingMessages;
    windowClassInfo.hInstance = g_moduleInstance;
    windowClassInfo.lpszClassName = windowClass;
    RegisterClassW(&windowClassInfo);
    const HWND window = CreateWindowExW(0, windowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, g_moduleInstance, nullptr);
    MSG message;
    while (window && GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    if (window)
        DestroyWindow(window);
    UnregisterClassW(windowClass, g_moduleInstance);
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

}  // namespace

void EndSurrogateWithServicing() noexcept
{
    static std::atomic<bool> asked{false};
    if (asked.exchange(true) || !inOwnPackage())
        return;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&servicingMessages), &module))
        return;
    const HANDLE thread = CreateThread(nullptr, 0, &servicingWindow, module, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        FreeLibrary(module);
}
