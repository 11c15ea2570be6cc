#include "page_transfer.h"

#include "diagnostics.h"
#include "pixel_conversion.h"
#include "owners.h"
#include "transfer_kinds.h"

#include <cstring>
#include <vector>

namespace {

// Pixels per metre of a resolution in dots per inch.

LONG PelsPerMetreOf(SHORT dpi)
{
    return dpi > 0 ? static_cast<LONG>((static_cast<long long>(dpi) * 10000 + 127) / 254) : 0;
}

// A held lock of a global block.
class GlobalLockScope
{
public:
    explicit GlobalLockScope(HGLOBAL memory)
        : m_memory(memory), m_bytes(static_cast<BYTE *>(GlobalLock(memory)))
    {
    }
    GlobalLockScope(const GlobalLockScope &) = delete;
    GlobalLockScope &operator=(const GlobalLockScope &) = delete;
    ~GlobalLockScope()
    {
        if (m_bytes != nullptr)
            GlobalUnlock(m_memory);
    }
    BYTE *get() const { return m_bytes; }

private:
    HGLOBAL m_memory;
    BYTE *m_bytes;
};

// Writes the header and the palette: the driver's entries where it sent some, else grey from
// black to white (zero is the darkest shade, as TWAIN's default pixel flavour).
void WriteDibHeader(const PageShape &shape, BYTE *dib, const BYTE *palette = nullptr,
                    DWORD paletteEntries = 0)
{
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = shape.width;
    header.biHeight = shape.height;
    header.biPlanes = 1;
    header.biBitCount = shape.bitsPerPixel;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(shape.paddedRow * static_cast<size_t>(shape.height));
    header.biXPelsPerMeter = PelsPerMetreOf(shape.info.xResolutionWhole);
    header.biYPelsPerMeter = PelsPerMetreOf(shape.info.yResolutionWhole);
    header.biClrUsed = shape.PaletteEntries();
    memcpy(dib, &header, sizeof(header));
    const DWORD entries = shape.PaletteEntries();
    BYTE *out = dib + sizeof(header);
    if (palette != nullptr) {
        const DWORD kept = paletteEntries < entries ? paletteEntries : entries;
        memmove(out, palette, kept * sizeof(RGBQUAD));
        memset(out + kept * sizeof(RGBQUAD), 0, (entries - kept) * sizeof(RGBQUAD));
        return;
    }
    for (DWORD i = 0; i < entries; ++i) {
        const BYTE level = static_cast<BYTE>(entries > 1 ? i * 255 / (entries - 1) : 0);
        const RGBQUAD entry = {level, level, level, 0};
        memcpy(out + i * sizeof(entry), &entry, sizeof(entry));
    }
}

// Where a driver's bitmap keeps its palette and rows.
struct BitmapLayout
{
    size_t palette = 0; // offset of the colour table
    DWORD paletteEntries = 0;
    size_t rows = 0; // offset of the first stored row
    bool topDown = false;
};

// Reverses the order of `height` rows of `rowBytes` in place.
void FlipRows(BYTE *rows, size_t rowBytes, LONG height)
{
    std::vector<BYTE> swap(rowBytes);
    for (LONG top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        BYTE *a = rows + rowBytes * static_cast<size_t>(top);
        BYTE *b = rows + rowBytes * static_cast<size_t>(bottom);
        memcpy(swap.data(), a, rowBytes);
        memcpy(a, b, rowBytes);
        memcpy(b, swap.data(), rowBytes);
    }
}

// Where the driver's bitmap keeps its palette and rows; false for a bitmap that is not this
// page's uncompressed image, or whose header claims more than the bitmap holds.
bool LocateRows(const BYTE *bitmap, size_t size, const PageShape &shape, BitmapLayout *layout)
{
    BITMAPINFOHEADER header;
    if (size < sizeof(header))
        return false;
    memcpy(&header, bitmap, sizeof(header));
    const bool knownCompression =
        header.biCompression == BI_RGB || header.biCompression == BI_BITFIELDS;
    if (header.biSize < sizeof(header) || header.biSize > size || !knownCompression ||
        header.biWidth != shape.width || header.biBitCount != shape.bitsPerPixel ||
        (header.biHeight != shape.height && header.biHeight != -shape.height))
        return false;
    size_t start = header.biSize;
    if (header.biCompression == BI_BITFIELDS && header.biSize == sizeof(header))
        start += 3 * sizeof(DWORD);
    // 1 and 8 bits: the full table unless biClrUsed says fewer; more colours than the depth can
    // address is no bitmap of this page. Deeper pages may carry a table of up to 256 entries.
    const DWORD most = shape.bitsPerPixel <= 8 ? shape.PaletteEntries() : 256;
    const DWORD colours =
        header.biClrUsed != 0 || shape.bitsPerPixel > 8 ? header.biClrUsed : shape.PaletteEntries();
    if (colours > most)
        return false;
    layout->palette = start;
    layout->paletteEntries = shape.bitsPerPixel <= 8 ? colours : 0;
    start += static_cast<size_t>(colours) * sizeof(RGBQUAD);
    const size_t rows = shape.paddedRow * static_cast<size_t>(shape.height);
    if (start > size || size - start < rows)
        return false;
    layout->rows = start;
    layout->topDown = header.biHeight < 0;
    return true;
}

} // namespace

