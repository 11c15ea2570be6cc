// Registry data around the simulation: where sti.dll finds its scenario and report file, and
// the entries a scenario implies for the real registry the bridge reads.
#pragma once

#include "sim_sti.h"

#include <string>
#include <vector>

// HKEY_LOCAL_MACHINE\Software\StiScannerBridgeSim: "ScenarioFile" and "ReportFile" (REG_SZ),
// and "Installed", a stamp that each install changes.
extern const wchar_t SIM_REGISTRY_KEY[];
extern const wchar_t SIM_SCENARIO_VALUE[];
extern const wchar_t SIM_REPORT_VALUE[];
extern const wchar_t SIM_INSTALLED_VALUE[];

// Reads a REG_SZ under the sim's key; false when it is absent or empty.
bool SimReadSetting(const wchar_t *valueName, std::wstring *value);
// Writes a REG_SZ under the sim's key, or deletes the value when value is null.
LONG SimWriteSetting(const wchar_t *valueName, const wchar_t *value);
// Removes the sim's key and everything under it.
LONG SimDeleteSettings();

// The device's class key, HKLM\System\CurrentControlSet\Control\Class\<internal name>\DeviceData.
std::wstring SimDeviceDataKey(const SimDevice &device);

// Writes "FilingPath" under each device's DeviceData key and, where a scenario gives one, the
// user's "OrvUserPIN" under HKCU\<UserDataKey>. Returns the first failure, ERROR_SUCCESS when
// all went in; describes each entry in log.
LONG SimWriteDeviceRegistry(const std::vector<SimDevice> &devices, std::string *log);
// Deletes the values SimWriteDeviceRegistry writes; the keys stay.
void SimDeleteDeviceRegistry(const std::vector<SimDevice> &devices);
