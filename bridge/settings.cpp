// Scan settings: reading, changing and handing back the driver's settings block.
#include "bridge.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ApplyScanSettings()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetScanSettings(USHORT *, USHORT *, USHORT *, USHORT *, USHORT *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetScanSettings(const WCHAR *, USHORT, USHORT, USHORT, USHORT, USHORT, USHORT)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::BeginSettings()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::EndSettings()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::FreeScanSettings()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::FreeCapabilities()
{
    return E_NOTIMPL;
}
