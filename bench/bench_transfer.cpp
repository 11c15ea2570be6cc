// Benchmark: how fast the bridge moves a large page, against the marshaler's own cost and
// against memcpy, how long a cheap call takes, and how much memory the server needs for it.
//   bench_transfer --e2e-dir=<unix folder of the registered server> --scenario=<windows path>
#include "bare_transfer.h"
#include "bridge.h"
#include "class_ids.h"
#include "owners.h"
#include "sim_sti.h"
#include "sti_scanner_com_bridge.h"

#include <objbase.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// {7C1E5B90-3D2A-4E8F-9B61-2A4D8C0F5E13}
const CLSID CLSID_BareTransfer = {0x7c1e5b90, 0x3d2a, 0x4e8f,
                                  {0x9b, 0x61, 0x2a, 0x4d, 0x8c, 0x0f, 0x5e, 0x13}};
const ULONG CHUNKS[] = {64 * 1024, 1024 * 1024, 8 * 1024 * 1024};
constexpr double MIB = 1024.0 * 1024.0;
constexpr LONG KIND_DATA = 1;
constexpr int LATENCY_CALLS = 2000;
// Wine's marshaler varies by about 30 % between runs: the best of a few runs is reported.
constexpr int RUNS = 3;

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double MegabytesPerSecond(unsigned long long bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0;
}

HANDLE OpenProcessNamed(const wchar_t *name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE process = nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && process == nullptr;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, name) == 0)
            process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                  entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return process;
}

SIZE_T PeakWorkingSet(HANDLE process, SIZE_T *current)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (process == nullptr || !GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        return 0;
    if (current != nullptr)
        *current = counters.WorkingSetSize;
    return counters.PeakWorkingSetSize;
}

// Opens the bench account and selects the named item's first page; returns its byte size.
LONG OpenPage(IStiScannerComBridge *bridge, const wchar_t *itemName)
{
    LONG count = 0, pages = 0, size = 0;
    UniqueBstr names;
    ImageInfo info = {};
    if (FAILED(bridge->CreateStillImage()) ||
        FAILED(bridge->EnumerateDevices(&count, names.put())) || count != 1 ||
        FAILED(bridge->OpenAccount(L"Bench", L"Bench", L"bench")) ||
        FAILED(bridge->GetItemCount(&count)) ||
        FAILED(bridge->SelectItemByName(0, &pages, itemName, 0)) || pages != 1 ||
        bridge->GetImageInfo(&info, 1) != S_OK || FAILED(bridge->GetImageSize(&size)))
        return 0;
    return size;
}

// Pulls the current page in chunks; returns the seconds it took, or a negative on failure.
double PullPage(IStiScannerComBridge *bridge, const wchar_t *itemName, std::vector<BYTE> &buffer,
                ULONG chunk, unsigned long long *bytes)
{
    TransferRequestView request = {KIND_DATA, 0, 1, 0, 0, 0, const_cast<WCHAR *>(itemName)};
    LONG status = 0;
    *bytes = 0;
    const double start = Now();
    while (status == 0) {
        if (FAILED(bridge->TransferData(&request, buffer.data(), chunk, &status)) ||
            (status != 0 && status != 6))
            return -1;
        *bytes += chunk;
    }
    return Now() - start;
}

struct Row
{
    ULONG chunk;
    double bridgeRate = 0, bareRate = 0, inProcessRate = 0, memcpyRate = 0;
    SIZE_T peak = 0, baseline = 0, smallPagePeak = 0;
};

// One cross-process bridge run on a fresh server: the page's rate and the server's memory.
bool CrossProcessRun(const wchar_t *itemName, ULONG chunk, double *rate, SIZE_T *peak,
                     SIZE_T *baseline, unsigned long long *pageBytes)
{
    IStiScannerComBridge *bridge = nullptr;
    if (FAILED(CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge))))
        return false;
    UniqueHandle server(OpenProcessNamed(L"StiScannerComBridge.exe"));
    const LONG size = OpenPage(bridge, itemName);
    bool ok = size > 0;
    if (ok) {
        PeakWorkingSet(server.get(), baseline);
        std::vector<BYTE> buffer(chunk);
        unsigned long long moved = 0;
        const double seconds = PullPage(bridge, itemName, buffer, chunk, &moved);
        ok = seconds > 0;
        *rate = MegabytesPerSecond(static_cast<unsigned long long>(size), seconds);
        *peak = PeakWorkingSet(server.get(), nullptr);
        *pageBytes = static_cast<unsigned long long>(size);
    }
    bridge->CloseDevice();
    bridge->Release();
    if (server)
        WaitForSingleObject(server.get(), 15000);
    return ok;
}

double BareRate(IBareTransfer *bare, ULONG chunk, unsigned long long total)
{
    std::vector<BYTE> buffer(chunk);
    TransferRequestView request = {KIND_DATA, 0, 1, 0, 0, 0, const_cast<WCHAR *>(L"BIG.tif")};
    LONG status = 0;
    const double start = Now();
    for (unsigned long long moved = 0; moved < total; moved += chunk) {
        if (FAILED(bare->Transfer(&request, buffer.data(), chunk, &status)))
            return 0;
    }
    return MegabytesPerSecond(total, Now() - start);
}

double InProcessRate(const wchar_t *itemName, ULONG chunk)
{
    CStiScannerComBridge *bridge = new CStiScannerComBridge(&SimStiCreateInstance);
    double rate = 0;
    const LONG size = OpenPage(bridge, itemName);
    if (size > 0) {
        std::vector<BYTE> buffer(chunk);
        unsigned long long moved = 0;
        const double seconds = PullPage(bridge, itemName, buffer, chunk, &moved);
        if (seconds > 0)
            rate = MegabytesPerSecond(static_cast<unsigned long long>(size), seconds);
    }
    bridge->CloseDevice();
    bridge->NonDelegatingRelease();
    return rate;
}

