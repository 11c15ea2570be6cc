// Sample client: walks the road of a TWAIN data source through real COM activation of the bridge
// server and prints what the server answers.
#include "class_ids.h"
#include "owners.h"
#include "sti_scanner_com_bridge.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>

namespace {

struct ComApartment
{
    HRESULT hr = CoInitialize(nullptr);
    ~ComApartment()
    {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
};

void PrintUsage()
{
    printf("usage: sample_client [--help]\n"
           "Activates the bridge server through COM (CLSCTX_LOCAL_SERVER), as a TWAIN data source\n"
           "does, and prints what the bridge object answers.\n");
}

int Fail(const char *what, HRESULT hr)
{
    fprintf(stderr, "sample_client: %s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        }
        fprintf(stderr, "sample_client: unknown option %s\n", argv[i]);
        PrintUsage();
        return 2;
    }

    ComApartment apartment;
    if (FAILED(apartment.hr))
        return Fail("CoInitialize", apartment.hr);

    IStiScannerComBridge *bridge = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge));
    if (FAILED(hr))
        return Fail("activating the bridge server", hr);

    LONG reserved = 0, family = 0, extended = 0, page = 0, pageCount = 0;
    UniqueBstr fileName;
    bridge->GetReservedValue(&reserved);
    bridge->GetModelFamily(&family);
    bridge->GetExtendedCapability(&extended);
    bridge->GetPagePosition(&page, &pageCount);
    hr = bridge->GetServerFileName(fileName.put());
    printf("bridge server activated\n");
    printf("  server file name part: %ls (0x%08lX)\n", fileName.get() ? fileName.get() : L"",
           static_cast<unsigned long>(hr));
    printf("  reserved value:        %ld\n", static_cast<long>(reserved));
    printf("  model family:          %ld\n", static_cast<long>(family));
    printf("  extended capability:   %ld\n", static_cast<long>(extended));
    printf("  page position:         %ld of %ld\n", static_cast<long>(page),
           static_cast<long>(pageCount));
    bridge->Release();
    return 0;
}
