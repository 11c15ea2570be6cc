// Scenario files: the default scenario describes what the end-to-end runs rely on, and bad input
// ends in a message that names the line, never in a crash or a half-loaded world.
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const wchar_t MFP[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";

const SimProperty *FindProperty(const std::vector<SimProperty> &properties, DWORD id)
{
    for (const SimProperty &property : properties) {
        if (property.id == id)
            return &property;
    }
    return nullptr;
}

std::wstring TempPath(const wchar_t *name)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

bool WriteFileText(const std::wstring &path, const std::string &text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size();
    CloseHandle(file);
    return ok;
}

TEST(SimScenario, DefaultScenarioDescribesTheSupportedMfpAndItsUsers)
{
    std::vector<SimDevice> devices;
    std::string error;
    ASSERT_TRUE(SimParseScenario(SimDefaultScenarioText(), "default.scn", &devices, nullptr,
                                 &error))
        << error;
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_NE(devices[0].description.find(L"WIA"), std::wstring::npos);
    const SimDevice &mfp = devices[1];
    EXPECT_EQ(mfp.internalName, MFP);
    EXPECT_NE(mfp.description.find(L"Orvane Quillon 4410MFP TWAIN"), std::wstring::npos);
    EXPECT_FALSE(mfp.userDataKey.empty());
    EXPECT_FALSE(mfp.filingPath.empty());
    EXPECT_TRUE(mfp.hasUserPin);
    EXPECT_NE(FindProperty(mfp.capabilities, PROP_EXTENDED_CAPABILITY), nullptr);
    ASSERT_EQ(mfp.accounts.size(), 2u);

    const SimAccount &alice = mfp.accounts[0];
    EXPECT_TRUE(alice.checkPin);
    EXPECT_EQ(alice.pin, mfp.userPin);
    const SimProperty *pin = FindProperty(alice.accountRecords, PROP_PIN);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->kind, SimProperty::Text);

    int colour = 0, grey = 0, blackAndWhite = 0, foreign = 0, notReady = 0, multiPage = 0;
    for (const SimItem &item : alice.items) {
        colour += item.depth == 24 && item.state == ITEM_STATE_READY ? 1 : 0;
        grey += item.depth == 8 ? 1 : 0;
        blackAndWhite += item.depth == 1 ? 1 : 0;
        foreign += item.ownerSid != L"S-1-1-0" ? 1 : 0;
        notReady += item.state != ITEM_STATE_READY ? 1 : 0;
        multiPage += item.pages > 1 && item.depth == 24 ? 1 : 0;
        // Standard properties follow the geometry.
        const SimProperty *pages = FindProperty(item.properties, PROP_PAGES);
        ASSERT_NE(pages, nullptr);
        EXPECT_EQ(pages->value, item.pages);
        const SimProperty *time = FindProperty(item.properties, PROP_ITEM_TIME);
        ASSERT_NE(time, nullptr);
        EXPECT_EQ(time->kind, SimProperty::Time);
        EXPECT_EQ(time->time[0], item.time.wYear);
    }
    EXPECT_GE(colour, 1);
    EXPECT_EQ(grey, 1);
    EXPECT_EQ(blackAndWhite, 1);
    EXPECT_EQ(foreign, 1);
    EXPECT_EQ(notReady, 1);
    EXPECT_EQ(multiPage, 1);

    // The selected item is one of the list.
    bool selectedListed = false;
    for (const SimItem &item : alice.items)
        selectedListed = selectedListed || item.driverKey == mfp.selectedItem;
    EXPECT_TRUE(selectedListed);

    // The day of the week comes from the date: 2024-03-05 was a Tuesday.
    EXPECT_EQ(alice.items[0].time.wDayOfWeek, 2);
    ASSERT_EQ(alice.items[0].pageProperties.size(), 1u);
    EXPECT_EQ(SimGetPageGeometry(alice.items[0], 3).height, 780);
    EXPECT_EQ(SimGetPageGeometry(alice.items[0], 1).height, 800);
}

