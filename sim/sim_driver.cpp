#include "sim_driver.h"

#include "sim_world.h"

#include <cstring>

namespace {

// Longest account key or item name the driver reads through a pointer.
constexpr size_t TEXT_CHARS = 260;

std::string Who(const SimDriverContext &context)
{
    return SimFormat("device object %u: ", context.deviceObject);
}

void Fault(const SimDriverContext &context, const std::string &text)
{
    SimViolation(Who(context) + text);
}

const char *BlockName(SimBlockKind kind)
{
    switch (kind) {
    case SimBlockKind::ItemList: return "item list";
    case SimBlockKind::ScanSettings: return "scan-settings block";
    case SimBlockKind::Capabilities: return "capabilities block";
    case SimBlockKind::Account: return "account block";
    case SimBlockKind::TransferString: return "transfer string";
    case SimBlockKind::QueryValue: return "query-value block";
    }
    return "block";
}

// Reads a text the bridge passes by pointer, stopping at its terminator or at 260 characters.
bool ReadText(const void *in, std::wstring *text, bool *terminated)
{
    text->clear();
    *terminated = false;
    if (in == nullptr)
        return false;
    const wchar_t *p = static_cast<const wchar_t *>(in);
    for (size_t i = 0; i < TEXT_CHARS; ++i) {
        if (p[i] == L'\0') {
            *terminated = true;
            return true;
        }
        *text += p[i];
    }
    return true;
}

SimAccount *FindAccount(SimDriverContext &context, const std::wstring &key)
{
    for (SimAccount &account : context.device->accounts) {
        if (account.key == key)
            return &account;
    }
    return nullptr;
}

SimAccount *CurrentAccount(SimDriverContext &context)
{
    return context.hasAccount ? FindAccount(context, context.account) : nullptr;
}

// The account named by an escape's key text; the device object remembers it.
HRESULT AccountOfKey(SimDriverContext &context, DWORD code, const void *in, SimAccount **account,
                     std::wstring *text)
{
    bool terminated = false;
    if (!ReadText(in, text, &terminated))
        return E_POINTER;
    if (!terminated)
        Fault(context, SimFormat("%s account key text not terminated within 260 characters",
                                 SimEscapeName(code)));
    *account = FindAccount(context, *text);
    if (*account == nullptr)
        return E_ACCESSDENIED;
    context.account = *text;
    context.hasAccount = true;
    return S_OK;
}

PropertyRecord *BuildProperties(SimLedger &ledger, SimArena &arena,
                                const std::vector<SimProperty> &properties)
{
    PropertyRecord *records = static_cast<PropertyRecord *>(
        ledger.Alloc(arena, (properties.empty() ? 1 : properties.size()) * sizeof(PropertyRecord)));
    if (records == nullptr)
        return nullptr;
    for (size_t i = 0; i < properties.size(); ++i) {
        const SimProperty &property = properties[i];
        PropertyRecord &record = records[i];
        ledger.MarkDriverBytes(arena, record.driver0, sizeof(record.driver0));
        ledger.MarkDriverBytes(arena, record.driver12, sizeof(record.driver12));
        ledger.MarkDriverBytes(arena, record.driver48, sizeof(record.driver48));
        record.id = property.id;
        switch (property.kind) {
        case SimProperty::Integer:
            record.value.number = property.value;
            break;
        case SimProperty::Text:
            ledger.SetBstr(arena, &record.value.text, property.text, property.nullText);
            break;
        case SimProperty::Time:
            record.value.count = static_cast<DWORD>(property.value);
            if (!property.nullElements) {
                void *elements = ledger.Alloc(arena, sizeof(property.time));
                if (elements != nullptr)
                    memcpy(elements, property.time, sizeof(property.time));
                record.elements = elements;
            }
            break;
        }
    }
    return records;
}

PropertyBlock *BuildPropertyBlock(SimLedger &ledger, SimArena &arena,
                                  const std::vector<SimProperty> &properties,
                                  const std::wstring &settingsName, bool nullName,
                                  const std::wstring &accountKey, bool nullKey, bool nullRecords)
{
    PropertyBlock *block = static_cast<PropertyBlock *>(ledger.Alloc(arena, sizeof(PropertyBlock)));
    if (block == nullptr)
        return nullptr;
    ledger.MarkDriverBytes(arena, block->driver0, sizeof(block->driver0));
    ledger.MarkDriverBytes(arena, block->driver28, sizeof(block->driver28));
    ledger.SetBstr(arena, &block->settingsName, settingsName, nullName);
    ledger.SetBstr(arena, &block->accountKey, accountKey, nullKey);
    block->count = static_cast<DWORD>(properties.size());
    block->properties = nullRecords ? nullptr : BuildProperties(ledger, arena, properties);
    ledger.SetRoot(arena, block);
    return block;
}

HRESULT GetItemList(SimDriverContext &context, void *in, void *out, std::wstring *text)
{
    SimAccount *account = nullptr;
    const HRESULT hr = AccountOfKey(context, ESC_GET_ITEM_LIST, in, &account, text);
    if (FAILED(hr))
        return hr;
    if (out == nullptr)
        return E_POINTER;

    std::vector<size_t> visible;
    for (size_t i = 0; i < account->items.size(); ++i) {
        if (!account->items[i].deleted)
            visible.push_back(i);
    }
    const SimDriverFaults &faults = context.device->faults;
    const size_t entries = visible.size() + faults.nullEntries;
    const auto fill = [&](ItemRecord **array) {
        ItemListHeader *header = static_cast<ItemListHeader *>(out);
        header->count = faults.listCountSet ? faults.listCount : static_cast<LONG>(entries);
        for (size_t b = 0; b < sizeof(header->driver4); ++b)
            header->driver4[b] = SimDriverPattern(header->driver4 + b);
        header->items = array;
        return S_OK;
    };
    // A user without stored jobs gets no array at all, and nothing to hand back.
    if (faults.nullItemArray || entries == 0)
        return fill(nullptr);
    SimLedger &ledger = World().ledger;
    SimArena &arena = ledger.Open(SimBlockKind::ItemList, context.deviceObject, account->key);
    ItemRecord **items =
        static_cast<ItemRecord **>(ledger.Alloc(arena, entries * sizeof(ItemRecord *)));
    if (items == nullptr)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < visible.size(); ++i) {
        const SimItem &item = account->items[visible[i]];
        if (item.nullEntry)
            continue;
        ItemRecord *record = static_cast<ItemRecord *>(ledger.Alloc(arena, sizeof(ItemRecord)));
        if (record == nullptr)
            return E_OUTOFMEMORY;
        ledger.MarkDriverBytes(arena, record->driver0, sizeof(record->driver0));
        ledger.SetBstr(arena, &record->name, item.name, false);
        ledger.SetBstr(arena, &record->title, item.title, false);
        record->ownerSid = ledger.AllocString(arena, item.ownerSid);
        record->driverKey = ledger.AllocString(arena, item.driverKey);
        record->state = item.state;
        record->propertyCount = static_cast<DWORD>(item.properties.size());
        record->properties =
            item.nullProperties ? nullptr : BuildProperties(ledger, arena, item.properties);
        arena.records.emplace_back(record, visible[i]);
        items[i] = record;
    }
    ledger.SetRoot(arena, items);
    return fill(items);
}

