// The sample client as a data-source engineer runs it: against the default scenario it writes
// every page of the user's ready jobs as a BMP file, and the server is gone afterwards.
#include "e2e_support.h"
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
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

struct Bitmap
{
    LONG width = 0, height = 0;
    WORD bits = 0;
    std::vector<BYTE> file;
    size_t rowsAt = 0, stride = 0;

    // Row y counted from the top: a BMP stores the bottom row first.
    const BYTE *Row(LONG y) const { return file.data() + rowsAt + stride * (height - 1 - y); }
    // 24 bits: blue, green, red.
    RGBTRIPLE Pixel(LONG x, LONG y) const
    {
        RGBTRIPLE pixel;
        memcpy(&pixel, Row(y) + 3 * x, sizeof(pixel));
        return pixel;
    }
};

// Decodes a written BMP file; fails the test when it is not a well-formed bottom-up bitmap.
void ReadBitmap(const std::wstring &path, Bitmap *bitmap)
{
    bitmap->file = ReadFileBytes(path);
    const std::vector<BYTE> &file = bitmap->file;
    ASSERT_GT(file.size(), sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER));
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER info;
    memcpy(&fileHeader, file.data(), sizeof(fileHeader));
    memcpy(&info, file.data() + sizeof(fileHeader), sizeof(info));
    EXPECT_EQ(fileHeader.bfType, 0x4D42);
    EXPECT_EQ(fileHeader.bfSize, file.size());
    ASSERT_GT(info.biWidth, 0);
    ASSERT_GT(info.biHeight, 0);
    bitmap->width = info.biWidth;
    bitmap->height = info.biHeight;
    bitmap->bits = info.biBitCount;
    bitmap->rowsAt = fileHeader.bfOffBits;
    bitmap->stride = (static_cast<size_t>(info.biWidth) * info.biBitCount + 31) / 32 * 4;
    ASSERT_EQ(file.size(), bitmap->rowsAt + bitmap->stride * static_cast<size_t>(info.biHeight));
}

// Checks one written page against the generator, row by row.
void CheckPage(const std::wstring &path, const SimItem &item, LONG page)
{
    SCOPED_TRACE(testing::Message() << "page " << page);
    Bitmap bitmap;
    ASSERT_NO_FATAL_FAILURE(ReadBitmap(path, &bitmap));
    const SimPageGeometry geometry = SimGetPageGeometry(item, page);
    ASSERT_EQ(bitmap.width, geometry.width);
    ASSERT_EQ(bitmap.height, geometry.height);
    ASSERT_EQ(bitmap.bits, geometry.depth);
    const size_t rawRow = static_cast<size_t>(geometry.rowBytes);
    std::vector<BYTE> expected(rawRow);
    for (LONG y = 0; y < geometry.height; ++y) {
        SimFillPage(item, page, static_cast<uint64_t>(y) * rawRow, expected.data(), rawRow);
        ASSERT_EQ(memcmp(bitmap.Row(y), expected.data(), rawRow), 0) << "row " << y;
    }
}

bool Same(RGBTRIPLE a, RGBTRIPLE b)
{
    return a.rgbtRed == b.rgbtRed && a.rgbtGreen == b.rgbtGreen && a.rgbtBlue == b.rgbtBlue;
}

bool IsBlack(RGBTRIPLE p)
{
    return p.rgbtRed == 0 && p.rgbtGreen == 0 && p.rgbtBlue == 0;
}

bool IsWhite(RGBTRIPLE p)
{
    return p.rgbtRed == 255 && p.rgbtGreen == 255 && p.rgbtBlue == 255;
}

