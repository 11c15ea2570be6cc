// Finding, choosing and closing the scanner: the model table, the name list, the launch device,
// selection by local name, and what closing or destroying the object hands back and releases.
#include "bridge_fixture.h"

#include "hresult_values.h"

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t QUILLON_4410_TWAIN[] = L"Orvane Quillon 4410MFP TWAIN";
constexpr wchar_t QUILLON_4410_WIA[] = L"Orvane Quillon 4410MFP WIA";
constexpr wchar_t QUILLON_2230_TWAIN[] = L"Orvane Quillon 2230MFP TWAIN";
constexpr wchar_t OTHER_MAKER[] = L"Contoso FlatScan 300";

// A device whose driver names it as its selected item, so the device object tells its device.
SimDevice Device(int number, const wchar_t *description, const std::wstring &localName)
{
    wchar_t internalName[64];
    swprintf(internalName, 64, L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\%04d", 100 + number);
    SimDevice device = SimMakeDevice(internalName, description, localName.c_str());
    device.selectedItem = localName;
    device.accounts.push_back(SimMakeAccount(TEST_ACCOUNT));
    return device;
}

class DevicesTest : public BridgeTest
{
protected:
    // A new object over a new world holding these devices, with its STI service.
    void Renew(const std::vector<SimDevice> &devices)
    {
        ReleaseBridge();
        for (const std::string &violation : SimTakeViolations())
            ADD_FAILURE() << violation;
        SimReset();
        for (const SimDevice &device : devices)
            SimAddDevice(device);
        bridge = new CStiScannerComBridge(&SimStiCreateInstance);
        ASSERT_EQ(bridge->CreateStillImage(), S_OK);
    }

    struct Listing
    {
        HRESULT result;
        LONG count;
        std::wstring names;
        bool written;
    };

    Listing Enumerate(LONG wanted)
    {
        Listing listing{E_UNEXPECTED, wanted, L"", false};
        UniqueBstr names;
        listing.result = bridge->EnumerateDevices(&listing.count, names.put());
        listing.written = names.get() != nullptr;
        if (listing.written)
            listing.names = names.get();
        return listing;
    }

    LONG Family()
    {
        LONG family = -99;
        EXPECT_EQ(bridge->GetModelFamily(&family), S_OK);
        return family;
    }

    // The device the device object serves (its local name), or empty when there is none.
    std::wstring Served()
    {
        void *value = nullptr;
        if (bridge->QueryDriverValue(QUERY_SELECTED_ITEM, &value) != S_OK)
            return L"";
        return static_cast<const wchar_t *>(value);
    }

    // Whether a device is chosen: only then can the account be opened on it.
    bool Chosen() { return bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT) == S_OK; }
};

TEST_F(DevicesTest, ModelTableDecidesFamilyByCaseInsensitiveSubstring)
{
    const struct
    {
        const wchar_t *description;
        bool listed;
        LONG family;
    } cases[] = {
        {QUILLON_4410_TWAIN, true, 2},
        {L"Orvane Quillon 4420MFP TWAIN", true, 2},
        {QUILLON_2230_TWAIN, true, 0},
        {L"Orvane Chromet 7101/7102/7103 TWAIN Scanner", true, 0},
        {L"USB: ORVANE DESKHUB/PRO TWAIN SCANNER #2", true, 0},
        {L"orvane quillon 4420mfp twain (network)", true, 2},
        {QUILLON_4410_WIA, false, -1},
        {L"Orvane DeskHub/Pro WIA Scanner", false, -1},
        // A WIA entry wins over a TWAIN entry in the same description.
        {L"Orvane Quillon 2230MFP WIA / Orvane Quillon 2230MFP TWAIN", false, -1},
        {L"Orvane Quillon 4410MFP", false, -1},
        {OTHER_MAKER, false, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::wstring(c.description).c_str());
        ASSERT_NO_FATAL_FAILURE(Renew({Device(1, c.description, L"Scanner")}));
        const Listing listing = Enumerate(0);
        EXPECT_EQ(listing.result, S_OK);
        EXPECT_EQ(listing.count, c.listed ? 1 : 0);
        EXPECT_EQ(listing.names, c.listed ? L"Scanner;" : L"");
        EXPECT_EQ(Family(), c.family);

        ASSERT_NO_FATAL_FAILURE(Renew({Device(1, c.description, L"Scanner")}));
        EXPECT_EQ(bridge->OpenLaunchDevice(), S_OK);
        EXPECT_EQ(Family(), c.family);
        EXPECT_EQ(SimCountCalls(SimCallKind::CreateDevice), c.listed ? 1u : 0u);
    }
}

