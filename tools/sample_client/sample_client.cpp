// Sample client: walks the road of one TWAIN data source through real COM activation of the
// bridge server: finds the scanner, opens the user's account, lists the stored jobs, reads (and
// changes) the scan settings, and pulls every page of the selected jobs into BMP files.
//
// The request kinds it sends (transfer_kinds.h) are those of the supported scanner family.
#include "bmp_file.h"
#include "class_ids.h"
#include "hresult_text.h"
#include "owners.h"
#include "sti_scanner_com_bridge.h"
#include "transfer_kinds.h"

#include <io.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr LONG KIND_DATA = TRANSFER_KIND_DATA;
constexpr LONG KIND_QUERY = TRANSFER_KIND_QUERY;
constexpr LONG KIND_BITMAP = TRANSFER_KIND_BITMAP;
constexpr LONG STATUS_MORE = TRANSFER_STATUS_MORE;
constexpr LONG STATUS_DONE = TRANSFER_STATUS_DONE;

struct Options
{
    std::wstring outDir = L"scans";
    std::wstring settingsName = L"Office";
    std::wstring settingsPrefix = L"Quillon";
    std::wstring account = L"alice";
    std::wstring device;            // local name to select when several are listed
    std::wstring select;            // empty: every ready job of the user; else one job's name
    std::wstring settingsText = L"Sample";
    bool launch = false;
    bool native = false;
    bool changeSettings = false;
    USHORT newSettings[5] = {};     // pixel type, paper size, dpi, format, flag
    ULONG chunk = 1024 * 1024;
};

void PrintUsage()
{
    printf(
        "usage: sample_client [options]\n"
        "Activates the bridge server through COM as a TWAIN data source does, lists the user's\n"
        "stored scan jobs and writes every page of the selected jobs as a BMP file.\n\n"
        "  --out DIR              folder for the BMP files (default: scans)\n"
        "  --account KEY          account key of the user (default: alice)\n"
        "  --settings-name NAME   settings name (default: Office)\n"
        "  --prefix PREFIX        settings prefix (default: Quillon)\n"
        "  --device NAME          local name of the scanner to use; it must be listed\n"
        "  --launch               use the device whose event launched the client\n"
        "  --select NAME          pull only this job, by its file name, if it is the user's and\n"
        "                         ready (default: every ready job of the user)\n"
        "  --set-settings P,S,D,F,G\n"
        "                         change the scan settings: pixel type, paper size, dpi,\n"
        "                         format code, flag (e.g. 2,1,300,0,0)\n"
        "  --settings-text TEXT   words of the settings name sent with --set-settings\n"
        "  --chunk BYTES          size of one data transfer (default: 1048576)\n"
        "  --native               fetch each page as one bitmap instead of data chunks\n"
        "  --help                 this text\n");
}

std::wstring Widen(const char *text)
{
    std::wstring wide;
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length > 0) {
        wide.resize(static_cast<size_t>(length));
        MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
        wide.resize(static_cast<size_t>(length - 1));
    }
    return wide;
}

bool ParseSettings(const char *text, USHORT (&values)[5])
{
    char *end = nullptr;
    const char *p = text;
    for (int i = 0; i < 5; ++i) {
        const unsigned long value = strtoul(p, &end, 10);
        if (end == p || value > 0xFFFF || (i < 4 ? *end != ',' : *end != '\0'))
            return false;
        values[i] = static_cast<USHORT>(value);
        p = end + 1;
    }
    return true;
}

