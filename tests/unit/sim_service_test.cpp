// The simulated STI service and the driver's records: memory layouts the bridge reads, device
// values, reference counts, injected failures and the logs tests assert on.
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t FIRST[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000";
const wchar_t SECOND[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";

class SimServiceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SimDevice wia = SimMakeDevice(FIRST, L"Orvane Quillon 4410MFP WIA", L"Quillon (WIA)");
        SimDevice twain = SimMakeDevice(SECOND, L"Orvane Quillon 4410MFP TWAIN", L"Quillon");
        twain.userDataKey = L"Software\\Orvane\\User";
        twain.values.emplace_back(L"Other", L"x");
        twain.selectedItem = L"KEY-B";
        SimAccount account = SimMakeAccount(L"alice");
        SimItem first = SimMakeItem(L"A.tif", L"A title", L"S-1-1-0", L"KEY-A", 2, 10, 10, 24);
        first.properties.push_back(SimIntProperty(PROP_XRES, 5)); // a duplicate id
        account.items.push_back(first);
        SimItem hole;
        hole.nullEntry = true;
        account.items.push_back(hole);
        account.items.push_back(SimMakeItem(L"B.tif", L"B title", L"S-1-5-21-1-2-3-1000",
                                            L"KEY-B", 1, 10, 10, 8));
        account.items.back().state = 1;
        account.checkPin = true;
        account.pin = L"4410";
        twain.accounts.push_back(account);
        SimAddDevice(wia);
        SimAddDevice(twain);
        ASSERT_EQ(SimStiCreateInstance(nullptr, STI_VERSION, &m_service, nullptr), S_OK);
    }

    void TearDown() override
    {
        if (m_service != nullptr)
            m_service->Release();
    }

    IStillImageW *m_service = nullptr;
};

TEST_F(SimServiceTest, DeviceListIsOneLocalAllocBlockWithItsStrings)
{
    DWORD count = 0;
    void *buffer = nullptr;
    ASSERT_EQ(m_service->GetDeviceList(0, 0, &count, &buffer), S_OK);
    ASSERT_EQ(count, 2u);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(sizeof(STI_DEVICE_INFORMATIONW), 312u);
    const SIZE_T blockSize = LocalSize(buffer);
    ASSERT_GE(blockSize, 2 * sizeof(STI_DEVICE_INFORMATIONW));
    const BYTE *begin = static_cast<const BYTE *>(buffer);
    const BYTE *end = begin + blockSize;
    const STI_DEVICE_INFORMATIONW *records = static_cast<const STI_DEVICE_INFORMATIONW *>(buffer);

    const wchar_t *expectedNames[] = {FIRST, SECOND};
    const wchar_t *expectedLocal[] = {L"Quillon (WIA)", L"Quillon"};
    for (DWORD i = 0; i < count; ++i) {
        const STI_DEVICE_INFORMATIONW &record = records[i];
        EXPECT_EQ(record.dwSize, 312u);
        EXPECT_EQ(GET_STIDEVICE_TYPE(record.DeviceType), static_cast<WORD>(StiDeviceTypeScanner));
        EXPECT_STREQ(record.szDeviceInternalName, expectedNames[i]);
        EXPECT_STREQ(record.pszLocalName, expectedLocal[i]);
        const wchar_t *strings[] = {record.pszVendorDescription, record.pszDeviceDescription,
                                    record.pszPortName, record.pszPropProvider,
                                    record.pszLocalName};
        for (const wchar_t *text : strings) {
            // Every string lies after the records, inside the same block.
            const BYTE *p = reinterpret_cast<const BYTE *>(text);
            ASSERT_GE(p, begin + count * sizeof(STI_DEVICE_INFORMATIONW));
            ASSERT_LE(p + (wcslen(text) + 1) * sizeof(wchar_t), end);
        }
    }
    EXPECT_NE(wcsstr(records[1].pszDeviceDescription, L"4410MFP TWAIN"), nullptr);
    EXPECT_EQ(LocalFree(buffer), nullptr);

    // Only scanners asked for by type: none of another type.
    ASSERT_EQ(m_service->GetDeviceList(StiDeviceTypeDigitalCamera, 0, &count, &buffer), S_OK);
    EXPECT_EQ(count, 0u);
    LocalFree(buffer);
}

