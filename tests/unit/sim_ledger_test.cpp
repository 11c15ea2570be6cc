// The driver's ownership ledger: blocks handed back twice, by the wrong device object, never,
// or outside the lock are recorded; released memory is poisoned but stays readable.
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const wchar_t DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";
const wchar_t ACCOUNT[] = L"alice";

bool Contains(const std::vector<std::string> &texts, const std::string &part)
{
    for (const std::string &text : texts) {
        if (text.find(part) != std::string::npos)
            return true;
    }
    return false;
}

std::string Joined(const std::vector<std::string> &texts)
{
    std::string joined;
    for (const std::string &text : texts)
        joined += text + "\n";
    return joined;
}

class SimLedgerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SimDevice device = SimMakeDevice(DEVICE, L"Orvane Quillon 4410MFP TWAIN", L"Quillon");
        SimAccount account = SimMakeAccount(ACCOUNT);
        account.items.push_back(
            SimMakeItem(L"A.tif", L"A", L"S-1-1-0", L"KEY-A", 1, 16, 16, 24));
        account.items.push_back(
            SimMakeItem(L"B.tif", L"B", L"S-1-1-0", L"KEY-B", 2, 16, 16, 8));
        device.accounts.push_back(account);
        SimAddDevice(device);
        ASSERT_EQ(SimOpenDevice(DEVICE, &m_service, &m_device), S_OK);
        wcscpy_s(m_key, ACCOUNT);
    }

    void TearDown() override
    {
        if (m_device != nullptr)
            m_device->Release();
        if (m_service != nullptr)
            m_service->Release();
    }

    HRESULT FetchList(IStiDevice *device, ItemListHeader *header)
    {
        return SimLockedEscape(device, ESC_GET_ITEM_LIST, m_key, 8, header, sizeof(*header));
    }

    HRESULT FreeList(IStiDevice *device, ItemListHeader *header)
    {
        return SimLockedEscape(device, ESC_FREE_BLOCK, header, sizeof(*header), nullptr, 0,
                               FREE_ITEM_LIST);
    }

    HRESULT FetchBlock(IStiDevice *device, DWORD code, PropertyBlock **block)
    {
        return SimLockedEscape(device, code, nullptr, 0, block, sizeof(*block));
    }

    HRESULT FreeBlock(IStiDevice *device, PropertyBlock *block, DWORD actual)
    {
        return SimLockedEscape(device, ESC_FREE_BLOCK, block, sizeof(*block), nullptr, 0, actual);
    }

    IStillImageW *m_service = nullptr;
    IStiDevice *m_device = nullptr;
    wchar_t m_key[260] = {};
};

TEST_F(SimLedgerTest, HandingBackEveryBlockOnceIsClean)
{
    ItemListHeader header = {};
    PropertyBlock *settings = nullptr;
    PropertyBlock *capabilities = nullptr;
    ASSERT_EQ(FetchList(m_device, &header), S_OK);
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_CAPABILITIES, &capabilities), S_OK);
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_SCAN_SETTINGS, &settings), S_OK);
    EXPECT_EQ(SimCountBlocks(SimBlockKind::ItemList, false), 1u);

    EXPECT_EQ(FreeList(m_device, &header), S_OK);
    EXPECT_EQ(FreeBlock(m_device, settings, FREE_SCAN_SETTINGS), S_OK);
    EXPECT_EQ(FreeBlock(m_device, capabilities, FREE_CAPABILITIES), S_OK);
    m_device->Release();
    m_device = nullptr;

    EXPECT_TRUE(SimViolations().empty()) << Joined(SimViolations());
    EXPECT_EQ(SimCountBlocks(SimBlockKind::ItemList, true), 1u);
    EXPECT_EQ(SimCountBlocks(SimBlockKind::ScanSettings, true), 1u);
    EXPECT_EQ(SimCountBlocks(SimBlockKind::Capabilities, true), 1u);
}

TEST_F(SimLedgerTest, DoubleFreeIsRecordedAndRefused)
{
    ItemListHeader header = {};
    ASSERT_EQ(FetchList(m_device, &header), S_OK);
    ASSERT_EQ(FreeList(m_device, &header), S_OK);
    EXPECT_TRUE(SimViolations().empty());

    EXPECT_EQ(FreeList(m_device, &header), E_INVALIDARG);
    const std::vector<std::string> violations = SimTakeViolations();
    ASSERT_EQ(violations.size(), 1u) << Joined(violations);
    EXPECT_TRUE(Contains(violations, "already handed back")) << Joined(violations);

    PropertyBlock *settings = nullptr;
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_SCAN_SETTINGS, &settings), S_OK);
    ASSERT_EQ(FreeBlock(m_device, settings, FREE_SCAN_SETTINGS), S_OK);
    EXPECT_EQ(FreeBlock(m_device, settings, FREE_SCAN_SETTINGS), E_INVALIDARG);
    EXPECT_TRUE(Contains(SimTakeViolations(), "scan-settings block that was already handed back"));
}

