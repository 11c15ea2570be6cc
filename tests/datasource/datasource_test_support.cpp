#include "datasource_test_support.h"

#include "e2e_support.h"
#include "expected_page.h"
#include "owners.h"

#include <cstddef>
#include <cstring>
#include <utility>

namespace {

std::wstring g_source;
constexpr wchar_t USER_KEY[] = L"Software\\Orvane\\Quillon4410MFP\\TWAIN";

void SetText(HKEY key, const wchar_t *name, const wchar_t *value)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

size_t PaddedRow(const TW_IMAGEINFO &info)
{
    return (static_cast<size_t>(info.ImageWidth) * info.BitsPerPixel + 31) / 32 * 4;
}

// The rows of a packed DIB, turned top-down with the padding kept, and its palette.
std::vector<BYTE> RowsOfDib(const BYTE *dib, const TW_IMAGEINFO &info,
                            std::vector<RGBQUAD> *palette)
{
    BITMAPINFOHEADER header;
    memcpy(&header, dib, sizeof(header));
    EXPECT_EQ(header.biSize, sizeof(header));
    EXPECT_EQ(header.biWidth, info.ImageWidth);
    EXPECT_EQ(header.biHeight, info.ImageLength) << "bottom-up";
    EXPECT_EQ(header.biBitCount, info.BitsPerPixel);
    EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
    const size_t padded = PaddedRow(info);
    EXPECT_EQ(header.biSizeImage, padded * static_cast<size_t>(info.ImageLength));
    const DWORD colours = info.BitsPerPixel <= 8 ? 1u << info.BitsPerPixel : 0;
    EXPECT_EQ(header.biClrUsed, colours);
    const auto *entries = reinterpret_cast<const RGBQUAD *>(dib + sizeof(header));
    palette->assign(entries, entries + colours);
    const BYTE *bits = dib + sizeof(header) + colours * sizeof(RGBQUAD);
    std::vector<BYTE> rows(padded * static_cast<size_t>(info.ImageLength));
    for (LONG y = 0; y < info.ImageLength; ++y)
        memcpy(rows.data() + padded * static_cast<size_t>(y),
               bits + padded * static_cast<size_t>(info.ImageLength - 1 - y), padded);
    return rows;
}

// A colour page's bars, read as an application reads the pixel at (x, y) from the top: R,G,B in
// memory strips, B,G,R in a DIB. The first bar is red, the third blue.
void ExpectBars(const std::vector<BYTE> &rows, size_t padded, const TW_IMAGEINFO &info, bool rgb)
{
    if (info.BitsPerPixel != 24)
        return;
    const LONG y = info.ImageLength / 2 + 7; // in the bars, off the grid lines
    const struct
    {
        LONG x;
        BYTE red, green, blue;
    } bars[] = {{info.ImageWidth / 16 + 3, 255, 0, 0}, {info.ImageWidth * 5 / 16 + 3, 0, 0, 255}};
    for (const auto &bar : bars) {
        const BYTE *pixel = rows.data() + padded * static_cast<size_t>(y) + 3 * bar.x;
        const BYTE red = rgb ? pixel[0] : pixel[2];
        const BYTE blue = rgb ? pixel[2] : pixel[0];
        EXPECT_TRUE(red == bar.red && pixel[1] == bar.green && blue == bar.blue)
            << "pixel " << bar.x << "," << y << " reads " << int(red) << "," << int(pixel[1]) << ","
            << int(blue) << (rgb ? " in a memory strip" : " in the DIB");
    }
}

void ExpectRows(const std::vector<BYTE> &rows, size_t padded, const std::vector<BYTE> &expected,
                const TW_IMAGEINFO &info)
{
    const size_t raw = (static_cast<size_t>(info.ImageWidth) * info.BitsPerPixel + 7) / 8;
    ASSERT_EQ(expected.size(), raw * static_cast<size_t>(info.ImageLength));
    ASSERT_EQ(rows.size(), padded * static_cast<size_t>(info.ImageLength));
    for (LONG y = 0; y < info.ImageLength; ++y) {
        const BYTE *row = rows.data() + padded * static_cast<size_t>(y);
        ASSERT_EQ(memcmp(row, expected.data() + raw * static_cast<size_t>(y), raw), 0)
            << "row " << y;
        for (size_t pad = raw; pad < padded; ++pad)
            ASSERT_EQ(row[pad], 0) << "padding of row " << y;
    }
}

} // namespace

