// A 32-bit client, as a 32-bit TWAIN data source is, against the 64-bit server through COM: it
// activates the server with CLSCTX_LOCAL_SERVER through the x86 proxy/stub, reads the object's
// own values, pulls pages whose bytes are checked against the simulator's generator, carries
// strings both ways, and receives ImageInfo as the 42 bytes of TWAIN's TW_IMAGEINFO, each field at
// its offset.
//
// The simulator builds for x64 only, so the generator's bytes come from sim_page_oracle.exe (x64,
// in the x86 folder of the end-to-end layout) and the default scenario's geometry is spelled out.
#include "class_ids.h"
#include "e2e_support.h"
#include "owners.h"
#include "sti_scanner_com_bridge.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

static_assert(sizeof(void *) == 4, "this client stands for a 32-bit data source");
// TW_IMAGEINFO with 2-byte packing, as the client's header declares it.
static_assert(sizeof(ImageInfo) == 42, "ImageInfo is 42 bytes");
static_assert(offsetof(ImageInfo, xResolutionWhole) == 0, "XResolution at 0");
static_assert(offsetof(ImageInfo, yResolutionWhole) == 4, "YResolution at 4");
static_assert(offsetof(ImageInfo, imageWidth) == 8, "ImageWidth at 8");
static_assert(offsetof(ImageInfo, imageLength) == 12, "ImageLength at 12");
static_assert(offsetof(ImageInfo, samplesPerPixel) == 16, "SamplesPerPixel at 16");
static_assert(offsetof(ImageInfo, bitsPerSample) == 18, "BitsPerSample at 18");
static_assert(offsetof(ImageInfo, bitsPerPixel) == 34, "BitsPerPixel at 34");
static_assert(offsetof(ImageInfo, planar) == 36, "Planar at 36");
static_assert(offsetof(ImageInfo, pixelType) == 38, "PixelType at 38");
static_assert(offsetof(ImageInfo, compression) == 40, "Compression at 40");

