// DS_Entry: the one entry point a TWAIN source manager calls.
#include "data_source.h"

#include <new>

namespace {

HINSTANCE g_instance = nullptr;

DataSource &Source()
{
    // Never destroyed: the application closes the source; COM must not be torn down under the
    // loader lock when the module goes.
    static DataSource *source = new DataSource(g_instance);
    return *source;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" TW_UINT16 PASCAL DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                     TW_UINT16 MSG, TW_MEMREF pData)
{
    try {
        return Source().Entry(pOrigin, DG, DAT, MSG, pData);
    } catch (const std::bad_alloc &) {
        return TWRC_FAILURE;
    }
}