// Builds the DIB from the raw rows, a strip at a time, converted where the application asked for
// another pixel type.
HRESULT BuildDib(IStiScannerComBridge *bridge, const wchar_t *itemName, const PageShape &shape,
                 const PageShape &delivered, const PixelConversion &conversion, HGLOBAL *dib)
{
    UniqueHGlobal memory(GlobalAlloc(GHND, delivered.DibBytes()));
    if (!memory)
        return E_OUTOFMEMORY;
    GlobalLockScope lock(memory.get());
    if (lock.get() == nullptr)
        return E_OUTOFMEMORY;
    RGBQUAD palette[256];
    conversion.Palette(palette);
    WriteDibHeader(delivered, lock.get(),
                   conversion.Active() ? reinterpret_cast<BYTE *>(palette) : nullptr,
                   delivered.PaletteEntries());
    BYTE *rows = lock.get() + delivered.DibHeaderBytes();
    const LONG stripRows = static_cast<LONG>((1u << 20) / shape.paddedRow) + 1;
    std::vector<BYTE> strip(shape.paddedRow * static_cast<size_t>(stripRows));
    LONG done = 0;
    LONG status = TRANSFER_STATUS_MORE;
    while (done < shape.height) {
        const LONG rowsNow = shape.height - done < stripRows ? shape.height - done : stripRows;
        const HRESULT hr = FetchRows(bridge, itemName, shape, strip.data(), rowsNow, &status);
        if (FAILED(hr))
            return hr;
        if (status != TRANSFER_STATUS_MORE && status != TRANSFER_STATUS_DONE)
            return E_FAIL;
        for (LONG r = 0; r < rowsNow; ++r) {
            BYTE *target =
                rows + static_cast<size_t>(shape.height - 1 - (done + r)) * delivered.paddedRow;
            const BYTE *source = strip.data() + static_cast<size_t>(r) * shape.paddedRow;
            if (conversion.Active())
                conversion.Row(source, target, shape.width);
            else
                memcpy(target, source, shape.paddedRow);
        }
        done += rowsNow;
        if (status == TRANSFER_STATUS_DONE && done < shape.height)
            return E_FAIL; // the driver ended the page early
    }
    *dib = memory.release();
    return S_OK;
}

namespace {

HRESULT BuildDibFromRows(IStiScannerComBridge *bridge, const wchar_t *itemName,
                         const PageShape &shape, HGLOBAL *dib)
{
    return BuildDib(bridge, itemName, shape, shape, PixelConversion(), dib);
}

} // namespace

bool PageShape::Describe(const ImageInfo &imageInfo)
{
    info = imageInfo;
    width = info.imageWidth;
    height = info.imageLength;
    bitsPerPixel = static_cast<WORD>(info.bitsPerPixel);
    if (width <= 0 || height <= 0 || (bitsPerPixel != 1 && bitsPerPixel != 8 && bitsPerPixel != 24))
        return false;
    const unsigned long long bits = static_cast<unsigned long long>(width) * bitsPerPixel;
    const unsigned long long padded = (bits + 31) / 32 * 4;
    // The whole DIB must stay below what one transfer may carry.
    if (padded > MAX_ROW_BYTES ||
        padded * static_cast<unsigned long long>(height) + 2048 > MAX_TRANSFER_BUFFER)
        return false;
    rawRow = static_cast<size_t>((bits + 7) / 8);
    paddedRow = static_cast<size_t>(padded);
    return true;
}

