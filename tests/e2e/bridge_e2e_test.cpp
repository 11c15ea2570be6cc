// The unmodified server, activated through COM from this client process, against the simulated
// scanner (the sti.dll beside it): devices, account, items, settings and page transfers, with the
// bytes checked against the simulator's generator and the driver's own report checked at the end.
#include "class_ids.h"
#include "e2e_support.h"
#include "owners.h"
#include "sim_sti.h"
#include "sti_scanner_com_bridge.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr wchar_t DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";
constexpr wchar_t ACCOUNT[] = L"alice";

class BridgeE2e : public testing::Test
{
protected:
    void SetUp() override
    {
        // A server still in its grace from the test before serves this one: the simulated
        // scanner takes the new scenario up as the session begins.
        m_scenario = ScenarioDir() + L"\\default.scn";
        m_report = E2eDir() + L"\\sim-report.txt";
        ASSERT_TRUE(InstallScenario(m_scenario, m_report));
        std::string error;
        // The client's own copy of the world tells what the pages must hold.
        ASSERT_TRUE(SimLoadScenarioFile(m_scenario.c_str(), &error)) << error;
        ASSERT_EQ(CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge)),
                  S_OK);
    }

    void TearDown() override
    {
        if (bridge != nullptr) {
            EXPECT_EQ(bridge->CloseDevice(), S_OK);
            EXPECT_EQ(bridge->Release(), 0u);
        }
        // The driver saw every block handed back and every object released.
        const std::string report = ReadReport(m_report);
        EXPECT_NE(report.find("services-alive 0"), std::string::npos) << report;
        EXPECT_NE(report.find("devices-alive 0"), std::string::npos) << report;
        EXPECT_EQ(report.find("violation"), std::string::npos) << report;
    }

    void OpenAccount()
    {
        ASSERT_EQ(bridge->CreateStillImage(), S_OK);
        LONG count = 0;
        UniqueBstr names;
        ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
        ASSERT_EQ(count, 1);
        ASSERT_EQ(bridge->OpenAccount(L"Office", L"Quillon", ACCOUNT), S_OK);
    }

    const SimItem &Item(const wchar_t *name)
    {
        const SimItem *item = SimFindItem(DEVICE, ACCOUNT, name);
        EXPECT_NE(item, nullptr);
        return *item;
    }

    IStiScannerComBridge *bridge = nullptr;

private:
    std::wstring m_scenario;
    std::wstring m_report;
};

TEST_F(BridgeE2e, FindsTheScannerOpensTheAccountAndSendsThePin)
{
    ASSERT_EQ(bridge->CreateStillImage(), S_OK);
    LONG count = 0;
    UniqueBstr names;
    ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
    EXPECT_EQ(count, 1) << "the WIA twin is skipped";
    EXPECT_STREQ(names.get(), L"Quillon 4410MFP;");
    LONG family = 7;
    EXPECT_EQ(bridge->SelectDevice(L"Quillon 4410MFP", &family), S_OK);
    EXPECT_EQ(family, 7) << "a chosen device is not chosen again";
    EXPECT_EQ(bridge->GetModelFamily(&family), S_OK);
    EXPECT_EQ(family, 2);

    ASSERT_EQ(bridge->OpenAccount(L"Office", L"Quillon", ACCOUNT), S_OK);
    LONG extended = 0;
    EXPECT_EQ(bridge->GetExtendedCapability(&extended), S_OK);
    EXPECT_EQ(extended, 1);
    EXPECT_EQ(bridge->SendUserPin(), S_OK) << "the stored PIN is the one the device expects";
    LONG deleteImage = 7;
    EXPECT_EQ(bridge->GetDeleteImageOnScan(&deleteImage), S_OK);
    EXPECT_TRUE(deleteImage == 0 || deleteImage == 1) << deleteImage;
}

