// The world's state: devices, injections, logs, violations and counters.
#include "sim_world.h"

#include "sim_device.h"
#include "sim_lock.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Logs stop growing here; a long benchmark must not eat the memory.
constexpr size_t LOG_LIMIT = 200000;

volatile LONG g_liveServices = 0;
volatile LONG g_liveDevices = 0;
volatile LONG g_addRefs = 0;
volatile LONG g_releases = 0;
void (*g_idleCallback)() = nullptr;
thread_local int t_callDepth = 0;

const char *CallName(SimCallKind kind)
{
    switch (kind) {
    case SimCallKind::CreateInstance: return "CreateInstance";
    case SimCallKind::Initialize: return "Initialize";
    case SimCallKind::GetLaunchInformation: return "GetLaunchInformation";
    case SimCallKind::GetDeviceList: return "GetDeviceList";
    case SimCallKind::GetDeviceInfo: return "GetDeviceInfo";
    case SimCallKind::CreateDevice: return "CreateDevice";
    case SimCallKind::GetDeviceValue: return "GetDeviceValue";
    case SimCallKind::LockDevice: return "Lock";
    case SimCallKind::UnLockDevice: return "Unlock";
    case SimCallKind::GetLastError: return "GetLastError";
    case SimCallKind::Escape: return "Escape";
    case SimCallKind::ReleaseService: return "ReleaseService";
    case SimCallKind::ReleaseDevice: return "ReleaseDevice";
    }
    return "?";
}

} // namespace

SimWorld &World()
{
    static SimWorld world;
    return world;
}

SimCallScope::SimCallScope()
{
    ++t_callDepth;
}

SimCallScope::~SimCallScope()
{
    --t_callDepth;
}

bool SimInsideCall()
{
    return t_callDepth > 0;
}

std::string SimNarrow(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], bytes,
                        nullptr, nullptr);
    return narrow;
}

std::string SimFormat(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    const int written = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (written < 0)
        return std::string();
    return std::string(text);
}

void SimObjectCreated(bool device)
{
    InterlockedIncrement(device ? &g_liveDevices : &g_liveServices);
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    if (device)
        ++world.devicesCreated;
    else
        ++world.servicesCreated;
}

void SimObjectDestroyed(bool device)
{
    InterlockedDecrement(device ? &g_liveDevices : &g_liveServices);
    if (g_liveDevices == 0 && g_liveServices == 0 && g_idleCallback != nullptr)
        g_idleCallback();
}

void SimCountAddRef()
{
    InterlockedIncrement(&g_addRefs);
}

void SimCountRelease()
{
    InterlockedIncrement(&g_releases);
}

void SimSetIdleCallback(void (*callback)())
{
    g_idleCallback = callback;
}

SimCounters SimGetCounters()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    SimCounters counters;
    counters.liveServices = g_liveServices;
    counters.liveDevices = g_liveDevices;
    counters.servicesCreated = world.servicesCreated;
    counters.devicesCreated = world.devicesCreated;
    counters.addRefs = g_addRefs;
    counters.releases = g_releases;
    return counters;
}

unsigned SimDeviceObjectId(IStiDevice *device)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    const auto found = world.liveDeviceObjects.find(device);
    return found == world.liveDeviceObjects.end() ? 0 : found->second;
}

size_t SimLogCall(SimCallKind kind, unsigned deviceObject, DWORD argument, HRESULT result)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    if (world.calls.size() >= LOG_LIMIT) {
        ++world.droppedCalls;
        return world.calls.size();
    }
    const size_t escapeIndex = kind == SimCallKind::Escape ? world.escapes.size() - 1 : 0;
    world.calls.push_back(SimCall{kind, deviceObject, argument, result, escapeIndex});
    return world.calls.size() - 1;
}

