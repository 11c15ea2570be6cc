// State shared by the parts of the simulation: the devices, the logs, the injections and the
// ledger, all behind one lock.
#pragma once

#include "sim_ledger.h"
#include "sim_sti.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SimInjectionState
{
    SimInjection injection;
    unsigned seen;             // matching calls so far
};

struct SimLockHold;

struct SimWorld
{
    std::recursive_mutex mutex;
    std::vector<std::shared_ptr<SimDevice>> devices;
    std::vector<SimInjectionState> injections;
    std::vector<SimCall> calls;
    std::vector<SimEscape> escapes;
    size_t droppedCalls = 0;
    std::vector<std::string> violations;
    std::vector<SimAppliedSettings> settingsApplied;
    std::vector<SimPinReceived> pinsReceived;
    std::vector<SimEventRegistration> registrations;
    DWORD nextCookie = 1001;
    unsigned nextDeviceObject = 1;
    LONG servicesCreated = 0;
    LONG devicesCreated = 0;
    SimLedger ledger;
    std::vector<SimLockHold *> holds;
    std::map<IStiDevice *, unsigned> liveDeviceObjects;
    unsigned nextHold = 1;
};

SimWorld &World();

// Marks this thread as inside a call of the simulated service or device object (SimInsideCall).
class SimCallScope
{
public:
    SimCallScope();
    ~SimCallScope();
    SimCallScope(const SimCallScope &) = delete;
    SimCallScope &operator=(const SimCallScope &) = delete;
};

// Objects alive now; kept apart from the world since SimReset does not touch them.
void SimObjectCreated(bool device);
void SimObjectDestroyed(bool device);
void SimCountAddRef();
void SimCountRelease();

// Appends to the call log (the world's lock held); returns the entry's index.
size_t SimLogCall(SimCallKind kind, unsigned deviceObject, DWORD argument, HRESULT result);
// Appends an escape to both logs.
void SimLogEscape(const SimEscape &escape);
void SimViolation(const std::string &text);

// Counts the call for every injection of its kind; true with a copy of the first that applies.
bool SimMatchInjection(SimPoint point, DWORD escapeCode, LONG transferKind,
                       SimInjection *applies);

std::shared_ptr<SimDevice> SimFindDeviceShared(const wchar_t *internalName);

// Narrow text of a wide string for violation texts and reports.
std::string SimNarrow(const std::wstring &text);
std::string SimFormat(const char *format, ...);