TEST_F(SimLedgerTest, ForeignFreeIsRecordedAndTheOwnerMayStillFree)
{
    IStiDevice *other = nullptr;
    ASSERT_EQ(m_service->CreateDevice(const_cast<LPWSTR>(DEVICE), 1, &other, nullptr), S_OK);
    ItemListHeader header = {};
    ASSERT_EQ(FetchList(m_device, &header), S_OK);

    EXPECT_EQ(FreeList(other, &header), E_INVALIDARG);
    const std::vector<std::string> violations = SimTakeViolations();
    ASSERT_EQ(violations.size(), 1u) << Joined(violations);
    EXPECT_TRUE(Contains(violations, "of device object")) << Joined(violations);

    // The refused request released nothing.
    EXPECT_FALSE(SimIsReleasedMemory(header.items));
    EXPECT_EQ(FreeList(m_device, &header), S_OK);
    other->Release();
    EXPECT_TRUE(SimViolations().empty()) << Joined(SimViolations());
}

TEST_F(SimLedgerTest, UnknownAndMismatchedBlocksAreRecorded)
{
    PropertyBlock fake = {};
    EXPECT_EQ(FreeBlock(m_device, &fake, FREE_SCAN_SETTINGS), E_INVALIDARG);
    EXPECT_TRUE(Contains(SimTakeViolations(), "unknown scan-settings block"));

    // The capabilities block handed back as if it were the scan settings.
    PropertyBlock *capabilities = nullptr;
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_CAPABILITIES, &capabilities), S_OK);
    EXPECT_EQ(FreeBlock(m_device, capabilities, FREE_SCAN_SETTINGS), E_INVALIDARG);
    EXPECT_TRUE(Contains(SimTakeViolations(), "capabilities block where a scan-settings block"));
    EXPECT_EQ(FreeBlock(m_device, capabilities, FREE_CAPABILITIES), S_OK);

    // A free request whose `actual` names no block.
    EXPECT_EQ(FreeBlock(m_device, capabilities, 7), E_INVALIDARG);
    EXPECT_TRUE(Contains(SimTakeViolations(), "actual 7, which names no block"));
}

TEST_F(SimLedgerTest, BlocksNotHandedBackAreRecordedWhenTheDeviceObjectGoes)
{
    ItemListHeader first = {};
    ItemListHeader second = {};
    PropertyBlock *settings = nullptr;
    PropertyBlock *capabilities = nullptr;
    AccountBlock *account = nullptr;
    ASSERT_EQ(FetchList(m_device, &first), S_OK);
    ASSERT_EQ(FetchList(m_device, &second), S_OK);
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_SCAN_SETTINGS, &settings), S_OK);
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_CAPABILITIES, &capabilities), S_OK);
    ASSERT_EQ(SimLockedEscape(m_device, ESC_GET_ACCOUNT, m_key, 8, &account, 8), S_OK);
    ASSERT_EQ(FreeList(m_device, &second), S_OK);

    m_device->Release();
    m_device = nullptr;
    const std::vector<std::string> violations = SimTakeViolations();
    ASSERT_EQ(violations.size(), 3u) << Joined(violations);
    EXPECT_TRUE(Contains(violations, "item list not handed back"));
    EXPECT_TRUE(Contains(violations, "scan-settings block not handed back"));
    EXPECT_TRUE(Contains(violations, "capabilities block not handed back"));
    EXPECT_FALSE(Contains(violations, "account"));
    // The account block outlives the device object.
    EXPECT_EQ(SimCountBlocks(SimBlockKind::Account, false), 1u);
    EXPECT_EQ(account->count, SimStandardAccountRecords().size());
}

TEST_F(SimLedgerTest, EscapeOutsideTheLockIsRecorded)
{
    ItemListHeader header = {};
    DWORD actual = 0;
    EXPECT_EQ(m_device->Escape(ESC_GET_ITEM_LIST, m_key, 8, &header, sizeof(header), &actual),
              S_OK);
    const std::vector<std::string> violations = SimTakeViolations();
    ASSERT_EQ(violations.size(), 1u) << Joined(violations);
    EXPECT_TRUE(Contains(violations, "ESC_GET_ITEM_LIST sent outside the device lock"));
    const std::vector<SimEscape> escapes = SimEscapes();
    ASSERT_EQ(escapes.size(), 1u);
    EXPECT_FALSE(escapes[0].locked);

    EXPECT_EQ(FreeList(m_device, &header), S_OK);
    EXPECT_TRUE(SimEscapes().back().locked);
    EXPECT_TRUE(SimViolations().empty());
}

