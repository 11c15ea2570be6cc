// ESC_TRANSFER and the page generator: every transfer kind delivers the same page bytes the
// generator gives tests, whatever the chunk size.
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const wchar_t DEVICE[] = L"TransferDevice\\0000";
const wchar_t ACCOUNT[] = L"user";

class SimTransferTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SimDevice device = SimMakeDevice(DEVICE, L"Orvane Quillon 4410MFP TWAIN", L"T");
        SimAccount account = SimMakeAccount(ACCOUNT);
        SimItem colour =
            SimMakeItem(L"colour.tif", L"Colour.tif", L"S-1-1-0", L"K1", 3, 101, 7, 24);
        colour.pageProperties.push_back(SimPageProperty{2, PROP_NUMBER_OF_LINES, 5, false});
        colour.pageProperties.push_back(SimPageProperty{3, PROP_PAGES, 0, true});
        colour.pageProperties.push_back(SimPageProperty{3, 38999, 77, false});
        account.items.push_back(colour);
        account.items.push_back(SimMakeItem(L"bw.tif", L"BW.tif", L"S-1-1-0", L"K2", 1, 33, 10, 1));
        device.accounts.push_back(account);
        SimAddDevice(device);
        ASSERT_EQ(SimOpenDevice(DEVICE, &m_service, &m_device), S_OK);
    }

    void TearDown() override
    {
        if (m_device != nullptr)
            m_device->Release();
        if (m_service != nullptr)
            m_service->Release();
    }

    TransferRequest Request(LONG kind, const wchar_t *item, LONG page, LONG value = 0)
    {
        wcscpy_s(m_itemName, item);
        TransferRequest request = {};
        request.kind = kind;
        request.page = page;
        request.option = kind == SIM_TRANSFER_DESCRIPTION ? 1 : 0;
        request.value = value;
        request.itemName = m_itemName;
        return request;
    }

    // Pulls a whole page in chunks of `chunk` bytes, as TransferData does.
    std::vector<BYTE> Pull(const wchar_t *item, LONG page, DWORD chunk, int *calls)
    {
        std::vector<BYTE> data;
        std::vector<BYTE> buffer(chunk);
        *calls = 0;
        for (;;) {
            TransferRequest request = Request(SIM_TRANSFER_DATA, item, page);
            DWORD actual = chunk;
            const HRESULT hr = SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request),
                                               buffer.data(), chunk, chunk, &actual);
            ++*calls;
            EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
            EXPECT_LE(actual, chunk);
            data.insert(data.end(), buffer.begin(), buffer.begin() + actual);
            if (hr != S_OK || *calls > 100000)
                return data;
        }
    }

    IStillImageW *m_service = nullptr;
    IStiDevice *m_device = nullptr;
    wchar_t m_itemName[260] = {};
};

