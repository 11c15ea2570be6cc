// Identity of the published class, and how long its local server outlives its last client.
#pragma once

#include <windows.h>

// {3E1C7A52-9B04-4D6E-A1F3-5C82D07B9E61}
inline constexpr CLSID CLSID_StiScannerComBridge = {
    0x3e1c7a52, 0x9b04, 0x4d6e, {0xa1, 0xf3, 0x5c, 0x82, 0xd0, 0x7b, 0x9e, 0x61}};

inline constexpr wchar_t BRIDGE_PROGID[] = L"tavrk.twain.CStiScannerComBridge.1";
inline constexpr wchar_t BRIDGE_VERSION_INDEPENDENT_PROGID[] = L"tavrk.twain.CStiScannerComBridge";

// How long the server stays once no object is alive and no lock is held. A data source opens and
// closes the bridge session after session, and a second application may activate it at any time:
// within the grace they find the running server instead of one that is going away. Chosen by
// measurement with bench/stress_activation (README).
inline constexpr DWORD BRIDGE_SHUTDOWN_GRACE_MS = 3000;

// Who may reach the server: interactive users' processes, SYSTEM and administrators, locally.
// Calls need COM_RIGHTS_EXECUTE | COM_RIGHTS_EXECUTE_LOCAL (0x3); a launch or activation also
// COM_RIGHTS_ACTIVATE_LOCAL (0xB). The AppID's AccessPermission holds the first, its
// LaunchPermission the second; the running server narrows the first to the user it runs as.
inline constexpr wchar_t BRIDGE_ACCESS_SDDL[] = L"O:BAG:BAD:(A;;0x3;;;IU)(A;;0x3;;;SY)(A;;0x3;;;BA)";
inline constexpr wchar_t BRIDGE_LAUNCH_SDDL[] = L"O:BAG:BAD:(A;;0xb;;;IU)(A;;0xb;;;SY)(A;;0xb;;;BA)";
