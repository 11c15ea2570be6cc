// Image descriptions and data transfer.
#include "bridge.h"

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageInfo(ImageInfo *, LONG)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::PrepareTransfer(LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageSize(LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferData(const TransferRequestView *, BYTE *, ULONG, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferString(const TransferRequestView *, WCHAR **, LONG *, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferQuery(const TransferRequestView *, LONG *, LONG *)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferImage(const TransferRequestView *, BYTE *, ULONG, LONG *)
{
    return E_NOTIMPL;
}
