// The floor of figure 8: a module with nothing of ours in it, linked with the
// static C and C++ runtimes as the shell extension is, and one entry point
// that uses them (a string and an exception), so that its load pays for the
// runtime every module of ours carries and for nothing else.
#include <windows.h>

#include <stdexcept>
#include <string>

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID, REFIID, void** result)
{
    *result = nullptr;
    try {
        throw std::runtime_error(std::string("no class"));
    } catch (const std::exception&) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
}
