// The account on the device and the per-user settings: the stored strings, the capabilities and
// account records, the user's key and its values, the PIN and the resolved settings name.
#include "bridge_fixture.h"

#include "bounded_string.h"
#include "hresult_values.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

class AccountTest : public BridgeTest
{
protected:
    // A new object over a new world with the test scanner, opened on TEST_ACCOUNT.
    SimDevice *Renew()
    {
        ReleaseBridge();
        for (const std::string &violation : SimTakeViolations())
            ADD_FAILURE() << violation;
        SimReset();
        DeleteUserKey();
        SimDevice *device = AddScanner();
        bridge = new CStiScannerComBridge(&SimStiCreateInstance);
        return device;
    }

    void DeleteUserKey() { RegDeleteTreeW(HKEY_CURRENT_USER, UserKeyPath().c_str()); }

    bool UserKeyExists()
    {
        UniqueHKey key;
        return RegOpenKeyExW(HKEY_CURRENT_USER, UserKeyPath().c_str(), 0, KEY_READ, key.put()) ==
               ERROR_SUCCESS;
    }

    void Store(const std::wstring &name, DWORD type, const void *data, DWORD size)
    {
        UniqueHKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, UserKeyPath().c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type,
                                 static_cast<const BYTE *>(data), size),
                  ERROR_SUCCESS);
    }

    void StoreText(const std::wstring &name, const std::wstring &text)
    {
        Store(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    void StoreNumber(const std::wstring &name, DWORD number)
    {
        Store(name, REG_DWORD, &number, sizeof(number));
    }

    // The value's type and bytes; type REG_NONE when it is absent.
    std::pair<DWORD, std::vector<BYTE>> Stored(const std::wstring &name)
    {
        std::vector<BYTE> data(1024);
        DWORD type = REG_NONE;
        DWORD size = static_cast<DWORD>(data.size());
        if (RegGetValueW(HKEY_CURRENT_USER, UserKeyPath().c_str(), name.c_str(),
                         RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size) != ERROR_SUCCESS)
            return {REG_NONE, {}};
        data.resize(size);
        return {type, data};
    }

    std::wstring StoredText(const std::wstring &name)
    {
        const auto value = Stored(name);
        if (value.first != REG_SZ || value.second.size() < sizeof(wchar_t))
            return L"<absent>";
        return reinterpret_cast<const wchar_t *>(value.second.data());
    }

    DWORD StoredNumber(const std::wstring &name)
    {
        const auto value = Stored(name);
        DWORD number = 0xDEAD;
        if (value.first == REG_DWORD && value.second.size() == sizeof(number))
            memcpy(&number, value.second.data(), sizeof(number));
        return number;
    }

    // The texts the driver read with each escape of that code.
    std::vector<std::wstring> TextsOf(DWORD code)
    {
        std::vector<std::wstring> texts;
        for (const SimEscape &escape : SimEscapes()) {
            if (escape.code == code)
                texts.push_back(escape.text);
        }
        return texts;
    }
};

TEST_F(AccountTest, StringsAreKeptWhenNoDeviceIsChosenYet)
{
    AddScanner();
    EXPECT_EQ(bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT), E_FAIL);
    ASSERT_EQ(bridge->CreateStillImage(), S_OK);
    EXPECT_EQ(bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT), E_FAIL);
    EXPECT_EQ(SimCountCalls(SimCallKind::CreateDevice), 0u);

    LONG count = 0;
    UniqueBstr names;
    ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
    ASSERT_EQ(count, 1);
    StoreNumber(L"Prefix_DeleteImageOnScan", 0);
    LONG deleteImage = -1;
    EXPECT_EQ(bridge->GetDeleteImageOnScan(&deleteImage), S_OK);
    EXPECT_EQ(deleteImage, 0);
}

