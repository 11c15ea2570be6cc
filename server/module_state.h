// Process-wide state of the server and the table of the classes it publishes.
#pragma once

#include <windows.h>
#include <objbase.h>

class CUnknown;
class CClassFactory;

struct ModuleState
{
    volatile LONG objectCount;   // live CUnknown objects
    volatile LONG lockCount;     // net IClassFactory::LockServer locks
    DWORD mainThreadId;          // target of the quit message
    HINSTANCE moduleInstance;    // the executable's own module
};

extern ModuleState g_module;

using CreateFunction = HRESULT (*)(IUnknown *outer, CUnknown **object);

struct ClassRegistration
{
    const CLSID *classId;
    CreateFunction create;
    const char *description;
    const char *progId;
    const char *versionIndependentProgId;
    CClassFactory *factory;        // set while the class object is registered
    DWORD registrationCookie;
};

extern ClassRegistration g_classTable[];
extern const size_t g_classTableSize;

// Quit tests: WM_QUIT goes to the main thread once no object is alive and no lock is held.
void QuitTestObjectReleased();
void QuitTestLockChanged(BOOL lock);

// Registers the class object of every table entry; false at the first failure.
bool RegisterClassObjects();

// Revokes and releases what RegisterClassObjects registered.
void RevokeClassObjects();