// Finds the block a free or set request passes back and checks that it may come back.
SimArena *CheckHandBack(SimDriverContext &context, DWORD code, SimBlockKind expected,
                        const void *root, bool foreignAllowed)
{
    SimArena *arena = World().ledger.FindByRoot(root);
    const char *what = BlockName(expected);
    if (arena == nullptr) {
        Fault(context, SimFormat("%s passes an unknown %s %p", SimEscapeName(code), what, root));
        return nullptr;
    }
    if (arena->kind != expected) {
        Fault(context, SimFormat("%s passes a %s where a %s belongs", SimEscapeName(code),
                                 BlockName(arena->kind), what));
        return nullptr;
    }
    if (arena->released) {
        Fault(context, SimFormat("%s passes a %s that was already handed back",
                                 SimEscapeName(code), what));
        return nullptr;
    }
    if (arena->owner != context.deviceObject && !foreignAllowed) {
        Fault(context, SimFormat("%s passes a %s of device object %u", SimEscapeName(code), what,
                                 arena->owner));
        return nullptr;
    }
    if (!arena->corruptionReported && !World().ledger.DriverBytesIntact(*arena, nullptr, 0)) {
        arena->corruptionReported = true;
        Fault(context, SimFormat("%s passes a %s whose driver bytes were changed",
                                 SimEscapeName(code), what));
    }
    return arena;
}

