#include "sim_lock.h"

#include "sim_world.h"

#include <algorithm>
#include <cwctype>
#include <new>

struct SimLockHold
{
    unsigned id;
    SimDeviceLock lock;
    HANDLE acquired;           // set once the holder has the lock
    HANDLE stop;               // set to end the hold early
    HANDLE thread;
    DWORD holdMs;
    bool taken;
};

namespace {

// Waiting for the holder to get a free lock; a lock held elsewhere for longer fails the hold.
constexpr DWORD HOLD_ACQUIRE_MS = 10000;
// A waiter looks for an abandoned lock this often.
constexpr DWORD WAIT_SLICE_MS = 50;

volatile LONG g_nextHolder = 0;

DWORD WINAPI HoldThread(void *parameter)
{
    SimLockHold *hold = static_cast<SimLockHold *>(parameter);
    if (!hold->lock.Acquire(HOLD_ACQUIRE_MS)) {
        SetEvent(hold->acquired);
        return 1;
    }
    hold->taken = true;
    SetEvent(hold->acquired);
    WaitForSingleObject(hold->stop, hold->holdMs);
    hold->lock.Release();
    return 0;
}

void EndHold(SimLockHold *hold)
{
    SetEvent(hold->stop);
    WaitForSingleObject(hold->thread, INFINITE);
    CloseHandle(hold->thread);
    CloseHandle(hold->stop);
    CloseHandle(hold->acquired);
    delete hold;
}

} // namespace

SimDeviceLock::~SimDeviceLock()
{
    if (m_shared != nullptr)
        UnmapViewOfFile(const_cast<Shared *>(m_shared));
    if (m_mapping != nullptr)
        CloseHandle(m_mapping);
    if (m_freed != nullptr)
        CloseHandle(m_freed);
}

bool SimDeviceLock::Open(const wchar_t *internalName)
{
    const std::wstring name = SimLockName(internalName);
    m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                   sizeof(Shared), name.c_str());
    if (m_mapping == nullptr)
        return false;
    m_shared = static_cast<Shared *>(MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0,
                                                   sizeof(Shared)));
    m_freed = CreateEventW(nullptr, FALSE, FALSE, (name + L"_Freed").c_str());
    const LONGLONG process = static_cast<LONGLONG>(GetCurrentProcessId());
    m_token = (process << 32) | static_cast<LONGLONG>(InterlockedIncrement(&g_nextHolder));
    return m_shared != nullptr && m_freed != nullptr;
}

bool SimDeviceLock::Acquire(DWORD timeout)
{
    if (InterlockedCompareExchange64(&m_shared->owner, m_token, 0) == 0)
        return true;
    if (timeout == 0)
        return false;
    InterlockedIncrement(&m_shared->waiters);
    const ULONGLONG start = GetTickCount64();
    bool taken = false;
    for (;;) {
        if (InterlockedCompareExchange64(&m_shared->owner, m_token, 0) == 0) {
            taken = true;
            break;
        }
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (timeout != INFINITE && elapsed >= timeout)
            break;
        DWORD slice = WAIT_SLICE_MS;
        if (timeout != INFINITE && timeout - elapsed < slice)
            slice = static_cast<DWORD>(timeout - elapsed);
        WaitForSingleObject(m_freed, slice);
        BreakAbandoned();
    }
    InterlockedDecrement(&m_shared->waiters);
    return taken;
}

void SimDeviceLock::Release()
{
    InterlockedCompareExchange64(&m_shared->owner, 0, m_token);
    if (m_shared->waiters > 0)
        SetEvent(m_freed);
}

void SimDeviceLock::BreakAbandoned()
{
    const LONGLONG owner = m_shared->owner;
    const DWORD process = static_cast<DWORD>(static_cast<ULONGLONG>(owner) >> 32);
    if (owner == 0 || process == GetCurrentProcessId())
        return;
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
    const bool ended = handle == nullptr || WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    if (handle != nullptr)
        CloseHandle(handle);
    if (ended)
        InterlockedCompareExchange64(&m_shared->owner, 0, owner);
}

namespace {

std::wstring g_lockScope;

} // namespace

void SimSetLockScope(const wchar_t *scope)
{
    g_lockScope = scope != nullptr ? scope : L"";
}

std::wstring SimLockName(const wchar_t *internalName)
{
    // Backslashes would name a namespace; device internal names hold them.
    std::wstring name = L"StiSimDeviceLock_" + g_lockScope + L"_";
    for (const wchar_t *p = internalName != nullptr ? internalName : L""; *p != L'\0'; ++p)
        name += (*p == L'\\' || *p == L'/') ? L'_' : static_cast<wchar_t>(towlower(*p));
    return name;
}

unsigned SimHoldLock(const wchar_t *internalName, DWORD holdMs)
{
    SimLockHold *hold = new (std::nothrow) SimLockHold();
    if (hold == nullptr)
        return 0;
    hold->acquired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hold->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hold->holdMs = holdMs;
    hold->taken = false;
    hold->thread = nullptr;
    if (hold->lock.Open(internalName) && hold->acquired != nullptr && hold->stop != nullptr)
        hold->thread = CreateThread(nullptr, 0, HoldThread, hold, 0, nullptr);
    if (hold->thread == nullptr) {
        if (hold->acquired != nullptr)
            CloseHandle(hold->acquired);
        if (hold->stop != nullptr)
            CloseHandle(hold->stop);
        delete hold;
        return 0;
    }
    WaitForSingleObject(hold->acquired, INFINITE);
    if (!hold->taken) {
        EndHold(hold);
        return 0;
    }
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    hold->id = world.nextHold++;
    world.holds.push_back(hold);
    return hold->id;
}

void SimReleaseLock(unsigned id)
{
    SimLockHold *hold = nullptr;
    {
        SimWorld &world = World();
        std::lock_guard<std::recursive_mutex> guard(world.mutex);
        const auto found = std::find_if(world.holds.begin(), world.holds.end(),
                                        [id](const SimLockHold *h) { return h->id == id; });
        if (found == world.holds.end())
            return;
        hold = *found;
        world.holds.erase(found);
    }
    EndHold(hold);
}

void SimReleaseAllLockHolds()
{
    std::vector<SimLockHold *> holds;
    {
        SimWorld &world = World();
        std::lock_guard<std::recursive_mutex> guard(world.mutex);
        holds.swap(world.holds);
    }
    for (SimLockHold *hold : holds)
        EndHold(hold);
}