TEST_F(DevicesTest, OpenLaunchDeviceSkipsTheWiaEntryAndOpensTheTwainOne)
{
    ASSERT_NO_FATAL_FAILURE(Renew({Device(1, QUILLON_4410_WIA, L"Wia"),
                                   Device(2, QUILLON_4410_TWAIN, L"Twain"),
                                   Device(3, QUILLON_2230_TWAIN, L"Later")}));
    EXPECT_EQ(bridge->OpenLaunchDevice(), S_OK);
    EXPECT_EQ(Family(), 2);
    EXPECT_EQ(SimGetCounters().liveDevices, 1);
    EXPECT_EQ(Served(), L"Twain");
}

TEST_F(DevicesTest, NameListHonoursTheWantedCountAndItsCapacity)
{
    const std::wstring a(100, L'a'), b(100, L'b'), c(100, L'c');
    const std::vector<SimDevice> three = {Device(1, QUILLON_2230_TWAIN, L"Alpha"),
                                          Device(2, QUILLON_2230_TWAIN, L"Beta"),
                                          Device(3, QUILLON_4410_TWAIN, L"Gamma")};
    const struct
    {
        const char *name;
        std::vector<SimDevice> devices;
        LONG wanted;
        HRESULT result;
        LONG count;
        std::wstring names;
        std::wstring chosen; // empty: nothing chosen
        LONG family;
    } cases[] = {
        {"all wanted", three, 0, S_OK, 3, L"Alpha;Beta;Gamma;", L"", 2},
        {"one wanted", three, 1, S_OK, 1, L"Alpha;", L"Alpha", 0},
        {"two wanted", three, 2, S_OK, 2, L"Alpha;Beta;", L"", 0},
        {"more wanted than there are", three, 7, S_OK, 3, L"Alpha;Beta;Gamma;", L"", 2},
        {"another maker after the one supported",
         {Device(1, QUILLON_4410_TWAIN, L"Alpha"), Device(2, OTHER_MAKER, L"Other")}, 0, S_OK, 1,
         L"Alpha;", L"Alpha", -1},
        {"a WIA entry after it leaves the family",
         {Device(1, QUILLON_4410_TWAIN, L"Alpha"), Device(2, QUILLON_4410_WIA, L"Wia")}, 0, S_OK,
         1, L"Alpha;", L"Alpha", 2},
        {"no devices", {}, 0, S_OK, 0, L"", L"", -1},
        {"cut at 259 characters",
         {Device(1, QUILLON_2230_TWAIN, a), Device(2, QUILLON_2230_TWAIN, b),
          Device(3, QUILLON_2230_TWAIN, c)},
         0, E_BOUNDED_CUT, 3, a + L";" + b + L";" + std::wstring(57, L'c'), L"", 0},
        {"one name cut", {Device(1, QUILLON_2230_TWAIN, std::wstring(300, L'x'))}, 0, S_OK, 1,
         std::wstring(259, L'x'), std::wstring(300, L'x'), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Renew(c.devices));
        const Listing listing = Enumerate(c.wanted);
        EXPECT_EQ(listing.result, c.result);
        EXPECT_EQ(listing.count, c.count);
        EXPECT_TRUE(listing.written);
        EXPECT_EQ(listing.names, c.names);
        EXPECT_EQ(Family(), c.family);
        EXPECT_EQ(Chosen(), !c.chosen.empty());
        EXPECT_EQ(Served(), c.chosen);
    }
}

