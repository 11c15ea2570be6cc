// Malformed driver answers: item-list headers that describe no usable array, null records,
// property counts without an array, and strings that fill their buffer without a terminator.
// Each is rejected or skipped. Driver memory is guarded, so a read past what the driver
// described, or of a block it took back, faults at once.
#include "bridge_fixture.h"

#include "bounded_string.h"
#include "hresult_values.h"

#include <climits>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

// Wine's CheckTokenMembership counts only the token's groups: "the server's user" is Everyone.
constexpr wchar_t OWNED[] = L"S-1-1-0";
constexpr USHORT UNSET = 0xBEEF;

SimItem Item(const wchar_t *name)
{
    const std::wstring key = std::wstring(L"key-") + name;
    return SimMakeItem(name, name, OWNED, key.c_str(), 2, 64, 48, 24);
}

class MalformedDriver : public BridgeTest
{
protected:
    void SetUp() override
    {
        SimGuardReleasedMemory(true);
        BridgeTest::SetUp();
    }

    void TearDown() override
    {
        BridgeTest::TearDown();
        SimGuardReleasedMemory(false);
    }

    // A fresh bridge and world for the next case; the last one left nothing with the driver.
    void Restart()
    {
        ReleaseBridge();
        for (const std::string &violation : SimTakeViolations())
            ADD_FAILURE() << violation;
        SimReset();
        bridge = new CStiScannerComBridge(&SimStiCreateInstance);
    }
};

SimDriverFaults ListFaults(bool countSet, LONG count, bool nullArray, DWORD nullEntries)
{
    SimDriverFaults faults;
    faults.listCountSet = countSet;
    faults.listCount = count;
    faults.nullItemArray = nullArray;
    faults.nullEntries = nullEntries;
    return faults;
}

