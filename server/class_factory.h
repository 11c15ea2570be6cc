// The class object registered with COM for each entry of the registration table.
#pragma once

#include "module_state.h"

#include <windows.h>
#include <objbase.h>

class CClassFactory : public IClassFactory
{
public:
    explicit CClassFactory(ClassRegistration *entry);
    CClassFactory(const CClassFactory &) = delete;
    CClassFactory &operator=(const CClassFactory &) = delete;
    virtual ~CClassFactory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    volatile LONG m_refCount;
    ClassRegistration *m_entry;
};
