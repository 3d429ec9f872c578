#pragma once
// The module object, the class table and the process-wide values the entry
// points share. Both tables are built before DllMain sees the process attach
// and torn down after the last detach.

#include "UniqueResource.h"

#include <windows.h>
#include <objidl.h>

#include <atomic>
#include <cstddef>

class CRegObject;

// A critical section that knows whether it was set up, so that a failure to
// initialise it can refuse the load instead of crashing later.
class CComCriticalSection {
public:
    CComCriticalSection() noexcept = default;
    CComCriticalSection(const CComCriticalSection&) = delete;
    CComCriticalSection& operator=(const CComCriticalSection&) = delete;
    ~CComCriticalSection() { Term(); }

    HRESULT Init() noexcept;
    void Term() noexcept;
    bool initialized() const noexcept { return initialized_; }
    void Lock() noexcept { EnterCriticalSection(&section_); }
    void Unlock() noexcept { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_{};
    bool initialized_ = false;
};

class CComCritSecLock {
public:
    explicit CComCritSecLock(CComCriticalSection& section) noexcept : section_(section)
    {
        section_.Lock();
    }
    ~CComCritSecLock() { section_.Unlock(); }
    CComCritSecLock(const CComCritSecLock&) = delete;
    CComCritSecLock& operator=(const CComCritSecLock&) = delete;

private:
    CComCriticalSection& section_;
};

// Creates a handler object; the argument is the outer object (aggregation).
using CreatorFn = HRESULT (*)(IUnknown* outer, REFIID iid, void** result);
// Creates a class object that hands out objects made by the given creator.
using ClassObjectCreatorFn = HRESULT (*)(CreatorFn createInstance, REFIID iid, void** result);

struct ClassTableEntry {
    const CLSID* clsid;
    HRESULT (*updateRegistry)(bool registering);
    ClassObjectCreatorFn createClassObject;
    CreatorFn createInstance;
    // Created on first request; this reference does not lock the module.
    std::atomic<IUnknown*> classObject;
    void (*objectMain)(bool starting);
};

class CClassTable {
public:
    CClassTable(ClassTableEntry* first, ClassTableEntry* last) noexcept;
    ~CClassTable();
    CClassTable(const CClassTable&) = delete;
    CClassTable& operator=(const CClassTable&) = delete;

    bool initialized() const noexcept { return recordSize_ != 0; }
    ClassTableEntry* begin() const noexcept { return first_; }
    ClassTableEntry* end() const noexcept { return last_; }

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** result) noexcept;

private:
    UINT recordSize_ = 0;
    CComCriticalSection lock_;
    ClassTableEntry* first_;
    ClassTableEntry* last_;
};

struct ScriptReplacement {
    const wchar_t* name;
    const wchar_t* value;
};

class COrnShExtModule {
public:
    COrnShExtModule() noexcept;
    virtual ~COrnShExtModule();
    COrnShExtModule(const COrnShExtModule&) = delete;
    COrnShExtModule& operator=(const COrnShExtModule&) = delete;

    virtual LONG AddLock() noexcept;
    virtual LONG ReleaseLock() noexcept;
    virtual LONG LockCount() const noexcept;
    virtual HRESULT GlobalInterfaceTable(IGlobalInterfaceTable** result) noexcept;
    virtual HRESULT AddScriptReplacements(CRegObject& script) noexcept;

    bool initialized() const noexcept { return recordSize_ != 0; }

    // Self-registration (Registration.cpp).
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;
    HRESULT UpdateRegistryFromResource(UINT scriptId, bool registering,
                                       const ScriptReplacement* extra = nullptr,
                                       std::size_t extraCount = 0) noexcept;

private:
    HRESULT RegisterTypeLibrary() noexcept;
    HRESULT UnregisterTypeLibrary() noexcept;

    UINT recordSize_ = 0;
    std::atomic<LONG> lockCount_{0};
    CComCriticalSection lock_;
    // Released after the class table's objects have ended.
    orn::com_ptr<IGlobalInterfaceTable> globalInterfaceTable_;
    const GUID* typeLibraryId_ = nullptr;
};

extern CClassTable g_classTable;
extern COrnShExtModule g_module;
// Recorded by DllMain on every call; images and strings load from it.
extern HINSTANCE g_moduleInstance;
// Set when a process-wide object could not be initialised: DllMain then
// refuses the load.
extern bool g_moduleInitFailed;

// An error diagnostic of a handler; unit names its source file in the log.
// The logging call passes on an allocation failure; a COM method must not,
// so such a diagnostic is lost rather than thrown into the shell.
void logError(const char* unit, int line, const char* message) noexcept;

// Identities of the module's application and type library.
extern const GUID APPID_OrnShExt;
extern const wchar_t APPID_OrnShExtText[];
extern const GUID LIBID_OrnShExtLib;

#ifdef ORN_TEST_SEAMS
// Test builds only: fail the nth critical-section initialisation or
// allocation made while the environment variable ORN_SEAM_FAIL_CRITSEC or
// ORN_SEAM_FAIL_ALLOC holds n.
namespace orn::seams {
bool failCriticalSection() noexcept;
bool failAllocation() noexcept;
}  // namespace orn::seams
#endif
