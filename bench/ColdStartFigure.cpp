// Figure 8: the cold start, from loading the module to the first menu in a
// fresh process, against the same menu made by the bare calls in a fresh
// process (the module then mapped only for its caption string). Each sample
// is a child process of this program that times itself, so the process's own
// start is left out of both.
#include "Figures.h"

#include "ClassIds.h"
#include "UniqueResource.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {
namespace {

std::wstring modulePath()
{
    return programFolder() + L"\\..\\extension\\OrnShExt.dll";
}

// Microseconds the child printed; negative when it failed.
double runChild(const wchar_t* side)
{
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) + L"\" --cold-start=" + side;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return -1;
    orn::unique_handle reader(readEnd), writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    orn::unique_handle child(process.hProcess), thread(process.hThread);
    writer.reset();
    std::string output;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got)
        output.append(buffer, got);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return code == 0 ? std::atof(output.c_str()) : -1;
}

}  // namespace

int coldStartChild(const std::wstring& side)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::wstring dll = modulePath();
    const std::wstring installDir = installFolder();
    const double start = now();
    HMENU menu = CreatePopupMenu();
    HRESULT hr = E_FAIL;
    if (side == L"ours") {
        HMODULE module = LoadLibraryW(dll.c_str());
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto getClassObject = module ? reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(
                                           GetProcAddress(module, "DllGetClassObject")))
                                     : nullptr;
        orn::com_ptr<IClassFactory> factory;
        orn::com_ptr<IContextMenu> handler;
        if (getClassObject &&
            SUCCEEDED(getClassObject(CLSID_ShellExt, IID_IClassFactory, factory.put_void())) &&
            SUCCEEDED(factory->CreateInstance(nullptr, IID_IContextMenu, handler.put_void())))
            hr = handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);
    } else {
        HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (module)
            hr = bareContextMenu(menu, module, installDir);
    }
    const double elapsed = (now() - start) * 1e6;
    const int items = GetMenuItemCount(menu);
    DestroyMenu(menu);
    if (hr != MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1) || items != 2)
        return 1;
    std::printf("%.1f\n", elapsed);
    return 0;
}

Figure coldStart()
{
    Figure figure;
    figure.name = sizeof(void*) == 8 ? "8 cold start to the first menu vs bare, 64-bit"
                                     : "8 cold start to the first menu vs bare, 32-bit";
    // No target yet: the figure is kept to compare builds of the module.
    std::vector<double> ours, bare, ratios;
    for (int round = 0; round < 15; ++round) {
        const double o = runChild(L"ours");
        const double b = runChild(L"bare");
        if (o < 0 || b <= 0) {
            figure.note = "a child process failed";
            return figure;
        }
        ours.push_back(o);
        bare.push_back(b);
        ratios.push_back(o / b);
    }
    figure.settle(ours, bare, ratios);
    return figure;
}

}  // namespace bench
