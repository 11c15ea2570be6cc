// Device discovery, selection and closing.
#include "bridge.h"

#include "bounded_string.h"
#include "diagnostics.h"
#include "escape.h"
#include "hresult_values.h"
#include "owners.h"

#include <shlwapi.h>

#include <utility>

namespace {

// The Unicode interface of the STI service.
constexpr DWORD STI_UNICODE_VERSION = STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE;

// Descriptions that name the WIA driver of a model: that device is never chosen.
const wchar_t *const WIA_MODELS[] = {
    L"Orvane Quillon 4410MFP WIA",
    L"Orvane Quillon 4420MFP WIA",
    L"Orvane Quillon 2230MFP WIA",
    L"Orvane DeskHub/Pro WIA Scanner",
    L"Orvane Chromet 7101/7102/7103 WIA Scanner",
};

// Descriptions of the devices the bridge serves, with their model family.
struct TwainModel
{
    const wchar_t *text;
    LONG family;
};
const TwainModel TWAIN_MODELS[] = {
    {L"Orvane Quillon 4410MFP TWAIN", 2},
    {L"Orvane Quillon 4420MFP TWAIN", 2},
    {L"Orvane Quillon 2230MFP TWAIN", 0},
    {L"Orvane Chromet 7101/7102/7103 TWAIN Scanner", 0},
    {L"Orvane DeskHub/Pro TWAIN Scanner", 0},
};

bool IsWiaModel(const wchar_t *description)
{
    for (const wchar_t *model : WIA_MODELS) {
        if (StrStrIW(TextOrEmpty(description), model) != nullptr)
            return true;
    }
    return false;
}

const TwainModel *FindTwainModel(const wchar_t *description)
{
    for (const TwainModel &model : TWAIN_MODELS) {
        if (StrStrIW(TextOrEmpty(description), model.text) != nullptr)
            return &model;
    }
    return nullptr;
}

// Family of a chosen device: 2 for the first two TWAIN models, 0 for any other device.
LONG FamilyOfChosenDevice(const wchar_t *description)
{
    const TwainModel *model = FindTwainModel(description);
    return model != nullptr && model->family == 2 ? 2 : 0;
}

} // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::CreateStillImage()
{
    IStillImageW *stillImage = nullptr;
    const HRESULT hr =
        LogStep("StiCreateInstanceW",
                m_stiFactory(GetModuleHandleW(nullptr), STI_UNICODE_VERSION, &stillImage, nullptr));
    if (stillImage != nullptr) {
        ReleaseAndClear(m_stillImage);
        m_stillImage = stillImage;
    }
    return hr;
}

HRESULT CStiScannerComBridge::EnsureEventNameBlock()
{
    if (m_eventName != nullptr)
        return S_OK;
    // A block that cannot be locked goes straight back.
    UniqueHGlobal block(GlobalAlloc(GHND, NAME_BYTES));
    auto *name = block ? static_cast<wchar_t *>(GlobalLock(block.get())) : nullptr;
    if (name == nullptr)
        return E_OUTOFMEMORY;
    m_eventNameMem = block.release();
    m_eventName = name;
    return S_OK;
}

HRESULT CStiScannerComBridge::ReadLaunchDevice(wchar_t (&deviceName)[STI_MAX_INTERNAL_NAME_LENGTH])
{
    DWORD eventCode = 0;
    const HRESULT hr = m_stillImage->GetSTILaunchInformation(deviceName, &eventCode, m_eventName);
    deviceName[STI_MAX_INTERNAL_NAME_LENGTH - 1] = L'\0';
    return hr;
}

HRESULT CStiScannerComBridge::ChooseDevice(const wchar_t *internalName)
{
    void *info = nullptr;
    const HRESULT hr = LogStep(
        "GetDeviceInfo", m_stillImage->GetDeviceInfo(const_cast<wchar_t *>(internalName), &info));
    UniqueHLocal infoOwner(info);
    // The earlier device goes whatever the outcome: a failed discovery must never leave it to be
    // opened in place of the device asked for.
    if (m_deviceInfo != nullptr)
        LocalFree(std::exchange(m_deviceInfo, nullptr));
    if (SUCCEEDED(hr))
        m_deviceInfo = static_cast<STI_DEVICE_INFORMATIONW *>(infoOwner.release());
    return hr;
}

