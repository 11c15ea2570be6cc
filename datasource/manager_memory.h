// Memory that crosses to the application (capability containers): through the source manager's
// functions when it gave them (DAT_ENTRYPOINT), else global memory as TWAIN 1.x managers use.
#pragma once

#include "twain_ext.h"

class ManagerMemory
{
public:
    void Set(const TW_ENTRYPOINT &entry);
    void Clear() { m_entry = TW_ENTRYPOINT{}; }
    bool HasManager() const { return m_entry.DSM_Entry != nullptr; }
    DSMENTRYPROC ManagerEntry() const { return m_entry.DSM_Entry; }

    TW_HANDLE Alloc(TW_UINT32 size) const;
    void Free(TW_HANDLE handle) const;
    void *Lock(TW_HANDLE handle) const;
    void Unlock(TW_HANDLE handle) const;

private:
    TW_ENTRYPOINT m_entry = {};
};
