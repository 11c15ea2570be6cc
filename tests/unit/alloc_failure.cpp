#include "alloc_failure.h"

#include "sim_sti.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

enum Slot
{
    GLOBAL_ALLOC,
    GLOBAL_FREE,
    GLOBAL_LOCK,
    SYS_ALLOC_STRING,
    SYS_ALLOC_STRING_LEN,
    SYS_FREE_STRING,
    CO_TASK_MEM_ALLOC,
    CO_TASK_MEM_FREE,
    SLOT_COUNT
};

// The functions the import slots held before they were pointed to the wrappers.
ULONG_PTR g_real[SLOT_COUNT] = {};

template <typename Function>
Function Real(Slot slot)
{
    return reinterpret_cast<Function>(g_real[slot]);
}

// Written by the armed thread only; other threads merely see that it is not theirs.
volatile DWORD g_armedThread = 0;
unsigned long g_failAt = 0;
unsigned long g_counted = 0;
bool g_injected = false;
unsigned long g_throwingNews = 0;

// Counted blocks not freed yet. Frees come from any thread (the simulation frees BSTRs it was
// handed), so the table has a lock; it never allocates.
constexpr size_t HELD_CAPACITY = 4096;
SRWLOCK g_heldLock = SRWLOCK_INIT;
const void *g_held[HELD_CAPACITY];
size_t g_heldCount = 0;
size_t g_heldOverflow = 0;

bool Armed()
{
    return g_armedThread != 0 && g_armedThread == GetCurrentThreadId() && !SimInsideCall();
}

// Numbers a counted allocation; true when it is the one that fails.
bool FailThisOne()
{
    ++g_counted;
    if (g_counted != g_failAt)
        return false;
    g_injected = true;
    return true;
}

void Hold(const void *block)
{
    if (block == nullptr)
        return;
    AcquireSRWLockExclusive(&g_heldLock);
    if (g_heldCount < HELD_CAPACITY)
        g_held[g_heldCount++] = block;
    else
        ++g_heldOverflow;
    ReleaseSRWLockExclusive(&g_heldLock);
}

void Forget(const void *block)
{
    if (block == nullptr)
        return;
    AcquireSRWLockExclusive(&g_heldLock);
    for (size_t i = 0; i < g_heldCount; ++i) {
        if (g_held[i] == block) {
            g_held[i] = g_held[--g_heldCount];
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_heldLock);
}

template <typename Block, typename Allocate>
Block Counted(Allocate allocate)
{
    if (!Armed())
        return allocate();
    if (FailThisOne()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return Block();
    }
    const Block block = allocate();
    Hold(block);
    return block;
}

HGLOBAL WINAPI CountingGlobalAlloc(UINT flags, SIZE_T bytes)
{
    return Counted<HGLOBAL>([&] { return Real<decltype(&GlobalAlloc)>(GLOBAL_ALLOC)(flags, bytes); });
}

HGLOBAL WINAPI CountingGlobalFree(HGLOBAL block)
{
    Forget(block);
    return Real<decltype(&GlobalFree)>(GLOBAL_FREE)(block);
}

// Locking a movable block can fail for want of memory too: it counts, and holds nothing.
LPVOID WINAPI CountingGlobalLock(HGLOBAL block)
{
    if (Armed() && FailThisOne()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Real<decltype(&GlobalLock)>(GLOBAL_LOCK)(block);
}

BSTR WINAPI CountingSysAllocString(const OLECHAR *text)
{
    return Counted<BSTR>([&] { return Real<decltype(&SysAllocString)>(SYS_ALLOC_STRING)(text); });
}

BSTR WINAPI CountingSysAllocStringLen(const OLECHAR *text, UINT length)
{
    return Counted<BSTR>(
        [&] { return Real<decltype(&SysAllocStringLen)>(SYS_ALLOC_STRING_LEN)(text, length); });
}

void WINAPI CountingSysFreeString(BSTR text)
{
    Forget(text);
    Real<decltype(&SysFreeString)>(SYS_FREE_STRING)(text);
}

LPVOID WINAPI CountingCoTaskMemAlloc(SIZE_T bytes)
{
    return Counted<LPVOID>([&] { return Real<decltype(&CoTaskMemAlloc)>(CO_TASK_MEM_ALLOC)(bytes); });
}

void WINAPI CountingCoTaskMemFree(LPVOID block)
{
    Forget(block);
    Real<decltype(&CoTaskMemFree)>(CO_TASK_MEM_FREE)(block);
}

struct Import
{
    const char *dll;
    const char *name;
    WORD ordinal;              // oleaut32 may be imported by ordinal
    Slot slot;
    ULONG_PTR wrapper;
};

#define WRAPPER(function) reinterpret_cast<ULONG_PTR>(&function)
const Import IMPORTS[] = {
    {"kernel32.dll", "GlobalAlloc", 0, GLOBAL_ALLOC, WRAPPER(CountingGlobalAlloc)},
    {"kernel32.dll", "GlobalFree", 0, GLOBAL_FREE, WRAPPER(CountingGlobalFree)},
    {"kernel32.dll", "GlobalLock", 0, GLOBAL_LOCK, WRAPPER(CountingGlobalLock)},
    {"oleaut32.dll", "SysAllocString", 2, SYS_ALLOC_STRING, WRAPPER(CountingSysAllocString)},
    {"oleaut32.dll", "SysAllocStringLen", 4, SYS_ALLOC_STRING_LEN,
     WRAPPER(CountingSysAllocStringLen)},
    {"oleaut32.dll", "SysFreeString", 6, SYS_FREE_STRING, WRAPPER(CountingSysFreeString)},
    {"ole32.dll", "CoTaskMemAlloc", 0, CO_TASK_MEM_ALLOC, WRAPPER(CountingCoTaskMemAlloc)},
    {"ole32.dll", "CoTaskMemFree", 0, CO_TASK_MEM_FREE, WRAPPER(CountingCoTaskMemFree)},
};
#undef WRAPPER

// Points every import slot of the executable for the function to its wrapper; the count of
// slots changed.
size_t Patch(const Import &import)
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return 0;
    size_t patched = 0;
    for (auto *descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        // Without a lookup table the slots hold addresses only, and no name can be matched.
        if (_stricmp(reinterpret_cast<const char *>(base + descriptor->Name), import.dll) != 0 ||
            descriptor->OriginalFirstThunk == 0)
            continue;
        auto *lookup = reinterpret_cast<IMAGE_THUNK_DATA *>(base + descriptor->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + descriptor->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++slots) {
            bool match = false;
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) {
                match = import.ordinal != 0 && IMAGE_ORDINAL(lookup->u1.Ordinal) == import.ordinal;
            } else {
                const auto *byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + lookup->u1.AddressOfData);
                match = strcmp(reinterpret_cast<const char *>(byName->Name), import.name) == 0;
            }
            if (!match)
                continue;
            if (g_real[import.slot] == 0)
                g_real[import.slot] = slots->u1.Function;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE,
                                &protection))
                continue;
            slots->u1.Function = import.wrapper;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection,
                           &protection);
            ++patched;
        }
    }
    return patched;
}