bool CStiScannerComBridge::CreateDeviceObject(HRESULT *result)
{
    // Created into a local, so a failure shows even while an earlier object is held.
    IStiDevice *device = nullptr;
    *result = LogStep("CreateDevice",
                      m_stillImage->CreateDevice(m_deviceInfo->szDeviceInternalName,
                                                 STI_DEVICE_CREATE_STATUS, &device, nullptr));
    if (device == nullptr)
        return false;
    // Blocks of the old device object go back through that object before it goes.
    ReleaseDeviceObject(false);
    m_stiDevice = device;
    return true;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::OpenLaunchDevice()
{
    if (m_stillImage == nullptr)
        return E_FAIL;
    HRESULT hr = EnsureEventNameBlock();
    if (FAILED(hr))
        return hr;

    wchar_t launchDevice[STI_MAX_INTERNAL_NAME_LENGTH] = {};
    if (SUCCEEDED(ReadLaunchDevice(launchDevice))) {
        hr = ChooseDevice(launchDevice);
        m_deviceOpen = 1;
    } else {
        DWORD count = 0;
        void *list = nullptr;
        hr = LogStep("GetDeviceList", m_stillImage->GetDeviceList(
                                          StiDeviceTypeDefault, STIEDFL_ALLDEVICES, &count, &list));
        // Owned before the result is looked at: a list that came with a failure is freed too.
        UniqueHLocal listOwner(list);
        if (FAILED(hr))
            return hr;
        if (list == nullptr)
            return E_FAIL;
        const auto *devices = static_cast<const STI_DEVICE_INFORMATIONW *>(list);
        for (DWORD i = 0; i < count; ++i) {
            const wchar_t *description = devices[i].pszDeviceDescription;
            const TwainModel *model = IsWiaModel(description) ? nullptr
                                                              : FindTwainModel(description);
            if (model == nullptr) {
                m_modelFamily = -1;
                continue;
            }
            hr = ChooseDevice(devices[i].szDeviceInternalName);
            m_modelFamily = model->family;
            m_deviceOpen = 1;
            break;
        }
    }

    if (m_deviceOpen != 0 && m_deviceInfo != nullptr)
        CreateDeviceObject(&hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::EnumerateDevices(LONG *nameCount, BSTR *nameList)
{
    if (nameCount == nullptr || nameList == nullptr || m_stillImage == nullptr)
        return E_FAIL;
    *nameList = nullptr;
    HRESULT hr = EnsureEventNameBlock();
    if (FAILED(hr))
        return hr;

    wchar_t launchDevice[STI_MAX_INTERNAL_NAME_LENGTH] = {};
    if (SUCCEEDED(ReadLaunchDevice(launchDevice))) {
        *nameCount = 1;
        hr = ChooseDevice(launchDevice);
        if (SUCCEEDED(hr))
            m_deviceOpen = 1;
        return hr;
    }

    DWORD count = 0;
    void *list = nullptr;
    hr = LogStep("GetDeviceList", m_stillImage->GetDeviceList(StiDeviceTypeDefault,
                                                              STIEDFL_ALLDEVICES, &count, &list));
    UniqueHLocal listOwner(list);
    // A new listing replaces the earlier one whatever its outcome: a failed one leaves no list
    // for SelectDevice to choose from.
    if (m_deviceList != nullptr)
        LocalFree(std::exchange(m_deviceList, nullptr));
    m_deviceCount = 0;
    if (FAILED(hr))
        return hr;
    if (list == nullptr)
        return E_FAIL;
    m_deviceList = static_cast<STI_DEVICE_INFORMATIONW *>(listOwner.release());
    m_deviceCount = count;

    const LONG wanted = *nameCount;
    m_modelFamily = -1;
    wchar_t names[NAME_CHARS] = {};
    LONG listed = 0;
    DWORD chosen = 0;
    for (DWORD i = 0; i < m_deviceCount; ++i) {
        const STI_DEVICE_INFORMATIONW &device = m_deviceList[i];
        if (IsWiaModel(device.pszDeviceDescription))
            continue;
        const TwainModel *model = FindTwainModel(device.pszDeviceDescription);
        if (model == nullptr) {
            m_modelFamily = -1;
            continue;
        }
        m_modelFamily = model->family;
        BoundedCat(names, TextOrEmpty(device.pszLocalName));
        hr = BoundedCat(names, L";");
        ++listed;
        chosen = i;
        if (listed == wanted)
            break;
    }

    *nameList = SysAllocString(names);
    if (*nameList == nullptr)
        return E_OUTOFMEMORY;
    *nameCount = listed;
    if (listed != 1)
        return hr;
    hr = ChooseDevice(m_deviceList[chosen].szDeviceInternalName);
    if (SUCCEEDED(hr))
        m_deviceOpen = 1;
    return hr;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SelectDevice(const WCHAR *localName, LONG *family)
{
    if (m_deviceOpen != 0)
        return S_OK;
    if (m_stillImage == nullptr || m_deviceList == nullptr || localName == nullptr)
        return E_FAIL;

    HRESULT hr = S_OK;
    for (DWORD i = 0; i < m_deviceCount; ++i) {
        const STI_DEVICE_INFORMATIONW &device = m_deviceList[i];
        if (StrCmpW(TextOrEmpty(device.pszLocalName), localName) != 0)
            continue;
        m_modelFamily = FamilyOfChosenDevice(device.pszDeviceDescription);
        hr = ChooseDevice(device.szDeviceInternalName);
        if (SUCCEEDED(hr))
            m_deviceOpen = 1;
        break;
    }
    LocalFree(m_deviceList);
    m_deviceList = nullptr;

    if (family != nullptr)
        *family = m_modelFamily;
    return hr;
}

ULONG CStiScannerComBridge::ReleaseDeviceObject(bool closing)
{
    if (m_stiDevice == nullptr)
        return 0;
    // The driver's blocks go back through the device object that produced them; each request
    // finds for itself whether its block is held.
    FreeScanSettings();
    FreeItemList();
    FreeCapabilities();
    // Closing ends the settings phase as CloseDevice always does; an object being replaced is
    // told only of a phase that was begun on it.
    if (closing || m_settingsPhaseOpen)
        EndSettings();
    if (DriverHoldsEvents())
        UnregisterEvents();
    const ULONG count = ReleaseAndClear(m_stiDevice);
    // Whatever the driver refused to take back went with its device object: a list or block
    // of that object must never be read or handed back through the next one.
    m_scanSettings = nullptr;
    m_capabilities = nullptr;
    m_account = nullptr;
    ReleaseItemListHeader();
    m_settingsPhaseOpen = false;
    if (DriverHoldsEvents())
        AbandonEventHandles();
    return count;
}

HRESULT CStiScannerComBridge::ReleaseAll()
{
    HRESULT result = S_OK;
    if (m_stiDevice != nullptr)
        result = static_cast<HRESULT>(ReleaseDeviceObject(true));

    if (m_deviceInfo != nullptr)
        LocalFree(std::exchange(m_deviceInfo, nullptr));
    for (wchar_t **buffer : {&m_settingsPrefix, &m_settingsName, &m_accountKey}) {
        if (*buffer != nullptr)
            GlobalFree(std::exchange(*buffer, nullptr));
    }
    if (m_eventName != nullptr) {
        GlobalUnlock(m_eventNameMem);
        GlobalFree(std::exchange(m_eventNameMem, nullptr));
        m_eventName = nullptr;
    }
    if (m_deviceList != nullptr)
        LocalFree(std::exchange(m_deviceList, nullptr));
    if (m_stillImage != nullptr)
        result = static_cast<HRESULT>(ReleaseAndClear(m_stillImage));
    ReleaseItemListHeader();
    if (m_driverValue != nullptr)
        GlobalFree(std::exchange(m_driverValue, nullptr));
    ReleaseSelection();
    if (m_imageInfo != nullptr)
        GlobalFree(std::exchange(m_imageInfo, nullptr));
    if (m_userKey != nullptr)
        RegCloseKey(std::exchange(m_userKey, nullptr));
    CloseEventHandles();
    return result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::CloseDevice()
{
    return ReleaseAll();
}
