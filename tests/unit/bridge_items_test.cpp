// Job items against the simulated scanner: the item list and its hand-back, readiness, the owner
// test and the file names, details and time, the selection with its page counting and cursor,
// and the driver's event registrations.
#include "bridge_fixture.h"

#include "bounded_string.h"
#include "hresult_values.h"
#include "registration.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Wine's CheckTokenMembership does not count the token's own user SID, only its groups: items of
// "the server's user" are owned by Everyone here.
constexpr wchar_t OWNED[] = L"S-1-1-0";
constexpr wchar_t FOREIGN[] = L"S-1-5-21-1111111111-2222222222-3333333333-1104";

const HRESULT LOCK_TIMEOUT = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
const HRESULT UNLOCK_FAILED = HRESULT_FROM_WIN32(ERROR_NOT_LOCKED);

SimItem Item(const wchar_t *name, LONG pages = 1, LONG depth = 24, const wchar_t *owner = OWNED)
{
    const std::wstring title = std::wstring(name) + L" title";
    const std::wstring key = std::wstring(L"key-") + name;
    return SimMakeItem(name, title.c_str(), owner, key.c_str(), pages, 64, 64, depth);
}

SimItem NullEntry()
{
    SimItem item;
    item.nullEntry = true;
    return item;
}

SimItem WithProperties(SimItem item, std::vector<SimProperty> properties)
{
    item.properties = std::move(properties);
    return item;
}

std::wstring Text(BSTR text)
{
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : L"(null)";
}

std::vector<SimEscape> EscapesOf(DWORD code)
{
    std::vector<SimEscape> found;
    for (const SimEscape &escape : SimEscapes()) {
        if (escape.code == code)
            found.push_back(escape);
    }
    return found;
}

// Item lists handed back (ESC_FREE_BLOCK with actual 4) since the log was cleared.
size_t ListFrees()
{
    size_t frees = 0;
    for (const SimEscape &escape : EscapesOf(ESC_FREE_BLOCK))
        frees += escape.actualIn == FREE_ITEM_LIST ? 1 : 0;
    return frees;
}

LONG CookieSent(const SimEscape &escape)
{
    LONG cookie = 0;
    if (escape.inBytes.size() >= sizeof(cookie))
        memcpy(&cookie, escape.inBytes.data(), sizeof(cookie));
    return cookie;
}

// ---------------------------------------------------------------------------------------------

// The test scanner's instance key in the device class; "FilingPath" lives under DeviceData.
const std::wstring DEVICE_CLASS_KEY =
    std::wstring(L"System\\CurrentControlSet\\Control\\Class\\") + TEST_DEVICE;
const std::wstring DEVICE_DATA_KEY = DEVICE_CLASS_KEY + L"\\DeviceData";

// The machine-wide registry is shared with whatever else runs: the value goes again at the end,
// and the instance key too when the test made it.
class FilingPath
{
public:
    FilingPath()
    {
        HKEY key = nullptr;
        m_madeKey = RegOpenKeyExW(HKEY_LOCAL_MACHINE, DEVICE_CLASS_KEY.c_str(), 0, KEY_READ,
                                  &key) != ERROR_SUCCESS;
        if (key != nullptr)
            RegCloseKey(key);
    }
    ~FilingPath() { Remove(); }
    FilingPath(const FilingPath &) = delete;
    FilingPath &operator=(const FilingPath &) = delete;

    // Writes exactly the given bytes as REG_SZ: a terminator only when the text brings one.
    void Set(const std::wstring &text, bool terminated = true)
    {
        UniqueHKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, DEVICE_DATA_KEY.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, key.put(), nullptr));
        const DWORD bytes =
            static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"FilingPath", 0, REG_SZ,
                                                reinterpret_cast<const BYTE *>(text.c_str()),
                                                bytes));
    }

    void Remove()
    {
        if (m_madeKey)
            DeleteKeyTree(HKEY_LOCAL_MACHINE, DEVICE_CLASS_KEY.c_str());
        else
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, DEVICE_DATA_KEY.c_str(), L"FilingPath");
    }

private:
    bool m_madeKey = false;
};

class ItemsTest : public BridgeTest
{
protected:
    // A new bridge in a new world; what the old one left with the driver must be nothing.
    void Restart()
    {
        ReleaseBridge();
        for (const std::string &violation : SimTakeViolations())
            ADD_FAILURE() << violation;
        SimReset();
        bridge = new CStiScannerComBridge(&SimStiCreateInstance);
    }

    LONG Remaining()
    {
        LONG pages = -99;
        EXPECT_EQ(S_OK, bridge->AdvancePage(1, &pages));
        return pages;
    }

    // Name of the current item, "" when there is none; both readers of it must agree.
    std::wstring Current()
    {
        UniqueBstr name;
        LONG page = -1;
        USHORT format = 0;
        const HRESULT hr = bridge->GetCurrentItem(name.put(), &page);
        EXPECT_EQ(hr, bridge->GetCurrentItemFormat(&format));
        if (hr != S_OK) {
            EXPECT_EQ(E_FAIL, hr);
            EXPECT_EQ(nullptr, name.get());
            return L"";
        }
        return Text(name.get());
    }