TEST(SimScenario, LoadingAFileFillsTheWorldAndScriptsFailures)
{
    const std::string text =
        "device Dev\\0000\n"
        "  description Orvane DeskHub/Pro TWAIN Scanner\n"
        "  local Desk\n"
        "  userdatakey Software\\Test\n"
        "  capabilities empty\n"
        "  capability 38935 = 0\n"
        "  value Extra = some text\n"
        "account k1\n"
        "  setting 4103 = 2\n"
        "  setting 6147 = 2\n"
        "  setting 6147 = 5\n"
        "  record 38946 = \"12\\\"34\"\n"
        "  item one.tif\n"
        "    properties explicit\n"
        "    property 4104 = 8\n"
        "    property 4104 = 24\n"
        "    property 4100 = time none count 3\n"
        "    property 38946 = null\n"
        "  nullitem\n"
        "  item two.tif\n"
        "    header 124 bitfields topdown sizeimage\n"
        "    page 2 remove 3096\n"
        "fail escape 0x101A result=0x80004005 call=2 times=1\n"
        "fail lock result=0x80070021 perform\n";
    const std::wstring path = TempPath(L"sim_scenario_test.scn");
    ASSERT_TRUE(WriteFileText(path, text));
    std::string error;
    ASSERT_TRUE(SimLoadScenarioFile(path.c_str(), &error)) << error;
    DeleteFileW(path.c_str());

    SimDevice *device = SimFindDevice(L"DEV\\0000");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->capabilities.size(), 1u);
    EXPECT_EQ(device->capabilities[0].value, 0);
    ASSERT_EQ(device->values.size(), 1u);
    EXPECT_EQ(device->values[0].second, L"some text");
    SimAccount *account = SimFindAccount(L"Dev\\0000", L"k1");
    ASSERT_NE(account, nullptr);
    ASSERT_EQ(account->settings.size(), 3u);
    EXPECT_EQ(account->settings[2].value, 5);
    ASSERT_EQ(account->accountRecords.size(), 1u);
    EXPECT_EQ(account->accountRecords[0].text, L"12\"34");
    ASSERT_EQ(account->items.size(), 3u);
    const SimItem &one = account->items[0];
    ASSERT_EQ(one.properties.size(), 4u);
    EXPECT_EQ(one.properties[1].value, 24);
    EXPECT_EQ(one.properties[2].kind, SimProperty::Time);
    EXPECT_TRUE(one.properties[2].nullElements);
    EXPECT_EQ(one.properties[2].value, 3);
    EXPECT_TRUE(one.properties[3].nullText);
    EXPECT_TRUE(account->items[1].nullEntry);
    const SimItem &two = account->items[2];
    EXPECT_EQ(two.header.size, 124u);
    EXPECT_EQ(two.header.compression, static_cast<DWORD>(BI_BITFIELDS));
    EXPECT_TRUE(two.header.topDown);
    EXPECT_TRUE(two.header.fillSizeImage);
    ASSERT_EQ(two.pageProperties.size(), 1u);
    EXPECT_TRUE(two.pageProperties[0].remove);

    // The failures act on the calls they name.
    IStillImageW *service = nullptr;
    IStiDevice *stiDevice = nullptr;
    ASSERT_EQ(SimOpenDevice(L"Dev\\0000", &service, &stiDevice), S_OK);
    EXPECT_EQ(stiDevice->LockDevice(10), STIERR_DEVICE_LOCKED);
    wchar_t key[260] = L"k1";
    ItemListHeader header = {};
    DWORD actual = 0;
    EXPECT_EQ(stiDevice->Escape(ESC_GET_ITEM_LIST, key, 8, &header, 16, &actual), S_OK);
    EXPECT_EQ(header.count, 3);
    EXPECT_EQ(header.items[1], nullptr);
    ItemListHeader second = {};
    EXPECT_EQ(stiDevice->Escape(ESC_GET_ITEM_LIST, key, 8, &second, 16, &actual), E_FAIL);
    EXPECT_EQ(second.items, nullptr);
    actual = FREE_ITEM_LIST;
    EXPECT_EQ(stiDevice->Escape(ESC_FREE_BLOCK, &header, 16, nullptr, 0, &actual), S_OK);
    EXPECT_EQ(stiDevice->UnLockDevice(), S_OK);
    stiDevice->Release();
    service->Release();
}

