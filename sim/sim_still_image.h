// The simulated STI service object: lists the world's devices and opens device objects.
#pragma once

#include <windows.h>
#include <sti.h>

class CSimStillImage final : public IStillImageW
{
public:
    // Returns the object with one reference, or null.
    static CSimStillImage *Create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;
    HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE instance, DWORD version) noexcept override;
    HRESULT STDMETHODCALLTYPE GetDeviceList(DWORD type, DWORD flags, DWORD *count,
                                            LPVOID *buffer) noexcept override;
    HRESULT STDMETHODCALLTYPE GetDeviceInfo(LPWSTR deviceName, LPVOID *buffer) noexcept override;
    HRESULT STDMETHODCALLTYPE CreateDevice(LPWSTR deviceName, DWORD mode, PSTIDEVICE *device,
                                           LPUNKNOWN outer) noexcept override;
    HRESULT STDMETHODCALLTYPE GetDeviceValue(LPWSTR deviceName, LPWSTR valueName, LPDWORD type,
                                             LPBYTE data, LPDWORD dataSize) noexcept override;
    HRESULT STDMETHODCALLTYPE SetDeviceValue(LPWSTR deviceName, LPWSTR valueName, DWORD type,
                                             LPBYTE data, DWORD dataSize) noexcept override;
    HRESULT STDMETHODCALLTYPE GetSTILaunchInformation(LPWSTR deviceName, DWORD *eventCode,
                                                      LPWSTR eventName) noexcept override;
    HRESULT STDMETHODCALLTYPE RegisterLaunchApplication(LPWSTR appName,
                                                        LPWSTR commandLine) noexcept override;
    HRESULT STDMETHODCALLTYPE UnregisterLaunchApplication(LPWSTR appName) noexcept override;
    HRESULT STDMETHODCALLTYPE EnableHwNotifications(LPCWSTR deviceName,
                                                    BOOL newState) noexcept override;
    HRESULT STDMETHODCALLTYPE GetHwNotificationState(LPCWSTR deviceName,
                                                     BOOL *currentState) noexcept override;
    HRESULT STDMETHODCALLTYPE RefreshDeviceBus(LPCWSTR deviceName) noexcept override;
    HRESULT STDMETHODCALLTYPE LaunchApplicationForDevice(LPWSTR deviceName, LPWSTR appName,
                                                         LPSTINOTIFY notify) noexcept override;
    HRESULT STDMETHODCALLTYPE
    SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW info) noexcept override;
    HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD messageType, LPCWSTR message) noexcept override;

private:
    CSimStillImage() = default;
    CSimStillImage(const CSimStillImage &) = delete;
    CSimStillImage &operator=(const CSimStillImage &) = delete;

    volatile LONG m_refCount = 1;
};