HRESULT FreeBlock(SimDriverContext &context, void *in, DWORD inSize, const DWORD *actual,
                  std::wstring *text)
{
    if (in == nullptr || actual == nullptr)
        return E_POINTER;
    SimBlockKind kind;
    const void *root = nullptr;
    switch (*actual) {
    case FREE_ITEM_LIST: {
        if (inSize < sizeof(ItemListHeader))
            return E_INVALIDARG;
        const ItemListHeader *header = static_cast<const ItemListHeader *>(in);
        // An empty list came without an array: there is nothing to free. A header that a
        // failed fetch left without one names nothing either.
        if (header->items == nullptr)
            return header->count == 0 ? S_OK : E_INVALIDARG;
        for (size_t b = 0; b < sizeof(header->driver4); ++b) {
            if (header->driver4[b] != SimDriverPattern(header->driver4 + b)) {
                Fault(context, "ESC_FREE_BLOCK passes an item-list header whose driver bytes "
                               "were changed");
                break;
            }
        }
        kind = SimBlockKind::ItemList;
        root = header->items;
        break;
    }
    case FREE_SCAN_SETTINGS:
        kind = SimBlockKind::ScanSettings;
        root = in;
        break;
    case FREE_CAPABILITIES:
        kind = SimBlockKind::Capabilities;
        root = in;
        break;
    default:
        return E_INVALIDARG;
    }
    for (const char *p = BlockName(kind); *p != '\0'; ++p)
        *text += static_cast<wchar_t>(*p);
    SimArena *arena = CheckHandBack(context, ESC_FREE_BLOCK, kind, root, false);
    if (arena == nullptr)
        return E_INVALIDARG;
    World().ledger.Release(*arena);
    return S_OK;
}

HRESULT GetScanSettings(SimDriverContext &context, void *out, std::wstring *text)
{
    if (out == nullptr)
        return E_POINTER;
    SimAccount *account = CurrentAccount(context);
    const std::vector<SimProperty> &properties =
        account != nullptr ? account->settings : context.device->defaultSettings;
    const std::wstring name = account != nullptr ? account->settingsName : std::wstring();
    const std::wstring key = account != nullptr ? account->key : std::wstring();
    SimLedger &ledger = World().ledger;
    SimArena &arena = ledger.Open(SimBlockKind::ScanSettings, context.deviceObject, key);
    PropertyBlock *block =
        BuildPropertyBlock(ledger, arena, properties, name, false, key, account == nullptr,
                           context.device->faults.nullSettingsRecords);
    if (block == nullptr)
        return E_OUTOFMEMORY;
    *static_cast<PropertyBlock **>(out) = block;
    *text = name;
    return S_OK;
}

HRESULT SetScanSettings(SimDriverContext &context, void *in, std::wstring *text)
{
    if (in == nullptr)
        return E_POINTER;
    SimArena *arena = CheckHandBack(context, ESC_SET_SCAN_SETTINGS, SimBlockKind::ScanSettings,
                                    in, false);
    if (arena == nullptr)
        return E_INVALIDARG;
    const PropertyBlock *block = static_cast<const PropertyBlock *>(in);
    SimAppliedSettings applied;
    applied.deviceObject = context.deviceObject;
    applied.nullSettingsName = block->settingsName == nullptr;
    if (block->settingsName != nullptr)
        applied.settingsName.assign(block->settingsName, SysStringLen(block->settingsName));
    applied.nullAccountKey = block->accountKey == nullptr;
    if (block->accountKey != nullptr)
        applied.accountKey.assign(block->accountKey, SysStringLen(block->accountKey));
    for (DWORD i = 0; block->properties != nullptr && i < block->count; ++i)
        applied.values.emplace_back(block->properties[i].id, block->properties[i].value.number);
    *text = applied.settingsName;

    // The device keeps the settings for the account they were fetched for, or else for the
    // account the block names.
    SimAccount *account = FindAccount(context, arena->accountKey);
    if (account == nullptr && !applied.nullAccountKey)
        account = FindAccount(context, applied.accountKey);
    if (account != nullptr) {
        account->settingsName = applied.settingsName;
        for (size_t i = 0; i < account->settings.size() && i < applied.values.size(); ++i) {
            if (account->settings[i].id == applied.values[i].first &&
                account->settings[i].kind == SimProperty::Integer)
                account->settings[i].value = applied.values[i].second;
        }
    }
    World().settingsApplied.push_back(applied);
    return S_OK;
}

