// Capability negotiation: what the source offers, with the containers TWAIN gives each
// capability. The image capabilities describe the stored pages and are read-only.
#pragma once

#include "manager_memory.h"
#include "twain_ext.h"

#include "sti_scanner_com_bridge.h"

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

class Capabilities
{
public:
    // state: the source's TWAIN state (4 to 7); page: the image the values describe, or null.
    TwainResult Handle(TW_UINT16 msg, TW_CAPABILITY *capability, int state, const ImageInfo *page,
                       const ManagerMemory &memory);

    TW_UINT16 XferMech() const { return m_xferMech; }
    TW_INT16 XferCount() const { return m_xferCount; }
    // What CAP_DEVICEONLINE answers: whether the server behind the source still answers.
    void SetDeviceOnline(bool online) { m_deviceOnline = online; }
    void Reset() { *this = Capabilities(); }

private:
    TwainResult Get(TW_UINT16 msg, TW_CAPABILITY *capability, const ImageInfo &page,
                    const ManagerMemory &memory) const;
    TwainResult Set(TW_CAPABILITY *capability, const ManagerMemory &memory);
    TwainResult ResetOne(TW_CAPABILITY *capability, const ManagerMemory &memory);

    TW_UINT16 m_xferMech = TWSX_NATIVE;
    TW_INT16 m_xferCount = -1;
    bool m_deviceOnline = true;
};