TEST_F(AccountTest, AccountKeyIsCutAndItsBufferReused)
{
    const std::wstring longKey(300, L'k');
    SimDevice *device = AddScanner();
    device->accounts.push_back(SimMakeAccount(longKey.substr(0, 259).c_str()));
    ASSERT_NO_FATAL_FAILURE(OpenScanner(longKey.c_str()));
    EXPECT_EQ(bridge->SendUserPin(), S_OK);
    EXPECT_EQ(bridge->BeginSettings(), S_OK);

    ASSERT_EQ(bridge->OpenAccount(L"Name", L"Prefix", TEST_ACCOUNT), S_OK);
    EXPECT_EQ(bridge->BeginSettings(), S_OK);
    EXPECT_EQ(TextsOf(ESC_GET_ACCOUNT),
              (std::vector<std::wstring>{longKey.substr(0, 259), TEST_ACCOUNT}));
    EXPECT_EQ(TextsOf(ESC_BEGIN_SETTINGS),
              (std::vector<std::wstring>{longKey.substr(0, 259), TEST_ACCOUNT}));
    const std::vector<SimPinReceived> pins = SimPinsReceived();
    ASSERT_EQ(pins.size(), 1u);
    EXPECT_EQ(pins[0].accountKey, longKey.substr(0, 259));

    // Every request reads the one account key buffer the object keeps.
    std::vector<const void *> buffers;
    for (const SimEscape &escape : SimEscapes()) {
        if (escape.code == ESC_GET_ACCOUNT || escape.code == ESC_BEGIN_SETTINGS)
            buffers.push_back(escape.in);
    }
    ASSERT_EQ(buffers.size(), 4u);
    for (const void *buffer : buffers)
        EXPECT_EQ(buffer, buffers[0]);
}