// Reads the command line; returns -1 to go on, else the exit code.
int ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto takes = [&](const char *name) {
            return strcmp(arg, name) == 0 && value != nullptr && (++i, true);
        };
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            PrintUsage();
            return 0;
        } else if (strcmp(arg, "--launch") == 0) {
            options->launch = true;
        } else if (strcmp(arg, "--native") == 0) {
            options->native = true;
        } else if (takes("--out")) {
            options->outDir = Widen(value);
        } else if (takes("--account")) {
            options->account = Widen(value);
        } else if (takes("--settings-name")) {
            options->settingsName = Widen(value);
        } else if (takes("--prefix")) {
            options->settingsPrefix = Widen(value);
        } else if (takes("--device")) {
            options->device = Widen(value);
        } else if (takes("--select")) {
            options->select = Widen(value);
        } else if (takes("--settings-text")) {
            options->settingsText = Widen(value);
        } else if (takes("--set-settings")) {
            if (!ParseSettings(value, options->newSettings)) {
                fprintf(stderr, "sample_client: --set-settings wants five numbers: P,S,D,F,G\n");
                return 2;
            }
            options->changeSettings = true;
        } else if (takes("--chunk")) {
            const unsigned long chunk = strtoul(value, nullptr, 10);
            if (chunk == 0 || chunk > MAX_TRANSFER_BUFFER) {
                fprintf(stderr, "sample_client: --chunk wants 1 to %lu bytes\n",
                        static_cast<unsigned long>(MAX_TRANSFER_BUFFER));
                return 2;
            }
            options->chunk = chunk;
        } else {
            fprintf(stderr, "sample_client: unknown or incomplete option %s\n\n", arg);
            PrintUsage();
            return 2;
        }
    }
    if (options->launch && !options->device.empty()) {
        fprintf(stderr, "sample_client: --launch and --device exclude each other\n");
        return 2;
    }
    return -1;
}

// The names of a list in which each is followed by ";".
std::vector<std::wstring> SplitNames(const wchar_t *list)
{
    std::vector<std::wstring> names;
    for (const wchar_t *p = list != nullptr ? list : L""; *p != L'\0';) {
        const size_t length = wcscspn(p, L";");
        names.emplace_back(p, length);
        p += length;
        if (*p == L';')
            ++p;
    }
    return names;
}

// A failed call: says which and why, and gives the exit code.
int Fail(const char *what, HRESULT hr)
{
    const char *name = HresultName(hr);
    fprintf(stderr, "sample_client: %s failed: 0x%08lX%s%s\n", what,
            static_cast<unsigned long>(hr), name != nullptr ? " " : "", name != nullptr ? name : "");
    return 1;
}

// One progress line on a terminal, rewritten in place; a line per page elsewhere.
class Progress
{
public:
    Progress() : m_terminal(_isatty(_fileno(stdout)) != 0) {}

    void Chunk(const wchar_t *item, LONG page, ULONGLONG done, ULONGLONG total)
    {
        if (!m_terminal)
            return;
        printf("\r  %ls page %ld: %6.1f%% of %.1f MB   ", item, static_cast<long>(page),
               total != 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0,
               static_cast<double>(total) / 1e6);
        fflush(stdout);
    }

    void PageDone(const wchar_t *item, LONG page, ULONGLONG bytes, const std::wstring &file)
    {
        printf("%s  %ls page %ld: %llu bytes -> %ls\n", m_terminal ? "\r" : "", item,
               static_cast<long>(page), bytes, file.c_str());
    }

private:
    bool m_terminal;
};

class SampleClient
{
public:
    SampleClient(IStiScannerComBridge *bridge, const Options &options)
        : m_bridge(bridge), m_options(options)
    {
    }

    int Run()
    {
        int code = OpenDevice();
        if (code == 0)
            code = OpenAccount();
        if (code == 0)
            code = ListJobs();
        if (code == 0)
            code = ScanSettings();
        if (code == 0)
            code = SelectJobs();
        if (code == 0)
            code = PullPages();
        m_bridge->UnregisterEvents();
        const HRESULT hr = m_bridge->CloseDevice();
        if (code == 0 && FAILED(hr))
            code = Fail("CloseDevice", hr);
        return code;
    }

private:
    int OpenDevice()
    {
        HRESULT hr = m_bridge->CreateStillImage();
        if (FAILED(hr))
            return Fail("CreateStillImage", hr);
        if (m_options.launch) {
            hr = m_bridge->OpenLaunchDevice();
            if (FAILED(hr))
                return Fail("OpenLaunchDevice", hr);
        } else {
            LONG count = 0;
            UniqueBstr names;
            hr = m_bridge->EnumerateDevices(&count, names.put());
            if (FAILED(hr))
                return Fail("EnumerateDevices", hr);
            printf("scanners: %ls (%ld)\n", names.get() != nullptr ? names.get() : L"",
                   static_cast<long>(count));
            if (count == 0) {
                fprintf(stderr, "sample_client: no supported scanner is connected\n");
                return 1;
            }
            const std::vector<std::wstring> listed = SplitNames(names.get());
            std::wstring wanted = m_options.device;
            if (!wanted.empty() && std::find(listed.begin(), listed.end(), wanted) == listed.end()) {
                fprintf(stderr, "sample_client: no listed scanner is named \"%ls\" (listed: %ls)\n",
                        wanted.c_str(), names.get() != nullptr ? names.get() : L"");
                return 1;
            }
            if (count > 1) {
                if (wanted.empty())
                    wanted = listed.empty() ? std::wstring() : listed.front();
                LONG family = -1;
                hr = m_bridge->SelectDevice(wanted.c_str(), &family);
                if (FAILED(hr))
                    return Fail("SelectDevice", hr);
            }
        }
        LONG family = -1;
        m_bridge->GetModelFamily(&family);
        printf("model family: %ld\n", static_cast<long>(family));
        return 0;
    }

