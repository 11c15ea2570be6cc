// The device lock, shared by every device object of a device, in this process and in others.
// An uncontended lock is one interlocked exchange on a small named shared block; only a waiter
// sleeps on the named event that an unlock sets, so a transfer's lock costs no kernel call.
#pragma once

#include <windows.h>

class SimDeviceLock
{
public:
    SimDeviceLock() = default;
    SimDeviceLock(const SimDeviceLock &) = delete;
    SimDeviceLock &operator=(const SimDeviceLock &) = delete;
    ~SimDeviceLock();

    // Opens (or creates) the device's shared lock; false when that fails.
    bool Open(const wchar_t *internalName);
    // Takes the lock, waiting at most timeout milliseconds; false when it stayed taken.
    bool Acquire(DWORD timeout);
    void Release();

private:
    struct Shared
    {
        volatile LONGLONG owner;   // process id in the high half, holder number in the low; 0 free
        volatile LONG waiters;
    };

    // A holder whose process has ended no longer holds the lock.
    void BreakAbandoned();

    HANDLE m_mapping = nullptr;
    HANDLE m_freed = nullptr;      // auto-reset: one waiter wakes per unlock
    Shared *m_shared = nullptr;
    LONGLONG m_token = 0;
};

// Ends every hold that SimHoldLock started.
void SimReleaseAllLockHolds();
