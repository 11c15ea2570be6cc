#include "manager_memory.h"

void ManagerMemory::Set(const TW_ENTRYPOINT &entry)
{
    m_entry = entry;
    // All four memory functions or none: a partial set is not used.
    if (m_entry.DSM_MemAllocate == nullptr || m_entry.DSM_MemFree == nullptr ||
        m_entry.DSM_MemLock == nullptr || m_entry.DSM_MemUnlock == nullptr) {
        m_entry.DSM_MemAllocate = nullptr;
        m_entry.DSM_MemFree = nullptr;
        m_entry.DSM_MemLock = nullptr;
        m_entry.DSM_MemUnlock = nullptr;
    }
}

TW_HANDLE ManagerMemory::Alloc(TW_UINT32 size) const
{
    if (m_entry.DSM_MemAllocate != nullptr)
        return m_entry.DSM_MemAllocate(size);
    return GlobalAlloc(GHND, size);
}

void ManagerMemory::Free(TW_HANDLE handle) const
{
    if (handle == nullptr)
        return;
    if (m_entry.DSM_MemFree != nullptr)
        m_entry.DSM_MemFree(handle);
    else
        GlobalFree(handle);
}

void *ManagerMemory::Lock(TW_HANDLE handle) const
{
    if (handle == nullptr)
        return nullptr;
    return m_entry.DSM_MemLock != nullptr ? m_entry.DSM_MemLock(handle) : GlobalLock(handle);
}

void ManagerMemory::Unlock(TW_HANDLE handle) const
{
    if (handle == nullptr)
        return;
    if (m_entry.DSM_MemUnlock != nullptr)
        m_entry.DSM_MemUnlock(handle);
    else
        GlobalUnlock(handle);
}
