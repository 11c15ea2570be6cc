#include "sim_registry.h"

#include "sim_world.h"

const wchar_t SIM_REGISTRY_KEY[] = L"Software\\StiScannerBridgeSim";
const wchar_t SIM_SCENARIO_VALUE[] = L"ScenarioFile";
const wchar_t SIM_REPORT_VALUE[] = L"ReportFile";
const wchar_t SIM_INSTALLED_VALUE[] = L"Installed";

namespace {

LONG SetString(HKEY root, const std::wstring &path, const wchar_t *name, const std::wstring &value)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

void DeleteValue(HKEY root, const std::wstring &path, const wchar_t *name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

} // namespace

bool SimReadSetting(const wchar_t *valueName, std::wstring *value)
{
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    const LONG status = RegGetValueW(HKEY_LOCAL_MACHINE, SIM_REGISTRY_KEY, valueName,
                                     RRF_RT_REG_SZ, &type, buffer, &bytes);
    if (status != ERROR_SUCCESS || buffer[0] == L'\0')
        return false;
    *value = buffer;
    return true;
}

LONG SimWriteSetting(const wchar_t *valueName, const wchar_t *value)
{
    if (value != nullptr)
        return SetString(HKEY_LOCAL_MACHINE, SIM_REGISTRY_KEY, valueName, value);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SIM_REGISTRY_KEY, 0, KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
        return status;
    status = RegDeleteValueW(key, valueName);
    RegCloseKey(key);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LONG SimDeleteSettings()
{
    const LONG status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, SIM_REGISTRY_KEY);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

std::wstring SimDeviceDataKey(const SimDevice &device)
{
    return L"System\\CurrentControlSet\\Control\\Class\\" + device.internalName + L"\\DeviceData";
}

LONG SimWriteDeviceRegistry(const std::vector<SimDevice> &devices, std::string *log)
{
    LONG first = ERROR_SUCCESS;
    const auto note = [log, &first](LONG status, const std::string &what) {
        if (log != nullptr) {
            *log += what;
            if (status != ERROR_SUCCESS)
                *log += SimFormat(" failed (%ld)", status);
            *log += "\n";
        }
        if (first == ERROR_SUCCESS)
            first = status;
    };
    for (const SimDevice &device : devices) {
        if (!device.filingPath.empty()) {
            const std::wstring key = SimDeviceDataKey(device);
            note(SetString(HKEY_LOCAL_MACHINE, key, L"FilingPath", device.filingPath),
                 "HKLM\\" + SimNarrow(key) + " FilingPath = " + SimNarrow(device.filingPath));
        }
        if (device.hasUserPin && !device.userDataKey.empty()) {
            note(SetString(HKEY_CURRENT_USER, device.userDataKey, L"OrvUserPIN", device.userPin),
                 "HKCU\\" + SimNarrow(device.userDataKey) + " OrvUserPIN = " +
                     SimNarrow(device.userPin));
        }
    }
    return first;
}

void SimDeleteDeviceRegistry(const std::vector<SimDevice> &devices)
{
    for (const SimDevice &device : devices) {
        if (!device.filingPath.empty())
            DeleteValue(HKEY_LOCAL_MACHINE, SimDeviceDataKey(device), L"FilingPath");
        if (device.hasUserPin && !device.userDataKey.empty())
            DeleteValue(HKEY_CURRENT_USER, device.userDataKey, L"OrvUserPIN");
    }
}