void SimLogEscape(const SimEscape &escape)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    if (world.escapes.size() >= LOG_LIMIT) {
        ++world.droppedCalls;
        return;
    }
    world.escapes.push_back(escape);
    SimLogCall(SimCallKind::Escape, escape.deviceObject, escape.code, escape.result);
}

void SimViolation(const std::string &text)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    world.violations.push_back(text);
    OutputDebugStringA(("sim violation: " + text + "\n").c_str());
}

bool SimMatchInjection(SimPoint point, DWORD escapeCode, LONG transferKind,
                       SimInjection *applies)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    bool found = false;
    for (SimInjectionState &state : world.injections) {
        const SimInjection &injection = state.injection;
        if (injection.point != point)
            continue;
        if (point == SimPoint::Escape) {
            if (injection.escapeCode != 0 && injection.escapeCode != escapeCode)
                continue;
            if (injection.transferKind != -1 &&
                (escapeCode != ESC_TRANSFER || injection.transferKind != transferKind))
                continue;
        }
        const unsigned call = ++state.seen;
        const unsigned first = injection.firstCall == 0 ? 1 : injection.firstCall;
        const bool inRange =
            call >= first && (injection.count == 0 || call < first + injection.count);
        if (inRange && !found) {
            *applies = injection;
            found = true;
        }
    }
    return found;
}

SimInjection SimFailCall(SimPoint point, HRESULT result)
{
    SimInjection injection;
    injection.point = point;
    injection.result = result;
    return injection;
}

SimInjection SimFailEscape(DWORD code, HRESULT result)
{
    SimInjection injection;
    injection.point = SimPoint::Escape;
    injection.escapeCode = code;
    injection.result = result;
    return injection;
}

void SimInject(const SimInjection &injection)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    world.injections.push_back(SimInjectionState{injection, 0});
}

void SimClearInjections()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    world.injections.clear();
}

void SimReset()
{
    SimReleaseAllLockHolds();
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    world.devices.clear();
    world.injections.clear();
    world.calls.clear();
    world.escapes.clear();
    world.droppedCalls = 0;
    world.violations.clear();
    world.settingsApplied.clear();
    world.pinsReceived.clear();
    world.registrations.clear();
    world.servicesCreated = 0;
    world.devicesCreated = 0;
    world.ledger.Reset();
    // Objects an earlier test left alive must not keep the next one from the device.
    for (const auto &live : world.liveDeviceObjects)
        static_cast<CSimStiDevice *>(live.first)->ForceUnlock();
    InterlockedExchange(&g_addRefs, 0);
    InterlockedExchange(&g_releases, 0);
}

void SimAddDevice(const SimDevice &device)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    world.devices.push_back(std::make_shared<SimDevice>(device));
}

std::shared_ptr<SimDevice> SimFindDeviceShared(const wchar_t *internalName)
{
    if (internalName == nullptr)
        return nullptr;
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    for (const auto &device : world.devices) {
        // STI compares device names without regard to case.
        if (lstrcmpiW(device->internalName.c_str(), internalName) == 0)
            return device;
    }
    return nullptr;
}

SimDevice *SimFindDevice(const wchar_t *internalName)
{
    return SimFindDeviceShared(internalName).get();
}

SimAccount *SimFindAccount(const wchar_t *internalName, const wchar_t *accountKey)
{
    SimDevice *device = SimFindDevice(internalName);
    if (device == nullptr || accountKey == nullptr)
        return nullptr;
    for (SimAccount &account : device->accounts) {
        if (account.key == accountKey)
            return &account;
    }
    return nullptr;
}

SimItem *SimFindItem(const wchar_t *internalName, const wchar_t *accountKey,
                     const wchar_t *itemName)
{
    SimAccount *account = SimFindAccount(internalName, accountKey);
    if (account == nullptr || itemName == nullptr)
        return nullptr;
    for (SimItem &item : account->items) {
        if (item.name == itemName)
            return &item;
    }
    return nullptr;
}

size_t SimDeviceCount()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.devices.size();
}