    int OpenAccount()
    {
        HRESULT hr = m_bridge->OpenAccount(m_options.settingsName.c_str(),
                                           m_options.settingsPrefix.c_str(),
                                           m_options.account.c_str());
        if (FAILED(hr))
            return Fail("OpenAccount", hr);
        hr = m_bridge->SendUserPin();
        if (FAILED(hr))
            return Fail("SendUserPin (is the stored PIN right?)", hr);
        LONG deleteImage = 0;
        if (m_bridge->GetDeleteImageOnScan(&deleteImage) == S_OK)
            printf("delete image on scan: %s\n", deleteImage != 0 ? "yes" : "no");
        hr = m_bridge->RegisterEvents();
        if (FAILED(hr))
            return Fail("RegisterEvents", hr);
        return 0;
    }

    int ListJobs()
    {
        LONG count = 0;
        const HRESULT hr = m_bridge->GetItemCount(&count);
        if (FAILED(hr))
            return Fail("GetItemCount", hr);
        printf("stored jobs of %ls: %ld\n", m_options.account.c_str(), static_cast<long>(count));
        for (LONG i = 0; i < count; ++i) {
            LONG ready = 0, pixelType = -1, resolution = -1, pages = 0, size = 0;
            UniqueBstr title, display, thumbnail;
            SYSTEMTIME time = {};
            m_bridge->IsItemReady(i, &ready);
            if (FAILED(m_bridge->GetItemDetails(i, title.put(), 0, &pixelType, &resolution,
                                                &pages, &size))) {
                printf("  [%ld] (no such item)\n", static_cast<long>(i));
                m_jobs.push_back(Job{false, false});
                continue;
            }
            m_bridge->GetItemTime(i, &time);
            const HRESULT files = m_bridge->GetItemFiles(i, display.put(), thumbnail.put());
            m_jobs.push_back(Job{ready != 0, false});
            printf("  [%ld] %ls  %ld page(s), %ld bytes, pixel type %ld, resolution code %ld, "
                   "%04u-%02u-%02u %02u:%02u:%02u, %s\n",
                   static_cast<long>(i), title.get() != nullptr ? title.get() : L"",
                   static_cast<long>(pages), static_cast<long>(size),
                   static_cast<long>(pixelType), static_cast<long>(resolution), time.wYear,
                   time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                   ready != 0 ? "ready" : "not ready");
            if (files == S_OK) {
                printf("       yours: display name \"%ls\", thumbnail %ls\n", display.get(),
                       thumbnail.get());
                m_ownReady.push_back(i);
                m_jobs.back().yours = true;
            } else if (files == S_FALSE) {
                printf("       %s\n", ready != 0 ? "not yours" : "not available yet");
            } else {
                Fail("GetItemFiles", files);
            }
        }
        return 0;
    }

    int ScanSettings()
    {
        USHORT values[5] = {};
        HRESULT hr = m_bridge->GetScanSettings(&values[0], &values[1], &values[2], &values[3],
                                               &values[4]);
        if (FAILED(hr))
            return Fail("GetScanSettings", hr);
        PrintSettings("scan settings", values);
        if (m_options.changeSettings) {
            const USHORT *v = m_options.newSettings;
            hr = m_bridge->SetScanSettings(m_options.settingsText.c_str(), v[0], v[1], v[2], v[3],
                                           0, v[4]);
            if (FAILED(hr))
                return Fail("SetScanSettings", hr);
            hr = m_bridge->GetScanSettings(&values[0], &values[1], &values[2], &values[3],
                                           &values[4]);
            if (FAILED(hr))
                return Fail("GetScanSettings", hr);
            PrintSettings("scan settings now", values);
        }
        m_bridge->EndSettings();
        return 0;
    }

