// The simulated STI device object: the device lock, the escapes into the driver and the
// driver's last error. One per IStillImage::CreateDevice.
#pragma once

#include "sim_driver.h"
#include "sim_lock.h"

#include <windows.h>
#include <sti.h>

#include <memory>

class CSimStiDevice final : public IStiDevice
{
public:
    // Returns the object with one reference, or null.
    static CSimStiDevice *Create(const std::shared_ptr<SimDevice> &device, DWORD mode);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;
    HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE instance, LPCWSTR deviceName, DWORD version,
                                         DWORD mode) noexcept override;
    HRESULT STDMETHODCALLTYPE GetCapabilities(PSTI_DEV_CAPS caps) noexcept override;
    HRESULT STDMETHODCALLTYPE GetStatus(PSTI_DEVICE_STATUS status) noexcept override;
    HRESULT STDMETHODCALLTYPE DeviceReset() noexcept override;
    HRESULT STDMETHODCALLTYPE Diagnostic(LPSTI_DIAG buffer) noexcept override;
    HRESULT STDMETHODCALLTYPE Escape(STI_RAW_CONTROL_CODE code, LPVOID in, DWORD inSize,
                                     LPVOID out, DWORD outSize, LPDWORD actual) noexcept override;
    HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD lastError) noexcept override;
    HRESULT STDMETHODCALLTYPE LockDevice(DWORD timeout) noexcept override;
    HRESULT STDMETHODCALLTYPE UnLockDevice() noexcept override;
    HRESULT STDMETHODCALLTYPE RawReadData(LPVOID buffer, LPDWORD bytes,
                                          LPOVERLAPPED overlapped) noexcept override;
    HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID buffer, DWORD bytes,
                                           LPOVERLAPPED overlapped) noexcept override;
    HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID buffer, LPDWORD bytes,
                                             LPOVERLAPPED overlapped) noexcept override;
    HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID buffer, DWORD bytes,
                                              LPOVERLAPPED overlapped) noexcept override;
    HRESULT STDMETHODCALLTYPE Subscribe(LPSTISUBSCRIBE subscribe) noexcept override;
    HRESULT STDMETHODCALLTYPE GetLastNotificationData(LPSTINOTIFY notify) noexcept override;
    HRESULT STDMETHODCALLTYPE UnSubscribe() noexcept override;
    HRESULT STDMETHODCALLTYPE GetLastErrorInfo(STI_ERROR_INFO *info) noexcept override;

    unsigned Id() const { return m_context.deviceObject; }
    // Lets go of the device lock; the world's reset does this for objects a test left behind.
    void ForceUnlock();

private:
    CSimStiDevice() = default;
    ~CSimStiDevice() = default;
    CSimStiDevice(const CSimStiDevice &) = delete;
    CSimStiDevice &operator=(const CSimStiDevice &) = delete;

    volatile LONG m_refCount = 1;
    SimDriverContext m_context;
    SimDeviceLock m_lock;
    LONG m_lockDepth = 0;      // LockDevice calls of this object not yet undone
    DWORD m_lastError = 0;
    DWORD m_mode = 0;
};
