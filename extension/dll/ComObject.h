#pragma once
// The module's two kinds of COM object, and the one way a COM method fails:
// handler objects, created per request, each holding one module lock for its
// whole life; and class objects, one per class for as long as the module is
// loaded, locking it while a client holds them.

#include "Module.h"

#include <windows.h>
#include <shlwapi.h>

#include <new>

// The body of a COM method or an exported entry point: what it throws (the
// logging and language code pass on allocation failures) becomes a result,
// never an exception in the caller.
template <class Body>
HRESULT comBoundary(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Creates a handler object; the argument is the outer object (aggregation).
using CreatorFn = HRESULT (*)(IUnknown* outer, REFIID iid, void** result);

// A handler object: Base supplies the interfaces and their table
// (interfaces). The shell calls it on its apartment's thread only, so a
// plain count serves.
template <class Base>
class CComObject final : public Base {
public:
    // The handler creator. Aggregation is never supported.
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** result) noexcept
    {
        if (!result)
            return E_POINTER;
        *result = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
#ifdef ORN_TEST_SEAMS
        if (orn::seams::failAllocation())
            return E_OUTOFMEMORY;
#endif
        CComObject* object = new (std::nothrow) CComObject();
        if (!object)
            return E_OUTOFMEMORY;
        // The creator's own reference: released below, so that a refused
        // interface frees the object (and its module lock) by itself.
        object->AddRef();
        const HRESULT hr = object->QueryInterface(iid, result);
        object->Release();
        return hr;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override
    {
        return QISearch(static_cast<Base*>(this), Base::interfaces, iid, result);
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        return ++references_;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG count = --references_;
        if (count == 0)
            delete this;
        return count;
    }

private:
    CComObject() noexcept
    {
        g_module.AddLock();
    }
    ~CComObject()
    {
        g_module.ReleaseLock();
    }

    ULONG references_ = 0;
};

// The class object of one class. It is never freed: each reference a client
// takes is a module lock instead, so the module stays while one is held.
class CComClassFactory final : public IClassFactory {
public:
    CComClassFactory(const CLSID& clsid, CreatorFn createInstance) noexcept
        : clsid_(clsid), createInstance_(createInstance)
    {
    }
    const CLSID& clsid() const noexcept { return clsid_; }

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** result) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    const CLSID& clsid_;
    CreatorFn createInstance_;
};
