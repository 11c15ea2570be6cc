// Driver requests through the bridge's methods: the lock envelope, how each rule combines the
// lock, escape and unlock results, the incoming `actual` values, blocks dropped once the driver
// took them back, and the image header completion.
#include "bridge_fixture.h"

#include "escape.h"
#include "registration.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr HRESULT LOCK_FAILED = static_cast<HRESULT>(0x80070021L);   // lock violation
constexpr HRESULT ESCAPE_FAILED = static_cast<HRESULT>(0x80070015L); // device not ready
constexpr HRESULT SECOND_FAILED = static_cast<HRESULT>(0x80070017L); // CRC error
constexpr HRESULT UNLOCK_FAILED = static_cast<HRESULT>(0x8007001FL); // general failure

constexpr wchar_t CLASS_ROOT[] = L"System\\CurrentControlSet\\Control\\Class";
// A device of its own for the filing-path test, so its class key is ours to remove.
constexpr wchar_t FILING_DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0931";

using Call = HRESULT (*)(CStiScannerComBridge &);

SimInjection LockFails(unsigned firstCall = 1)
{
    SimInjection injection = SimFailCall(SimPoint::LockDevice, LOCK_FAILED);
    injection.firstCall = firstCall;
    injection.count = 1;
    return injection;
}

// The unlock really lets go of the device, then reports a failure.
SimInjection UnlockFails(unsigned firstCall = 1)
{
    SimInjection injection = SimFailCall(SimPoint::UnLockDevice, UNLOCK_FAILED);
    injection.perform = true;
    injection.firstCall = firstCall;
    injection.count = 1;
    return injection;
}

SimInjection EscapeAnswers(DWORD code, HRESULT result, bool perform = false, unsigned call = 1)
{
    SimInjection injection = SimFailEscape(code, result);
    injection.perform = perform;
    injection.firstCall = call;
    injection.count = 1;
    return injection;
}

void InjectAll(const std::vector<SimInjection> &injections)
{
    for (const SimInjection &injection : injections)
        SimInject(injection);
}

std::vector<std::pair<DWORD, DWORD>> CodesAndActuals(std::initializer_list<DWORD> codes)
{
    std::vector<std::pair<DWORD, DWORD>> seen;
    for (const SimEscape &escape : SimEscapes()) {
        for (DWORD code : codes) {
            if (escape.code == code)
                seen.emplace_back(escape.code, escape.actualIn);
        }
    }
    return seen;
}

class EscapeTest : public BridgeTest
{
protected:
    // A scanner with two ready items of the user, its list, scan settings and events held.
    void OpenAll()
    {
        AddScanner({SimMakeItem(L"A.tif", L"Alpha.tif", L"S-1-1-0", L"KEY-A", 1, 16, 16, 24),
                    SimMakeItem(L"B.tif", L"Beta.tif", L"S-1-1-0", L"KEY-B", 2, 16, 16, 8)});
        ASSERT_EQ(OpenItems(), 2);
        USHORT values[5] = {};
        ASSERT_EQ(bridge->GetScanSettings(&values[0], &values[1], &values[2], &values[3],
                                          &values[4]),
                  S_OK);
        ASSERT_EQ(bridge->RegisterEvents(), S_OK);
    }

    // Runs one call with the injections in place; returns its result and the calls it made.
    std::pair<HRESULT, std::string> Run(Call call, const std::vector<SimInjection> &injections)
    {
        SimClearLog();
        InjectAll(injections);
        const HRESULT hr = call(*bridge);
        SimClearInjections();
        return {hr, SimCallTrace()};
    }
};

