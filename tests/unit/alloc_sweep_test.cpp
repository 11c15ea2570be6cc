// Allocation-failure sweep: each scenario of the bridge's road runs once for every allocation of
// the bridge's own (and every lock of a movable block), the Nth failing, N from 1 until a run passes untouched. Every call must come
// back with its untouched result or with the code it answers a failed allocation with, and with
// its outputs whenever it reports S_OK; after CloseDevice and the last release the driver saw no
// protocol fault, no STI object lives on and nothing the bridge allocated is left.
#include "alloc_failure.h"
#include "bridge_fixture.h"

#include "bounded_string.h"
#include "hresult_values.h"
#include "registration.h"

#include <cstdio>
#include <cwchar>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

namespace {

// Wine's CheckTokenMembership counts only the token's groups: "the server's user" is Everyone.
constexpr wchar_t OWNED[] = L"S-1-1-0";
constexpr wchar_t PIN[] = L"4410";
// Devices of the sweep's own, so that no other test's filing folder meets this one.
constexpr wchar_t SWEEP_DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0042";
constexpr wchar_t OTHER_DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0043";
const std::wstring SWEEP_CLASS_KEY =
    std::wstring(L"System\\CurrentControlSet\\Control\\Class\\") + SWEEP_DEVICE;

constexpr unsigned long MAX_RUNS = 1000;
constexpr USHORT UNSET = 0xFFFF;

class AllocSweep : public BridgeTest
{
protected:
    void SetUp() override
    {
        BridgeTest::SetUp();
        std::string error;
        ASSERT_TRUE(InstallAllocationWrappers(&error)) << error;
    }

    void TearDown() override
    {
        BridgeTest::TearDown();
        DeleteKeyTree(HKEY_LOCAL_MACHINE, SWEEP_CLASS_KEY.c_str());
    }

    // Runs the scenario once per allocation until one run passes untouched; returns how many
    // allocations were failed.
    unsigned long Sweep(void (AllocSweep::*scenario)())
    {
        for (unsigned long failAt = 1; failAt <= MAX_RUNS; ++failAt) {
            SCOPED_TRACE(testing::Message() << "allocation " << failAt << " fails");
            SimReset();
            ResetUserKey();
            bridge = new CStiScannerComBridge(&SimStiCreateInstance);
            StartAllocationRun(failAt);
            (this->*scenario)();
            Call("CloseDevice", S_OK, {}, [&] { return bridge->CloseDevice(); });
            {
                ArmedAllocations armed;
                ReleaseBridge();
            }
            for (const std::string &violation : SimTakeViolations())
                ADD_FAILURE() << "driver protocol violation: " << violation;
            const SimCounters counters = SimGetCounters();
            EXPECT_EQ(0, counters.liveServices);
            EXPECT_EQ(0, counters.liveDevices);
            EXPECT_EQ(0u, ThrowingNewCalls()) << "the bridge used a throwing operator new";
            // The driver lets go of what it still holds of the bridge's (the PIN's BSTR).
            SimReset();
            EXPECT_EQ(0u, AllocationsOutstanding()) << "allocations of the bridge left over";
            if (HasFailure() || !AllocationFailureInjected())
                return failAt - 1;
        }
        ADD_FAILURE() << "allocations still fail after " << MAX_RUNS << " runs";
        return MAX_RUNS;
    }

    static void Report(const char *scenario, unsigned long failures)
    {
        if (!HasFailure()) {
            EXPECT_GT(failures, 0u) << "no allocation of the bridge's was seen";
        }
        std::printf("[ sweep    ] %s: %lu allocation failures injected\n", scenario, failures);
        RecordProperty("injected_failures", static_cast<int>(failures));
    }

