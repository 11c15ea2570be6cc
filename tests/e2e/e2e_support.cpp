#include "e2e_support.h"

#include <tlhelp32.h>

#include <vector>

namespace {

std::wstring g_dir;
std::wstring g_scenarioDir;

} // namespace

std::wstring WindowsPath(const char *unixPath)
{
    // Under Wine the build's Unix paths live on drive Z:; on Windows they have a drive already.
    std::wstring path = unixPath[0] == '/' ? L"Z:" : L"";
    for (const char *p = unixPath; *p != '\0'; ++p)
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
    return path;
}

const std::wstring &ScenarioDir()
{
    return g_scenarioDir;
}

void SetScenarioDir(const char *unixPath)
{
    g_scenarioDir = WindowsPath(unixPath);
}

bool InstallScenario(const std::wstring &scenarioPath, const std::wstring &reportPath)
{
    DeleteFileW(reportPath.c_str());
    const std::wstring command = L"\"" + g_dir + L"\\sim_setup.exe\" install \"" + scenarioPath +
                                 L"\" report \"" + reportPath + L"\"";
    return RunAndWait(command, 30000) == 0;
}

std::vector<BYTE> ReadFileBytes(const std::wstring &path)
{
    std::vector<BYTE> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size()))
        bytes.clear();
    CloseHandle(file);
    return bytes;
}

std::string ReadReport(const std::wstring &reportPath)
{
    const std::vector<BYTE> bytes = ReadFileBytes(reportPath);
    return std::string(bytes.begin(), bytes.end());
}

const std::wstring &E2eDir()
{
    return g_dir;
}

void SetE2eDir(const char *unixPath)
{
    g_dir = WindowsPath(unixPath);
}

DWORD RunAndWait(const std::wstring &commandLine, DWORD timeoutMs)
{
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return static_cast<DWORD>(-1);
    CloseHandle(info.hThread);
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    return code;
}

HANDLE OpenServerProcess()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE process = nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && process == nullptr;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, E2E_SERVER_NAME) == 0)
            process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                  entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return process;
}

bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD *exitCode)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(process, exitCode) != FALSE;
}

bool KillServer()
{
    HANDLE found = OpenServerProcess();
    if (found == nullptr)
        return false;
    const DWORD id = GetProcessId(found);
    CloseHandle(found);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == nullptr)
        return false;
    const bool ended =
        TerminateProcess(process, 9) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool WaitForNoServer(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HANDLE process = OpenServerProcess();
        if (process == nullptr)
            return true;
        const ULONGLONG now = GetTickCount64();
        DWORD code = 0;
        const bool ended = now < deadline &&
                           WaitForExit(process, static_cast<DWORD>(deadline - now), &code);
        CloseHandle(process);
        if (!ended)
            return false;
    }
}
