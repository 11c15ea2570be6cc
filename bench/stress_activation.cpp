// Activation churn against the registered server, the way TWAIN applications use it: K client
// processes at once, each activating the class as a local server, calling one cheap method and
// releasing, N times back to back. Prints cycles, failures by HRESULT, the slowest cycle and the
// rate; exits 1 when any cycle failed.
//   stress_activation [--clients K] [--cycles N]
//   stress_activation --child N          (one client; what the parent starts K times)
#include "class_ids.h"
#include "sti_scanner_com_bridge.h"

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// One cycle: activate, call, release. The result is the first failure, or S_OK.
HRESULT Cycle()
{
    IStiScannerComBridge *bridge = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge));
    if (FAILED(hr))
        return hr;
    LONG reserved = 0;
    hr = bridge->GetReservedValue(&reserved);
    bridge->Release();
    return hr;
}

// A child prints one line per cycle: "cycle <hresult> <milliseconds>".
int RunChild(int cycles)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 2;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (int i = 0; i < cycles; ++i) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const HRESULT hr = Cycle();
        QueryPerformanceCounter(&end);
        const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                          static_cast<double>(frequency.QuadPart);
        printf("cycle %08lX %.1f\n", static_cast<unsigned long>(hr), ms);
        fflush(stdout);
    }
    CoUninitialize();
    return 0;
}

struct Child
{
    HANDLE process = nullptr;
    HANDLE output = nullptr;
    std::string text;
};

bool StartChild(int cycles, Child *child)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&child->output, &write, &inherit, 0))
        return false;
    SetHandleInformation(child->output, HANDLE_FLAG_INHERIT, 0);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --child " + std::to_wstring(cycles);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info = {};
    // Suspended, so that every client starts at the same moment.
    const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                        nullptr, nullptr, &startup, &info);
    CloseHandle(write);
    if (!started)
        return false;
    child->process = info.hProcess;
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    return true;
}

// Reads what the child wrote until it ends. The pipe may never report its end: a server that
// the child's activation started can inherit the write side and outlive the child.
void ReadUntilExit(Child *child)
{
    for (bool ended = false; !ended;) {
        ended = WaitForSingleObject(child->process, 20) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(child->output, nullptr, 0, nullptr, &available, nullptr) &&
               available > 0) {
            char chunk[4096];
            DWORD read = 0;
            if (!ReadFile(child->output, chunk, sizeof(chunk), &read, nullptr) || read == 0)
                break;
            child->text.append(chunk, read);
        }
    }
    CloseHandle(child->output);
    CloseHandle(child->process);
}

int RunParent(int clients, int cycles)
{
    printf("%d client process(es) x %d activate/call/release cycles\n", clients, cycles);
    std::vector<Child> children(static_cast<size_t>(clients));
    const ULONGLONG start = GetTickCount64();
    for (Child &child : children) {
        if (!StartChild(cycles, &child)) {
            printf("could not start a client (%lu)\n", GetLastError());
            return 2;
        }
    }
    // A child whose pipe is not read yet may wait on it, which only delays its next cycle.
    for (Child &child : children)
        ReadUntilExit(&child);
    const double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;

    std::map<unsigned long, int> failures;
    std::vector<double> firsts, later;
    int done = 0;
    for (const Child &child : children) {
        int index = 0;
        for (const char *line = strstr(child.text.c_str(), "cycle "); line != nullptr;
             line = strstr(line + 1, "cycle ")) {
            unsigned long hr = 0;
            double ms = 0;
            if (sscanf(line, "cycle %lx %lf", &hr, &ms) != 2)
                continue;
            ++done;
            if (hr != 0)
                ++failures[hr];
            (index++ == 0 ? firsts : later).push_back(ms);
        }
    }
    const int missing = clients * cycles - done;
    double slowest = 0;
    for (double ms : firsts)
        slowest = std::max(slowest, ms);
    for (double ms : later)
        slowest = std::max(slowest, ms);
    std::sort(later.begin(), later.end());
    const double median = later.empty() ? 0 : later[later.size() / 2];
    std::sort(firsts.begin(), firsts.end());

    int failed = missing;
    printf("cycles: %d of %d\n", done, clients * cycles);
    for (const auto &entry : failures) {
        printf("failed: %d x 0x%08lX\n", entry.second, entry.first);
        failed += entry.second;
    }
    if (missing > 0)
        printf("failed: %d cycles never reported (a client died or hung)\n", missing);
    printf("failures: %d\n", failed);
    printf("slowest cycle: %.1f ms\n", slowest);
    printf("first cycle of each client: %.1f ms (fastest) to %.1f ms\n",
           firsts.empty() ? 0 : firsts.front(), firsts.empty() ? 0 : firsts.back());
    printf("median later cycle: %.1f ms\n", median);
    printf("rate: %.1f cycles/s over %.1f s\n", seconds > 0 ? done / seconds : 0, seconds);
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    int clients = 3, cycles = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--child") == 0)
            return RunChild(atoi(argv[i + 1]));
        if (strcmp(argv[i], "--clients") == 0)
            clients = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--cycles") == 0)
            cycles = atoi(argv[i + 1]);
    }
    if (clients < 1 || cycles < 1) {
        fprintf(stderr, "usage: stress_activation [--clients K] [--cycles N]\n");
        return 2;
    }
    return RunParent(clients, cycles);
}
