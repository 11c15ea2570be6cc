// A local server whose IBareTransfer does no work: the benchmark's measure of what standard
// marshaling alone costs for the bridge's call shapes.
#include "bare_transfer.h"

#include <objbase.h>

#include <cstring>
#include <new>

namespace {

// {7C1E5B90-3D2A-4E8F-9B61-2A4D8C0F5E13}
const CLSID CLSID_BareTransfer = {0x7c1e5b90, 0x3d2a, 0x4e8f,
                                  {0x9b, 0x61, 0x2a, 0x4d, 0x8c, 0x0f, 0x5e, 0x13}};

volatile LONG g_objects = 0;
DWORD g_mainThread = 0;

class BareTransfer : public IBareTransfer
{
public:
    BareTransfer() { InterlockedIncrement(&g_objects); }
    virtual ~BareTransfer()
    {
        if (InterlockedDecrement(&g_objects) == 0)
            PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBareTransfer)) {
            *object = static_cast<IBareTransfer *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }
    HRESULT STDMETHODCALLTYPE Transfer(const TransferRequestView *, BYTE *, ULONG,
                                       LONG *status) override
    {
        *status = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Ping() override { return S_OK; }

private:
    volatile LONG m_refs = 1;
};

class Factory : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override
    {
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        BareTransfer *created = new (std::nothrow) BareTransfer;
        if (created == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

void Register()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT,
                        L"CLSID\\{7C1E5B90-3D2A-4E8F-9B61-2A4D8C0F5E13}\\LocalServer32", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(path),
                       (length + 1) * sizeof(wchar_t));
        RegCloseKey(key);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    if (strstr(commandLine, "RegServer") != nullptr) {
        Register();
        return 0;
    }
    if (FAILED(CoInitialize(nullptr)))
        return 0;
    g_mainThread = GetCurrentThreadId();
    static Factory factory;
    DWORD cookie = 0;
    if (SUCCEEDED(CoRegisterClassObject(CLSID_BareTransfer, &factory, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie))) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
        CoRevokeClassObject(cookie);
    }
    CoUninitialize();
    return 0;
}