namespace {

constexpr wchar_t DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";
constexpr wchar_t ACCOUNT[] = L"alice";

// The driver's transfer kinds and string choice that the requests below name.
constexpr LONG TRANSFER_DATA = 1;
constexpr LONG TRANSFER_STRING = 3;
constexpr LONG STRING_TITLE = 0;

std::wstring X86Dir()
{
    return E2eDir() + L"\\x86";
}

// The bytes of a whole page of the scenario, as the simulator's generator makes them.
std::vector<BYTE> GeneratedPage(const std::wstring &scenario, const wchar_t *item, LONG page)
{
    const std::wstring output = X86Dir() + L"\\expected-page.bin";
    DeleteFileW(output.c_str());
    const std::wstring command = L"\"" + X86Dir() + L"\\sim_page_oracle.exe\" \"" + scenario +
                                 L"\" \"" + DEVICE + L"\" " + ACCOUNT + L" " + item + L" " +
                                 std::to_wstring(page) + L" \"" + output + L"\"";
    EXPECT_EQ(RunAndWait(command, 30000), 0u) << "sim_page_oracle for page " << page;
    std::vector<BYTE> bytes = ReadFileBytes(output);
    DeleteFileW(output.c_str());
    return bytes;
}

using InfoBytes = std::array<BYTE, 42>;

// What TW_IMAGEINFO holds for a page of the default scenario.
struct PageInfo
{
    int dpi;
    int width;
    int length;
    int samples;
    int bitsPerSample; // of each of the `samples` channels; the other channels hold 0
    int bitsPerPixel;
    int pixelType; // TWPT_BW 0, TWPT_GRAY 1, TWPT_RGB 2
};

void Put16(InfoBytes &bytes, size_t offset, int value)
{
    bytes[offset] = static_cast<BYTE>(value & 0xFF);
    bytes[offset + 1] = static_cast<BYTE>((value >> 8) & 0xFF);
}

void Put32(InfoBytes &bytes, size_t offset, long value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[offset + i] =
            static_cast<BYTE>((static_cast<unsigned long>(value) >> (8 * i)) & 0xFF);
}

// The little-endian bytes at the TW_IMAGEINFO offsets, written without the struct's layout.
InfoBytes ExpectedBytes(const PageInfo &page)
{
    InfoBytes bytes = {};
    Put16(bytes, 0, page.dpi); // XResolution.Whole; .Frac at 2 stays 0
    Put16(bytes, 4, page.dpi); // YResolution.Whole; .Frac at 6 stays 0
    Put32(bytes, 8, page.width);
    Put32(bytes, 12, page.length);
    Put16(bytes, 16, page.samples);
    for (int channel = 0; channel < page.samples; ++channel)
        Put16(bytes, 18 + 2 * static_cast<size_t>(channel), page.bitsPerSample);
    Put16(bytes, 34, page.bitsPerPixel);
    Put16(bytes, 36, 0); // Planar: chunky
    Put16(bytes, 38, page.pixelType);
    Put16(bytes, 40, 0); // Compression: TWCP_NONE
    return bytes;
}

long Read16(const InfoBytes &bytes, size_t offset)
{
    return static_cast<short>(bytes[offset] | (bytes[offset + 1] << 8));
}

long Read32(const InfoBytes &bytes, size_t offset)
{
    unsigned long value = 0;
    for (size_t i = 0; i < 4; ++i)
        value |= static_cast<unsigned long>(bytes[offset + i]) << (8 * i);
    return static_cast<long>(value);
}

// The client's ImageInfo, filled with a pattern first so that every byte must come back from the
// server, compared field by field at its offset and then as a whole; the bytes after it stay
// untouched.
void ExpectImageInfo(IStiScannerComBridge *bridge, const PageInfo &page)
{
    constexpr BYTE PATTERN = 0xA5;
    struct Guarded
    {
        ImageInfo info;
        BYTE after[22];
    } guarded;
    memset(&guarded, PATTERN, sizeof(guarded));
    ASSERT_EQ(bridge->GetImageInfo(&guarded.info, 1), S_OK);
    for (size_t i = 0; i < sizeof(guarded.after); ++i)
        EXPECT_EQ(guarded.after[i], PATTERN) << "byte " << sizeof(ImageInfo) + i << " was written";
    InfoBytes received;
    memcpy(received.data(), &guarded.info, sizeof(guarded.info));
    const InfoBytes expected = ExpectedBytes(page);
    struct Field
    {
        const char *name;
        size_t offset;
        bool wide;
    };
    const Field fields[] = {{"XResolution.Whole", 0, false}, {"YResolution.Whole", 4, false},
                            {"ImageWidth", 8, true},         {"ImageLength", 12, true},
                            {"SamplesPerPixel", 16, false},  {"BitsPerSample[0]", 18, false},
                            {"BitsPerPixel", 34, false},     {"Planar", 36, false},
                            {"PixelType", 38, false},        {"Compression", 40, false}};
    for (const Field &field : fields) {
        if (field.wide)
            EXPECT_EQ(Read32(received, field.offset), Read32(expected, field.offset)) << field.name;
        else
            EXPECT_EQ(Read16(received, field.offset), Read16(expected, field.offset)) << field.name;
    }
    EXPECT_EQ(received, expected) << "the 42 bytes of TW_IMAGEINFO";
}

// The default value of a key under HKEY_CLASSES_ROOT in one registry view.
std::wstring DefaultValue(const wchar_t *name, REGSAM view)
{
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, name, 0, KEY_QUERY_VALUE | view, key.put()) !=
        ERROR_SUCCESS)
        return L"<missing>";
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE *>(value),
                         &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return L"<no value>";
    return value;
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t &c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

// Each registry view names the proxy/stub of its own bitness for the interface.
TEST(Client32Registration, EachRegistryViewHasTheProxyStubOfItsBitness)
{
    constexpr wchar_t PROXY_CLASS[] = L"{8A4F2D19-6C3B-4E07-B5D8-1F9A6E3C0B75}";
    const std::wstring interfaceKey =
        L"Interface\\{8A4F2D19-6C3B-4E07-B5D8-1F9A6E3C0B74}\\ProxyStubClsid32";
    const std::wstring serverKey = std::wstring(L"CLSID\\") + PROXY_CLASS + L"\\InprocServer32";
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        SCOPED_TRACE(view == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view");
        EXPECT_EQ(Lower(DefaultValue(interfaceKey.c_str(), view)), Lower(PROXY_CLASS));
    }
    EXPECT_EQ(Lower(DefaultValue(serverKey.c_str(), KEY_WOW64_32KEY)),
              Lower(X86Dir() + L"\\StiScannerComBridgePS.dll"));
    EXPECT_EQ(Lower(DefaultValue(serverKey.c_str(), KEY_WOW64_64KEY)),
              Lower(E2eDir() + L"\\StiScannerComBridgePS.dll"));
}