TEST_F(SimLedgerTest, ReleasedMemoryIsPoisonedButReadable)
{
    ItemListHeader header = {};
    ASSERT_EQ(FetchList(m_device, &header), S_OK);
    ItemRecord **items = header.items;
    ItemRecord *record = items[0];
    ASSERT_EQ(header.count, 2);
    EXPECT_FALSE(SimIsReleasedMemory(items));
    ASSERT_EQ(FreeList(m_device, &header), S_OK);

    EXPECT_TRUE(SimIsReleasedMemory(items));
    EXPECT_TRUE(SimIsReleasedMemory(record));
    const BYTE *bytes = reinterpret_cast<const BYTE *>(record);
    for (size_t i = 0; i < sizeof(ItemRecord); ++i)
        ASSERT_EQ(bytes[i], SIM_POISON_BYTE) << "byte " << i;

    // Passing a record of the released list back is a use after hand-back.
    EXPECT_EQ(SimLockedEscape(m_device, ESC_PREPARE_ITEM, record, sizeof(ItemRecord), nullptr, 8),
              STIERR_OBJECTNOTFOUND);
    EXPECT_TRUE(Contains(SimTakeViolations(), "list already handed back"));
}

TEST_F(SimLedgerTest, ChangedDriverBytesAreRecorded)
{
    ItemListHeader header = {};
    ASSERT_EQ(FetchList(m_device, &header), S_OK);
    header.items[1]->properties[0].driver48[5] ^= 0xFF;
    EXPECT_EQ(FreeList(m_device, &header), S_OK);
    EXPECT_TRUE(Contains(SimTakeViolations(), "driver bytes were changed"));

    PropertyBlock *settings = nullptr;
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_SCAN_SETTINGS, &settings), S_OK);
    settings->driver28[0] ^= 0x01;
    EXPECT_EQ(SimLockedEscape(m_device, ESC_SET_SCAN_SETTINGS, settings, sizeof(*settings),
                              nullptr, 0),
              S_OK);
    EXPECT_TRUE(Contains(SimTakeViolations(), "driver bytes were changed"));
    settings->driver28[0] ^= 0x01;
    EXPECT_EQ(FreeBlock(m_device, settings, FREE_SCAN_SETTINGS), S_OK);
}

TEST_F(SimLedgerTest, BridgeEditsOfBstrsAndValuesAreKeptAndFreedByTheDriver)
{
    // The settings phase names the account whose settings the block carries.
    ASSERT_EQ(SimLockedEscape(m_device, ESC_BEGIN_SETTINGS, m_key, 8, nullptr, 0), S_OK);
    PropertyBlock *settings = nullptr;
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_SCAN_SETTINGS, &settings), S_OK);
    SysFreeString(settings->settingsName);
    settings->settingsName = SysAllocString(L"P_N__Scan");
    SysFreeString(settings->accountKey);
    settings->accountKey = SysAllocString(ACCOUNT);
    settings->properties[0].value.number = 0;
    ASSERT_EQ(SimLockedEscape(m_device, ESC_SET_SCAN_SETTINGS, settings, sizeof(*settings),
                              nullptr, 0),
              S_OK);
    const std::vector<SimAppliedSettings> applied = SimSettingsApplied();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].settingsName, L"P_N__Scan");
    EXPECT_EQ(applied[0].accountKey, ACCOUNT);
    ASSERT_FALSE(applied[0].values.empty());
    EXPECT_EQ(applied[0].values[0], std::make_pair(static_cast<DWORD>(PROP_DATATYPE), 0L));
    // The device keeps what was applied for the account.
    EXPECT_EQ(SimFindAccount(DEVICE, ACCOUNT)->settings[0].value, 0);
    EXPECT_EQ(SimFindAccount(DEVICE, ACCOUNT)->settingsName, L"P_N__Scan");
    EXPECT_EQ(FreeBlock(m_device, settings, FREE_SCAN_SETTINGS), S_OK);

    // Fetched again, the block carries what was applied.
    ASSERT_EQ(FetchBlock(m_device, ESC_GET_SCAN_SETTINGS, &settings), S_OK);
    EXPECT_STREQ(settings->settingsName, L"P_N__Scan");
    EXPECT_STREQ(settings->accountKey, ACCOUNT);
    EXPECT_EQ(settings->properties[0].value.number, 0);
    EXPECT_EQ(FreeBlock(m_device, settings, FREE_SCAN_SETTINGS), S_OK);
}

} // namespace
