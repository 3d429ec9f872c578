// The module's process-wide values, its class objects, the handlers' error
// diagnostic and the entry points DllMain, DllGetClassObject and
// DllCanUnloadNow.

#include "Module.h"

#include "ClassIds.h"
#include "ComObject.h"
#include "ExplorerCommand.h"
#include "KeptLines.h"
#include "SyslogStream.h"
#include "LogFileSink.h"
#include "LogRecord.h"
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
// Lines the logging library kept for a log it could not write go before the
// module does, written where no lock of the loader is held: DllCanUnloadNow
// keeps the module while they are refused, for a bounded time.

namespace {

constexpr ULONGLONG keptLinesPatienceMilliseconds = 2000;
// When DllCanUnloadNow first found kept lines refused; 0 while none are.
std::atomic<ULONGLONG> keptLinesRefusedSince{0};

bool keptLinesWritten() noexcept
{
    if (!LogUtils::LogFileSink::writeKept(1, false)) {
        keptLinesRefusedSince = 0;
        return true;
    }
    const ULONGLONG now = GetTickCount64();
    ULONGLONG since = 0;
    if (keptLinesRefusedSince.compare_exchange_strong(since, now) ||
        now - since < keptLinesPatienceMilliseconds)
        return false;
    // Counted on the debugger output: the module may go.
    LogUtils::LogFileSink::writeKept(1, true);
    keptLinesRefusedSince = 0;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points.

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    g_moduleInstance = instance;
    if (reason == DLL_PROCESS_DETACH) {
        // The loader lock is held: one attempt per file, waiting for nothing,
        // at an unload. At process exit other threads were stopped wherever
        // they were, perhaps half way through changing the kept lines.
        const bool processExit = reserved != nullptr;
        if (!processExit)
            LogUtils::LogFileSink::writeKept(1, true);
        LogUtils::KeptLines::moduleDetached(processExit);
        LogUtils::streamSendersDetached(processExit);
    }
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
    if (g_module.LockCount() != 0)
        return S_FALSE;
    // Queued syslog lines get a bounded time to go, as kept lines do.
    return keptLinesWritten() && LogUtils::streamQueuesDrained() ? S_OK : S_FALSE;
}