class Client32E2e : public testing::Test
{
protected:
    void SetUp() override
    {
        // A server still in its grace from the test before serves this one: the simulated
        // scanner takes the new scenario up as the session begins.
        m_scenario = ScenarioDir() + L"\\default.scn";
        m_report = E2eDir() + L"\\sim-report.txt";
        ASSERT_TRUE(InstallScenario(m_scenario, m_report));
        ASSERT_EQ(CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge)),
                  S_OK);
        m_server = OpenServerProcess();
        ASSERT_NE(m_server, nullptr);
    }

    void TearDown() override
    {
        if (bridge != nullptr) {
            EXPECT_EQ(bridge->CloseDevice(), S_OK);
            EXPECT_EQ(bridge->Release(), 0u);
        }
        if (m_server != nullptr)
            CloseHandle(m_server);
        if (m_usedDriver) {
            // The driver saw every block handed back and every object released.
            const std::string report = ReadReport(m_report);
            EXPECT_NE(report.find("services-alive 0"), std::string::npos) << report;
            EXPECT_NE(report.find("devices-alive 0"), std::string::npos) << report;
            EXPECT_EQ(report.find("violation"), std::string::npos) << report;
        }
    }

    void FindScanner()
    {
        m_usedDriver = true;
        ASSERT_EQ(bridge->CreateStillImage(), S_OK);
        LONG count = 0;
        UniqueBstr names;
        ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
        ASSERT_EQ(count, 1);
        EXPECT_STREQ(names.get(), L"Quillon 4410MFP;");
    }

    void OpenAccount()
    {
        FindScanner();
        ASSERT_EQ(bridge->OpenAccount(L"Office", L"Quillon", ACCOUNT), S_OK);
    }

    void ListItems()
    {
        LONG count = 0;
        ASSERT_EQ(bridge->GetItemCount(&count), S_OK);
        ASSERT_EQ(count, 5);
    }

    HANDLE Server() const { return m_server; }
    const std::wstring &Scenario() const { return m_scenario; }

    IStiScannerComBridge *bridge = nullptr;

private:
    std::wstring m_scenario;
    std::wstring m_report;
    HANDLE m_server = nullptr;
    bool m_usedDriver = false;
};

TEST_F(Client32E2e, ActivatesTheX64ServerAndReadsItsOwnValues)
{
    BOOL clientWow64 = FALSE, serverWow64 = TRUE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &clientWow64));
    EXPECT_TRUE(clientWow64) << "the client runs as 32-bit on a 64-bit system";
    ASSERT_TRUE(IsWow64Process(Server(), &serverWow64));
    EXPECT_FALSE(serverWow64) << "the server runs as 64-bit";

    LONG reserved = 0, family = 0, extended = 7, page = 0, pageCount = 7;
    EXPECT_EQ(bridge->GetReservedValue(&reserved), S_OK);
    EXPECT_EQ(reserved, -1);
    EXPECT_EQ(bridge->GetModelFamily(&family), S_OK);
    EXPECT_EQ(family, -1);
    EXPECT_EQ(bridge->GetExtendedCapability(&extended), S_OK);
    EXPECT_EQ(extended, 0);
    EXPECT_EQ(bridge->GetPagePosition(&page, &pageCount), S_OK);
    EXPECT_EQ(page, 1);
    EXPECT_EQ(pageCount, 0);
    EXPECT_EQ(bridge->Reserved1(), S_OK);

    UniqueBstr fileName;
    EXPECT_EQ(bridge->GetServerFileName(fileName.put()), S_OK);
    ASSERT_NE(fileName.get(), nullptr);
    EXPECT_STREQ(fileName.get(), L"tiSc");
    EXPECT_EQ(SysStringLen(fileName.get()), 4u);

    // A failed call leaves the caller's [in, out] value as it was.
    BSTR name = nullptr;
    LONG currentPage = 42;
    EXPECT_EQ(bridge->GetCurrentItem(&name, &currentPage), E_FAIL);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(currentPage, 42);
}

