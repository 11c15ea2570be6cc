// Request kinds of the driver's transfer escape that the bridge's clients send, and the values a
// query asks for. They are the supported scanner family's; the bridge passes them on unchanged.
#pragma once

#include <windows.h>

constexpr LONG TRANSFER_KIND_DATA = 1;   // the next chunk of a page's raw rows
constexpr LONG TRANSFER_KIND_QUERY = 2;  // a number, chosen by `value`
constexpr LONG TRANSFER_KIND_STRING = 3; // a driver string, chosen by `value`
constexpr LONG TRANSFER_KIND_BITMAP = 4; // the page as a bitmap: header, palette, padded rows

constexpr LONG QUERY_DATA_BYTES = 0;   // a page's raw data bytes
constexpr LONG QUERY_BITMAP_BYTES = 2; // the bytes of a page's bitmap

// Transfer status outputs: more data follows, the page is complete.
constexpr LONG TRANSFER_STATUS_MORE = 0;
constexpr LONG TRANSFER_STATUS_DONE = 6;
