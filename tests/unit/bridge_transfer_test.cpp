// Image descriptions, image size and the four transfer requests against the simulated driver:
// the TW_IMAGEINFO bytes, the page query, the TWAIN statuses, and the page bytes delivered.
#include "bridge_fixture.h"
#include "hresult_values.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

SimItem Item(const wchar_t *name, LONG pages, LONG width, LONG height, LONG depth,
             const wchar_t *title = nullptr)
{
    return SimMakeItem(name, title != nullptr ? title : name, L"S-1-1-0", name, pages, width,
                       height, depth);
}

SimInjection Once(SimPoint point, DWORD code, HRESULT result, bool perform = false,
                  DWORD actual = ~0u)
{
    SimInjection injection = SimFailCall(point, result);
    injection.escapeCode = code;
    injection.perform = perform;
    injection.setActual = actual != ~0u;
    injection.actual = actual;
    injection.count = 1;
    return injection;
}

// A little-endian value at offset, as the client or the driver reads it.
template <typename T>
LONG At(const void *bytes, size_t offset)
{
    T value{};
    memcpy(&value, static_cast<const BYTE *>(bytes) + offset, sizeof(value));
    return static_cast<LONG>(value);
}

SimEscape LastTransfer()
{
    const std::vector<SimEscape> escapes = SimEscapes();
    for (auto escape = escapes.rbegin(); escape != escapes.rend(); ++escape) {
        if (escape->code == ESC_TRANSFER && escape->inBytes.size() >= sizeof(TransferRequest))
            return *escape;
    }
    ADD_FAILURE() << "no ESC_TRANSFER was sent";
    return SimEscape{};
}

ImageInfo Garbage()
{
    ImageInfo info;
    memset(&info, 0xCD, sizeof(info));
    return info;
}

// BitsPerPixel, BitsPerSample[0..2], PixelType, SamplesPerPixel, Planar.
std::array<LONG, 7> PixelFields(const ImageInfo &info)
{
    return {info.bitsPerPixel, info.bitsPerSample[0], info.bitsPerSample[1],
            info.bitsPerSample[2], info.pixelType,       info.samplesPerPixel,
            info.planar};
}

class TransferTest : public BridgeTest
{
protected:
    void Open(std::vector<SimItem> items)
    {
        const LONG count = static_cast<LONG>(items.size());
        AddScanner(std::move(items));
        ASSERT_EQ(OpenItems(), count);
    }

    void Select(LONG index) { ASSERT_EQ(bridge->SetSelection(&index, 1), S_OK); }

    void NextPage()
    {
        LONG remaining = 0;
        ASSERT_EQ(bridge->AdvancePage(0, &remaining), S_OK);
    }

    std::pair<LONG, LONG> PagePosition()
    {
        LONG page = 0, count = 0;
        EXPECT_EQ(bridge->GetPagePosition(&page, &count), S_OK);
        return {page, count};
    }

    TransferRequestView Request(LONG kind, const wchar_t *item, LONG value = 0)
    {
        wcscpy_s(m_name, item);
        return TransferRequestView{kind, 0, 1, 0, value, 0, m_name};
    }

    wchar_t m_name[260] = {};
};

TEST_F(TransferTest, PageOneIsDescribedByTheItemsOwnProperties)
{
    SimItem grey = Item(L"grey.tif", 2, 33, 10, 8);   // resolution code 2
    grey.properties.push_back(SimIntProperty(PROP_PLANAR, 1));   // the last record wins
    ASSERT_NO_FATAL_FAILURE(Open({grey}));
    ASSERT_NO_FATAL_FAILURE(Select(0));
    static_assert(sizeof(ImageInfo) == 42, "TW_IMAGEINFO is 42 bytes");
    ImageInfo info = Garbage();
    ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
    EXPECT_EQ(SimCountEscapes(ESC_TRANSFER), 0u);

    // Offset and value of every 16-bit field; ImageWidth and ImageLength are 32-bit.
    const std::pair<size_t, LONG> shorts[] = {
        {0, 300}, {2, 0},  {4, 300}, {6, 0},  {16, 1}, {18, 8}, {20, 0}, {22, 0}, {24, 0},
        {26, 0},  {28, 0}, {30, 0},  {32, 0}, {34, 8}, {36, 1}, {38, 1}, {40, 0},
    };
    for (const auto &field : shorts)
        EXPECT_EQ(At<SHORT>(&info, field.first), field.second) << "offset " << field.first;
    EXPECT_EQ(At<LONG>(&info, 8), 33);
    EXPECT_EQ(At<LONG>(&info, 12), 10);
    EXPECT_EQ(PagePosition(), std::make_pair(1L, 2L));
}