std::vector<SimCall> SimCalls()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.calls;
}

std::vector<SimEscape> SimEscapes()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.escapes;
}

size_t SimCountEscapes(DWORD code)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    size_t count = 0;
    for (const SimEscape &escape : world.escapes) {
        if (code == 0 || escape.code == code)
            ++count;
    }
    return count;
}

size_t SimCountCalls(SimCallKind kind)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    size_t count = 0;
    for (const SimCall &call : world.calls) {
        if (call.kind == kind)
            ++count;
    }
    return count;
}

std::string SimCallTrace(unsigned deviceObject)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    std::string trace;
    for (const SimCall &call : world.calls) {
        if (deviceObject != 0 && call.deviceObject != deviceObject)
            continue;
        if (!trace.empty())
            trace += ' ';
        trace += CallName(call.kind);
        if (call.kind == SimCallKind::Escape)
            trace += SimFormat(":%04lX", static_cast<unsigned long>(call.argument));
        if (FAILED(call.result))
            trace += '!';
    }
    return trace;
}

size_t SimCallCount()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.calls.size();
}

void SimClearLog()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    world.calls.clear();
    world.escapes.clear();
    world.droppedCalls = 0;
}

std::vector<SimAppliedSettings> SimSettingsApplied()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.settingsApplied;
}

std::vector<SimPinReceived> SimPinsReceived()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.pinsReceived;
}

std::vector<SimEventRegistration> SimEventRegistrations()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.registrations;
}

size_t SimSignalEvent(DWORD kind)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    size_t signalled = 0;
    for (const SimEventRegistration &registration : world.registrations) {
        if (registration.kind == kind && SetEvent(registration.event))
            ++signalled;
    }
    return signalled;
}

std::vector<SimBlockInfo> SimBlocks()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    std::vector<SimBlockInfo> blocks;
    for (const auto &arena : world.ledger.Arenas()) {
        blocks.push_back(SimBlockInfo{arena->kind, arena->owner, arena->root, arena->accountKey,
                                      arena->released});
    }
    return blocks;
}

size_t SimCountBlocks(SimBlockKind kind, bool released)
{
    size_t count = 0;
    for (const SimBlockInfo &block : SimBlocks()) {
        if (block.kind == kind && block.released == released)
            ++count;
    }
    return count;
}

void SimGuardReleasedMemory(bool guard)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> lock(world.mutex);
    world.ledger.ResetGuarded(guard);
}

bool SimIsReleasedMemory(const void *address)
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.ledger.IsReleased(address);
}

std::vector<std::string> SimViolations()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    return world.violations;
}

std::vector<std::string> SimTakeViolations()
{
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    std::vector<std::string> taken;
    taken.swap(world.violations);
    return taken;
}

std::string SimReportText()
{
    const SimCounters counters = SimGetCounters();
    SimWorld &world = World();
    std::lock_guard<std::recursive_mutex> guard(world.mutex);
    std::string report;
    report += SimFormat("services-alive %ld\r\n", static_cast<long>(counters.liveServices));
    report += SimFormat("devices-alive %ld\r\n", static_cast<long>(counters.liveDevices));
    report += SimFormat("services-created %ld\r\n", static_cast<long>(counters.servicesCreated));
    report += SimFormat("devices-created %ld\r\n", static_cast<long>(counters.devicesCreated));
    report += SimFormat("escapes %lu\r\n", static_cast<unsigned long>(world.escapes.size()));
    for (const std::string &violation : world.violations)
        report += "violation " + violation + "\r\n";
    for (const SimPinReceived &pin : world.pinsReceived)
        report += "pin " + SimNarrow(pin.accountKey) + " " + SimNarrow(pin.pin) + "\r\n";
    for (const SimAppliedSettings &applied : world.settingsApplied)
        report += "settings " + SimNarrow(applied.settingsName) + "\r\n";
    report += "trace " + SimCallTrace(0) + "\r\n";
    return report;
}
