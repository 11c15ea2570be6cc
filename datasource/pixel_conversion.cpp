#include "pixel_conversion.h"

#include <cstring>

namespace {

WORD BitsOf(TW_UINT16 pixelType)
{
    return pixelType == TWPT_BW ? 1 : pixelType == TWPT_GRAY ? 8 : 24;
}

} // namespace

PixelConversion::PixelConversion(const PageShape &stored, TW_UINT16 pixelType, BYTE threshold,
                                 bool vanilla)
    : m_from(stored.bitsPerPixel), m_to(BitsOf(pixelType)), m_threshold(threshold),
      m_vanilla(vanilla)
{
    // A black-and-white or grey page in the vanilla flavour changes even at its own depth.
    m_active = m_from != m_to || (m_to <= 8 && vanilla);
}

ImageInfo PixelConversion::Delivered(const ImageInfo &stored) const
{
    ImageInfo info = stored;
    if (!m_active)
        return info;
    info.bitsPerPixel = static_cast<SHORT>(m_to);
    info.samplesPerPixel = static_cast<SHORT>(m_to == 24 ? 3 : 1);
    for (int i = 0; i < 8; ++i)
        info.bitsPerSample[i] =
            static_cast<SHORT>(i < info.samplesPerPixel ? (m_to == 1 ? 1 : 8) : 0);
    info.pixelType = static_cast<SHORT>(m_to == 1 ? TWPT_BW : m_to == 8 ? TWPT_GRAY : TWPT_RGB);
    return info;
}

BYTE PixelConversion::GreyAt(const BYTE *in, LONG x) const
{
    switch (m_from) {
    case 1:
        return (in[x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
    case 8:
        return in[x];
    default: {
        const BYTE *pixel = in + 3 * static_cast<size_t>(x);
        // ITU-R BT.601: 0.299 R + 0.587 G + 0.114 B, from the stored B,G,R.
        return static_cast<BYTE>((299 * pixel[2] + 587 * pixel[1] + 114 * pixel[0] + 500) / 1000);
    }
    }
}

void PixelConversion::Row(const BYTE *in, BYTE *out, LONG width) const
{
    switch (m_to) {
    case 24:
        for (LONG x = 0; x < width; ++x)
            memset(out + 3 * static_cast<size_t>(x), GreyAt(in, x), 3);
        break;
    case 8:
        for (LONG x = 0; x < width; ++x)
            out[x] = m_vanilla ? static_cast<BYTE>(255 - GreyAt(in, x)) : GreyAt(in, x);
        break;
    default:
        memset(out, 0, (static_cast<size_t>(width) + 7) / 8);
        for (LONG x = 0; x < width; ++x) {
            const bool white = GreyAt(in, x) >= m_threshold;
            if (white != m_vanilla)
                out[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
        }
        break;
    }
}

void PixelConversion::Palette(RGBQUAD *entries) const
{
    if (m_to == 1) {
        const RGBQUAD black = {0, 0, 0, 0}, white = {255, 255, 255, 0};
        entries[0] = m_vanilla ? white : black;
        entries[1] = m_vanilla ? black : white;
        return;
    }
    for (int i = 0; i < 256; ++i) {
        const BYTE level = static_cast<BYTE>(m_vanilla ? 255 - i : i);
        entries[i] = {level, level, level, 0};
    }
}