TEST_F(TransferTest, PixelFieldsFollowTheDepthAndTitle)
{
    SimItem planar = Item(L"planar.tif", 1, 8, 8, 8);
    planar.properties.push_back(SimIntProperty(PROP_PLANAR, 1));
    SimItem odd = Item(L"odd.tif", 1, 8, 8, 16);
    for (SimProperty &property : odd.properties) {
        if (property.id == PROP_PLANAR)
            property.value = 2;
    }
    ASSERT_NO_FATAL_FAILURE(Open({Item(L"deep.tif", 1, 8, 8, 16), Item(L"a", 1, 8, 8, 8, L"A.gif"),
                                  Item(L"b", 1, 8, 8, 8, L"B.GIF"), Item(L"c", 1, 8, 8, 8),
                                  planar, odd}));
    // The untitled item's record holds a null title.
    ItemRecord *untitled = nullptr;
    for (const SimBlockInfo &block : SimBlocks()) {
        if (block.kind == SimBlockKind::ItemList && !block.released)
            untitled = static_cast<ItemRecord *const *>(block.address)[3];
    }
    ASSERT_NE(untitled, nullptr);
    const BSTR title = std::exchange(untitled->title, nullptr);

    const struct
    {
        LONG index;
        std::array<LONG, 7> fields;
    } rows[] = {
        {0, {16, 0, 0, 0, 0, 0, 0}},   // an unknown depth leaves the zeros of a new block
        {1, {24, 8, 8, 8, 2, 3, 0}},   // ".gif" triples the depth
        {2, {8, 8, 0, 0, 1, 1, 0}},    // the test is case-sensitive
        {1, {24, 8, 8, 8, 2, 3, 0}},
        {3, {8, 8, 0, 0, 1, 1, 0}},    // a null title is no ".gif"
        {4, {8, 8, 0, 0, 1, 1, 1}},
        {5, {16, 8, 0, 0, 1, 1, 1}},   // depth 16 and planar 2 keep the earlier fields
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "item " << row.index);
        ASSERT_NO_FATAL_FAILURE(Select(row.index));
        ImageInfo info = Garbage();
        ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
        EXPECT_EQ(PixelFields(info), row.fields);
    }
    untitled->title = title;
}

TEST_F(TransferTest, ResolutionCodesGiveDotsPerInch)
{
    const std::pair<LONG, SHORT> rows[] = {{0, 100}, {1, 200}, {2, 300}, {3, 400}, {4, 600},
                                           {5, 150}, {6, 72},  {9, 100}, {-1, 100}};
    std::vector<SimItem> items;
    for (const auto &row : rows) {
        items.push_back(Item((L"r" + std::to_wstring(items.size())).c_str(), 1, 8, 8, 8));
        items.back().resolutionCode = row.first;
        items.back().properties = SimStandardItemProperties(items.back());
    }
    ASSERT_NO_FATAL_FAILURE(Open(items));
    for (LONG i = 0; i < static_cast<LONG>(std::size(rows)); ++i) {
        SCOPED_TRACE(testing::Message() << "code " << rows[i].first);
        ASSERT_NO_FATAL_FAILURE(Select(i));
        ImageInfo info = Garbage();
        ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
        EXPECT_EQ(info.xResolutionWhole, rows[i].second);
        EXPECT_EQ(info.yResolutionWhole, rows[i].second);
        EXPECT_EQ(info.xResolutionFrac + info.yResolutionFrac, 0);
    }
}

