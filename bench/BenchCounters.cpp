#include "BenchCounters.h"

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" void* __real_malloc(std::size_t size);

namespace {

std::atomic<long> allocations{0};

void* allocate(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __real_malloc(size ? size : 1);
}

// One slot per imported function: "lock inc dword [count]; jmp dword [target]".
#pragma pack(push, 1)
struct Thunk {
    BYTE lockInc[3];
    volatile LONG* count;
    BYTE jump[2];
    void** target;
    BYTE pad[3];
    volatile LONG counter;
    void* original;
};
#pragma pack(pop)

struct ImportEntry {
    std::string name;
    Thunk* thunk;
};

std::vector<ImportEntry>& entries()
{
    static std::vector<ImportEntry> list;
    return list;
}

// Counters are copied here before anything is allocated for the report.
std::vector<long>& snapshot()
{
    static std::vector<long> counts;
    return counts;
}

}  // namespace

extern "C" void* __wrap_malloc(std::size_t size)
{
    return allocate(size);
}

void* operator new(std::size_t size)
{
    if (void* memory = allocate(size))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}
void operator delete(void* memory) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace bench {

long allocationCount()
{
    return allocations.load(std::memory_order_relaxed);
}

bool countImportedCalls()
{
    if (!entries().empty())
        return true;
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress)
        return false;

    // Count the slots first: the thunks live in one executable block.
    std::size_t slots = 0;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         d->Name; ++d) {
        for (auto* t = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk); t->u1.Function;
             ++t)
            ++slots;
    }
    auto* thunks = static_cast<Thunk*>(
        VirtualAlloc(nullptr, slots * sizeof(Thunk), MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    if (!thunks)
        return false;

    std::size_t used = 0;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         d->Name; ++d) {
        const char* module = reinterpret_cast<const char*>(base + d->Name);
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; slot->u1.Function; ++slot, ++names) {
            // Imported data (the runtime's stream table, say) must keep its
            // address: only slots that point at code get a thunk.
            MEMORY_BASIC_INFORMATION memory;
            if (!VirtualQuery(reinterpret_cast<void*>(slot->u1.Function), &memory, sizeof memory) ||
                !(memory.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                    PAGE_EXECUTE_WRITECOPY)))
                continue;
            std::string name = module;
            name += '!';
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                name += "#" + std::to_string(IMAGE_ORDINAL(names->u1.Ordinal));
            else
                name += reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)
                            ->Name;
            Thunk* thunk = thunks + used++;
            thunk->lockInc[0] = 0xF0;
            thunk->lockInc[1] = 0xFF;
            thunk->lockInc[2] = 0x05;
            thunk->count = &thunk->counter;
            thunk->jump[0] = 0xFF;
            thunk->jump[1] = 0x25;
            thunk->target = &thunk->original;
            thunk->counter = 0;
            thunk->original = reinterpret_cast<void*>(slot->u1.Function);
            DWORD old = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old);
            slot->u1.Function = reinterpret_cast<DWORD_PTR>(thunk);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
            entries().push_back({name, thunk});
        }
    }
    FlushInstructionCache(GetCurrentProcess(), thunks, slots * sizeof(Thunk));
    snapshot().assign(entries().size(), 0);
    return true;
}

std::vector<std::pair<std::string, long>> importedCalls()
{
    std::vector<long>& counts = snapshot();
    for (std::size_t i = 0; i < counts.size(); ++i)
        counts[i] = entries()[i].thunk->counter;
    std::vector<std::pair<std::string, long>> calls;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i])
            calls.emplace_back(entries()[i].name, counts[i]);
    }
    return calls;
}

void resetImportedCalls()
{
    for (const ImportEntry& entry : entries())
        entry.thunk->counter = 0;
}

}  // namespace bench
