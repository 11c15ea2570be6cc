#include "module_state.h"

#include "bridge.h"
#include "class_factory.h"
#include "class_ids.h"

#include <new>

ModuleState g_module = {};

ClassRegistration g_classTable[] = {
    {&CLSID_StiScannerComBridge, &CStiScannerComBridge::Create,
     "tavrk twain x64 stiscanner com bridge", "tavrk.twain.CStiScannerComBridge.1",
     "tavrk.twain.CStiScannerComBridge", nullptr, 0},
};
const size_t g_classTableSize = ARRAYSIZE(g_classTable);

namespace {

void PostQuit()
{
    PostThreadMessageW(g_module.mainThreadId, WM_QUIT, 0, 0);
}

} // namespace

void QuitTestObjectReleased()
{
    if (InterlockedDecrement(&g_module.objectCount) == 0 && g_module.lockCount <= 0)
        PostQuit();
}

void QuitTestLockChanged(BOOL lock)
{
    if (lock)
        InterlockedIncrement(&g_module.lockCount);
    else
        InterlockedDecrement(&g_module.lockCount);
    if (g_module.objectCount == 0 && g_module.lockCount <= 0)
        PostQuit();
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