TEST_F(TransferTest, LaterPagesAreDescribedByTheDriver)
{
    SimItem item = Item(L"multi.tif", 3, 33, 10, 8);
    item.pageProperties.push_back(SimPageProperty{2, PROP_PAGES, 7, false});
    item.pageProperties.push_back(SimPageProperty{2, PROP_NUMBER_OF_LINES, 5, false});
    ASSERT_NO_FATAL_FAILURE(Open({item}));
    ASSERT_NO_FATAL_FAILURE(Select(0));
    ImageInfo info = Garbage();
    ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
    ASSERT_NO_FATAL_FAILURE(NextPage());
    ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
    ASSERT_EQ(SimCountEscapes(ESC_TRANSFER), 1u);
    const SimEscape escape = LastTransfer();
    EXPECT_EQ(escape.outSize, PAGE_PROPERTY_COUNT * sizeof(PropertyRecord));
    EXPECT_EQ(escape.actualIn, 0u);
    EXPECT_EQ(escape.text, L"multi.tif");
    const LONG fields[] = {0, 0, 2, 1, 0, 0};   // kind, pixelCode, page, option, value, flag
    for (size_t i = 0; i < std::size(fields); ++i)
        EXPECT_EQ(At<LONG>(escape.inBytes.data(), i * 4), fields[i]) << "field " << i;
    EXPECT_EQ(info.imageLength, 5);
    EXPECT_EQ(PagePosition(), std::make_pair(2L, 7L));

    // A description that does not arrive leaves the item's own properties or no output.
    const HRESULT unlockFault = HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    SimInjection pageFails = Once(SimPoint::Escape, ESC_TRANSFER, E_FAIL);
    pageFails.transferKind = SIM_TRANSFER_DESCRIPTION;
    const struct
    {
        const char *what;
        SimInjection injection;
        HRESULT expected;
        bool written;
    } rows[] = {
        {"escape fails", pageFails, S_FALSE, true},
        {"lock fails", Once(SimPoint::LockDevice, 0, E_FAIL), S_FALSE, false},
        {"unlock fails", Once(SimPoint::UnLockDevice, 0, unlockFault, true), unlockFault, true},
        {"unlock answers S_FALSE", Once(SimPoint::UnLockDevice, 0, S_FALSE, true), S_FALSE, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
        ASSERT_EQ(info.imageLength, 5);
        SimInject(row.injection);
        info = Garbage();
        EXPECT_EQ(bridge->GetImageInfo(&info, 1), row.expected);
        if (row.written) {
            EXPECT_EQ(info.imageLength, 10);
            EXPECT_EQ(PagePosition(), std::make_pair(2L, 3L));
        } else {
            const ImageInfo garbage = Garbage();
            EXPECT_EQ(memcmp(&info, &garbage, sizeof(info)), 0);
            EXPECT_EQ(PagePosition(), std::make_pair(2L, 7L));
        }
        SimClearInjections();
    }

    // Without the switch a later page is described by the item.
    ASSERT_NO_FATAL_FAILURE(NextPage());
    SimClearLog();
    ASSERT_EQ(bridge->GetImageInfo(&info, 0), S_OK);
    EXPECT_EQ(SimCountEscapes(ESC_TRANSFER), 0u);
    EXPECT_EQ(info.imageLength, 10);
    EXPECT_EQ(PagePosition(), std::make_pair(3L, 3L));
}

TEST_F(TransferTest, ImageSizeFromTheLastDescription)
{
    const HRESULT overflow = HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
    ASSERT_NO_FATAL_FAILURE(Open({Item(L"colour.tif", 2, 33, 10, 24),
                                  Item(L"large.tif", 1, 20000, 20000, 24),
                                  Item(L"huge.tif", 1, 100000, 100000, 24),
                                  Item(L"wrap.tif", 1, 1 << 30, 1 << 30, 16)}));
    LONG size = -7;
    EXPECT_EQ(bridge->GetImageSize(&size), E_FAIL);   // nothing selected
    EXPECT_EQ(size, -7);

    // Before any description one is made, with the page query on.
    ASSERT_NO_FATAL_FAILURE(Select(0));
    ASSERT_NO_FATAL_FAILURE(NextPage());
    ASSERT_EQ(bridge->GetImageSize(&size), S_OK);
    EXPECT_EQ(size, 990);
    ASSERT_EQ(bridge->GetImageSize(&size), S_OK);
    EXPECT_EQ(SimCountEscapes(ESC_TRANSFER), 1u);

    const struct
    {
        LONG index;
        HRESULT expected;
        LONG size;
    } rows[] = {
        {1, S_OK, 1200000000},   // the bit count alone passes 32 bits
        {2, overflow, -7},
        {3, overflow, -7},       // 16 x 2^30 x 2^30 bits passes 64 bits
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "item " << row.index);
        ASSERT_NO_FATAL_FAILURE(Select(row.index));
        ImageInfo info = Garbage();
        ASSERT_EQ(bridge->GetImageInfo(&info, 0), S_OK);
        size = -7;
        EXPECT_EQ(bridge->GetImageSize(&size), row.expected);
        EXPECT_EQ(size, row.size);
    }
}