// An empty list is no error, with or without an array; a header whose count cannot be used is
// refused, and any array that came with it still goes back to the driver.
TEST_F(MalformedDriver, ItemListHeadersAreTakenOnlyWithAnArrayOfTheirCount)
{
    // An even count of entries ends the guarded array at the inaccessible page.
    const DWORD million = 1u << 20;
    struct Case
    {
        const char *what;
        std::vector<SimItem> items;
        SimDriverFaults faults;
        HRESULT expected;
        LONG count;
        bool array;          // the driver handed out an array, which must come back
    };
    const std::vector<SimItem> two = {Item(L"first"), Item(L"second")};
    const Case cases[] = {
        {"negative count", two, ListFaults(true, -1, false, 0), E_FAIL, 77, true},
        {"INT_MAX without an array", two, ListFaults(true, INT_MAX, true, 0), E_FAIL, 77, false},
        {"two items without an array", two, ListFaults(false, 0, true, 0), E_FAIL, 77, false},
        {"no items counted, no array", two, ListFaults(true, 0, true, 0), S_OK, 0, false},
        {"an account without items", {}, SimDriverFaults(), S_OK, 0, false},
        {"no items counted in an array", two, ListFaults(true, 0, false, 0), S_OK, 0, true},
        {"a million null entries after the items", two, ListFaults(false, 0, false, million),
         S_OK, static_cast<LONG>(2 + million), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        SimDevice *device = AddScanner(c.items);
        device->faults = c.faults;
        device->selectedItem = L"key-nowhere";
        OpenScanner();
        LONG count = 77;
        EXPECT_EQ(c.expected, bridge->GetItemCount(&count));
        EXPECT_EQ(c.count, count);
        const bool listed = c.expected == S_OK;

        // The readers stay inside the entries: the real items, the last entry, the one past it.
        const LONG end = listed ? count : 2;
        const LONG real = listed && count > 0 ? 2 : 0;
        for (LONG index : {-1L, 0L, 1L, end - 1, end}) {
            SCOPED_TRACE(index);
            const bool isReal = index >= 0 && index < real;
            LONG ready = -1;
            EXPECT_EQ(S_OK, bridge->IsItemReady(index, &ready));
            EXPECT_EQ(isReal ? 1 : 0, ready);
            UniqueBstr title;
            LONG pixelType = 0, resolution = 0, pages = 0, size = 0;
            EXPECT_EQ(isReal ? S_OK : E_FAIL,
                      bridge->GetItemDetails(index, title.put(), 0, &pixelType, &resolution,
                                             &pages, &size));
            const LONG one[] = {index};
            EXPECT_EQ(S_OK, bridge->SetSelection(one, 1));
            UniqueBstr name;
            LONG page = 0;
            EXPECT_EQ(isReal ? S_OK : E_FAIL, bridge->GetCurrentItem(name.put(), &page));
            ImageInfo info = {};
            EXPECT_EQ(isReal ? S_OK : E_FAIL, bridge->GetImageInfo(&info, 0));
        }
        SimClearLog();
        EXPECT_EQ(E_FAIL, bridge->DeleteItem(end));
        LONG pages = -1;
        EXPECT_EQ(listed && c.array ? S_OK : E_FAIL,
                  bridge->SelectItemByName(0, &pages, L"absent", 0));
        EXPECT_EQ(0u, SimCountEscapes(0)) << "nothing past the entries goes to the driver";
        if (listed) {
            // The device's selection, found nowhere, is looked for in every entry of a list
            // fetched anew.
            ASSERT_EQ(S_OK, bridge->FreeItemList());
            wchar_t selected[NAME_CHARS];
            EXPECT_EQ(E_FAIL, bridge->GetDriverSelectedItem(selected));
            EXPECT_EQ(1u, SimCountEscapes(ESC_GET_ITEM_LIST));
        }
        // Whatever list is held goes back once; the driver is left with nothing of the user's.
        SimClearLog();
        EXPECT_EQ(S_OK, bridge->CloseDevice());
        size_t handedBack = 0;
        for (const SimEscape &escape : SimEscapes()) {
            if (escape.code == ESC_FREE_BLOCK && escape.actualIn == FREE_ITEM_LIST) {
                EXPECT_EQ(S_OK, escape.result);
                ++handedBack;
            }
        }
        EXPECT_EQ(listed || c.array ? 1u : 0u, handedBack);
        EXPECT_EQ(0u, SimCountBlocks(SimBlockKind::ItemList, false));
    }
    Restart();
}

TEST_F(MalformedDriver, NullRecordsAndPropertyCountsWithoutArraysAreSkipped)
{
    SimItem hole;
    hole.nullEntry = true;
    SimItem bare = Item(L"bare");
    bare.nullProperties = true;
    ASSERT_NE(0u, bare.properties.size()) << "the record claims properties it does not carry";
    AddScanner({Item(L"first"), hole, bare});
    ASSERT_EQ(3, OpenItems());

    // Per index -1, 0 (an item), 1 (a null record), 2 (properties counted, none given), 3.
    using Reader = std::function<HRESULT(LONG)>;
    struct Row
    {
        const char *what;
        Reader read;
        std::vector<HRESULT> expected;
    };
    SYSTEMTIME time = {};
    const Row rows[] = {
        {"GetItemDetails",
         [&](LONG i) {
             UniqueBstr title;
             LONG a = 0, b = 0, c = 0, d = 0;
             return bridge->GetItemDetails(i, title.put(), 0, &a, &b, &c, &d);
         },
         {E_FAIL, S_OK, E_FAIL, E_FAIL, E_FAIL}},
        {"GetItemTime", [&](LONG i) { return bridge->GetItemTime(i, &time); },
         {E_FAIL, S_OK, E_FAIL, S_OK, E_FAIL}},
        {"GetCurrentItemFormat",
         [&](LONG i) {
             const LONG one[] = {i};
             USHORT format = UNSET;
             bridge->SetSelection(one, 1);
             return bridge->GetCurrentItemFormat(&format);
         },
         {E_FAIL, S_OK, E_FAIL, S_OK, E_FAIL}},
        {"GetImageInfo",
         [&](LONG i) {
             const LONG one[] = {i};
             ImageInfo info = {};
             bridge->SetSelection(one, 1);
             return bridge->GetImageInfo(&info, 0);
         },
         {E_FAIL, S_OK, E_FAIL, S_OK, E_FAIL}},
        {"PrepareTransfer",
         [&](LONG i) {
             const LONG one[] = {i};
             LONG code = 0;
             bridge->SetSelection(one, 1);
             return bridge->PrepareTransfer(0, 0, 1, 0, 0, 0, 0, 0, &code);
         },
         {E_FAIL, S_OK, E_FAIL, S_OK, E_FAIL}},
    };
    for (const Row &row : rows) {
        for (LONG index = -1; index <= 3; ++index)
            EXPECT_EQ(row.expected[index + 1], row.read(index)) << row.what << " of " << index;
    }
    time = {};
    EXPECT_EQ(S_OK, bridge->GetItemTime(2, &time));
    EXPECT_EQ(0, time.wYear) << "the time of an item without properties is left unwritten";
    EXPECT_EQ(S_OK, bridge->GetItemTime(0, &time));
    EXPECT_EQ(2024, time.wYear);

    // The bare item is found by name but brings no pages; selecting all counts only the first's.
    LONG pages = -1;
    EXPECT_EQ(S_OK, bridge->SelectItemByName(1, &pages, L"bare", 24));
    EXPECT_EQ(0, pages);
    const LONG all[] = {0, 1, 2, 3};
    EXPECT_EQ(S_OK, bridge->SetPagesRemaining(0));
    EXPECT_EQ(S_OK, bridge->SetSelection(all, 4));
    LONG remaining = -1;
    EXPECT_EQ(S_OK, bridge->AdvancePage(1, &remaining));
    EXPECT_EQ(2, remaining);
}

TEST_F(MalformedDriver, PropertyBlocksCountingRecordsWithoutAnArrayAreNotRead)
{
    struct Case
    {
        const char *what;
        bool settings, capabilities, account;
        HRESULT read, write;
        LONG extended;
        HRESULT pin;
    };
    const Case cases[] = {
        {"all records given", false, false, false, S_OK, S_OK, 1, S_OK},
        {"scan settings", true, false, false, E_FAIL, E_FAIL, 1, S_OK},
        {"capabilities", false, true, false, S_OK, S_OK, 0, S_OK},
        {"account", false, false, true, S_OK, S_OK, 1, E_FAIL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        SimDevice *device = AddScanner();
        device->faults.nullSettingsRecords = c.settings;
        device->faults.nullCapabilityRecords = c.capabilities;
        device->faults.nullAccountRecords = c.account;
        OpenScanner();

        LONG extended = -1;
        EXPECT_EQ(S_OK, bridge->GetExtendedCapability(&extended));
        EXPECT_EQ(c.extended, extended);
        EXPECT_EQ(c.pin, bridge->SendUserPin());
        EXPECT_EQ(c.pin == S_OK ? 1u : 0u, SimCountEscapes(ESC_SET_ACCOUNT));

        USHORT codes[5] = {UNSET, UNSET, UNSET, UNSET, UNSET};
        EXPECT_EQ(c.read, bridge->GetScanSettings(&codes[0], &codes[1], &codes[2], &codes[3],
                                                  &codes[4]));
        if (c.read != S_OK) {
            for (USHORT code : codes)
                EXPECT_EQ(UNSET, code);
        }
        EXPECT_EQ(c.write, bridge->SetScanSettings(L"Scan", 2, 52, 300, 4, 0, 1));
        EXPECT_EQ(c.write, bridge->ApplyScanSettings());
        EXPECT_EQ(c.write == S_OK ? 2u : 0u, SimCountEscapes(ESC_SET_SCAN_SETTINGS));
        // The blocks still go back to the driver.
        EXPECT_EQ(S_OK, bridge->FreeScanSettings());
        EXPECT_EQ(S_OK, bridge->FreeCapabilities());
        EXPECT_EQ(S_OK, bridge->CloseDevice());
    }
    Restart();
}

TEST_F(MalformedDriver, SelectedItemWithoutTerminatorInItsBlockIsRejected)
{
    AddScanner({Item(L"first"), Item(L"second")})->selectedItem = L"key-second";
    OpenScanner();
    for (bool terminated : {true, false}) {
        SCOPED_TRACE(terminated ? "terminated" : "no terminator");
        SimFindDevice(TEST_DEVICE)->faults.unterminatedSelectedItem = !terminated;
        SimClearLog();
        wchar_t name[NAME_CHARS];
        wmemset(name, L'X', NAME_CHARS);
        EXPECT_EQ(terminated ? S_OK : E_FAIL, bridge->GetDriverSelectedItem(name));
        EXPECT_STREQ(terminated ? L"second" : L"", name);
        // An unterminated answer is refused before any list is fetched to compare it with.
        EXPECT_EQ(terminated ? 1u : 0u, SimCountEscapes(ESC_GET_ITEM_LIST));
        if (terminated) {
            ASSERT_EQ(S_OK, bridge->FreeItemList());
        }
    }
}

TEST_F(MalformedDriver, UserDataKeyFillingItsBufferWithoutTerminatorIsCut)
{
    // 260 characters fill the 520 bytes; the key used is the first 259, a path of short names.
    std::wstring path = UserKeyPath();
    while (path.size() < NAME_CHARS - 1)
        path += path.size() % 64 == 0 ? L'\\' : L'k';
    path.resize(NAME_CHARS - 1);
    if (path.back() == L'\\')
        path.back() = L'k';
    {
        UniqueHKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
        const wchar_t pin[] = L"7777";
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"OrvUserPIN", 0, REG_SZ,
                                                reinterpret_cast<const BYTE *>(pin), sizeof(pin)));
    }
    SimDevice *device = AddScanner();
    device->userDataKey = path + L'Z';
    device->faults.unterminatedUserDataKey = true;
    OpenScanner();
    EXPECT_EQ(S_OK, bridge->SendUserPin());
    const std::vector<SimPinReceived> pins = SimPinsReceived();
    ASSERT_EQ(1u, pins.size());
    EXPECT_EQ(L"7777", pins[0].pin);
}

} // namespace
