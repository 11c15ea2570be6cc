#include "capabilities.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

constexpr TW_UINT32 GET_ONLY = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
constexpr TW_UINT32 SETTABLE = GET_ONLY | TWQC_SET | TWQC_RESET;

struct CapabilityInfo
{
    TW_UINT16 cap;
    TW_UINT16 itemType;
    TW_UINT32 operations;
};

const CapabilityInfo CAPABILITIES[] = {
    {CAP_SUPPORTEDCAPS, TWTY_UINT16, GET_ONLY}, {CAP_XFERCOUNT, TWTY_INT16, SETTABLE},
    {CAP_UICONTROLLABLE, TWTY_BOOL, GET_ONLY},  {CAP_INDICATORS, TWTY_BOOL, SETTABLE},
    {CAP_DEVICEONLINE, TWTY_BOOL, GET_ONLY},    {ICAP_XFERMECH, TWTY_UINT16, SETTABLE},
    {ICAP_PIXELTYPE, TWTY_UINT16, GET_ONLY},    {ICAP_BITDEPTH, TWTY_UINT16, GET_ONLY},
    {ICAP_XRESOLUTION, TWTY_FIX32, GET_ONLY},   {ICAP_YRESOLUTION, TWTY_FIX32, GET_ONLY},
    {ICAP_UNITS, TWTY_UINT16, SETTABLE},        {ICAP_COMPRESSION, TWTY_UINT16, GET_ONLY},
    {ICAP_PLANARCHUNKY, TWTY_UINT16, GET_ONLY},
};

// What an image capability reports before a page is known.
ImageInfo DefaultPage()
{
    ImageInfo info = {};
    info.xResolutionWhole = 300;
    info.yResolutionWhole = 300;
    info.bitsPerPixel = 24;
    info.pixelType = TWPT_RGB;
    return info;
}

const CapabilityInfo *Find(TW_UINT16 cap)
{
    for (const CapabilityInfo &info : CAPABILITIES) {
        if (info.cap == cap)
            return &info;
    }
    return nullptr;
}

size_t ItemSize(TW_UINT16 itemType)
{
    switch (itemType) {
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32:
        return 4;
    default:
        return 2;
    }
}

TW_UINT32 Fix32Bits(SHORT whole, USHORT frac)
{
    return static_cast<TW_UINT16>(whole) | (static_cast<TW_UINT32>(frac) << 16);
}

void StoreItem(BYTE *at, TW_UINT16 itemType, TW_UINT32 value)
{
    if (ItemSize(itemType) == 4) {
        memcpy(at, &value, 4);
    } else {
        const TW_UINT16 narrow = static_cast<TW_UINT16>(value);
        memcpy(at, &narrow, 2);
    }
}

// Allocates a container, fills it and hands it to the capability.
template <typename Fill>
bool MakeContainer(TW_CAPABILITY *capability, TW_UINT16 conType, size_t bytes,
                   const ManagerMemory &memory, Fill fill)
{
    TW_HANDLE handle = memory.Alloc(static_cast<TW_UINT32>(bytes));
    BYTE *data = static_cast<BYTE *>(memory.Lock(handle));
    if (data == nullptr) {
        memory.Free(handle);
        return false;
    }
    memset(data, 0, bytes);
    fill(data);
    memory.Unlock(handle);
    capability->ConType = conType;
    capability->hContainer = handle;
    return true;
}

bool OneValue(TW_CAPABILITY *capability, TW_UINT16 itemType, TW_UINT32 value,
              const ManagerMemory &memory)
{
    return MakeContainer(capability, TWON_ONEVALUE, sizeof(TW_ONEVALUE), memory, [&](BYTE *data) {
        TW_ONEVALUE one = {};
        one.ItemType = itemType;
        memcpy(data, &one, sizeof(one));
        StoreItem(data + offsetof(TW_ONEVALUE, Item), itemType, value);
    });
}