RGBQUAD ReceivedPage::At(LONG x, LONG y, bool vanilla) const
{
    const BYTE *row = rows.data() + padded * static_cast<size_t>(y);
    if (info.BitsPerPixel == 24) {
        const BYTE *pixel = row + 3 * static_cast<size_t>(x);
        return memory ? RGBQUAD{pixel[2], pixel[1], pixel[0], 0}
                      : RGBQUAD{pixel[0], pixel[1], pixel[2], 0};
    }
    const BYTE index =
        info.BitsPerPixel == 8 ? row[x] : static_cast<BYTE>((row[x / 8] >> (7 - x % 8)) & 1);
    if (!memory)
        return palette.at(index);
    // In memory, 0 is black (chocolate) or white (vanilla).
    const BYTE level = info.BitsPerPixel == 8 ? index : index != 0 ? 255 : 0;
    const BYTE grey = vanilla ? static_cast<BYTE>(255 - level) : level;
    return RGBQUAD{grey, grey, grey, 0};
}

ReceivedPage ReceivePage(TwainApp &app, bool memory)
{
    ReceivedPage page;
    page.memory = memory;
    EXPECT_EQ(app.Send(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &page.info), TWRC_SUCCESS);
    page.padded = PaddedRow(page.info);
    if (!memory) {
        TW_HANDLE dib = nullptr;
        EXPECT_EQ(app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE)
            << "condition " << app.Condition();
        if (dib != nullptr) {
            page.rows =
                RowsOfDib(static_cast<const BYTE *>(GlobalLock(dib)), page.info, &page.palette);
            GlobalUnlock(dib);
            GlobalFree(dib);
        }
    } else {
        std::vector<BYTE> buffer(1024 * 1024);
        for (TW_UINT16 rc = TWRC_SUCCESS; rc == TWRC_SUCCESS;) {
            TW_IMAGEMEMXFER strip = {};
            strip.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
            strip.Memory.Length = static_cast<TW_UINT32>(buffer.size());
            strip.Memory.TheMem = buffer.data();
            rc = app.Send(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
            EXPECT_TRUE(rc == TWRC_SUCCESS || rc == TWRC_XFERDONE)
                << "condition " << app.Condition();
            if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE)
                break;
            EXPECT_EQ(strip.BytesPerRow, page.padded);
            page.rows.insert(page.rows.end(), buffer.begin(), buffer.begin() + strip.BytesWritten);
        }
    }
    EXPECT_EQ(page.rows.size(), page.padded * static_cast<size_t>(page.info.ImageLength));
    page.rows.resize(page.padded * static_cast<size_t>(page.info.ImageLength));
    TW_PENDINGXFERS pending = {};
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    return page;
}

const std::vector<PageOf> EVERY_READY_PAGE = {{L"JOB0001.tif", 1}, {L"JOB0001.tif", 2},
                                              {L"JOB0001.tif", 3}, {L"JOB0002.tif", 1},
                                              {L"JOB0003.tif", 1}, {L"JOB0003.tif", 2}};

// DAT_EXTIMAGEINFO after a page: its job is the session's document `document`, the page its
// `page`th, the front side; an item the source does not know is said to be unknown.
void ExpectDocumentAndPage(TwainApp &app, TW_UINT32 document, LONG page)
{
    static_assert(offsetof(ExtImageInfoItem, Item) == 8, "TWAIN 2's TW_INFO");
    struct
    {
        ExtImageInfoHead head;
        ExtImageInfoItem items[4];
    } asked = {};
    const TW_UINT16 ids[] = {TWEI_DOCUMENTNUMBER, TWEI_PAGENUMBER, TWEI_PAGESIDE, 0x1202};
    asked.head.NumInfos = 4;
    for (int i = 0; i < 4; ++i)
        asked.items[i].InfoID = ids[i];
    ASSERT_EQ(app.Send(DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, &asked), TWRC_SUCCESS)
        << "condition " << app.Condition();
    const UINT_PTR values[] = {document, static_cast<UINT_PTR>(page), TWCS_TOP};
    const TW_UINT16 types[] = {TWTY_UINT32, TWTY_UINT32, TWTY_UINT16};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(asked.items[i].ReturnCode, TWRC_SUCCESS) << std::hex << ids[i];
        EXPECT_EQ(asked.items[i].ItemType, types[i]) << std::hex << ids[i];
        EXPECT_EQ(asked.items[i].NumItems, 1) << std::hex << ids[i];
        EXPECT_EQ(asked.items[i].Item, values[i]) << std::hex << ids[i];
    }
    EXPECT_EQ(asked.items[3].ReturnCode, TWRC_INFONOTSUPPORTED) << "a barcode's text";
}

