// The module's process-wide values, its class objects, the handlers' error
// diagnostic and the entry points DllMain, DllGetClassObject and
// DllCanUnloadNow.

#include "Module.h"

#include "ClassIds.h"
#include "ComObject.h"
#include "ExplorerCommand.h"
#include "LogFileSink.h"
#include "LogRecord.h"
#include "ShellExt.h"
#include "SyslogStream.h"

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
// Lines the logging library kept for a log it could not write, or queued for
// its background writer, go before the module does, written where no lock of
// the loader is held: DllCanUnloadNow keeps the module while they wait, and
// while they are refused for a bounded time.

namespace {

constexpr ULONGLONG keptLinesPatienceMilliseconds = 2000;
// When a write first found kept lines refused; 0 while none are.
std::atomic<ULONGLONG> keptLinesRefusedSince{0};
// A work item writing them is queued or running: the module stays.
std::atomic<bool> keptLinesWriting{false};

VOID CALLBACK writeKeptLines(PTP_CALLBACK_INSTANCE instance, void* module)
{
    if (!LogUtils::LogFileSink::writeKept(1, false)) {
        keptLinesRefusedSince = 0;
    } else {
        const ULONGLONG now = GetTickCount64();
        ULONGLONG since = 0;
        if (!keptLinesRefusedSince.compare_exchange_strong(since, now) &&
            now - since >= keptLinesPatienceMilliseconds) {
            LogUtils::LogFileSink::writeKept(1, true);  // counted: the module may go
            keptLinesRefusedSince = 0;
        }
    }
    keptLinesWriting = false;  // a later call may queue another
    // The module stays mapped until this returns, whatever COM does with it
    // once the flag is down.
    FreeLibraryWhenCallbackReturns(instance, static_cast<HMODULE>(module));
}

// Written by a thread of the pool, never by the caller's, usually a UI
// thread of Explorer: an open of a log waits for an opportunistic lock's
// break, which any user who may read the log can hold off. True when none
// are kept.
bool keptLinesGone() noexcept
{
    if (keptLinesWriting)
        return false;
    if (!LogUtils::LogFileSink::linesWaiting()) {
        keptLinesRefusedSince = 0;
        return true;
    }
    HMODULE module = nullptr;
    bool idle = false;
    if (!keptLinesWriting.compare_exchange_strong(idle, true))
        return false;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<const wchar_t*>(&writeKeptLines), &module) ||
        !TrySubmitThreadpoolCallback(writeKeptLines, module, nullptr)) {
        if (module)
            FreeLibrary(module);
        keptLinesWriting = false;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points.

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    g_moduleInstance = instance;
    if (reason == DLL_PROCESS_DETACH) {
        // The loader lock is held: one attempt per file, waiting for nothing.
        // At process exit other threads were stopped wherever they were: a
        // turn one of them held stays taken, and the kept lines behind it,
        // perhaps half changed, are passed over.
        LogUtils::LogFileSink::writeKept(1, true);
        LogUtils::LogFileSink::moduleDetached(reserved != nullptr);
        LogUtils::streamSendersDetached(reserved != nullptr);
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
    return keptLinesGone() && LogUtils::streamQueuesDrained() ? S_OK : S_FALSE;
}
