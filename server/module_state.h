// Process-wide state of the server and the table of the classes it publishes.
#pragma once

#include "class_ids.h"

#include <windows.h>
#include <objbase.h>

class CUnknown;
class CClassFactory;

struct ModuleState
{
    volatile LONG objectCount;   // live CUnknown objects
    volatile LONG lockCount;     // net IClassFactory::LockServer locks
    DWORD mainThreadId;          // the thread whose loop serves COM
    HINSTANCE moduleInstance;    // the executable's own module
    volatile LONG graceRunning;  // 1 from the moment nothing was left alive
    volatile DWORD graceStart;   // tick count of that moment
    volatile LONG stopping;      // class objects revoked: activations are refused
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

// Quit tests: once no object is alive and no lock is held, the grace before shutdown starts.
void QuitTestObjectReleased();
void QuitTestLockChanged(BOOL lock);

// Starts (or restarts) the grace before shutdown.
void StartGrace();

// Milliseconds left of the grace; INFINITE while it does not run.
DWORD GraceRemaining();

// Runs when the grace is over. True when the server stopped taking activations with nothing
// alive, so its loop may end; false when something came alive meanwhile, and the grace starts
// again the next time nothing is left.
bool StopWhenIdle();

// Registers the class object of every table entry; false at the first failure.
bool RegisterClassObjects();

// Revokes and releases what RegisterClassObjects registered.
void RevokeClassObjects();