HRESULT GetCapabilities(SimDriverContext &context, void *out)
{
    if (out == nullptr)
        return E_POINTER;
    SimLedger &ledger = World().ledger;
    SimArena &arena = ledger.Open(SimBlockKind::Capabilities, context.deviceObject, L"");
    PropertyBlock *block = BuildPropertyBlock(ledger, arena, context.device->capabilities,
                                              L"Capabilities", false, L"", true,
                                              context.device->faults.nullCapabilityRecords);
    if (block == nullptr)
        return E_OUTOFMEMORY;
    *static_cast<PropertyBlock **>(out) = block;
    return S_OK;
}

HRESULT GetAccount(SimDriverContext &context, void *in, void *out, std::wstring *text)
{
    SimAccount *account = nullptr;
    const HRESULT hr = AccountOfKey(context, ESC_GET_ACCOUNT, in, &account, text);
    if (FAILED(hr))
        return hr;
    if (out == nullptr)
        return E_POINTER;
    SimLedger &ledger = World().ledger;
    SimArena &arena = ledger.Open(SimBlockKind::Account, context.deviceObject, account->key);
    AccountBlock *block = static_cast<AccountBlock *>(ledger.Alloc(arena, sizeof(AccountBlock)));
    if (block == nullptr)
        return E_OUTOFMEMORY;
    ledger.MarkDriverBytes(arena, block->driver0, sizeof(block->driver0));
    ledger.MarkDriverBytes(arena, block->driver20, sizeof(block->driver20));
    block->count = static_cast<DWORD>(account->accountRecords.size());
    block->properties = context.device->faults.nullAccountRecords
                            ? nullptr
                            : BuildProperties(ledger, arena, account->accountRecords);
    ledger.SetRoot(arena, block);
    *static_cast<AccountBlock **>(out) = block;
    return S_OK;
}

HRESULT SetAccount(SimDriverContext &context, void *in, std::wstring *text)
{
    if (in == nullptr)
        return E_POINTER;
    // The account block outlives device objects: the bridge fetches it once per object of its
    // own and may send it through a later device object.
    SimArena *arena = CheckHandBack(context, ESC_SET_ACCOUNT, SimBlockKind::Account, in, true);
    if (arena == nullptr)
        return E_INVALIDARG;
    const AccountBlock *block = static_cast<const AccountBlock *>(in);
    SimPinReceived pin;
    pin.deviceObject = context.deviceObject;
    pin.accountKey = arena->accountKey;
    pin.found = false;
    pin.nullPin = true;
    for (DWORD i = 0; block->properties != nullptr && i < block->count; ++i) {
        if (block->properties[i].id != PROP_PIN)
            continue;
        const BSTR value = block->properties[i].value.text;
        pin.found = true;
        pin.nullPin = value == nullptr;
        if (value != nullptr)
            pin.pin.assign(value, SysStringLen(value));
        break;
    }
    *text = pin.pin;
    World().pinsReceived.push_back(pin);
    SimAccount *account = FindAccount(context, arena->accountKey);
    if (account != nullptr && account->checkPin && (!pin.found || pin.pin != account->pin))
        return E_ACCESSDENIED;
    return S_OK;
}

HRESULT Settings(SimDriverContext &context, DWORD code, void *in, std::wstring *text)
{
    SimAccount *account = nullptr;
    return AccountOfKey(context, code, in, &account, text);
}

HRESULT RegisterEvent(SimDriverContext &context, void *in, void *out, const DWORD *actual)
{
    if (in == nullptr || out == nullptr || actual == nullptr)
        return E_POINTER;
    if (*actual != EVENT_JOB_ENDED && *actual != EVENT_ITEM_DELETED)
        return E_INVALIDARG;
    SimWorld &world = World();
    SimEventRegistration registration;
    registration.deviceObject = context.deviceObject;
    registration.cookie = world.nextCookie++;
    memcpy(&registration.event, in, sizeof(HANDLE));
    registration.kind = *actual;
    world.registrations.push_back(registration);
    memcpy(out, &registration.cookie, sizeof(DWORD));
    return S_OK;
}

