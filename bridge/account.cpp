// The user's account on the device and the per-user settings in the registry.
#include "bridge.h"

#include "bounded_string.h"
#include "escape.h"
#include "hresult_values.h"
#include "owners.h"

#include <cstring>
#include <utility>

namespace {

constexpr wchar_t USER_DATA_KEY_VALUE[] = L"UserDataKey";
constexpr wchar_t PIN_VALUE[] = L"OrvUserPIN";
constexpr wchar_t DELETE_IMAGE_FORMAT[] = L"%ls_DeleteImageOnScan";

// The stored settings value name is cut to this many characters, terminator included.
constexpr size_t SETTINGS_VALUE_NAME_CHARS = 110;

// Copies an argument into one of the account buffers, allocating it on first use.
HRESULT StoreAccountText(wchar_t *&buffer, const wchar_t *text)
{
    if (buffer == nullptr) {
        buffer = static_cast<wchar_t *>(GlobalAlloc(GPTR, NAME_BYTES));
        if (buffer == nullptr)
            return E_OUTOFMEMORY;
    }
    memset(buffer, 0, NAME_BYTES);
    BoundedCopy(buffer, NAME_CHARS, text);
    return S_OK;
}

bool TerminatedWithin(const wchar_t *text, size_t limit)
{
    return text != nullptr && BoundedLength(text, limit) < limit;
}

} // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::OpenAccount(const WCHAR *settingsName,
                                                            const WCHAR *settingsPrefix,
                                                            const WCHAR *accountKey)
{
    if (settingsName == nullptr || settingsPrefix == nullptr || accountKey == nullptr)
        return E_POINTER;
    HRESULT hr = StoreAccountText(m_settingsPrefix, settingsPrefix);
    if (SUCCEEDED(hr))
        hr = StoreAccountText(m_settingsName, settingsName);
    if (SUCCEEDED(hr))
        hr = StoreAccountText(m_accountKey, accountKey);
    if (FAILED(hr))
        return hr;

    if (m_stillImage == nullptr || m_deviceOpen == 0 || m_deviceInfo == nullptr)
        return E_FAIL;
    HRESULT created = S_OK;
    if (!CreateDeviceObject(&created))
        return E_FAIL;
    FetchCapabilities();
    if (m_account != nullptr)
        return S_OK;

    AccountBlock *account = nullptr;
    EscapeCall fetch = MakeEscape(ESC_GET_ACCOUNT, m_accountKey, sizeof(void *), &account,
                                  sizeof(account));
    const LockedExchange exchange = SendLocked(m_stiDevice, fetch);
    if (!exchange.Locked())
        return exchange.lock;
    // The escape's result is not examined: a record that came back is the account's.
    if (account != nullptr)
        m_account = account;
    return ResultUnlockDecides(exchange);
}

HRESULT CStiScannerComBridge::FetchCapabilities()
{
    if (m_stiDevice == nullptr)
        return E_FAIL;
    // A block already held goes back first, so it is never lost or handed back twice; one the
    // driver would not take back stays held rather than be overwritten.
    if (m_capabilities != nullptr) {
        FreeCapabilities();
        if (m_capabilities != nullptr)
            return E_FAIL;
    }

    PropertyBlock *capabilities = nullptr;
    EscapeCall fetch = MakeEscape(ESC_GET_CAPABILITIES, nullptr, 0, &capabilities,
                                  sizeof(capabilities));
    const LockedExchange exchange = SendLocked(m_stiDevice, fetch);
    if (!exchange.Locked())
        return E_FAIL;
    // A block the driver delivered is held, even with a failure, so that it goes back.
    if (capabilities != nullptr)
        m_capabilities = capabilities;
    const bool delivered = SUCCEEDED(fetch.result) && capabilities != nullptr;
    if (delivered && FindFirstProperty(capabilities->properties, capabilities->count,
                                       PROP_EXTENDED_CAPABILITY) != nullptr)
        m_extendedCapability = 1;
    return ResultSomethingCameBack(exchange, fetch, delivered);
}