    // The selection from the current position on, "" where no item can be read. Each item's
    // pages are stepped through with the page count GetImageInfo gives; a position without an
    // item keeps the last count, so stepping from page 1 to it moves on by one as well.
    std::vector<std::wstring> Walk(size_t positions)
    {
        std::vector<std::wstring> names;
        bridge->SetPagesRemaining(1000);
        for (size_t i = 0; i < positions; ++i) {
            names.push_back(Current());
            if (!names.back().empty()) {
                ImageInfo info = {};
                EXPECT_EQ(S_OK, bridge->GetImageInfo(&info, 0));
            }
            LONG page = 0, pageCount = 0, left = 0;
            bridge->GetPagePosition(&page, &pageCount);
            if (pageCount < page) {
                ADD_FAILURE() << "the cursor cannot leave page " << page << " of " << pageCount;
                break;
            }
            for (LONG step = page; step <= pageCount; ++step)
                bridge->AdvancePage(0, &left);
        }
        return names;
    }
};

class ItemsList : public ItemsTest {};
class ItemsFiles : public ItemsTest {};
class ItemsDetails : public ItemsTest {};
class ItemsSelection : public ItemsTest {};
class ItemsPaging : public ItemsTest {};
class ItemsEvents : public ItemsTest {};

// ---------------------------------------------------------------------------------------------
// The list.

TEST_F(ItemsList, SecondCountDropsTheFirstHeaderWithoutHandingItBack)
{
    AddScanner({Item(L"a"), Item(L"b")});
    ASSERT_EQ(2, OpenItems());
    SimFindAccount(TEST_DEVICE, TEST_ACCOUNT)->items.push_back(Item(L"c"));
    SimClearLog();

    LONG count = 0;
    ASSERT_EQ(S_OK, bridge->GetItemCount(&count));
    EXPECT_EQ(3, count);
    EXPECT_EQ("Lock Escape:101A Unlock", SimCallTrace());
    EXPECT_EQ(2u, SimCountBlocks(SimBlockKind::ItemList, false));
    LONG ready = 0;
    EXPECT_EQ(S_OK, bridge->IsItemReady(2, &ready));
    EXPECT_EQ(1, ready) << "the new list is the one read";

    // Only the new list goes back; the driver still holds the first when its object goes.
    SimClearLog();
    ReleaseBridge();
    EXPECT_EQ(1u, ListFrees());
    const std::vector<std::string> violations = SimTakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_NE(std::string::npos, violations[0].find("item list not handed back"));
}

