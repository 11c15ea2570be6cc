// The user's stored jobs: item list, item details, selection, paging and events.
#include "bridge.h"

#include "bounded_string.h"
#include "escape.h"
#include "hresult_values.h"
#include "owners.h"

#include <sddl.h>

#include <cstring>
#include <utility>

namespace {

constexpr wchar_t CLASS_KEY_ROOT[] = L"System\\CurrentControlSet\\Control\\Class";
constexpr wchar_t FILING_PATH_VALUE[] = L"FilingPath";
constexpr wchar_t THUMBNAIL_EXTENSION[] = L".tmb";

// The largest selection whose byte size still fits a 32-bit count.
constexpr LONG MAX_SELECTION = 0x1FFFFFFF;

// Whether the server's own user is the owner the SID names (the server does not impersonate).
bool OwnedByServerUser(const wchar_t *ownerSid)
{
    if (ownerSid == nullptr)
        return false;
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(ownerSid, &sid))
        return false;
    UniqueHLocal sidOwner(sid);
    BOOL member = FALSE;
    return CheckTokenMembership(nullptr, sid, &member) && member;
}

// The client's format code for the stored format of property 38933; false for other values.
bool ClientFormatCode(LONG stored, USHORT *code)
{
    switch (stored) {
    case 0: *code = 4; return true;
    case 1: *code = 0; return true;
    case 2: *code = 6; return true;
    case 5: *code = 2; return true;
    default: return false;
    }
}

} // namespace

LONG CStiScannerComBridge::PageCountOf(LONG index) const
{
    const ItemRecord *item = ItemAt(index);
    if (item == nullptr)
        return 0;
    const PropertyRecord *pages = FindFirstProperty(item->properties, item->propertyCount,
                                                    PROP_PAGES);
    return pages != nullptr ? pages->value.number : 0;
}

void CStiScannerComBridge::ReleaseItemListHeader()
{
    if (m_itemListMem == nullptr)
        return;
    GlobalUnlock(m_itemListMem);
    GlobalFree(std::exchange(m_itemListMem, nullptr));
    m_itemList = nullptr;
}

