// Writing a page as a BMP file.
#pragma once

#include <windows.h>

#include <vector>

// A page as the driver sends it: rows from the top, each (width * bits + 7) / 8 bytes, no padding.
struct RawPage
{
    LONG width = 0;
    LONG height = 0;
    WORD bitsPerPixel = 0;
    std::vector<BYTE> rows;
};

// Writes a bottom-up BMP with padded rows (a grey palette for 1 and 8 bits). False when the
// page is inconsistent or the file cannot be written.
bool WriteBmp(const wchar_t *path, const RawPage &page);

// Writes bytes that already form a bitmap (a header and its data) behind a BITMAPFILEHEADER.
bool WriteBitmapFile(const wchar_t *path, const BYTE *bitmap, size_t size);