TEST_F(ItemsList, RejectedFetchLeavesNoList)
{
    struct Case
    {
        const char *what;
        bool openAccount;
        std::vector<SimInjection> injections;
        HRESULT expected;
        size_t fetches;
    };
    const Case cases[] = {
        {"no account key", false, {}, E_FAIL, 0},
        {"lock fails", true, {SimFailCall(SimPoint::LockDevice, LOCK_TIMEOUT)}, LOCK_TIMEOUT, 0},
        {"escape fails", true, {SimFailEscape(ESC_GET_ITEM_LIST, E_ACCESSDENIED)}, E_FAIL, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        AddScanner({Item(L"a"), Item(L"b")});
        if (c.openAccount) {
            OpenScanner();
        } else {
            ASSERT_EQ(S_OK, bridge->CreateStillImage());
            ASSERT_EQ(S_OK, bridge->OpenLaunchDevice());
        }
        for (const SimInjection &injection : c.injections)
            SimInject(injection);
        SimClearLog();

        LONG count = 77;
        EXPECT_EQ(c.expected, bridge->GetItemCount(&count));
        EXPECT_EQ(77, count);
        EXPECT_EQ(c.fetches, SimCountEscapes(ESC_GET_ITEM_LIST));
        SimClearInjections();
        SimClearLog();

        // No list: the item methods find nothing, and nothing goes back to the driver.
        LONG ready = 9, pages = 9;
        EXPECT_EQ(S_OK, bridge->IsItemReady(0, &ready));
        EXPECT_EQ(0, ready);
        EXPECT_EQ(E_FAIL, bridge->DeleteItem(0));
        EXPECT_EQ(E_FAIL, bridge->SelectItemByName(0, &pages, L"a", 0));
        EXPECT_EQ(E_FAIL, bridge->FreeItemList());
        EXPECT_EQ(0u, SimCountEscapes(0));
        bridge->CloseDevice();
        EXPECT_EQ(0u, ListFrees());
    }
}

TEST_F(ItemsList, ReadinessAndDeletion)
{
    SimItem busy = Item(L"busy");
    busy.state = 1;
    AddScanner({Item(L"ready"), busy, NullEntry()});
    LONG ready = 9;
    EXPECT_EQ(S_OK, bridge->IsItemReady(0, &ready));
    EXPECT_EQ(0, ready) << "no list yet";
    ASSERT_EQ(3, OpenItems());

    const struct
    {
        LONG index;
        LONG ready;
    } readiness[] = {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {-1, 0}};
    for (const auto &c : readiness) {
        ready = 9;
        EXPECT_EQ(S_OK, bridge->IsItemReady(c.index, &ready)) << c.index;
        EXPECT_EQ(c.ready, ready) << c.index;
    }

    // Outside the list or a null entry: nothing is sent.
    SimClearLog();
    for (LONG index : {3, -1, 2})
        EXPECT_EQ(E_FAIL, bridge->DeleteItem(index)) << index;
    EXPECT_EQ(0u, SimCountEscapes(0));

    // A busy item is deleted all the same, and the list keeps its record.
    ASSERT_EQ(S_OK, bridge->DeleteItem(1));
    const std::vector<SimEscape> deletes = EscapesOf(ESC_DELETE_ITEM);
    ASSERT_EQ(1u, deletes.size());
    EXPECT_EQ(L"busy", deletes[0].text);
    UniqueBstr title;
    LONG pixelType = 0, resolution = 0, pageCount = 0, size = 0;
    EXPECT_EQ(S_OK, bridge->GetItemDetails(1, title.put(), 0, &pixelType, &resolution,
                                           &pageCount, &size));
    EXPECT_EQ(L"busy title", Text(title.get()));

    // The driver refuses the second delete of the same record: its answer is the result.
    EXPECT_EQ(STIERR_OBJECTNOTFOUND, bridge->DeleteItem(1));

    ASSERT_EQ(S_OK, bridge->FreeItemList());
    LONG count = 0;
    ASSERT_EQ(S_OK, bridge->GetItemCount(&count));
    EXPECT_EQ(2, count) << "the next list leaves the deleted item out";
}

TEST_F(ItemsList, FreedListIsNeitherReadNorHandedBackAgain)
{
    AddScanner({Item(L"a"), Item(L"b")});
    ASSERT_EQ(2, OpenItems());
    const LONG first[] = {0};
    ASSERT_EQ(S_OK, bridge->SetSelection(first, 1));
    SimClearLog();
    ASSERT_EQ(S_OK, bridge->FreeItemList());
    ASSERT_EQ(1u, SimEscapes().size());
    EXPECT_EQ(1u, ListFrees());
    SimClearLog();

    LONG ready = 9, pages = 9, pixelType = 0, resolution = 0, pageCount = 0, size = 0;
    UniqueBstr title, name, thumbnail;
    SYSTEMTIME time = {};
    EXPECT_EQ(S_OK, bridge->IsItemReady(0, &ready));
    EXPECT_EQ(0, ready);
    EXPECT_EQ(E_FAIL, bridge->DeleteItem(0));
    EXPECT_EQ(E_FAIL, bridge->GetItemDetails(0, title.put(), 0, &pixelType, &resolution,
                                             &pageCount, &size));
    EXPECT_EQ(E_FAIL, bridge->GetItemTime(0, &time));
    EXPECT_EQ(E_FAIL, bridge->GetItemFiles(0, name.put(), thumbnail.put()));
    EXPECT_EQ(E_FAIL, bridge->SelectItemByName(0, &pages, L"a", 0));
    EXPECT_EQ(L"", Current());
    EXPECT_EQ(E_FAIL, bridge->FreeItemList());
    EXPECT_EQ(0u, SimCountEscapes(0));

    // Indices into no list add no pages.
    bridge->SetPagesRemaining(0);
    ASSERT_EQ(S_OK, bridge->SetSelection(first, 1));
    EXPECT_EQ(0, Remaining());

    bridge->CloseDevice();
    EXPECT_EQ(0u, ListFrees()) << "closing handed the list back a second time";
}

// ---------------------------------------------------------------------------------------------
// Display name and thumbnail path.

TEST_F(ItemsFiles, OwnerReadinessAndDisplayName)
{
    struct Case
    {
        const char *what;
        SimItem item;
        HRESULT expected;
        const wchar_t *name;
        const wchar_t *thumbnail;
    };
    SimItem busy = Item(L"busy");
    busy.state = 1;
    SimItem noTime = Item(L"notime");
    ASSERT_EQ(PROP_ITEM_TIME, noTime.properties[1].id);
    noTime.properties.erase(noTime.properties.begin() + 1);
    SimItem noElements = Item(L"empty.time");
    noElements.properties[1] = SimTimeProperty(noElements.time, 0);
    SimItem nullElements = Item(L"nulltime");
    nullElements.properties[1].nullElements = true;
    SimItem longTitle = Item(L"long");
    longTitle.title = std::wstring(260, L'T');
    SimItem fitting = Item(L"fits");
    fitting.title = std::wstring(259, L'T');
    const std::wstring fittingTitle = fitting.title;

    const Case cases[] = {
        {"owned and ready", Item(L"Job0001.jpg"), S_OK, L"Job0001.jpg title",
         L"D:\\Scans\\Job0001_jpg.tmb"},
        {"foreign owner", Item(L"foreign", 1, 24, FOREIGN), S_FALSE, nullptr, nullptr},
        {"owner not a SID", Item(L"nosid", 1, 24, L"owner"), S_FALSE, nullptr, nullptr},
        {"not ready", busy, S_FALSE, nullptr, nullptr},
        {"null entry", NullEntry(), S_FALSE, nullptr, nullptr},
        {"no item time", noTime, S_OK, L"", L"D:\\Scans\\notime.tmb"},
        {"no time elements counted", noElements, S_OK, L"", L"D:\\Scans\\empty_time.tmb"},
        {"null time elements", nullElements, S_OK, L"", L"D:\\Scans\\nulltime.tmb"},
        {"title of 260 characters", longTitle, E_FAIL, nullptr, nullptr},
        {"title of 259 characters", fitting, S_OK, fittingTitle.c_str(),
         L"D:\\Scans\\fits.tmb"},
    };
    std::vector<SimItem> items;
    for (const Case &c : cases)
        items.push_back(c.item);
    AddScanner(items);
    FilingPath filing;
    filing.Set(L"D:\\Scans");
    ASSERT_EQ(static_cast<LONG>(items.size()), OpenItems());

    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.what);
        SimClearLog();
        UniqueBstr name, thumbnail;
        EXPECT_EQ(c.expected, bridge->GetItemFiles(i, name.put(), thumbnail.put()));
        if (c.name == nullptr) {
            EXPECT_EQ(nullptr, name.get());
            EXPECT_EQ(nullptr, thumbnail.get());
            EXPECT_EQ(0u, SimCountEscapes(0));
            continue;
        }
        ASSERT_NE(nullptr, name.get());
        EXPECT_EQ(c.name, Text(name.get()));
        EXPECT_EQ(c.thumbnail, Text(thumbnail.get()));
        const std::vector<SimEscape> prepared = EscapesOf(ESC_PREPARE_ITEM);
        ASSERT_EQ(1u, prepared.size());
        EXPECT_EQ(c.item.name, prepared[0].text);
    }

    UniqueBstr name, thumbnail;
    EXPECT_EQ(S_FALSE, bridge->GetItemFiles(static_cast<LONG>(items.size()), name.put(),
                                            thumbnail.put()))
        << "an index equal to the count is an item that is not ready";
}