// A pixel of a raw row, decoded as sim_sti.h describes rows.
uint32_t PixelAt(const BYTE *row, LONG x, LONG depth)
{
    uint32_t value = 0;
    if (depth % 8 == 0) {
        for (LONG i = depth / 8 - 1; i >= 0; --i)
            value = value << 8 | row[x * (depth / 8) + i];
        return value;
    }
    for (LONG i = 0; i < depth; ++i) {
        const LONG bit = x * depth + i;
        value = value << 1 | ((row[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return value;
}

TEST(SimGenerator, PagesShowMarkTextBarsRampAndGridAtEveryDepth)
{
    struct Case
    {
        LONG depth;
        uint32_t white;
        uint32_t red;      // colour depths only
    };
    const Case cases[] = {{1, 1, 0},          {4, 15, 0},           {8, 255, 0},
                          {12, 0xFFF, 0xF00}, {16, 0xFFFF, 0},      {24, 0xFFFFFF, 0xFF0000},
                          {32, 0xFFFFFF, 0xFF0000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << " bits");
        const SimItem item =
            SimMakeItem(L"chart.tif", L"Chart.tif", L"S-1-1-0", L"K", 2, 600, 800, c.depth);
        const SimPageGeometry g = SimGetPageGeometry(item, 1);
        const SimPageLayout layout = SimGetPageLayout(g);
        std::vector<BYTE> page(static_cast<size_t>(g.dataBytes));
        SimFillPage(item, 1, 0, page.data(), page.size());
        auto at = [&](LONG x, LONG y) {
            return PixelAt(page.data() + g.rowBytes * static_cast<uint64_t>(y), x, c.depth);
        };
        // The mark in the top-left corner only; text to its right.
        EXPECT_EQ(at(2, 2), 0u);
        EXPECT_EQ(at(g.width - 3, 2), c.white);
        int ink = 0;
        for (LONG y = 0; y < layout.headerRows; ++y) {
            for (LONG x = layout.markSize; x < g.width; ++x)
                ink += at(x, y) == 0;
        }
        EXPECT_GT(ink, 500);

        // Grid lines stand out from both neighbours on every body row.
        const LONG mid = layout.headerRows + layout.grid / 2;
        for (LONG y = layout.headerRows + 1; y < g.height && c.depth > 1; ++y) {
            if (y % layout.grid != 0) {
                ASSERT_NE(at(100, y), at(99, y)) << y;
                ASSERT_NE(at(100, y), at(101, y)) << y;
            }
        }
        if (c.red != 0) {
            EXPECT_EQ(at(g.width / 16, mid), c.red);
            EXPECT_EQ(at(g.width * 13 / 16, mid), 0u);
            EXPECT_EQ(at(g.width * 15 / 16, mid), c.white);
        }
        // The ramp runs from black at the left to white at the right.
        const LONG ramp = g.height - layout.grid / 2;
        if (c.depth > 1) {
            EXPECT_EQ(at(1, ramp), 0u);
            EXPECT_EQ(at(g.width - 1, ramp), c.white);
            for (LONG x = 2; x < g.width; ++x) {
                if (x % layout.grid > 1) {
                    ASSERT_GE(at(x, ramp), at(x - 1, ramp)) << x;
                }
            }
        } else {
            int left = 0, right = 0;
            for (LONG y = ramp - 4; y < ramp; ++y) {
                for (LONG x = 1; x < 40; ++x) {
                    left += at(x, y) == c.white;
                    right += at(g.width - 1 - x, y) == c.white;
                }
            }
            EXPECT_LT(left, 4 * 39 / 4);
            EXPECT_GT(right, 4 * 39 * 3 / 4);
        }

        // Any stretch matches the whole page; page 2 differs; nothing past the end.
        const uint64_t offsets[] = {0, 1, g.rowBytes - 1, g.rowBytes * 201 + 3};
        std::vector<BYTE> piece(static_cast<size_t>(g.rowBytes * 3 + 5));
        for (uint64_t offset : offsets) {
            SimFillPage(item, 1, offset, piece.data(), piece.size());
            ASSERT_EQ(memcmp(piece.data(), page.data() + offset, piece.size()), 0) << offset;
        }
        std::vector<BYTE> header(static_cast<size_t>(g.rowBytes * layout.headerRows));
        SimFillPage(item, 2, 0, header.data(), header.size());
        EXPECT_NE(memcmp(header.data(), page.data(), header.size()), 0);
        SimFillPage(item, 1, g.dataBytes - 2, piece.data(), 4);
        EXPECT_EQ(piece[2] | piece[3], 0);
    }
}

TEST_F(SimTransferTest, ChunkedDataMatchesTheGeneratorWhateverTheChunk)
{
    const SimItem *item = SimFindItem(DEVICE, ACCOUNT, L"colour.tif");
    ASSERT_NE(item, nullptr);
    const SimPageGeometry geometry = SimGetPageGeometry(*item, 1);
    EXPECT_EQ(geometry.rowBytes, 303u);
    EXPECT_EQ(geometry.dataBytes, 303u * 7);
    std::vector<BYTE> expected(static_cast<size_t>(geometry.dataBytes));
    SimFillPage(L"colour.tif", 1, 0, expected.data(), expected.size());

    const DWORD chunks[] = {1, 7, 303, 1000, static_cast<DWORD>(geometry.dataBytes), 1u << 20};
    for (DWORD chunk : chunks) {
        int calls = 0;
        const std::vector<BYTE> data = Pull(L"colour.tif", 1, chunk, &calls);
        EXPECT_EQ(data, expected) << "chunk " << chunk;
        EXPECT_EQ(calls, static_cast<int>((geometry.dataBytes + chunk - 1) / chunk)) << chunk;
    }
    // Page 2 is shorter by its page property.
    int calls = 0;
    EXPECT_EQ(Pull(L"colour.tif", 2, 64, &calls).size(), 303u * 5);
}

TEST_F(SimTransferTest, PositionRestartsWhenThePageChanges)
{
    std::vector<BYTE> buffer(100);
    TransferRequest first = Request(SIM_TRANSFER_DATA, L"colour.tif", 1);
    DWORD actual = 100;
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &first, sizeof(first), buffer.data(), 100,
                              100, &actual),
              S_OK);
    TransferRequest second = Request(SIM_TRANSFER_DATA, L"colour.tif", 2);
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &second, sizeof(second), buffer.data(), 100,
                              100, &actual),
              S_OK);
    EXPECT_EQ(buffer[0], SimPageByte(L"colour.tif", 2, 0));
    // Back on page 1 the transfer starts over, as after any change of page or item.
    first = Request(SIM_TRANSFER_DATA, L"colour.tif", 1);
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &first, sizeof(first), buffer.data(), 100,
                              100, &actual),
              S_OK);
    EXPECT_EQ(buffer[0], SimPageByte(L"colour.tif", 1, 0));
    EXPECT_EQ(buffer[99], SimPageByte(L"colour.tif", 1, 99));

    // The driver trusts the smaller of `actual` and the buffer's size.
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &first, sizeof(first), buffer.data(), 100,
                              10, &actual),
              S_OK);
    EXPECT_EQ(actual, 10u);
    EXPECT_EQ(buffer[0], SimPageByte(L"colour.tif", 1, 100));
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &first, sizeof(first), buffer.data(), 100,
                              0, &actual),
              E_INVALIDARG);
}

