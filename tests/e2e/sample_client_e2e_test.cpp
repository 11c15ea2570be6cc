// The sample client as a data-source engineer runs it: against the default scenario it writes
// every page of the user's ready jobs as a BMP file, and the server is gone afterwards.
#include "e2e_support.h"
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr wchar_t DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";

std::vector<BYTE> ReadFileBytes(const std::wstring &path)
{
    std::vector<BYTE> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read,
                                     nullptr) ||
                           read != bytes.size()))
        bytes.clear();
    CloseHandle(file);
    return bytes;
}

// Checks one written page against the generator: header, then every row from the bottom up.
void CheckPage(const std::wstring &path, const SimItem &item, LONG page)
{
    SCOPED_TRACE(testing::Message() << "page " << page << " of " << item.name.size());
    const std::vector<BYTE> file = ReadFileBytes(path);
    ASSERT_GT(file.size(), sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER));
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER info;
    memcpy(&fileHeader, file.data(), sizeof(fileHeader));
    memcpy(&info, file.data() + sizeof(fileHeader), sizeof(info));
    const SimPageGeometry geometry = SimGetPageGeometry(item, page);
    EXPECT_EQ(fileHeader.bfType, 0x4D42);
    EXPECT_EQ(fileHeader.bfSize, file.size());
    ASSERT_EQ(info.biWidth, geometry.width);
    ASSERT_EQ(info.biHeight, geometry.height);
    ASSERT_EQ(info.biBitCount, geometry.depth);

    const size_t rawRow = static_cast<size_t>(geometry.rowBytes);
    const size_t paddedRow = (rawRow + 3) & ~static_cast<size_t>(3);
    ASSERT_EQ(file.size(), fileHeader.bfOffBits + paddedRow * geometry.height);
    std::vector<BYTE> expected(rawRow);
    for (LONG y = 0; y < geometry.height; ++y) {
        SimFillPage(item.name.c_str(), page, static_cast<uint64_t>(y) * rawRow, expected.data(),
                    rawRow);
        const BYTE *row = file.data() + fileHeader.bfOffBits +
                          paddedRow * static_cast<size_t>(geometry.height - 1 - y);
        ASSERT_EQ(memcmp(row, expected.data(), rawRow), 0) << "row " << y;
    }
}

TEST(SampleClientE2e, WritesEveryReadyPageOfTheUserAsABitmap)
{
    ASSERT_TRUE(WaitForNoServer(15000));
    const std::wstring scenario = ScenarioDir() + L"\\default.scn";
    const std::wstring report = E2eDir() + L"\\sample-report.txt";
    ASSERT_TRUE(InstallScenario(scenario, report));
    std::string error;
    ASSERT_TRUE(SimLoadScenarioFile(scenario.c_str(), &error)) << error;

    const std::wstring out = E2eDir() + L"\\sample-out";
    for (const wchar_t *name : {L"JOB0001_p1", L"JOB0001_p2", L"JOB0001_p3", L"JOB0002_p1",
                                L"JOB0003_p1", L"JOB0003_p2"})
        DeleteFileW((out + L"\\" + name + L".bmp").c_str());
    const std::wstring command = L"\"" + E2eDir() + L"\\sample_client.exe\" --out \"" + out +
                                 L"\" --chunk 100000";
    ASSERT_EQ(RunAndWait(command, 120000), 0u);

    struct Expected
    {
        const wchar_t *item;
        LONG page;
    };
    const Expected pages[] = {{L"JOB0001.tif", 1}, {L"JOB0001.tif", 2}, {L"JOB0001.tif", 3},
                              {L"JOB0002.tif", 1}, {L"JOB0003.tif", 1}, {L"JOB0003.tif", 2}};
    for (const Expected &expected : pages) {
        const SimItem *item = SimFindItem(DEVICE, L"alice", expected.item);
        ASSERT_NE(item, nullptr);
        std::wstring stem = expected.item;
        stem = stem.substr(0, stem.find(L'.'));
        CheckPage(out + L"\\" + stem + L"_p" + std::to_wstring(expected.page) + L".bmp", *item,
                  expected.page);
    }
    // Nothing of the other user's or the unfinished job.
    EXPECT_EQ(GetFileAttributesW((out + L"\\JOB0004_p1.bmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((out + L"\\JOB0005_p1.bmp").c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_TRUE(WaitForNoServer(15000)) << "the server outlived its last client";
    const std::string text = ReadReport(report);
    EXPECT_NE(text.find("devices-alive 0"), std::string::npos) << text;
    EXPECT_EQ(text.find("violation"), std::string::npos) << text;
}

} // namespace