TEST_F(TransferTest, PrepareTransferByKind)
{
    SimItem formatted = Item(L"fmt.tif", 1, 8, 8, 8);
    formatted.format = 2;   // client format 6
    formatted.properties = SimStandardItemProperties(formatted);
    const std::wstring longName(260, L'n');
    SimItem longNamed = Item(longName.c_str(), 1, 8, 8, 8);
    longNamed.format = 0;   // client format 4
    longNamed.properties = SimStandardItemProperties(longNamed);
    SimItem unformatted = Item(L"raw.tif", 1, 8, 8, 8);
    unformatted.properties.pop_back();   // 38933
    ASSERT_NO_FATAL_FAILURE(Open({formatted, longNamed, unformatted}));
    SimClearLog();

    LONG code = 0x5555;
    EXPECT_EQ(bridge->PrepareTransfer(0, 0, 7, 0, 0, 0, 0, 0, &code), E_FAIL);   // no selection
    EXPECT_EQ(code, 0x5555);
    const struct
    {
        LONG index;
        LONG kind;
        LONG code;
        HRESULT expected;
    } rows[] = {
        {0, 7, 1, S_OK},          {0, -3, 1, S_OK},
        {0, 1, 0x12340006, S_OK}, {0, 0, 0x1234FFFF, S_OK},
        {0, 2, 0x1234FFFF, S_OK}, {1, 7, 1, E_BOUNDED_CUT},
        {1, 0, 0x1234FFFF, E_BOUNDED_CUT}, {1, 1, 0x12340004, S_OK},
        {2, 1, 0x1234FFFF, S_OK},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "item " << row.index << " kind " << row.kind);
        ASSERT_NO_FATAL_FAILURE(Select(row.index));
        code = 0x1234FFFF;
        EXPECT_EQ(bridge->PrepareTransfer(0, 0, row.kind, 0, 0, 9, 4, 0, &code), row.expected);
        EXPECT_EQ(code, row.code);
    }
    EXPECT_EQ(SimCountEscapes(0), 0u);
}