HRESULT UnregisterEvent(SimDriverContext &context, void *in, const DWORD *actual)
{
    if (in == nullptr || actual == nullptr)
        return E_POINTER;
    DWORD cookie = 0;
    memcpy(&cookie, in, sizeof(cookie));
    std::vector<SimEventRegistration> &registrations = World().registrations;
    for (auto it = registrations.begin(); it != registrations.end(); ++it) {
        if (it->cookie != cookie)
            continue;
        if (it->kind != *actual)
            Fault(context, SimFormat("ESC_UNREGISTER_EVENT passes cookie %lu with actual %lu, "
                                     "registered with %lu",
                                     static_cast<unsigned long>(cookie),
                                     static_cast<unsigned long>(*actual),
                                     static_cast<unsigned long>(it->kind)));
        registrations.erase(it);
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT QueryValue(SimDriverContext &context, void *in, void *out, std::wstring *text)
{
    if (in == nullptr || out == nullptr)
        return E_POINTER;
    LONG selector = 0;
    memcpy(&selector, in, sizeof(selector));
    if (selector != QUERY_SELECTED_ITEM)
        return E_INVALIDARG;
    const std::wstring &selected = context.device->selectedItem;
    *text = selected;
    // Nothing selected on the device: success without a pointer.
    if (selected.empty())
        return S_FALSE;
    const bool terminated = !context.device->faults.unterminatedSelectedItem;
    const SIZE_T bytes = (selected.size() + (terminated ? 1 : 0)) * sizeof(wchar_t);
    void *block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes);
    if (block == nullptr)
        return E_OUTOFMEMORY;
    memcpy(block, selected.c_str(), bytes);
    SimLedger &ledger = World().ledger;
    SimArena &arena = ledger.Open(SimBlockKind::QueryValue, context.deviceObject,
                                  context.hasAccount ? context.account : std::wstring());
    ledger.SetRoot(arena, block);
    *static_cast<void **>(out) = block;
    return S_OK;
}

// The item definition behind a record the bridge passes back.
SimItem *CheckItemRecord(SimDriverContext &context, DWORD code, const void *in,
                         std::wstring *text)
{
    size_t index = 0;
    SimArena *arena = World().ledger.FindRecord(in, &index);
    if (arena == nullptr) {
        Fault(context, SimFormat("%s passes an unknown item record %p", SimEscapeName(code), in));
        return nullptr;
    }
    if (arena->released) {
        Fault(context, SimFormat("%s passes an item record of a list already handed back",
                                 SimEscapeName(code)));
        return nullptr;
    }
    if (arena->owner != context.deviceObject)
        Fault(context, SimFormat("%s passes an item record of device object %u",
                                 SimEscapeName(code), arena->owner));
    if (!arena->corruptionReported && !World().ledger.DriverBytesIntact(*arena, nullptr, 0)) {
        arena->corruptionReported = true;
        Fault(context, SimFormat("%s passes an item record whose list's driver bytes were changed",
                                 SimEscapeName(code)));
    }
    const ItemRecord *record = static_cast<const ItemRecord *>(in);
    if (record->name != nullptr)
        text->assign(record->name, SysStringLen(record->name));
    SimAccount *account = FindAccount(context, arena->accountKey);
    if (account == nullptr || index >= account->items.size())
        return nullptr;
    return &account->items[index];
}

HRESULT PrepareItem(SimDriverContext &context, void *in, void *out, std::wstring *text)
{
    if (in == nullptr)
        return E_POINTER;
    SimItem *item = CheckItemRecord(context, ESC_PREPARE_ITEM, in, text);
    if (item == nullptr || item->deleted)
        return STIERR_OBJECTNOTFOUND;
    // The word the bridge does not read receives the item's page count.
    if (out != nullptr) {
        const ULONGLONG pages = static_cast<ULONGLONG>(item->pages);
        memcpy(out, &pages, sizeof(pages));
    }
    return S_OK;
}

HRESULT DeleteItem(SimDriverContext &context, void *in, std::wstring *text)
{
    if (in == nullptr)
        return E_POINTER;
    SimItem *item = CheckItemRecord(context, ESC_DELETE_ITEM, in, text);
    if (item == nullptr || item->deleted)
        return STIERR_OBJECTNOTFOUND;
    item->deleted = true;
    for (const SimEventRegistration &registration : World().registrations) {
        if (registration.kind == EVENT_ITEM_DELETED)
            SetEvent(registration.event);
    }
    return S_OK;
}

SimItem *FindTransferItem(SimDriverContext &context, const std::wstring &name)
{
    SimAccount *current = CurrentAccount(context);
    if (current != nullptr) {
        for (SimItem &item : current->items) {
            if (!item.deleted && !item.nullEntry && item.name == name)
                return &item;
        }
    }
    for (SimAccount &account : context.device->accounts) {
        for (SimItem &item : account.items) {
            if (!item.deleted && !item.nullEntry && item.name == name)
                return &item;
        }
    }
    return nullptr;
}

HRESULT TransferData(SimDriverContext &context, const SimItem &item, LONG page, void *out,
                     DWORD outSize, DWORD *actual)
{
    if (out == nullptr || actual == nullptr)
        return E_POINTER;
    // `actual` arrives holding the buffer's size; a driver trusts the smaller of the two.
    const DWORD capacity = *actual < outSize ? *actual : outSize;
    if (capacity == 0)
        return E_INVALIDARG;
    if (context.transferItem != item.name || context.transferPage != page) {
        context.transferItem = item.name;
        context.transferPage = page;
        context.transferPosition = 0;
    }
    const SimPageGeometry geometry = SimGetPageGeometry(item, page);
    const uint64_t left = geometry.dataBytes - context.transferPosition;
    const size_t chunk = static_cast<size_t>(left < capacity ? left : capacity);
    SimFillPage(item, page, context.transferPosition, out, chunk);
    context.transferPosition += chunk;
    *actual = static_cast<DWORD>(chunk);
    if (context.transferPosition < geometry.dataBytes)
        return S_OK;
    context.transferItem.clear();
    context.transferPage = 0;
    context.transferPosition = 0;
    return S_FALSE;
}

HRESULT TransferQuery(const SimItem &item, LONG page, LONG value, DWORD *actual)
{
    if (actual == nullptr)
        return E_POINTER;
    const SimPageGeometry geometry = SimGetPageGeometry(item, page);
    uint64_t number = 0;
    switch (value) {
    case SIM_QUERY_DATA_BYTES: number = geometry.dataBytes; break;
    case SIM_QUERY_PAGE_COUNT: number = static_cast<uint64_t>(item.pages); break;
    case SIM_QUERY_IMAGE_BYTES: number = geometry.imageBytes; break;
    case SIM_QUERY_ROW_BYTES: number = geometry.rowBytes; break;
    default: return E_INVALIDARG;
    }
    *actual = number > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(number);
    return S_OK;
}

HRESULT TransferString(SimDriverContext &context, const SimItem &item, LONG value, void *out,
                       DWORD outSize)
{
    if (out == nullptr || outSize < sizeof(void *))
        return E_POINTER;
    const std::wstring *source = nullptr;
    switch (value) {
    case SIM_STRING_TITLE: source = &item.title; break;
    case SIM_STRING_NAME: source = &item.name; break;
    case SIM_STRING_DRIVER_KEY: source = &item.driverKey; break;
    case SIM_STRING_OWNER: source = &item.ownerSid; break;
    default: return E_INVALIDARG;
    }
    SimLedger &ledger = World().ledger;
    SimArena &arena = ledger.Open(SimBlockKind::TransferString, context.deviceObject,
                                  context.hasAccount ? context.account : std::wstring());
    wchar_t *copy = nullptr;
    if (context.device->faults.unterminatedTransferString) {
        // The text ends where its block does: guarded blocks end on a 16-byte boundary just
        // before an inaccessible page.
        const size_t bytes = source->size() * sizeof(wchar_t);
        const size_t block = (bytes + 15) / 16 * 16;
        BYTE *memory = static_cast<BYTE *>(ledger.Alloc(arena, block));
        if (memory != nullptr) {
            copy = reinterpret_cast<wchar_t *>(memory + block - bytes);
            memcpy(copy, source->data(), bytes);
        }
    } else {
        copy = ledger.AllocString(arena, *source);
    }
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    ledger.SetRoot(arena, copy);
    *static_cast<wchar_t **>(out) = copy;
    return S_OK;
}

HRESULT Transfer(SimDriverContext &context, void *in, DWORD inSize, void *out, DWORD outSize,
                 DWORD *actual, std::wstring *text)
{
    if (in == nullptr)
        return E_POINTER;
    if (inSize < sizeof(TransferRequest))
        return E_INVALIDARG;
    const TransferRequest *request = static_cast<const TransferRequest *>(in);
    bool terminated = false;
    if (!ReadText(request->itemName, text, &terminated))
        return E_POINTER;
    SimItem *item = FindTransferItem(context, *text);
    if (item == nullptr)
        return STIERR_OBJECTNOTFOUND;
    const LONG page = request->page;
    if (page < 1 || page > item->pages)
        return E_INVALIDARG;

    switch (request->kind) {
    case SIM_TRANSFER_DESCRIPTION:
        if (request->option != 1 || out == nullptr ||
            outSize != PAGE_PROPERTY_COUNT * sizeof(PropertyRecord))
            return E_INVALIDARG;
        SimBuildPageDescription(*item, page, static_cast<PropertyRecord *>(out));
        if (actual != nullptr)
            *actual = outSize;
        return S_OK;
    case SIM_TRANSFER_DATA:
        return TransferData(context, *item, page, out, outSize, actual);
    case SIM_TRANSFER_QUERY:
        return TransferQuery(*item, page, request->value, actual);
    case SIM_TRANSFER_STRING:
        return TransferString(context, *item, request->value, out, outSize);
    case SIM_TRANSFER_NATIVE: {
        const SimPageGeometry geometry = SimGetPageGeometry(*item, page);
        if (actual != nullptr)
            *actual = geometry.imageBytes > 0xFFFFFFFFull ? 0xFFFFFFFFu
                                                          : static_cast<DWORD>(geometry.imageBytes);
        if (!SimRenderNativeImage(*item, page, static_cast<BYTE *>(out), outSize))
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        return S_OK;
    }
    default:
        return E_INVALIDARG;
    }
}

struct Expected
{
    DWORD code;
    DWORD inSize;
    DWORD outSize;             // ~0: any
    bool actualZero;
};

const Expected EXPECTED[] = {
    {ESC_PREPARE_ITEM, sizeof(ItemRecord), 8, true},
    {ESC_TRANSFER, sizeof(TransferRequest), ~0u, false},
    {ESC_DELETE_ITEM, sizeof(ItemRecord), 0, true},
    {ESC_GET_SCAN_SETTINGS, 0, 8, true},
    {ESC_SET_SCAN_SETTINGS, sizeof(PropertyBlock), 0, true},
    {ESC_GET_CAPABILITIES, 0, 8, true},
    {ESC_FREE_BLOCK, ~0u, 0, false},
    {ESC_BEGIN_SETTINGS, 8, 0, true},
    {ESC_END_SETTINGS, 8, 0, true},
    {ESC_REGISTER_EVENT, 8, 4, false},
    {ESC_UNREGISTER_EVENT, 4, 0, false},
    {ESC_QUERY_VALUE, 4, 8, true},
    {ESC_SET_ACCOUNT, sizeof(AccountBlock), 0, true},
    {ESC_GET_ACCOUNT, 8, 8, true},
    {ESC_GET_ITEM_LIST, 8, sizeof(ItemListHeader), true},
};

} // namespace