    // One armed call of the bridge. Untouched it must answer `untouched`; when one of its own
    // allocations fails, that or one of `failures`; after an earlier call's failure, also the
    // E_FAIL or S_FALSE of missing state. An S_OK must come with its outputs.
    HRESULT Call(const char *what, HRESULT untouched, std::initializer_list<HRESULT> failures,
                 const std::function<HRESULT()> &call,
                 const std::function<bool()> &written = nullptr)
    {
        const bool earlier = AllocationFailureInjected();
        HRESULT hr;
        {
            ArmedAllocations armed;
            hr = call();
        }
        const bool now = !earlier && AllocationFailureInjected();
        bool allowed = hr == untouched;
        for (HRESULT failure : failures)
            allowed = allowed || ((now || earlier) && hr == failure);
        allowed = allowed || (earlier && (hr == E_FAIL || hr == S_FALSE));
        EXPECT_TRUE(allowed) << what << " answered 0x" << std::hex << hr
                             << (now ? " when its allocation failed"
                                     : earlier ? " after an earlier allocation failed" : "");
        if (hr == S_OK && written) {
            EXPECT_TRUE(written()) << what << " answered S_OK without its output";
        }
        return hr;
    }

    // The per-user key as a client left it: the stored PIN, nothing else.
    void ResetUserKey()
    {
        DeleteKeyTree(HKEY_CURRENT_USER, UserKeyPath().c_str());
        UniqueHKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, UserKeyPath().c_str(), 0,
                                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                                 nullptr));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key.get(), L"OrvUserPIN", 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(PIN), sizeof(PIN)));
    }

    void SetFilingPath()
    {
        UniqueHKey key;
        const std::wstring data = SWEEP_CLASS_KEY + L"\\DeviceData";
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, data.c_str(), 0, nullptr, 0,
                                                 KEY_SET_VALUE, nullptr, key.put(), nullptr));
        const wchar_t path[] = L"D:\\Scans";
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"FilingPath", 0, REG_SZ,
                                                reinterpret_cast<const BYTE *>(path),
                                                sizeof(path)));
    }

    // The sweep's scanner with two ready items of the user's, the second selected on the device;
    // with `second`, another supported scanner beside it.
    void AddSweepScanners(bool second)
    {
        SimDevice device = SimMakeDevice(SWEEP_DEVICE, TEST_DESCRIPTION, TEST_LOCAL_NAME);
        device.userDataKey = UserKeyPath();
        SimAccount account = SimMakeAccount(TEST_ACCOUNT);
        account.items = {SimMakeItem(L"Job0001.jpg", L"Job0001.jpg", OWNED, L"key-1", 2, 64, 48, 24),
                         SimMakeItem(L"Job0002.tif", L"Job0002.tif", OWNED, L"key-2", 1, 32, 32, 8)};
        device.accounts.push_back(account);
        device.selectedItem = L"key-2";
        SimAddDevice(device);
        if (second)
            SimAddDevice(SimMakeDevice(OTHER_DEVICE, L"Orvane Quillon 2230MFP TWAIN", L"Other"));
    }