    static void PrintSettings(const char *title, const USHORT (&v)[5])
    {
        printf("%s: pixel type %u, paper size %u, %u dpi, format %u, flag %u\n", title, v[0], v[1],
               v[2], v[3], v[4]);
    }

    // The job that selecting by name would take: the first whose name matches, found by
    // making each the current item in turn.
    int FindJob(const std::wstring &wanted, LONG *index)
    {
        *index = -1;
        for (LONG i = 0; i < static_cast<LONG>(m_jobs.size()) && *index < 0; ++i) {
            const HRESULT hr = m_bridge->SetSelection(&i, 1);
            if (FAILED(hr))
                return Fail("SetSelection", hr);
            UniqueBstr name;
            LONG page = 0;
            if (SUCCEEDED(m_bridge->GetCurrentItem(name.put(), &page)) &&
                name.get() != nullptr && lstrcmpW(name.get(), wanted.c_str()) == 0)
                *index = i;
        }
        return 0;
    }

    int SelectJobs()
    {
        if (!m_options.select.empty()) {
            const wchar_t *wanted = m_options.select.c_str();
            LONG index = -1;
            int code = FindJob(m_options.select, &index);
            if (code != 0)
                return code;
            if (index < 0) {
                fprintf(stderr, "sample_client: %ls has no job named %ls\n",
                        m_options.account.c_str(), wanted);
                return 1;
            }
            const Job &job = m_jobs[static_cast<size_t>(index)];
            if (!job.ready) {
                fprintf(stderr, "sample_client: job %ls is not ready yet; nothing transferred\n",
                        wanted);
                return 1;
            }
            if (!job.yours) {
                fprintf(stderr, "sample_client: job %ls is not yours; nothing transferred\n",
                        wanted);
                return 1;
            }
            // Selecting by name replaces the selection and the page count the search left.
            LONG pages = 0;
            const HRESULT hr = m_bridge->SelectItemByName(0, &pages, wanted, 0);
            if (FAILED(hr))
                return Fail("SelectItemByName", hr);
            if (pages == 0) {
                fprintf(stderr, "sample_client: job %ls is no longer ready\n", wanted);
                return 1;
            }
        } else if (!m_ownReady.empty()) {
            const HRESULT hr = m_bridge->SetSelection(m_ownReady.data(),
                                                      static_cast<LONG>(m_ownReady.size()));
            if (FAILED(hr))
                return Fail("SetSelection", hr);
        }
        return 0;
    }

