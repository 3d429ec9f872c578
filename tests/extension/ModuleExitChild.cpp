// A shell process that logs through the built module and ends normally:
//
//   ModuleExitChild MODULE LINES READY GO KEPT EXIT
//
// Loads MODULE, asks its handler LINES - 1 times for a verb it refuses (one
// error line each), signals the event READY and waits for GO; then the last
// line (the test holds the log by then), KEPT, and once EXIT is signalled
// it returns from wmain with the module loaded and its objects held.

#include "ClassIds.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 7)
        return 1;
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const HMODULE module = LoadLibraryW(argv[1]);
    const auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IContextMenu* menu = nullptr;
    if (!getClassObject ||
        FAILED(getClassObject(CLSID_ShellExt, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory))) ||
        FAILED(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&menu))))
        return 2;
    HANDLE events[4];
    for (int i = 0; i < 4; ++i) {
        events[i] = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, argv[3 + i]);
        if (!events[i])
            return 3;
    }
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.lpVerb = "open";
    const int lines = _wtoi(argv[2]);
    for (int n = 1; n < lines; ++n)
        menu->InvokeCommand(&info);
    SetEvent(events[0]);
    WaitForSingleObject(events[1], 60000);
    menu->InvokeCommand(&info);
    SetEvent(events[2]);
    WaitForSingleObject(events[3], 60000);
    return 0;
}