TEST_F(ItemsFiles, ThumbnailPathFromTheFilingFolder)
{
    struct Case
    {
        const char *what;
        std::wstring filingPath;
        bool terminated;
        LONG item;
        HRESULT expected;
        const wchar_t *thumbnail;
    };
    const Case cases[] = {
        {"extension", L"D:\\Scans", true, 0, S_OK, L"D:\\Scans\\Job0001_jpg.tmb"},
        {"dotted folder", L"D:\\Scan.Box", true, 1, S_OK, L"D:\\Scan_Box\\Job0001.tmb"},
        {"two dots", L"D:\\Scans", true, 2, S_OK, L"D:\\Scans\\Job.0001_tif.tmb"},
        {"stored without terminator", L"E:\\Jobs", false, 0, S_OK,
         L"E:\\Jobs\\Job0001_jpg.tmb"},
        // 247 + 1 + 11 characters fit; the ".tmb" does not.
        {"no room for the extension", std::wstring(247, L'F'), true, 0, E_FAIL, nullptr},
        {"no room for the name", std::wstring(250, L'F'), true, 0, E_FAIL, nullptr},
        {"520 bytes, no terminator", std::wstring(260, L'F'), false, 0, E_FAIL, nullptr},
        {"no value", L"", true, 0, E_FAIL, nullptr},
    };
    AddScanner({Item(L"Job0001.jpg"), Item(L"Job0001"), Item(L"Job.0001.tif")});
    ASSERT_EQ(3, OpenItems());
    FilingPath filing;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.filingPath.empty())
            filing.Remove();
        else
            filing.Set(c.filingPath, c.terminated);
        SimClearLog();
        UniqueBstr name, thumbnail;
        EXPECT_EQ(c.expected, bridge->GetItemFiles(c.item, name.put(), thumbnail.put()));
        if (c.thumbnail != nullptr) {
            EXPECT_EQ(c.thumbnail, Text(thumbnail.get()));
            EXPECT_EQ(1u, SimCountEscapes(ESC_PREPARE_ITEM));
        } else {
            // The display name was formed first; it goes with the failure.
            EXPECT_EQ(nullptr, name.get());
            EXPECT_EQ(nullptr, thumbnail.get());
            EXPECT_EQ(0u, SimCountEscapes(0));
        }
    }
}

TEST_F(ItemsFiles, PrepareRequestFailures)
{
    struct Case
    {
        const char *what;
        std::vector<SimInjection> injections;
        HRESULT expected;
        const char *trace;
    };
    SimInjection unlock = SimFailCall(SimPoint::UnLockDevice, UNLOCK_FAILED);
    unlock.perform = true;
    const SimInjection escape = SimFailEscape(ESC_PREPARE_ITEM, E_ACCESSDENIED);
    const Case cases[] = {
        {"escape fails", {escape}, E_ACCESSDENIED, "Lock Escape:1005! Unlock"},
        {"unlock fails", {unlock}, UNLOCK_FAILED, "Lock Escape:1005 Unlock!"},
        {"both fail", {escape, unlock}, E_ACCESSDENIED, "Lock Escape:1005! Unlock!"},
        {"lock fails", {SimFailCall(SimPoint::LockDevice, LOCK_TIMEOUT)}, LOCK_TIMEOUT,
         "Lock!"},
    };
    AddScanner({Item(L"Job0001.jpg")});
    FilingPath filing;
    filing.Set(L"D:\\Scans");
    ASSERT_EQ(1, OpenItems());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const SimInjection &injection : c.injections)
            SimInject(injection);
        SimClearLog();
        UniqueBstr name, thumbnail;
        EXPECT_EQ(c.expected, bridge->GetItemFiles(0, name.put(), thumbnail.put()));
        EXPECT_EQ(nullptr, name.get());
        EXPECT_EQ(nullptr, thumbnail.get());
        EXPECT_EQ(c.trace, SimCallTrace());
        SimClearInjections();
    }
}

// ---------------------------------------------------------------------------------------------
// Details and time.

