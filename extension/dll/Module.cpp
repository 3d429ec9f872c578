// The module's process-wide values, its class objects, the handlers' error
// diagnostic and the entry points DllMain, DllGetClassObject and
// DllCanUnloadNow.

#include "Module.h"

#include "ClassIds.h"
#include "ComObject.h"
#include "ExplorerCommand.h"
#include "LogRecord.h"
#include "LogRuntime.h"
#include "ShellExt.h"

COrnShExtModule g_module;
HINSTANCE g_moduleInstance = nullptr;
const wchar_t APPID_OrnShExtText[] = L"{2B8E4F17-6D05-4C93-A1E2-7F3B90D4C658}";

void logError(const char* unit, int line, const char* message)
{
    LogRecord(unit, line, LevelError, "OrnShExt", defaultLogManager()).print("%s", message);
}

// ---------------------------------------------------------------------------
// The class objects: the context-menu handler and the Explorer command.

namespace {

CComClassFactory classObjects[] = {
    {CLSID_ShellExt, &CComObject<CShellExt>::CreateInstance},
    {CLSID_ExplorerCommand, &CComObject<CExplorerCommand>::CreateInstance},
};

}  // namespace

STDMETHODIMP CComClassFactory::QueryInterface(REFIID iid, void** result)
{
    static const QITAB table[] = {
        QITABENT(CComClassFactory, IClassFactory),
        {nullptr, 0},
    };
    return QISearch(this, table, iid, result);
}

STDMETHODIMP_(ULONG) CComClassFactory::AddRef()
{
    return static_cast<ULONG>(g_module.AddLock());
}

STDMETHODIMP_(ULONG) CComClassFactory::Release()
{
    return static_cast<ULONG>(g_module.ReleaseLock());
}

STDMETHODIMP CComClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** result)
{
    return createInstance_(outer, iid, result);
}

STDMETHODIMP CComClassFactory::LockServer(BOOL lock)
{
    if (lock)
        g_module.AddLock();
    else
        g_module.ReleaseLock();
    return S_OK;
}

// ---------------------------------------------------------------------------
// Entry points.

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    g_moduleInstance = instance;
    if (reason == DLL_PROCESS_DETACH)
        LogRuntime::moduleDetaching(reserved != nullptr);
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** result)
{
    if (!result)
        return E_POINTER;
    *result = nullptr;
    for (CComClassFactory& classObject : classObjects) {
        if (IsEqualCLSID(classObject.clsid(), clsid))
            return classObject.QueryInterface(iid, result);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow()
{
    // Lines the logging library still has to write keep the module too.
    return g_module.LockCount() == 0 && LogRuntime::mayUnload() ? S_OK : S_FALSE;
}
