// The user's account on the device and the per-user settings in the registry.
#include "bridge.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::OpenAccount(const WCHAR *, const WCHAR *, const WCHAR *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetDeleteImageOnScan(LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SendUserPin()
{
    return E_NOTIMPL;
}