TEST_F(TransferTest, TransferDataStatuses)
{
    const struct
    {
        const char *what;
        SimInjection injection;
        LONG status;
        bool zeroed;
    } rows[] = {
        {"S_OK", Once(SimPoint::Escape, ESC_TRANSFER, S_OK, true), TWRC_SUCCESS_CODE, false},
        {"S_FALSE", Once(SimPoint::Escape, ESC_TRANSFER, S_FALSE, true), TWRC_XFERDONE_CODE,
         false},
        {"failure", Once(SimPoint::Escape, ESC_TRANSFER, E_ACCESSDENIED), TWRC_FAILURE_CODE, true},
        {"unlock fails", Once(SimPoint::UnLockDevice, 0, E_FAIL, true), TWRC_FAILURE_CODE, false},
    };
    ASSERT_NO_FATAL_FAILURE(Open({Item(L"colour.tif", 3, 101, 7, 24)}));
    ASSERT_NO_FATAL_FAILURE(Select(0));
    ASSERT_NO_FATAL_FAILURE(NextPage());
    std::vector<BYTE> page(303 * 7);
    SimFillPage(L"colour.tif", 2, 0, page.data(), page.size());
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SimInject(row.injection);
        TransferRequestView request = Request(SIM_TRANSFER_DATA, L"colour.tif");
        request.page = 42;
        std::vector<BYTE> buffer(page.size(), 0xAA);
        LONG status = -1;
        EXPECT_EQ(bridge->TransferData(&request, buffer.data(), static_cast<ULONG>(buffer.size()),
                                       &status),
                  S_OK);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(buffer, row.zeroed ? std::vector<BYTE>(buffer.size(), 0) : page);
        // The bridge's current page goes to the driver; `actual` holds the buffer's size.
        const SimEscape escape = LastTransfer();
        EXPECT_EQ(At<LONG>(escape.inBytes.data(), offsetof(TransferRequest, page)), 2);
        EXPECT_EQ(escape.actualIn, buffer.size());
        EXPECT_EQ(request.page, 42);
        SimClearInjections();
    }
}

TEST_F(TransferTest, TransferDataPullsAWholePageInChunks)
{
    SimItem item = Item(L"colour.tif", 3, 101, 7, 24);
    item.pageProperties.push_back(SimPageProperty{2, PROP_NUMBER_OF_LINES, 5, false});
    ASSERT_NO_FATAL_FAILURE(Open({item}));
    ASSERT_NO_FATAL_FAILURE(Select(0));
    ASSERT_NO_FATAL_FAILURE(NextPage());
    std::vector<BYTE> expected(303 * 5);
    SimFillPage(L"colour.tif", 2, 0, expected.data(), expected.size());

    const TransferRequestView request = Request(SIM_TRANSFER_DATA, L"colour.tif");   // page 1
    const size_t chunk = 400;
    std::vector<BYTE> data;
    std::vector<LONG> statuses;
    for (LONG status = TWRC_SUCCESS_CODE; status == TWRC_SUCCESS_CODE && statuses.size() < 10;) {
        std::vector<BYTE> buffer(chunk, 0xAA);
        ASSERT_EQ(bridge->TransferData(&request, buffer.data(), chunk, &status), S_OK);
        statuses.push_back(status);
        const size_t used = std::min(chunk, expected.size() - data.size());
        data.insert(data.end(), buffer.begin(), buffer.begin() + used);
        EXPECT_EQ(static_cast<size_t>(std::count(buffer.begin() + used, buffer.end(), 0)),
                  chunk - used);
    }
    EXPECT_EQ(statuses, (std::vector<LONG>{0, 0, 0, 6}));
    EXPECT_EQ(data, expected);
}

TEST_F(TransferTest, TransferQueryReportsTheDriversNumber)
{
    const struct
    {
        const char *what;
        std::optional<SimInjection> injection;
        HRESULT expected;
        LONG value;
        LONG status;
    } rows[] = {
        {"answered", std::nullopt, S_OK, 303 * 7, 42},
        {"unlock fails", Once(SimPoint::UnLockDevice, 0, E_FAIL, true), S_OK, 303 * 7, 42},
        {"actual 0", Once(SimPoint::Escape, ESC_TRANSFER, S_OK, true, 0), E_FAIL, -5, 1},
        {"escape fails", Once(SimPoint::Escape, ESC_TRANSFER, E_ACCESSDENIED, true), E_FAIL, -5, 1},
    };
    ASSERT_NO_FATAL_FAILURE(Open({Item(L"colour.tif", 1, 101, 7, 24)}));
    ASSERT_NO_FATAL_FAILURE(Select(0));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.injection)
            SimInject(*row.injection);
        const TransferRequestView request =
            Request(SIM_TRANSFER_QUERY, L"colour.tif", SIM_QUERY_DATA_BYTES);
        LONG value = -5, status = 42;
        EXPECT_EQ(bridge->TransferQuery(&request, &value, &status), row.expected);
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(status, row.status);
        SimClearInjections();
    }
}