TEST_F(SimServiceTest, DeviceInfoAndValues)
{
    void *buffer = nullptr;
    ASSERT_EQ(m_service->GetDeviceInfo(const_cast<LPWSTR>(SECOND), &buffer), S_OK);
    const STI_DEVICE_INFORMATIONW *info = static_cast<const STI_DEVICE_INFORMATIONW *>(buffer);
    EXPECT_STREQ(info->szDeviceInternalName, SECOND);
    EXPECT_GE(LocalSize(buffer), sizeof(STI_DEVICE_INFORMATIONW) + sizeof(L"Quillon"));
    LocalFree(buffer);
    buffer = nullptr;
    EXPECT_EQ(m_service->GetDeviceInfo(const_cast<LPWSTR>(L"nothing"), &buffer),
              STIERR_INVALID_DEVICE_NAME);
    EXPECT_EQ(buffer, nullptr);

    // "UserDataKey" honours the caller's size and reports what it needs.
    wchar_t data[260] = {};
    DWORD type = 0;
    DWORD size = sizeof(data);
    ASSERT_EQ(m_service->GetDeviceValue(const_cast<LPWSTR>(SECOND),
                                        const_cast<LPWSTR>(L"UserDataKey"), &type,
                                        reinterpret_cast<BYTE *>(data), &size),
              S_OK);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(data, L"Software\\Orvane\\User");
    EXPECT_EQ(size, sizeof(L"Software\\Orvane\\User"));
    wchar_t small[4] = {L'z', L'z', L'z', L'z'};
    size = sizeof(small);
    EXPECT_EQ(m_service->GetDeviceValue(const_cast<LPWSTR>(SECOND),
                                        const_cast<LPWSTR>(L"UserDataKey"), &type,
                                        reinterpret_cast<BYTE *>(small), &size),
              HRESULT_FROM_WIN32(ERROR_MORE_DATA));
    EXPECT_EQ(size, sizeof(L"Software\\Orvane\\User"));
    EXPECT_EQ(small[0], L'z');
    size = sizeof(data);
    EXPECT_EQ(m_service->GetDeviceValue(const_cast<LPWSTR>(SECOND), const_cast<LPWSTR>(L"Nope"),
                                        &type, reinterpret_cast<BYTE *>(data), &size),
              STIERR_OBJECTNOTFOUND);
    EXPECT_EQ(m_service->GetDeviceValue(const_cast<LPWSTR>(SECOND), const_cast<LPWSTR>(L"other"),
                                        &type, reinterpret_cast<BYTE *>(data), &size),
              S_OK);
    EXPECT_STREQ(data, L"x");

    // No device launched the client until the world says so.
    wchar_t name[STI_MAX_INTERNAL_NAME_LENGTH] = {};
    wchar_t event[260] = {};
    DWORD code = 0;
    EXPECT_EQ(m_service->GetSTILaunchInformation(name, &code, event), STIERR_NOEVENTS);
    EXPECT_EQ(name[0], L'\0');
    SimFindDevice(SECOND)->launch = true;
    EXPECT_EQ(m_service->GetSTILaunchInformation(name, &code, event), S_OK);
    EXPECT_STREQ(name, SECOND);
    EXPECT_EQ(event[0], L'{');
}