TEST_F(DevicesTest, LaunchDeviceIsChosenWithoutAList)
{
    SimDevice launch = Device(2, QUILLON_4410_TWAIN, L"Launched");
    launch.launch = true;
    const std::vector<SimDevice> devices = {Device(1, QUILLON_2230_TWAIN, L"First"), launch};

    ASSERT_NO_FATAL_FAILURE(Renew(devices));
    const Listing listing = Enumerate(0);
    EXPECT_EQ(listing.result, S_OK);
    EXPECT_EQ(listing.count, 1);
    EXPECT_FALSE(listing.written);
    EXPECT_EQ(SimCountCalls(SimCallKind::GetDeviceList), 0u);
    EXPECT_EQ(SimCountCalls(SimCallKind::CreateDevice), 0u);
    EXPECT_EQ(Family(), -1);
    EXPECT_TRUE(Chosen());
    EXPECT_EQ(Served(), L"Launched");

    ASSERT_NO_FATAL_FAILURE(Renew(devices));
    EXPECT_EQ(bridge->OpenLaunchDevice(), S_OK);
    EXPECT_EQ(SimCountCalls(SimCallKind::GetDeviceList), 0u);
    EXPECT_EQ(SimCountCalls(SimCallKind::CreateDevice), 1u);
    EXPECT_EQ(Family(), -1);
    EXPECT_EQ(Served(), L"Launched");
}

TEST_F(DevicesTest, SelectDeviceChoosesAListedDeviceByItsExactName)
{
    const std::vector<SimDevice> devices = {
        Device(1, QUILLON_4410_TWAIN, L"Alpha"), Device(2, OTHER_MAKER, L"Other"),
        Device(3, QUILLON_4410_WIA, L"Wia"), Device(4, QUILLON_2230_TWAIN, L"Beta")};
    const struct
    {
        const wchar_t *name;
        HRESULT result;
        LONG family;   // written through the argument
        bool chosen;
    } cases[] = {
        {L"Alpha", S_OK, 2, true},
        {L"Beta", S_OK, 0, true},
        // The model table's WIA entries are not consulted here.
        {L"Other", S_OK, 0, true},
        {L"Wia", S_OK, 0, true},
        // No match: the family of the listing is reported and nothing is chosen.
        {L"alpha", S_OK, 0, false},
        {L"Gamma", S_OK, 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::wstring(c.name).c_str());
        ASSERT_NO_FATAL_FAILURE(Renew(devices));
        ASSERT_EQ(Enumerate(0).count, 2);
        LONG family = -99;
        EXPECT_EQ(bridge->SelectDevice(c.name, &family), c.result);
        EXPECT_EQ(family, c.family);
        EXPECT_EQ(Family(), c.family);
        if (c.chosen) {
            EXPECT_TRUE(Chosen());
            EXPECT_EQ(Served(), c.name);
            // Once chosen, a further selection does nothing and writes nothing.
            family = -99;
            EXPECT_EQ(bridge->SelectDevice(L"Beta", &family), S_OK);
            EXPECT_EQ(family, -99);
            EXPECT_EQ(Served(), c.name);
        } else {
            // The list went with the first selection.
            EXPECT_EQ(bridge->SelectDevice(L"Alpha", &family), E_FAIL);
            EXPECT_FALSE(Chosen());
        }
    }
    ASSERT_NO_FATAL_FAILURE(Renew(devices));
    LONG family = -99;
    EXPECT_EQ(bridge->SelectDevice(L"Alpha", &family), E_FAIL);
    EXPECT_EQ(family, -99);
}

TEST_F(DevicesTest, CloseOnAFreshObjectChangesNothing)
{
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(Family(), -1);
    EXPECT_TRUE(SimCalls().empty());
}

// CloseDevice and the destructor alike hand every block back through its device object,
// end the event registrations, close the events and release both STI objects.
TEST_F(DevicesTest, CloseAndDestructionLeaveNothingHeld)
{
    for (const bool close : {true, false}) {
        SCOPED_TRACE(close ? "CloseDevice" : "destructor");
        ASSERT_NO_FATAL_FAILURE(Renew({}));
        AddScanner({SimMakeItem(L"A.tif", L"A.tif", L"S-1-1-0", L"KEY-A", 1, 16, 16, 24)});
        const SimCounters before = SimGetCounters();
        // A second service object replaces the first.
        ASSERT_EQ(bridge->CreateStillImage(), S_OK);
        EXPECT_EQ(SimGetCounters().liveServices, before.liveServices);
        ASSERT_EQ(OpenItems(), 1);
        USHORT v[5] = {};
        ASSERT_EQ(bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]), S_OK);
        ASSERT_EQ(bridge->RegisterEvents(), S_OK);
        std::vector<HANDLE> events;
        for (const SimEventRegistration &registration : SimEventRegistrations())
            events.push_back(registration.event);
        ASSERT_EQ(events.size(), 2u);

        SimClearLog();
        if (close)
            EXPECT_EQ(bridge->CloseDevice(), S_OK);
        else
            ReleaseBridge();
        const SimCounters after = SimGetCounters();
        EXPECT_EQ(after.liveServices, before.liveServices - 1);
        EXPECT_EQ(after.liveDevices, before.liveDevices);
        size_t frees = 0;
        for (const SimEscape &escape : SimEscapes()) {
            if (escape.code == ESC_FREE_BLOCK || escape.code == ESC_UNREGISTER_EVENT) {
                EXPECT_EQ(escape.result, S_OK);
                ++frees;
            }
        }
        EXPECT_EQ(frees, 5u);
        for (SimBlockKind kind :
             {SimBlockKind::ItemList, SimBlockKind::ScanSettings, SimBlockKind::Capabilities})
            EXPECT_EQ(SimCountBlocks(kind, true), 1u);
        EXPECT_TRUE(SimViolations().empty());
        DWORD flags = 0;
        for (HANDLE event : events)
            EXPECT_FALSE(GetHandleInformation(event, &flags));
        if (close) {
            SimClearLog();
            EXPECT_EQ(bridge->CloseDevice(), S_OK);
            EXPECT_TRUE(SimCalls().empty());
        }
    }
}

