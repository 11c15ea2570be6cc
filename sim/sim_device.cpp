#include "sim_device.h"

#include "sim_lock.h"
#include "sim_world.h"

#include <cstring>
#include <new>

CSimStiDevice *CSimStiDevice::Create(const std::shared_ptr<SimDevice> &device, DWORD mode)
{
    CSimStiDevice *object = new (std::nothrow) CSimStiDevice();
    if (object == nullptr)
        return nullptr;
    if (!object->m_lock.Open(device->internalName.c_str())) {
        delete object;
        return nullptr;
    }
    object->m_context.device = device;
    object->m_mode = mode;
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    object->m_context.deviceObject = world.nextDeviceObject++;
    world.liveDeviceObjects[object] = object->m_context.deviceObject;
    SimObjectCreated(true);
    return object;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::QueryInterface(REFIID iid, void **object) noexcept
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStiDevice)) {
        *object = static_cast<IStiDevice *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CSimStiDevice::AddRef() noexcept
{
    SimCountAddRef();
    return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
}

ULONG STDMETHODCALLTYPE CSimStiDevice::Release() noexcept
{
    SimCallScope scope;
    SimCountRelease();
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count != 0)
        return static_cast<ULONG>(count);
    {
        SimWorld &world = World();
        std::lock_guard<std::recursive_mutex> guard(world.mutex);
        if (m_lockDepth > 0) {
            SimViolation(SimFormat("device object %u: released while it held the device lock",
                                   m_context.deviceObject));
            m_lockDepth = 0;
            m_lock.Release();
        }
        SimDriverObjectReleased(m_context);
        world.liveDeviceObjects.erase(this);
        SimLogCall(SimCallKind::ReleaseDevice, m_context.deviceObject, 0, S_OK);
    }
    delete this;
    SimObjectDestroyed(true);
    return 0;
}

void CSimStiDevice::ForceUnlock()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    if (m_lockDepth > 0) {
        m_lockDepth = 0;
        m_lock.Release();
    }
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::Initialize(HINSTANCE, LPCWSTR, DWORD, DWORD) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::GetCapabilities(PSTI_DEV_CAPS) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::GetStatus(PSTI_DEVICE_STATUS) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::DeviceReset() noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::Diagnostic(LPSTI_DIAG) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::Escape(STI_RAW_CONTROL_CODE code, LPVOID in,
                                                DWORD inSize, LPVOID out, DWORD outSize,
                                                LPDWORD actual) noexcept
{
    SimCallScope scope;
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);

    SimEscape entry;
    entry.deviceObject = m_context.deviceObject;
    entry.code = code;
    entry.in = in;
    entry.inSize = inSize;
    entry.out = out;
    entry.outSize = outSize;
    entry.hasActual = actual != nullptr;
    entry.actualIn = actual != nullptr ? *actual : 0;
    // A guarded block handed back twice is no longer readable; the driver reports it below.
    if (in != nullptr && !(world.ledger.Guarded() && world.ledger.IsReleased(in))) {
        const DWORD copied = inSize < 64 ? inSize : 64;
        entry.inBytes.assign(static_cast<const BYTE *>(in), static_cast<const BYTE *>(in) + copied);
    }
    entry.locked = m_lockDepth > 0;
    if (!entry.locked)
        SimViolation(SimFormat("device object %u: %s sent outside the device lock",
                               m_context.deviceObject, SimEscapeName(code)));
    SimDriverCheckProtocol(m_context, code, in, inSize, out, outSize, actual);

    LONG kind = -1;
    if (code == ESC_TRANSFER && in != nullptr && inSize >= sizeof(TransferRequest))
        kind = static_cast<const TransferRequest *>(in)->kind;
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::Escape, code, kind, &scripted) ? &scripted : nullptr;
    HRESULT hr;
    if (injection != nullptr && !injection->perform) {
        hr = injection->result;
    } else {
        hr = SimDriverEscape(m_context, code, in, inSize, out, outSize, actual, &entry.text);
        if (injection != nullptr)
            hr = injection->result;
    }
    if (injection != nullptr && injection->setActual && actual != nullptr)
        *actual = injection->actual;

    m_lastError = FAILED(hr) ? static_cast<DWORD>(HRESULT_CODE(hr)) : 0;
    entry.actualOut = actual != nullptr ? *actual : 0;
    entry.result = hr;
    SimLogEscape(entry);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::GetLastError(LPDWORD lastError) noexcept
{
    SimCallScope scope;
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::GetLastError, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    if (lastError == nullptr)
        hr = E_POINTER;
    else if (injection != nullptr && injection->setActual)
        *lastError = injection->actual;
    else if (injection == nullptr || injection->perform)
        *lastError = m_lastError;
    if (injection != nullptr)
        hr = injection->result;
    SimLogCall(SimCallKind::GetLastError, m_context.deviceObject, 0, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::LockDevice(DWORD timeout) noexcept
{
    SimCallScope scope;
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::LockDevice, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    if (injection == nullptr || injection->perform) {
        bool nested = false;
        {
            SimWorld &world = World();
            std::lock_guard<std::recursive_mutex> guard(world.mutex);
            if (m_lockDepth > 0) {
                ++m_lockDepth;
                nested = true;
            }
        }
        if (!nested) {
            // Waits outside the world's lock: the holder may need it to let go.
            if (m_lock.Acquire(timeout)) {
                SimWorld &world = World();
                std::lock_guard<std::recursive_mutex> guard(world.mutex);
                m_lockDepth = 1;
            } else {
                hr = STIERR_DEVICE_LOCKED;
                m_lastError = ERROR_LOCK_VIOLATION;
            }
        }
    }
    if (injection != nullptr)
        hr = injection->result;
    SimLogCall(SimCallKind::LockDevice, m_context.deviceObject, timeout, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::UnLockDevice() noexcept
{
    SimCallScope scope;
    SimInjection scripted;
    const SimInjection *injection =
        SimMatchInjection(SimPoint::UnLockDevice, 0, -1, &scripted) ? &scripted : nullptr;
    HRESULT hr = S_OK;
    if (injection == nullptr || injection->perform) {
        SimWorld &world = World();
        std::lock_guard<std::recursive_mutex> guard(world.mutex);
        if (m_lockDepth == 0) {
            hr = STIERR_NEEDS_LOCK;
        } else if (--m_lockDepth == 0) {
            m_lock.Release();
        }
    }
    if (injection != nullptr)
        hr = injection->result;
    SimLogCall(SimCallKind::UnLockDevice, m_context.deviceObject, 0, hr);
    return hr;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::RawReadData(LPVOID, LPDWORD, LPOVERLAPPED) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::RawWriteData(LPVOID, DWORD, LPOVERLAPPED) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::Subscribe(LPSTISUBSCRIBE) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::GetLastNotificationData(LPSTINOTIFY) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::UnSubscribe() noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CSimStiDevice::GetLastErrorInfo(STI_ERROR_INFO *) noexcept
{
    return E_NOTIMPL;
}
