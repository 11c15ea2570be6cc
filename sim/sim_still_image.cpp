#include "sim_still_image.h"

#include "sim_device.h"
#include "sim_world.h"

#include <cstring>
#include <new>

namespace {

// The event a scan button raises (WIA_EVENT_SCAN_IMAGE), reported as the launch event.
const wchar_t LAUNCH_EVENT_NAME[] = L"{A6C5A715-8C6E-11D2-977A-0000F87A926F}";

size_t StringBytes(const std::wstring &text)
{
    return (text.size() + 1) * sizeof(wchar_t);
}

size_t RecordStringBytes(const SimDevice &device)
{
    return StringBytes(device.vendor) + StringBytes(device.description) +
           StringBytes(device.portName) + StringBytes(device.propProvider) +
           StringBytes(device.localName);
}

wchar_t *PlaceString(wchar_t *&strings, const std::wstring &text)
{
    wchar_t *placed = strings;
    memcpy(placed, text.c_str(), StringBytes(text));
    strings += text.size() + 1;
    return placed;
}

// One record, its strings placed at `strings` inside the same block.
void FillRecord(STI_DEVICE_INFORMATIONW *record, const SimDevice &device, wchar_t *&strings)
{
    record->dwSize = sizeof(STI_DEVICE_INFORMATIONW);
    record->DeviceType = device.deviceType;
    const size_t chars = device.internalName.size() < STI_MAX_INTERNAL_NAME_LENGTH - 1
                             ? device.internalName.size()
                             : STI_MAX_INTERNAL_NAME_LENGTH - 1;
    memcpy(record->szDeviceInternalName, device.internalName.c_str(), chars * sizeof(wchar_t));
    record->szDeviceInternalName[chars] = L'\0';
    record->DeviceCapabilities.dwGeneric = STI_GENCAP_NOTIFICATIONS;
    record->dwHardwareConfiguration = STI_HW_CONFIG_USB;
    record->pszVendorDescription = PlaceString(strings, device.vendor);
    record->pszDeviceDescription = PlaceString(strings, device.description);
    record->pszPortName = PlaceString(strings, device.portName);
    record->pszPropProvider = PlaceString(strings, device.propProvider);
    record->pszLocalName = PlaceString(strings, device.localName);
}

// Runs the injection for a service call: true when the call's own work is to be skipped.
bool Skip(const SimInjection *injection)
{
    return injection != nullptr && !injection->perform;
}

HRESULT Answer(const SimInjection *injection, HRESULT own)
{
    return injection != nullptr ? injection->result : own;
}

} // namespace

