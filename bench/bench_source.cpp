// Benchmark of the data source: a native transfer of the benchmark's large page through the
// source against the sample client's road for the same page (TransferQuery and TransferImage on
// the bridge), and the application's peak memory for a memory transfer of that page.
//   bench_source --ds=<unix path of the x64 .ds>
#include "class_ids.h"
#include "owners.h"
#include "sti_scanner_com_bridge.h"
#include "transfer_kinds.h"
#include "twain_app.h"

#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int RUNS = 2;
constexpr double MB = 1e6;

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

SIZE_T Memory(SIZE_T *peak)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    *peak = counters.PeakWorkingSetSize;
    return counters.WorkingSetSize;
}

void UseBenchAccount()
{
    UniqueHKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\tavrk\\twain\\StiBridgeSource", 0, nullptr,
                        0, KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    const wchar_t account[] = L"bench";
    RegSetValueExW(key.get(), L"AccountKey", 0, REG_SZ, reinterpret_cast<const BYTE *>(account),
                   sizeof(account));
    // The page stays on the device from one run to the next.
    UniqueHKey user;
    const DWORD keep = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Orvane\\BenchQuillon", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, user.put(), nullptr) == ERROR_SUCCESS)
        RegSetValueExW(user.get(), L"Quillon_DeleteImageOnScan", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&keep), sizeof(keep));
}

constexpr TW_UINT16 AS_STORED = 0xFFFF;

