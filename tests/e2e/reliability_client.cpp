// A second client process for the reliability tests, run by them with an event prefix and an
// item name of the default scenario. It opens the account, pulls the first chunks of the item's
// first page, sets <prefix>_ready and waits for <prefix>_go; then it pulls the rest of the page,
// riding out requests that fail because another process holds the device lock (it sets
// <prefix>_lockfailed at the first), checks every byte and releases its object.
// Exit code 0: the page arrived whole and the object went; otherwise the failing step's line.
#include "class_ids.h"
#include "owners.h"
#include "sim_sti.h"
#include "sti_scanner_com_bridge.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr ULONG CHUNK = 64 * 1024;
constexpr LONG CHUNKS_BEFORE_READY = 3;
constexpr DWORD WAIT_MS = 600000;
constexpr int MAX_LOCK_FAILURES = 20;

HANDLE Event(const std::wstring &prefix, const wchar_t *name)
{
    return CreateEventW(nullptr, TRUE, FALSE, (prefix + L"_" + name).c_str());
}

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "reliability_client: line %d: %s\n", __LINE__, #condition);            \
            return __LINE__;                                                                       \
        }                                                                                          \
    } while (false)

int Run(IStiScannerComBridge *bridge, const std::wstring &prefix, const wchar_t *item)
{
    CHECK(bridge->CreateStillImage() == S_OK);
    LONG count = 1;
    UniqueBstr names;
    CHECK(bridge->EnumerateDevices(&count, names.put()) == S_OK && count == 1);
    CHECK(bridge->OpenAccount(L"Office", L"Quillon", L"alice") == S_OK);
    CHECK(bridge->GetItemCount(&count) == S_OK);
    LONG pages = 0;
    CHECK(bridge->SelectItemByName(0, &pages, item, 0) == S_OK && pages >= 1);
    ImageInfo info = {};
    CHECK(bridge->GetImageInfo(&info, 1) == S_OK);
    LONG size = 0;
    CHECK(bridge->GetImageSize(&size) == S_OK &&
          size > static_cast<LONG>(CHUNK) * CHUNKS_BEFORE_READY);

    TransferRequestView request = {SIM_TRANSFER_DATA, 0, 0, 0, 0, 0, const_cast<WCHAR *>(item)};
    std::vector<BYTE> chunk(CHUNK), expected(CHUNK);
    UniqueHandle ready(Event(prefix, L"ready")), go(Event(prefix, L"go")),
        lockFailed(Event(prefix, L"lockfailed"));
    LONG received = 0, status = 0, chunks = 0;
    int lockFailures = 0;
    while (status == 0) {
        if (chunks == CHUNKS_BEFORE_READY) {
            SetEvent(ready.get());
            CHECK(WaitForSingleObject(go.get(), WAIT_MS) == WAIT_OBJECT_0);
        }
        status = 42;
        const HRESULT hr = bridge->TransferData(&request, chunk.data(), CHUNK, &status);
        if (hr == E_FAIL && status == 1) {
            // The lock-failure entry: nothing reached the driver, so the same chunk comes next.
            SetEvent(lockFailed.get());
            CHECK(++lockFailures <= MAX_LOCK_FAILURES);
            status = 0;
            continue;
        }
        CHECK(hr == S_OK && (status == 0 || status == 6));
        const ULONG bytes = static_cast<ULONG>(
            size - received < static_cast<LONG>(CHUNK) ? size - received : CHUNK);
        SimFillPage(item, 1, static_cast<uint64_t>(received), expected.data(), bytes);
        CHECK(memcmp(chunk.data(), expected.data(), bytes) == 0);
        received += static_cast<LONG>(bytes);
        ++chunks;
    }
    CHECK(received == size);
    CHECK(bridge->CloseDevice() == S_OK);
    printf("reliability_client: %ld bytes in %ld chunks, %d lock failures\n", received, chunks,
           lockFailures);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("usage: reliability_client <event prefix> <item name>\n", stderr);
        return 2;
    }
    const std::string prefixText = argv[1], itemText = argv[2];
    const std::wstring prefix(prefixText.begin(), prefixText.end());
    const std::wstring item(itemText.begin(), itemText.end());
    if (FAILED(CoInitialize(nullptr)))
        return 3;
    IStiScannerComBridge *bridge = nullptr;
    int result = 4;
    if (CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                         IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge)) == S_OK) {
        result = Run(bridge, prefix, item.c_str());
        if (bridge->Release() != 0 && result == 0)
            result = 5;
    }
    CoUninitialize();
    fflush(stdout);
    return result;
}
