// Self-registration against a scratch registry root: HKEY_CLASSES_ROOT is redirected to a key of
// the test's own for the length of each test.
#include "class_ids.h"
#include "module_state.h"
#include "process_security.h"
#include "registration.h"
#include "server_main.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace {

// Test processes run side by side: each works in a scratch key of its own.
std::wstring ScratchRoot()
{
    return L"Software\\BridgeUnitTests\\" + std::to_wstring(GetCurrentProcessId());
}

const std::wstring SCRATCH_PATH = ScratchRoot() + L"\\Classes";
const wchar_t CLASS_KEY[] = L"CLSID\\{3E1C7A52-9B04-4D6E-A1F3-5C82D07B9E61}";
const wchar_t LOCAL_SERVER_KEY[] =
    L"CLSID\\{3E1C7A52-9B04-4D6E-A1F3-5C82D07B9E61}\\LocalServer32";
const wchar_t INPROC_SERVER_KEY[] =
    L"CLSID\\{3E1C7A52-9B04-4D6E-A1F3-5C82D07B9E61}\\InprocServer32";

std::wstring Join(const wchar_t *parent, const wchar_t *child)
{
    return std::wstring(parent) + L"\\" + child;
}

// The command COM runs: the executable's path in quotes, so blanks in it cannot split it.
std::wstring QuotedExecutablePath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return L"\"" + std::wstring(path) + L"\"";
}

