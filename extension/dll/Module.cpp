// The module's process-wide objects, its class object, the handlers' error
// diagnostic and the entry points DllMain, DllGetClassObject and
// DllCanUnloadNow.

#include "Module.h"

#include "ComObject.h"
#include "ExplorerCommand.h"
#include "KeptLines.h"
#include "LogFileSink.h"
#include "LogRecord.h"
#include "ShellExt.h"

#include <iterator>

HINSTANCE g_moduleInstance = nullptr;
bool g_moduleInitFailed = false;

void logError(const char* unit, int line, const char* message) noexcept
{
    try {
        LogRecord(unit, line, LevelError, "OrnShExt", defaultLogManager()).print("%s", message);
    } catch (...) {
    }
}

// {2B8E4F17-6D05-4C93-A1E2-7F3B90D4C658}
const GUID APPID_OrnShExt = {
    0x2b8e4f17, 0x6d05, 0x4c93, {0xa1, 0xe2, 0x7f, 0x3b, 0x90, 0xd4, 0xc6, 0x58}};
const wchar_t APPID_OrnShExtText[] = L"{2B8E4F17-6D05-4C93-A1E2-7F3B90D4C658}";
// {E3A85C62-41D7-4B9E-9C05-6F2D18A7B4E1}
const GUID LIBID_OrnShExtLib = {
    0xe3a85c62, 0x41d7, 0x4b9e, {0x9c, 0x05, 0x6f, 0x2d, 0x18, 0xa7, 0xb4, 0xe1}};

HRESULT CComCriticalSection::Init() noexcept
{
#ifdef ORN_TEST_SEAMS
    if (orn::seams::failCriticalSection())
        return E_OUTOFMEMORY;
#endif
    if (!InitializeCriticalSectionEx(&section_, 0, 0)) {
        const DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY;
    }
    initialized_ = true;
    return S_OK;
}

void CComCriticalSection::Term() noexcept
{
    if (initialized_) {
        DeleteCriticalSection(&section_);
        initialized_ = false;
    }
}

// ---------------------------------------------------------------------------
// The class table: the context-menu handler and the Explorer command.

static ClassTableEntry classEntries[] = {
    {&CLSID_ShellExt, &CShellExt::UpdateRegistry, &CShellExt::ClassObject::CreateInstance,
     &CShellExt::Object::CreateInstance, nullptr, &CShellExt::ObjectMain},
    {&CLSID_ExplorerCommand, &CExplorerCommand::UpdateRegistry,
     &CExplorerCommand::ClassObject::CreateInstance, &CExplorerCommand::Object::CreateInstance,
     nullptr, &CExplorerCommand::ObjectMain},
};

CClassTable::CClassTable(ClassTableEntry* first, ClassTableEntry* last) noexcept
    : first_(first), last_(last)
{
    if (SUCCEEDED(lock_.Init()))
        recordSize_ = sizeof(*this);
    else
        g_moduleInitFailed = true;
}

CClassTable::~CClassTable()
{
    for (ClassTableEntry& entry : *this) {
        if (IUnknown* object = entry.classObject.exchange(nullptr))
            object->Release();
    }
    recordSize_ = 0;
}

HRESULT CClassTable::GetClassObject(REFCLSID clsid, REFIID iid, void** result) noexcept
{
    if (!initialized())
        return E_UNEXPECTED;
    if (!result)
        return E_POINTER;
    *result = nullptr;
    for (ClassTableEntry& entry : *this) {
        if (!IsEqualCLSID(*entry.clsid, clsid) || !entry.createClassObject)
            continue;
        HRESULT hr = S_OK;
        if (!entry.classObject.load()) {
            CComCritSecLock guard(lock_);
            if (!entry.classObject.load()) {
                IUnknown* object = nullptr;
                hr = entry.createClassObject(entry.createInstance, IID_IUnknown,
                                             reinterpret_cast<void**>(&object));
                entry.classObject.store(object);
            }
        }
        if (IUnknown* object = entry.classObject.load())
            hr = object->QueryInterface(iid, result);
        if (!*result && hr == S_OK)
            hr = CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// Built first, torn down last: the module object's start and stop
// notifications walk it.
__attribute__((init_priority(1000)))
CClassTable g_classTable(std::begin(classEntries), std::end(classEntries));

// ---------------------------------------------------------------------------
// The module object.

COrnShExtModule::COrnShExtModule() noexcept
{
    if (SUCCEEDED(lock_.Init()))
        recordSize_ = sizeof(*this);
    else
        g_moduleInitFailed = true;
    typeLibraryId_ = &LIBID_OrnShExtLib;
    for (ClassTableEntry& entry : g_classTable) {
        if (entry.objectMain)
            entry.objectMain(true);
    }
}

COrnShExtModule::~COrnShExtModule()
{
    for (ClassTableEntry& entry : g_classTable) {
        if (entry.objectMain)
            entry.objectMain(false);
    }
    lock_.Term();
    recordSize_ = 0;
}

LONG COrnShExtModule::AddLock() noexcept
{
    return ++lockCount_;
}

LONG COrnShExtModule::ReleaseLock() noexcept
{
    return --lockCount_;
}

LONG COrnShExtModule::LockCount() const noexcept
{
    return lockCount_.load();
}

HRESULT COrnShExtModule::GlobalInterfaceTable(IGlobalInterfaceTable** result) noexcept
{
    if (!result)
        return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    CComCritSecLock guard(lock_);
    if (!globalInterfaceTable_)
        hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IGlobalInterfaceTable, globalInterfaceTable_.put_void());
    *result = orn::com_ptr<IGlobalInterfaceTable>(globalInterfaceTable_).detach();
    return hr;
}

__attribute__((init_priority(1010))) COrnShExtModule g_module;

// ---------------------------------------------------------------------------
// The class object.

const QITAB* CComClassFactory::interfaceTable() noexcept
{
    static const QITAB table[] = {
        QITABENT(CComClassFactory, IClassFactory),
        {nullptr, 0},
    };
    return table;
}

STDMETHODIMP CComClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** result)
{
    if (!result)
        return E_POINTER;
    *result = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
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
    if (reason == DLL_PROCESS_ATTACH)
        return g_moduleInitFailed ? FALSE : TRUE;
    if (reason == DLL_PROCESS_DETACH) {
        // The loader lock is held: one attempt per file, waiting for nothing,
        // at an unload. At process exit other threads were stopped wherever
        // they were, perhaps half way through changing the kept lines.
        const bool processExit = reserved != nullptr;
        if (!processExit)
            LogUtils::LogFileSink::writeKept(1, true);
        LogUtils::KeptLines::moduleDetached(processExit);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** result)
{
    return g_classTable.GetClassObject(clsid, iid, result);
}

STDAPI DllCanUnloadNow()
{
    if (g_module.LockCount() != 0)
        return S_FALSE;
    return keptLinesWritten() ? S_OK : S_FALSE;
}