TEST_F(SimTransferTest, PageDescriptionCarriesTheGeometryAndPageProperties)
{
    PropertyRecord records[PAGE_PROPERTY_COUNT];
    memset(records, 0, sizeof(records));
    TransferRequest request = Request(SIM_TRANSFER_DESCRIPTION, L"colour.tif", 2);
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), records,
                              sizeof(records)),
              S_OK);
    const auto value = [&records](DWORD id, bool *found) {
        LONG last = 0;
        *found = false;
        for (const PropertyRecord &record : records) {
            if (record.id == id) {
                last = record.value.number;
                *found = true;
            }
        }
        return last;
    };
    bool found = false;
    const DWORD required[] = {3096, 4104, 4107, 4111, 4112, 4114, 6147};
    for (DWORD id : required) {
        value(id, &found);
        EXPECT_TRUE(found) << id;
    }
    EXPECT_EQ(value(PROP_PAGES, &found), 3);
    EXPECT_EQ(value(PROP_DEPTH, &found), 24);
    EXPECT_EQ(value(PROP_PIXELS_PER_LINE, &found), 101);
    EXPECT_EQ(value(PROP_NUMBER_OF_LINES, &found), 5);
    EXPECT_EQ(value(SIM_PROP_PAGE_NUMBER, &found), 2);

    // Page 3 has no page count; its extra property took the last place.
    request = Request(SIM_TRANSFER_DESCRIPTION, L"colour.tif", 3);
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), records,
                              sizeof(records)),
              S_OK);
    value(PROP_PAGES, &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(records[PAGE_PROPERTY_COUNT - 1].id, 38999u);
    EXPECT_EQ(records[PAGE_PROPERTY_COUNT - 1].value.number, 77);

    // Only option 1 with the 1584-byte answer is a description request.
    request.option = 0;
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), records,
                              sizeof(records)),
              E_INVALIDARG);
    request = Request(SIM_TRANSFER_DESCRIPTION, L"colour.tif", 4);
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), records,
                              sizeof(records)),
              E_INVALIDARG);
    request = Request(SIM_TRANSFER_DESCRIPTION, L"missing.tif", 1);
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), records,
                              sizeof(records)),
              STIERR_OBJECTNOTFOUND);
}

TEST_F(SimTransferTest, QueriesAndStrings)
{
    TransferRequest request = Request(SIM_TRANSFER_QUERY, L"colour.tif", 1, SIM_QUERY_DATA_BYTES);
    DWORD actual = 0;
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), nullptr, 0, 0,
                              &actual),
              S_OK);
    EXPECT_EQ(actual, 303u * 7);
    request.value = SIM_QUERY_PAGE_COUNT;
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), nullptr, 0, 0,
                              &actual),
              S_OK);
    EXPECT_EQ(actual, 3u);
    request.value = 99;
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), nullptr, 0, 0,
                              &actual),
              E_INVALIDARG);

    request = Request(SIM_TRANSFER_STRING, L"colour.tif", 1, SIM_STRING_TITLE);
    wchar_t *text = nullptr;
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), &text,
                              sizeof(text)),
              S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"Colour.tif");
    EXPECT_EQ(SimCountBlocks(SimBlockKind::TransferString, false), 1u);
    // The driver keeps its strings until the device object goes.
    m_device->Release();
    m_device = nullptr;
    EXPECT_TRUE(SimIsReleasedMemory(text));
    EXPECT_TRUE(SimViolations().empty());
}

