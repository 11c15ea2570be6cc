// The pixel type the application asked for, made from the stored page a row at a time: black and
// white to grey to colour exactly, colour to grey by the ITU-R BT.601 luma weights, grey to black
// and white by the threshold.
#pragma once

#include "page_transfer.h"
#include "twain_ext.h"

class PixelConversion
{
public:
    // No conversion: the page comes as stored.
    PixelConversion() = default;
    // From the stored page's shape to `pixelType` (TWPT_BW, TWPT_GRAY, TWPT_RGB); a grey level at
    // or above `threshold` is white; vanilla black-and-white and grey pages have 0 for white.
    PixelConversion(const PageShape &stored, TW_UINT16 pixelType, BYTE threshold, bool vanilla);

    bool Active() const { return m_active; }
    // The delivered page: the stored one's size and resolution in the asked type.
    ImageInfo Delivered(const ImageInfo &stored) const;
    // One row of `width` pixels: stored bytes in (1 bit: 1 is white; 8 bits: grey, 0 black;
    // 24 bits: B,G,R), the asked type's out. Colour comes out as R,G,B (a grey pixel reads the
    // same either way).
    void Row(const BYTE *in, BYTE *out, LONG width) const;
    // The palette of a delivered DIB of 1 or 8 bits (entries written: 2 or 256).
    void Palette(RGBQUAD *entries) const;

private:
    BYTE GreyAt(const BYTE *in, LONG x) const;

    bool m_active = false;
    WORD m_from = 0;
    WORD m_to = 0;
    BYTE m_threshold = 128;
    bool m_vanilla = false;
};
