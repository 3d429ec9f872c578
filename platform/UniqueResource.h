#pragma once
// Move-only owners for the handles this module obtains. Each closes its
// handle on every path and keeps the thread's last-error value intact, so a
// cleanup never hides the error a caller is about to read.

#include <windows.h>
#include <unknwn.h>
#include <oleauto.h>

#include <utility>

namespace orn {

template <typename T, typename Close, T invalid = T()>
class unique_resource {
public:
    unique_resource() noexcept = default;
    explicit unique_resource(T value) noexcept : value_(value) {}
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    ~unique_resource() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != invalid; }

    // For out-parameters: closes what is held and hands out the slot.
    T* put() noexcept
    {
        reset();
        return &value_;
    }

    T release() noexcept { return std::exchange(value_, invalid); }

    void reset(T value = invalid) noexcept
    {
        T old = std::exchange(value_, value);
        if (old != invalid) {
            const DWORD lastError = GetLastError();
            Close()(old);
            SetLastError(lastError);
        }
    }

private:
    T value_ = invalid;
};

// The deleter that calls the system's own release function.
template <auto Close>
struct closer {
    template <typename T>
    void operator()(T value) const noexcept
    {
        Close(value);
    }
};

using unique_hkey = unique_resource<HKEY, closer<&RegCloseKey>>;
// Kernel objects whose failure value is null (events, processes, threads).
using unique_handle = unique_resource<HANDLE, closer<&CloseHandle>>;
using unique_hmodule = unique_resource<HMODULE, closer<&FreeLibrary>>;
using unique_hbitmap = unique_resource<HBITMAP, closer<&DeleteObject>>;
using unique_bstr = unique_resource<BSTR, closer<&SysFreeString>>;
// What the system allocates for its caller with LocalAlloc (descriptors from text).
using unique_hlocal = unique_resource<HLOCAL, closer<&LocalFree>>;

// File and search handles fail with INVALID_HANDLE_VALUE, which cannot be a
// template argument; these holders map it to null on the way in.
template <typename Close>
class unique_invalid_handle {
public:
    unique_invalid_handle() noexcept = default;
    explicit unique_invalid_handle(HANDLE handle) noexcept { reset(handle); }
    void reset(HANDLE handle = nullptr) noexcept
    {
        holder_.reset(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
    }
    HANDLE get() const noexcept { return holder_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(holder_); }
    HANDLE release() noexcept { return holder_.release(); }

private:
    unique_resource<HANDLE, Close> holder_;
};

using unique_file = unique_invalid_handle<closer<&CloseHandle>>;
using unique_find = unique_invalid_handle<closer<&FindClose>>;

// Holds a slim reader/writer lock until the scope ends: exclusive, shared,
// or exclusive only if it is free at once. unlock() lets it go early and
// lock() takes it again the same way.
class slim_lock_guard {
public:
    enum class mode { exclusive, shared, try_exclusive };

    explicit slim_lock_guard(SRWLOCK& lock, mode how = mode::exclusive) noexcept
        : lock_(lock), shared_(how == mode::shared)
    {
        if (how == mode::try_exclusive)
            held_ = TryAcquireSRWLockExclusive(&lock_) != FALSE;
        else
            this->lock();
    }
    ~slim_lock_guard() { unlock(); }
    slim_lock_guard(const slim_lock_guard&) = delete;
    slim_lock_guard& operator=(const slim_lock_guard&) = delete;

    explicit operator bool() const noexcept { return held_; }
    void lock() noexcept
    {
        shared_ ? AcquireSRWLockShared(&lock_) : AcquireSRWLockExclusive(&lock_);
        held_ = true;
    }
    void unlock() noexcept
    {
        if (held_)
            shared_ ? ReleaseSRWLockShared(&lock_) : ReleaseSRWLockExclusive(&lock_);
        held_ = false;
    }

private:
    SRWLOCK& lock_;
    bool shared_;
    bool held_ = false;
};

// Holds one reference on a COM interface.
template <typename I>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Takes a new reference.
    explicit com_ptr(I* p) noexcept : p_(p)
    {
        if (p_)
            p_->AddRef();
    }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.p_) {}
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~com_ptr() { reset(); }

    void reset() noexcept
    {
        if (I* p = std::exchange(p_, nullptr))
            p->Release();
    }
    I* get() const noexcept { return p_; }
    I* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    I** put() noexcept
    {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    I* detach() noexcept { return std::exchange(p_, nullptr); }

private:
    I* p_ = nullptr;
};

// Runs a function when the scope ends, however it ends: the cleanup of what
// is not a handle (a lock to leave, a pointer to put back, an apartment to
// leave).
template <typename F>
class scope_exit_call {
public:
    explicit scope_exit_call(F function) noexcept : function_(std::move(function)) {}
    ~scope_exit_call() { function_(); }
    scope_exit_call(const scope_exit_call&) = delete;
    scope_exit_call& operator=(const scope_exit_call&) = delete;

private:
    F function_;
};

template <typename F>
scope_exit_call<F> scope_exit(F function) noexcept
{
    return scope_exit_call<F>(std::move(function));
}

}  // namespace orn