TEST_F(ItemsDetails, LastRecordWinsAndDataTypesMap)
{
    const struct
    {
        LONG dataType;
        LONG pixelType;
    } cases[] = {{3, 2}, {2, 1}, {0, 0}, {1, 0}, {7, 0}};
    std::wstring title = L"Scan";
    title += L'\0';
    title += L"back.tif";
    std::vector<SimItem> items;
    for (const auto &c : cases) {
        SimItem item = WithProperties(
            Item(L"item"),
            {SimIntProperty(PROP_PAGES, 1), SimIntProperty(PROP_DATATYPE, 3),
             SimIntProperty(PROP_ITEM_SIZE, 10), SimIntProperty(PROP_PAGES, 4),
             SimIntProperty(PROP_XRES, 5), SimIntProperty(PROP_DATATYPE, c.dataType),
             SimIntProperty(PROP_ITEM_SIZE, 20)});
        item.title = title;
        items.push_back(item);
    }
    items.push_back(WithProperties(Item(L"pages only"), {SimIntProperty(PROP_PAGES, 6)}));
    SimItem noProperties = Item(L"noprops");
    noProperties.nullProperties = true;
    items.push_back(noProperties);
    items.push_back(NullEntry());
    AddScanner(items);
    ASSERT_EQ(static_cast<LONG>(items.size()), OpenItems());

    for (LONG i = 0; i < 5; ++i) {
        SCOPED_TRACE(cases[i].dataType);
        UniqueBstr text;
        LONG pixelType = -1, resolution = -1, pageCount = -1, size = -1;
        ASSERT_EQ(S_OK, bridge->GetItemDetails(i, text.put(), 0, &pixelType, &resolution,
                                               &pageCount, &size));
        EXPECT_EQ(cases[i].pixelType, pixelType);
        EXPECT_EQ(5, resolution);
        EXPECT_EQ(4, pageCount);
        EXPECT_EQ(20, size);
        EXPECT_EQ(title, Text(text.get())) << "the title is copied with its full length";
    }

    // Absent properties leave their outputs alone.
    UniqueBstr text;
    LONG pixelType = -1, resolution = -1, pageCount = -1, size = -1;
    ASSERT_EQ(S_OK, bridge->GetItemDetails(5, text.put(), 0, &pixelType, &resolution,
                                           &pageCount, &size));
    EXPECT_EQ(6, pageCount);
    EXPECT_EQ(-1, pixelType);
    EXPECT_EQ(-1, resolution);
    EXPECT_EQ(-1, size);

    for (LONG index : {6, 7, 8, -1}) {
        EXPECT_EQ(E_FAIL, bridge->GetItemDetails(index, text.put(), 0, &pixelType, &resolution,
                                                 &pageCount, &size))
            << index;
        EXPECT_EQ(nullptr, text.get());
    }
}

TEST_F(ItemsDetails, TimeComesFromTheFirstItemTimeRecord)
{
    const SYSTEMTIME first = {2023, 11, 4, 18, 9, 5, 7, 250};
    const SYSTEMTIME second = {2024, 1, 1, 1, 0, 0, 0, 0};
    SimProperty nullElements = SimTimeProperty(first);
    nullElements.nullElements = true;
    AddScanner({WithProperties(Item(L"two"), {SimIntProperty(PROP_PAGES, 1),
                                              SimTimeProperty(first), SimTimeProperty(second)}),
                WithProperties(Item(L"null"), {nullElements, SimTimeProperty(second)}),
                WithProperties(Item(L"none"), {SimIntProperty(PROP_PAGES, 1)}), NullEntry()});
    ASSERT_EQ(4, OpenItems());

    SYSTEMTIME time = {};
    ASSERT_EQ(S_OK, bridge->GetItemTime(0, &time));
    EXPECT_EQ(0, memcmp(&first, &time, sizeof(time)));

    const SYSTEMTIME untouched = {1999, 12, 5, 31, 23, 59, 59, 999};
    for (LONG index : {1, 2}) {
        time = untouched;
        EXPECT_EQ(S_OK, bridge->GetItemTime(index, &time)) << index;
        EXPECT_EQ(0, memcmp(&untouched, &time, sizeof(time))) << index;
    }
    for (LONG index : {3, 4, -1}) {
        time = untouched;
        EXPECT_EQ(E_FAIL, bridge->GetItemTime(index, &time)) << index;
        EXPECT_EQ(0, memcmp(&untouched, &time, sizeof(time))) << index;
    }
}

// ---------------------------------------------------------------------------------------------
// Selection.

TEST_F(ItemsSelection, CurrentItemFormatMapsTheStoredFormat)
{
    const USHORT UNTOUCHED = 0xBEEF;
    const struct
    {
        std::vector<LONG> stored;
        USHORT expected;
    } cases[] = {{{0}, 4},         {{1}, 0},         {{2}, 6},        {{5}, 2},
                 {{3}, UNTOUCHED}, {{}, UNTOUCHED},  {{0, 5}, 2},     {{5, 3}, 2}};
    std::vector<SimItem> items;
    for (const auto &c : cases) {
        std::vector<SimProperty> properties = {SimIntProperty(PROP_PAGES, 1)};
        for (LONG stored : c.stored)
            properties.push_back(SimIntProperty(PROP_FORMAT, stored));
        items.push_back(WithProperties(Item(L"item"), properties));
    }
    AddScanner(items);
    ASSERT_EQ(static_cast<LONG>(items.size()), OpenItems());

    USHORT format = UNTOUCHED;
    EXPECT_EQ(E_FAIL, bridge->GetCurrentItemFormat(&format)) << "nothing selected";
    EXPECT_EQ(UNTOUCHED, format);
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
        ASSERT_EQ(S_OK, bridge->SetSelection(&i, 1));
        format = UNTOUCHED;
        EXPECT_EQ(S_OK, bridge->GetCurrentItemFormat(&format)) << i;
        EXPECT_EQ(cases[i].expected, format) << i;
    }
}

