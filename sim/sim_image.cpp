// Page descriptions, page geometry and the native image around a page's rows.
#include "sim_ledger.h"
#include "sim_sti.h"

#include <cstring>

namespace {

// The description's records before page properties: id and value.
struct DescriptionEntry
{
    DWORD id;
    LONG value;
};

std::vector<DescriptionEntry> Description(const SimItem &item, LONG page)
{
    LONG format = item.format;
    for (const SimProperty &property : item.properties) {
        if (property.id == PROP_FORMAT && property.kind == SimProperty::Integer)
            format = property.value;
    }
    std::vector<DescriptionEntry> entries = {
        {PROP_PAGES, item.pages},
        {4101, 3},                 // WIA_IPA_ITEM_FLAGS: image and file
        {4102, 1},                 // WIA_IPA_ACCESS_RIGHTS: read
        {PROP_DATATYPE, SimDataTypeOfDepth(item.depth)},
        {PROP_DEPTH, item.depth},
        {PROP_COMPRESSION, 0},
        {4108, 128},               // WIA_IPA_TYMED: callback
        {4109, item.depth == 24 ? 3 : 1}, // WIA_IPA_CHANNELS_PER_PIXEL
        {4110, item.depth == 24 ? 8 : item.depth}, // WIA_IPA_BITS_PER_CHANNEL
        {PROP_PLANAR, 0},
        {PROP_PIXELS_PER_LINE, item.width},
        {4113, 0},                 // WIA_IPA_BYTES_PER_LINE, from the final geometry
        {PROP_NUMBER_OF_LINES, item.height},
        {PROP_ITEM_SIZE, 0},       // from the final geometry
        {PROP_XRES, item.resolutionCode},
        {6148, item.resolutionCode}, // WIA_IPS_YRES
        {PROP_FORMAT, format},
        {SIM_PROP_PAGE_NUMBER, page},
    };
    // A page property replaces the records of its id; one the description lacks takes the
    // place of the records at the end, the last one first.
    size_t spare = entries.size();
    for (const SimPageProperty &property : item.pageProperties) {
        if (property.page != page)
            continue;
        bool found = false;
        for (DescriptionEntry &entry : entries) {
            if (entry.id == property.id) {
                found = true;
                entry.id = property.remove ? 0 : property.id;
                entry.value = property.remove ? 0 : property.value;
            }
        }
        if (!found && !property.remove && spare > 0)
            entries[--spare] = DescriptionEntry{property.id, property.value};
    }
    return entries;
}

SimPageGeometry GeometryOf(const std::vector<DescriptionEntry> &entries, const SimItem &item)
{
    SimPageGeometry geometry = {};
    geometry.width = item.width;
    geometry.height = item.height;
    geometry.depth = item.depth;
    bool width = false, height = false, depth = false;
    for (const DescriptionEntry &entry : entries) {
        if (entry.id == PROP_PIXELS_PER_LINE && !width) {
            geometry.width = entry.value;
            width = true;
        } else if (entry.id == PROP_NUMBER_OF_LINES && !height) {
            geometry.height = entry.value;
            height = true;
        } else if (entry.id == PROP_DEPTH && !depth) {
            geometry.depth = entry.value;
            depth = true;
        }
    }
    const uint64_t w = geometry.width > 0 ? static_cast<uint64_t>(geometry.width) : 0;
    const uint64_t h = geometry.height > 0 ? static_cast<uint64_t>(geometry.height) : 0;
    const uint64_t d = geometry.depth > 0 ? static_cast<uint64_t>(geometry.depth) : 0;
    geometry.rowBytes = (w * d + 7) / 8;
    geometry.dataBytes = geometry.rowBytes * h;
    const uint64_t paddedRow = (w * d + 31) / 32 * 4;
    const uint64_t palette = d <= 8 && d > 0 ? (1ull << d) * 4 : 0;
    const uint64_t masks =
        item.header.compression == BI_BITFIELDS && item.header.size == 40 ? 12 : 0;
    geometry.imageBytes = item.header.size + palette + masks + paddedRow * h;
    return geometry;
}

} // namespace

SimPageGeometry SimGetPageGeometry(const SimItem &item, LONG page)
{
    return GeometryOf(Description(item, page), item);
}

