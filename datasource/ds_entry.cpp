// DS_Entry: the one entry point a TWAIN source manager calls.
#include "data_source.h"
#include "triplet_log.h"

#include <new>

namespace {

HINSTANCE g_instance = nullptr;
// DS_Entry calls on the stack, and references the module holds on itself for its callouts.
LONG g_depth = 0;
LONG g_heldReferences = 0;
// Never destroyed: the application closes the source; COM must not be torn down under the
// loader lock when the module goes.
DataSource *g_source = nullptr;

DataSource &Source()
{
    if (g_source == nullptr)
        g_source = new DataSource(g_instance);
    return *g_source;
}

// The caller of DS_Entry holds the module for its call: the references kept for callouts that
// have ended can go now.
void ReturnHeldReferences()
{
    for (; g_heldReferences > 0; --g_heldReferences)
        FreeLibrary(g_instance);
}

} // namespace

void HoldModuleDuringCallout()
{
    HMODULE self = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&HoldModuleDuringCallout), &self))
        ++g_heldReferences;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // FreeLibrary without MSG_CLOSEDS: the session goes with the module. At the process's end
        // (reserved not null) the system and COM release it.
        if (g_source != nullptr)
            g_source->Unload();
        UnregisterClassW(JOB_DIALOG_CLASS, instance);
        UnregisterClassW(PROGRESS_WINDOW_CLASS, instance);
        LogClose();
    }
    return TRUE;
}

extern "C" TW_UINT16 PASCAL DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                     TW_UINT16 MSG, TW_MEMREF pData)
{
    if (g_depth == 0)
        ReturnHeldReferences();
    ++g_depth;
    TW_UINT16 rc = TWRC_FAILURE;
    TW_UINT16 condition = TWCC_SUCCESS;
    const LogTimer timer;
    // No exception crosses into the application.
    try {
        rc = Source().Entry(pOrigin, DG, DAT, MSG, pData);
    } catch (const std::bad_alloc &) {
        condition = TWCC_LOWMEMORY;
    } catch (...) {
        condition = TWCC_BUMMER;
    }
    if (condition != TWCC_SUCCESS) {
        if (g_source != nullptr)
            g_source->SetCondition(condition);
        LogTriplet(pOrigin, DG, DAT, MSG, pData, Failure(condition), timer);
    }
    --g_depth;
    return rc;
}
