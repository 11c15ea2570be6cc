#include "file_writer.h"

#include "owners.h"

#include <objbase.h>
#include <initguid.h>
#include <wincodec.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

template <typename T> class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;
    ~ComPtr() { ReleaseAndClear(m_object); }
    T *get() const { return m_object; }
    T **put()
    {
        ReleaseAndClear(m_object);
        return &m_object;
    }
    T *operator->() const { return m_object; }

private:
    T *m_object = nullptr;
};

// IWICImagingFactory's interface id, by value: the Windows SDK keeps it in windowscodecs.lib.
constexpr IID IID_WIC_FACTORY = {
    0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};

const GUID *ContainerOf(TW_UINT16 format)
{
    switch (format) {
    case TWFF_BMP:
        return &GUID_ContainerFormatBmp;
    case TWFF_TIFF:
        return &GUID_ContainerFormatTiff;
    case TWFF_PNG:
        return &GUID_ContainerFormatPng;
    case TWFF_JFIF:
        return &GUID_ContainerFormatJpeg;
    default:
        return nullptr;
    }
}

// The page's resolution back from the DIB's pixels per metre: whole dots per inch, as scanners
// give them (a JPEG keeps only whole ones).
double DpiOf(LONG pelsPerMetre)
{
    return pelsPerMetre > 0 ? std::round(pelsPerMetre * 0.0254) : 96.0;
}

} // namespace

bool IsFileFormat(TW_UINT16 format)
{
    return ContainerOf(format) != nullptr;
}

namespace {

HRESULT Encode(const wchar_t *path, TW_UINT16 format, const BYTE *dib, bool *created)
{
    const GUID *container = ContainerOf(format);
    if (container == nullptr || dib == nullptr)
        return E_INVALIDARG;
    BITMAPINFOHEADER header;
    memcpy(&header, dib, sizeof(header));
    const WORD bits = header.biBitCount;
    const UINT width = static_cast<UINT>(header.biWidth);
    const UINT height = static_cast<UINT>(header.biHeight);
    const size_t padded = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
    const DWORD entries = bits <= 8 ? 1u << bits : 0;
    const auto *palette = reinterpret_cast<const RGBQUAD *>(dib + sizeof(header));
    const BYTE *rows = dib + sizeof(header) + entries * sizeof(RGBQUAD);
    // JPEG has no palette: pages of 1 and 8 bits go as grey through their palette.
    const bool grey = format == TWFF_JFIF && bits <= 8;

    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_WIC_FACTORY, reinterpret_cast<void **>(factory.put()));
    ComPtr<IWICStream> stream;
    if (SUCCEEDED(hr))
        hr = factory->CreateStream(stream.put());
    if (SUCCEEDED(hr))
        hr = stream->InitializeFromFilename(path, GENERIC_WRITE);
    *created = SUCCEEDED(hr);
    ComPtr<IWICBitmapEncoder> encoder;
    if (SUCCEEDED(hr))
        hr = factory->CreateEncoder(*container, nullptr, encoder.put());
    if (SUCCEEDED(hr))
        hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    if (SUCCEEDED(hr))
        hr = encoder->CreateNewFrame(frame.put(), options.put());
    if (SUCCEEDED(hr))
        hr = frame->Initialize(options.get());
    if (SUCCEEDED(hr))
        hr = frame->SetSize(width, height);
    if (SUCCEEDED(hr))
        hr = frame->SetResolution(DpiOf(header.biXPelsPerMeter), DpiOf(header.biYPelsPerMeter));
    WICPixelFormatGUID pixelFormat = grey         ? GUID_WICPixelFormat8bppGray
                                     : bits == 24 ? GUID_WICPixelFormat24bppBGR
                                     : bits == 8  ? GUID_WICPixelFormat8bppIndexed
                                                  : GUID_WICPixelFormat1bppIndexed;
    const WICPixelFormatGUID asked = pixelFormat;
    if (SUCCEEDED(hr))
        hr = frame->SetPixelFormat(&pixelFormat);
    if (SUCCEEDED(hr) && !IsEqualGUID(pixelFormat, asked))
        hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(hr) && entries != 0 && !grey) {
        std::vector<WICColor> colours(entries);
        for (DWORD i = 0; i < entries; ++i)
            colours[i] = 0xFF000000u | (static_cast<WICColor>(palette[i].rgbRed) << 16) |
                         (static_cast<WICColor>(palette[i].rgbGreen) << 8) | palette[i].rgbBlue;
        ComPtr<IWICPalette> table;
        hr = factory->CreatePalette(table.put());
        if (SUCCEEDED(hr))
            hr = table->InitializeCustom(colours.data(), entries);
        if (SUCCEEDED(hr))
            hr = frame->SetPalette(table.get());
    }
    // A row at a time from the top: the DIB keeps its rows bottom-up.
    std::vector<BYTE> greyRow(grey ? width : 0);
    for (UINT y = 0; SUCCEEDED(hr) && y < height; ++y) {
        BYTE *row = const_cast<BYTE *>(rows + padded * (height - 1 - y));
        UINT stride = static_cast<UINT>(padded);
        if (grey) {
            for (UINT x = 0; x < width; ++x) {
                const BYTE index = bits == 8 ? row[x] : (row[x / 8] >> (7 - x % 8)) & 1;
                const RGBQUAD &colour = palette[index];
                greyRow[x] = static_cast<BYTE>(
                    (299 * colour.rgbRed + 587 * colour.rgbGreen + 114 * colour.rgbBlue + 500) /
                    1000);
            }
            row = greyRow.data();
            stride = width;
        }
        hr = frame->WritePixels(1, stride, stride, row);
    }
    if (SUCCEEDED(hr))
        hr = frame->Commit();
    if (SUCCEEDED(hr))
        hr = encoder->Commit();
    return hr;
}

} // namespace

HRESULT WritePageFile(const wchar_t *path, TW_UINT16 format, const BYTE *dib)
{
    bool created = false;
    const HRESULT hr = Encode(path, format, dib, &created);
    // What the source began and could not finish is no file of the application's.
    if (FAILED(hr) && created)
        DeleteFileW(path);
    return hr;
}