// A device object that is replaced gets back the blocks it handed out and is told of nothing
// else but what undoes something begun on it: a settings phase, event registrations. What its
// driver would not take back never passes to the new object.
TEST_F(DevicesTest, ReplacedDeviceObjectGetsBackOnlyWhatItHolds)
{
    using Requests = std::vector<std::pair<DWORD, DWORD>>; // code and incoming `actual`
    struct Case
    {
        const char *what;
        bool launch;
        std::function<void()> use;
        std::vector<SimInjection> injections;
        Requests expected;
        const char *lost;      // the violation the old object's release leaves, if any
    };
    SimInjection refuseList = SimFailEscape(ESC_FREE_BLOCK, E_FAIL);
    refuseList.count = 1;
    const Requests everything = {{ESC_FREE_BLOCK, FREE_SCAN_SETTINGS},
                                 {ESC_FREE_BLOCK, FREE_ITEM_LIST},
                                 {ESC_FREE_BLOCK, FREE_CAPABILITIES},
                                 {ESC_END_SETTINGS, 0},
                                 {ESC_UNREGISTER_EVENT, EVENT_JOB_ENDED},
                                 {ESC_UNREGISTER_EVENT, EVENT_ITEM_DELETED}};
    USHORT v[5] = {};
    LONG count = 0;
    const Case cases[] = {
        {"launch device, then the account", true,
         [&] { ASSERT_EQ(bridge->OpenLaunchDevice(), S_OK); }, {}, {}, nullptr},
        {"every block, a settings phase and events", false,
         [&] {
             OpenScanner();
             ASSERT_EQ(bridge->GetItemCount(&count), S_OK);
             ASSERT_EQ(bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]), S_OK);
             ASSERT_EQ(bridge->RegisterEvents(), S_OK);
         },
         {}, everything, nullptr},
        {"settings phase ended and its block handed back", false,
         [&] {
             OpenScanner();
             ASSERT_EQ(bridge->GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]), S_OK);
             ASSERT_EQ(bridge->EndSettings(), S_OK);
             ASSERT_EQ(bridge->FreeScanSettings(), S_OK);
         },
         {}, {{ESC_FREE_BLOCK, FREE_CAPABILITIES}}, nullptr},
        {"a list the driver refuses", false,
         [&] {
             OpenScanner();
             ASSERT_EQ(bridge->GetItemCount(&count), S_OK);
         },
         {refuseList},
         {{ESC_FREE_BLOCK, FREE_ITEM_LIST}, {ESC_FREE_BLOCK, FREE_CAPABILITIES}},
         "item list not handed back"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Renew({}));
        AddScanner({SimMakeItem(L"A.tif", L"A.tif", L"S-1-1-0", L"KEY-A", 1, 16, 16, 24)})
            ->launch = c.launch;
        ASSERT_NO_FATAL_FAILURE(c.use());
        unsigned old = 0;
        for (const SimCall &call : SimCalls()) {
            if (call.kind == SimCallKind::CreateDevice)
                old = call.deviceObject;
        }
        ASSERT_NE(old, 0u);

        SimClearLog();
        for (const SimInjection &injection : c.injections)
            SimInject(injection);
        ASSERT_EQ(bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT), S_OK);
        SimClearInjections();
        EXPECT_EQ(SimGetCounters().liveDevices, 1);
        Requests told;
        for (const SimEscape &escape : SimEscapes()) {
            if (escape.deviceObject == old)
                told.emplace_back(escape.code, escape.actualIn);
        }
        EXPECT_EQ(told, c.expected);
        // The account record is fetched again through the new object.
        EXPECT_EQ(SimCountEscapes(ESC_GET_ACCOUNT), 1u);
        EXPECT_NE(SimEscapes().back().deviceObject, old);
        const std::vector<std::string> lost = SimTakeViolations();
        EXPECT_EQ(lost.size(), c.lost != nullptr ? 1u : 0u);
        if (c.lost != nullptr && !lost.empty()) {
            EXPECT_NE(lost[0].find(c.lost), std::string::npos) << lost[0];
        }

        // The new object hands back only its own capabilities block.
        SimClearLog();
        EXPECT_EQ(bridge->CloseDevice(), S_OK);
        Requests closed;
        for (const SimEscape &escape : SimEscapes()) {
            if (escape.code == ESC_FREE_BLOCK)
                closed.emplace_back(escape.code, escape.actualIn);
        }
        EXPECT_EQ(closed, (Requests{{ESC_FREE_BLOCK, FREE_CAPABILITIES}}));
        EXPECT_TRUE(SimViolations().empty());
    }
}