bool Enumeration(TW_CAPABILITY *capability, TW_UINT16 itemType, const std::vector<TW_UINT32> &items,
                 TW_UINT32 current, TW_UINT32 fallback, const ManagerMemory &memory)
{
    const size_t itemBytes = ItemSize(itemType);
    const size_t bytes = offsetof(TW_ENUMERATION, ItemList) + items.size() * itemBytes;
    return MakeContainer(capability, TWON_ENUMERATION, bytes, memory, [&](BYTE *data) {
        TW_ENUMERATION head = {};
        head.ItemType = itemType;
        head.NumItems = static_cast<TW_UINT32>(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i] == current)
                head.CurrentIndex = static_cast<TW_UINT32>(i);
            if (items[i] == fallback)
                head.DefaultIndex = static_cast<TW_UINT32>(i);
        }
        memcpy(data, &head, offsetof(TW_ENUMERATION, ItemList));
        for (size_t i = 0; i < items.size(); ++i)
            StoreItem(data + offsetof(TW_ENUMERATION, ItemList) + i * itemBytes, itemType,
                      items[i]);
    });
}

bool Array(TW_CAPABILITY *capability, TW_UINT16 itemType, const std::vector<TW_UINT32> &items,
           const ManagerMemory &memory)
{
    const size_t itemBytes = ItemSize(itemType);
    const size_t bytes = offsetof(TW_ARRAY, ItemList) + items.size() * itemBytes;
    return MakeContainer(capability, TWON_ARRAY, bytes, memory, [&](BYTE *data) {
        TW_ARRAY head = {};
        head.ItemType = itemType;
        head.NumItems = static_cast<TW_UINT32>(items.size());
        memcpy(data, &head, offsetof(TW_ARRAY, ItemList));
        for (size_t i = 0; i < items.size(); ++i)
            StoreItem(data + offsetof(TW_ARRAY, ItemList) + i * itemBytes, itemType, items[i]);
    });
}

// The value of an application's one-value container of the expected item type.
bool ReadOneValue(const TW_CAPABILITY &capability, TW_UINT16 itemType, const ManagerMemory &memory,
                  TW_UINT32 *value)
{
    if (capability.ConType != TWON_ONEVALUE || capability.hContainer == nullptr)
        return false;
    const BYTE *data = static_cast<const BYTE *>(memory.Lock(capability.hContainer));
    if (data == nullptr)
        return false;
    TW_ONEVALUE one;
    memcpy(&one, data, sizeof(one));
    memory.Unlock(capability.hContainer);
    if (one.ItemType != itemType)
        return false;
    *value = ItemSize(itemType) == 4 ? one.Item : (one.Item & 0xFFFF);
    return true;
}

} // namespace

TwainResult Capabilities::Handle(TW_UINT16 msg, TW_CAPABILITY *capability, int state,
                                 const ImageInfo *page, const ManagerMemory &memory)
{
    if (capability == nullptr)
        return Failure(TWCC_BADVALUE);
    const CapabilityInfo *info = Find(capability->Cap);
    if (info == nullptr)
        return Failure(TWCC_CAPUNSUPPORTED);
    switch (msg) {
    case MSG_QUERYSUPPORT:
        return OneValue(capability, TWTY_INT32, info->operations, memory) ? TwainResult{}
                                                                          : Failure(TWCC_LOWMEMORY);
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT:
        return Get(msg, capability, page != nullptr ? *page : DefaultPage(), memory);
    case MSG_SET:
    case MSG_RESET:
        if ((info->operations & TWQC_SET) == 0)
            return Failure(TWCC_CAPBADOPERATION);
        // Negotiation ends when the source is enabled.
        if (state != 4)
            return Failure(TWCC_SEQERROR);
        return msg == MSG_SET ? Set(capability, memory) : ResetOne(capability, memory);
    default:
        return Failure(TWCC_CAPBADOPERATION);
    }
}