TEST_F(TransferTest, TransferImageCompletesUncompressedHeaders)
{
    SimItem rle = Item(L"rle.tif", 1, 33, 10, 8);
    rle.header.compression = BI_RLE8;
    SimItem v5 = Item(L"v5.tif", 1, 33, 10, 1);
    v5.header.size = 124;
    ASSERT_NO_FATAL_FAILURE(Open({Item(L"bw.tif", 1, 33, 10, 1), rle, v5}));
    // The driver writes biSizeImage 0: where it stays 0 the header was left alone.
    const struct
    {
        const char *what;
        LONG index;
        const wchar_t *name;
        std::optional<SimInjection> injection;
        ULONG size;   // 0: the whole image
        LONG status;
        LONG sizeImage;
    } rows[] = {
        {"1-bit BI_RGB", 0, L"bw.tif", std::nullopt, 0, TWRC_XFERDONE_CODE, 80},
        {"BI_RLE8", 1, L"rle.tif", std::nullopt, 0, TWRC_XFERDONE_CODE, 0},
        {"V5 header", 2, L"v5.tif", std::nullopt, 0, TWRC_XFERDONE_CODE, 0},
        {"failure after writing", 0, L"bw.tif", Once(SimPoint::Escape, ESC_TRANSFER, E_FAIL, true),
         0, TWRC_FAILURE_CODE, 80},
        {"failure", 0, L"bw.tif", Once(SimPoint::Escape, ESC_TRANSFER, E_FAIL), 0,
         TWRC_FAILURE_CODE, 0},
        {"buffer too small", 0, L"bw.tif", std::nullopt, 39, TWRC_FAILURE_CODE, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_NO_FATAL_FAILURE(Select(row.index));
        const SimItem *item = SimFindItem(TEST_DEVICE, TEST_ACCOUNT, row.name);
        ASSERT_NE(item, nullptr);
        const ULONG size = row.size != 0
                               ? row.size
                               : static_cast<ULONG>(SimGetPageGeometry(*item, 1).imageBytes);
        if (row.injection)
            SimInject(*row.injection);
        const TransferRequestView request = Request(SIM_TRANSFER_NATIVE, row.name);
        std::vector<BYTE> buffer(std::max<size_t>(size, 40), 0xAA);
        LONG status = -1;
        EXPECT_EQ(bridge->TransferImage(&request, buffer.data(), size, &status), S_OK);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(At<DWORD>(buffer.data(), 20), row.sizeImage);
        EXPECT_EQ(LastTransfer().actualIn, 0u);
        SimClearInjections();
    }
}

// The client gets a copy of the driver's string; the length is given whenever the string
// arrived, and a string that runs to the end of its block without a terminator did not arrive.
TEST_F(TransferTest, TransferStringHandsOutACopy)
{
    // Driver blocks end just before an inaccessible page: a read past one faults.
    ReleaseBridge();
    SimGuardReleasedMemory(true);
    bridge = new CStiScannerComBridge(&SimStiCreateInstance);
    ASSERT_NO_FATAL_FAILURE(Open({Item(L"grey.tif", 1, 8, 8, 8, L"Grey title")}));
    ASSERT_NO_FATAL_FAILURE(Select(0));
    const TransferRequestView request =
        Request(SIM_TRANSFER_STRING, L"grey.tif", SIM_STRING_TITLE);
    WCHAR *text = nullptr;
    LONG length = -1, status = 42;
    ASSERT_EQ(bridge->TransferString(&request, &text, &length, &status), S_OK);
    UniqueCoTaskMem owner(text);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"Grey title");
    EXPECT_EQ(length, 10);
    EXPECT_EQ(status, 42);
    // The driver's string stays the driver's.
    for (const SimBlockInfo &block : SimBlocks()) {
        if (block.kind == SimBlockKind::TransferString) {
            EXPECT_NE(block.address, static_cast<const void *>(text));
        }
    }

    const HRESULT unlockFault = HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    const struct
    {
        const char *what;
        std::optional<SimInjection> injection;
        bool unterminated;
        HRESULT expected;
        LONG length;
    } rows[] = {
        {"escape fails", Once(SimPoint::Escape, ESC_TRANSFER, E_FAIL), false, S_OK, -1},
        {"no string", Once(SimPoint::Escape, ESC_TRANSFER, S_OK), false, S_OK, -1},
        {"unlock fails", Once(SimPoint::UnLockDevice, 0, unlockFault, true), false, unlockFault,
         10},
        {"no terminator in its block", std::nullopt, true, S_OK, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.injection)
            SimInject(*row.injection);
        SimFindDevice(TEST_DEVICE)->faults.unterminatedTransferString = row.unterminated;
        WCHAR stale[] = L"stale";
        text = stale;
        length = -1;
        status = 42;
        EXPECT_EQ(bridge->TransferString(&request, &text, &length, &status), row.expected);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(length, row.length);
        EXPECT_EQ(status, TWRC_FAILURE_CODE);
        SimClearInjections();
    }
    ReleaseBridge();
    SimGuardReleasedMemory(false);
}