TEST_F(AccountTest, CapabilitiesSetTheExtendedFlagForGood)
{
    const SimProperty extended = SimIntProperty(PROP_EXTENDED_CAPABILITY, 0);
    const SimProperty other = SimIntProperty(PROP_XRES, 2);
    const struct
    {
        const char *name;
        std::vector<SimProperty> capabilities;
        LONG flag;
    } cases[] = {
        {"standard", SimStandardCapabilities(), 1},
        {"last of several", {other, other, extended}, 1},
        {"absent", {other}, 0},
        {"empty", {}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Renew()->capabilities = c.capabilities;
        ASSERT_NO_FATAL_FAILURE(OpenScanner());
        LONG flag = -1;
        EXPECT_EQ(bridge->GetExtendedCapability(&flag), S_OK);
        EXPECT_EQ(flag, c.flag);
    }

    // Fetching again hands the held block back first; a block without 38935 leaves the flag.
    Renew();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    SimFindDevice(TEST_DEVICE)->capabilities = {other};
    SimClearLog();
    EXPECT_EQ(bridge->FetchCapabilities(), S_OK);
    EXPECT_EQ(SimCallTrace(), "Lock Escape:100E Unlock Lock Escape:100C Unlock");
    EXPECT_EQ(SimEscapes().front().actualIn, FREE_CAPABILITIES);
    LONG flag = -1;
    EXPECT_EQ(bridge->GetExtendedCapability(&flag), S_OK);
    EXPECT_EQ(flag, 1);

    // A block the driver will not take back stays held instead of being lost to a new one.
    SimInjection refuse = SimFailEscape(ESC_FREE_BLOCK, E_FAIL);
    refuse.count = 1;
    SimInject(refuse);
    SimClearLog();
    EXPECT_EQ(bridge->FetchCapabilities(), E_FAIL);
    EXPECT_EQ(SimCountEscapes(ESC_GET_CAPABILITIES), 0u);
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(SimCountBlocks(SimBlockKind::Capabilities, false), 0u);
    const std::vector<std::string> violations = SimViolations();
    EXPECT_TRUE(violations.empty()) << violations.front();
}

TEST_F(AccountTest, DeleteImageOnScanReadsTheFirstByteOfTheUsersValue)
{
    AddScanner();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    // First run: the key is created, and nothing is reported yet.
    ASSERT_FALSE(UserKeyExists());
    LONG deleteImage = -1;
    EXPECT_EQ(bridge->GetDeleteImageOnScan(&deleteImage), S_FALSE);
    EXPECT_EQ(deleteImage, -1);
    EXPECT_TRUE(UserKeyExists());
    EXPECT_EQ(bridge->GetDeleteImageOnScan(&deleteImage), S_OK);
    EXPECT_EQ(deleteImage, 1);

    const std::vector<BYTE> tooLarge(600, 0);
    const struct
    {
        const char *name;
        DWORD type;
        std::vector<BYTE> data;
        LONG expected;
    } cases[] = {
        {"0", REG_DWORD, {0, 0, 0, 0}, 0},
        {"256", REG_DWORD, {0, 1, 0, 0}, 0},
        {"1", REG_DWORD, {1, 0, 0, 0}, 1},
        {"0x80000001", REG_DWORD, {1, 0, 0, 0x80}, 1},
        {"text 0", REG_SZ, {'0', 0, 0, 0}, 1},
        {"more than 520 bytes", REG_BINARY, tooLarge, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Store(L"Prefix_DeleteImageOnScan", c.type, c.data.data(),
              static_cast<DWORD>(c.data.size()));
        deleteImage = -1;
        EXPECT_EQ(bridge->GetDeleteImageOnScan(&deleteImage), S_OK);
        EXPECT_EQ(deleteImage, c.expected);
    }

    // A prefix whose value name does not fit is read under the cut name, and the cut reported.
    const std::wstring prefix(250, L'p');
    const std::wstring cutName = (prefix + L"_DeleteImageOnScan").substr(0, 259);
    ASSERT_EQ(bridge->OpenAccount(L"Name", prefix.c_str(), TEST_ACCOUNT), S_OK);
    StoreNumber(cutName, 0);
    EXPECT_EQ(bridge->GetDeleteImageOnScan(&deleteImage), E_BOUNDED_CUT);
    EXPECT_EQ(deleteImage, 0);
}

TEST_F(AccountTest, SendUserPinSendsTheStoredPinOrAnEmptyOne)
{
    const struct
    {
        const char *name;
        const wchar_t *stored;   // null: no "OrvUserPIN"
        bool keyExists;
        const wchar_t *checked;  // the device's PIN, or null when it takes any
        HRESULT expected;
        const wchar_t *sent;
    } cases[] = {
        {"first run", nullptr, false, nullptr, S_OK, L""},
        {"no value", nullptr, true, nullptr, S_OK, L""},
        {"stored", L"4410", true, nullptr, S_OK, L"4410"},
        {"stored and checked", L"4410", true, L"4410", S_OK, L"4410"},
        {"empty", L"", true, nullptr, S_OK, L""},
        {"wrong", L"1234", true, L"4410", E_ACCESSDENIED, L"1234"},
        {"none but checked", nullptr, true, L"4410", E_ACCESSDENIED, L""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SimDevice *device = Renew();
        if (c.checked != nullptr) {
            device->accounts[0].checkPin = true;
            device->accounts[0].pin = c.checked;
        }
        if (c.stored != nullptr)
            StoreText(L"OrvUserPIN", c.stored);
        else if (c.keyExists)
            StoreNumber(L"Other", 0);
        ASSERT_NO_FATAL_FAILURE(OpenScanner());
        EXPECT_EQ(bridge->SendUserPin(), c.expected);
        const std::vector<SimPinReceived> pins = SimPinsReceived();
        ASSERT_EQ(pins.size(), 1u);
        EXPECT_EQ(pins[0].pin, c.sent);
        EXPECT_FALSE(pins[0].nullPin);
    }

    // A PIN that fills its 520 bytes without a terminator is not sent, nor a longer one.
    for (const DWORD chars : {260u, 300u}) {
        SCOPED_TRACE(chars);
        Renew();
        const std::wstring pin(chars, L'9');
        Store(L"OrvUserPIN", REG_BINARY, pin.c_str(), chars * sizeof(wchar_t));
        ASSERT_NO_FATAL_FAILURE(OpenScanner());
        EXPECT_EQ(bridge->SendUserPin(), S_OK);
        EXPECT_EQ(SimPinsReceived().at(0).pin, L"");
    }

    // No account record: the device is not touched.
    Renew();
    StoreText(L"OrvUserPIN", L"4410");
    ASSERT_NO_FATAL_FAILURE(OpenScanner(L"stranger"));
    SimClearLog();
    EXPECT_EQ(bridge->SendUserPin(), E_FAIL);
    EXPECT_EQ(SimCountCalls(SimCallKind::LockDevice), 0u);
    EXPECT_EQ(SimCountEscapes(0), 0u);
}

TEST_F(AccountTest, SettingsNameIsResolvedOnceAndStored)
{
    AddScanner();
    ASSERT_EQ(bridge->CreateStillImage(), S_OK);
    LONG count = 0;
    UniqueBstr names;
    ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
    wchar_t resolved[NAME_CHARS] = {};
    EXPECT_EQ(bridge->ResolveSettingsName(resolved), E_FAIL);
    ASSERT_EQ(bridge->OpenAccount(L"N", L"P", TEST_ACCOUNT), S_OK);

    // First time: the value name is the stored name, and the preference is set to 1.
    EXPECT_EQ(bridge->ResolveSettingsName(resolved), S_OK);
    EXPECT_STREQ(resolved, L"P_N");
    EXPECT_EQ(StoredText(L"P_N"), L"P_N");
    EXPECT_EQ(StoredNumber(L"P_DeleteImageOnScan"), 1u);

    // Later: the stored name is returned and nothing is written.
    StoreNumber(L"P_DeleteImageOnScan", 0);
    StoreText(L"P_N", L"Stored");
    EXPECT_EQ(bridge->ResolveSettingsName(resolved), S_OK);
    EXPECT_STREQ(resolved, L"Stored");
    EXPECT_EQ(StoredNumber(L"P_DeleteImageOnScan"), 0u);

    // A stored text that fills the 520 bytes without a terminator is cut, and says so. (Wine
    // refuses such a REG_SZ for want of room for the terminator; the type is not examined.)
    const std::wstring full(NAME_CHARS, L's');
    Store(L"P_N", REG_BINARY, full.c_str(), NAME_BYTES);
    EXPECT_EQ(bridge->ResolveSettingsName(resolved), E_BOUNDED_CUT);
    EXPECT_EQ(std::wstring(resolved), full.substr(0, NAME_CHARS - 1));

    // A joined name beyond 109 characters is used cut.
    const std::wstring prefix(60, L'p');
    const std::wstring name(60, L'n');
    const std::wstring cut = (prefix + L"_" + name).substr(0, 109);
    ASSERT_EQ(bridge->OpenAccount(name.c_str(), prefix.c_str(), TEST_ACCOUNT), S_OK);
    EXPECT_EQ(bridge->ResolveSettingsName(resolved), S_OK);
    EXPECT_EQ(std::wstring(resolved), cut);
    EXPECT_EQ(StoredText(cut), cut);
    EXPECT_EQ(StoredNumber(prefix + L"_DeleteImageOnScan"), 1u);
}

TEST_F(AccountTest, SettingsNameWithoutAUserKeyIsTheValueName)
{
    // No "UserDataKey", or an empty one that would name HKEY_CURRENT_USER itself.
    for (const bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "empty" : "absent");
        SimDevice *device = Renew();
        device->userDataKey.clear();
        if (empty)
            device->values.emplace_back(L"UserDataKey", L"");
        ASSERT_NO_FATAL_FAILURE(OpenScanner());
        wchar_t resolved[NAME_CHARS] = {};
        EXPECT_EQ(bridge->ResolveSettingsName(resolved), E_FAIL);
        EXPECT_STREQ(resolved, L"Prefix_Name");
        LONG deleteImage = -1;
        EXPECT_EQ(bridge->GetDeleteImageOnScan(&deleteImage), S_FALSE);
        EXPECT_EQ(deleteImage, -1);
        EXPECT_FALSE(UserKeyExists());
        for (const wchar_t *name : {L"Prefix_Name", L"Prefix_DeleteImageOnScan"})
            EXPECT_EQ(RegDeleteValueW(HKEY_CURRENT_USER, name), ERROR_FILE_NOT_FOUND);
    }
}

} // namespace
