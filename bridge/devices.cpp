// Device discovery, selection and closing.
#include "bridge.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::CreateStillImage()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::OpenLaunchDevice()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::EnumerateDevices(LONG *, BSTR *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectDevice(const WCHAR *, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::CloseDevice()
{
    return E_NOTIMPL;
}