TEST_F(SimTransferTest, NativeImageHeaderVariantsAndRows)
{
    SimItem *item = SimFindItem(DEVICE, ACCOUNT, L"bw.tif");
    ASSERT_NE(item, nullptr);
    TransferRequest request = Request(SIM_TRANSFER_NATIVE, L"bw.tif", 1);
    DWORD actual = 0;
    // 40-byte header, two palette entries, rows of 33 bits padded to 8 bytes.
    const DWORD size = 40 + 2 * 4 + 8 * 10;
    EXPECT_EQ(SimGetPageGeometry(*item, 1).imageBytes, size);
    std::vector<BYTE> small(size - 1, 0xAB);
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), small.data(),
                              static_cast<DWORD>(small.size()), 0, &actual),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(actual, size);
    EXPECT_EQ(small[0], 0xAB);

    std::vector<BYTE> image(size);
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), image.data(),
                              size, 0, &actual),
              S_OK);
    BITMAPINFOHEADER header;
    memcpy(&header, image.data(), sizeof(header));
    EXPECT_EQ(header.biSize, 40u);
    EXPECT_EQ(header.biWidth, 33);
    EXPECT_EQ(header.biHeight, 10);
    EXPECT_EQ(header.biBitCount, 1);
    EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(header.biSizeImage, 0u);
    // Bottom-up: the first stored row is the page's last; 5 bytes of data, 3 of padding.
    const BYTE *rows = image.data() + 48;
    for (size_t b = 0; b < 5; ++b)
        EXPECT_EQ(rows[b], SimPageByte(L"bw.tif", 1, 9 * 5 + b));
    EXPECT_EQ(rows[5] | rows[6] | rows[7], 0);

    item->header.size = 124;
    item->header.compression = BI_BITFIELDS;
    item->header.topDown = true;
    item->header.fillSizeImage = true;
    std::vector<BYTE> v5(static_cast<size_t>(SimGetPageGeometry(*item, 1).imageBytes));
    ASSERT_EQ(v5.size(), 124u + 8 + 80);
    ASSERT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), v5.data(),
                              static_cast<DWORD>(v5.size())),
              S_OK);
    BITMAPV5HEADER v5header;
    memcpy(&v5header, v5.data(), sizeof(v5header));
    EXPECT_EQ(v5header.bV5Size, 124u);
    EXPECT_EQ(v5header.bV5Height, -10);
    EXPECT_EQ(v5header.bV5Compression, static_cast<DWORD>(BI_BITFIELDS));
    EXPECT_EQ(v5header.bV5SizeImage, 80u);
    EXPECT_EQ(v5[124 + 8], SimPageByte(L"bw.tif", 1, 0));
}

TEST_F(SimTransferTest, InjectedTransferAnswersPerKind)
{
    SimInjection injection = SimFailEscape(ESC_TRANSFER, S_FALSE);
    injection.transferKind = SIM_TRANSFER_DATA;
    injection.perform = true;
    SimInject(injection);
    SimInjection query = SimFailEscape(ESC_TRANSFER, S_OK);
    query.transferKind = SIM_TRANSFER_QUERY;
    query.setActual = true;
    query.actual = 0;
    SimInject(query);

    std::vector<BYTE> buffer(16);
    TransferRequest request = Request(SIM_TRANSFER_DATA, L"colour.tif", 1);
    DWORD actual = 0;
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), buffer.data(), 16,
                              16, &actual),
              S_FALSE);
    EXPECT_EQ(actual, 16u);
    EXPECT_EQ(buffer[3], SimPageByte(L"colour.tif", 1, 3));
    request = Request(SIM_TRANSFER_QUERY, L"colour.tif", 1, SIM_QUERY_PAGE_COUNT);
    EXPECT_EQ(SimLockedEscape(m_device, ESC_TRANSFER, &request, sizeof(request), nullptr, 0, 0,
                              &actual),
              S_OK);
    EXPECT_EQ(actual, 0u);
}

} // namespace