CSimStillImage *CSimStillImage::Create()
{
    CSimStillImage *object = new (std::nothrow) CSimStillImage();
    if (object != nullptr)
        SimObjectCreated(false);
    return object;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::QueryInterface(REFIID iid, void **object) noexcept
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStillImageW)) {
        *object = static_cast<IStillImageW *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CSimStillImage::AddRef() noexcept
{
    SimCountAddRef();
    return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
}

ULONG STDMETHODCALLTYPE CSimStillImage::Release() noexcept
{
    SimCallScope scope;
    SimCountRelease();
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count != 0)
        return static_cast<ULONG>(count);
    SimLogCall(SimCallKind::ReleaseService, 0, 0, S_OK);
    delete this;
    SimObjectDestroyed(false);
    return 0;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::Initialize(HINSTANCE, DWORD version) noexcept
{
    SimCallScope scope;
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::Initialize, 0, -1, &scripted) ? &scripted : nullptr;
    const HRESULT hr = Answer(injection, S_OK);
    SimLogCall(SimCallKind::Initialize, 0, version, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::GetDeviceList(DWORD type, DWORD, DWORD *count,
                                                        LPVOID *buffer) noexcept
{
    SimCallScope scope;
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::GetDeviceList, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    if (!Skip(injection)) {
        if (count == nullptr || buffer == nullptr) {
            hr = E_POINTER;
        } else {
            std::vector<const SimDevice *> listed;
            size_t bytes = 0;
            for (const auto &device : world.devices) {
                if (type != static_cast<DWORD>(StiDeviceTypeDefault) &&
                    GET_STIDEVICE_TYPE(device->deviceType) != type)
                    continue;
                listed.push_back(device.get());
                bytes += sizeof(STI_DEVICE_INFORMATIONW) + RecordStringBytes(*device);
            }
            // One block from LocalAlloc: the records, then their strings.
            BYTE *block = static_cast<BYTE *>(LocalAlloc(LPTR, bytes == 0 ? 1 : bytes));
            if (block == nullptr) {
                hr = E_OUTOFMEMORY;
            } else {
                STI_DEVICE_INFORMATIONW *records =
                    reinterpret_cast<STI_DEVICE_INFORMATIONW *>(block);
                wchar_t *strings = reinterpret_cast<wchar_t *>(block + listed.size() *
                                                               sizeof(STI_DEVICE_INFORMATIONW));
                for (size_t i = 0; i < listed.size(); ++i)
                    FillRecord(&records[i], *listed[i], strings);
                *count = static_cast<DWORD>(listed.size());
                *buffer = block;
            }
        }
    }
    hr = Answer(injection, hr);
    SimLogCall(SimCallKind::GetDeviceList, 0, type, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::GetDeviceInfo(LPWSTR deviceName, LPVOID *buffer) noexcept
{
    SimCallScope scope;
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::GetDeviceInfo, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    if (!Skip(injection)) {
        const std::shared_ptr<SimDevice> device = SimFindDeviceShared(deviceName);
        if (buffer == nullptr) {
            hr = E_POINTER;
        } else if (device == nullptr) {
            hr = STIERR_INVALID_DEVICE_NAME;
        } else {
            const size_t bytes = sizeof(STI_DEVICE_INFORMATIONW) + RecordStringBytes(*device);
            BYTE *block = static_cast<BYTE *>(LocalAlloc(LPTR, bytes));
            if (block == nullptr) {
                hr = E_OUTOFMEMORY;
            } else {
                wchar_t *strings =
                    reinterpret_cast<wchar_t *>(block + sizeof(STI_DEVICE_INFORMATIONW));
                FillRecord(reinterpret_cast<STI_DEVICE_INFORMATIONW *>(block), *device, strings);
                *buffer = block;
            }
        }
    }
    hr = Answer(injection, hr);
    SimLogCall(SimCallKind::GetDeviceInfo, 0, 0, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::CreateDevice(LPWSTR deviceName, DWORD mode,
                                                       PSTIDEVICE *device, LPUNKNOWN outer) noexcept
{
    SimCallScope scope;
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::CreateDevice, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    unsigned id = 0;
    if (!Skip(injection)) {
        const std::shared_ptr<SimDevice> found = SimFindDeviceShared(deviceName);
        if (device == nullptr) {
            hr = E_POINTER;
        } else if (outer != nullptr) {
            hr = CLASS_E_NOAGGREGATION;
        } else if (found == nullptr) {
            hr = STIERR_INVALID_DEVICE_NAME;
        } else {
            CSimStiDevice *object = CSimStiDevice::Create(found, mode);
            if (object == nullptr) {
                hr = E_OUTOFMEMORY;
            } else {
                id = object->Id();
                *device = object;
            }
        }
    }
    hr = Answer(injection, hr);
    SimLogCall(SimCallKind::CreateDevice, id, mode, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::GetDeviceValue(LPWSTR deviceName, LPWSTR valueName,
                                                         LPDWORD type, LPBYTE data,
                                                         LPDWORD dataSize) noexcept
{
    SimCallScope scope;
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::GetDeviceValue, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    if (!Skip(injection)) {
        const std::shared_ptr<SimDevice> device = SimFindDeviceShared(deviceName);
        const std::wstring *value = nullptr;
        if (device != nullptr && valueName != nullptr) {
            if (lstrcmpiW(valueName, L"UserDataKey") == 0 && !device->userDataKey.empty())
                value = &device->userDataKey;
            for (const auto &entry : device->values) {
                if (lstrcmpiW(entry.first.c_str(), valueName) == 0)
                    value = &entry.second;
            }
        }
        if (dataSize == nullptr || valueName == nullptr) {
            hr = E_INVALIDARG;
        } else if (device == nullptr) {
            hr = STIERR_INVALID_DEVICE_NAME;
        } else if (value == nullptr) {
            hr = STIERR_OBJECTNOTFOUND;
        } else {
            const bool unterminated =
                value == &device->userDataKey && device->faults.unterminatedUserDataKey;
            const DWORD needed =
                static_cast<DWORD>(StringBytes(*value) - (unterminated ? sizeof(wchar_t) : 0));
            if (type != nullptr)
                *type = REG_SZ;
            if (data == nullptr || *dataSize < needed) {
                hr = HRESULT_FROM_WIN32(ERROR_MORE_DATA);
            } else {
                memcpy(data, value->c_str(), needed);
            }
            *dataSize = needed;
        }
    }
    hr = Answer(injection, hr);
    SimLogCall(SimCallKind::GetDeviceValue, 0, 0, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::SetDeviceValue(LPWSTR, LPWSTR, DWORD, LPBYTE,
                                                         DWORD) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::GetSTILaunchInformation(LPWSTR deviceName,
                                                                  DWORD *eventCode,
                                                                  LPWSTR eventName) noexcept
{
    SimCallScope scope;
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::GetLaunchInformation, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = STIERR_NOEVENTS;
    if (!Skip(injection)) {
        for (const auto &device : world.devices) {
            if (!device->launch)
                continue;
            if (deviceName == nullptr) {
                hr = E_POINTER;
                break;
            }
            const size_t chars = device->internalName.size() < STI_MAX_INTERNAL_NAME_LENGTH - 1
                                     ? device->internalName.size()
                                     : STI_MAX_INTERNAL_NAME_LENGTH - 1;
            memcpy(deviceName, device->internalName.c_str(), chars * sizeof(wchar_t));
            deviceName[chars] = L'\0';
            if (eventCode != nullptr)
                *eventCode = 0;
            if (eventName != nullptr)
                memcpy(eventName, LAUNCH_EVENT_NAME, sizeof(LAUNCH_EVENT_NAME));
            hr = S_OK;
            break;
        }
    }
    hr = Answer(injection, hr);
    SimLogCall(SimCallKind::GetLaunchInformation, 0, 0, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::RegisterLaunchApplication(LPWSTR, LPWSTR) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::UnregisterLaunchApplication(LPWSTR) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::EnableHwNotifications(LPCWSTR, BOOL) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::GetHwNotificationState(LPCWSTR, BOOL *) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::RefreshDeviceBus(LPCWSTR) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::LaunchApplicationForDevice(LPWSTR, LPWSTR,
                                                                     LPSTINOTIFY) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStillImage::WriteToErrorLog(DWORD, LPCWSTR) noexcept
{
    return E_NOTIMPL;
}

HRESULT WINAPI SimStiCreateInstance(HINSTANCE, DWORD version, IStillImageW **out,
                                    IUnknown *outer)
{
    SimCallScope scope;
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::CreateInstance, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    if (!Skip(injection)) {
        if (out == nullptr) {
            hr = E_POINTER;
        } else if (outer != nullptr) {
            hr = CLASS_E_NOAGGREGATION;
        } else if ((version & STI_VERSION_FLAG_UNICODE) == 0) {
            // Only the Unicode interface is served.
            hr = STIERR_OLD_VERSION;
        } else {
            CSimStillImage *object = CSimStillImage::Create();
            if (object == nullptr)
                hr = E_OUTOFMEMORY;
            else
                *out = object;
        }
    }
    hr = Answer(injection, hr);
    SimLogCall(SimCallKind::CreateInstance, 0, version, hr);
    return hr;
}
