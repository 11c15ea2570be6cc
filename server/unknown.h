// Base of every COM object of the server: reference count, nondelegating IUnknown, the
// controlling IUnknown used for aggregation, and the module's object count.
#pragma once

#include <windows.h>
#include <objbase.h>

// The nondelegating IUnknown: its first three slots have the shape of IUnknown's, so the object
// seen through this table serves as its own controlling IUnknown.
struct INonDelegatingUnknown
{
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void **object) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown
{
public:
    explicit CUnknown(IUnknown *outer);
    CUnknown(const CUnknown &) = delete;
    CUnknown &operator=(const CUnknown &) = delete;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;
    virtual ~CUnknown();
    virtual HRESULT Init();
    virtual void FinalRelease();

    // The object itself seen as its own IUnknown.
    IUnknown *GetNonDelegatingUnknown()
    {
        return reinterpret_cast<IUnknown *>(static_cast<INonDelegatingUnknown *>(this));
    }

protected:
    // Hands out an interface of this object with the count raised.
    HRESULT FinishQueryInterface(IUnknown *face, void **object);

    volatile LONG m_refCount;
    IUnknown *m_outerUnknown;
};

// Sends a fixed trace text to the debug channel as "class: \tmessage".
void TraceObject(const char *className, const char *message);
