// Helpers of the end-to-end tests: the server's folder, its process, and COM activation.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Folder of the registered server copy, from --e2e-dir.
const std::wstring &E2eDir();
void SetE2eDir(const char *unixPath);

// Runs a program and waits for it; returns its exit code, or -1 when it could not run.
DWORD RunAndWait(const std::wstring &commandLine, DWORD timeoutMs);

// Opens the running server process, if there is one (a handle that can wait and read the exit
// code); null otherwise.
HANDLE OpenServerProcess();

// Waits for the process to end; true with its exit code when it did within the time-out.
bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD *exitCode);

// Ends the running server process at once, as a crash would; true when one was ended.
bool KillServer();

// Waits until no server process is left, so each test starts with none.
bool WaitForNoServer(DWORD timeoutMs);

// Folder of the scenario files, from --scenario-dir.
const std::wstring &ScenarioDir();
void SetScenarioDir(const char *unixPath);

// Windows form of a Unix path (Wine maps the root to Z:).
std::wstring WindowsPath(const char *unixPath);

// Names the scenario the simulated sti.dll of the next server loads, and writes the registry
// data it implies; the sim writes its report to reportPath when its last object goes.
bool InstallScenario(const std::wstring &scenarioPath, const std::wstring &reportPath);

// The whole content of a file, or empty when it cannot be read.
std::vector<BYTE> ReadFileBytes(const std::wstring &path);

// The report of the simulated driver, or empty when there is none.
std::string ReadReport(const std::wstring &reportPath);
