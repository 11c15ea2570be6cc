// The device lock: a device object waits for a lock that another one holds and fails after its
// time-out; the lock is the device's, not the object's or the thread's.
#include "sim_sti.h"

#include <gtest/gtest.h>

namespace {

const wchar_t DEVICE[] = L"LockTestDevice\\0000";
const wchar_t OTHER_DEVICE[] = L"LockTestDevice\\0001";

struct LockRequest
{
    IStiDevice *device;
    HANDLE locked;             // set once the holder has the lock
    HANDLE release;            // set to make the holder let go
    HRESULT result;
};

DWORD WINAPI HoldOnAnotherThread(void *parameter)
{
    LockRequest *request = static_cast<LockRequest *>(parameter);
    request->result = request->device->LockDevice(4000);
    SetEvent(request->locked);
    WaitForSingleObject(request->release, INFINITE);
    if (SUCCEEDED(request->result))
        request->device->UnLockDevice();
    return 0;
}

class SimLockTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SimAddDevice(SimMakeDevice(DEVICE, L"Orvane Quillon 4410MFP TWAIN", L"Lock A"));
        SimAddDevice(SimMakeDevice(OTHER_DEVICE, L"Orvane Quillon 4420MFP TWAIN", L"Lock B"));
        ASSERT_EQ(SimOpenDevice(DEVICE, &m_service, &m_first), S_OK);
        ASSERT_EQ(m_service->CreateDevice(const_cast<LPWSTR>(DEVICE), 1, &m_second, nullptr),
                  S_OK);
    }

    void TearDown() override
    {
        if (m_first != nullptr)
            m_first->Release();
        if (m_second != nullptr)
            m_second->Release();
        if (m_service != nullptr)
            m_service->Release();
    }

    IStillImageW *m_service = nullptr;
    IStiDevice *m_first = nullptr;
    IStiDevice *m_second = nullptr;
};

TEST_F(SimLockTest, LockHeldByAnotherObjectOnAnotherThreadTimesOut)
{
    LockRequest request = {m_first, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                           CreateEventW(nullptr, TRUE, FALSE, nullptr), E_FAIL};
    HANDLE thread = CreateThread(nullptr, 0, HoldOnAnotherThread, &request, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(request.locked, INFINITE);
    ASSERT_EQ(request.result, S_OK);

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(m_second->LockDevice(300), STIERR_DEVICE_LOCKED);
    const ULONGLONG waited = GetTickCount64() - start;
    // The request waited for its time-out; no tight bound on a loaded machine.
    EXPECT_GE(waited, 250u);
    DWORD lastError = 0;
    EXPECT_EQ(m_second->GetLastError(&lastError), S_OK);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    // A failed lock is not held: unlocking it is an error.
    EXPECT_EQ(m_second->UnLockDevice(), STIERR_NEEDS_LOCK);

    SetEvent(request.release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(request.locked);
    CloseHandle(request.release);

    EXPECT_EQ(m_second->LockDevice(300), S_OK);
    EXPECT_EQ(m_second->UnLockDevice(), S_OK);
    EXPECT_EQ(SimCallTrace(SimDeviceObjectId(m_second)),
              "CreateDevice Lock! GetLastError Unlock! Lock Unlock");
}

TEST_F(SimLockTest, ObjectsOnOneThreadContendToo)
{
    ASSERT_EQ(m_first->LockDevice(4000), S_OK);
    EXPECT_EQ(m_second->LockDevice(50), STIERR_DEVICE_LOCKED);
    // Another device has a lock of its own.
    IStiDevice *other = nullptr;
    ASSERT_EQ(m_service->CreateDevice(const_cast<LPWSTR>(OTHER_DEVICE), 1, &other, nullptr), S_OK);
    EXPECT_EQ(other->LockDevice(50), S_OK);
    EXPECT_EQ(other->UnLockDevice(), S_OK);
    other->Release();
    EXPECT_EQ(m_first->UnLockDevice(), S_OK);
    EXPECT_EQ(m_second->LockDevice(50), S_OK);
    EXPECT_EQ(m_second->UnLockDevice(), S_OK);
}

TEST_F(SimLockTest, HoldFromTheScriptBlocksUntilReleased)
{
    const unsigned hold = SimHoldLock(DEVICE, INFINITE);
    ASSERT_NE(hold, 0u);
    EXPECT_EQ(m_first->LockDevice(50), STIERR_DEVICE_LOCKED);
    // The name is the device's whatever the case of the text.
    EXPECT_EQ(SimLockName(L"LOCKTESTDEVICE\\0000"), SimLockName(DEVICE));
    SimReleaseLock(hold);
    EXPECT_EQ(m_first->LockDevice(50), S_OK);
    EXPECT_EQ(m_first->UnLockDevice(), S_OK);

    // A timed hold lets go by itself.
    const unsigned timed = SimHoldLock(DEVICE, 100);
    ASSERT_NE(timed, 0u);
    EXPECT_EQ(m_first->LockDevice(4000), S_OK);
    EXPECT_EQ(m_first->UnLockDevice(), S_OK);
    SimReleaseLock(timed);
}

TEST_F(SimLockTest, ReleasingALockedObjectFreesTheLockAndIsRecorded)
{
    ASSERT_EQ(m_first->LockDevice(4000), S_OK);
    m_first->Release();
    m_first = nullptr;
    const std::vector<std::string> violations = SimTakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("released while it held the device lock"), std::string::npos);
    EXPECT_EQ(m_second->LockDevice(50), S_OK);
    EXPECT_EQ(m_second->UnLockDevice(), S_OK);
}

TEST_F(SimLockTest, InjectedLockFailureTakesNoLock)
{
    SimInjection injection = SimFailCall(SimPoint::LockDevice, E_FAIL);
    injection.count = 1;
    SimInject(injection);
    EXPECT_EQ(m_first->LockDevice(4000), E_FAIL);
    EXPECT_EQ(m_second->LockDevice(50), S_OK);
    EXPECT_EQ(m_second->UnLockDevice(), S_OK);

    // An unlock that fails after doing its work leaves the lock free.
    SimInjection unlock = SimFailCall(SimPoint::UnLockDevice, E_ACCESSDENIED);
    unlock.perform = true;
    unlock.count = 1;
    SimInject(unlock);
    ASSERT_EQ(m_first->LockDevice(4000), S_OK);
    EXPECT_EQ(m_first->UnLockDevice(), E_ACCESSDENIED);
    EXPECT_EQ(m_second->LockDevice(50), S_OK);
    EXPECT_EQ(m_second->UnLockDevice(), S_OK);
}

} // namespace
