#include "bmp_file.h"

#include "owners.h"

#include <cstring>

namespace {

bool WriteAll(HANDLE file, const void *data, size_t size)
{
    const BYTE *p = static_cast<const BYTE *>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

UniqueHandle CreateOutput(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return UniqueHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

} // namespace

bool WriteBmp(const wchar_t *path, const RawPage &page)
{
    const WORD bits = page.bitsPerPixel;
    if (page.width <= 0 || page.height <= 0 || (bits != 1 && bits != 8 && bits != 24))
        return false;
    const size_t rawRow = (static_cast<size_t>(page.width) * bits + 7) / 8;
    const size_t paddedRow = (rawRow + 3) & ~static_cast<size_t>(3);
    if (page.rows.size() < rawRow * page.height)
        return false;
    const DWORD paletteEntries = bits == 24 ? 0 : 1u << bits;

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = page.width;
    info.biHeight = page.height;
    info.biPlanes = 1;
    info.biBitCount = bits;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(paddedRow * page.height);
    info.biClrUsed = paletteEntries;
    BITMAPFILEHEADER fileHeader = {};
    fileHeader.bfType = 0x4D42; // "BM"
    fileHeader.bfOffBits = static_cast<DWORD>(sizeof(fileHeader) + sizeof(info) +
                                              paletteEntries * sizeof(RGBQUAD));
    fileHeader.bfSize = fileHeader.bfOffBits + info.biSizeImage;

    UniqueHandle file = CreateOutput(path);
    if (!file || !WriteAll(file.get(), &fileHeader, sizeof(fileHeader)) ||
        !WriteAll(file.get(), &info, sizeof(info)))
        return false;
    for (DWORD i = 0; i < paletteEntries; ++i) {
        const BYTE level = static_cast<BYTE>(paletteEntries == 2 ? i * 255 : i);
        const RGBQUAD entry = {level, level, level, 0};
        if (!WriteAll(file.get(), &entry, sizeof(entry)))
            return false;
    }
    // BMP rows run from the bottom up, each padded to four bytes.
    std::vector<BYTE> row(paddedRow, 0);
    for (LONG y = page.height - 1; y >= 0; --y) {
        memcpy(row.data(), page.rows.data() + rawRow * y, rawRow);
        if (!WriteAll(file.get(), row.data(), row.size()))
            return false;
    }
    return true;
}

bool WriteBitmapFile(const wchar_t *path, const BYTE *bitmap, size_t size)
{
    if (size < sizeof(BITMAPINFOHEADER))
        return false;
    BITMAPINFOHEADER info;
    memcpy(&info, bitmap, sizeof(info));
    const DWORD paletteEntries =
        info.biBitCount <= 8 ? (info.biClrUsed != 0 ? info.biClrUsed : 1u << info.biBitCount) : 0;
    BITMAPFILEHEADER fileHeader = {};
    fileHeader.bfType = 0x4D42;
    fileHeader.bfOffBits = static_cast<DWORD>(sizeof(fileHeader) + info.biSize +
                                              paletteEntries * sizeof(RGBQUAD));
    if (info.biCompression == BI_BITFIELDS && info.biSize == sizeof(BITMAPINFOHEADER))
        fileHeader.bfOffBits += 3 * sizeof(DWORD);
    fileHeader.bfSize = static_cast<DWORD>(sizeof(fileHeader) + size);
    UniqueHandle file = CreateOutput(path);
    return file && WriteAll(file.get(), &fileHeader, sizeof(fileHeader)) &&
           WriteAll(file.get(), bitmap, size);
}
