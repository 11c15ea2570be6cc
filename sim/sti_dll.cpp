// sti.dll for end-to-end runs: placed beside the server's executable it replaces the
// platform's, and serves the simulated STI service of the scenario the registry names.
#include "sim_registry.h"
#include "sim_sti.h"

#include <mutex>

namespace {

std::mutex g_loadMutex;
bool g_loaded = false;
std::wstring g_loadedStamp;
HRESULT g_loadResult = S_OK;
std::wstring g_reportFile;
std::string g_loadError;

void WriteReport()
{
    if (g_reportFile.empty())
        return;
    std::string text;
    if (!g_loadError.empty())
        text = "scenario-error " + g_loadError + "\r\n";
    text += SimReportText();
    HANDLE file = CreateFileW(g_reportFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// True when no simulated object is alive, so the world may be replaced.
bool WorldIdle()
{
    const SimCounters counters = SimGetCounters();
    return counters.liveServices == 0 && counters.liveDevices == 0;
}

// A COM-launched server does not inherit its client's environment, so the scenario is named in
// the registry; without a name the built-in scenario serves. A scenario installed while the
// server runs (within its grace) is loaded at the first session after the world went idle.
HRESULT LoadScenario()
{
    std::lock_guard<std::mutex> guard(g_loadMutex);
    std::wstring stamp;
    SimReadSetting(SIM_INSTALLED_VALUE, &stamp);
    if (g_loaded && (stamp == g_loadedStamp || !WorldIdle()))
        return g_loadResult;
    g_loaded = true;
    g_loadedStamp = stamp;
    g_loadResult = S_OK;
    g_loadError.clear();
    g_reportFile.clear();
    SimReadSetting(SIM_REPORT_VALUE, &g_reportFile);
    std::wstring scenario;
    bool ok;
    if (SimReadSetting(SIM_SCENARIO_VALUE, &scenario))
        ok = SimLoadScenarioFile(scenario.c_str(), &g_loadError);
    else
        ok = SimLoadScenarioText(SimDefaultScenarioText(), "default.scn", &g_loadError);
    if (!ok) {
        OutputDebugStringA(("sti.dll (simulated): " + g_loadError + "\n").c_str());
        g_loadResult = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
        WriteReport();
    }
    SimSetIdleCallback(WriteReport);
    return g_loadResult;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}

STDMETHODIMP StiCreateInstanceW(HINSTANCE instance, DWORD version, IStillImageW **out,
                                LPUNKNOWN outer)
{
    const HRESULT hr = LoadScenario();
    if (FAILED(hr))
        return hr;
    return SimStiCreateInstance(instance, version, out, outer);
}

STDMETHODIMP StiCreateInstanceA(HINSTANCE, DWORD, IStillImageA **out, LPUNKNOWN)
{
    // Only the Unicode interface is simulated.
    if (out != nullptr)
        *out = nullptr;
    return E_NOTIMPL;
}