TEST_F(BridgeE2e, ListsDescribesAndPagesThroughTheUsersJobs)
{
    OpenAccount();
    ASSERT_EQ(bridge->RegisterEvents(), S_OK);
    UniqueHandle jobEnded(OpenEventW(SYNCHRONIZE, FALSE, L"JobEnded"));
    EXPECT_TRUE(jobEnded) << "the named event is visible to other processes";

    // The device's own selection fetches the list; a fetch of our own hands that one back first.
    WCHAR selected[260] = {};
    EXPECT_EQ(bridge->GetDriverSelectedItem(selected), S_OK);
    EXPECT_STREQ(selected, L"JOB0002.tif");
    EXPECT_EQ(bridge->FreeItemList(), S_OK);

    LONG count = 0;
    ASSERT_EQ(bridge->GetItemCount(&count), S_OK);
    ASSERT_EQ(count, 5);
    const LONG expectedReady[] = {1, 1, 1, 1, 0};
    for (LONG i = 0; i < count; ++i) {
        LONG ready = 7;
        EXPECT_EQ(bridge->IsItemReady(i, &ready), S_OK);
        EXPECT_EQ(ready, expectedReady[i]) << "item " << i;
    }

    UniqueBstr display, thumbnail;
    ASSERT_EQ(bridge->GetItemFiles(0, display.put(), thumbnail.put()), S_OK);
    EXPECT_STREQ(display.get(), L"Quarterly report.tif");
    EXPECT_STREQ(thumbnail.get(), L"C:\\OrvaneScans\\JOB0001_tif.tmb");
    EXPECT_EQ(bridge->GetItemFiles(3, display.put(), thumbnail.put()), S_FALSE)
        << "another user's job";
    EXPECT_EQ(display.get(), nullptr);
    EXPECT_EQ(bridge->GetItemFiles(4, display.put(), thumbnail.put()), S_FALSE) << "not ready";

    UniqueBstr title;
    LONG pixelType = -1, resolution = -1, pages = -1, size = -1;
    ASSERT_EQ(bridge->GetItemDetails(2, title.put(), 0, &pixelType, &resolution, &pages, &size),
              S_OK);
    EXPECT_STREQ(title.get(), L"Delivery note.tif");
    EXPECT_EQ(pixelType, 0);
    EXPECT_EQ(resolution, 4);
    EXPECT_EQ(pages, 2);
    SYSTEMTIME time = {};
    EXPECT_EQ(bridge->GetItemTime(1, &time), S_OK);
    EXPECT_EQ(time.wYear, 2024);
    EXPECT_EQ(time.wMonth, 3);
    EXPECT_EQ(time.wDay, 6);
    EXPECT_EQ(time.wSecond, 45);

    // Items 0 and 2: three and two pages, walked page by page.
    const LONG selection[] = {0, 2};
    ASSERT_EQ(bridge->SetSelection(selection, 2), S_OK);
    std::vector<std::wstring> walked;
    LONG remaining = 0;
    ASSERT_EQ(bridge->AdvancePage(1, &remaining), S_OK);
    EXPECT_EQ(remaining, 5);
    while (remaining > 0) {
        ImageInfo info = {};
        ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
        UniqueBstr name;
        LONG page = 0;
        ASSERT_EQ(bridge->GetCurrentItem(name.put(), &page), S_OK);
        walked.push_back(std::wstring(name.get()) + L"#" + std::to_wstring(page) + L":" +
                         std::to_wstring(info.imageLength));
        ASSERT_EQ(bridge->AdvancePage(0, &remaining), S_OK);
    }
    const std::vector<std::wstring> expected = {L"JOB0001.tif#1:800", L"JOB0001.tif#2:800",
                                                L"JOB0001.tif#3:780", L"JOB0003.tif#1:800",
                                                L"JOB0003.tif#2:800"};
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(bridge->UnregisterEvents(), S_OK);
}

TEST_F(BridgeE2e, ReadsAndChangesTheScanSettings)
{
    OpenAccount();
    USHORT pixelType = 99, paperSize = 99, resolution = 99, format = 99, flag = 99;
    ASSERT_EQ(bridge->GetScanSettings(&pixelType, &paperSize, &resolution, &format, &flag), S_OK);
    ASSERT_EQ(bridge->SetScanSettings(L" Scan, Colour ", 2, 52, 400, 6, 1, 1), S_OK);
    ASSERT_EQ(bridge->GetScanSettings(&pixelType, &paperSize, &resolution, &format, &flag), S_OK);
    EXPECT_EQ(pixelType, 2);
    EXPECT_EQ(paperSize, 52);
    EXPECT_EQ(resolution, 400);
    EXPECT_EQ(format, 6);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(bridge->EndSettings(), S_OK);
    EXPECT_EQ(bridge->FreeScanSettings(), S_OK);
    EXPECT_EQ(bridge->FreeScanSettings(), E_FAIL) << "a block handed back is gone";
}

