#pragma once
// The scan launcher: turns one selected path into a running on-demand scan by
// starting the agent with a command line that names the scan library's
// context-menu entry point and the path. It does not wait for the scan. The
// agent starts in its own folder, whatever folder the host is in.

#include <windows.h>

#include "PlatformInfo.h"

class CCorvaneExtHelper {
public:
    CCorvaneExtHelper() = default;
    virtual ~CCorvaneExtHelper() = default;
    CCorvaneExtHelper(const CCorvaneExtHelper&) = delete;
    CCorvaneExtHelper& operator=(const CCorvaneExtHelper&) = delete;

    // E_INVALIDARG for a null or empty path; otherwise S_OK, whatever the
    // launch itself gives (the window is not used). Throws nothing: memory
    // running out gives E_OUTOFMEMORY.
    HRESULT StartScan(HWND window, const wchar_t* targetPath);

    // StartScan for a caller that runs inside a package (the Explorer
    // command, in the package's surrogate): the same command line, but the
    // agent is created outside the package, so that removing or updating the
    // package does not end a running scan.
    HRESULT StartScanOutsidePackage(const wchar_t* targetPath);

    // S_OK once the shell has been asked to start the agent; E_INVALIDARG when
    // the installation cannot be found or the command line would not fit.
    // Throws std::bad_alloc only when the log manager runs out of memory.
    HRESULT LaunchScan(const wchar_t* targetPath);

private:
    HRESULT start(const wchar_t* targetPath, bool outsidePackage);
};

namespace launcher_detail {

// Characters of every working buffer of a launch, terminator included.
constexpr size_t bufferChars = 1024;

// The parameters handed to the agent ahead of the target path.
extern const wchar_t parametersPattern[];

// How the agent is started: through the shell ("open", as the classic menu
// always has), or created with the desktop-app breakaway policy where
// Windows knows it (and plainly where it does not: Windows before 10 1703,
// Wine), which keeps it out of the package of the process that starts it.
enum class LaunchRoute { shell, outsidePackage };

// LaunchScan with the registry keys as a parameter. Under WoW64 the native
// and the 32-bit key are one and the same key, so a native key without the
// value beside a 32-bit key with it can only be staged with keys of a test's
// own choosing.
HRESULT LaunchScanFrom(const InstallKeys& keys, const wchar_t* targetPath,
                       LaunchRoute route = LaunchRoute::shell);

}  // namespace launcher_detail