void SimBuildPageDescription(const SimItem &item, LONG page,
                             PropertyRecord records[PAGE_PROPERTY_COUNT])
{
    std::vector<DescriptionEntry> entries = Description(item, page);
    const SimPageGeometry geometry = GeometryOf(entries, item);
    for (DescriptionEntry &entry : entries) {
        if (entry.id == 4113 && entry.value == 0)
            entry.value = static_cast<LONG>(geometry.rowBytes);
        else if (entry.id == PROP_ITEM_SIZE && entry.value == 0)
            entry.value = geometry.dataBytes > 0x7FFFFFFFull
                              ? 0x7FFFFFFF
                              : static_cast<LONG>(geometry.dataBytes);
    }
    memset(records, 0, PAGE_PROPERTY_COUNT * sizeof(PropertyRecord));
    for (size_t i = 0; i < PAGE_PROPERTY_COUNT; ++i) {
        PropertyRecord &record = records[i];
        BYTE *base = reinterpret_cast<BYTE *>(&record);
        for (size_t b = 0; b < sizeof(record.driver0); ++b)
            record.driver0[b] = SimDriverPattern(base + b);
        for (size_t b = 0; b < sizeof(record.driver12); ++b)
            record.driver12[b] = SimDriverPattern(base + 12 + b);
        for (size_t b = 0; b < sizeof(record.driver48); ++b)
            record.driver48[b] = SimDriverPattern(base + 48 + b);
        record.id = entries[i].id;
        record.value.number = entries[i].value;
    }
}

bool SimRenderNativeImage(const SimItem &item, LONG page, BYTE *buffer, uint64_t size)
{
    const SimPageGeometry geometry = SimGetPageGeometry(item, page);
    if (buffer == nullptr || size < geometry.imageBytes)
        return false;
    const LONG depth = geometry.depth;
    const uint64_t height = geometry.height > 0 ? static_cast<uint64_t>(geometry.height) : 0;
    const uint64_t paddedRow =
        (static_cast<uint64_t>(geometry.width > 0 ? geometry.width : 0) *
             static_cast<uint64_t>(depth > 0 ? depth : 0) + 31) / 32 * 4;
    memset(buffer, 0, static_cast<size_t>(geometry.imageBytes - paddedRow * height));

    BITMAPV5HEADER header = {};
    header.bV5Size = item.header.size;
    header.bV5Width = geometry.width;
    header.bV5Height = item.header.topDown ? -geometry.height : geometry.height;
    header.bV5Planes = 1;
    header.bV5BitCount = static_cast<WORD>(depth);
    header.bV5Compression = item.header.compression;
    header.bV5SizeImage = item.header.fillSizeImage ? static_cast<DWORD>(paddedRow * height) : 0;
    header.bV5XPelsPerMeter = 11811;
    header.bV5YPelsPerMeter = 11811;
    const DWORD colours = depth > 0 && depth <= 8 ? 1u << depth : 0;
    header.bV5ClrUsed = item.header.coloursUsed != 0 ? item.header.coloursUsed : colours;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5CSType = 0x73524742; // LCS_sRGB; the header spells it as a multichar constant
    header.bV5Intent = LCS_GM_IMAGES;
    const size_t headerBytes =
        item.header.size < sizeof(header) ? item.header.size : sizeof(header);
    memcpy(buffer, &header, headerBytes);

    BYTE *p = buffer + item.header.size;
    if (item.header.compression == BI_BITFIELDS && item.header.size == 40) {
        const DWORD masks[3] = {header.bV5RedMask, header.bV5GreenMask, header.bV5BlueMask};
        memcpy(p, masks, sizeof(masks));
        p += sizeof(masks);
    }
    for (DWORD i = 0; i < colours; ++i) {
        // A grey ramp: black to white over the palette, or white to black.
        const DWORD step = item.header.invertedPalette ? colours - 1 - i : i;
        const BYTE level = static_cast<BYTE>(colours > 1 ? step * 255 / (colours - 1) : 0);
        const RGBQUAD entry = {level, level, level, 0};
        memcpy(p, &entry, sizeof(entry));
        p += sizeof(entry);
    }

    // Rows in the page's raw order; a bottom-up bitmap stores the last row first.
    for (uint64_t row = 0; row < height; ++row) {
        const uint64_t target = item.header.topDown ? row : height - 1 - row;
        BYTE *out = p + target * paddedRow;
        SimFillPage(item, page, row * geometry.rowBytes, out,
                    static_cast<size_t>(geometry.rowBytes));
        memset(out + geometry.rowBytes, 0, static_cast<size_t>(paddedRow - geometry.rowBytes));
    }
    return true;
}