Answer Ask(TwainApp &app, TW_UINT16 msg, TW_UINT16 cap)
{
    TW_CAPABILITY capability = {cap, 0, nullptr};
    Answer answer = {app.Send(DG_CONTROL, DAT_CAPABILITY, msg, &capability), 0, 0, 0};
    if (answer.rc != TWRC_SUCCESS || capability.hContainer == nullptr)
        return answer;
    answer.conType = capability.ConType;
    const BYTE *data = static_cast<const BYTE *>(GlobalLock(capability.hContainer));
    memcpy(&answer.itemType, data, sizeof(answer.itemType));
    const size_t itemBytes = answer.itemType == TWTY_FIX32 || answer.itemType == TWTY_INT32 ||
                                     answer.itemType == TWTY_UINT32
                                 ? 4
                                 : 2;
    if (answer.conType == TWON_RANGE) {
        TW_RANGE range;
        memcpy(&range, data, sizeof(range));
        answer.value = range.CurrentValue;
    } else if (answer.conType == TWON_ONEVALUE) {
        memcpy(&answer.value, data + offsetof(TW_ONEVALUE, Item), itemBytes);
    } else if (answer.conType == TWON_ENUMERATION) {
        TW_ENUMERATION head;
        memcpy(&head, data, offsetof(TW_ENUMERATION, ItemList));
        memcpy(&answer.value,
               data + offsetof(TW_ENUMERATION, ItemList) + head.CurrentIndex * itemBytes,
               itemBytes);
    } else if (answer.conType == TWON_ARRAY) {
        TW_ARRAY head;
        memcpy(&head, data, offsetof(TW_ARRAY, ItemList));
        answer.value = head.NumItems;
    }
    GlobalUnlock(capability.hContainer);
    app.FreeContainer(capability.hContainer);
    return answer;
}

RunOptions &Options()
{
    static RunOptions options;
    return options;
}

const std::wstring &SourcePath()
{
    return g_source;
}

void SetSourcePath(const std::wstring &path)
{
    g_source = path;
}

std::wstring SourceScenario(const wchar_t *name)
{
    return ScenarioDir() + L"\\..\\..\\tests\\datasource\\scenarios\\" + name;
}

void SourceTest::Use(const wchar_t *scenarioName, DWORD deleteAfterScan, const wchar_t *account)
{
    m_used = true;
    // A server still in its grace serves this session: the simulated scanner takes the newly
    // installed scenario up when the session begins.
    scenario = SourceScenario(scenarioName);
    m_reportPath = E2eDir() + L"\\source-report.txt";
    ASSERT_TRUE(InstallScenario(scenario, m_reportPath));
    UniqueHKey settings, user;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\tavrk\\twain\\StiBridgeSource", 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, settings.put(), nullptr),
              ERROR_SUCCESS);
    SetText(settings.get(), L"AccountKey", account);
    SetText(settings.get(), L"SettingsName", L"Office");
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, USER_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              user.put(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(user.get(), L"Quillon_DeleteImageOnScan", 0, REG_DWORD,
                   reinterpret_cast<const BYTE *>(&deleteAfterScan), sizeof(deleteAfterScan));
    ASSERT_TRUE(app.Load(SourcePath())) << "cannot load the source";
}

void SourceTest::TearDown()
{
    app.Unload();
    if (!m_used)
        return;
    // The simulated driver writes its report when the source let go of its last STI object.
    report = ReadReport(m_reportPath);
    if (!report.empty()) {
        EXPECT_NE(report.find("devices-alive 0"), std::string::npos) << report;
        EXPECT_EQ(report.find("violation"), std::string::npos) << report;
    }
}

size_t SourceTest::CountInReport(const char *text)
{
    app.Unload();
    const std::string text_ = ReadReport(m_reportPath);
    size_t count = 0;
    for (size_t at = text_.find(text); at != std::string::npos; at = text_.find(text, at + 1))
        ++count;
    return count;
}

TW_UINT16 SourceTest::SetOneValue(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value)
{
    TW_CAPABILITY capability = {cap, TWON_ONEVALUE, GlobalAlloc(GHND, sizeof(TW_ONEVALUE))};
    TW_ONEVALUE one = {itemType, value};
    memcpy(GlobalLock(capability.hContainer), &one, sizeof(one));
    GlobalUnlock(capability.hContainer);
    const TW_UINT16 rc = app.Send(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(capability.hContainer);
    return rc;
}

void SourceTest::OpenAndEnable(TW_UINT16 expectedMessage, TW_UINT16 mechanism)
{
    ASSERT_EQ(app.Open(), TWRC_SUCCESS) << "condition " << app.Condition();
    ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, mechanism), TWRC_SUCCESS);
    TW_USERINTERFACE ui = {};
    ui.ShowUI = FALSE;
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS)
        << "condition " << app.Condition();
    EXPECT_EQ(app.TakeMessages(), std::vector<TW_UINT16>{expectedMessage});
}