TEST_F(SimServiceTest, ReferenceCountsAndCounters)
{
    const SimCounters before = SimGetCounters();
    EXPECT_EQ(before.liveServices, 1);
    EXPECT_EQ(m_service->AddRef(), 2u);
    IUnknown *unknown = nullptr;
    ASSERT_EQ(m_service->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unknown)), S_OK);
    EXPECT_EQ(unknown->Release(), 2u);
    void *nothing = reinterpret_cast<void *>(1);
    EXPECT_EQ(m_service->QueryInterface(IID_IStiDevice, &nothing), E_NOINTERFACE);
    EXPECT_EQ(nothing, nullptr);
    EXPECT_EQ(m_service->Release(), 1u);

    IStiDevice *device = nullptr;
    EXPECT_EQ(m_service->CreateDevice(const_cast<LPWSTR>(SECOND), 1, &device,
                                      reinterpret_cast<IUnknown *>(m_service)),
              CLASS_E_NOAGGREGATION);
    ASSERT_EQ(m_service->CreateDevice(const_cast<LPWSTR>(SECOND), 1, &device, nullptr), S_OK);
    EXPECT_EQ(SimGetCounters().liveDevices, before.liveDevices + 1);
    EXPECT_NE(SimDeviceObjectId(device), 0u);
    // The device object lives on its own references.
    EXPECT_EQ(m_service->Release(), 0u);
    m_service = nullptr;
    EXPECT_EQ(SimGetCounters().liveServices, 0);
    EXPECT_EQ(device->Release(), 0u);
    const SimCounters after = SimGetCounters();
    EXPECT_EQ(after.liveDevices, before.liveDevices);
    EXPECT_EQ(after.devicesCreated, 1);
    EXPECT_EQ(after.addRefs + after.servicesCreated + after.devicesCreated, after.releases);
    EXPECT_EQ(SimCountCalls(SimCallKind::ReleaseDevice), 1u);
    EXPECT_EQ(SimCountCalls(SimCallKind::ReleaseService), 1u);

    IStillImageW *service = nullptr;
    EXPECT_EQ(SimStiCreateInstance(nullptr, STI_VERSION_REAL, &service, nullptr),
              STIERR_OLD_VERSION);
    EXPECT_EQ(service, nullptr);
}

TEST_F(SimServiceTest, InjectionsApplyToTheNthCallForACount)
{
    SimInjection injection = SimFailCall(SimPoint::GetDeviceInfo, E_OUTOFMEMORY);
    injection.firstCall = 2;
    injection.count = 2;
    SimInject(injection);
    void *buffers[5] = {};
    HRESULT results[5];
    for (int i = 0; i < 5; ++i)
        results[i] = m_service->GetDeviceInfo(const_cast<LPWSTR>(SECOND), &buffers[i]);
    EXPECT_EQ(results[0], S_OK);
    EXPECT_EQ(results[1], E_OUTOFMEMORY);
    EXPECT_EQ(results[2], E_OUTOFMEMORY);
    EXPECT_EQ(results[3], S_OK);
    EXPECT_EQ(buffers[1], nullptr);
    for (void *buffer : buffers)
        LocalFree(buffer);

    // A failure that still does the work: the list is written and an error returned.
    SimInjection list = SimFailCall(SimPoint::GetDeviceList, E_FAIL);
    list.perform = true;
    SimInject(list);
    DWORD count = 0;
    void *buffer = nullptr;
    EXPECT_EQ(m_service->GetDeviceList(0, 0, &count, &buffer), E_FAIL);
    EXPECT_EQ(count, 2u);
    EXPECT_NE(buffer, nullptr);
    LocalFree(buffer);
    SimClearInjections();
    EXPECT_EQ(m_service->GetDeviceInfo(const_cast<LPWSTR>(SECOND), &buffer), S_OK);
    LocalFree(buffer);
}

