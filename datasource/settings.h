// The source's own per-user settings: HKEY_CURRENT_USER\Software\tavrk\twain\StiBridgeSource.
#pragma once

#include <string>

inline constexpr wchar_t SOURCE_SETTINGS_KEY[] = L"Software\\tavrk\\twain\\StiBridgeSource";

struct SourceSettings
{
    std::wstring accountKey;     // "AccountKey": the account on the device; the user name
    std::wstring settingsName;   // "SettingsName": default "Default"
    std::wstring settingsPrefix; // "SettingsPrefix": default "Quillon"
    std::wstring deviceName;     // "Device": local name; empty: the launch device, else the first
};

// Reads the settings; a value that is absent, empty or not text takes its default.
SourceSettings ReadSourceSettings();