TEST(SimScenario, MalformedInputIsReportedWithItsLine)
{
    const struct
    {
        const char *text;
        const char *message;
    } cases[] = {
        {"", "describes no device"},
        {"# only a comment\n\n", "describes no device"},
        {"description before any device\n", ":1: 'description' outside a device"},
        {"device\n", ":1: device needs an internal name"},
        {"device D\naccount\n", ":2: account needs a key"},
        {"account a\n", ":1: account outside a device"},
        {"device D\nitem x\n", ":2: item outside an account"},
        {"device D\naccount a\nitem x\npages 0\n", ":4: '0' is out of range"},
        {"device D\naccount a\nitem x\npages many\n", ":4: 'many' is not a number"},
        {"device D\naccount a\nitem x\npages 99999999999999999999\n", ":4:"},
        {"device D\naccount a\nitem x\nsize 10x10\n", ":4: size is <width>x<height>x<depth>"},
        {"device D\naccount a\nitem x\nsize 10x10x10x10\n", ":4: size is"},
        {"device D\naccount a\nitem x\nsize 0x10x8\n", ":4: '0' is out of range"},
        {"device D\naccount a\nitem x\ntime 2024-02-30 10:00:00\n", ":4: '2024-02-30 10:00:00' is"},
        {"device D\naccount a\nitem x\ntime yesterday\n", ":4: a time is written"},
        {"device D\naccount a\nitem x\nproperty 4104 8\n", ":4: '=' expected"},
        {"device D\naccount a\nitem x\nproperty = 8\n", ":4: a name is missing"},
        {"device D\naccount a\nitem x\nproperty 4104 =\n", ":4: a value is missing"},
        {"device D\naccount a\nitem x\nproperty 38946 = \"open\n", ":4: a text value is one"},
        {"device D\naccount a\nitem x\nheader 64\n", ":4: header size is 40 or 124"},
        {"device D\naccount a\nitem x\nheader 40 jpeg\n", ":4: 'jpeg' is not a header option"},
        {"device D\naccount a\nitem x\nwidth 10\n", ":4: 'width' is not an item keyword"},
        {"device D\naccount a\nbogus 1\n", ":3: 'bogus' is not an account keyword"},
        {"device D\nlaunch maybe\n", ":2: launch is yes or no"},
        {"device D\nuserdatakey\n", ":2: 'userdatakey' needs a value"},
        {"device D\ndevice d\n", ":2: device 'd' is described twice"},
        {"device D\naccount a\naccount a\n", ":3: account 'a' is described twice"},
        {"device D\naccount a\nnullitem x\n", ":3: nullitem takes no name"},
        {"device D\nfail\n", ":2: fail needs a call"},
        {"device D\nfail teleport result=1\n", ":2: 'teleport' is not a call that can fail"},
        {"device D\nfail escape\n", ":2: fail escape needs an escape code"},
        {"device D\nfail escape 0x1007 result=0x1FFFFFFFF\n", ":2: '0x1ffffffff' is not an"},
        {"device D\nfail lock sometimes\n", ":2: 'sometimes' is not a failure option"},
        {"device D\nfail lock call=0\n", ":2: '0' is out of range"},
        {"device D\n\xff\xfe bad bytes\n", ":2: the line is not UTF-8 text"},
    };
    for (const auto &testCase : cases) {
        const std::string text(testCase.text);
        std::vector<SimDevice> devices;
        std::string error;
        EXPECT_FALSE(SimParseScenario(text, "bad.scn", &devices, nullptr, &error)) << text;
        EXPECT_NE(error.find(testCase.message), std::string::npos)
            << "input:\n" << text << "\nerror: " << error;
        EXPECT_EQ(error.rfind("bad.scn:", 0), 0u) << error;
        EXPECT_TRUE(devices.empty());
    }
}

TEST(SimScenario, NulCharacterIsReported)
{
    const char bytes[] = "device D\nlocal a\0b\n";
    const std::string text(bytes, sizeof(bytes) - 1);
    std::string error;
    EXPECT_FALSE(SimParseScenario(text, "bad.scn", nullptr, nullptr, &error));
    EXPECT_EQ(error, "bad.scn:2: the line holds a NUL character");
}

TEST(SimScenario, FailedLoadLeavesAnEmptyWorld)
{
    SimAddDevice(SimMakeDevice(L"Earlier", L"d", L"l"));
    std::string error;
    EXPECT_FALSE(SimLoadScenarioText("device D\naccount a\nitem x\npages -1\n", "t", &error));
    EXPECT_EQ(SimDeviceCount(), 0u);
    EXPECT_FALSE(SimLoadScenarioFile(L"Z:\\no\\such\\file.scn", &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    EXPECT_FALSE(SimLoadScenarioFile(nullptr, &error));
}

TEST(SimScenario, ArbitraryBytesNeverCrashTheParser)
{
    // Deterministic noise built from scenario words, punctuation and raw bytes.
    const char *const pieces[] = {"device ", "account ", "item ", "page ", "property ", "=", "x",
                                  "\"", "0x", "-", "999999999999", "\n", " ", "\r\n", "\xc3",
                                  "time ", "header 124 ", "fail escape ", "nullitem\n", "size "};
    const size_t pieceCount = sizeof(pieces) / sizeof(pieces[0]);
    uint32_t state = 12345;
    for (int round = 0; round < 300; ++round) {
        std::string text;
        for (int i = 0; i < 40; ++i) {
            state = state * 1103515245u + 12345u;
            text += pieces[(state >> 16) % pieceCount];
        }
        std::vector<SimDevice> devices;
        std::vector<SimInjection> injections;
        std::string error;
        const bool ok = SimParseScenario(text, "noise", &devices, &injections, &error);
        EXPECT_TRUE(ok || !error.empty()) << text;
    }
}

} // namespace