    int PullPages()
    {
        LONG remaining = 0;
        m_bridge->AdvancePage(1, &remaining);
        printf("pages to pull: %ld\n", static_cast<long>(remaining));
        if (remaining > 0 && !CreateDirectoryW(m_options.outDir.c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            fprintf(stderr, "sample_client: cannot create %ls\n", m_options.outDir.c_str());
            return 1;
        }
        while (remaining > 0) {
            const int code = PullPage();
            if (code != 0)
                return code;
            m_bridge->AdvancePage(0, &remaining);
        }
        printf("pages written: %lu, to %ls\n", static_cast<unsigned long>(m_pagesWritten),
               m_options.outDir.c_str());
        return 0;
    }

    int PullPage()
    {
        ImageInfo info = {};
        HRESULT hr = m_bridge->GetImageInfo(&info, 1);
        if (FAILED(hr))
            return Fail("GetImageInfo", hr);
        if (hr != S_OK)
            printf("  (the page description did not arrive: 0x%08lX; the job's own is used)\n",
                   static_cast<unsigned long>(hr));
        LONG size = 0;
        hr = m_bridge->GetImageSize(&size);
        if (FAILED(hr))
            return Fail("GetImageSize", hr);
        UniqueBstr name;
        LONG page = 0;
        hr = m_bridge->GetCurrentItem(name.put(), &page);
        if (FAILED(hr))
            return Fail("GetCurrentItem", hr);

        std::wstring stem = name.get();
        stem = stem.substr(0, stem.find_last_of(L'.'));
        const std::wstring file =
            m_options.outDir + L"\\" + stem + L"_p" + std::to_wstring(page) + L".bmp";
        TransferRequestView request = {KIND_DATA, 0, page, 0, 0, 0, name.get()};
        return m_options.native ? PullBitmap(request, file) : PullData(request, info, size, file);
    }

    int PullData(TransferRequestView &request, const ImageInfo &info, LONG size,
                 const std::wstring &file)
    {
        RawPage raw;
        raw.width = info.imageWidth;
        raw.height = info.imageLength;
        raw.bitsPerPixel = static_cast<WORD>(info.bitsPerPixel);
        raw.rows.resize(static_cast<size_t>(size));
        std::vector<BYTE> chunk(m_options.chunk);
        ULONGLONG received = 0;
        LONG status = STATUS_MORE;
        while (status == STATUS_MORE) {
            const HRESULT hr = m_bridge->TransferData(&request, chunk.data(), m_options.chunk,
                                                      &status);
            if (FAILED(hr))
                return Fail("TransferData", hr);
            if (status != STATUS_MORE && status != STATUS_DONE) {
                fprintf(stderr, "sample_client: TransferData reported status %ld (failure)\n",
                        static_cast<long>(status));
                return 1;
            }
            const ULONGLONG left = raw.rows.size() - received;
            const size_t bytes = static_cast<size_t>(left < m_options.chunk ? left : m_options.chunk);
            memcpy(raw.rows.data() + received, chunk.data(), bytes);
            received += bytes;
            m_progress.Chunk(request.itemName, request.page, received, raw.rows.size());
        }
        if (!WriteBmp(file.c_str(), raw)) {
            fprintf(stderr, "sample_client: cannot write %ls\n", file.c_str());
            return 1;
        }
        ++m_pagesWritten;
        m_progress.PageDone(request.itemName, request.page, received, file);
        return 0;
    }

    int PullBitmap(TransferRequestView &request, const std::wstring &file)
    {
        request.kind = KIND_QUERY;
        request.value = QUERY_BITMAP_BYTES;
        LONG bytes = 0, status = 0;
        HRESULT hr = m_bridge->TransferQuery(&request, &bytes, &status);
        if (FAILED(hr))
            return Fail("TransferQuery", hr);
        std::vector<BYTE> bitmap(static_cast<size_t>(bytes));
        request.kind = KIND_BITMAP;
        request.value = 0;
        hr = m_bridge->TransferImage(&request, bitmap.data(), static_cast<ULONG>(bytes), &status);
        if (FAILED(hr))
            return Fail("TransferImage", hr);
        if (status != STATUS_DONE) {
            fprintf(stderr, "sample_client: TransferImage reported status %ld (failure)\n",
                    static_cast<long>(status));
            return 1;
        }
        if (!WriteBitmapFile(file.c_str(), bitmap.data(), bitmap.size())) {
            fprintf(stderr, "sample_client: cannot write %ls\n", file.c_str());
            return 1;
        }
        ++m_pagesWritten;
        m_progress.PageDone(request.itemName, request.page, bitmap.size(), file);
        return 0;
    }

    struct Job
    {
        bool ready;
        bool yours;            // the owner test passed
    };

    IStiScannerComBridge *m_bridge;
    const Options &m_options;
    std::vector<Job> m_jobs;   // by item index
    std::vector<LONG> m_ownReady;
    Progress m_progress;
    unsigned long m_pagesWritten = 0;
};

struct ComApartment
{
    HRESULT hr = CoInitialize(nullptr);
    ~ComApartment()
    {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
};

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0)
        return parsed;

    ComApartment apartment;
    if (FAILED(apartment.hr))
        return Fail("CoInitialize", apartment.hr);
    IStiScannerComBridge *bridge = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                        IID_IStiScannerComBridge,
                                        reinterpret_cast<void **>(&bridge));
    if (FAILED(hr))
        return Fail("activating the bridge server", hr);
    UniqueBstr serverName;
    bridge->GetServerFileName(serverName.put());
    printf("bridge server activated (%ls)\n", serverName.get() != nullptr ? serverName.get() : L"");
    const int code = SampleClient(bridge, options).Run();
    bridge->Release();
    return code;
}
