#include "server_main.h"

#include "class_ids.h"
#include "command_line.h"
#include "module_state.h"
#include "registration.h"

#include <objbase.h>

namespace {

void RunMessageLoop()
{
    // COM delivers activation requests and calls to this apartment through window messages.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
}

} // namespace

int RunServer(HINSTANCE instance, char *commandTail)
{
    if (FAILED(CoInitialize(nullptr)))
        return 0;
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
    // come, so a failed registration goes straight to shutdown.
    if (tokens.empty() && RegisterClassObjects())
        RunMessageLoop();

    RevokeClassObjects();
    CoUninitialize();
    return 0;
}
