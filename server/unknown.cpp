#include "unknown.h"

#include "module_state.h"

#include <cstdio>

void TraceObject(const char *className, const char *message)
{
    char text[256];
    snprintf(text, sizeof(text), "%s: \t%s\n", className, message);
    OutputDebugStringA(text);
}

CUnknown::CUnknown(IUnknown *outer)
    : m_refCount(1), m_outerUnknown(outer != nullptr ? outer : GetNonDelegatingUnknown())
{
    InterlockedIncrement(&g_module.objectCount);
}

CUnknown::~CUnknown()
{
    QuitTestObjectReleased();
}

HRESULT CUnknown::Init()
{
    return S_OK;
}

void CUnknown::FinalRelease()
{
    m_refCount = 1;
}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID iid, void **object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown))
        return FinishQueryInterface(GetNonDelegatingUnknown(), object);
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CUnknown::FinishQueryInterface(IUnknown *face, void **object)
{
    *object = face;
    face->AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease()
{
    if (InterlockedDecrement(&m_refCount) == 0) {
        FinalRelease();
        delete this;
        return 0;
    }
    return static_cast<ULONG>(m_refCount);
}