TwainResult Capabilities::Get(TW_UINT16 msg, TW_CAPABILITY *capability, const ImageInfo &page,
                              const ManagerMemory &memory) const
{
    const bool fallback = msg == MSG_GETDEFAULT;
    const bool list = msg == MSG_GET;
    bool made = false;
    switch (capability->Cap) {
    case CAP_SUPPORTEDCAPS: {
        std::vector<TW_UINT32> caps;
        for (const CapabilityInfo &info : CAPABILITIES)
            caps.push_back(info.cap);
        made = Array(capability, TWTY_UINT16, caps, memory);
        break;
    }
    case CAP_XFERCOUNT:
        made = OneValue(capability, TWTY_INT16, static_cast<TW_UINT16>(fallback ? -1 : m_xferCount),
                        memory);
        break;
    case CAP_UICONTROLLABLE:
        made = OneValue(capability, TWTY_BOOL, TRUE, memory);
        break;
    case CAP_DEVICEONLINE:
        made = OneValue(capability, TWTY_BOOL, m_deviceOnline ? TRUE : FALSE, memory);
        break;
    case CAP_INDICATORS:
        made = OneValue(capability, TWTY_BOOL, FALSE, memory);
        break;
    case ICAP_XFERMECH: {
        const TW_UINT32 current = fallback ? TWSX_NATIVE : m_xferMech;
        made = list ? Enumeration(capability, TWTY_UINT16, {TWSX_NATIVE, TWSX_MEMORY}, current,
                                  TWSX_NATIVE, memory)
                    : OneValue(capability, TWTY_UINT16, current, memory);
        break;
    }
    case ICAP_PIXELTYPE: {
        const TW_UINT32 current = fallback ? TWPT_RGB : static_cast<TW_UINT16>(page.pixelType);
        made = list ? Enumeration(capability, TWTY_UINT16, {TWPT_BW, TWPT_GRAY, TWPT_RGB}, current,
                                  TWPT_RGB, memory)
                    : OneValue(capability, TWTY_UINT16, current, memory);
        break;
    }
    case ICAP_BITDEPTH:
        made = OneValue(capability, TWTY_UINT16,
                        fallback ? 24 : static_cast<TW_UINT16>(page.bitsPerPixel), memory);
        break;
    case ICAP_XRESOLUTION:
        made = OneValue(capability, TWTY_FIX32,
                        fallback ? Fix32Bits(300, 0)
                                 : Fix32Bits(page.xResolutionWhole, page.xResolutionFrac),
                        memory);
        break;
    case ICAP_YRESOLUTION:
        made = OneValue(capability, TWTY_FIX32,
                        fallback ? Fix32Bits(300, 0)
                                 : Fix32Bits(page.yResolutionWhole, page.yResolutionFrac),
                        memory);
        break;
    case ICAP_UNITS:
        made = OneValue(capability, TWTY_UINT16, TWUN_INCHES, memory);
        break;
    case ICAP_COMPRESSION:
        made = OneValue(capability, TWTY_UINT16, TWCP_NONE, memory);
        break;
    case ICAP_PLANARCHUNKY:
        made = OneValue(capability, TWTY_UINT16, TWPC_CHUNKY, memory);
        break;
    default:
        return Failure(TWCC_CAPUNSUPPORTED);
    }
    return made ? TwainResult{} : Failure(TWCC_LOWMEMORY);
}

TwainResult Capabilities::Set(TW_CAPABILITY *capability, const ManagerMemory &memory)
{
    const CapabilityInfo *info = Find(capability->Cap);
    TW_UINT32 value = 0;
    if (!ReadOneValue(*capability, info->itemType, memory, &value))
        return Failure(TWCC_BADVALUE);
    switch (capability->Cap) {
    case CAP_XFERCOUNT: {
        const TW_INT16 count = static_cast<TW_INT16>(value);
        if (count == 0 || count < -1)
            return Failure(TWCC_BADVALUE);
        m_xferCount = count;
        return {};
    }
    case CAP_INDICATORS:
        // The source shows no progress of its own: asked for one, it keeps to none and says so.
        return value == FALSE ? TwainResult{} : TwainResult{TWRC_CHECKSTATUS, TWCC_SUCCESS};
    case ICAP_XFERMECH:
        if (value != TWSX_NATIVE && value != TWSX_MEMORY)
            return Failure(TWCC_BADVALUE);
        m_xferMech = static_cast<TW_UINT16>(value);
        return {};
    case ICAP_UNITS:
        return value == TWUN_INCHES ? TwainResult{} : Failure(TWCC_BADVALUE);
    default:
        return Failure(TWCC_CAPBADOPERATION);
    }
}

TwainResult Capabilities::ResetOne(TW_CAPABILITY *capability, const ManagerMemory &memory)
{
    if (capability->Cap == CAP_XFERCOUNT)
        m_xferCount = -1;
    else if (capability->Cap == ICAP_XFERMECH)
        m_xferMech = TWSX_NATIVE;
    // The answer holds the value now current.
    return Get(MSG_GETCURRENT, capability, DefaultPage(), memory);
}
