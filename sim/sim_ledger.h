// The driver's ownership ledger: every block it hands out, which device object produced it, and
// whether it came back. Released memory is poisoned and kept mapped for a while, so that a read
// after hand-back finds the poison instead of someone else's data.
#pragma once

#include "sim_sti.h"

#include <oleauto.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct SimArena
{
    unsigned id;
    SimBlockKind kind;
    unsigned owner;            // device object id
    std::wstring accountKey;
    void *root = nullptr;      // what the driver handed out
    bool released = false;
    bool corruptionReported = false;
    std::vector<std::pair<BYTE *, size_t>> allocations;
    std::vector<BSTR *> bstrSlots;           // freed with the block
    std::vector<std::pair<BYTE *, size_t>> driverBytes;
    std::vector<std::pair<ItemRecord *, size_t>> records; // item list: record and item index
};

class SimLedger
{
public:
    SimLedger() = default;
    SimLedger(const SimLedger &) = delete;
    SimLedger &operator=(const SimLedger &) = delete;
    ~SimLedger();

    SimArena &Open(SimBlockKind kind, unsigned owner, const std::wstring &accountKey);
    // Zero-filled memory that belongs to the arena; null when out of memory.
    void *Alloc(SimArena &arena, size_t bytes);
    wchar_t *AllocString(SimArena &arena, const std::wstring &text);
    // Stores a new BSTR in the slot and frees whatever the slot holds when the block goes.
    void SetBstr(SimArena &arena, BSTR *slot, const std::wstring &text, bool null);
    // Fills bytes that only the driver reads with a pattern the driver checks on hand-back.
    void MarkDriverBytes(SimArena &arena, void *start, size_t bytes);
    void SetRoot(SimArena &arena, void *root);

    SimArena *FindByRoot(const void *root);
    // The arena of an item record and the record's item index.
    SimArena *FindRecord(const void *record, size_t *itemIndex);
    std::vector<SimArena *> Owned(unsigned owner);
    const std::vector<std::unique_ptr<SimArena>> &Arenas() const { return m_arenas; }

    // True when every marked byte in [start, start + bytes) of the arena still holds its
    // pattern; the whole arena when start is null.
    bool DriverBytesIntact(const SimArena &arena, const void *start, size_t bytes) const;

    // Frees the block's BSTRs, poisons its memory and quarantines it.
    void Release(SimArena &arena);
    bool IsReleased(const void *address) const;
    // Releases every block still held and empties the quarantine.
    void Reset();
    // Guarded: each block on pages of its own, ending just before an inaccessible page, and
    // released blocks decommitted, so a read after hand-back (or past a block's end) faults.
    // Switched only by a reset.
    void ResetGuarded(bool guard);
    bool Guarded() const { return m_guard; }

private:
    void Quarantine(BYTE *memory, size_t bytes);
    void FreeQuarantined(BYTE *memory);
    size_t QuarantineCost(size_t bytes) const;

    std::vector<std::unique_ptr<SimArena>> m_arenas;
    std::map<const void *, SimArena *> m_roots;
    std::map<const void *, std::pair<SimArena *, size_t>> m_records;
    std::deque<std::pair<BYTE *, size_t>> m_quarantine;
    size_t m_quarantineBytes = 0;
    unsigned m_nextId = 1;
    bool m_guard = false;
};

// The pattern byte the driver keeps at an address of its own records.
BYTE SimDriverPattern(const void *address);