TEST_F(ItemsSelection, DriverSelectedItemIsFoundByItsKey)
{
    const std::wstring longName(300, L'n');
    AddScanner({NullEntry(), Item(L"first"), Item(L"second"), Item(longName.c_str())});
    OpenScanner();

    struct Case
    {
        const char *what;
        std::wstring selected;
        bool queryFails;
        HRESULT expected;
        std::wstring name;
    };
    const Case cases[] = {
        {"second's key", L"key-second", false, S_OK, L"second"},
        {"nothing selected", L"", false, E_FAIL, L""},
        {"unknown key", L"key-nowhere", false, E_FAIL, L""},
        {"name too long", L"key-" + longName, false, E_BOUNDED_CUT, longName.substr(0, 259)},
        {"query fails", L"key-second", true, E_FAIL, L""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SimFindDevice(TEST_DEVICE)->selectedItem = c.selected;
        if (c.queryFails)
            SimInject(SimFailEscape(ESC_QUERY_VALUE, E_ACCESSDENIED));
        SimClearLog();
        wchar_t buffer[NAME_CHARS];
        wmemset(buffer, L'X', NAME_CHARS);
        EXPECT_EQ(c.expected, bridge->GetDriverSelectedItem(buffer));
        EXPECT_EQ(c.name, std::wstring(buffer, wcsnlen(buffer, NAME_CHARS)));
        const size_t length = c.name.size();
        EXPECT_EQ(static_cast<std::ptrdiff_t>(NAME_CHARS - length),
                  std::count(buffer + length, buffer + NAME_CHARS, L'\0'))
            << "the buffer is zero-filled behind the name";
        // Every answered query fetches the list anew.
        const bool answered = !c.queryFails && !c.selected.empty();
        EXPECT_EQ(answered ? 1u : 0u, SimCountEscapes(ESC_GET_ITEM_LIST));
        SimClearInjections();
        if (answered) {
            ASSERT_EQ(S_OK, bridge->FreeItemList());
        }
    }
    EXPECT_EQ(E_FAIL, bridge->GetDriverSelectedItem(nullptr));
}

TEST_F(ItemsSelection, SetSelectionCountsPagesAndKeepsItsLength)
{
    AddScanner({Item(L"one", 1), Item(L"two", 2), Item(L"three", 3), NullEntry()});
    ASSERT_EQ(4, OpenItems());
    EXPECT_EQ(E_FAIL, bridge->SetSelection(nullptr, 1));

    const LONG first[] = {2, 0};
    ASSERT_EQ(S_OK, bridge->SetSelection(first, 2));
    EXPECT_EQ(4, Remaining());
    EXPECT_EQ(L"three", Current());
    const LONG second[] = {1};
    ASSERT_EQ(S_OK, bridge->SetSelection(second, 1));
    EXPECT_EQ(6, Remaining()) << "pages are added to what was left";
    EXPECT_EQ(L"two", Current());

    // More indices than the array holds: it grows. Indices that name no item add no pages and
    // read as no item.
    const LONG third[] = {0, 1, 9, 3, -1};
    ASSERT_EQ(S_OK, bridge->SetSelection(third, 5));
    EXPECT_EQ(9, Remaining());
    EXPECT_EQ((std::vector<std::wstring>{L"one", L"two", L"", L"", L"", L""}), Walk(6));

    // A shorter selection in the same array: the index 1 left behind it is not read.
    const LONG fourth[] = {2};
    ASSERT_EQ(S_OK, bridge->SetSelection(fourth, 1));
    EXPECT_EQ((std::vector<std::wstring>{L"three", L""}), Walk(2));

    // No indices: nothing stored, nothing added, the cursor back at the start.
    bridge->SetPagesRemaining(0);
    ASSERT_EQ(S_OK, bridge->SetSelection(first, 0));
    EXPECT_EQ(0, Remaining());
    EXPECT_EQ(L"", Current());
}

TEST_F(ItemsSelection, SelectItemByNameReplacesThePages)
{
    SimItem busy = Item(L"busy", 4);
    busy.state = 1;
    // Depth 24 first, then a record whose low 16 bits say 8: the last one counts.
    SimItem mixed = Item(L"mixed", 3, 24);
    mixed.properties.push_back(SimIntProperty(PROP_DEPTH, 0x10008));
    AddScanner({Item(L"first", 2), busy, mixed});

    LONG pages = -1;
    EXPECT_EQ(E_FAIL, bridge->SelectItemByName(0, &pages, L"first", 0)) << "no list";
    ASSERT_EQ(3, OpenItems());

    const struct
    {
        LONG depthTest;
        const wchar_t *name;
        LONG depth;
        LONG pages;
        const wchar_t *current;
    } cases[] = {
        {0, L"first", 0, 2, L"first"},   {0, L"mixed", 99, 3, L"mixed"},
        {0, L"nowhere", 0, 0, L"first"}, {0, L"busy", 0, 0, L"first"},
        {1, L"mixed", 24, 0, L"first"},  {1, L"mixed", 8, 3, L"mixed"},
        {0, nullptr, 0, 0, L"first"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.name ? c.name : L"(null)") << " " << c.depth);
        bridge->SetPagesRemaining(7);
        pages = -1;
        ASSERT_EQ(S_OK, bridge->SelectItemByName(c.depthTest, &pages, c.name, c.depth));
        EXPECT_EQ(c.pages, pages);
        EXPECT_EQ(c.pages, Remaining()) << "replaced, not added";
        // A miss leaves index 0 in the new one-entry selection.
        EXPECT_EQ(c.current, Current());
    }
}

