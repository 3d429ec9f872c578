// Figure 8: the start of the module in a shell process, up to its first menu,
// in three steps each against the bare calls of the same step:
//   load          LoadLibrary of the module     the module mapped as data
//   class object  DllGetClassObject and         the handler's two menu images
//                 CreateInstance                from the mapped module
//   first menu    Initialize and                the calls QueryContextMenu
//                 QueryContextMenu              stands for (figure 4's bare side)
// and the whole start against the whole bare path. Beside them the floor: the
// module's load against that of an empty module linked with the same static
// runtime, which no module of ours can load faster than.
//
// Each sample is a fresh child process that first does what every shell
// process has done long before a menu (COM, the shell's libraries loaded, the
// display and its menu images used, a selection made), then times itself,
// so neither side pays the display's or the shell's first use, and the
// process's own start is left out of both.
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

constexpr int steps = 3;
const char* const stepNames[steps] = {"load", "class object", "first menu"};
// The handler's menu image and the system's check mark (OBM_CHECK).
constexpr WORD menuImage = 204;
constexpr WORD checkMark = 32760;

std::wstring modulePath()
{
    return programFolder() + L"\\..\\extension\\OrnShExt.dll";
}

std::wstring emptyModulePath()
{
    return programFolder() + L"\\orn_bench_empty.dll";
}

// The selection a shell hands to Initialize: the strings file of the
// installation, relative to its folder.
orn::com_ptr<IDataObject> selection()
{
    orn::com_ptr<IDataObject> data;
    const std::wstring path = installFolder() + L"\\Agent\\Res\\0409\\GenStrings.bin";
    PIDLIST_ABSOLUTE item = ILCreateFromPathW(path.c_str());
    PIDLIST_ABSOLUTE folder = item ? ILClone(item) : nullptr;
    if (folder && ILRemoveLastID(folder)) {
        PCUITEMID_CHILD child = ILFindLastID(item);
        // A shell that does not implement it still has the older call.
        if (SHCreateDataObject(folder, 1, &child, nullptr, IID_IDataObject, data.put_void()) ==
            E_NOTIMPL)
            CIDLData_CreateFromIDArray(folder, 1,
                                       reinterpret_cast<PCUIDLIST_RELATIVE_ARRAY>(&child),
                                       reinterpret_cast<IDataObject**>(data.put_void()));
    }
    ILFree(folder);
    ILFree(item);
    return data;
}

// What a shell process has done long before a menu.
orn::com_ptr<IDataObject> settleShellProcess()
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (const wchar_t* library : {L"shell32.dll", L"shlwapi.dll", L"ole32.dll", L"oleaut32.dll",
                                   L"user32.dll", L"gdi32.dll", L"advapi32.dll"})
        LoadLibraryW(library);
    HMENU menu = CreatePopupMenu();
    InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, 1, L"item");
    const auto image = static_cast<HBITMAP>(LoadImageW(
        nullptr, MAKEINTRESOURCEW(checkMark), IMAGE_BITMAP, GetSystemMetrics(SM_CXSMICON) - 1,
        GetSystemMetrics(SM_CYSMICON) - 1, LR_LOADTRANSPARENT));
    SetMenuItemBitmaps(menu, 0, MF_BYPOSITION, image, image);
    DestroyMenu(menu);
    DeleteObject(image);
    wchar_t folder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
    return selection();
}

HBITMAP loadMenuImage(HMODULE module, UINT flags)
{
    return static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(menuImage), IMAGE_BITMAP,
                                           GetSystemMetrics(SM_CXSMICON) - 1,
                                           GetSystemMetrics(SM_CYSMICON) - 1, flags));
}

using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

GetClassObject classObjectEntry(HMODULE module)
{
    // Through void*: FARPROC's return type differs from HRESULT in the 64-bit build.
    return module ? reinterpret_cast<GetClassObject>(
                        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")))
                  : nullptr;
}

// The three steps through the module's entry points; false when one failed.
bool startOurs(IDataObject* data, HMENU menu, double (&at)[steps + 1])
{
    at[0] = now();
    HMODULE module = LoadLibraryW(modulePath().c_str());
    at[1] = now();
    const GetClassObject getClassObject = classObjectEntry(module);
    orn::com_ptr<IClassFactory> factory;
    orn::com_ptr<IShellExtInit> init;
    if (!getClassObject ||
        FAILED(getClassObject(CLSID_ShellExt, IID_IClassFactory, factory.put_void())) ||
        FAILED(factory->CreateInstance(nullptr, IID_IShellExtInit, init.put_void())))
        return false;
    at[2] = now();
    orn::com_ptr<IContextMenu> handler;
    const bool shown = SUCCEEDED(init->Initialize(nullptr, data, nullptr)) &&
                       SUCCEEDED(init->QueryInterface(IID_IContextMenu, handler.put_void())) &&
                       handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL) ==
                           MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
    at[3] = now();
    return shown;
}

