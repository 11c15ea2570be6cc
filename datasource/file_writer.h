// File transfers: a page's DIB written to the file the application names, encoded by the Windows
// Imaging Component in the format it chose, with the page's resolution.
#pragma once

#include "twain_ext.h"

// The formats a file transfer writes: TWFF_BMP, TWFF_TIFF, TWFF_PNG, TWFF_JFIF.
bool IsFileFormat(TW_UINT16 format);

// Writes a packed bottom-up DIB (40-byte header, palette of 1 and 8 bits) as `format` to
// `path`, replacing a file that is there. Lossless formats keep every pixel; JFIF keeps colour
// and grey pages (1 bit written as grey).
HRESULT WritePageFile(const wchar_t *path, TW_UINT16 format, const BYTE *dib);