TW_UINT16 SetCapability(TwainApp &app, TW_UINT16 cap, TW_UINT16 value)
{
    TW_CAPABILITY capability = {cap, TWON_ONEVALUE, GlobalAlloc(GHND, sizeof(TW_ONEVALUE))};
    const TW_ONEVALUE one = {TWTY_UINT16, value};
    memcpy(GlobalLock(capability.hContainer), &one, sizeof(one));
    GlobalUnlock(capability.hContainer);
    const TW_UINT16 rc = app.Send(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(capability.hContainer);
    return rc;
}

// Opens and enables the source; the first page pending is the large one, in the pixel type
// asked for.
bool OpenSource(TwainApp &app, TW_UINT16 mechanism, TW_UINT16 pixelType = AS_STORED)
{
    if (app.Open() != TWRC_SUCCESS)
        return false;
    const bool set =
        SetCapability(app, ICAP_XFERMECH, mechanism) == TWRC_SUCCESS &&
        (pixelType == AS_STORED || SetCapability(app, ICAP_PIXELTYPE, pixelType) == TWRC_SUCCESS);
    TW_USERINTERFACE ui = {};
    return set && app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS &&
           app.TakeMessages() == std::vector<TW_UINT16>{MSG_XFERREADY};
}

// Seconds of one native transfer of the large page through the source; negative on failure.
double SourceNative(TwainApp &app, size_t *bytes)
{
    if (!OpenSource(app, TWSX_NATIVE))
        return -1;
    TW_IMAGEINFO info = {};
    app.Send(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
    TW_HANDLE dib = nullptr;
    const double start = Now();
    const TW_UINT16 rc = app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
    const double seconds = Now() - start;
    if (dib != nullptr) {
        *bytes = GlobalSize(dib);
        GlobalFree(dib);
    }
    app.Close();
    return rc == TWRC_XFERDONE ? seconds : -1;
}

// Seconds of one file transfer of the large page, written to the temporary folder; negative on
// failure.
double SourceFile(TwainApp &app, TW_UINT16 format, const char *name, LONGLONG *bytes)
{
    if (!OpenSource(app, TWSX_FILE))
        return -1;
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    TW_SETUPFILEXFER setup = {};
    snprintf(setup.FileName, sizeof(setup.FileName), "%s%s", folder, name);
    setup.Format = format;
    app.Send(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
    const double start = Now();
    const TW_UINT16 rc = app.Send(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
    const double seconds = Now() - start;
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    if (GetFileAttributesExA(setup.FileName, GetFileExInfoStandard, &file))
        *bytes = (static_cast<LONGLONG>(file.nFileSizeHigh) << 32) | file.nFileSizeLow;
    DeleteFileA(setup.FileName);
    app.Close();
    return rc == TWRC_XFERDONE ? seconds : -1;
}

// The application's memory above its own strip buffer during a memory transfer of the page.
// skip: pages stepped over first (MSG_ENDXFER before their transfer), to reach a later job.
bool SourceMemory(TwainApp &app, TW_UINT16 pixelType, int skip, TW_UINT32 *strip, SIZE_T *extra,
                  double *seconds)
{
    if (!OpenSource(app, TWSX_MEMORY, pixelType)) {
        fprintf(stderr, "bench_source: the source did not open with a page (condition %u)\n",
                app.Condition());
        return false;
    }
    for (int page = 0; page < skip; ++page) {
        TW_PENDINGXFERS pending = {};
        app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    }
    TW_SETUPMEMXFER setup = {};
    app.Send(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
    *strip = setup.Preferred;
    std::vector<BYTE> buffer(setup.Preferred);
    memset(buffer.data(), 0, buffer.size());
    SIZE_T peak = 0;
    const SIZE_T before = Memory(&peak);
    TW_UINT16 rc = TWRC_SUCCESS;
    const double start = Now();
    while (rc == TWRC_SUCCESS) {
        TW_IMAGEMEMXFER transfer = {};
        transfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        transfer.Memory.Length = static_cast<TW_UINT32>(buffer.size());
        transfer.Memory.TheMem = buffer.data();
        rc = app.Send(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer);
    }
    *seconds = Now() - start;
    if (rc != TWRC_XFERDONE)
        fprintf(stderr, "bench_source: memory transfer: %u (condition %u)\n", rc, app.Condition());
    Memory(&peak);
    *extra = peak > before ? peak - before : 0;
    app.Close();
    return rc == TWRC_XFERDONE;
}

// Seconds of the sample client's road for the same page: query the bitmap's size, fetch it.
double SampleClientNative()
{
    IStiScannerComBridge *bridge = nullptr;
    if (FAILED(CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge))))
        return -1;
    LONG count = 1, pages = 0;
    UniqueBstr names;
    ImageInfo info = {};
    double seconds = -1;
    if (SUCCEEDED(bridge->CreateStillImage()) &&
        SUCCEEDED(bridge->EnumerateDevices(&count, names.put())) &&
        SUCCEEDED(bridge->OpenAccount(L"Default", L"Quillon", L"bench")) &&
        SUCCEEDED(bridge->GetItemCount(&count)) &&
        SUCCEEDED(bridge->SelectItemByName(0, &pages, L"BIG.tif", 0)) && pages == 1 &&
        SUCCEEDED(bridge->GetImageInfo(&info, 1))) {
        TransferRequestView request = {
            TRANSFER_KIND_QUERY, 0, 1, 0, QUERY_BITMAP_BYTES, 0, const_cast<WCHAR *>(L"BIG.tif")};
        const double start = Now();
        LONG bytes = 0, status = 0;
        if (SUCCEEDED(bridge->TransferQuery(&request, &bytes, &status))) {
            std::vector<BYTE> bitmap(static_cast<size_t>(bytes));
            request.kind = TRANSFER_KIND_BITMAP;
            request.value = 0;
            if (SUCCEEDED(bridge->TransferImage(&request, bitmap.data(), static_cast<ULONG>(bytes),
                                                &status)) &&
                status == TRANSFER_STATUS_DONE)
                seconds = Now() - start;
        }
    }
    bridge->CloseDevice();
    bridge->Release();
    return seconds;
}

std::wstring WindowsPath(const char *unixPath)
{
    std::wstring path = L"Z:";
    for (const char *p = unixPath; *p != '\0'; ++p)
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
    return path;
}

} // namespace

int main(int argc, char **argv)
{
    std::wstring source;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--ds=", 5) == 0)
            source = WindowsPath(argv[i] + 5);
    }
    TwainApp app;
    if (source.empty() || !app.Load(source)) {
        fprintf(stderr, "bench_source: --ds=<path of StiBridgeSource.ds> is needed\n");
        return 2;
    }
    UseBenchAccount();

    struct MemoryRun
    {
        const char *what;
        TW_UINT16 pixelType;
        int skip;
        TW_UINT32 strip;
        SIZE_T extra;
        double seconds;
    };
    // The colour page as stored, converted to grey on its way, and the grey page (the third job)
    // converted to colour, a strip at a time.
    MemoryRun memoryRuns[] = {{"the page", AS_STORED, 0, 0, 0, 0},
                              {"the page converted to grey (BT.601)", TWPT_GRAY, 0, 0, 0, 0},
                              {"the grey page converted to colour", TWPT_RGB, 2, 0, 0, 0}};
    for (MemoryRun &run : memoryRuns) {
        if (!SourceMemory(app, run.pixelType, run.skip, &run.strip, &run.extra, &run.seconds)) {
            fprintf(stderr, "bench_source: a memory transfer of %s failed\n", run.what);
            return 1;
        }
    }
    const MemoryRun &stored = memoryRuns[0];
    struct FileRun
    {
        TW_UINT16 format;
        const char *name;
        double seconds;
        LONGLONG bytes;
    };
    FileRun fileRuns[] = {{TWFF_BMP, "bench-page.bmp", 0, 0}, {TWFF_PNG, "bench-page.png", 0, 0}};
    for (FileRun &run : fileRuns) {
        run.seconds = SourceFile(app, run.format, run.name, &run.bytes);
        if (run.seconds < 0) {
            fprintf(stderr, "bench_source: the file transfer to %s failed\n", run.name);
            return 1;
        }
    }
    double best = 0, bestClient = 0;
    size_t dibBytes = 0;
    for (int run = 0; run < RUNS; ++run) {
        const double seconds = SourceNative(app, &dibBytes);
        if (seconds > 0 && (best == 0 || seconds < best))
            best = seconds;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    for (int run = 0; run < RUNS; ++run) {
        const double seconds = SampleClientNative();
        if (seconds > 0 && (bestClient == 0 || seconds < bestClient))
            bestClient = seconds;
    }
    CoUninitialize();
    if (best <= 0 || bestClient <= 0) {
        fprintf(stderr, "bench_source: a native transfer failed\n");
        return 1;
    }
    printf("native transfer of the %.1f MB page (best of %d):\n",
           static_cast<double>(dibBytes) / MB, RUNS);
    printf("  through the source   %7.2f s  %6.1f MB/s\n", best,
           static_cast<double>(dibBytes) / MB / best);
    printf("  sample client's road %7.2f s  %6.1f MB/s\n", bestClient,
           static_cast<double>(dibBytes) / MB / bestClient);
    printf("  source / sample client: %.2f (goal: at most 1.10)\n", best / bestClient);
    for (const FileRun &run : fileRuns)
        printf("file transfer of the page as %s (Windows Imaging Component): %.2f s, %.1f MB\n",
               run.name, run.seconds, static_cast<double>(run.bytes) / MB);
    printf("memory transfer of the page in strips of %lu bytes: %.2f s\n",
           static_cast<unsigned long>(stored.strip), stored.seconds);
    printf("  application's peak memory above its own buffer: %.2f MB = %.2f strips "
           "(goal: about 2)\n",
           static_cast<double>(stored.extra) / MB, static_cast<double>(stored.extra) / stored.strip);
    for (const MemoryRun *run = memoryRuns + 1; run != std::end(memoryRuns); ++run)
        printf("memory transfer of %s, strips of %lu bytes: %.2f s\n"
               "  application's peak memory above its own buffer: %.2f MB\n",
               run->what, static_cast<unsigned long>(run->strip), run->seconds,
               static_cast<double>(run->extra) / MB);
    return 0;
}