const char *SimEscapeName(DWORD code)
{
    switch (code) {
    case ESC_PREPARE_ITEM: return "ESC_PREPARE_ITEM";
    case ESC_TRANSFER: return "ESC_TRANSFER";
    case ESC_DELETE_ITEM: return "ESC_DELETE_ITEM";
    case ESC_GET_SCAN_SETTINGS: return "ESC_GET_SCAN_SETTINGS";
    case ESC_SET_SCAN_SETTINGS: return "ESC_SET_SCAN_SETTINGS";
    case ESC_GET_CAPABILITIES: return "ESC_GET_CAPABILITIES";
    case ESC_FREE_BLOCK: return "ESC_FREE_BLOCK";
    case ESC_BEGIN_SETTINGS: return "ESC_BEGIN_SETTINGS";
    case ESC_END_SETTINGS: return "ESC_END_SETTINGS";
    case ESC_REGISTER_EVENT: return "ESC_REGISTER_EVENT";
    case ESC_UNREGISTER_EVENT: return "ESC_UNREGISTER_EVENT";
    case ESC_QUERY_VALUE: return "ESC_QUERY_VALUE";
    case ESC_SET_ACCOUNT: return "ESC_SET_ACCOUNT";
    case ESC_GET_ACCOUNT: return "ESC_GET_ACCOUNT";
    case ESC_GET_ITEM_LIST: return "ESC_GET_ITEM_LIST";
    default: return "unknown escape";
    }
}