TEST_F(SimServiceTest, ItemListRecordsAndTheEscapeLog)
{
    IStiDevice *device = nullptr;
    ASSERT_EQ(m_service->CreateDevice(const_cast<LPWSTR>(SECOND), 1, &device, nullptr), S_OK);
    wchar_t key[260] = L"alice";
    ItemListHeader header = {};
    ASSERT_EQ(SimLockedEscape(device, ESC_GET_ITEM_LIST, key, 8, &header, 16), S_OK);
    ASSERT_EQ(header.count, 3);
    ItemRecord *a = header.items[0];
    EXPECT_EQ(header.items[1], nullptr);
    ItemRecord *b = header.items[2];
    EXPECT_EQ(SysStringLen(a->name), 5u);
    EXPECT_STREQ(a->name, L"A.tif");
    EXPECT_STREQ(a->title, L"A title");
    EXPECT_STREQ(a->ownerSid, L"S-1-1-0");
    EXPECT_STREQ(a->driverKey, L"KEY-A");
    EXPECT_EQ(a->state, ITEM_STATE_READY);
    EXPECT_EQ(b->state, 1u);
    ASSERT_EQ(a->propertyCount, SimStandardItemProperties(SimItem()).size() + 1);
    EXPECT_EQ(a->properties[a->propertyCount - 1].id, static_cast<DWORD>(PROP_XRES));
    EXPECT_EQ(a->properties[a->propertyCount - 1].value.number, 5);
    const PropertyRecord &time = a->properties[1];
    ASSERT_EQ(time.id, static_cast<DWORD>(PROP_ITEM_TIME));
    EXPECT_EQ(time.value.count, 1u);
    ASSERT_NE(time.elements, nullptr);
    const WORD *words = static_cast<const WORD *>(time.elements);
    EXPECT_EQ(words[0], 2024);
    EXPECT_EQ(words[1], 3);

    // The escape log shows sizes, `actual`, the key read through the pointer and the lock.
    const std::vector<SimEscape> escapes = SimEscapes();
    ASSERT_EQ(escapes.size(), 1u);
    EXPECT_EQ(escapes[0].code, static_cast<DWORD>(ESC_GET_ITEM_LIST));
    EXPECT_EQ(escapes[0].in, key);
    EXPECT_EQ(escapes[0].inSize, 8u);
    EXPECT_EQ(escapes[0].outSize, 16u);
    EXPECT_EQ(escapes[0].actualIn, 0u);
    ASSERT_EQ(escapes[0].inBytes.size(), 8u);
    EXPECT_EQ(memcmp(escapes[0].inBytes.data(), key, 8), 0);
    EXPECT_EQ(escapes[0].text, L"alice");
    EXPECT_TRUE(escapes[0].locked);
    EXPECT_EQ(SimCallTrace(), "CreateInstance CreateDevice Lock Escape:101A Unlock");

    // The item selected on the device comes as a GlobalAlloc block that the caller frees.
    void *selected = nullptr;
    LONG selector = QUERY_SELECTED_ITEM;
    ASSERT_EQ(SimLockedEscape(device, ESC_QUERY_VALUE, &selector, 4, &selected, 8), S_OK);
    ASSERT_NE(selected, nullptr);
    EXPECT_STREQ(static_cast<wchar_t *>(selected), L"KEY-B");
    EXPECT_GE(GlobalSize(selected), sizeof(L"KEY-B"));
    EXPECT_EQ(GlobalFree(selected), nullptr);
    SimFindDevice(SECOND)->selectedItem.clear();
    selected = nullptr;
    EXPECT_EQ(SimLockedEscape(device, ESC_QUERY_VALUE, &selector, 4, &selected, 8), S_FALSE);
    EXPECT_EQ(selected, nullptr);

    // Deleting marks the item gone for the next list and fires ItemDeleted.
    HANDLE deleted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD cookie = 0;
    ASSERT_EQ(SimLockedEscape(device, ESC_REGISTER_EVENT, &deleted, 8, &cookie, 4,
                              EVENT_ITEM_DELETED),
              S_OK);
    EXPECT_NE(cookie, 0u);
    ASSERT_EQ(SimLockedEscape(device, ESC_DELETE_ITEM, b, sizeof(ItemRecord), nullptr, 0), S_OK);
    EXPECT_EQ(WaitForSingleObject(deleted, 0), WAIT_OBJECT_0);
    EXPECT_STREQ(b->name, L"B.tif");
    ASSERT_EQ(SimLockedEscape(device, ESC_UNREGISTER_EVENT, &cookie, 4, nullptr, 0,
                              EVENT_ITEM_DELETED),
              S_OK);
    EXPECT_TRUE(SimEventRegistrations().empty());
    LONG unknown = -1;
    EXPECT_EQ(SimLockedEscape(device, ESC_UNREGISTER_EVENT, &unknown, 4, nullptr, 0,
                              EVENT_JOB_ENDED),
              E_INVALIDARG);
    CloseHandle(deleted);

    ItemListHeader again = {};
    ASSERT_EQ(SimLockedEscape(device, ESC_GET_ITEM_LIST, key, 8, &again, 16), S_OK);
    EXPECT_EQ(again.count, 2);
    EXPECT_EQ(SimLockedEscape(device, ESC_FREE_BLOCK, &header, 16, nullptr, 0, FREE_ITEM_LIST),
              S_OK);
    EXPECT_EQ(SimLockedEscape(device, ESC_FREE_BLOCK, &again, 16, nullptr, 0, FREE_ITEM_LIST),
              S_OK);
    device->Release();
    EXPECT_TRUE(SimViolations().empty());
}

