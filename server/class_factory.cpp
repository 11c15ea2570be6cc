#include "class_factory.h"

#include "diagnostics.h"
#include "unknown.h"

namespace {

HRESULT LoggedActivation(HRESULT hr)
{
    if (LogEnabled(FAILED(hr) ? LogLevel::Errors : LogLevel::Calls))
        LogLine("Activation -> %s", DescribeHresult(hr).c_str());
    return hr;
}

} // namespace

CClassFactory::CClassFactory(ClassRegistration *entry) : m_refCount(1), m_entry(entry)
{
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void **object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        AddRef();
        *object = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
}

ULONG STDMETHODCALLTYPE CClassFactory::Release()
{
    if (InterlockedDecrement(&m_refCount) == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(m_refCount);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown *outer, REFIID iid, void **object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    // An object made now would be disconnected when the server ends.
    if (g_module.stopping != 0)
        return LoggedActivation(CO_E_SERVER_STOPPING);

    // Each activation reads the diagnostics settings again: the next open picks a change up
    // without waiting for this server to end.
    LogConfigure(L"server");
    CUnknown *created = nullptr;
    HRESULT hr = m_entry->create(outer, &created);
    if (FAILED(hr))
        return LoggedActivation(hr);

    hr = created->Init();
    if (SUCCEEDED(hr))
        hr = created->NonDelegatingQueryInterface(iid, object);
    // Drops the creation reference: the caller now holds the only one, or the object goes here.
    created->NonDelegatingRelease();
    return LoggedActivation(hr);
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock)
{
    QuitTestLockChanged(lock);
    return S_OK;
}
