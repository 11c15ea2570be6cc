// The bridge's side of the calls, for tests that drive the simulation without a bridge.
#include "sim_sti.h"

HRESULT SimOpenDevice(const wchar_t *internalName, IStillImageW **service, IStiDevice **device)
{
    *service = nullptr;
    *device = nullptr;
    HRESULT hr = SimStiCreateInstance(GetModuleHandleW(nullptr), STI_VERSION, service, nullptr);
    if (FAILED(hr))
        return hr;
    hr = (*service)->CreateDevice(const_cast<LPWSTR>(internalName), STI_DEVICE_CREATE_STATUS,
                                  device, nullptr);
    if (FAILED(hr)) {
        (*service)->Release();
        *service = nullptr;
        *device = nullptr;
    }
    return hr;
}

HRESULT SimLockedEscape(IStiDevice *device, DWORD code, void *in, DWORD inSize, void *out,
                        DWORD outSize, DWORD actual, DWORD *actualOut)
{
    HRESULT hr = device->LockDevice(4000);
    if (FAILED(hr))
        return hr;
    const HRESULT escape = device->Escape(code, in, inSize, out, outSize, &actual);
    if (actualOut != nullptr)
        *actualOut = actual;
    hr = device->UnLockDevice();
    return FAILED(hr) ? hr : escape;
}
