// The module's true entry point: the C runtime's own, followed at unload by
// the release of what the statically linked runtime would otherwise leave in
// the host on every unload. Measured with a host that loads the module, drives
// a menu and frees it again and again; each unload left behind:
// - the record that the POSIX-thread layer makes for the unloading thread on
//   its first pthread_once inside the module (at load, from the registration
//   of the exception frames): an event, a duplicate of the thread's handle and
//   the record's memory;
// - that layer's TLS index: after about 1080 unloads TlsAlloc fails and the
//   layer aborts the host;
// - the C++ runtime's emergency exception arena, about 19 KB.
// Nothing here depends on the loader's behaviour: the same runtime code leaves
// the same things behind on any Windows.

#include <windows.h>
#include <pthread.h>

#include <cstdlib>
#include <new>

extern "C" {
BOOL WINAPI DllMainCRTStartup(HANDLE instance, DWORD reason, void* reserved);
// The thread layer's own clean-up of an ending thread, and its record lookup.
extern const PIMAGE_TLS_CALLBACK __xl_f;
void* __pth_gpointer_locked(pthread_t thread);
}
namespace __gnu_cxx {
void __freeres() throw();
}

namespace {

// TLS_MINIMUM_AVAILABLE plus the expansion slots.
constexpr DWORD tlsSlotCount = 1088;

// Runs after every destructor of the module, on the unloading thread, under
// the loader lock: it only closes handles and frees memory.
void releaseRuntime(HINSTANCE instance) noexcept
{
    // A loader that also sends the detach after a refused load must not free
    // the same record twice.
    static bool released = false;
    if (released)
        return;
    released = true;
    const DWORD lastError = GetLastError();
    __gnu_cxx::__freeres();

    // The layer keeps each thread's record in a TLS slot of its own; the slot
    // holding this thread's record is that index.
    void* const record = __pth_gpointer_locked(pthread_self());
    DWORD slot = TLS_OUT_OF_INDEXES;
    for (DWORD i = 0; record && i < tlsSlotCount; ++i) {
        if (TlsGetValue(i) == record) {
            slot = i;
            break;
        }
    }
    if (__xl_f)
        __xl_f(instance, DLL_THREAD_DETACH, nullptr);
    if (slot != TLS_OUT_OF_INDEXES) {
        // Handed back to the layer's pool, which is discarded with the module.
        if (!TlsGetValue(slot))
            std::free(record);
        TlsFree(slot);
    }
    SetLastError(lastError);
}

}  // namespace

extern "C" BOOL WINAPI OrnDllEntry(HINSTANCE instance, DWORD reason, void* reserved)
{
    const BOOL result = DllMainCRTStartup(instance, reason, reserved);
    // A refused load has torn the runtime down already, and the loader sends
    // no detach. At process exit nothing is worth giving back.
    const bool unloading = reason == DLL_PROCESS_DETACH && !reserved;
    if (unloading || (reason == DLL_PROCESS_ATTACH && !result))
        releaseRuntime(instance);
    return result;
}