TEST_F(EscapeTest, FailedLockSendsNothingAndEndsByTheMethodsEntry)
{
    ASSERT_NO_FATAL_FAILURE(OpenAll());
    const struct
    {
        const char *method;
        Call call;
        HRESULT expected;
        const char *trace;
    } cases[] = {
        {"DeleteItem", [](CStiScannerComBridge &b) { return b.DeleteItem(0); }, LOCK_FAILED,
         "Lock!"},
        {"FreeItemList", [](CStiScannerComBridge &b) { return b.FreeItemList(); }, LOCK_FAILED,
         "Lock!"},
        {"FreeCapabilities", [](CStiScannerComBridge &b) { return b.FreeCapabilities(); },
         LOCK_FAILED, "Lock!"},
        {"FreeScanSettings", [](CStiScannerComBridge &b) { return b.FreeScanSettings(); },
         LOCK_FAILED, "Lock! GetLastError"},
        {"UnregisterEvents", [](CStiScannerComBridge &b) { return b.UnregisterEvents(); },
         LOCK_FAILED, "Lock! GetLastError"},
        {"QueryDriverValue",
         [](CStiScannerComBridge &b) {
             void *value = nullptr;
             return b.QueryDriverValue(QUERY_SELECTED_ITEM, &value);
         },
         LOCK_FAILED, "Lock!"},
        {"FetchCapabilities", [](CStiScannerComBridge &b) { return b.FetchCapabilities(); },
         E_FAIL, "Lock!"},
        {"BeginSettings", [](CStiScannerComBridge &b) { return b.BeginSettings(); }, E_FAIL,
         "Lock!"},
        {"EndSettings", [](CStiScannerComBridge &b) { return b.EndSettings(); }, E_FAIL,
         "Lock!"},
        {"ApplyScanSettings", [](CStiScannerComBridge &b) { return b.ApplyScanSettings(); },
         E_FAIL, "Lock!"},
        {"SetAccountPin", [](CStiScannerComBridge &b) { return b.SetAccountPin(L"1234"); },
         E_FAIL, "Lock!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.method);
        const auto outcome = Run(c.call, {LockFails()});
        EXPECT_EQ(outcome.first, c.expected);
        EXPECT_EQ(outcome.second, c.trace);
    }
    // Nothing was taken: every block still goes back once at close.
    SimClearLog();
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(SimCountEscapes(ESC_FREE_BLOCK), 3u);
    EXPECT_EQ(SimCountEscapes(ESC_UNREGISTER_EVENT), 2u);
}

// R1: the unlock's failure, else the last escape that failed.
TEST_F(EscapeTest, UnlockThenLastFailedEscape)
{
    ASSERT_NO_FATAL_FAILURE(OpenAll());
    const auto deleteFirst = [](CStiScannerComBridge &b) { return b.DeleteItem(0); };
    const auto deleteSecond = [](CStiScannerComBridge &b) { return b.DeleteItem(1); };
    const struct
    {
        const char *name;
        Call call;
        std::vector<SimInjection> injections;
        HRESULT expected;
        const char *trace;
    } cases[] = {
        {"escape fails", deleteFirst, {EscapeAnswers(ESC_DELETE_ITEM, ESCAPE_FAILED)},
         ESCAPE_FAILED, "Lock Escape:1008! Unlock"},
        {"escape and unlock fail", deleteFirst,
         {EscapeAnswers(ESC_DELETE_ITEM, ESCAPE_FAILED), UnlockFails()}, UNLOCK_FAILED,
         "Lock Escape:1008! Unlock!"},
        {"unlock fails", deleteFirst, {UnlockFails()}, UNLOCK_FAILED, "Lock Escape:1008 Unlock!"},
        {"all succeed", deleteSecond, {}, S_OK, "Lock Escape:1008 Unlock"},
        {"both escapes fail", [](CStiScannerComBridge &b) { return b.UnregisterEvents(); },
         {EscapeAnswers(ESC_UNREGISTER_EVENT, ESCAPE_FAILED, false, 1),
          EscapeAnswers(ESC_UNREGISTER_EVENT, SECOND_FAILED, false, 2)},
         SECOND_FAILED, "Lock Escape:1012! Escape:1012! Unlock"},
        {"item list refused", [](CStiScannerComBridge &b) { return b.FreeItemList(); },
         {EscapeAnswers(ESC_FREE_BLOCK, ESCAPE_FAILED)}, ESCAPE_FAILED,
         "Lock Escape:100E! Unlock"},
        {"item list taken, unlock fails",
         [](CStiScannerComBridge &b) { return b.FreeItemList(); }, {UnlockFails()},
         UNLOCK_FAILED, "Lock Escape:100E Unlock!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = Run(c.call, c.injections);
        EXPECT_EQ(outcome.first, c.expected);
        EXPECT_EQ(outcome.second, c.trace);
    }
    // The driver took the list although the unlock failed: it is not handed back again.
    EXPECT_EQ(bridge->FreeItemList(), E_FAIL);
    SimClearLog();
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(CodesAndActuals({ESC_FREE_BLOCK}),
              (std::vector<std::pair<DWORD, DWORD>>{{ESC_FREE_BLOCK, FREE_SCAN_SETTINGS},
                                                    {ESC_FREE_BLOCK, FREE_CAPABILITIES}}));
}

// R2: nothing that came back is a failure. A block the driver delivered is held all the same,
// so it goes back; a fetch that delivered nothing leaves no block behind.
TEST_F(EscapeTest, NothingCameBackIsAFailure)
{
    ASSERT_NO_FATAL_FAILURE(OpenAll());
    const Call fetch = [](CStiScannerComBridge &b) { return b.FetchCapabilities(); };
    const struct
    {
        const char *name;
        std::vector<SimInjection> injections;
        HRESULT expected;
        const char *trace;
        bool held;
    } cases[] = {
        {"escape fails", {EscapeAnswers(ESC_GET_CAPABILITIES, ESCAPE_FAILED)}, E_FAIL,
         "Lock Escape:100C! Unlock", false},
        {"success without a block", {EscapeAnswers(ESC_GET_CAPABILITIES, S_OK)}, E_FAIL,
         "Lock Escape:100C Unlock", false},
        {"block delivered, escape fails",
         {EscapeAnswers(ESC_GET_CAPABILITIES, ESCAPE_FAILED, true)}, E_FAIL,
         "Lock Escape:100C! Unlock", true},
        {"unlock fails", {UnlockFails()}, UNLOCK_FAILED, "Lock Escape:100C Unlock!", true},
        {"escape and unlock fail",
         {EscapeAnswers(ESC_GET_CAPABILITIES, ESCAPE_FAILED), UnlockFails()}, UNLOCK_FAILED,
         "Lock Escape:100C! Unlock!", false},
        {"all succeed", {}, S_OK, "Lock Escape:100C Unlock", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Nothing held, so the fetch is the only request.
        bridge->FreeCapabilities();
        const auto outcome = Run(fetch, c.injections);
        EXPECT_EQ(outcome.first, c.expected);
        EXPECT_EQ(outcome.second, c.trace);
        SimClearLog();
        EXPECT_EQ(bridge->FreeCapabilities(), c.held ? S_OK : E_FAIL);
        EXPECT_EQ(SimCountEscapes(ESC_FREE_BLOCK), c.held ? 1u : 0u);
    }
}

// R3: a pointer is optional; the escape's own non-negative result tells that none came.
TEST_F(EscapeTest, QueryDriverValuePassesOnlyAPointerThatCame)
{
    SimDevice *device = AddScanner();
    device->selectedItem = L"KEY-A";
    void *const untouched = &device;
    void *value = untouched;
    EXPECT_EQ(bridge->QueryDriverValue(QUERY_SELECTED_ITEM, &value), E_FAIL);
    EXPECT_EQ(value, untouched);
    EXPECT_EQ(SimCountCalls(SimCallKind::LockDevice), 0u);
    ASSERT_NO_FATAL_FAILURE(OpenScanner());

    const struct
    {
        const char *name;
        const wchar_t *selected;
        std::vector<SimInjection> injections;
        HRESULT expected;
        const wchar_t *answer; // null: the output is left alone
    } cases[] = {
        {"escape fails", L"KEY-A", {EscapeAnswers(ESC_QUERY_VALUE, ESCAPE_FAILED)},
         ESCAPE_FAILED, nullptr},
        {"nothing selected", L"", {}, S_FALSE, nullptr},
        {"success code 2 without a pointer", L"KEY-A", {EscapeAnswers(ESC_QUERY_VALUE, 2)},
         static_cast<HRESULT>(2), nullptr},
        {"unlock fails", L"KEY-A", {UnlockFails()}, UNLOCK_FAILED, L"KEY-A"},
        {"answered", L"KEY-B", {}, S_OK, L"KEY-B"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        device->selectedItem = c.selected;
        InjectAll(c.injections);
        value = untouched;
        EXPECT_EQ(bridge->QueryDriverValue(QUERY_SELECTED_ITEM, &value), c.expected);
        SimClearInjections();
        if (c.answer != nullptr) {
            ASSERT_NE(value, untouched);
            EXPECT_STREQ(static_cast<const wchar_t *>(value), c.answer);
        } else {
            EXPECT_EQ(value, untouched);
        }
    }
}

// R3 for the scan settings: S_FALSE with a block goes on as S_OK; a failure leaves no block.
TEST_F(EscapeTest, ScanSettingsFetchFollowsThePointerRule)
{
    AddScanner();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    const Call get = [](CStiScannerComBridge &b) {
        USHORT v[5] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
        const HRESULT hr = b.GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]);
        // Decoded values only come with a block.
        return hr == S_OK && v[2] == 0xFFFF ? E_UNEXPECTED : hr;
    };
    const struct
    {
        const char *name;
        std::vector<SimInjection> injections;
        HRESULT expected;
        const char *trace;
        bool held;
    } cases[] = {
        {"lock fails", {LockFails(2)}, LOCK_FAILED, "Lock Escape:100F Unlock Lock!", false},
        {"escape fails", {EscapeAnswers(ESC_GET_SCAN_SETTINGS, ESCAPE_FAILED)}, ESCAPE_FAILED,
         "Lock Escape:100F Unlock Lock Escape:1009! Unlock", false},
        {"success without a block", {EscapeAnswers(ESC_GET_SCAN_SETTINGS, S_FALSE)}, E_FAIL,
         "Lock Escape:100F Unlock Lock Escape:1009 Unlock", false},
        {"S_FALSE with a block", {EscapeAnswers(ESC_GET_SCAN_SETTINGS, S_FALSE, true)}, S_OK,
         "Lock Escape:100F Unlock Lock Escape:1009 Unlock", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = Run(get, c.injections);
        EXPECT_EQ(outcome.first, c.expected);
        EXPECT_EQ(outcome.second, c.trace);
        SimClearLog();
        EXPECT_EQ(bridge->ApplyScanSettings(), c.held ? S_OK : E_FAIL);
        EXPECT_EQ(SimCountEscapes(ESC_SET_SCAN_SETTINGS), c.held ? 1u : 0u);
    }
}

// R4: any failure is E_FAIL. R6: the escape's failure first, then the unlock's.
TEST_F(EscapeTest, AnyFailureAndEscapeFirstRules)
{
    // GetItemFiles needs the device's filing folder: a scanner of its own gets one.
    SimDevice filing = SimMakeDevice(FILING_DEVICE, TEST_DESCRIPTION, TEST_LOCAL_NAME);
    SimAccount account = SimMakeAccount(TEST_ACCOUNT);
    account.items = {SimMakeItem(L"A.tif", L"Alpha.tif", L"S-1-1-0", L"KEY-A", 1, 16, 16, 24)};
    filing.accounts.push_back(account);
    SimAddDevice(filing);
    const std::wstring classKey = std::wstring(CLASS_ROOT) + L"\\" + FILING_DEVICE;
    struct KeyRemover
    {
        const std::wstring &path;
        ~KeyRemover() { DeleteKeyTree(HKEY_LOCAL_MACHINE, path.c_str()); }
    } remover{classKey};
    {
        UniqueHKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (classKey + L"\\DeviceData").c_str(), 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const wchar_t path[] = L"C:\\Scans";
        ASSERT_EQ(RegSetValueExW(key.get(), L"FilingPath", 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(path), sizeof(path)),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(OpenItems(), 1);

    const Call begin = [](CStiScannerComBridge &b) { return b.BeginSettings(); };
    const Call files = [](CStiScannerComBridge &b) {
        BSTR name = nullptr;
        BSTR thumbnail = nullptr;
        const HRESULT hr = b.GetItemFiles(0, &name, &thumbnail);
        const bool named = name != nullptr && thumbnail != nullptr &&
                           lstrcmpW(name, L"Alpha.tif") == 0 &&
                           lstrcmpW(thumbnail, L"C:\\Scans\\A_tif.tmb") == 0;
        SysFreeString(name);
        SysFreeString(thumbnail);
        return FAILED(hr) || named ? hr : E_UNEXPECTED;
    };
    const struct
    {
        const char *name;
        Call call;
        std::vector<SimInjection> injections;
        HRESULT expected;
        const char *trace;
    } cases[] = {
        {"begin: lock fails", begin, {LockFails()}, E_FAIL, "Lock!"},
        {"begin: escape fails", begin, {EscapeAnswers(ESC_BEGIN_SETTINGS, ESCAPE_FAILED)}, E_FAIL,
         "Lock Escape:100F! Unlock"},
        {"begin: unlock fails", begin, {UnlockFails()}, E_FAIL, "Lock Escape:100F Unlock!"},
        {"begin: S_FALSE", begin, {EscapeAnswers(ESC_BEGIN_SETTINGS, S_FALSE)}, S_OK,
         "Lock Escape:100F Unlock"},
        {"files: lock fails", files, {LockFails()}, LOCK_FAILED, "Lock!"},
        {"files: escape fails", files, {EscapeAnswers(ESC_PREPARE_ITEM, ESCAPE_FAILED)},
         ESCAPE_FAILED, "Lock Escape:1005! Unlock"},
        {"files: escape and unlock fail", files,
         {EscapeAnswers(ESC_PREPARE_ITEM, ESCAPE_FAILED), UnlockFails()}, ESCAPE_FAILED,
         "Lock Escape:1005! Unlock!"},
        {"files: unlock fails", files, {UnlockFails()}, UNLOCK_FAILED,
         "Lock Escape:1005 Unlock!"},
        {"files: S_FALSE", files, {EscapeAnswers(ESC_PREPARE_ITEM, S_FALSE)}, S_OK,
         "Lock Escape:1005 Unlock"},
        {"files: all succeed", files, {}, S_OK, "Lock Escape:1005 Unlock"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = Run(c.call, c.injections);
        EXPECT_EQ(outcome.first, c.expected);
        EXPECT_EQ(outcome.second, c.trace);
    }
}

// R5: the account fetch reports the unlock, whatever the escape answered.
TEST_F(EscapeTest, AccountFetchIsDecidedByTheUnlock)
{
    const struct
    {
        const char *name;
        std::vector<SimInjection> injections;
        HRESULT expected;
        const char *trace; // the account fetch, after the capabilities fetch
        bool account;
    } cases[] = {
        {"lock fails", {LockFails(2)}, LOCK_FAILED, "Lock!", false},
        {"escape fails", {EscapeAnswers(ESC_GET_ACCOUNT, ESCAPE_FAILED)}, S_OK,
         "Lock Escape:1017! Unlock", false},
        {"record delivered, escape fails",
         {EscapeAnswers(ESC_GET_ACCOUNT, ESCAPE_FAILED, true)}, S_OK, "Lock Escape:1017! Unlock",
         true},
        {"unlock fails", {UnlockFails(2)}, UNLOCK_FAILED, "Lock Escape:1017 Unlock!", true},
        {"all succeed", {}, S_OK, "Lock Escape:1017 Unlock", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseBridge();
        SimReset();
        AddScanner();
        bridge = new CStiScannerComBridge(&SimStiCreateInstance);
        ASSERT_EQ(bridge->CreateStillImage(), S_OK);
        LONG count = 0;
        UniqueBstr names;
        ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
        SimClearLog();
        InjectAll(c.injections);
        EXPECT_EQ(bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT), c.expected);
        SimClearInjections();
        EXPECT_EQ(SimCallTrace(),
                  std::string("CreateDevice Lock Escape:100C Unlock ") + c.trace);
        // Without the account record the PIN cannot be sent.
        SimClearLog();
        EXPECT_EQ(bridge->SendUserPin(), c.account ? S_OK : E_FAIL);
        EXPECT_EQ(SimCountEscapes(ESC_SET_ACCOUNT), c.account ? 1u : 0u);
    }
}

// Free requests name their block by `actual`, event requests their event; once the driver has
// taken a block back it is neither used nor handed back again, not even by CloseDevice.
TEST_F(EscapeTest, FreeRequestsNameTheirBlockAndDropIt)
{
    ASSERT_NO_FATAL_FAILURE(OpenAll());
    EXPECT_EQ(CodesAndActuals({ESC_REGISTER_EVENT}),
              (std::vector<std::pair<DWORD, DWORD>>{{ESC_REGISTER_EVENT, EVENT_JOB_ENDED},
                                                    {ESC_REGISTER_EVENT, EVENT_ITEM_DELETED}}));
    SimClearLog();
    EXPECT_EQ(bridge->FreeItemList(), S_OK);
    EXPECT_EQ(bridge->FreeScanSettings(), S_OK);
    EXPECT_EQ(bridge->FreeCapabilities(), S_OK);
    EXPECT_EQ(bridge->UnregisterEvents(), S_OK);
    EXPECT_EQ(CodesAndActuals({ESC_FREE_BLOCK, ESC_UNREGISTER_EVENT}),
              (std::vector<std::pair<DWORD, DWORD>>{{ESC_FREE_BLOCK, FREE_ITEM_LIST},
                                                    {ESC_FREE_BLOCK, FREE_SCAN_SETTINGS},
                                                    {ESC_FREE_BLOCK, FREE_CAPABILITIES},
                                                    {ESC_UNREGISTER_EVENT, EVENT_JOB_ENDED},
                                                    {ESC_UNREGISTER_EVENT, EVENT_ITEM_DELETED}}));

    SimClearLog();
    EXPECT_EQ(bridge->FreeItemList(), E_FAIL);
    EXPECT_EQ(bridge->FreeScanSettings(), E_FAIL);
    EXPECT_EQ(bridge->FreeCapabilities(), E_FAIL);
    EXPECT_EQ(bridge->ApplyScanSettings(), E_FAIL);
    EXPECT_EQ(bridge->DeleteItem(0), E_FAIL);
    LONG ready = -1;
    EXPECT_EQ(bridge->IsItemReady(0, &ready), S_OK);
    EXPECT_EQ(ready, 0);
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(SimCountEscapes(ESC_FREE_BLOCK), 0u);
    EXPECT_EQ(SimCountEscapes(ESC_UNREGISTER_EVENT), 0u);
    const std::vector<std::string> violations = SimViolations();
    EXPECT_TRUE(violations.empty()) << violations.front();
}

// A free the driver refused keeps the block, which goes back with the next request.
TEST_F(EscapeTest, RefusedFreeKeepsTheBlock)
{
    ASSERT_NO_FATAL_FAILURE(OpenAll());
    const Call frees[] = {
        [](CStiScannerComBridge &b) { return b.FreeItemList(); },
        [](CStiScannerComBridge &b) { return b.FreeScanSettings(); },
        [](CStiScannerComBridge &b) { return b.FreeCapabilities(); },
    };
    for (Call release : frees) {
        EXPECT_EQ(Run(release, {EscapeAnswers(ESC_FREE_BLOCK, ESCAPE_FAILED)}).first,
                  ESCAPE_FAILED);
        EXPECT_EQ(Run(release, {}).first, S_OK);
        EXPECT_EQ(Run(release, {}), std::make_pair(E_FAIL, std::string()));
    }
}

TEST(EscapeHeader, CompletesTheSizeOfUncompressedBitmapsOnly)
{
    const struct
    {
        const char *name;
        DWORD size;
        LONG width;
        LONG height;
        WORD bitCount;
        DWORD compression;
        ULONG bufferSize;
        DWORD expected;
    } cases[] = {
        {"24 bits", 40, 100, 10, 24, BI_RGB, 40, 3000},
        {"rows padded to 4 bytes", 40, 1001, 2, 24, BI_RGB, 64, 6008},
        {"1 bit", 40, 33, 3, 1, BI_RGB, 40, 24},
        {"top-down", 40, 100, -10, 24, BI_RGB, 40, 3000},
        {"bitfields", 40, 100, 10, 24, BI_BITFIELDS, 40, 77},
        {"V5 header", 124, 100, 10, 24, BI_RGB, 124, 77},
        {"buffer shorter than the header", 40, 100, 10, 24, BI_RGB, 39, 77},
        {"beyond 32 bits", 40, 0x10000, 0x10000, 32, BI_RGB, 40, 77},
        {"beyond 31 bits", 40, 0x3FFF, 0x10000, 32, BI_RGB, 40, 0xFFFC0000u},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        BYTE buffer[128] = {};
        BITMAPINFOHEADER header = {};
        header.biSize = c.size;
        header.biWidth = c.width;
        header.biHeight = c.height;
        header.biPlanes = 1;
        header.biBitCount = c.bitCount;
        header.biCompression = c.compression;
        header.biSizeImage = 77;
        memcpy(buffer, &header, sizeof(header));
        CompleteImageHeader(buffer, c.bufferSize);
        memcpy(&header, buffer, sizeof(header));
        EXPECT_EQ(header.biSizeImage, c.expected);
        EXPECT_EQ(header.biHeight, c.height);
    }
}

} // namespace