class Registration : public testing::Test
{
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_PATH.c_str());
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_CURRENT_USER, SCRATCH_PATH.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &m_scratch, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CLASSES_ROOT, m_scratch));
    }

    void TearDown() override
    {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        if (m_scratch != nullptr)
            RegCloseKey(m_scratch);
        RegDeleteTreeW(HKEY_CURRENT_USER, ScratchRoot().c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, ScratchRoot().c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\BridgeUnitTests");
    }

    // Keys and values are made and read in the scratch key itself, not through the override.
    void MakeKey(const std::wstring &name)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(m_scratch, name.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
    }

    void SetText(const std::wstring &name, const wchar_t *valueName, const std::wstring &text)
    {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetKeyValueW(m_scratch, name.c_str(), valueName, REG_SZ, text.c_str(),
                                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
    }

    bool Exists(const std::wstring &name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(m_scratch, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    // The REG_SZ value's text, its stored size checked; "<absent>" when there is none.
    std::wstring Text(const std::wstring &name, const wchar_t *valueName)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(m_scratch, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return L"<absent>";
        wchar_t text[MAX_PATH + 1] = {};
        DWORD type = 0;
        DWORD size = sizeof(text) - sizeof(wchar_t);
        const LONG result = RegQueryValueExW(key, valueName, nullptr, &type,
                                             reinterpret_cast<BYTE *>(text), &size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS)
            return L"<absent>";
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ((wcslen(text) + 1) * sizeof(wchar_t), size) << "not stored with one terminator";
        return text;
    }

    std::vector<std::wstring> Subkeys(const std::wstring &name)
    {
        std::vector<std::wstring> names;
        HKEY key = nullptr;
        if (RegOpenKeyExW(m_scratch, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return names;
        wchar_t subkey[256];
        for (DWORD index = 0;; ++index) {
            DWORD capacity = ARRAYSIZE(subkey);
            if (RegEnumKeyExW(key, index, subkey, &capacity, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS)
                break;
            names.push_back(subkey);
        }
        RegCloseKey(key);
        return names;
    }

    DWORD ValueCount(const std::wstring &name)
    {
        HKEY key = nullptr;
        DWORD values = MAXDWORD;
        if (RegOpenKeyExW(m_scratch, name.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr);
            RegCloseKey(key);
        }
        return values;
    }

    HKEY m_scratch = nullptr;
};

TEST_F(Registration, RegisterWritesOnlyTheLocalServerPath)
{
    RegisterServer(CLSID_StiScannerComBridge, GetModuleHandleW(nullptr));

    EXPECT_EQ(std::vector<std::wstring>{L"CLSID"}, Subkeys(L""));
    EXPECT_EQ(0u, ValueCount(CLASS_KEY));
    EXPECT_EQ(std::vector<std::wstring>{L"LocalServer32"}, Subkeys(CLASS_KEY));
    EXPECT_EQ(1u, ValueCount(LOCAL_SERVER_KEY));
    EXPECT_EQ(QuotedExecutablePath(), Text(LOCAL_SERVER_KEY, nullptr));
}

TEST_F(Registration, RegisterOverwritesThePathAndKeepsTheRest)
{
    SetText(CLASS_KEY, L"Keep", L"class value");
    SetText(LOCAL_SERVER_KEY, nullptr, L"C:\\old\\server.exe");
    SetText(LOCAL_SERVER_KEY, L"ThreadingModel", L"Apartment");
    MakeKey(Join(LOCAL_SERVER_KEY, L"Sub"));
    MakeKey(L"CLSID\\{00000000-0000-0000-0000-000000000001}");

    RegisterServer(CLSID_StiScannerComBridge, GetModuleHandleW(nullptr));
    RegisterServer(CLSID_StiScannerComBridge, GetModuleHandleW(nullptr));

    EXPECT_EQ(QuotedExecutablePath(), Text(LOCAL_SERVER_KEY, nullptr));
    EXPECT_EQ(L"Apartment", Text(LOCAL_SERVER_KEY, L"ThreadingModel"));
    EXPECT_EQ(L"class value", Text(CLASS_KEY, L"Keep"));
    EXPECT_TRUE(Exists(Join(LOCAL_SERVER_KEY, L"Sub")));
    EXPECT_TRUE(Exists(L"CLSID\\{00000000-0000-0000-0000-000000000001}"));
}

TEST_F(Registration, RegisterWithoutAModulePathWritesNothing)
{
    // Not a module: GetModuleFileNameW answers 0.
    RegisterServer(CLSID_StiScannerComBridge,
                   reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x10)));
    EXPECT_TRUE(Subkeys(L"").empty());
}

TEST_F(Registration, UnregisterLeavesAnInprocServerAlone)
{
    MakeKey(Join(LOCAL_SERVER_KEY, L"A\\B\\C"));
    MakeKey(Join(LOCAL_SERVER_KEY, L"D"));
    SetText(INPROC_SERVER_KEY, nullptr, L"C:\\inproc.dll");
    MakeKey(Join(BRIDGE_PROGID, L"CLSID"));
    MakeKey(BRIDGE_VERSION_INDEPENDENT_PROGID);

    EXPECT_EQ(0, UnregisterServer(CLSID_StiScannerComBridge, BRIDGE_VERSION_INDEPENDENT_PROGID,
                                  BRIDGE_PROGID));

    EXPECT_FALSE(Exists(LOCAL_SERVER_KEY));
    EXPECT_EQ(L"C:\\inproc.dll", Text(INPROC_SERVER_KEY, nullptr));
    EXPECT_TRUE(Exists(Join(BRIDGE_PROGID, L"CLSID")));
    EXPECT_TRUE(Exists(BRIDGE_VERSION_INDEPENDENT_PROGID));
}

TEST_F(Registration, UnregisterRemovesClassAndProgIdTrees)
{
    MakeKey(Join(LOCAL_SERVER_KEY, L"A\\B\\C\\D"));
    MakeKey(Join(LOCAL_SERVER_KEY, L"E"));
    MakeKey(Join(CLASS_KEY, L"ProgID"));
    SetText(Join(CLASS_KEY, L"VersionIndependentProgID"), nullptr, L"x");
    MakeKey(Join(BRIDGE_PROGID, L"CLSID"));
    MakeKey(Join(BRIDGE_VERSION_INDEPENDENT_PROGID, L"CurVer\\Deeper"));
    MakeKey(L"CLSID\\{00000000-0000-0000-0000-000000000001}");
    MakeKey(L"tavrk.twain.Other");

    EXPECT_EQ(0, UnregisterServer(CLSID_StiScannerComBridge, BRIDGE_VERSION_INDEPENDENT_PROGID,
                                  BRIDGE_PROGID));

    EXPECT_FALSE(Exists(CLASS_KEY));
    EXPECT_FALSE(Exists(BRIDGE_PROGID));
    EXPECT_FALSE(Exists(BRIDGE_VERSION_INDEPENDENT_PROGID));
    EXPECT_TRUE(Exists(L"CLSID\\{00000000-0000-0000-0000-000000000001}"));
    EXPECT_TRUE(Exists(L"tavrk.twain.Other"));
}

TEST_F(Registration, UnregisterRemovesProgIdsWithoutAClassKey)
{
    MakeKey(Join(BRIDGE_PROGID, L"CLSID"));
    MakeKey(BRIDGE_VERSION_INDEPENDENT_PROGID);

    EXPECT_EQ(0, UnregisterServer(CLSID_StiScannerComBridge, BRIDGE_VERSION_INDEPENDENT_PROGID,
                                  BRIDGE_PROGID));

    EXPECT_FALSE(Exists(BRIDGE_PROGID));
    EXPECT_FALSE(Exists(BRIDGE_VERSION_INDEPENDENT_PROGID));
}

TEST_F(Registration, UnregisterWithNothingRegistered)
{
    MakeKey(L"Unrelated");
    EXPECT_EQ(0, UnregisterServer(CLSID_StiScannerComBridge, BRIDGE_VERSION_INDEPENDENT_PROGID,
                                  BRIDGE_PROGID));
    EXPECT_EQ(std::vector<std::wstring>{L"Unrelated"}, Subkeys(L""));
}

TEST_F(Registration, DeleteKeyTreeDeletesDepthFirst)
{
    for (const wchar_t *name : {L"Parent\\Tree\\A\\A1\\A11", L"Parent\\Tree\\A\\A2",
                                L"Parent\\Tree\\B", L"Parent\\Tree\\C\\C1", L"Parent\\Sibling"})
        MakeKey(name);
    SetText(L"Parent\\Tree\\A\\A1", L"v", L"value");

    EXPECT_EQ(ERROR_SUCCESS, DeleteKeyTree(m_scratch, L"Parent\\Tree"));
    EXPECT_FALSE(Exists(L"Parent\\Tree"));
    EXPECT_EQ(std::vector<std::wstring>{L"Sibling"}, Subkeys(L"Parent"));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteKeyTree(m_scratch, L"Parent\\Tree"));
    EXPECT_EQ(ERROR_SUCCESS, DeleteKeyTree(m_scratch, L"Parent"));
    EXPECT_TRUE(Subkeys(L"").empty());
}

// The entry in registry mode: the tokens run in order and nothing is served.
TEST_F(Registration, EntryRunsRegistrationTokensInOrder)
{
    const ModuleState saved = g_module;
    struct
    {
        const char *tail;
        bool registered;
    } const rows[] = {
        {"/RegServer", true},
        {"-RegServer/UnregServer", false},
        {"-UnregServer -RegServer", true},
        {"-Embedding -RegServer", true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.tail);
        std::string tail(row.tail);
        // A quit message in waiting ends a loop that should not have run, and shows that it did.
        PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
        EXPECT_EQ(0, RunServer(GetModuleHandleW(nullptr), &tail[0]));
        MSG message;
        EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            << "the entry served";
        EXPECT_EQ(row.registered, Exists(LOCAL_SERVER_KEY));
        EXPECT_EQ(nullptr, g_classTable[0].factory);
        UnregisterServer(CLSID_StiScannerComBridge, BRIDGE_VERSION_INDEPENDENT_PROGID,
                         BRIDGE_PROGID);
    }
    g_module = saved;
}

} // namespace

// What COM is handed for the server's process security (CoInitializeSecurity is a stub in Wine:
// only the descriptor can be looked at here), and the AppID's permissions: absolute, with an
// owner and a group, and a DACL that allows exactly the user the server runs as (interactive
// users for the AppID), SYSTEM and administrators the rights asked.
TEST(ProcessSecurity, DescriptorAllowsOnlyTheUserSystemAndAdministrators)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE user[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof(user), &size));
    CloseHandle(token);
    wchar_t *ownSid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user)->User.Sid, &ownSid));
    const std::wstring self = ownSid;
    LocalFree(ownSid);

    struct Case
    {
        std::wstring sddl;
        DWORD rights;
        std::wstring who; // the first trustee: this user or INTERACTIVE
    };
    const Case cases[] = {{ProcessAccessSddl(), 0x3, self},
                          {BRIDGE_ACCESS_SDDL, 0x3, L"S-1-5-4"},
                          {BRIDGE_LAUNCH_SDDL, 0xB, L"S-1-5-4"}};
    for (const Case &test : cases) {
        SCOPED_TRACE(testing::Message() << "rights " << test.rights);
        AbsoluteSecurityDescriptor descriptor;
        ASSERT_TRUE(descriptor.Build(test.sddl.c_str()));
        ASSERT_TRUE(IsValidSecurityDescriptor(descriptor.get()));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
        EXPECT_EQ(control & SE_SELF_RELATIVE, 0) << "COM takes an absolute descriptor";
        PSID owner = nullptr, group = nullptr;
        BOOL defaulted = FALSE, present = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
        ASSERT_TRUE(GetSecurityDescriptorGroup(descriptor.get(), &group, &defaulted));
        EXPECT_TRUE(owner != nullptr && group != nullptr);
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl != nullptr);

        std::vector<std::wstring> allowed;
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE *ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
            ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
            EXPECT_EQ(ace->Mask, test.rights);
            wchar_t *sid = nullptr;
            ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, &sid));
            allowed.push_back(sid);
            LocalFree(sid);
        }
        // The user, LocalSystem, BUILTIN\Administrators.
        EXPECT_EQ(allowed, (std::vector<std::wstring>{test.who, L"S-1-5-18", L"S-1-5-32-544"}));
    }
}