void SimDriverCheckProtocol(const SimDriverContext &context, DWORD code, const void *in,
                            DWORD inSize, const void *out, DWORD outSize, const DWORD *actual)
{
    (void)in;
    (void)out;
    const Expected *expected = nullptr;
    for (const Expected &entry : EXPECTED) {
        if (entry.code == code)
            expected = &entry;
    }
    if (expected == nullptr) {
        Fault(context, SimFormat("escape code 0x%lX is not one of the driver's",
                                 static_cast<unsigned long>(code)));
        return;
    }
    const char *name = SimEscapeName(code);
    if (actual == nullptr) {
        Fault(context, SimFormat("%s sent without an `actual` DWORD", name));
        return;
    }
    DWORD inExpected = expected->inSize;
    if (code == ESC_FREE_BLOCK) {
        if (*actual == FREE_ITEM_LIST)
            inExpected = sizeof(ItemListHeader);
        else if (*actual == FREE_SCAN_SETTINGS || *actual == FREE_CAPABILITIES)
            inExpected = sizeof(PropertyBlock);
        else
            Fault(context, SimFormat("ESC_FREE_BLOCK with actual %lu, which names no block",
                                     static_cast<unsigned long>(*actual)));
    }
    if ((code == ESC_REGISTER_EVENT || code == ESC_UNREGISTER_EVENT) &&
        *actual != EVENT_JOB_ENDED && *actual != EVENT_ITEM_DELETED)
        Fault(context, SimFormat("%s with actual %lu, which names no event", name,
                                 static_cast<unsigned long>(*actual)));
    if (inExpected != ~0u && inSize != inExpected)
        Fault(context, SimFormat("%s input size %lu, expected %lu", name,
                                 static_cast<unsigned long>(inSize),
                                 static_cast<unsigned long>(inExpected)));
    if (expected->outSize != ~0u && outSize != expected->outSize)
        Fault(context, SimFormat("%s output size %lu, expected %lu", name,
                                 static_cast<unsigned long>(outSize),
                                 static_cast<unsigned long>(expected->outSize)));
    if (expected->actualZero && *actual != 0)
        Fault(context, SimFormat("%s with actual %lu, expected 0", name,
                                 static_cast<unsigned long>(*actual)));
}