TEST_F(BridgeE2e, PullsEveryPageOfAColourJobInChunks)
{
    OpenAccount();
    LONG count = 0;
    ASSERT_EQ(bridge->GetItemCount(&count), S_OK);
    const LONG selection[] = {0};
    ASSERT_EQ(bridge->SetSelection(selection, 1), S_OK);
    const SimItem &item = Item(L"JOB0001.tif");

    constexpr ULONG CHUNK = 256 * 1024;
    std::vector<BYTE> chunk(CHUNK), expected(CHUNK);
    LONG remaining = 3;
    for (LONG page = 1; remaining > 0; ++page) {
        ImageInfo info = {};
        ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
        EXPECT_EQ(info.bitsPerPixel, 24);
        EXPECT_EQ(info.samplesPerPixel, 3);
        EXPECT_EQ(info.xResolutionWhole, 300);
        LONG size = 0;
        ASSERT_EQ(bridge->GetImageSize(&size), S_OK);
        const SimPageGeometry geometry = SimGetPageGeometry(item, page);
        ASSERT_EQ(static_cast<uint64_t>(size), geometry.dataBytes) << "page " << page;

        UniqueBstr name;
        LONG current = 0;
        ASSERT_EQ(bridge->GetCurrentItem(name.put(), &current), S_OK);
        ASSERT_EQ(current, page);
        TransferRequestView request = {SIM_TRANSFER_DATA, 0, 0, 0, 0, 0, name.get()};
        LONG received = 0;
        LONG status = 0;
        while (status == 0) {
            ASSERT_EQ(bridge->TransferData(&request, chunk.data(), CHUNK, &status), S_OK);
            ASSERT_TRUE(status == 0 || status == 6) << "status " << status;
            const ULONG bytes = static_cast<ULONG>(
                size - received < static_cast<LONG>(CHUNK) ? size - received : CHUNK);
            SimFillPage(name.get(), page, received, expected.data(), bytes);
            ASSERT_EQ(memcmp(chunk.data(), expected.data(), bytes), 0)
                << "page " << page << " at " << received;
            received += bytes;
        }
        EXPECT_EQ(received, size);
        ASSERT_EQ(bridge->AdvancePage(0, &remaining), S_OK);
    }

    // A string crosses as the client's own copy.
    TransferRequestView titleRequest = {SIM_TRANSFER_STRING, 0, 1, 0, SIM_STRING_TITLE, 0,
                                        const_cast<WCHAR *>(L"JOB0001.tif")};
    WCHAR *text = nullptr;
    LONG length = 0, status = 42;
    ASSERT_EQ(bridge->TransferString(&titleRequest, &text, &length, &status), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"Quarterly report.tif");
    EXPECT_EQ(length, 20);
    EXPECT_EQ(status, 42);
    CoTaskMemFree(text);
}

TEST_F(BridgeE2e, FetchesAGreyJobAsOneBitmap)
{
    OpenAccount();
    LONG count = 0, pages = 0;
    ASSERT_EQ(bridge->GetItemCount(&count), S_OK);
    ASSERT_EQ(bridge->SelectItemByName(1, &pages, L"JOB0002.tif", 8), S_OK);
    ASSERT_EQ(pages, 1);
    ImageInfo info = {};
    ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
    EXPECT_EQ(info.pixelType, 1);
    EXPECT_EQ(info.bitsPerPixel, 8);

    TransferRequestView request = {SIM_TRANSFER_QUERY, 0, 1, 0, SIM_QUERY_IMAGE_BYTES, 0,
                                   const_cast<WCHAR *>(L"JOB0002.tif")};
    LONG imageBytes = 0, status = 42;
    ASSERT_EQ(bridge->TransferQuery(&request, &imageBytes, &status), S_OK);
    ASSERT_GT(imageBytes, 40);

    std::vector<BYTE> image(imageBytes), expected(imageBytes);
    request.kind = SIM_TRANSFER_NATIVE;
    ASSERT_EQ(bridge->TransferImage(&request, image.data(), imageBytes, &status), S_OK);
    EXPECT_EQ(status, 6);
    ASSERT_TRUE(SimRenderNativeImage(Item(L"JOB0002.tif"), 1, expected.data(), imageBytes));
    // The bridge completes the image size of the uncompressed header: 600 bytes a row.
    BITMAPINFOHEADER header;
    memcpy(&header, image.data(), sizeof(header));
    EXPECT_EQ(header.biSizeImage, 600u * 800u);
    memcpy(expected.data() + offsetof(BITMAPINFOHEADER, biSizeImage), &header.biSizeImage,
           sizeof(header.biSizeImage));
    EXPECT_EQ(image, expected);
}

} // namespace