public:
    // The scenarios, public so that a test can name them.
    void Open()
    {
        Call("CreateStillImage", S_OK, {}, [&] { return bridge->CreateStillImage(); });
        LONG count = 0;
        UniqueBstr names;
        Call("EnumerateDevices", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->EnumerateDevices(&count, names.put()); },
             [&] { return names && count == 1; });
        Call("OpenAccount", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT); });
    }

    // The object's creation, devices, the account and its PIN, the per-user settings, the
    // server's name, the events, and the launch device.
    void OpenRoad()
    {
        AddSweepScanners(true);
        bool created = false;
        Call("Create", S_OK, {E_OUTOFMEMORY}, [&] {
            CUnknown *object = nullptr;
            const HRESULT hr = CStiScannerComBridge::Create(nullptr, &object);
            created = object != nullptr;
            if (object != nullptr)
                object->NonDelegatingRelease();
            return hr;
        }, [&] { return created; });

        Call("CreateStillImage", S_OK, {}, [&] { return bridge->CreateStillImage(); });
        LONG count = 0;
        UniqueBstr names;
        Call("EnumerateDevices", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->EnumerateDevices(&count, names.put()); },
             [&] { return names && count == 2; });
        LONG family = -2;
        Call("SelectDevice", S_OK, {}, [&] { return bridge->SelectDevice(TEST_LOCAL_NAME, &family); },
             [&] { return family == 2; });
        Call("OpenAccount", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT); });
        Call("SendUserPin", S_OK, {E_FAIL}, [&] { return bridge->SendUserPin(); }, [&] {
            const std::vector<SimPinReceived> pins = SimPinsReceived();
            return !pins.empty() && pins.back().pin == PIN;
        });
        LONG deleteImage = -1;
        Call("GetDeleteImageOnScan", S_OK, {S_FALSE},
             [&] { return bridge->GetDeleteImageOnScan(&deleteImage); },
             [&] { return deleteImage == 1; });
        UniqueBstr server;
        Call("GetServerFileName", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->GetServerFileName(server.put()); }, [&] { return !!server; });
        Call("RegisterEvents", S_OK, {}, [&] { return bridge->RegisterEvents(); },
             [] { return SimEventRegistrations().size() == 2; });
        Call("UnregisterEvents", S_OK, {}, [&] { return bridge->UnregisterEvents(); },
             [] { return SimEventRegistrations().empty(); });
        Call("CloseDevice", S_OK, {}, [&] { return bridge->CloseDevice(); });

        // The service names the device whose button was pressed.
        SimFindDevice(SWEEP_DEVICE)->launch = true;
        Call("CreateStillImage", S_OK, {}, [&] { return bridge->CreateStillImage(); });
        Call("OpenLaunchDevice", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->OpenLaunchDevice(); });
        Call("OpenAccount", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT); });
    }

    // The list, the items' files, details and time, selection and paging, the item selected on
    // the device, deletion and a second list.
    void Items()
    {
        AddSweepScanners(false);
        Open();
        LONG count = -1;
        Call("GetItemCount", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->GetItemCount(&count); },
             [&] { return count == 2; });
        LONG ready = -1;
        Call("IsItemReady", S_OK, {}, [&] { return bridge->IsItemReady(0, &ready); },
             [&] { return ready == 0 || ready == 1; });
        UniqueBstr display, thumbnail;
        Call("GetItemFiles", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->GetItemFiles(0, display.put(), thumbnail.put()); },
             [&] { return display && thumbnail; });
        UniqueBstr title;
        LONG pixelType = -1, resolution = -1, pages = -1, size = -1;
        Call("GetItemDetails", S_OK, {E_OUTOFMEMORY}, [&] {
            return bridge->GetItemDetails(0, title.put(), 0, &pixelType, &resolution, &pages,
                                          &size);
        }, [&] { return title && pages == 2 && size > 0; });
        SYSTEMTIME time = {};
        Call("GetItemTime", S_OK, {}, [&] { return bridge->GetItemTime(0, &time); },
             [&] { return time.wYear == 2024; });

        const LONG both[] = {0, 1};
        Call("SetSelection", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->SetSelection(both, 2); });
        UniqueBstr current;
        LONG page = -1;
        Call("GetCurrentItem", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->GetCurrentItem(current.put(), &page); },
             [&] { return current && page == 1; });
        USHORT format = UNSET;
        Call("GetCurrentItemFormat", S_OK, {},
             [&] { return bridge->GetCurrentItemFormat(&format); }, [&] { return format != UNSET; });
        LONG left = -1;
        Call("AdvancePage", S_OK, {}, [&] { return bridge->AdvancePage(0, &left); });
        LONG selectedPages = -1;
        Call("SelectItemByName", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->SelectItemByName(0, &selectedPages, L"Job0002.tif", 0); },
             [&] { return selectedPages == 1; });
        // One entry held: a selection of two grows the array again.
        Call("SetSelection", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->SetSelection(both, 2); });
        Call("FreeItemList", S_OK, {}, [&] { return bridge->FreeItemList(); });

        wchar_t selected[NAME_CHARS] = {};
        Call("GetDriverSelectedItem", S_OK, {E_FAIL},
             [&] { return bridge->GetDriverSelectedItem(selected); },
             [&] { return wcscmp(selected, L"Job0002.tif") == 0; });
        Call("DeleteItem", S_OK, {}, [&] { return bridge->DeleteItem(1); });
        Call("FreeItemList", S_OK, {}, [&] { return bridge->FreeItemList(); });
        count = -1;
        Call("GetItemCount", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->GetItemCount(&count); },
             [&] { return count == 1 || count == 2; });
    }

    // Image size and description, every transfer kind, and the driver's description of page 2.
    void Transfer()
    {
        AddSweepScanners(false);
        Open();
        LONG count = -1;
        Call("GetItemCount", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->GetItemCount(&count); });
        const LONG first[] = {0};
        Call("SetSelection", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->SetSelection(first, 1); });
        LONG size = -1;
        Call("GetImageSize", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->GetImageSize(&size); },
             [&] { return size == 64 * 48 * 3; });
        ImageInfo info = {};
        Call("GetImageInfo", S_OK, {E_OUTOFMEMORY}, [&] { return bridge->GetImageInfo(&info, 0); },
             [&] { return info.imageWidth == 64 && info.imageLength == 48; });
        LONG code = 0;
        Call("PrepareTransfer", S_OK, {},
             [&] { return bridge->PrepareTransfer(0, 0, 1, 0, 0, 0, 0, 0, &code); });

        wchar_t name[] = L"Job0001.jpg";
        const TransferRequestView query = {SIM_TRANSFER_QUERY, 0, 1, 0, SIM_QUERY_DATA_BYTES, 0,
                                           name};
        LONG value = 0, status = -1;
        Call("TransferQuery", S_OK, {}, [&] { return bridge->TransferQuery(&query, &value, &status); },
             [&] { return value == 64 * 48 * 3; });
        std::vector<BYTE> buffer(64 * 1024);
        const ULONG bytes = static_cast<ULONG>(buffer.size());
        const TransferRequestView data = {SIM_TRANSFER_DATA, 0, 1, 0, 0, 0, name};
        status = -1;
        Call("TransferData", S_OK, {},
             [&] { return bridge->TransferData(&data, buffer.data(), bytes, &status); },
             [&] { return status == TWRC_XFERDONE_CODE; });
        const TransferRequestView native = {SIM_TRANSFER_NATIVE, 0, 1, 0, 0, 0, name};
        status = -1;
        Call("TransferImage", S_OK, {},
             [&] { return bridge->TransferImage(&native, buffer.data(), bytes, &status); },
             [&] { return status == TWRC_XFERDONE_CODE; });
        const TransferRequestView string = {SIM_TRANSFER_STRING, 0, 1, 0, SIM_STRING_TITLE, 0, name};
        WCHAR *text = nullptr;
        LONG length = -1;
        status = -1;
        Call("TransferString", S_OK, {E_OUTOFMEMORY},
             [&] { return bridge->TransferString(&string, &text, &length, &status); },
             [&] { return text != nullptr && length == 11 && status == -1; });
        CoTaskMemFree(text);

        LONG left = -1;
        Call("AdvancePage", S_OK, {}, [&] { return bridge->AdvancePage(0, &left); });
        info = {};
        Call("GetImageInfo, page 2", S_OK, {S_BRIDGE_NO_ANSWER_BUFFER},
             [&] { return bridge->GetImageInfo(&info, 1); },
             [&] { return info.imageWidth == 64; });
    }

    // The settings block read, changed, applied and handed back with the capabilities block.
    void Settings()
    {
        AddSweepScanners(false);
        Open();
        USHORT pixelType = UNSET, paperSize = UNSET, resolution = UNSET, format = UNSET,
               flag = UNSET;
        const auto read = [&] {
            pixelType = paperSize = resolution = format = flag = UNSET;
            return bridge->GetScanSettings(&pixelType, &paperSize, &resolution, &format, &flag);
        };
        const auto readBack = [&] { return pixelType != UNSET && resolution != UNSET; };
        Call("GetScanSettings", S_OK, {}, read, readBack);
        Call("SetScanSettings", S_OK, {E_FAIL}, [&] {
            return bridge->SetScanSettings(L"Scan, Colour\tA4", 2, 52, 300, 4, 0, 1);
        }, [] { return !SimSettingsApplied().empty(); });
        Call("GetScanSettings", S_OK, {}, read, readBack);
        Call("ApplyScanSettings", S_OK, {}, [&] { return bridge->ApplyScanSettings(); });
        Call("EndSettings", S_OK, {}, [&] { return bridge->EndSettings(); });
        Call("FreeScanSettings", S_OK, {}, [&] { return bridge->FreeScanSettings(); });
        Call("FreeCapabilities", S_OK, {}, [&] { return bridge->FreeCapabilities(); });
    }
};

