// Page content: every page is a test page a person can check by eye. A white header holds a
// black triangle in the top-left corner and the job's title, name and "page N of M", drawn
// with GDI into a one-bit DIB section; below it colour pages show eight bars and a grey ramp,
// grey pages the ramp alone, and thin grid lines run on every SIM_PAGE_GRID-th row and column.
//
// Below the header a row is one of a handful of kinds (bars or ramp, grid line or not, the
// dither phase of one-bit pages), so a page is kept as its header mask and one row of each
// kind: any stretch of a page of any size is a few conversions and memcpy calls, and no page
// is ever stored whole.
#include "owners.h"
#include "sim_sti.h"
#include "sim_world.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Rows longer than this (a width no scanner has) give a page of zeros instead of a picture.
constexpr uint64_t MAX_ROW_BYTES = 1u << 20;
constexpr size_t PAGE_CACHE = 4;

struct DeleteDc { void operator()(HDC dc) const { DeleteDC(dc); } };
struct DeleteGdiObject { void operator()(HGDIOBJ object) const { DeleteObject(object); } };
using UniqueDc = UniqueAny<HDC, DeleteDc>;
using UniqueGdiObject = UniqueAny<HGDIOBJ, DeleteGdiObject>;

// Restores a DC's previous object when it goes.
class SelectedObject
{
public:
    SelectedObject(HDC dc, HGDIOBJ object) : m_dc(dc), m_previous(SelectObject(dc, object)) {}
    ~SelectedObject() { SelectObject(m_dc, m_previous); }
    SelectedObject(const SelectedObject &) = delete;
    SelectedObject &operator=(const SelectedObject &) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

struct Rgb
{
    BYTE r, g, b;
};

constexpr Rgb BLACK = {0, 0, 0};
constexpr Rgb WHITE = {255, 255, 255};
constexpr Rgb BARS[8] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255}, {0, 255, 255},
                         {255, 0, 255}, {255, 255, 0}, BLACK,       WHITE};