TEST_F(TransferTest, TransfersFailWithoutRequestDeviceOrLock)
{
    BYTE buffer[64];
    LONG value = -5, length = -5;
    WCHAR *text = nullptr;
    using Call = std::function<HRESULT(const TransferRequestView *, LONG *)>;
    const Call calls[] = {
        [&](const TransferRequestView *r, LONG *s) {
            return bridge->TransferData(r, buffer, sizeof(buffer), s);
        },
        [&](const TransferRequestView *r, LONG *s) { return bridge->TransferQuery(r, &value, s); },
        [&](const TransferRequestView *r, LONG *s) {
            return bridge->TransferImage(r, buffer, sizeof(buffer), s);
        },
        [&](const TransferRequestView *r, LONG *s) {
            return bridge->TransferString(r, &text, &length, s);
        },
    };
    const TransferRequestView request = Request(SIM_TRANSFER_DATA, L"grey.tif");
    for (size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(testing::Message() << "method " << i);
        LONG status = 42;
        EXPECT_EQ(calls[i](nullptr, &status), E_POINTER);
        EXPECT_EQ(status, 42);
        EXPECT_EQ(calls[i](&request, nullptr), E_POINTER);
        EXPECT_EQ(calls[i](&request, &status), E_FAIL);   // no device object yet
        EXPECT_EQ(status, TWRC_FAILURE_CODE);
    }
    // The page description is a driver request too.
    ImageInfo info = Garbage();
    EXPECT_EQ(bridge->GetImageInfo(&info, 1), E_FAIL);
    const ImageInfo garbage = Garbage();
    EXPECT_EQ(memcmp(&info, &garbage, sizeof(info)), 0);

    ASSERT_NO_FATAL_FAILURE(Open({Item(L"grey.tif", 1, 8, 8, 8)}));
    ASSERT_NO_FATAL_FAILURE(Select(0));
    SimClearLog();
    for (size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(testing::Message() << "method " << i);
        SimInject(Once(SimPoint::LockDevice, 0, E_FAIL));
        LONG status = 42;
        EXPECT_EQ(calls[i](&request, &status), E_FAIL);
        EXPECT_EQ(status, TWRC_FAILURE_CODE);
    }
    EXPECT_EQ(SimCountEscapes(0), 0u);
    EXPECT_EQ(SimCountCalls(SimCallKind::UnLockDevice), 0u);
    EXPECT_EQ(value, -5);
    EXPECT_EQ(length, -5);
    EXPECT_EQ(text, nullptr);
}

} // namespace