bool CStiScannerComBridge::OpenUserKey()
{
    if (m_stillImage == nullptr || m_deviceInfo == nullptr)
        return false;
    wchar_t path[NAME_CHARS] = {};
    DWORD type = 0;
    DWORD size = NAME_BYTES;
    if (FAILED(m_stillImage->GetDeviceValue(m_deviceInfo->szDeviceInternalName,
                                            const_cast<wchar_t *>(USER_DATA_KEY_VALUE), &type,
                                            reinterpret_cast<BYTE *>(path), &size)))
        return false;
    TerminateAtLength(path, size, NAME_CHARS);
    // An empty path would name HKEY_CURRENT_USER itself, which holds no settings of ours.
    if (path[0] == L'\0')
        return false;

    if (m_userKey != nullptr)
        RegCloseKey(std::exchange(m_userKey, nullptr));
    DWORD disposition = 0;
    const LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                        &m_userKey, &disposition);
    // A key created just now holds no values yet: the caller treats it as not usable.
    return status == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetDeleteImageOnScan(LONG *deleteImage)
{
    if (deleteImage == nullptr)
        return E_POINTER;
    if (m_deviceInfo == nullptr || m_stillImage == nullptr || m_settingsPrefix == nullptr)
        return S_FALSE;
    wchar_t valueName[NAME_CHARS] = {};
    const HRESULT formatted =
        BoundedFormatBytes(valueName, NAME_BYTES, DELETE_IMAGE_FORMAT, m_settingsPrefix);
    if (m_userKey == nullptr && !OpenUserKey())
        return S_FALSE;

    UniqueHGlobal data = AllocZeroed(NAME_BYTES);
    if (!data)
        return S_FALSE;
    DWORD size = NAME_BYTES;
    BYTE *bytes = static_cast<BYTE *>(data.get());
    // The value's type is not examined: a REG_DWORD is decided by its low byte.
    const bool stored = RegQueryValueExW(m_userKey, valueName, nullptr, nullptr, bytes, &size) ==
                        ERROR_SUCCESS;
    const BYTE flag = stored ? bytes[0] : 1;
    *deleteImage = flag != 0 ? 1 : 0;
    return formatted;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SendUserPin()
{
    bool usable = true;
    if (m_userKey == nullptr)
        usable = OpenUserKey();

    wchar_t stored[NAME_CHARS] = {};
    bool found = false;
    if (m_userKey != nullptr) {
        DWORD size = NAME_BYTES;
        found = RegQueryValueExW(m_userKey, PIN_VALUE, nullptr, nullptr,
                                 reinterpret_cast<BYTE *>(stored), &size) == ERROR_SUCCESS;
    }
    const bool valid =
        usable && found && stored[0] != L'\0' && TerminatedWithin(stored, NAME_CHARS);
    return SetAccountPin(valid ? stored : L"");
}

HRESULT CStiScannerComBridge::SetAccountPin(const wchar_t *pin)
{
    if (m_account == nullptr || m_account->count == 0)
        return E_FAIL;
    PropertyRecord *record = FindFirstProperty(m_account->properties, m_account->count, PROP_PIN);
    if (record == nullptr)
        return E_FAIL;
    // The new string first, so a failed allocation leaves the record's string valid.
    BSTR text = SysAllocString(pin);
    if (text == nullptr)
        return E_FAIL;
    SysFreeString(record->value.text);
    record->value.text = text;

    if (m_stiDevice == nullptr)
        return E_FAIL;
    EscapeCall send = MakeEscape(ESC_SET_ACCOUNT, m_account, sizeof(AccountBlock), nullptr, 0);
    const LockedExchange exchange = SendLocked(m_stiDevice, send);
    if (!exchange.Locked())
        return E_FAIL;
    return ResultUnlockThenEscapes(exchange, send);
}

HRESULT CStiScannerComBridge::ResolveSettingsName(wchar_t *resolved)
{
    if (!TerminatedWithin(m_settingsPrefix, NAME_CHARS) ||
        !TerminatedWithin(m_settingsName, NAME_CHARS))
        return E_FAIL;
    // A name cut to 109 characters is used as it is.
    wchar_t valueName[SETTINGS_VALUE_NAME_CHARS] = {};
    BoundedFormat(valueName, SETTINGS_VALUE_NAME_CHARS, L"%ls_%ls", m_settingsPrefix,
                  m_settingsName);

    // One character beyond the 520 bytes queried, so a stored text that fills them without a
    // terminator still ends and its copy reports the cut.
    UniqueHGlobal data = AllocZeroed(NAME_BYTES + sizeof(wchar_t));
    if (!data)
        return E_OUTOFMEMORY;
    if (m_userKey == nullptr)
        OpenUserKey();

    auto *stored = static_cast<wchar_t *>(data.get());
    DWORD size = NAME_BYTES;
    if (m_userKey != nullptr &&
        RegQueryValueExW(m_userKey, valueName, nullptr, nullptr, reinterpret_cast<BYTE *>(stored),
                         &size) == ERROR_SUCCESS) {
        TerminateAtLength(stored, size, NAME_CHARS + 1);
        return BoundedCopy(resolved, NAME_CHARS, stored);
    }
    BoundedCopy(resolved, NAME_CHARS, valueName);
    return WriteSettingsValues(m_userKey, valueName);
}

HRESULT CStiScannerComBridge::WriteSettingsValues(HKEY key, const wchar_t *valueName)
{
    // The first time a prefix and name are resolved, the stored name is the value name itself.
    RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(valueName),
                   static_cast<DWORD>((wcslen(valueName) + 1) * sizeof(wchar_t)));

    wchar_t deleteName[NAME_CHARS] = {};
    const HRESULT formatted =
        BoundedFormat(deleteName, NAME_CHARS, DELETE_IMAGE_FORMAT, m_settingsPrefix);
    const DWORD one = 1;
    if (RegSetValueExW(key, deleteName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one),
                       sizeof(one)) != ERROR_SUCCESS)
        return E_FAIL;
    return formatted;
}