TEST_F(Client32E2e, PullsEveryPageOfAColourJobCheckedAgainstTheGenerator)
{
    OpenAccount();
    ListItems();
    const LONG selection[] = {0};
    ASSERT_EQ(bridge->SetSelection(selection, 1), S_OK);

    constexpr ULONG CHUNK = 256 * 1024;
    std::vector<BYTE> chunk(CHUNK);
    LONG remaining = 3;
    LONG page = 1;
    for (; remaining > 0; ++page) {
        SCOPED_TRACE(testing::Message() << "page " << page);
        // 600 x 800 at 24 bits, 300 dpi; page 3 is described by the driver with 780 lines.
        const LONG lines = page == 3 ? 780 : 800;
        ExpectImageInfo(bridge, {300, 600, lines, 3, 8, 24, 2});
        const std::vector<BYTE> expected = GeneratedPage(Scenario(), L"JOB0001.tif", page);
        ASSERT_EQ(expected.size(), 600u * 3u * static_cast<size_t>(lines));
        LONG size = 0;
        ASSERT_EQ(bridge->GetImageSize(&size), S_OK);
        ASSERT_EQ(static_cast<size_t>(size), expected.size());

        UniqueBstr name;
        LONG current = 0;
        ASSERT_EQ(bridge->GetCurrentItem(name.put(), &current), S_OK);
        ASSERT_STREQ(name.get(), L"JOB0001.tif");
        ASSERT_EQ(current, page);
        TransferRequestView request = {TRANSFER_DATA, 0, 0, 0, 0, 0, name.get()};
        LONG received = 0;
        LONG status = 0;
        while (status == 0) {
            ASSERT_LT(received, size) << "the transfer goes on past the page";
            memset(chunk.data(), 0x5A, CHUNK);
            ASSERT_EQ(bridge->TransferData(&request, chunk.data(), CHUNK, &status), S_OK);
            ASSERT_TRUE(status == 0 || status == 6) << "status " << status;
            const ULONG bytes = static_cast<ULONG>(
                size - received < static_cast<LONG>(CHUNK) ? size - received : CHUNK);
            ASSERT_EQ(memcmp(chunk.data(), expected.data() + received, bytes), 0)
                << "at " << received;
            received += bytes;
        }
        EXPECT_EQ(received, size);
        ASSERT_EQ(bridge->AdvancePage(0, &remaining), S_OK);
    }
    EXPECT_EQ(page, 4);
}

TEST_F(Client32E2e, ReceivesTheImageInfoOfEachKindOfPageByteForByte)
{
    OpenAccount();
    ListItems();
    // JOB0003: black and white, 600 dpi, two pages alike.
    const LONG selection[] = {2};
    ASSERT_EQ(bridge->SetSelection(selection, 1), S_OK);
    LONG remaining = 2;
    LONG page = 1;
    for (; remaining > 0; ++page) {
        SCOPED_TRACE(testing::Message() << "page " << page);
        ExpectImageInfo(bridge, {600, 600, 800, 1, 1, 1, 0});
        ASSERT_EQ(bridge->AdvancePage(0, &remaining), S_OK);
    }
    EXPECT_EQ(page, 3);
    // JOB0002: grey, 200 dpi.
    LONG pages = 0;
    ASSERT_EQ(bridge->SelectItemByName(1, &pages, L"JOB0002.tif", 8), S_OK);
    ASSERT_EQ(pages, 1);
    ExpectImageInfo(bridge, {200, 600, 800, 1, 8, 8, 1});
}

