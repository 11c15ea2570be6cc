// sim_setup: prepares a machine (or a Wine prefix) for an end-to-end run against the simulated
// sti.dll.
//   sim_setup install <scenario> [report <file>]  name the scenario and write its registry data
//   sim_setup default [report <file>]             use the built-in scenario, write its data
//   sim_setup check <scenario>                    parse only
//   sim_setup uninstall                           remove the sim's key and the values that the
//                                                 named (or built-in) scenario had written
//   sim_setup hold <internal name> <ms>           hold the device lock from this process
#include "sim_registry.h"
#include "sim_sti.h"

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_SCENARIO = 1;
constexpr int EXIT_REGISTRY = 3;

int Usage()
{
    fputs("usage: sim_setup install <scenario> [report <file>]\n"
          "       sim_setup default [report <file>]\n"
          "       sim_setup check <scenario>\n"
          "       sim_setup uninstall\n"
          "       sim_setup hold <internal name> <milliseconds>\n",
          stderr);
    return EXIT_USAGE;
}

int Install(const std::vector<SimDevice> &devices, const wchar_t *scenarioPath,
            const wchar_t *reportPath)
{
    // A server that is still running takes the new scenario up at its next session.
    const std::wstring stamp =
        std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    LONG status = SimWriteSetting(SIM_SCENARIO_VALUE, scenarioPath);
    if (status == ERROR_SUCCESS)
        status = SimWriteSetting(SIM_REPORT_VALUE, reportPath);
    if (status == ERROR_SUCCESS)
        status = SimWriteSetting(SIM_INSTALLED_VALUE, stamp.c_str());
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "sim_setup: cannot write HKLM\\%ls (%ld)\n", SIM_REGISTRY_KEY, status);
        return EXIT_REGISTRY;
    }
    std::string log;
    status = SimWriteDeviceRegistry(devices, &log);
    fputs(log.c_str(), stdout);
    return status == ERROR_SUCCESS ? 0 : EXIT_REGISTRY;
}

std::wstring FullPath(const wchar_t *path)
{
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD length = GetFullPathNameW(path, MAX_PATH * 2, full, nullptr);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(full) : std::wstring(path);
}

// The optional "report <file>" after a command.
bool ReportOption(const std::vector<std::wstring> &args, size_t at, std::wstring *report)
{
    if (args.size() == at)
        return true;
    if (args.size() != at + 2 || args[at] != L"report")
        return false;
    *report = FullPath(args[at + 1].c_str());
    return true;
}

int Hold(const std::wstring &internalName, const std::wstring &milliseconds)
{
    wchar_t *end = nullptr;
    const unsigned long ms = wcstoul(milliseconds.c_str(), &end, 10);
    if (end == milliseconds.c_str() || *end != L'\0')
        return Usage();
    const unsigned hold = SimHoldLock(internalName.c_str(), INFINITE);
    if (hold == 0) {
        fputs("sim_setup: the device lock was not free\n", stderr);
        return EXIT_REGISTRY;
    }
    puts("held");
    fflush(stdout);
    Sleep(static_cast<DWORD>(ms));
    SimReleaseLock(hold);
    return 0;
}

int Run(const std::vector<std::wstring> &args)
{
    if (args.size() < 2)
        return Usage();
    const std::wstring &command = args[1];
    std::string error;
    std::vector<SimDevice> devices;
    if (command == L"check" && args.size() == 3) {
        if (!SimParseScenarioFile(args[2].c_str(), &devices, nullptr, &error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return EXIT_SCENARIO;
        }
        printf("%u device(s)\n", static_cast<unsigned>(devices.size()));
        return 0;
    }
    if (command == L"install" && args.size() >= 3) {
        std::wstring report;
        if (!ReportOption(args, 3, &report))
            return Usage();
        const std::wstring path = FullPath(args[2].c_str());
        if (!SimParseScenarioFile(path.c_str(), &devices, nullptr, &error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return EXIT_SCENARIO;
        }
        return Install(devices, path.c_str(), report.empty() ? nullptr : report.c_str());
    }
    if (command == L"default") {
        std::wstring report;
        if (!ReportOption(args, 2, &report))
            return Usage();
        if (!SimParseScenario(SimDefaultScenarioText(), "default.scn", &devices, nullptr, &error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return EXIT_SCENARIO;
        }
        return Install(devices, nullptr, report.empty() ? nullptr : report.c_str());
    }
    if (command == L"uninstall" && args.size() == 2) {
        std::wstring named;
        const bool parsed =
            SimReadSetting(SIM_SCENARIO_VALUE, &named)
                ? SimParseScenarioFile(named.c_str(), &devices, nullptr, &error)
                : SimParseScenario(SimDefaultScenarioText(), "default.scn", &devices, nullptr,
                                   &error);
        if (parsed)
            SimDeleteDeviceRegistry(devices);
        return SimDeleteSettings() == ERROR_SUCCESS ? 0 : EXIT_REGISTRY;
    }
    if (command == L"hold" && args.size() == 4)
        return Hold(args[2], args[3]);
    return Usage();
}

} // namespace

int main()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr)
        return Usage();
    std::vector<std::wstring> args(arguments, arguments + count);
    LocalFree(arguments);
    return Run(args);
}