void CStiScannerComBridge::ReleaseSelection()
{
    if (m_selection != nullptr)
        GlobalFree(std::exchange(m_selection, nullptr));
    m_selectionCapacity = 0;
    m_selectionLength = 0;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemCount(LONG *count)
{
    if (count == nullptr)
        return E_POINTER;
    if (m_stiDevice == nullptr || m_accountKey == nullptr)
        return E_FAIL;
    // The driver is not told: a list it still holds stays with it.
    ReleaseItemListHeader();

    m_itemListMem = GlobalAlloc(GHND, sizeof(ItemListHeader));
    m_itemList = m_itemListMem != nullptr ? static_cast<ItemListHeader *>(GlobalLock(m_itemListMem))
                                          : nullptr;
    if (m_itemList == nullptr) {
        ReleaseItemListHeader();
        return E_OUTOFMEMORY;
    }

    EscapeCall fetch = MakeEscape(ESC_GET_ITEM_LIST, m_accountKey, sizeof(void *), m_itemList,
                                  sizeof(ItemListHeader));
    const LockedExchange exchange = SendLocked(m_stiDevice, fetch);
    if (!exchange.Locked()) {
        ReleaseItemListHeader();
        return exchange.lock;
    }
    // A user without stored jobs gets no array: that is an empty list, not a failure.
    const LONG listed = m_itemList->count;
    const bool empty = SUCCEEDED(fetch.result) && listed == 0 && m_itemList->items == nullptr;
    if (m_itemList->items == nullptr && !empty) {
        ReleaseItemListHeader();
        return FAILED(exchange.unlock) ? exchange.unlock : E_FAIL;
    }
    // An array delivered with a failure or with a negative count is held all the same, so that
    // it goes back to the driver; only its count is not reported.
    if (SUCCEEDED(fetch.result) && listed >= 0)
        *count = listed;
    return ResultSomethingCameBack(exchange, fetch, listed >= 0);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::FreeItemList()
{
    if (m_stiDevice == nullptr || m_itemList == nullptr)
        return E_FAIL;
    EscapeCall release = MakeEscape(ESC_FREE_BLOCK, m_itemList, sizeof(ItemListHeader), nullptr,
                                    0, FREE_ITEM_LIST);
    const LockedExchange exchange = SendLocked(m_stiDevice, release);
    if (!exchange.Locked())
        return exchange.lock;
    // The driver has released the records: the list must not be read or handed back again.
    if (SUCCEEDED(release.result))
        ReleaseItemListHeader();
    return ResultUnlockThenEscapes(exchange, release);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::IsItemReady(LONG index, LONG *ready)
{
    if (ready == nullptr)
        return E_POINTER;
    const ItemRecord *item = ItemAt(index);
    *ready = item != nullptr && item->state == ITEM_STATE_READY ? 1 : 0;
    return S_OK;
}

HRESULT CStiScannerComBridge::ThumbnailPath(const ItemRecord &item, wchar_t *path)
{
    if (m_deviceInfo == nullptr)
        return E_FAIL;
    wchar_t keyPath[NAME_CHARS];
    HRESULT hr = BoundedFormat(keyPath, NAME_CHARS, L"%ls\\%ls\\%ls", CLASS_KEY_ROOT,
                               m_deviceInfo->szDeviceInternalName, L"DeviceData");
    if (hr != S_OK)
        return hr;

    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return E_FAIL;
    wchar_t filingPath[NAME_CHARS] = {};
    DWORD size = NAME_BYTES;
    const LONG status = RegQueryValueExW(key.get(), FILING_PATH_VALUE, nullptr, nullptr,
                                         reinterpret_cast<BYTE *>(filingPath), &size);
    key.reset();
    if (status != ERROR_SUCCESS)
        return E_FAIL;
    TerminateAtLength(filingPath, size, NAME_CHARS);

    wchar_t joined[NAME_CHARS];
    hr = BoundedFormat(joined, NAME_CHARS, L"%ls\\%ls", filingPath, TextOrEmpty(item.name));
    if (hr != S_OK)
        return hr;
    hr = BoundedCopy(path, NAME_CHARS, joined);
    if (hr != S_OK)
        return hr;
    // The last dot of the whole text becomes '_': Job0001.jpg gives Job0001_jpg.tmb.
    wchar_t *dot = wcsrchr(path, L'.');
    if (dot != nullptr)
        *dot = L'_';
    return BoundedCat(path, THUMBNAIL_EXTENSION);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemFiles(LONG index, BSTR *displayName,
                                                             BSTR *thumbnailPath)
{
    if (displayName == nullptr || thumbnailPath == nullptr)
        return E_POINTER;
    *displayName = nullptr;
    *thumbnailPath = nullptr;
    if (m_stiDevice == nullptr || m_itemList == nullptr)
        return E_FAIL;
    LONG ready = 0;
    IsItemReady(index, &ready);
    if (ready == 0)
        return S_FALSE;
    ItemRecord *item = ItemAt(index);
    if (!OwnedByServerUser(item->ownerSid))
        return S_FALSE;

    UniqueBstr name;
    UniqueBstr thumbnail;
    wchar_t text[NAME_CHARS] = {};
    const PropertyRecord *time = FindFirstProperty(item->properties, item->propertyCount,
                                                   PROP_ITEM_TIME);
    if (time != nullptr && time->value.count != 0 && time->elements != nullptr &&
        BoundedFormatBytes(text, NAME_BYTES, L"%ls", TextOrEmpty(item->title)) != S_OK)
        return E_FAIL;
    name.reset(SysAllocString(text));
    if (!name)
        return E_OUTOFMEMORY;

    wchar_t path[NAME_CHARS] = {};
    if (ThumbnailPath(*item, path) != S_OK)
        return E_FAIL;
    thumbnail.reset(SysAllocString(path));
    if (!thumbnail)
        return E_OUTOFMEMORY;

    ULONGLONG prepared = 0;
    EscapeCall prepare = MakeEscape(ESC_PREPARE_ITEM, item, sizeof(ItemRecord), &prepared,
                                    sizeof(prepared));
    const LockedExchange exchange = SendLocked(m_stiDevice, prepare);
    if (!exchange.Locked())
        return exchange.lock;
    const HRESULT hr = ResultEscapeFirst(exchange, prepare);
    if (FAILED(hr))
        return hr;
    *displayName = name.release();
    *thumbnailPath = thumbnail.release();
    return hr;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::DeleteItem(LONG index)
{
    ItemRecord *item = ItemAt(index);
    if (item == nullptr || m_stiDevice == nullptr)
        return E_FAIL;
    // No readiness or owner test, and the list keeps the record until it is fetched again.
    EscapeCall remove = MakeEscape(ESC_DELETE_ITEM, item, sizeof(ItemRecord), nullptr, 0);
    const LockedExchange exchange = SendLocked(m_stiDevice, remove);
    if (!exchange.Locked())
        return exchange.lock;
    return ResultUnlockThenEscapes(exchange, remove);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemDetails(LONG index, BSTR *title, LONG,
                                                               LONG *pixelType,
                                                               LONG *resolutionCode,
                                                               LONG *pageCount, LONG *itemSize)
{
    if (title == nullptr || pixelType == nullptr || resolutionCode == nullptr ||
        pageCount == nullptr || itemSize == nullptr)
        return E_POINTER;
    *title = nullptr;
    const ItemRecord *item = ItemAt(index);
    if (item == nullptr || item->properties == nullptr)
        return E_FAIL;

    ForEachProperty(item->properties, item->propertyCount, [&](const PropertyRecord &record) {
        switch (record.id) {
        case PROP_PAGES:
            *pageCount = record.value.number;
            break;
        case PROP_DATATYPE:
            // WIA colour, greyscale and other data types to TWAIN's RGB, GRAY and BW.
            *pixelType = record.value.number == 3 ? 2 : record.value.number == 2 ? 1 : 0;
            break;
        case PROP_ITEM_SIZE:
            *itemSize = record.value.number;
            break;
        case PROP_XRES:
            *resolutionCode = record.value.number;
            break;
        default:
            break;
        }
    });

    *title = SysAllocStringLen(item->title, SysStringLen(item->title));
    return *title != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemTime(LONG index, SYSTEMTIME *time)
{
    if (time == nullptr)
        return E_POINTER;
    const ItemRecord *item = ItemAt(index);
    if (item == nullptr)
        return E_FAIL;
    const PropertyRecord *stamp = FindFirstProperty(item->properties, item->propertyCount,
                                                    PROP_ITEM_TIME);
    if (stamp != nullptr && stamp->elements != nullptr)
        memcpy(time, stamp->elements, sizeof(SYSTEMTIME));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetCurrentItemFormat(USHORT *format)
{
    if (format == nullptr)
        return E_POINTER;
    const ItemRecord *item = CurrentItem();
    if (item == nullptr)
        return E_FAIL;
    ForEachProperty(item->properties, item->propertyCount, [&](const PropertyRecord &record) {
        if (record.id == PROP_FORMAT)
            ClientFormatCode(record.value.number, format);
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetDriverSelectedItem(WCHAR name[260])
{
    if (name == nullptr)
        return E_FAIL;
    memset(name, 0, NAME_BYTES);
    void *value = nullptr;
    if (QueryDriverValue(QUERY_SELECTED_ITEM, &value) != S_OK || value == nullptr)
        return E_FAIL;
    // The answer is a wide string in a block of the driver's: it must end inside that block.
    const auto *driverKey = static_cast<const wchar_t *>(value);
    const size_t limit = GlobalSize(value) / sizeof(wchar_t);
    if (limit == 0 || BoundedLength(driverKey, limit) == limit)
        return E_FAIL;

    LONG count = 0;
    if (FAILED(GetItemCount(&count)))
        return E_FAIL;
    for (LONG i = 0; i < count; ++i) {
        const ItemRecord *item = ItemAt(i);
        if (item == nullptr || lstrcmpW(driverKey, TextOrEmpty(item->driverKey)) != 0)
            continue;
        return BoundedCopy(name, NAME_CHARS, TextOrEmpty(item->name));
    }
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetSelection(const LONG *indices, LONG count)
{
    if (indices == nullptr)
        return E_FAIL;
    if (count > MAX_SELECTION)
        return E_OUTOFMEMORY;
    const LONG stored = count > 0 ? count : 0;
    if (m_selection == nullptr || stored > m_selectionCapacity) {
        // A selection larger than the array grows it; the old indices are all replaced.
        const LONG capacity = stored > 0 ? stored : 1;
        auto *selection = static_cast<LONG *>(GlobalAlloc(GPTR, capacity * sizeof(LONG)));
        if (selection == nullptr)
            return E_OUTOFMEMORY;
        ReleaseSelection();
        m_selection = selection;
        m_selectionCapacity = capacity;
    }
    for (LONG i = 0; i < stored; ++i) {
        m_selection[i] = indices[i];
        // Indices that name no item add no pages. The sum wraps as 32 bits: page counts come
        // from the driver and the client, and a signed overflow would be undefined.
        m_pagesRemaining = static_cast<LONG>(static_cast<ULONG>(m_pagesRemaining) +
                                             static_cast<ULONG>(PageCountOf(indices[i])));
    }
    m_selectionLength = stored;
    m_selectionIndex = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectItemByName(LONG depthTest, LONG *pages,
                                                                 const WCHAR *name, LONG depth)
{
    if (pages == nullptr)
        return E_POINTER;
    if (m_itemList == nullptr || m_itemList->items == nullptr || m_itemList->count < 0)
        return E_FAIL;
    auto *selection = static_cast<LONG *>(GlobalAlloc(GPTR, sizeof(LONG)));
    if (selection == nullptr)
        return E_OUTOFMEMORY;
    ReleaseSelection();
    m_selection = selection;
    m_selectionCapacity = 1;
    m_selectionLength = 1;

    LONG found = -1;
    for (LONG i = 0; name != nullptr && i < m_itemList->count; ++i) {
        const ItemRecord *item = ItemAt(i);
        if (item != nullptr && lstrcmpW(TextOrEmpty(item->name), name) == 0) {
            found = i;
            break;
        }
    }

    LONG pageCount = 0;
    LONG ready = 0;
    if (found >= 0 && SUCCEEDED(IsItemReady(found, &ready)) && ready != 0) {
        const ItemRecord *item = ItemAt(found);
        const PropertyRecord *bits = FindLastProperty(item->properties, item->propertyCount,
                                                      PROP_DEPTH);
        const LONG itemDepth = bits != nullptr ? static_cast<SHORT>(bits->value.number & 0xFFFF)
                                               : 0;
        if (depthTest == 0 || itemDepth == depth) {
            pageCount = PageCountOf(found);
            m_selection[0] = found;
        }
    }
    m_selectionIndex = 0;
    m_pagesRemaining = pageCount;
    *pages = pageCount;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::AdvancePage(LONG mode, LONG *pagesRemaining)
{
    if (mode == 0) {
        if (m_pagesRemaining <= 0) {
            m_pagesRemaining = 0;
            return S_OK;
        }
        --m_pagesRemaining;
        // The next item starts only once the current page is the item's last.
        if (m_currentPage == m_pageCount) {
            ++m_selectionIndex;
            m_currentPage = 1;
        } else {
            ++m_currentPage;
        }
        if (pagesRemaining != nullptr)
            *pagesRemaining = m_pagesRemaining;
    } else if (mode == 1 && pagesRemaining != nullptr) {
        *pagesRemaining = m_pagesRemaining;
    }
    return S_OK;
}

void CStiScannerComBridge::CloseEventHandles()
{
    // A handle the driver may still signal is never closed: its value could come back for
    // another event, which the driver would then signal instead.
    if (DriverHoldsEvents())
        return;
    for (HANDLE *event : {&m_jobEndedEvent, &m_itemDeletedEvent, &m_itemAddedEvent}) {
        if (*event != nullptr)
            CloseHandle(std::exchange(*event, nullptr));
    }
}

void CStiScannerComBridge::AbandonEventHandles()
{
    for (HANDLE *event : {&m_jobEndedEvent, &m_itemDeletedEvent, &m_itemAddedEvent})
        *event = nullptr;
    m_jobEndedRegistered = false;
    m_itemDeletedRegistered = false;
    m_jobEndedCookie = -1;
    m_itemDeletedCookie = -1;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::RegisterEvents()
{
    if (m_stiDevice == nullptr)
        return E_FAIL;
    // A second registration replaces the first: the driver lets go of the old handles first.
    // While it may still signal them they stay open and registered, for a later withdrawal.
    if (DriverHoldsEvents()) {
        UnregisterEvents();
        if (DriverHoldsEvents())
            return E_FAIL;
    }
    CloseEventHandles();

    struct NamedEvent
    {
        HANDLE *member;
        const wchar_t *name;
    };
    const NamedEvent events[] = {{&m_jobEndedEvent, L"JobEnded"},
                                 {&m_itemDeletedEvent, L"ItemDeleted"},
                                 {&m_itemAddedEvent, L"ItemAdded"}};
    for (const NamedEvent &event : events) {
        *event.member = CreateEventW(nullptr, FALSE, FALSE, event.name);
        if (*event.member == nullptr)
            return E_FAIL;
    }

    EscapeCall registrations[] = {
        MakeEscape(ESC_REGISTER_EVENT, &m_jobEndedEvent, sizeof(HANDLE), &m_jobEndedCookie,
                   sizeof(LONG), EVENT_JOB_ENDED),
        MakeEscape(ESC_REGISTER_EVENT, &m_itemDeletedEvent, sizeof(HANDLE), &m_itemDeletedCookie,
                   sizeof(LONG), EVENT_ITEM_DELETED),
    };
    const LockedExchange exchange = SendLocked(m_stiDevice, registrations, 2);
    if (!exchange.Locked())
        return E_FAIL;
    m_jobEndedRegistered = SUCCEEDED(registrations[0].result);
    m_itemDeletedRegistered = SUCCEEDED(registrations[1].result);
    return ResultUnlockThenEscapes(exchange, registrations, 2);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::UnregisterEvents()
{
    if (m_stiDevice == nullptr)
        return E_FAIL;
    EscapeCall unregistrations[] = {
        MakeEscape(ESC_UNREGISTER_EVENT, &m_jobEndedCookie, sizeof(LONG), nullptr, 0,
                   EVENT_JOB_ENDED),
        MakeEscape(ESC_UNREGISTER_EVENT, &m_itemDeletedCookie, sizeof(LONG), nullptr, 0,
                   EVENT_ITEM_DELETED),
    };
    const LockedExchange exchange = SendLocked(m_stiDevice, unregistrations, 2);
    if (!exchange.Locked()) {
        DWORD lastError = 0;
        m_stiDevice->GetLastError(&lastError);
        return exchange.lock;
    }
    // A registration is withdrawn only when the driver accepted it in a request that ended
    // well; its cookie is then spent and a later request carries -1 again. Otherwise the cookie
    // stays for a later attempt.
    if (SUCCEEDED(exchange.unlock)) {
        const struct
        {
            const EscapeCall &escape;
            bool &registered;
            LONG &cookie;
        } withdrawals[] = {{unregistrations[0], m_jobEndedRegistered, m_jobEndedCookie},
                           {unregistrations[1], m_itemDeletedRegistered, m_itemDeletedCookie}};
        for (const auto &withdrawal : withdrawals) {
            if (SUCCEEDED(withdrawal.escape.result)) {
                withdrawal.registered = false;
                withdrawal.cookie = -1;
            }
        }
    }
    return ResultUnlockThenEscapes(exchange, unregistrations, 2);
}