TEST_F(Client32E2e, CarriesStringsBothWays)
{
    // [in, string] names reach the server; [out] strings come back as the client's own copies.
    FindScanner();
    LONG family = 7;
    EXPECT_EQ(bridge->SelectDevice(L"Quillon 4410MFP", &family), S_OK);
    EXPECT_EQ(bridge->GetModelFamily(&family), S_OK);
    EXPECT_EQ(family, 2);
    ASSERT_EQ(bridge->OpenAccount(L"Office", L"Quillon", ACCOUNT), S_OK);

    WCHAR selected[260];
    wmemset(selected, L'#', 260);
    EXPECT_EQ(bridge->GetDriverSelectedItem(selected), S_OK);
    EXPECT_STREQ(selected, L"JOB0002.tif");
    EXPECT_EQ(bridge->FreeItemList(), S_OK);
    ListItems();

    UniqueBstr display, thumbnail;
    ASSERT_EQ(bridge->GetItemFiles(0, display.put(), thumbnail.put()), S_OK);
    EXPECT_STREQ(display.get(), L"Quarterly report.tif");
    EXPECT_EQ(SysStringLen(display.get()), 20u);
    EXPECT_STREQ(thumbnail.get(), L"C:\\OrvaneScans\\JOB0001_tif.tmb");
    EXPECT_EQ(bridge->GetItemFiles(3, display.put(), thumbnail.put()), S_FALSE)
        << "another user's job";
    EXPECT_EQ(display.get(), nullptr);

    UniqueBstr title;
    LONG pixelType = -1, resolution = -1, pages = -1, size = -1;
    ASSERT_EQ(bridge->GetItemDetails(2, title.put(), 0, &pixelType, &resolution, &pages, &size),
              S_OK);
    EXPECT_STREQ(title.get(), L"Delivery note.tif");
    EXPECT_EQ(pages, 2);

    TransferRequestView titleRequest = {
        TRANSFER_STRING, 0, 1, 0, STRING_TITLE, 0, const_cast<WCHAR *>(L"JOB0001.tif")};
    WCHAR *text = nullptr;
    LONG length = 0, status = 42;
    ASSERT_EQ(bridge->TransferString(&titleRequest, &text, &length, &status), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"Quarterly report.tif");
    EXPECT_EQ(length, 20);
    EXPECT_EQ(status, 42);
    CoTaskMemFree(text);
}

// The sample client built for x86 walks the same road as the x64 one and writes the same
// bitmaps, byte for byte (the x64 client's are checked against the generator in tests/e2e).
TEST(Client32SampleClient, WritesTheSameBitmapsAsTheX64Client)
{
    const std::wstring scenario = ScenarioDir() + L"\\default.scn";
    const std::wstring report = X86Dir() + L"\\sample-report.txt";
    const wchar_t *const pages[] = {L"JOB0001_p1", L"JOB0001_p2", L"JOB0001_p3",
                                    L"JOB0002_p1", L"JOB0003_p1", L"JOB0003_p2"};
    struct Run
    {
        std::wstring client;
        std::wstring out;
    };
    const Run runs[] = {{X86Dir() + L"\\sample_client.exe", X86Dir() + L"\\sample-out-x86"},
                        {E2eDir() + L"\\sample_client.exe", X86Dir() + L"\\sample-out-x64"}};
    for (const Run &run : runs) {
        SCOPED_TRACE(testing::Message() << run.client.c_str());
        for (const wchar_t *name : pages)
            DeleteFileW((run.out + L"\\" + name + L".bmp").c_str());
        ASSERT_TRUE(InstallScenario(scenario, report));
        const std::wstring command =
            L"\"" + run.client + L"\" --out \"" + run.out + L"\" --chunk 100000";
        ASSERT_EQ(RunAndWait(command, 120000), 0u);
        const std::string text = ReadReport(report);
        EXPECT_NE(text.find("devices-alive 0"), std::string::npos) << text;
        EXPECT_EQ(text.find("violation"), std::string::npos) << text;
    }
    for (const wchar_t *name : pages) {
        SCOPED_TRACE(testing::Message() << name);
        const std::vector<BYTE> x86 = ReadFileBytes(runs[0].out + L"\\" + name + L".bmp");
        const std::vector<BYTE> x64 = ReadFileBytes(runs[1].out + L"\\" + name + L".bmp");
        ASSERT_GT(x64.size(), sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER));
        EXPECT_TRUE(x86 == x64) << x86.size() << " bytes from the x86 client, " << x64.size()
                                << " from the x64 client";
    }
}

} // namespace