HRESULT FetchRows(IStiScannerComBridge *bridge, const wchar_t *itemName, const PageShape &shape,
                  BYTE *buffer, LONG rows, LONG *status)
{
    TransferRequestView request = {TRANSFER_KIND_DATA,           0, 0, 0, 0, 0,
                                   const_cast<WCHAR *>(itemName)};
    *status = TRANSFER_STATUS_MORE;
    const ULONG bytes = static_cast<ULONG>(shape.rawRow * static_cast<size_t>(rows));
    const HRESULT hr =
        LogStep("TransferData", bridge->TransferData(&request, buffer, bytes, status));
    if (FAILED(hr))
        return hr;
    if (*status != TRANSFER_STATUS_MORE && *status != TRANSFER_STATUS_DONE &&
        LogEnabled(LogLevel::Errors))
        LogStep(LogFormat("TransferData status %ld", *status).c_str(), E_FAIL);
    // Spread the rows from the last one, so none is overwritten before it moved.
    if (shape.paddedRow != shape.rawRow) {
        for (LONG r = rows - 1; r >= 0; --r) {
            BYTE *row = buffer + shape.paddedRow * static_cast<size_t>(r);
            memmove(row, buffer + shape.rawRow * static_cast<size_t>(r), shape.rawRow);
            memset(row + shape.rawRow, 0, shape.paddedRow - shape.rawRow);
        }
    }
    return S_OK;
}

HRESULT FetchNativeDib(IStiScannerComBridge *bridge, const wchar_t *itemName, LONG page,
                       const PageShape &shape, HGLOBAL *dib)
{
    *dib = nullptr;
    TransferRequestView request = {TRANSFER_KIND_QUERY,          0, page, 0, QUERY_BITMAP_BYTES, 0,
                                   const_cast<WCHAR *>(itemName)};
    LONG bytes = 0;
    LONG status = 0;
    HRESULT hr = bridge->TransferQuery(&request, &bytes, &status);
    if (FAILED(hr) || bytes <= 0 || static_cast<ULONG>(bytes) > MAX_TRANSFER_BUFFER)
        return BuildDibFromRows(bridge, itemName, shape, dib);

    UniqueHGlobal memory(GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(bytes)));
    if (!memory)
        return E_OUTOFMEMORY;
    BitmapLayout layout;
    {
        GlobalLockScope lock(memory.get());
        if (lock.get() == nullptr)
            return E_OUTOFMEMORY;
        request.kind = TRANSFER_KIND_BITMAP;
        request.value = 0;
        status = 0;
        hr = bridge->TransferImage(&request, lock.get(), static_cast<ULONG>(bytes), &status);
        if (FAILED(hr) || status != TRANSFER_STATUS_DONE ||
            !LocateRows(lock.get(), static_cast<size_t>(bytes), shape, &layout)) {
            memory.reset();
            return BuildDibFromRows(bridge, itemName, shape, dib);
        }
    }
    // Move the rows behind the source's own header and palette, bottom-up. The driver's palette
    // is kept aside first: the rows may move over it.
    std::vector<BYTE> palette(static_cast<size_t>(layout.paletteEntries) * sizeof(RGBQUAD));
    const size_t header = shape.DibHeaderBytes();
    const size_t rowBytes = shape.paddedRow * static_cast<size_t>(shape.height);
    if (header > layout.rows) {
        HGLOBAL grown = GlobalReAlloc(memory.get(), shape.DibBytes(), GMEM_MOVEABLE);
        if (grown == nullptr)
            return E_OUTOFMEMORY;
        memory.release();
        memory.reset(grown);
    }
    {
        GlobalLockScope lock(memory.get());
        if (lock.get() == nullptr)
            return E_OUTOFMEMORY;
        if (!palette.empty())
            memcpy(palette.data(), lock.get() + layout.palette, palette.size());
        if (header != layout.rows)
            memmove(lock.get() + header, lock.get() + layout.rows, rowBytes);
        if (layout.topDown)
            FlipRows(lock.get() + header, shape.paddedRow, shape.height);
        WriteDibHeader(shape, lock.get(), palette.empty() ? nullptr : palette.data(),
                       layout.paletteEntries);
    }
    if (header < layout.rows) {
        HGLOBAL shrunk = GlobalReAlloc(memory.get(), shape.DibBytes(), GMEM_MOVEABLE);
        if (shrunk != nullptr) {
            memory.release();
            memory.reset(shrunk);
        }
    }
    *dib = memory.release();
    return S_OK;
}

void SwapRedAndBlue(BYTE *rows, const PageShape &shape, LONG count)
{
    if (shape.bitsPerPixel != 24)
        return;
    for (LONG r = 0; r < count; ++r) {
        BYTE *pixel = rows + shape.paddedRow * static_cast<size_t>(r);
        for (LONG x = 0; x < shape.width; ++x, pixel += 3) {
            const BYTE blue = pixel[0];
            pixel[0] = pixel[2];
            pixel[2] = blue;
        }
    }
}
