#include "server_main.h"

#include "class_ids.h"
#include "command_line.h"
#include "diagnostics.h"
#include "module_state.h"
#include "process_security.h"
#include "registration.h"

#include <objbase.h>

namespace {

// Serves until WM_QUIT, or until the grace after the last object and lock is over and the server
// stopped taking activations. COM delivers activation requests and calls to this apartment
// through window messages.
void RunMessageLoop()
{
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                return;
            DispatchMessageW(&message);
        }
        const DWORD wait = GraceRemaining();
        if (MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
                WAIT_TIMEOUT &&
            GraceRemaining() == 0 && StopWhenIdle())
            return;
    }
}

} // namespace

int RunServer(HINSTANCE instance, char *commandTail)
{
    if (FAILED(CoInitialize(nullptr)))
        return 0;
    LogConfigure(L"server");
    g_module.mainThreadId = GetCurrentThreadId();
    g_module.moduleInstance = instance;

    const ClassRegistration &entry = g_classTable[0];
    const std::vector<CommandToken> tokens = ReadCommandTokens(commandTail);
    for (CommandToken token : tokens) {
        if (token == CommandToken::UnregServer)
            UnregisterServer(*entry.classId, BRIDGE_VERSION_INDEPENDENT_PROGID, BRIDGE_PROGID);
        else
            RegisterServer(*entry.classId, g_module.moduleInstance);
    }

    // Without a registered class object no object can be created and no quit message would
    // come, so a failed registration goes straight to shutdown. A server whose callers cannot be
    // restricted takes no activation at all.
    AbsoluteSecurityDescriptor access;
    if (tokens.empty() && SUCCEEDED(InitializeProcessSecurity(&access)) &&
        RegisterClassObjects()) {
        // A server that no request ever reaches leaves too: when clients activate at the same
        // moment, COM may start a second copy that none of them uses.
        StartGrace();
        RunMessageLoop();
    }

    RevokeClassObjects();
    CoUninitialize();
    return 0;
}