// Ordered dither thresholds for one-bit ramps.
constexpr BYTE BAYER[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

unsigned Luminance(Rgb c)
{
    return (299u * c.r + 587u * c.g + 114u * c.b + 500u) / 1000u;
}

// A pixel's value in a raw row: up to 8 bits and 16 bits are grey levels; other depths of more
// than 8 bits hold blue, green and red in equal fields from the low bits up.
uint32_t PixelValue(LONG depth, Rgb c)
{
    if (depth <= 8)
        return (Luminance(c) * ((1u << depth) - 1) + 127) / 255;
    if (depth == 16)
        return Luminance(c) * 257;
    const int bits = depth / 3 < 8 ? depth / 3 : 8;
    const int drop = 8 - bits;
    return static_cast<uint32_t>(c.b >> drop) | static_cast<uint32_t>(c.g >> drop) << bits |
           static_cast<uint32_t>(c.r >> drop) << (2 * bits);
}

// Whole-byte pixels are little-endian; smaller and odd sizes are packed from the high bit, as
// in a bitmap. The row starts zeroed.
void PutPixel(BYTE *row, uint64_t x, LONG depth, uint32_t value)
{
    if (depth % 8 == 0) {
        BYTE *p = row + x * static_cast<uint64_t>(depth / 8);
        for (LONG i = 0; i < depth / 8; ++i)
            p[i] = static_cast<BYTE>(value >> (8 * i));
        return;
    }
    const uint64_t first = x * static_cast<uint64_t>(depth);
    for (LONG i = 0; i < depth; ++i) {
        if ((value >> (depth - 1 - i)) & 1u) {
            const uint64_t bit = first + static_cast<uint64_t>(i);
            row[bit / 8] |= static_cast<BYTE>(0x80u >> (bit % 8));
        }
    }
}

struct Page
{
    std::wstring name, title;
    LONG page = 0, pages = 0;
    SimPageGeometry geometry = {};
    SimPageLayout layout = {};
    bool blank = true;                // zeros: a geometry no picture fits
    size_t maskStride = 0;            // the header: one bit a pixel, 1 white, rows of maskStride
    std::vector<BYTE> mask;
    std::vector<std::vector<BYTE>> kinds; // the body's rows, one of each kind
    std::vector<BYTE> expand;         // header rows at whole-byte depths: 8 pixels of a mask
    std::vector<BYTE> white;          // byte, and a white row for the long white runs

    bool Matches(const SimItem &item, LONG pageNumber, const SimPageGeometry &g) const
    {
        return page == pageNumber && pages == item.pages && name == item.name &&
               title == item.title && geometry.width == g.width && geometry.height == g.height &&
               geometry.depth == g.depth;
    }

    size_t KindOf(uint64_t row) const
    {
        const bool line = row % static_cast<uint64_t>(layout.grid) == 0;
        if (geometry.depth == 1)
            return line ? 4 : static_cast<size_t>(row % 4);
        const size_t region = row < static_cast<uint64_t>(layout.barRowsEnd) ? 0 : 2;
        return region + (line ? 1 : 0);
    }
};

bool IsGridColumn(const SimPageLayout &layout, LONG x)
{
    return x % layout.grid == 0;
}

BYTE RampLevel(LONG x, LONG width)
{
    return static_cast<BYTE>(width > 1 ? static_cast<int64_t>(x) * 255 / (width - 1) : 0);
}

// One body row of a kind: bars or ramp beneath, grid columns (or the whole row on a grid line)
// in black or white, whichever stands out from the colour beneath.
std::vector<BYTE> BodyRow(const Page &page, bool bars, bool line, int phase)
{
    const SimPageGeometry &g = page.geometry;
    std::vector<BYTE> row(static_cast<size_t>(g.rowBytes), 0);
    for (LONG x = 0; x < g.width; ++x) {
        const BYTE level = RampLevel(x, g.width);
        const Rgb beneath =
            bars ? BARS[static_cast<int64_t>(x) * 8 / g.width] : Rgb{level, level, level};
        Rgb colour = beneath;
        if (line || IsGridColumn(page.layout, x))
            colour = Luminance(beneath) >= 128 ? BLACK : WHITE;
        else if (g.depth == 1)
            colour = level * 16 / 255 > BAYER[phase][x % 4] ? WHITE : BLACK;
        PutPixel(row.data(), static_cast<uint64_t>(x), g.depth, PixelValue(g.depth, colour));
    }
    return row;
}

// Draws one line of text at (x, y) in a font of the given cell height, made smaller when the
// text would run past the right edge. Returns the height used.
LONG DrawTextLine(HDC dc, const std::wstring &text, LONG x, LONG y, LONG height, LONG right,
                  bool bold)
{
    const int length = static_cast<int>(text.size());
    for (int attempt = 0; attempt < 2 && height > 0; ++attempt) {
        UniqueGdiObject font(CreateFontW(-height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                                         FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                         CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                                         DEFAULT_PITCH | FF_SWISS, L"Tahoma"));
        if (!font)
            return 0;
        SelectedObject selected(dc, font.get());
        SIZE extent = {};
        const LONG room = right - x;
        if (attempt == 0 && GetTextExtentPoint32W(dc, text.c_str(), length, &extent) &&
            extent.cx > room && room > 0) {
            height = static_cast<LONG>(static_cast<int64_t>(height) * room / extent.cx);
            continue;
        }
        TextOutW(dc, x, y, text.c_str(), length);
        return height;
    }
    return height;
}

// The header as a one-bit mask: white, the corner mark, three lines of text. An empty mask (a
// page too wide for a DIB section) leaves the header white.
void RenderHeader(Page &page)
{
    const SimPageGeometry &g = page.geometry;
    const SimPageLayout &l = page.layout;
    const LONG rows = l.headerRows < g.height ? l.headerRows : g.height;
    page.maskStride = (static_cast<size_t>(g.width) + 31) / 32 * 4;
    struct
    {
        BITMAPINFOHEADER header;
        RGBQUAD colours[2];
    } info = {};
    info.header.biSize = sizeof(info.header);
    info.header.biWidth = g.width;
    info.header.biHeight = -rows;
    info.header.biPlanes = 1;
    info.header.biBitCount = 1;
    info.colours[1] = RGBQUAD{255, 255, 255, 0};

    UniqueDc dc(CreateCompatibleDC(nullptr));
    void *bits = nullptr;
    UniqueGdiObject bitmap(
        dc ? CreateDIBSection(dc.get(), reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS,
                              &bits, nullptr, 0)
           : nullptr);
    if (!bitmap || bits == nullptr)
        return;
    {
        SelectedObject selected(dc.get(), bitmap.get());
        PatBlt(dc.get(), 0, 0, g.width, rows, WHITENESS);
        SelectedObject brush(dc.get(), GetStockObject(BLACK_BRUSH));
        SelectedObject pen(dc.get(), GetStockObject(BLACK_PEN));
        const POINT mark[3] = {{0, 0}, {l.markSize - 1, 0}, {0, l.markSize - 1}};
        Polygon(dc.get(), mark, 3);

        SetBkMode(dc.get(), TRANSPARENT);
        SetTextColor(dc.get(), RGB(0, 0, 0));
        const LONG unit = l.textHeight;
        const LONG x = l.markSize + unit / 4;
        const LONG right = g.width - unit / 4;
        LONG y = unit / 4;
        y += DrawTextLine(dc.get(), page.title, x, y, unit, right, true) + unit / 4;
        y += DrawTextLine(dc.get(), page.name, x, y, unit * 3 / 4, right, false) + unit / 4;
        DrawTextLine(dc.get(), L"page " + std::to_wstring(page.page) + L" of " +
                                   std::to_wstring(page.pages),
                     x, y, unit * 3 / 4, right, false);
        GdiFlush();
    }
    const BYTE *source = static_cast<const BYTE *>(bits);
    page.mask.assign(source, source + page.maskStride * static_cast<size_t>(rows));
}

std::shared_ptr<const Page> Render(const SimItem &item, LONG pageNumber,
                                   const SimPageGeometry &geometry)
{
    auto page = std::make_shared<Page>();
    page->name = item.name;
    page->title = item.title;
    page->page = pageNumber;
    page->pages = item.pages;
    page->geometry = geometry;
    page->layout = SimGetPageLayout(geometry);
    const LONG depth = geometry.depth;
    page->blank = geometry.width <= 0 || geometry.height <= 0 || depth <= 0 || depth > 32 ||
                  geometry.rowBytes > MAX_ROW_BYTES;
    if (page->blank)
        return page;

    RenderHeader(*page);
    if (depth == 1) {
        for (int phase = 0; phase < 4; ++phase)
            page->kinds.push_back(BodyRow(*page, false, false, phase));
        page->kinds.push_back(BodyRow(*page, false, true, 0));
    } else {
        for (bool bars : {true, false}) {
            page->kinds.push_back(BodyRow(*page, bars && page->layout.colour, false, 0));
            page->kinds.push_back(BodyRow(*page, bars && page->layout.colour, true, 0));
        }
    }
    if (depth % 8 == 0) {
        // Each mask byte's eight pixels at once: white pixels take the white value.
        const size_t pixelBytes = static_cast<size_t>(depth / 8);
        std::vector<BYTE> white(pixelBytes, 0);
        PutPixel(white.data(), 0, depth, PixelValue(depth, WHITE));
        page->white.assign(static_cast<size_t>(geometry.rowBytes), 0);
        for (LONG x = 0; x < geometry.width; ++x)
            memcpy(&page->white[static_cast<size_t>(x) * pixelBytes], white.data(), pixelBytes);
        page->expand.assign(256 * 8 * pixelBytes, 0);
        for (size_t byte = 0; byte < 256; ++byte) {
            for (size_t bit = 0; bit < 8; ++bit) {
                if (byte & (0x80u >> bit))
                    memcpy(&page->expand[(byte * 8 + bit) * pixelBytes], white.data(),
                           pixelBytes);
            }
        }
    }
    return page;
}

// A header row at the page's depth.
void HeaderRow(const Page &page, uint64_t row, BYTE *out)
{
    const SimPageGeometry &g = page.geometry;
    const size_t rowBytes = static_cast<size_t>(g.rowBytes);
    if (page.mask.empty()) {
        // No mask: a white row.
        memset(out, 0, rowBytes);
        const uint32_t white = PixelValue(g.depth, WHITE);
        for (LONG x = 0; x < g.width; ++x)
            PutPixel(out, static_cast<uint64_t>(x), g.depth, white);
        return;
    }
    const BYTE *mask = page.mask.data() + page.maskStride * static_cast<size_t>(row);
    if (g.depth == 1) {
        memcpy(out, mask, rowBytes);
        return;
    }
    const size_t width = static_cast<size_t>(g.width);
    if (!page.expand.empty()) {
        // Runs of all-white or all-black mask bytes in one call each, mixed bytes by table.
        const size_t group = 8 * static_cast<size_t>(g.depth / 8);
        const size_t whole = width / 8;
        for (size_t b = 0; b < whole;) {
            const BYTE m = mask[b];
            if (m != 0xFF && m != 0x00) {
                memcpy(out + b * group, &page.expand[m * group], group);
                ++b;
                continue;
            }
            size_t end = b + 1;
            while (end < whole && mask[end] == m)
                ++end;
            if (m != 0)
                memcpy(out + b * group, &page.white[b * group], (end - b) * group);
            else
                memset(out + b * group, 0, (end - b) * group);
            b = end;
        }
        if (width % 8 != 0)
            memcpy(out + whole * group, &page.expand[mask[whole] * group],
                   width % 8 * (group / 8));
        return;
    }
    memset(out, 0, rowBytes);
    const uint32_t white = PixelValue(g.depth, WHITE);
    for (size_t x = 0; x < width; ++x) {
        if (mask[x / 8] & (0x80u >> (x % 8)))
            PutPixel(out, x, g.depth, white);
    }
}

std::mutex g_cacheMutex;
std::array<std::shared_ptr<const Page>, PAGE_CACHE> g_cache;
size_t g_nextSlot = 0;

std::shared_ptr<const Page> PageOf(const SimItem &item, LONG pageNumber)
{
    const SimPageGeometry geometry = SimGetPageGeometry(item, pageNumber);
    std::lock_guard<std::mutex> guard(g_cacheMutex);
    for (const std::shared_ptr<const Page> &page : g_cache) {
        if (page && page->Matches(item, pageNumber, geometry))
            return page;
    }
    std::shared_ptr<const Page> &slot = g_cache[g_nextSlot];
    g_nextSlot = (g_nextSlot + 1) % PAGE_CACHE;
    slot = Render(item, pageNumber, geometry);
    return slot;
}

void Fill(const Page &page, uint64_t offset, BYTE *out, size_t length)
{
    const uint64_t rowBytes = page.geometry.rowBytes;
    const uint64_t end = page.blank ? 0 : page.geometry.dataBytes;
    std::vector<BYTE> header;
    while (length > 0 && offset < end) {
        const uint64_t row = offset / rowBytes;
        const size_t column = static_cast<size_t>(offset % rowBytes);
        const size_t run = static_cast<size_t>(
            length < rowBytes - column ? length : rowBytes - column);
        const BYTE *source;
        if (row < static_cast<uint64_t>(page.layout.headerRows)) {
            header.resize(static_cast<size_t>(rowBytes));
            HeaderRow(page, row, header.data());
            source = header.data();
        } else {
            source = page.kinds[page.KindOf(row)].data();
        }
        memcpy(out, source + column, run);
        out += run;
        offset += run;
        length -= run;
    }
    memset(out, 0, length);
}

bool FindIn(const SimDevice &device, const wchar_t *itemName, SimItem *found)
{
    for (const SimAccount &account : device.accounts) {
        for (const SimItem &item : account.items) {
            if (item.name == itemName) {
                *found = item;
                return true;
            }
        }
    }
    return false;
}

// An item by name: the loaded scenario's first, else the built-in scenario's.
bool FindItemByName(const wchar_t *itemName, SimItem *found)
{
    if (itemName == nullptr)
        return false;
    {
        SimWorld &world = World();
        std::lock_guard<std::recursive_mutex> guard(world.mutex);
        for (const std::shared_ptr<SimDevice> &device : world.devices) {
            if (FindIn(*device, itemName, found))
                return true;
        }
    }
    static const std::vector<SimDevice> builtIn = [] {
        std::vector<SimDevice> devices;
        std::vector<SimInjection> injections;
        std::string error;
        if (!SimParseScenario(SimDefaultScenarioText(), "default.scn", &devices, &injections,
                              &error))
            devices.clear();
        return devices;
    }();
    for (const SimDevice &device : builtIn) {
        if (FindIn(device, itemName, found))
            return true;
    }
    return false;
}

} // namespace