// The wrappers themselves: every allocator counts while armed, the chosen call fails, the
// simulation's own allocations never count, and frees are seen armed or not.
TEST_F(AllocSweep, WrappersCountAndFailArmedCallsOutsideTheSimulation)
{
    struct Allocator
    {
        const char *what;
        std::function<void *()> allocate;
        std::function<void(void *)> release;
        bool holds = true;   // a lock holds nothing of its own
    };
    // Unarmed, so that only the lock is counted.
    UniqueHGlobal movable(GlobalAlloc(GHND, 16));
    ASSERT_TRUE(movable);
    const Allocator allocators[] = {
        {"GlobalAlloc", [] { return static_cast<void *>(GlobalAlloc(GPTR, 16)); },
         [](void *block) { GlobalFree(block); }},
        {"GlobalLock", [&] { return GlobalLock(movable.get()); },
         [&](void *) { GlobalUnlock(movable.get()); }, false},
        {"SysAllocString", [] { return static_cast<void *>(SysAllocString(L"x")); },
         [](void *block) { SysFreeString(static_cast<BSTR>(block)); }},
        {"SysAllocStringLen", [] { return static_cast<void *>(SysAllocStringLen(L"xy", 1)); },
         [](void *block) { SysFreeString(static_cast<BSTR>(block)); }},
        {"CoTaskMemAlloc", [] { return CoTaskMemAlloc(16); },
         [](void *block) { CoTaskMemFree(block); }},
        {"operator new", [] { return static_cast<void *>(new (std::nothrow) char[16]); },
         [](void *block) { delete[] static_cast<char *>(block); }},
    };
    const size_t count = sizeof(allocators) / sizeof(allocators[0]);
    for (size_t failAt = 0; failAt <= count; ++failAt) {
        SCOPED_TRACE(failAt);
        std::vector<void *> blocks;
        blocks.reserve(count);
        StartAllocationRun(static_cast<unsigned long>(failAt));
        {
            ArmedAllocations armed;
            IStillImageW *service = nullptr;
            EXPECT_EQ(S_OK, SimStiCreateInstance(nullptr, STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE,
                                                 &service, nullptr));
            if (service != nullptr)
                service->Release();
            for (const Allocator &allocator : allocators)
                blocks.push_back(allocator.allocate());
        }
        size_t holding = 0;
        for (size_t i = 0; i < count; ++i)
            holding += allocators[i].holds && i + 1 != failAt ? 1 : 0;
        EXPECT_EQ(count, AllocationsCounted());
        EXPECT_EQ(failAt != 0, AllocationFailureInjected());
        EXPECT_EQ(holding, AllocationsOutstanding());
        for (size_t i = 0; i < count; ++i) {
            EXPECT_EQ(i + 1 == failAt, blocks[i] == nullptr) << allocators[i].what;
            if (blocks[i] != nullptr)
                allocators[i].release(blocks[i]);
        }
        EXPECT_EQ(0u, AllocationsOutstanding());
    }

    StartAllocationRun(1);
    BSTR text = SysAllocString(L"unarmed");
    EXPECT_NE(nullptr, text);
    SysFreeString(text);
    EXPECT_EQ(0u, AllocationsCounted());
}

TEST_F(AllocSweep, OpenRoadAndEvents)
{
    Report("open road and events", Sweep(&AllocSweep::OpenRoad));
}

TEST_F(AllocSweep, ItemsSelectionAndPaging)
{
    SetFilingPath();
    Report("items, selection and paging", Sweep(&AllocSweep::Items));
}

TEST_F(AllocSweep, ImageInfoAndTransfers)
{
    Report("image info and transfers", Sweep(&AllocSweep::Transfer));
}

TEST_F(AllocSweep, ScanSettings)
{
    Report("scan settings", Sweep(&AllocSweep::Settings));
}

} // namespace