// What a person sees on a colour page, read from the file alone: the mark in the top-left
// corner (so the page is neither upside down nor mirrored), the bars in order with red first
// (so red and blue are not swapped), the grid's columns on every row (so rows are not sheared).
void CheckColourPageLooksRight(const std::wstring &path, const SimPageLayout &layout)
{
    Bitmap bitmap;
    ASSERT_NO_FATAL_FAILURE(ReadBitmap(path, &bitmap));
    ASSERT_EQ(bitmap.bits, 24);
    const LONG w = bitmap.width, h = bitmap.height, leg = layout.markSize * 3 / 4;
    EXPECT_TRUE(IsBlack(bitmap.Pixel(2, 2)));
    EXPECT_TRUE(IsBlack(bitmap.Pixel(leg, 2)));
    EXPECT_TRUE(IsBlack(bitmap.Pixel(2, leg)));
    EXPECT_TRUE(IsWhite(bitmap.Pixel(leg, leg)));
    EXPECT_TRUE(IsWhite(bitmap.Pixel(w - 3, 2)));

    const LONG y = layout.headerRows + layout.grid / 2;
    struct Bar
    {
        LONG index;
        BYTE red, green, blue;
    };
    const Bar bars[] = {{0, 255, 0, 0}, {1, 0, 255, 0}, {2, 0, 0, 255}, {7, 255, 255, 255}};
    for (const Bar &bar : bars) {
        const RGBTRIPLE p = bitmap.Pixel(w * (2 * bar.index + 1) / 16, y);
        EXPECT_EQ(p.rgbtRed, bar.red) << "bar " << bar.index;
        EXPECT_EQ(p.rgbtGreen, bar.green) << "bar " << bar.index;
        EXPECT_EQ(p.rgbtBlue, bar.blue) << "bar " << bar.index;
    }

    // Every grid column stands out from both neighbours on every row below the header.
    for (LONG row = layout.headerRows; row < h; ++row) {
        if (row % layout.grid == 0)
            continue;
        for (LONG x = layout.grid; x + 1 < w; x += layout.grid) {
            const RGBTRIPLE line = bitmap.Pixel(x, row);
            ASSERT_TRUE(IsBlack(line) || IsWhite(line)) << x << "," << row;
            ASSERT_FALSE(Same(line, bitmap.Pixel(x - 1, row))) << x << "," << row;
            ASSERT_FALSE(Same(line, bitmap.Pixel(x + 1, row))) << x << "," << row;
        }
    }
}

TEST(SampleClientE2e, WritesEveryReadyPageOfTheUserAsABitmap)
{
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
    const SimItem *colour = SimFindItem(DEVICE, L"alice", L"JOB0001.tif");
    CheckColourPageLooksRight(out + L"\\JOB0001_p1.bmp",
                              SimGetPageLayout(SimGetPageGeometry(*colour, 1)));
    // Nothing of the other user's or the unfinished job.
    EXPECT_EQ(GetFileAttributesW((out + L"\\JOB0004_p1.bmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((out + L"\\JOB0005_p1.bmp").c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_TRUE(WaitForNoServer(15000)) << "the server outlived its last client";
    const std::string text = ReadReport(report);
    EXPECT_NE(text.find("devices-alive 0"), std::string::npos) << text;
    EXPECT_EQ(text.find("violation"), std::string::npos) << text;
}

// Runs the client with its output in a file; returns the exit code and the output.
DWORD RunClient(const std::wstring &arguments, std::string *output)
{
    const std::wstring log = E2eDir() + L"\\sample-client-log.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<DWORD>(-1);
    std::wstring command = L"\"" + E2eDir() + L"\\sample_client.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION info = {};
    DWORD code = static_cast<DWORD>(-1);
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        if (WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0)
            GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
    }
    CloseHandle(file);
    const std::vector<BYTE> text = ReadFileBytes(log);
    output->assign(text.begin(), text.end());
    return code;
}

// The client takes only what is the user's and ready, from the scanner it was told to use.
TEST(SampleClientE2e, RefusesOtherUsersJobsJobsNotReadyAndUnlistedScanners)
{
    ASSERT_TRUE(InstallScenario(ScenarioDir() + L"\\default.scn",
                                E2eDir() + L"\\sample-refusal-report.txt"));
    const std::wstring out = E2eDir() + L"\\sample-refusals";
    struct Case
    {
        const wchar_t *arguments;
        bool succeeds;
        const char *says;
        const wchar_t *written;   // the one file the run may leave
    };
    const Case cases[] = {
        {L"--select JOB0004.tif", false, "JOB0004.tif is not yours", nullptr},
        {L"--select JOB0005.tif", false, "JOB0005.tif is not ready", nullptr},
        {L"--select JOB0999.tif", false, "no job named JOB0999.tif", nullptr},
        {L"--device \"Quillon 9999\"", false, "no listed scanner is named \"Quillon 9999\"",
         nullptr},
        {L"--device \"Quillon 4410MFP\" --select JOB0002.tif", true, "pages written: 1",
         L"JOB0002_p1.bmp"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.arguments);
        for (const wchar_t *name : {L"JOB0002_p1", L"JOB0004_p1", L"JOB0005_p1"})
            DeleteFileW((out + L"\\" + name + L".bmp").c_str());
        std::string output;
        const DWORD code = RunClient(std::wstring(c.arguments) + L" --out \"" + out + L"\"",
                                     &output);
        EXPECT_EQ(code == 0, c.succeeds) << code << "\n" << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        for (const wchar_t *name : {L"JOB0002_p1.bmp", L"JOB0004_p1.bmp", L"JOB0005_p1.bmp"}) {
            const bool wanted = c.written != nullptr && wcscmp(name, c.written) == 0;
            EXPECT_EQ(GetFileAttributesW((out + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES,
                      wanted)
                << name;
        }
    }
}

} // namespace
