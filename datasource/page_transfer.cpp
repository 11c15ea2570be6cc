#include "page_transfer.h"

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

void WriteDibHeader(const PageShape &shape, BYTE *dib)
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
    // Grey from black to white: zero is the darkest shade, as TWAIN's default pixel flavour.
    const DWORD entries = shape.PaletteEntries();
    BYTE *palette = dib + sizeof(header);
    for (DWORD i = 0; i < entries; ++i) {
        const BYTE level = static_cast<BYTE>(entries > 1 ? i * 255 / (entries - 1) : 0);
        const RGBQUAD entry = {level, level, level, 0};
        memcpy(palette + i * sizeof(entry), &entry, sizeof(entry));
    }
}

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

// Where the driver's bitmap keeps its rows, and whether they run top-down; false for a bitmap
// that is not this page's uncompressed image.
bool LocateRows(const BYTE *bitmap, size_t size, const PageShape &shape, size_t *offset,
                bool *topDown)
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
    const size_t colours = header.biClrUsed != 0 ? header.biClrUsed : shape.PaletteEntries();
    if (shape.bitsPerPixel <= 8)
        start += colours * sizeof(RGBQUAD);
    const size_t rows = shape.paddedRow * static_cast<size_t>(shape.height);
    if (start > size || size - start < rows)
        return false;
    *offset = start;
    *topDown = header.biHeight < 0;
    return true;
}

// Builds the DIB from the raw rows, a strip at a time.
HRESULT BuildDibFromRows(IStiScannerComBridge *bridge, const wchar_t *itemName,
                         const PageShape &shape, HGLOBAL *dib)
{
    UniqueHGlobal memory(GlobalAlloc(GHND, shape.DibBytes()));
    if (!memory)
        return E_OUTOFMEMORY;
    GlobalLockScope lock(memory.get());
    if (lock.get() == nullptr)
        return E_OUTOFMEMORY;
    WriteDibHeader(shape, lock.get());
    BYTE *rows = lock.get() + shape.DibHeaderBytes();
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
            const size_t target = static_cast<size_t>(shape.height - 1 - (done + r));
            memcpy(rows + target * shape.paddedRow,
                   strip.data() + static_cast<size_t>(r) * shape.paddedRow, shape.paddedRow);
        }
        done += rowsNow;
        if (status == TRANSFER_STATUS_DONE && done < shape.height)
            return E_FAIL; // the driver ended the page early
    }
    *dib = memory.release();
    return S_OK;
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
    if (padded * static_cast<unsigned long long>(height) + 2048 > MAX_TRANSFER_BUFFER)
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
    const HRESULT hr = bridge->TransferData(&request, buffer, bytes, status);
    if (FAILED(hr))
        return hr;
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
    size_t offset = 0;
    bool topDown = false;
    {
        GlobalLockScope lock(memory.get());
        if (lock.get() == nullptr)
            return E_OUTOFMEMORY;
        request.kind = TRANSFER_KIND_BITMAP;
        request.value = 0;
        status = 0;
        hr = bridge->TransferImage(&request, lock.get(), static_cast<ULONG>(bytes), &status);
        if (FAILED(hr) || status != TRANSFER_STATUS_DONE ||
            !LocateRows(lock.get(), static_cast<size_t>(bytes), shape, &offset, &topDown)) {
            memory.reset();
            return BuildDibFromRows(bridge, itemName, shape, dib);
        }
    }
    // Move the rows behind the source's own header and palette, bottom-up.
    const size_t header = shape.DibHeaderBytes();
    const size_t rowBytes = shape.paddedRow * static_cast<size_t>(shape.height);
    if (header > offset) {
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
        if (header != offset)
            memmove(lock.get() + header, lock.get() + offset, rowBytes);
        if (topDown)
            FlipRows(lock.get() + header, shape.paddedRow, shape.height);
        WriteDibHeader(shape, lock.get());
    }
    if (header < offset) {
        HGLOBAL shrunk = GlobalReAlloc(memory.get(), shape.DibBytes(), GMEM_MOVEABLE);
        if (shrunk != nullptr) {
            memory.release();
            memory.reset(shrunk);
        }
    }
    *dib = memory.release();
    return S_OK;
}
