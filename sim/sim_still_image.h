// The simulated STI service object: lists the world's devices and opens device objects.
#pragma once

#include <windows.h>
#include <sti.h>

class CSimStillImage final : public IStillImageW
{
public:
    // Returns the object with one reference, or null.
    static CSimStillImage *Create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE instance, DWORD version) override;
    HRESULT STDMETHODCALLTYPE GetDeviceList(DWORD type, DWORD flags, DWORD *count,
                                            LPVOID *buffer) override;
    HRESULT STDMETHODCALLTYPE GetDeviceInfo(LPWSTR deviceName, LPVOID *buffer) override;
    HRESULT STDMETHODCALLTYPE CreateDevice(LPWSTR deviceName, DWORD mode, PSTIDEVICE *device,
                                           LPUNKNOWN outer) override;
    HRESULT STDMETHODCALLTYPE GetDeviceValue(LPWSTR deviceName, LPWSTR valueName, LPDWORD type,
                                             LPBYTE data, LPDWORD dataSize) override;
    HRESULT STDMETHODCALLTYPE SetDeviceValue(LPWSTR deviceName, LPWSTR valueName, DWORD type,
                                             LPBYTE data, DWORD dataSize) override;
    HRESULT STDMETHODCALLTYPE GetSTILaunchInformation(LPWSTR deviceName, DWORD *eventCode,
                                                      LPWSTR eventName) override;
    HRESULT STDMETHODCALLTYPE RegisterLaunchApplication(LPWSTR appName,
                                                        LPWSTR commandLine) override;
    HRESULT STDMETHODCALLTYPE UnregisterLaunchApplication(LPWSTR appName) override;
    HRESULT STDMETHODCALLTYPE EnableHwNotifications(LPCWSTR deviceName, BOOL newState) override;
    HRESULT STDMETHODCALLTYPE GetHwNotificationState(LPCWSTR deviceName,
                                                     BOOL *currentState) override;
    HRESULT STDMETHODCALLTYPE RefreshDeviceBus(LPCWSTR deviceName) override;
    HRESULT STDMETHODCALLTYPE LaunchApplicationForDevice(LPWSTR deviceName, LPWSTR appName,
                                                         LPSTINOTIFY notify) override;
    HRESULT STDMETHODCALLTYPE SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW info) override;
    HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD messageType, LPCWSTR message) override;

private:
    CSimStillImage() = default;
    CSimStillImage(const CSimStillImage &) = delete;
    CSimStillImage &operator=(const CSimStillImage &) = delete;

    volatile LONG m_refCount = 1;
};
