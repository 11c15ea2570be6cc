#include "module_state.h"

#include "bridge.h"
#include "class_factory.h"
#include "class_ids.h"
#include "diagnostics.h"

#include <new>

ModuleState g_module = {};

ClassRegistration g_classTable[] = {
    {&CLSID_StiScannerComBridge, &CStiScannerComBridge::Create,
     "tavrk twain x64 stiscanner com bridge", "tavrk.twain.CStiScannerComBridge.1",
     "tavrk.twain.CStiScannerComBridge", nullptr, 0},
};
const size_t g_classTableSize = ARRAYSIZE(g_classTable);

namespace {

bool NothingAlive()
{
    return g_module.objectCount == 0 && g_module.lockCount <= 0;
}

} // namespace

void StartGrace()
{
    g_module.graceStart = GetTickCount();
    InterlockedExchange(&g_module.graceRunning, 1);
    // Wakes the loop, which then waits for the grace (the test may run on another thread).
    PostThreadMessageW(g_module.mainThreadId, WM_NULL, 0, 0);
}

void QuitTestObjectReleased()
{
    if (InterlockedDecrement(&g_module.objectCount) == 0 && g_module.lockCount <= 0)
        StartGrace();
}

void QuitTestLockChanged(BOOL lock)
{
    if (lock)
        InterlockedIncrement(&g_module.lockCount);
    else
        InterlockedDecrement(&g_module.lockCount);
    if (NothingAlive())
        StartGrace();
}

DWORD GraceRemaining()
{
    if (g_module.graceRunning == 0)
        return INFINITE;
    const DWORD elapsed = GetTickCount() - g_module.graceStart;
    return elapsed >= BRIDGE_SHUTDOWN_GRACE_MS ? 0 : BRIDGE_SHUTDOWN_GRACE_MS - elapsed;
}

bool StopWhenIdle()
{
    InterlockedExchange(&g_module.graceRunning, 0);
    if (!NothingAlive())
        return false;
    // Refused from here on: a request that COM still delivers while the class object is being
    // revoked gets CO_E_SERVER_STOPPING, on which COM starts a fresh server.
    InterlockedExchange(&g_module.stopping, 1);
    RevokeClassObjects();
    // Revoking may have served a lock that came in meanwhile: its holder is served to the end.
    return NothingAlive();
}

bool RegisterClassObjects()
{
    for (size_t i = 0; i < g_classTableSize; ++i) {
        ClassRegistration &entry = g_classTable[i];
        entry.factory = nullptr;
        entry.registrationCookie = 0;

        CClassFactory *factory = new (std::nothrow) CClassFactory(&entry);
        if (factory == nullptr)
            return false;

        DWORD cookie = 0;
        const HRESULT hr = CoRegisterClassObject(*entry.classId, static_cast<IClassFactory *>(factory),
                                                 CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
        if (FAILED(hr)) {
            if (LogEnabled(LogLevel::Errors))
                LogLine("CoRegisterClassObject -> %s", DescribeHresult(hr).c_str());
            factory->Release();
            return false;
        }
        entry.factory = factory;
        entry.registrationCookie = cookie;
    }
    return true;
}

void RevokeClassObjects()
{
    for (size_t i = 0; i < g_classTableSize; ++i) {
        ClassRegistration &entry = g_classTable[i];
        if (entry.registrationCookie != 0)
            CoRevokeClassObject(entry.registrationCookie);
        if (entry.factory != nullptr)
            entry.factory->Release();
        entry.factory = nullptr;
        entry.registrationCookie = 0;
    }
}
