// The bridge object: construction, identity, lifetime and the methods that only store or report
// a member.
#include "bridge.h"

#include "bounded_string.h"
#include "diagnostics.h"
#include "hresult_values.h"

#include <new>
#include <utility>
#include <shlwapi.h>

namespace {

constexpr char CLASS_NAME[] = "CStiScannerComBridge";

} // namespace

HRESULT CStiScannerComBridge::Create(IUnknown *outer, CUnknown **object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    CStiScannerComBridge *bridge =
        LogEnabled(LogLevel::Errors) ? NewLoggedBridge(&StiCreateInstanceW)
                                     : new (std::nothrow) CStiScannerComBridge(&StiCreateInstanceW);
    if (bridge == nullptr)
        return E_OUTOFMEMORY;
    *object = bridge;
    return S_OK;
}

CStiScannerComBridge::CStiScannerComBridge(StiFactory stiFactory)
    : CUnknown(nullptr), m_stiFactory(stiFactory)
{
    TraceObject(CLASS_NAME, "Not aggregating; delegate to nondelegating IUnknown.");
}

CStiScannerComBridge::~CStiScannerComBridge()
{
    TraceObject(CLASS_NAME, "Destroy self.");
    // A client that dies or never closes leaves nothing held: COM releases its reference.
    ReleaseAll();
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::NonDelegatingQueryInterface(REFIID iid,
                                                                            void **object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IStiScannerComBridge))
        return FinishQueryInterface(static_cast<IStiScannerComBridge *>(this), object);
    if (IsEqualIID(iid, IID_IMarshal))
        TraceObject(CLASS_NAME, "The COM Library asked for IMarshal.");
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

void CStiScannerComBridge::FinalRelease()
{
    TraceObject(CLASS_NAME, "Increment reference count for final release.");
    CUnknown::FinalRelease();
    m_outerUnknown->AddRef();
    if (m_innerUnknown != nullptr)
        m_innerUnknown->Release();
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::QueryInterface(REFIID iid, void **object)
{
    return m_outerUnknown->QueryInterface(iid, object);
}

ULONG STDMETHODCALLTYPE CStiScannerComBridge::AddRef()
{
    return m_outerUnknown->AddRef();
}

ULONG STDMETHODCALLTYPE CStiScannerComBridge::Release()
{
    return m_outerUnknown->Release();
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::Reserved1()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::Reserved2()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetPagesRemaining(LONG pages)
{
    m_pagesRemaining = pages;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetExtendedCapability(LONG *flag)
{
    if (flag == nullptr)
        return E_POINTER;
    *flag = m_extendedCapability;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetReservedValue(LONG *value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = m_reservedValue;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetModelFamily(LONG *family)
{
    if (family == nullptr)
        return E_POINTER;
    *family = m_modelFamily;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetPagePosition(LONG *page, LONG *pageCount)
{
    if (page == nullptr || pageCount == nullptr)
        return E_POINTER;
    *page = m_currentPage;
    *pageCount = m_pageCount;
    return S_OK;
}

ItemRecord *CStiScannerComBridge::ItemAt(LONG index) const
{
    if (m_itemList == nullptr || m_itemList->items == nullptr || index < 0 ||
        index >= m_itemList->count)
        return nullptr;
    return m_itemList->items[index];
}

ItemRecord *CStiScannerComBridge::CurrentItem() const
{
    if (m_selection == nullptr || m_selectionIndex < 0 || m_selectionIndex >= m_selectionLength)
        return nullptr;
    return ItemAt(m_selection[m_selectionIndex]);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCurrentItem(BSTR *name, LONG *page)
{
    if (name == nullptr || page == nullptr)
        return E_POINTER;
    *name = nullptr;
    const ItemRecord *item = CurrentItem();
    if (item == nullptr)
        return E_FAIL;
    if (item->name != nullptr) {
        *name = SysAllocString(item->name);
        if (*name == nullptr)
            return E_OUTOFMEMORY;
    }
    *page = m_currentPage;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetServerFileName(BSTR *name)
{
    if (name == nullptr)
        return E_POINTER;
    *name = nullptr;
    wchar_t path[NAME_CHARS] = {};
    if (GetModuleFileNameW(nullptr, path, NAME_CHARS) == 0)
        return E_FAIL;
    const wchar_t *fileName = PathFindFileNameW(path);

    // Four characters from the second one on, fewer when the name is shorter.
    wchar_t part[NAME_CHARS] = {};
    if (fileName[0] != L'\0') {
        for (size_t i = 0; i < 4 && fileName[1 + i] != L'\0'; ++i)
            part[i] = fileName[1 + i];
    }
    *name = SysAllocString(part);
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
}