// ---------------------------------------------------------------------------------------------
// Paging.

TEST_F(ItemsPaging, NextItemOnlyAfterItsLastPage)
{
    AddScanner({Item(L"two", 2), Item(L"one", 1)});
    ASSERT_EQ(2, OpenItems());
    LONG pages = 0;
    ASSERT_EQ(S_OK, bridge->SelectItemByName(0, &pages, L"two", 0));
    ASSERT_EQ(2, pages);
    ImageInfo info = {};
    ASSERT_EQ(S_OK, bridge->GetImageInfo(&info, 0));

    // One two-page item, then {two, one}: the item changes only once its last page (as
    // GetImageInfo last counted them) is done; after the selection's last page the cursor stands
    // one past it.
    const LONG both[] = {0, 1};
    const struct
    {
        const LONG *select;
        bool describe;
        LONG left;
        LONG page;
        LONG pageCount;
        const wchar_t *current;
    } steps[] = {
        {nullptr, false, 1, 2, 2, L"two"}, {nullptr, false, 0, 1, 2, L""},
        {both, false, 2, 2, 2, L"two"},    {nullptr, false, 1, 1, 2, L"one"},
        {nullptr, true, 0, 1, 1, L""},
    };
    for (const auto &step : steps) {
        if (step.select != nullptr) {
            ASSERT_EQ(S_OK, bridge->SetSelection(step.select, 2));
        }
        if (step.describe) {
            ASSERT_EQ(S_OK, bridge->GetImageInfo(&info, 0));
        }
        LONG left = -1, page = 0, pageCount = 0;
        ASSERT_EQ(S_OK, bridge->AdvancePage(0, &left));
        EXPECT_EQ(step.left, left);
        ASSERT_EQ(S_OK, bridge->GetPagePosition(&page, &pageCount));
        EXPECT_EQ(step.page, page);
        EXPECT_EQ(step.pageCount, pageCount);
        EXPECT_EQ(step.current, Current());
    }

    // Nothing left, or less than nothing: the count settles at 0 and the output is untouched.
    for (LONG remaining : {0, -3}) {
        bridge->SetPagesRemaining(remaining);
        LONG left = 77;
        EXPECT_EQ(S_OK, bridge->AdvancePage(0, &left));
        EXPECT_EQ(77, left);
        EXPECT_EQ(0, Remaining());
    }
    // Modes other than 0 and 1 do nothing.
    bridge->SetPagesRemaining(5);
    LONG left = 77;
    EXPECT_EQ(S_OK, bridge->AdvancePage(2, &left));
    EXPECT_EQ(77, left);
    EXPECT_EQ(5, Remaining());
}

// ---------------------------------------------------------------------------------------------
// Events.

TEST_F(ItemsEvents, RegisterCreatesThreeEventsAndRegistersTwo)
{
    EXPECT_EQ(E_FAIL, bridge->RegisterEvents()) << "no device";
    EXPECT_EQ(E_FAIL, bridge->UnregisterEvents()) << "no device";
    AddScanner();
    OpenScanner();

    // JobEnded exists already: the bridge opens it and the driver's signal reaches it.
    UniqueHandle jobEnded(CreateEventW(nullptr, FALSE, FALSE, L"JobEnded"));
    ASSERT_TRUE(jobEnded);
    SimClearLog();
    ASSERT_EQ(S_OK, bridge->RegisterEvents());
    EXPECT_EQ("Lock Escape:1011 Escape:1011 Unlock", SimCallTrace());
    const std::vector<SimEscape> registered = EscapesOf(ESC_REGISTER_EVENT);
    ASSERT_EQ(2u, registered.size());
    EXPECT_EQ(EVENT_JOB_ENDED, registered[0].actualIn);
    EXPECT_EQ(EVENT_ITEM_DELETED, registered[1].actualIn);
    EXPECT_EQ(2u, SimEventRegistrations().size());

    UniqueHandle itemDeleted(OpenEventW(SYNCHRONIZE, FALSE, L"ItemDeleted"));
    UniqueHandle itemAdded(OpenEventW(SYNCHRONIZE, FALSE, L"ItemAdded"));
    ASSERT_TRUE(itemDeleted);
    EXPECT_TRUE(itemAdded);
    EXPECT_EQ(1u, SimSignalEvent(EVENT_JOB_ENDED));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(jobEnded.get(), 0));
    EXPECT_EQ(1u, SimSignalEvent(EVENT_ITEM_DELETED));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(itemDeleted.get(), 0));

    // A failed lock is E_FAIL here, whatever the lock said.
    SimInject(SimFailCall(SimPoint::LockDevice, LOCK_TIMEOUT));
    EXPECT_EQ(E_FAIL, bridge->RegisterEvents());
    SimClearInjections();
}

