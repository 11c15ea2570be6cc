// A page's bytes as an application receives them: a packed DIB in a global handle for native
// transfers, strips of whole rows for memory transfers.
#pragma once

#include "sti_scanner_com_bridge.h"

#include <windows.h>

#include <cstddef>

// The widest row the source hands on: 21,845 colour pixels, more than 18 inches at 1200 dpi. An
// application's buffer of this size holds a row of every page of a session.
constexpr size_t MAX_ROW_BYTES = 64 * 1024;

// The current page: which item and page of the bridge's cursor, and its shape.
struct PageShape
{
    ImageInfo info = {};
    LONG width = 0;
    LONG height = 0;
    WORD bitsPerPixel = 0;
    size_t rawRow = 0;    // the driver's rows: (width * bits + 7) / 8 bytes, no padding
    size_t paddedRow = 0; // DIB and memory-transfer rows: a multiple of four bytes

    // False for an image the source cannot hand on (no size, not 1, 8 or 24 bits, or a row
    // wider than MAX_ROW_BYTES).
    bool Describe(const ImageInfo &imageInfo);
    DWORD PaletteEntries() const { return bitsPerPixel <= 8 ? 1u << bitsPerPixel : 0; }
    size_t DibHeaderBytes() const { return sizeof(BITMAPINFOHEADER) + PaletteEntries() * 4; }
    size_t DibBytes() const { return DibHeaderBytes() + paddedRow * static_cast<size_t>(height); }
};

// Fetches the page as the driver's bitmap and makes it a bottom-up DIB with a 40-byte header; 1
// and 8 bits keep the driver's palette. A bitmap it cannot use is built again from the raw rows,
// with a grey palette.
HRESULT FetchNativeDib(IStiScannerComBridge *bridge, const wchar_t *itemName, LONG page,
                       const PageShape &shape, HGLOBAL *dib);

class PixelConversion;

// Builds the page's DIB from its raw rows, a strip at a time, converted to the delivered shape
// where the conversion is active.
HRESULT BuildDib(IStiScannerComBridge *bridge, const wchar_t *itemName, const PageShape &shape,
                 const PageShape &delivered, const PixelConversion &conversion, HGLOBAL *dib);

// Fetches the next `rows` raw rows of the page into buffer and spreads them to padded rows in
// place. status receives the transfer status (more, done or failure).
HRESULT FetchRows(IStiScannerComBridge *bridge, const wchar_t *itemName, const PageShape &shape,
                  BYTE *buffer, LONG rows, LONG *status);

// The driver's colour rows are a DIB's B,G,R; TWAIN's chunky RGB is R,G,B.
void SwapRedAndBlue(BYTE *rows, const PageShape &shape, LONG count);
