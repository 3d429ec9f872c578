#pragma once
// The scan launcher: turns one selected path into a running on-demand scan by
// starting the agent with a command line that names the scan library's
// context-menu entry point and the path. It does not wait for the scan. The
// agent starts in its own folder, whatever folder the host is in.

#include <windows.h>

class CCorvaneExtHelper {
public:
    // How the agent is started: through the shell ("open"), as the classic
    // menu does, or created outside the package of the process that starts
    // it (the Explorer command, in its package's surrogate).
    enum class Route { shell, outsidePackage };

    // E_INVALIDARG for a null or empty path; otherwise S_OK, whatever the
    // launch itself gives (the window is not used). Throws std::bad_alloc
    // only when the log manager runs out of memory.
    HRESULT StartScan(HWND window, const wchar_t* targetPath, Route route = Route::shell);

    // S_OK once the agent was asked to start; E_INVALIDARG when the
    // installation cannot be found or the command line would not fit.
    HRESULT LaunchScan(const wchar_t* targetPath, Route route = Route::shell);
};