// Registrations are replaced, their cookies spent once withdrawn; a handle the driver may still
// signal is never closed, so no later event takes its value, and its withdrawal is tried again.
TEST_F(ItemsEvents, RegistrationsAreReplacedAndHeldHandlesStayOpen)
{
    using Cookies = std::vector<std::pair<LONG, DWORD>>;
    auto sent = [] {
        Cookies cookies;
        for (const SimEscape &escape : EscapesOf(ESC_UNREGISTER_EVENT))
            cookies.emplace_back(CookieSent(escape), escape.actualIn);
        return cookies;
    };
    auto held = [] {
        Cookies cookies;
        for (const SimEventRegistration &registration : SimEventRegistrations())
            cookies.emplace_back(static_cast<LONG>(registration.cookie), registration.kind);
        return cookies;
    };
    const Cookies unknown = {{-1, EVENT_JOB_ENDED}, {-1, EVENT_ITEM_DELETED}};
    AddScanner();
    OpenScanner();

    // Never registered: both requests carry -1, which the driver does not know.
    SimClearLog();
    EXPECT_EQ(E_INVALIDARG, bridge->UnregisterEvents());
    EXPECT_EQ(unknown, sent());

    ASSERT_EQ(S_OK, bridge->RegisterEvents());
    const Cookies first = held();
    ASSERT_EQ(2u, first.size());

    // A second registration first takes back the first one.
    SimClearLog();
    ASSERT_EQ(S_OK, bridge->RegisterEvents());
    EXPECT_EQ("Lock Escape:1012 Escape:1012 Unlock Lock Escape:1011 Escape:1011 Unlock",
              SimCallTrace());
    EXPECT_EQ(first, sent());
    const Cookies second = held();
    ASSERT_EQ(2u, second.size());
    EXPECT_NE(first, second);

    SimClearLog();
    ASSERT_EQ(S_OK, bridge->UnregisterEvents());
    EXPECT_EQ(second, sent());
    EXPECT_TRUE(SimEventRegistrations().empty());

    // The cookies are spent: the next requests carry -1 again.
    SimClearLog();
    EXPECT_EQ(E_INVALIDARG, bridge->UnregisterEvents());
    EXPECT_EQ(unknown, sent());

    // A withdrawal that fails keeps the handles open and the cookies for the next attempt,
    // which RegisterEvents makes before it lets any handle go.
    SimInjection busy = SimFailCall(SimPoint::LockDevice, LOCK_TIMEOUT);
    busy.count = 1;
    SimInjection refused = SimFailEscape(ESC_UNREGISTER_EVENT, E_ACCESSDENIED);
    refused.count = 1;
    SimInjection unlockFails = SimFailCall(SimPoint::UnLockDevice, UNLOCK_FAILED);
    unlockFails.perform = true;
    unlockFails.count = 1;
    struct Case
    {
        const char *what;
        SimInjection failure;
        HRESULT unregistered;
        bool jobEndedKept, itemDeletedKept; // cookies the retry carries
        HRESULT registered;
    };
    const Case cases[] = {
        {"lock fails", busy, LOCK_TIMEOUT, true, true, S_OK},
        // The driver kept JobEnded only; the ItemDeleted cookie is spent.
        {"JobEnded refused", refused, E_ACCESSDENIED, true, false, S_OK},
        // The driver let go of both, but the request did not end well: both are kept, the
        // driver no longer knows them, and the handles stay open for good.
        {"unlock fails", unlockFails, UNLOCK_FAILED, true, true, E_FAIL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        AddScanner();
        OpenScanner();
        UniqueHandle jobEnded(CreateEventW(nullptr, FALSE, FALSE, L"JobEnded"));
        UniqueHandle itemDeleted(CreateEventW(nullptr, FALSE, FALSE, L"ItemDeleted"));
        ASSERT_TRUE(jobEnded && itemDeleted);
        ASSERT_EQ(S_OK, bridge->RegisterEvents());
        const Cookies registered = held();
        std::vector<HANDLE> handles;
        for (const SimEventRegistration &registration : SimEventRegistrations())
            handles.push_back(registration.event);
        ASSERT_EQ(2u, handles.size());

        SimInject(c.failure);
        EXPECT_EQ(c.unregistered, bridge->UnregisterEvents());
        SimClearInjections();
        SimClearLog();
        EXPECT_EQ(c.registered, bridge->RegisterEvents());
        const Cookies retried = {{c.jobEndedKept ? registered[0].first : -1, EVENT_JOB_ENDED},
                                 {c.itemDeletedKept ? registered[1].first : -1,
                                  EVENT_ITEM_DELETED}};
        EXPECT_EQ(retried, sent());
        EXPECT_EQ(c.registered == S_OK ? 2u : 0u, SimCountEscapes(ESC_REGISTER_EVENT));

        // Whatever the driver holds signals the event it was registered for, and nothing else.
        EXPECT_EQ(c.registered == S_OK ? 2u : 0u, SimEventRegistrations().size());
        for (const DWORD kind : {EVENT_JOB_ENDED, EVENT_ITEM_DELETED}) {
            SCOPED_TRACE(kind);
            const size_t signalled = SimSignalEvent(kind);
            const bool jobEndedSet = WaitForSingleObject(jobEnded.get(), 0) == WAIT_OBJECT_0;
            const bool itemDeletedSet =
                WaitForSingleObject(itemDeleted.get(), 0) == WAIT_OBJECT_0;
            EXPECT_EQ(signalled != 0 && kind == EVENT_JOB_ENDED, jobEndedSet);
            EXPECT_EQ(signalled != 0 && kind == EVENT_ITEM_DELETED, itemDeletedSet);
        }

        // Closing tries once more; handles the driver never let go of stay open.
        EXPECT_EQ(S_OK, bridge->CloseDevice());
        if (c.registered != S_OK) {
            DWORD flags = 0;
            for (HANDLE handle : handles)
                EXPECT_TRUE(GetHandleInformation(handle, &flags));
        }
    }
}

} // namespace