bool startBare(HMENU menu, double (&at)[steps + 1])
{
    at[0] = now();
    HMODULE module = LoadLibraryExW(modulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    at[1] = now();
    if (!module)
        return false;
    const HBITMAP unchecked = loadMenuImage(module, LR_LOADTRANSPARENT);
    const HBITMAP checked = loadMenuImage(module, LR_LOADTRANSPARENT | LR_MONOCHROME);
    at[2] = now();
    const HRESULT hr = bareContextMenu(menu, module, installFolder());
    at[3] = now();
    DeleteObject(unchecked);
    DeleteObject(checked);
    return unchecked && checked && hr == MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
}

bool loadEmpty(double (&at)[2])
{
    at[0] = now();
    HMODULE module = LoadLibraryW(emptyModulePath().c_str());
    at[1] = now();
    const GetClassObject getClassObject = classObjectEntry(module);
    void* object = nullptr;
    return getClassObject &&
           getClassObject(CLSID_ShellExt, IID_IClassFactory, &object) == CLASS_E_CLASSNOTAVAILABLE;
}

// A fresh child process of this program, which prints its microseconds;
// empty when it failed.
std::vector<double> runChild(const wchar_t* side)
{
    ChildProcess child;
    std::string output;
    std::vector<double> times;
    if (!startChild(std::wstring(L"--cold-start=") + side, child) || !finishChild(child, output))
        return times;
    const char* text = output.c_str();
    for (char* end = nullptr;; text = end) {
        const double value = std::strtod(text, &end);
        if (end == text)
            break;
        times.push_back(value);
    }
    return times;
}

}  // namespace

int coldStartChild(const std::wstring& side)
{
    const orn::com_ptr<IDataObject> data = settleShellProcess();
    if (!data)
        return 1;
    if (side == L"empty") {
        double at[2];
        if (!loadEmpty(at))
            return 1;
        std::printf("%.1f\n", (at[1] - at[0]) * 1e6);
        return 0;
    }
    HMENU menu = CreatePopupMenu();
    double at[steps + 1] = {};
    const bool done = side == L"ours" ? startOurs(data.get(), menu, at) : startBare(menu, at);
    const int items = GetMenuItemCount(menu);
    DestroyMenu(menu);
    if (!done || items != 2)
        return 1;
    for (int step = 0; step < steps; ++step)
        std::printf("%.1f ", (at[step + 1] - at[step]) * 1e6);
    std::printf("\n");
    return 0;
}

std::vector<Figure> coldStart()
{
    const char* const build = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    std::vector<Figure> figures(steps + 2);
    const char* const bareNames[steps] = {"mapped as data", "menu images", "bare calls"};
    for (int step = 0; step < steps; ++step)
        figures[step].name =
            std::string("8 ") + stepNames[step] + " vs " + bareNames[step] + ", " + build;
    Figure& whole = figures[steps];
    whole.name = std::string("8 load to first menu vs bare calls, ") + build;
    whole.target = 2.0;
    Figure& floor = figures[steps + 1];
    floor.name = std::string("8 load vs an empty module's (the floor), ") + build;
    // Per figure: its samples of ours, of bare, and their ratios.
    std::vector<std::vector<double>> ours(steps + 2), bare(steps + 2), ratios(steps + 2);
    const wchar_t* const sides[3] = {L"ours", L"bare", L"empty"};
    for (int round = 0; round < 15; ++round) {
        // Each side goes first in turn: a child started right after another
        // finds the machine in another state.
        std::vector<double> times[3];
        for (int i = 0; i < 3; ++i) {
            const int side = (round + i) % 3;
            times[side] = runChild(sides[side]);
        }
        if (times[0].size() != steps || times[1].size() != steps || times[2].size() != 1) {
            for (Figure& figure : figures)
                figure.note = "a child process failed";
            return figures;
        }
        double oursWhole = 0, bareWhole = 0;
        for (int step = 0; step < steps; ++step) {
            ours[step].push_back(times[0][step]);
            bare[step].push_back(times[1][step]);
            ratios[step].push_back(times[0][step] / times[1][step]);
            oursWhole += times[0][step];
            bareWhole += times[1][step];
        }
        ours[steps].push_back(oursWhole);
        bare[steps].push_back(bareWhole);
        ratios[steps].push_back(oursWhole / bareWhole);
        ours[steps + 1].push_back(times[0][0]);
        bare[steps + 1].push_back(times[2][0]);
        ratios[steps + 1].push_back(times[0][0] / times[2][0]);
    }
    for (std::size_t i = 0; i < figures.size(); ++i)
        figures[i].settle(ours[i], bare[i], ratios[i]);
    return figures;
}

}  // namespace bench