TEST_F(SimServiceTest, AccountBlockCarriesThePinToTheDriver)
{
    IStiDevice *device = nullptr;
    ASSERT_EQ(m_service->CreateDevice(const_cast<LPWSTR>(SECOND), 1, &device, nullptr), S_OK);
    wchar_t key[260] = L"alice";
    AccountBlock *account = nullptr;
    ASSERT_EQ(SimLockedEscape(device, ESC_GET_ACCOUNT, key, 8, &account, 8), S_OK);
    ASSERT_NE(account, nullptr);
    PropertyRecord *pin = nullptr;
    for (DWORD i = 0; i < account->count; ++i) {
        if (account->properties[i].id == PROP_PIN)
            pin = &account->properties[i];
    }
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(SimLockedEscape(device, ESC_SET_ACCOUNT, account, 32, nullptr, 0), E_ACCESSDENIED);
    SysFreeString(pin->value.text);
    pin->value.text = SysAllocString(L"4410");
    EXPECT_EQ(SimLockedEscape(device, ESC_SET_ACCOUNT, account, 32, nullptr, 0), S_OK);
    const std::vector<SimPinReceived> pins = SimPinsReceived();
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_TRUE(pins[0].found);
    EXPECT_EQ(pins[0].pin, L"");
    EXPECT_EQ(pins[1].pin, L"4410");
    EXPECT_EQ(pins[1].accountKey, L"alice");

    // An unknown account is refused.
    wchar_t stranger[260] = L"mallory";
    AccountBlock *none = nullptr;
    EXPECT_EQ(SimLockedEscape(device, ESC_GET_ACCOUNT, stranger, 8, &none, 8), E_ACCESSDENIED);
    EXPECT_EQ(none, nullptr);

    // Protocol slips are violations: a wrong size and an `actual` left unset.
    ItemListHeader header = {};
    EXPECT_EQ(SimLockedEscape(device, ESC_GET_ITEM_LIST, key, 520, &header, 16, 0xCCCCCCCC),
              S_OK);
    const std::vector<std::string> violations = SimTakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_NE(violations[0].find("input size 520, expected 8"), std::string::npos);
    EXPECT_NE(violations[1].find("actual 3435973836, expected 0"), std::string::npos);
    EXPECT_EQ(SimLockedEscape(device, ESC_FREE_BLOCK, &header, 16, nullptr, 0, FREE_ITEM_LIST),
              S_OK);
    device->Release();
}

} // namespace