HRESULT SimDriverEscape(SimDriverContext &context, DWORD code, void *in, DWORD inSize, void *out,
                        DWORD outSize, DWORD *actual, std::wstring *text)
{
    switch (code) {
    case ESC_GET_ITEM_LIST: return GetItemList(context, in, out, text);
    case ESC_FREE_BLOCK: return FreeBlock(context, in, inSize, actual, text);
    case ESC_GET_SCAN_SETTINGS: return GetScanSettings(context, out, text);
    case ESC_SET_SCAN_SETTINGS: return SetScanSettings(context, in, text);
    case ESC_GET_CAPABILITIES: return GetCapabilities(context, out);
    case ESC_GET_ACCOUNT: return GetAccount(context, in, out, text);
    case ESC_SET_ACCOUNT: return SetAccount(context, in, text);
    case ESC_BEGIN_SETTINGS:
    case ESC_END_SETTINGS: return Settings(context, code, in, text);
    case ESC_REGISTER_EVENT: return RegisterEvent(context, in, out, actual);
    case ESC_UNREGISTER_EVENT: return UnregisterEvent(context, in, actual);
    case ESC_QUERY_VALUE: return QueryValue(context, in, out, text);
    case ESC_PREPARE_ITEM: return PrepareItem(context, in, out, text);
    case ESC_DELETE_ITEM: return DeleteItem(context, in, text);
    case ESC_TRANSFER: return Transfer(context, in, inSize, out, outSize, actual, text);
    default: return E_NOTIMPL;
    }
}

void SimDriverObjectReleased(SimDriverContext &context)
{
    SimWorld &world = World();
    for (SimArena *arena : world.ledger.Owned(context.deviceObject)) {
        if (arena->released)
            continue;
        switch (arena->kind) {
        case SimBlockKind::ItemList:
        case SimBlockKind::ScanSettings:
        case SimBlockKind::Capabilities:
            Fault(context, SimFormat("%s not handed back before the device object was released",
                                     BlockName(arena->kind)));
            world.ledger.Release(*arena);
            break;
        case SimBlockKind::TransferString:
            world.ledger.Release(*arena);
            break;
        case SimBlockKind::Account:
        case SimBlockKind::QueryValue:
            break;
        }
    }
    std::vector<SimEventRegistration> &registrations = world.registrations;
    for (size_t i = registrations.size(); i-- > 0;) {
        if (registrations[i].deviceObject == context.deviceObject)
            registrations.erase(registrations.begin() + static_cast<std::ptrdiff_t>(i));
    }
}