double MemcpyRate(ULONG chunk, unsigned long long total)
{
    // The same bytes copied from a source larger than the caches into the chunk buffer.
    std::vector<BYTE> source(64 * 1024 * 1024 + chunk, 0x5A), target(chunk);
    const size_t span = source.size() - chunk;
    size_t offset = 0;
    const double start = Now();
    for (unsigned long long moved = 0; moved < total; moved += chunk) {
        memcpy(target.data(), source.data() + offset, chunk);
        offset = (offset + chunk) % span;
    }
    const double seconds = Now() - start;
    volatile BYTE sink = target[chunk / 2];
    (void)sink;
    return MegabytesPerSecond(total, seconds);
}

template <typename Call>
double MicrosecondsPerCall(Call call)
{
    const double start = Now();
    for (int i = 0; i < LATENCY_CALLS; ++i)
        call();
    return (Now() - start) * 1e6 / LATENCY_CALLS;
}

} // namespace

int main(int argc, char **argv)
{
    std::wstring scenario;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--scenario=", 11) == 0) {
            for (const char *p = argv[i] + 11; *p != '\0'; ++p)
                scenario.push_back(static_cast<wchar_t>(*p));
        }
    }
    if (scenario.empty()) {
        fprintf(stderr, "usage: bench_transfer --scenario=<scenario file>\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    std::string error;
    if (!SimLoadScenarioFile(scenario.c_str(), &error)) {
        fprintf(stderr, "bench_transfer: %s\n", error.c_str());
        return 1;
    }

    IBareTransfer *bare = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_BareTransfer, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IBareTransfer, reinterpret_cast<void **>(&bare));
    if (FAILED(hr)) {
        fprintf(stderr, "bench_transfer: the bare server did not start: 0x%08lX\n",
                static_cast<unsigned long>(hr));
        return 1;
    }

    printf("page: BIG.tif, 4960 x 7016 at 24 bits\n\n");
    printf("%10s %12s %12s %7s %14s %12s %7s %12s %12s %12s\n", "chunk", "bridge MB/s",
           "bare MB/s", "ratio", "in-proc MB/s", "memcpy MB/s", "ratio", "server MiB",
           "target MiB", "small page");
    std::vector<Row> rows;
    for (ULONG chunk : CHUNKS) {
        Row row;
        row.chunk = chunk;
        unsigned long long pageBytes = 0, smallBytes = 0;
        for (int run = 0; run < RUNS; ++run) {
            double rate = 0;
            SIZE_T peak = 0, baseline = 0;
            if (!CrossProcessRun(L"BIG.tif", chunk, &rate, &peak, &baseline, &pageBytes)) {
                fprintf(stderr, "bench_transfer: the bridge transfer failed\n");
                return 1;
            }
            row.bridgeRate = rate > row.bridgeRate ? rate : row.bridgeRate;
            row.peak = peak > row.peak ? peak : row.peak;
            row.baseline = baseline;
            const double bareRate = BareRate(bare, chunk, pageBytes);
            row.bareRate = bareRate > row.bareRate ? bareRate : row.bareRate;
            const double inProcessRate = InProcessRate(L"BIG.tif", chunk);
            row.inProcessRate = inProcessRate > row.inProcessRate ? inProcessRate
                                                                  : row.inProcessRate;
            const double memcpyRate = MemcpyRate(chunk, pageBytes);
            row.memcpyRate = memcpyRate > row.memcpyRate ? memcpyRate : row.memcpyRate;
        }
        double smallRate = 0;
        SIZE_T smallBaseline = 0;
        if (!CrossProcessRun(L"SMALL.tif", chunk, &smallRate, &row.smallPagePeak, &smallBaseline,
                             &smallBytes)) {
            fprintf(stderr, "bench_transfer: the bridge transfer failed\n");
            return 1;
        }
        row.smallPagePeak -= smallBaseline;
        printf("%7lu KiB %12.1f %12.1f %7.2f %14.1f %12.1f %7.2f %12.1f %12.1f %12.1f\n",
               static_cast<unsigned long>(chunk / 1024), row.bridgeRate, row.bareRate,
               row.bareRate > 0 ? row.bridgeRate / row.bareRate : 0, row.inProcessRate,
               row.memcpyRate, row.memcpyRate > 0 ? row.inProcessRate / row.memcpyRate : 0,
               (row.peak - row.baseline) / MIB, (2.0 * chunk) / MIB + 16,
               row.smallPagePeak / MIB);
        rows.push_back(row);
    }

    // A cheap bridge method against an empty marshaled call.
    IStiScannerComBridge *bridge = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IStiScannerComBridge,
                                   reinterpret_cast<void **>(&bridge)))) {
        LONG page = 0, count = 0;
        const double bridgeCall =
            MicrosecondsPerCall([&] { bridge->GetPagePosition(&page, &count); });
        const double emptyCall = MicrosecondsPerCall([&] { bare->Ping(); });
        printf("\nlatency: GetPagePosition %.1f us, empty call %.1f us, ratio %.2f\n", bridgeCall,
               emptyCall, emptyCall > 0 ? bridgeCall / emptyCall : 0);
        bridge->Release();
    }
    bare->Release();
    printf("\nrates: best of %d runs. server MiB: the server's peak working set during the page"
           "\nless its working set before it (%.1f MiB, mostly Wine's own DLLs); small page: the"
           "\nsame for a 6.5 MB page, so the peak does not follow the page size.\n",
           RUNS, rows.empty() ? 0.0 : rows.front().baseline / MIB);
    CoUninitialize();
    return 0;
}