void *NewBlock(std::size_t bytes, bool mayFail)
{
    const bool armed = Armed();
    if (armed && !mayFail)
        ++g_throwingNews;
    if (armed && mayFail && FailThisOne())
        return nullptr;
    void *block = std::malloc(bytes != 0 ? bytes : 1);
    if (armed)
        Hold(block);
    return block;
}

void DeleteBlock(void *block)
{
    Forget(block);
    std::free(block);
}

} // namespace

bool InstallAllocationWrappers(std::string *error)
{
    static bool installed = false;
    static std::string missing;
    if (!installed) {
        installed = true;
        for (const Import &import : IMPORTS) {
            if (Patch(import) == 0)
                missing += std::string(import.dll) + "!" + import.name + " ";
        }
    }
    if (error != nullptr)
        *error = missing.empty() ? std::string() : "no import slot for " + missing;
    return missing.empty();
}

void StartAllocationRun(unsigned long failAt)
{
    g_armedThread = 0;
    g_failAt = failAt;
    g_counted = 0;
    g_injected = false;
    g_throwingNews = 0;
    AcquireSRWLockExclusive(&g_heldLock);
    g_heldCount = 0;
    g_heldOverflow = 0;
    ReleaseSRWLockExclusive(&g_heldLock);
}

unsigned long AllocationsCounted()
{
    return g_counted;
}

bool AllocationFailureInjected()
{
    return g_injected;
}

size_t AllocationsOutstanding()
{
    AcquireSRWLockExclusive(&g_heldLock);
    const size_t held = g_heldCount + g_heldOverflow;
    ReleaseSRWLockExclusive(&g_heldLock);
    return held;
}

unsigned long ThrowingNewCalls()
{
    return g_throwingNews;
}

ArmedAllocations::ArmedAllocations()
{
    g_armedThread = GetCurrentThreadId();
}

ArmedAllocations::~ArmedAllocations()
{
    g_armedThread = 0;
}

// The executable's allocation functions. The throwing forms never fail an injection: the bridge
// must not use them (ThrowingNewCalls), and a test process out of memory stops.
void *operator new(std::size_t bytes)
{
    void *block = NewBlock(bytes, false);
    if (block == nullptr)
        std::abort();
    return block;
}

void *operator new[](std::size_t bytes)
{
    return operator new(bytes);
}

void *operator new(std::size_t bytes, const std::nothrow_t &) noexcept
{
    return NewBlock(bytes, true);
}

void *operator new[](std::size_t bytes, const std::nothrow_t &) noexcept
{
    return NewBlock(bytes, true);
}

void operator delete(void *block) noexcept
{
    DeleteBlock(block);
}

void operator delete[](void *block) noexcept
{
    DeleteBlock(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    DeleteBlock(block);
}

void operator delete[](void *block, std::size_t) noexcept
{
    DeleteBlock(block);
}

void operator delete(void *block, const std::nothrow_t &) noexcept
{
    DeleteBlock(block);
}

void operator delete[](void *block, const std::nothrow_t &) noexcept
{
    DeleteBlock(block);
}
