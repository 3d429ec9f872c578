#pragma once
// Reference counting by thread model, table-driven QueryInterface, and the
// two object wrappers of the module: CComObject for handler objects (each
// holds one module lock for its whole life) and CComObjectCached for the
// class object kept in the class table.

#include "Module.h"

#include <windows.h>
#include <shlwapi.h>

#include <new>

// Objects created per shell call live in one apartment: a plain counter serves.
struct CComSingleThreadModel {
    static LONG Increment(LONG* value) noexcept { return ++*value; }
    static LONG Decrement(LONG* value) noexcept { return --*value; }
};

// The class object is shared by every thread of the process.
struct CComMultiThreadModel {
    static LONG Increment(LONG* value) noexcept { return InterlockedIncrement(value); }
    static LONG Decrement(LONG* value) noexcept { return InterlockedDecrement(value); }
};

template <class ThreadModel>
class CComObjectRootEx {
protected:
    CComObjectRootEx() noexcept = default;
    ~CComObjectRootEx() = default;

    LONG InternalAddRef() noexcept { return ThreadModel::Increment(&refCount_); }
    LONG InternalRelease() noexcept { return ThreadModel::Decrement(&refCount_); }

    // Runs once right after allocation, while the creator holds a reference.
    HRESULT FinalConstruct() noexcept { return S_OK; }

    LONG refCount_ = 0;
};

namespace orn {

template <class T>
T* allocateObject() noexcept
{
#ifdef ORN_TEST_SEAMS
    if (seams::failAllocation())
        return nullptr;
#endif
    return new (std::nothrow) T();
}

}  // namespace orn

// A handler object: Base supplies the interfaces, its table (interfaceTable)
// and FinalConstruct.
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
        CComObject* object = orn::allocateObject<CComObject>();
        if (!object)
            return E_OUTOFMEMORY;
        // The creator's own reference: released below, so that a refused
        // interface frees the object (and its module lock) by itself.
        object->AddRef();
        HRESULT hr = object->FinalConstruct();
        if (SUCCEEDED(hr))
            hr = object->QueryInterface(iid, result);
        object->Release();
        return hr;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override
    {
        return QISearch(static_cast<Base*>(this), Base::interfaceTable(), iid, result);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return this->InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = this->InternalRelease();
        if (count == 0)
            delete this;
        return count;
    }

    CComObject() noexcept { g_module.AddLock(); }

private:
    ~CComObject() override { g_module.ReleaseLock(); }
};

class CComClassFactory : public IClassFactory, public CComObjectRootEx<CComMultiThreadModel> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** result) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    static const QITAB* interfaceTable() noexcept;

protected:
    CComClassFactory() noexcept = default;
    virtual ~CComClassFactory() = default;

    // Pairs each count change with its module lock change (see
    // CComObjectCached), so the lock count never dips below its true value.
    CComCriticalSection lock_;
    CreatorFn createInstance_ = nullptr;
};

// The class object kept in the class table. The table's own reference must
// not keep the module loaded, so the module is locked only while the count
// is above one, that is while some client holds the object.
template <class Base>
class CComObjectCached final : public Base {
public:
    // The class-object creator.
    static HRESULT CreateInstance(CreatorFn createInstance, REFIID iid, void** result) noexcept
    {
        if (!result)
            return E_POINTER;
        *result = nullptr;
        CComObjectCached* object = orn::allocateObject<CComObjectCached>();
        if (!object)
            return E_OUTOFMEMORY;
        object->createInstance_ = createInstance;
        HRESULT hr = object->lock_.Init();
        if (FAILED(hr)) {
            delete object;
            return hr;
        }
        object->AddRef();
        hr = object->QueryInterface(iid, result);
        object->Release();
        return hr;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override
    {
        return QISearch(static_cast<Base*>(this), Base::interfaceTable(), iid, result);
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        CComCritSecLock guard(this->lock_);
        const LONG count = this->InternalAddRef();
        if (count == 2)
            g_module.AddLock();
        return count;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG count;
        {
            CComCritSecLock guard(this->lock_);
            count = this->InternalRelease();
            if (count == 1)
                g_module.ReleaseLock();
        }
        if (count == 0)
            delete this;
        return count;
    }

    CComObjectCached() noexcept = default;

private:
    ~CComObjectCached() override = default;
};

// Class identity and the class-table row of a creatable class.
template <class T, const CLSID* clsid>
class CComCoClass {
public:
    static const CLSID& GetObjectCLSID() noexcept { return *clsid; }
    using ClassObject = CComObjectCached<CComClassFactory>;
    using Object = CComObject<T>;
    // Start and stop notification from the module: nothing to do.
    static void ObjectMain(bool /*starting*/) noexcept {}
};
