// Identity of the published class.
#pragma once

#include <windows.h>

// {3E1C7A52-9B04-4D6E-A1F3-5C82D07B9E61}
inline constexpr CLSID CLSID_StiScannerComBridge = {
    0x3e1c7a52, 0x9b04, 0x4d6e, {0xa1, 0xf3, 0x5c, 0x82, 0xd0, 0x7b, 0x9e, 0x61}};

inline constexpr wchar_t BRIDGE_PROGID[] = L"tavrk.twain.CStiScannerComBridge.1";
inline constexpr wchar_t BRIDGE_VERSION_INDEPENDENT_PROGID[] = L"tavrk.twain.CStiScannerComBridge";
