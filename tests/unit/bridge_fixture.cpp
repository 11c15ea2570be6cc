#include "bridge_fixture.h"

#include "registration.h"

#include <utility>

void BridgeTest::SetUp()
{
    bridge = new CStiScannerComBridge(&SimStiCreateInstance);
}

void BridgeTest::TearDown()
{
    ReleaseBridge();
    DeleteKeyTree(HKEY_CURRENT_USER, UserKeyPath().c_str());
}

void BridgeTest::ReleaseBridge()
{
    if (bridge != nullptr)
        std::exchange(bridge, nullptr)->NonDelegatingRelease();
}

std::wstring BridgeTest::UserKeyPath() const
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::wstring path = TEST_USER_KEY_ROOT;
    path += L'\\';
    for (const char *p = test->test_suite_name(); *p != '\0'; ++p)
        path += static_cast<wchar_t>(*p);
    path += L'.';
    for (const char *p = test->name(); *p != '\0'; ++p)
        path += *p == '/' ? L'_' : static_cast<wchar_t>(*p);
    return path;
}

SimDevice *BridgeTest::AddScanner(std::vector<SimItem> items)
{
    SimDevice device = SimMakeDevice(TEST_DEVICE, TEST_DESCRIPTION, TEST_LOCAL_NAME);
    device.userDataKey = UserKeyPath();
    SimAccount account = SimMakeAccount(TEST_ACCOUNT);
    account.items = std::move(items);
    device.accounts.push_back(account);
    SimAddDevice(device);
    return SimFindDevice(TEST_DEVICE);
}

void BridgeTest::OpenScanner(const wchar_t *account)
{
    ASSERT_EQ(bridge->CreateStillImage(), S_OK);
    LONG count = 0;
    UniqueBstr names;
    ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
    ASSERT_EQ(count, 1);
    ASSERT_EQ(bridge->OpenAccount(L"Name", L"Prefix", account), S_OK);
}

LONG BridgeTest::OpenItems(const wchar_t *account)
{
    OpenScanner(account);
    LONG count = -1;
    EXPECT_EQ(bridge->GetItemCount(&count), S_OK);
    return count;
}
