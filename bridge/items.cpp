// The user's stored jobs: item list, selection, paging and events.
#include "bridge.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::AdvancePage(LONG, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemCount(LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemFiles(LONG, BSTR *, BSTR *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::DeleteItem(LONG)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::FreeItemList()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::RegisterEvents()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::UnregisterEvents()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetSelection(const LONG *, LONG)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectItemByName(LONG, LONG *, const WCHAR *, LONG)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::IsItemReady(LONG, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCurrentItemFormat(USHORT *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemDetails(LONG, BSTR *, LONG, LONG *, LONG *, LONG *, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemTime(LONG, SYSTEMTIME *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetDriverSelectedItem(WCHAR[260])
{
    return E_NOTIMPL;
}