// A discovery that fails is reported, and nothing of an earlier one is opened in its place.
TEST_F(DevicesTest, FailedDiscoveryIsNotCoveredByAnEarlierOne)
{
    const HRESULT gone = HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST);
    auto once = [](SimPoint point, HRESULT result) {
        SimInjection injection = SimFailCall(point, result);
        injection.count = 1;
        return injection;
    };
    SimDevice launch = Device(1, QUILLON_4410_TWAIN, L"Alpha");
    launch.launch = true;
    const std::vector<SimDevice> launched = {launch};
    const std::vector<SimDevice> one = {Device(1, QUILLON_4410_TWAIN, L"Alpha")};
    const std::vector<SimDevice> two = {Device(1, QUILLON_4410_TWAIN, L"Alpha"),
                                        Device(2, QUILLON_2230_TWAIN, L"Beta")};
    const auto openLaunch = [&] { return bridge->OpenLaunchDevice(); };
    const auto enumerate = [&] { return Enumerate(0).result; };
    const auto select = [&] {
        LONG family = -99;
        return bridge->SelectDevice(L"Alpha", &family);
    };
    struct Case
    {
        const char *what;
        std::vector<SimDevice> devices;
        std::function<HRESULT()> first, again;
        SimInjection failure;
        HRESULT expected;
        bool listing;          // nothing chosen yet: a selection needs a list
    };
    const Case cases[] = {
        {"launch device, its information fails", launched, openLaunch, openLaunch,
         once(SimPoint::GetDeviceInfo, gone), gone, false},
        {"listed device, its information fails", one, openLaunch, openLaunch,
         once(SimPoint::GetDeviceInfo, gone), gone, false},
        {"one device listed, its information fails", one, enumerate, enumerate,
         once(SimPoint::GetDeviceInfo, gone), gone, false},
        {"launch device enumerated, its information fails", launched, enumerate, enumerate,
         once(SimPoint::GetDeviceInfo, gone), gone, false},
        {"the list fails after a listing", two, enumerate, enumerate,
         once(SimPoint::GetDeviceList, gone), gone, true},
        {"no list after a listing", two, enumerate, enumerate,
         once(SimPoint::GetDeviceList, S_OK), E_FAIL, true},
        {"the selected device's information fails", two, enumerate, select,
         once(SimPoint::GetDeviceInfo, gone), gone, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(Renew(c.devices));
        ASSERT_EQ(c.first(), S_OK);
        SimClearLog();
        SimInject(c.failure);
        EXPECT_EQ(c.again(), c.expected);
        SimClearInjections();
        EXPECT_EQ(SimCountCalls(SimCallKind::CreateDevice), 0u);
        // Nothing is left chosen or listed to open instead.
        if (c.listing) {
            EXPECT_EQ(select(), E_FAIL) << "a list is left to choose from";
        }
        EXPECT_FALSE(Chosen());
        EXPECT_EQ(SimCountCalls(SimCallKind::CreateDevice), 0u);
    }
}

} // namespace
