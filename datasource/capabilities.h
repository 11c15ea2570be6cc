// Capability negotiation: one row of data per capability (its item type, what it holds, the
// operations it allows, its default and the values it can take), served by one handler. The
// image capabilities that describe the stored pages are read-only.
#pragma once

#include "manager_memory.h"
#include "twain_ext.h"

#include "sti_scanner_com_bridge.h"

#include <map>

// A TWAIN answer: return code and, for a failure, the condition code.
struct TwainResult
{
    TW_UINT16 rc = TWRC_SUCCESS;
    TW_UINT16 condition = TWCC_SUCCESS;
};

inline TwainResult Failure(TW_UINT16 condition)
{
    return {TWRC_FAILURE, condition};
}

inline constexpr TwainResult CHECK_STATUS = {TWRC_CHECKSTATUS, TWCC_SUCCESS};

// ICAP_PIXELTYPE before the application asks for one: pages come as stored.
inline constexpr TW_UINT16 PIXEL_AS_STORED = 0xFFFF;

// The largest page the device scans, in inches: what the frame and the physical size say before a
// page is known.
inline constexpr double DEVICE_WIDTH_INCHES = 11.69;
inline constexpr double DEVICE_HEIGHT_INCHES = 17.0;

// A length in the application's units (ICAP_UNITS), from inches at a resolution.
double InUnits(double inches, TW_UINT16 units, double dpi);
// The whole page in the application's units, or the device's largest one while no page is known.
TW_FRAME PageFrame(const ImageInfo *page, TW_UINT16 units);

// The DG/DAT pairs the source answers, as CAP_SUPPORTEDDATS lists them.
extern const TW_UINT32 SUPPORTED_DATS[];
extern const size_t SUPPORTED_DAT_COUNT;

struct CapabilityRow;

class Capabilities
{
public:
    Capabilities();

    // msg: MSG_GET ... MSG_RESETALL; state: the source's TWAIN state (4 to 7); page: the image
    // the values describe, or null.
    TwainResult Handle(TW_UINT16 msg, TW_CAPABILITY *capability, int state, const ImageInfo *page,
                       const ManagerMemory &memory);

    TW_UINT16 XferMech() const { return static_cast<TW_UINT16>(Current(ICAP_XFERMECH)); }
    TW_INT16 XferCount() const { return static_cast<TW_INT16>(Current(CAP_XFERCOUNT)); }
    TW_UINT16 Units() const { return static_cast<TW_UINT16>(Current(ICAP_UNITS)); }
    // The pixel type the application asked for, or PIXEL_AS_STORED.
    TW_UINT16 AskedPixelType() const { return static_cast<TW_UINT16>(Current(ICAP_PIXELTYPE)); }
    // Whether the progress window shows while pages move.
    bool Indicators() const { return Current(CAP_INDICATORS) != FALSE; }
    bool Vanilla() const { return Current(ICAP_PIXELFLAVOR) == TWPF_VANILLA; }
    // The format of file transfers: ICAP_IMAGEFILEFORMAT, also set by DAT_SETUPFILEXFER.
    TW_UINT16 FileFormat() const { return static_cast<TW_UINT16>(Current(ICAP_IMAGEFILEFORMAT)); }
    void SetFileFormat(TW_UINT16 format) { m_values[ICAP_IMAGEFILEFORMAT] = format; }
    // ICAP_THRESHOLD as a grey level.
    BYTE Threshold() const;
    // What CAP_DEVICEONLINE answers: whether the server behind the source still answers.
    void SetDeviceOnline(bool online) { m_deviceOnline = online; }
    void Reset() { *this = Capabilities(); }

private:
    TW_UINT32 Current(TW_UINT16 cap) const;
    TwainResult Set(const CapabilityRow &row, TW_UINT32 value, const ImageInfo &page);
    TW_UINT16 DeliveredPixelType(const ImageInfo &page) const;
    WORD DeliveredDepth(const ImageInfo &page) const;
    bool Get(const CapabilityRow &row, TW_UINT16 msg, TW_CAPABILITY *capability,
             const ImageInfo &page, bool pageKnown, const ManagerMemory &memory) const;

    std::map<TW_UINT16, TW_UINT32> m_values; // the settable capabilities' current values
    bool m_deviceOnline = true;
};
