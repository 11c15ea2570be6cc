#include "sim_ledger.h"

#include <cstring>

namespace {

// Released memory stays mapped up to this size before the oldest goes back to the heap.
constexpr size_t QUARANTINE_LIMIT = 32u << 20;

constexpr size_t PAGE_BYTES = 4096;

size_t PagesFor(size_t bytes)
{
    return (bytes + PAGE_BYTES - 1) / PAGE_BYTES * PAGE_BYTES;
}

// A block that ends (16-byte aligned) just before a reserved, inaccessible page.
BYTE *GuardedAlloc(size_t bytes)
{
    const size_t pages = PagesFor(bytes);
    BYTE *base = static_cast<BYTE *>(VirtualAlloc(nullptr, pages + PAGE_BYTES, MEM_RESERVE,
                                                  PAGE_NOACCESS));
    if (base == nullptr)
        return nullptr;
    if (VirtualAlloc(base, pages, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    return base + pages - (bytes + 15) / 16 * 16;
}

BYTE *AllocationBase(BYTE *memory)
{
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(memory, &info, sizeof(info));
    return static_cast<BYTE *>(info.AllocationBase);
}

} // namespace

BYTE SimDriverPattern(const void *address)
{
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    return static_cast<BYTE>(((a * 0x9Du) ^ (a >> 7) ^ 0x5Au) & 0xFFu);
}

SimLedger::~SimLedger()
{
    Reset();
}

SimArena &SimLedger::Open(SimBlockKind kind, unsigned owner, const std::wstring &accountKey)
{
    std::unique_ptr<SimArena> arena(new SimArena());
    arena->id = m_nextId++;
    arena->kind = kind;
    arena->owner = owner;
    arena->accountKey = accountKey;
    m_arenas.push_back(std::move(arena));
    return *m_arenas.back();
}

void *SimLedger::Alloc(SimArena &arena, size_t bytes)
{
    if (bytes == 0)
        bytes = 1;
    BYTE *memory =
        m_guard ? GuardedAlloc(bytes)
                : static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
    if (memory != nullptr)
        arena.allocations.emplace_back(memory, bytes);
    return memory;
}

wchar_t *SimLedger::AllocString(SimArena &arena, const std::wstring &text)
{
    wchar_t *copy = static_cast<wchar_t *>(Alloc(arena, (text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr)
        memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return copy;
}

void SimLedger::SetBstr(SimArena &arena, BSTR *slot, const std::wstring &text, bool null)
{
    *slot = null ? nullptr : SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    arena.bstrSlots.push_back(slot);
}

void SimLedger::MarkDriverBytes(SimArena &arena, void *start, size_t bytes)
{
    BYTE *p = static_cast<BYTE *>(start);
    for (size_t i = 0; i < bytes; ++i)
        p[i] = SimDriverPattern(p + i);
    arena.driverBytes.emplace_back(p, bytes);
}

void SimLedger::SetRoot(SimArena &arena, void *root)
{
    arena.root = root;
    m_roots[root] = &arena;
    for (const auto &record : arena.records)
        m_records[record.first] = std::make_pair(&arena, record.second);
}

SimArena *SimLedger::FindByRoot(const void *root)
{
    const auto found = m_roots.find(root);
    return found == m_roots.end() ? nullptr : found->second;
}

SimArena *SimLedger::FindRecord(const void *record, size_t *itemIndex)
{
    const auto found = m_records.find(record);
    if (found == m_records.end())
        return nullptr;
    if (itemIndex != nullptr)
        *itemIndex = found->second.second;
    return found->second.first;
}

std::vector<SimArena *> SimLedger::Owned(unsigned owner)
{
    std::vector<SimArena *> owned;
    for (const auto &arena : m_arenas) {
        if (arena->owner == owner)
            owned.push_back(arena.get());
    }
    return owned;
}

bool SimLedger::DriverBytesIntact(const SimArena &arena, const void *start, size_t bytes) const
{
    const BYTE *from = static_cast<const BYTE *>(start);
    const BYTE *to = from + bytes;
    for (const auto &region : arena.driverBytes) {
        for (size_t i = 0; i < region.second; ++i) {
            const BYTE *p = region.first + i;
            if (start != nullptr && (p < from || p >= to))
                continue;
            if (*p != SimDriverPattern(p))
                return false;
        }
    }
    return true;
}

void SimLedger::Release(SimArena &arena)
{
    if (arena.released)
        return;
    arena.released = true;
    for (BSTR *slot : arena.bstrSlots) {
        SysFreeString(*slot);
        *slot = nullptr;
    }
    for (const auto &allocation : arena.allocations) {
        if (m_guard) {
            // Decommitted: the address stays reserved, and any access faults.
            BYTE *base = AllocationBase(allocation.first);
            VirtualFree(base, PagesFor(allocation.first + allocation.second - base),
                        MEM_DECOMMIT);
        } else {
            memset(allocation.first, SIM_POISON_BYTE, allocation.second);
        }
        Quarantine(allocation.first, allocation.second);
    }
    arena.allocations.clear();
}

void SimLedger::Quarantine(BYTE *memory, size_t bytes)
{
    m_quarantine.emplace_back(memory, bytes);
    m_quarantineBytes += QuarantineCost(bytes);
    while (m_quarantineBytes > QUARANTINE_LIMIT && m_quarantine.size() > 1) {
        const auto oldest = m_quarantine.front();
        m_quarantine.pop_front();
        m_quarantineBytes -= QuarantineCost(oldest.second);
        FreeQuarantined(oldest.first);
    }
}

size_t SimLedger::QuarantineCost(size_t bytes) const
{
    // A guarded block holds a reservation of its own, and the process's mappings are few.
    return m_guard ? PAGE_BYTES : bytes;
}

void SimLedger::FreeQuarantined(BYTE *memory)
{
    if (m_guard)
        VirtualFree(AllocationBase(memory), 0, MEM_RELEASE);
    else
        HeapFree(GetProcessHeap(), 0, memory);
}

bool SimLedger::IsReleased(const void *address) const
{
    const BYTE *p = static_cast<const BYTE *>(address);
    for (const auto &block : m_quarantine) {
        if (p >= block.first && p < block.first + block.second)
            return true;
    }
    return false;
}

void SimLedger::Reset()
{
    for (const auto &arena : m_arenas) {
        // Query-value blocks went to the bridge, which frees them.
        if (arena->kind != SimBlockKind::QueryValue)
            Release(*arena);
    }
    for (const auto &block : m_quarantine)
        FreeQuarantined(block.first);
    m_quarantine.clear();
    m_quarantineBytes = 0;
    m_roots.clear();
    m_records.clear();
    m_arenas.clear();
}

void SimLedger::ResetGuarded(bool guard)
{
    Reset();
    m_guard = guard;
}