SimPageLayout SimGetPageLayout(const SimPageGeometry &geometry)
{
    SimPageLayout layout = {};
    layout.grid = SIM_PAGE_GRID;
    const LONG width = geometry.width > 0 ? geometry.width : 0;
    const LONG height = geometry.height > 0 ? geometry.height : 0;
    const LONG shorter = width < height ? width : height;
    layout.textHeight = shorter / 12 < 8 ? 8 : (shorter / 12 > 160 ? 160 : shorter / 12);
    layout.markSize = 2 * layout.textHeight;
    // Title, name and page number with their gaps, rounded up to a grid line.
    const LONG text = layout.textHeight * 15 / 4;
    layout.headerRows = (text + layout.grid - 1) / layout.grid * layout.grid;
    layout.colour = geometry.depth > 8 && geometry.depth != 16;
    const LONG body = height > layout.headerRows ? height - layout.headerRows : 0;
    layout.barRowsEnd =
        layout.colour ? layout.headerRows + body * 2 / 3 / layout.grid * layout.grid
                      : layout.headerRows;
    return layout;
}

void SimFillPage(const SimItem &item, LONG page, uint64_t offset, void *destination,
                 size_t length)
{
    Fill(*PageOf(item, page), offset, static_cast<BYTE *>(destination), length);
}

BYTE SimPageByte(const SimItem &item, LONG page, uint64_t offset)
{
    BYTE byte = 0;
    SimFillPage(item, page, offset, &byte, 1);
    return byte;
}

void SimFillPage(const wchar_t *itemName, LONG page, uint64_t offset, void *destination,
                 size_t length)
{
    SimItem item;
    if (FindItemByName(itemName, &item))
        SimFillPage(item, page, offset, destination, length);
    else
        memset(destination, 0, length);
}

BYTE SimPageByte(const wchar_t *itemName, LONG page, uint64_t offset)
{
    BYTE byte = 0;
    SimFillPage(itemName, page, offset, &byte, 1);
    return byte;
}