void SourceTest::TransferPages(const std::vector<PageOf> &pages, bool memory, TW_UINT32 stripRows,
                               bool resetAfter)
{
    TW_PENDINGXFERS start = {};
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &start), TWRC_SUCCESS);
    if (resetAfter)
        ASSERT_GT(start.Count, pages.size());
    else
        ASSERT_EQ(start.Count, pages.size());
    TW_UINT32 document = 0;
    for (size_t n = 0; n < pages.size(); ++n) {
        const PageOf &page = pages[n];
        SCOPED_TRACE(testing::Message() << "page " << page.page << " of " << page.item);
        TW_IMAGEINFO info = {};
        ASSERT_EQ(app.Send(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS)
            << "condition " << app.Condition();
        const std::vector<BYTE> expected = ExpectedPage(scenario, page.item, page.page);
        const size_t padded = PaddedRow(info);
        std::vector<BYTE> rows;
        if (!memory) {
            TW_HANDLE dib = nullptr;
            ASSERT_EQ(app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE)
                << "condition " << app.Condition();
            ASSERT_NE(dib, nullptr);
            std::vector<RGBQUAD> palette;
            rows = RowsOfDib(static_cast<const BYTE *>(GlobalLock(dib)), info, &palette);
            GlobalUnlock(dib);
            GlobalFree(dib);
            if (!palette.empty())
                palettes.push_back(palette);
            ExpectBars(rows, padded, info, false);
        } else {
            const size_t bytes = memoryBuffer != 0 ? memoryBuffer : padded * stripRows + padded / 2;
            const TW_UINT32 strips = static_cast<TW_UINT32>(bytes / padded);
            HGLOBAL handle = GlobalAlloc(GHND, bytes);
            ASSERT_NE(handle, nullptr);
            TW_UINT16 rc = TWRC_SUCCESS;
            TW_UINT32 row = 0;
            while (rc == TWRC_SUCCESS) {
                TW_IMAGEMEMXFER strip = {};
                strip.Memory.Flags = TWMF_APPOWNS | (memoryHandle ? TWMF_HANDLE : TWMF_POINTER);
                strip.Memory.Length = static_cast<TW_UINT32>(bytes);
                strip.Memory.TheMem = memoryHandle ? handle : GlobalLock(handle);
                rc = app.Send(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
                const BYTE *data = static_cast<const BYTE *>(memoryHandle ? GlobalLock(handle)
                                                                          : strip.Memory.TheMem);
                const std::vector<BYTE> got(data, data + strip.BytesWritten);
                GlobalUnlock(handle);
                ASSERT_TRUE(rc == TWRC_SUCCESS || rc == TWRC_XFERDONE)
                    << "rc " << rc << ", condition " << app.Condition();
                const TW_UINT32 left = static_cast<TW_UINT32>(info.ImageLength) - row;
                EXPECT_EQ(strip.Compression, TWCP_NONE);
                EXPECT_EQ(strip.BytesPerRow, padded);
                EXPECT_EQ(strip.Columns, static_cast<TW_UINT32>(info.ImageWidth));
                EXPECT_EQ(strip.Rows, left < strips ? left : strips);
                EXPECT_EQ(strip.XOffset, 0u);
                EXPECT_EQ(strip.YOffset, row);
                EXPECT_EQ(strip.BytesWritten, strip.Rows * padded);
                EXPECT_EQ(rc == TWRC_XFERDONE, strip.Rows == left) << "the last strip ends it";
                rows.insert(rows.end(), got.begin(), got.end());
                row += strip.Rows;
                ASSERT_LE(row, static_cast<TW_UINT32>(info.ImageLength));
            }
            GlobalFree(handle);
            ExpectBars(rows, padded, info, true);
            // The driver's bytes are a DIB's B,G,R: compared in that order below.
            for (size_t y = 0; info.BitsPerPixel == 24 && y < rows.size() / padded; ++y) {
                for (LONG x = 0; x < info.ImageWidth; ++x)
                    std::swap(rows[y * padded + 3 * x], rows[y * padded + 3 * x + 2]);
            }
        }
        ExpectRows(rows, padded, expected, info);
        if (n == 0 || std::wstring(pages[n - 1].item) != page.item)
            ++document;
        ExpectDocumentAndPage(app, document, page.page);
        TW_PENDINGXFERS pending = {};
        const bool last = n + 1 == pages.size();
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS,
                           last && resetAfter ? MSG_RESET : MSG_ENDXFER, &pending),
                  TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, last && resetAfter ? 0 : start.Count - n - 1);
    }
}
