#include "settings.h"

#include "owners.h"

#include <windows.h>

namespace {

std::wstring ReadText(HKEY key, const wchar_t *name, const wchar_t *fallback)
{
    wchar_t value[260] = {};
    DWORD type = 0;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (key == nullptr ||
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ || value[0] == L'\0')
        return fallback;
    return value;
}

std::wstring UserName()
{
    wchar_t name[257] = {};
    DWORD length = ARRAYSIZE(name);
    return GetUserNameW(name, &length) ? name : L"";
}

} // namespace

SourceSettings ReadSourceSettings()
{
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SOURCE_SETTINGS_KEY, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        key.reset();
    SourceSettings settings;
    settings.accountKey = ReadText(key.get(), L"AccountKey", UserName().c_str());
    settings.settingsName = ReadText(key.get(), L"SettingsName", L"Default");
    settings.settingsPrefix = ReadText(key.get(), L"SettingsPrefix", L"Quillon");
    settings.deviceName = ReadText(key.get(), L"Device", L"");
    return settings;
}
